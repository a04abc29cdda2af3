// Declared delimiters and character sets, the two steps every reader of
// raw feeds (command, listener, companions) takes before parsing: exact
// rewrites, and any bytes handled without a crash or a read outside.
#include <memory>
#include <random>
#include <string>

#include "charset.hpp"
#include "check.hpp"
#include "delimiters.hpp"

using namespace segmorph;

namespace {

std::string rewritten(std::string_view message) {
    Result<MessageText> r = with_standard_delimiters(message);
    return r ? std::string(r.value().view()) : "error: " + r.error().message();
}

}  // namespace

TEST(standard_messages_are_views_of_the_input) {
    const std::string plain = "MSH|^~\\&|A\rPID|1";
    Result<MessageText> r = with_standard_delimiters(plain);
    CHECK(r && !r.value().changed() && r.value().view().data() == plain.data());
    // Garbled but usual headers, and texts that start with no header.
    for (std::string_view m : {"MSH|^~\\\\&|A", "MSH|^~|A", "PID|1\rMSH#!@$%", "", "\r\n", "MSHA#!@$%"}) {
        Result<MessageText> same = with_standard_delimiters(m);
        CHECK(same && !same.value().changed());
    }
}

TEST(declared_delimiters_become_standard_and_standard_ones_data) {
    CHECK_EQ(rewritten("MSH#!@$%#A!B@C$X0D$#D%E\rPID#|^~\\&"),
             std::string("MSH|^~\\&|A^B~C\\X0D\\|D&E\rPID|\\F\\\\S\\\\R\\\\E\\\\T\\"));
    // The truncation character of v2.7 stays, unless it is now a delimiter.
    CHECK_EQ(rewritten("MSH#!@$%*#A"), std::string("MSH|^~\\&*|A"));
    CHECK_EQ(rewritten("MSH#!@$%^#A"), std::string("MSH|^~\\&#|A"));
    // Leading blank lines are kept; envelope trailers use their own "#".
    CHECK_EQ(rewritten("\r\nBHS#!@$%"), std::string("\r\nBHS|^~\\&"));
    CHECK_EQ(rewritten("BTS#3#a|b"), std::string("BTS|3|a\\F\\b"));
}

TEST(short_headers_are_read_as_their_senders_meant) {
    // Only usual characters, some left out: the usual delimiters, the
    // header kept as written.
    for (std::string_view m : {"MSH|^~&|A", "MSH|^\\&|A", "FHS|^~&|A", "BHS|~\\&|A", "MSH||A"}) {
        Result<MessageText> same = with_standard_delimiters(m);
        CHECK(same && !same.value().changed());
    }
    CHECK_EQ(rewritten("MSH*^~&*A|B\\F\\C"), std::string("MSH|^~&|A\\F\\B*C"));
    // Other characters by position; a role left out takes its usual
    // character when it is free, else has none.
    CHECK_EQ(rewritten("MSH#!@$#a!b@c$F$d|e\\f"), std::string("MSH|^~\\&|a^b~c#d\\F\\e\\E\\f"));
    CHECK_EQ(rewritten("MSH#!@#a!b\\F\\c&d"), std::string("MSH|^~\\&|a^b#c&d"));
    CHECK_EQ(rewritten("MSH#!\\#a!b\\R\\~c"), std::string("MSH|^~\\&|a^b~R~\\R\\c"));  // no escape character
}

TEST(escapes_name_the_declared_delimiters) {
    CHECK_EQ(rewritten("MSH*^~\\&*a\\F\\b"), std::string("MSH|^~\\&|a*b"));
    CHECK_EQ(rewritten("MSH#!@$%#1$F$2$S$3$R$4$E$5$T$6"), std::string("MSH|^~\\&|1#2!3@4$5%6"));
    // Declared delimiters that are usual characters in other roles stay
    // data in the rewritten text: escaped there.
    CHECK_EQ(rewritten("MSH|~^\\&|a\\S\\b\\R\\c"), std::string("MSH|^~\\&|a\\R\\b\\S\\c"));
    // Other escapes keep their meaning, written with the usual character.
    CHECK_EQ(rewritten("MSH#!@$%#$X41$$.br$$H$"), std::string("MSH|^~\\&|\\X41\\\\.br\\\\H\\"));
}

TEST(headers_that_cannot_declare_them_are_errors) {
    CHECK(rewritten("MSH").starts_with("error: HL7 invalid format: the header MSH is too short"));
    CHECK(rewritten("MSH#!!$%").find("as two different delimiters") != std::string::npos);
    CHECK(rewritten("MSH#!@$\xC3").find("not ASCII") != std::string::npos);
}

TEST(header_fields_are_read_with_the_declared_delimiters) {
    CHECK(declared_header_field("MSH#!@$%#3#4!x", 4).value() == "4");
    CHECK(declared_header_field("MSH|^~\\&|3|4~y^z", 4).value() == "4");
    CHECK(!declared_header_field("MSH|^~\\&|3", 4));
    CHECK(!declared_header_field("PID|1|2", 2));
}

TEST(character_sets) {
    const std::string latin = "MSH|^~\\&||||||||||||||||8859/1\rPID|M\xFCller";
    Result<MessageText> auto_read = decode_message(latin, Encoding::Auto);
    CHECK(auto_read && auto_read.value().view().ends_with("M\xC3\xBCller"));
    Result<MessageText> euro = decode_message("\x80", Encoding::Cp1252);
    CHECK(euro && euro.value().view() == "\xE2\x82\xAC");
    Result<MessageText> utf8 = decode_message("M\xC3\xBC", Encoding::Auto);
    CHECK(utf8 && !utf8.value().changed());
    Result<MessageText> bad = decode_message("ab\xFC", Encoding::Auto);
    CHECK(!bad && bad.error().message().find("byte 0xFC at offset 2") != std::string::npos);
    CHECK(iconv_name_of_hl7_charset("unicode utf-8").value() == "UTF-8");
    CHECK(!iconv_name_of_hl7_charset("UNICODE UTF-16"));
}

TEST(any_bytes_are_read_without_crashing) {
    static constexpr char kAlphabet[] = "MSHFBT|^~\\&#!@$%\r\n \x0B\xFC\xC3\x80";
    const std::string alphabet(kAlphabet, sizeof kAlphabet - 1);
    std::mt19937 rng(11);
    for (int i = 0; i < 50000; ++i) {
        std::string text = i % 3 == 0 ? "MSH" : i % 3 == 1 ? "BTS" : "";
        const std::size_t len = rng() % 40;
        for (std::size_t k = 0; k < len; ++k)
            text += i % 5 == 0 ? static_cast<char>(rng()) : alphabet[rng() % alphabet.size()];
        const std::unique_ptr<char[]> exact(new char[text.size()]);
        std::copy(text.begin(), text.end(), exact.get());
        const std::string_view view(exact.get(), text.size());
        (void)with_standard_delimiters(view);
        (void)declared_header_field(view, 18);
        for (Encoding e : {Encoding::Auto, Encoding::Utf8, Encoding::Latin1, Encoding::Cp1252}) {
            Result<MessageText> d = decode_message(view, e);
            if (d) (void)with_standard_delimiters(d.value().view());
        }
    }
}

TEST_MAIN()
