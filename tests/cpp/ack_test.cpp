// Acknowledgements: what a receiver answers and what a sender reads back.
#include <random>

#include "ack.hpp"
#include "check.hpp"

using namespace segmorph;

static const AckHeader kHeader{"ID9", "20240101120000.000+0000"};

TEST(an_accepted_message_is_answered_in_its_own_terms) {
    const std::string ack =
        build_ack("MSH|^~\\&|SA|SF|RA|RF|2024||ORU^R01^ORU_R01|C1|P|2.5.1^^x\nPID|1\n", AckCode::Accept, "", kHeader);
    CHECK_EQ(ack,
             "MSH|^~\\&|RA|RF|SA|SF|20240101120000.000+0000||ACK^R01^ACK|ID9|P|2.5.1^^x\r"
             "MSA|AA|C1\r");
}

TEST(declared_delimiters_are_kept_and_the_reason_is_escaped_in_them) {
    const std::string ack =
        build_ack("MSH#*!@%#A#B#C#D#1##ADT*A04#X|1#T#2.4", AckCode::Error, "bad #field* @ here\r\nnext", kHeader);
    CHECK_EQ(ack,
             "MSH#*!@%#C#D#A#B#20240101120000.000+0000##ACK*A04*ACK#ID9#T#2.4\r"
             "MSA#AE#X|1#bad @F@field@S@ @E@ here  next\r"
             "ERR###207*Application internal error*HL70357#E####bad @F@field@S@ @E@ here  next\r");
    const std::optional<AckReply> reply = read_ack(ack);
    CHECK(reply.has_value());
    CHECK_EQ(reply->code, "AE");
    CHECK_EQ(reply->control_id, "X|1");
    CHECK_EQ(reply->text, "bad #field* @ here  next");
}

TEST(anything_that_is_not_hl7_still_gets_an_answer) {
    for (std::string_view text : {std::string_view(""), std::string_view("hello"), std::string_view("MSH"),
                                  std::string_view("MSHA|^~\\&|"), std::string_view("\xEF\xBB\xBF  \r\n")}) {
        const std::string ack = build_ack(text, AckCode::Reject, "not HL7", kHeader);
        CHECK_EQ(ack.substr(0, ack.find('\r')), "MSH|^~\\&|||||20240101120000.000+0000||ACK|ID9||");
        const std::optional<AckReply> reply = read_ack(ack);
        CHECK(reply && reply->code == "AR" && reply->control_id.empty() && reply->text == "not HL7");
    }
    // Odd encoding characters: the fields are read, the answer is written
    // with the standard ones.
    CHECK_EQ(message_control_id("MSH|^~\\\\&|A|B|C|D|1||ADT^A01|102|P|2.6"), "102");
    CHECK(build_ack("MSH|^~\\\\&|A|B|C|D|1||ADT^A01|102|P|2.6", AckCode::Accept, "", kHeader)
              .starts_with("MSH|^~\\&|C|D|A|B|"));
}

TEST(read_ack_wants_a_header_and_an_msa) {
    CHECK(!read_ack("MSA|AA|1\r").has_value());
    CHECK(!read_ack("MSH|^~\\&|A\rPID|1\r").has_value());
    const std::optional<AckReply> old_style = read_ack("MSH|^~\\&|A\rMSA|AR|7|too big\\T\\long\r");
    CHECK(old_style && old_style->code == "AR" && old_style->control_id == "7" && old_style->text == "too big&long");
    CHECK(ack_accepted("AA") && ack_accepted("CA") && !ack_accepted("AE") && !ack_accepted("aa"));
}

TEST(random_messages_always_give_an_ack_that_reads_back) {
    std::mt19937 rng(7);
    const std::string alphabet = "MSH|^~\\&#*\r\n AZ09\x01\xFF";
    for (int round = 0; round < 20000; ++round) {
        std::string text = round % 2 ? "MSH" : "";
        const std::size_t n = rng() % 80;
        for (std::size_t i = 0; i < n; ++i) text.push_back(alphabet[rng() % alphabet.size()]);
        const AckCode code = static_cast<AckCode>(rng() % 3);
        const std::string ack = build_ack(text, code, text, kHeader);
        // Exactly the segments promised, each ended by one carriage return.
        std::size_t segments = 0;
        for (char c : ack) segments += c == '\r';
        CHECK(segments == (code == AckCode::Accept ? 2u : 3u));
        CHECK(ack.find('\n') == std::string::npos);
        const std::optional<AckReply> reply = read_ack(ack);
        CHECK(reply.has_value());
        if (!reply) continue;
        CHECK_EQ(reply->code, ack_code_text(code));
        CHECK_EQ(reply->control_id, message_control_id(text));
    }
}

TEST(timestamps_are_utc_with_milliseconds) {
    const auto when = std::chrono::system_clock::time_point(std::chrono::milliseconds(1704110400123));
    CHECK_EQ(hl7_timestamp(when), "20240101120000.123+0000");
}

TEST_MAIN()
