// The standard rule set: one failing message per rule, in rule order, and
// messages that real feeds send which must pass.
#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "validation.hpp"

using namespace segmorph;

namespace {

// "" when the message passes, else the error text.
std::string outcome(std::string_view message, bool strict) {
    const Status s = validate_standard(message, strict, kMaxValueLength);
    return s ? s->message() : std::string();
}

const std::string kHeader = "MSH|^~\\&|APP|FAC|RAPP|RFAC|20240101||ADT^A01^ADT_A01|1|P|2.5.1";

// The header with MSH-n replaced (MSH-n is piece n - 1 when cut at "|").
std::string header_with(std::size_t n, std::string_view value) {
    std::vector<std::string> pieces(1);
    for (char c : kHeader) {
        if (c == '|') {
            pieces.emplace_back();
        } else {
            pieces.back() += c;
        }
    }
    pieces.at(n - 1) = value;
    std::string out = pieces[0];
    for (std::size_t i = 1; i < pieces.size(); ++i) out += "|" + pieces[i];
    return out;
}

struct Failing {
    std::string message;
    bool strict;
    std::string error;  // after "HL7 validation failed: "
};

}  // namespace

TEST(each_rule_reports_its_first_failure) {
    const std::string long_value(kMaxValueLength + 1, 'x');
    const Failing table[] = {
        {"", false, "the message has no segments"},
        {"\r\n \t\n\r", false, "the message has no segments"},
        {"PID|1\r" + kHeader, false, "segment 1 is \"PID\": the first segment must be MSH"},
        {"MSH", false, "segment 1 (MSH): MSH-1 (field separator) is missing"},
        {"MSH|", false, "segment 1 (MSH): MSH-2 (encoding characters) is missing"},
        {header_with(2, "^~\\"), false,
         "segment 1 (MSH): MSH-2 (encoding characters) \"^~\\\" must be 4 or 5 characters, not 3"},
        {header_with(2, "^~\\&#!"), false,
         "segment 1 (MSH): MSH-2 (encoding characters) \"^~\\&#!\" must be 4 or 5 characters, not 6"},
        {"MSH|^~\\&|APP|FAC|RAPP|RFAC|20240101", false, "segment 1 (MSH): MSH-9 (message type) is missing"},
        {header_with(9, "ADT"), false,
         "segment 1 (MSH): MSH-9 (message type) \"ADT\" must have at least 2 components (message code and trigger "
         "event)"},
        {header_with(9, "^A01"), false, "segment 1 (MSH): MSH-9.1 (message code) is empty"},
        {header_with(9, "ADT^"), false, "segment 1 (MSH): MSH-9.2 (trigger event) is empty"},
        // A header ending with MSH-11, and one whose version has only
        // internationalisation components.
        {"MSH|^~\\&|APP|FAC|RAPP|RFAC|20240101||ADT^A01|1|P", false, "segment 1 (MSH): MSH-12 (version) is missing"},
        {header_with(12, "^USA"), false, "segment 1 (MSH): MSH-12 (version) is missing"},
        {header_with(12, "2.3.2"), true,
         "segment 1 (MSH): MSH-12 (version) \"2.3.2\" is not one of 2.1, 2.2, 2.3, 2.3.1, 2.4, 2.5, 2.5.1, 2.6, 2.7, "
         "2.7.1, 2.8, 2.8.1, 2.8.2, 2.9"},
        {kHeader + "\nPV\n", false,
         "segment 2 has the name \"PV\": a segment name must be an upper-case letter followed by two upper-case "
         "letters or digits"},
        {kHeader + "\nEVN|A01\npv1|1", false,
         "segment 3 has the name \"pv1\": a segment name must be an upper-case letter followed by two upper-case "
         "letters or digits"},
        {kHeader + "\n1AB|x", false,
         "segment 2 has the name \"1AB\": a segment name must be an upper-case letter followed by two upper-case "
         "letters or digits"},
        {kHeader + "\nPID1|x", false,
         "segment 2 has the name \"PID1\": a segment name must be an upper-case letter followed by two upper-case "
         "letters or digits"},
        {kHeader + "\nOBX|1|TX|||" + long_value, false,
         "segment 2 (OBX): OBX-5 is 65537 bytes long, over the limit of 65536"},
        // Header fields carry HL7's numbers here too.
        {header_with(3, long_value), false, "segment 1 (MSH): MSH-3 is 65537 bytes long, over the limit of 65536"},
        // A bad name anywhere wins over an earlier over-long field.
        {kHeader + "\nOBX|1|TX|||" + long_value + "\nPV|1", false,
         "segment 3 has the name \"PV\": a segment name must be an upper-case letter followed by two upper-case "
         "letters or digits"},
        // The first over-long field wins over later ones.
        {kHeader + "\nNTE|" + long_value + "\nOBX|1|TX|||" + long_value + "x", false,
         "segment 2 (NTE): NTE-1 is 65537 bytes long, over the limit of 65536"},
    };
    for (const Failing& f : table) {
        CHECK_EQ(outcome(f.message, f.strict), "HL7 validation failed: " + f.error);
        // Strict mode only adds rules.
        if (!f.strict) CHECK_EQ(outcome(f.message, true), "HL7 validation failed: " + f.error);
    }
}

TEST(strict_only_rules_pass_without_strict) {
    for (std::string_view version : {"2.3.2", "2.10", "2.5.1 ", "v2.5", "2.0"}) {
        const std::string message = header_with(12, version);
        CHECK_EQ(outcome(message, false), std::string());
        CHECK(!outcome(message, true).empty());
    }
}

TEST(every_listed_version_passes_strict_on_its_first_component) {
    for (std::string_view version : kStandardVersions) {
        CHECK_EQ(outcome(header_with(12, version), true), std::string());
        CHECK_EQ(outcome(header_with(12, std::string(version) + "^USA^2.5"), true), std::string());
    }
}

TEST(real_message_shapes_pass) {
    const std::string body =
        "EVN|A01|20240101\nPID|1||123^^^HOSP^MR||Doe^John\nNK1|1|Doe^Jane|MTH\n"
        "PV1|1|I|W^389^1\nZPI|custom|value\nAL1|1||^PENICILLIN";
    const std::string passing[] = {
        kHeader + "\n" + body,
        kHeader + "\n" + body + "\n",            // a final line break
        header_with(2, "^~\\&#") + "\n" + body,  // the truncation character of v2.7+
        // CRLF and CR line ends, blank lines anywhere, a trailing blank line
        // of spaces.
        kHeader + "\r\nEVN|A01\r\nPID|1\r\n",
        kHeader + "\rEVN|A01\rPID|1\r",
        "\n\r\n" + kHeader + "\n\nEVN|A01\n\n\nPID|1\n  \n",
        // A field of exactly the limit; an empty field; a segment with no
        // fields at all.
        kHeader + "\nOBX|1|TX|||" + std::string(kMaxValueLength, 'x'),
        kHeader + "\nNTE|||\nZZ9",
        // Another field separator and component separator: fields are cut
        // where this message says, so "|" and "^" are ordinary text here.
        "MSH#$~\\&#APP|1#FAC#R#F#20240101##ADT$A01#1#P#2.5.1$USA\nPID#1#a|b^c",
    };
    for (const std::string& m : passing) {
        CHECK_EQ(outcome(m, false), std::string());
        CHECK_EQ(outcome(m, true), std::string());
    }
}

TEST(the_message_own_separators_are_used) {
    // With "$" as component separator, "ADT^A01" is one component.
    CHECK(!outcome("MSH|$~\\&|A|B|C|D|E||ADT^A01|1|P|2.5", false).empty());
    // With "#" as field separator, the "|" pieces are not fields.
    CHECK_EQ(outcome("MSH#^~\\&#A|B|C|D|E||ADT^A01|1|P|2.5", false),
             std::string("HL7 validation failed: segment 1 (MSH): MSH-9 (message type) is missing"));
    // A separator that is also a letter of "MSH" still leaves the name MSH.
    CHECK_EQ(outcome("MSHS^~\\&SASBSCSDSESSADT^A01S1SPS2.5", true), std::string());
}

TEST(input_echoed_in_errors_is_bounded_and_printable) {
    const std::string long_name = kHeader + "\n" + std::string(1000, 'Q');
    const std::string error = outcome(long_name, false);
    CHECK(error.find("\"" + std::string(40, 'Q') + "\"...") != std::string::npos);
    CHECK(error.size() < 300);

    const std::string bad_bytes = outcome(kHeader + "\n\xC3\x28\xFF", false);
    CHECK(bad_bytes.find("\"<C3>(<FF>\"") != std::string::npos);
    for (char c : bad_bytes) CHECK(static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F);
}

TEST(any_bytes_are_checked_without_crashing) {
    // Short texts over the bytes that steer the rules, plus arbitrary bytes:
    // the sanitizers catch any read outside the text.
    static constexpr char kAlphabet[] = "MSH|^~\\&#\r\n 12.A\x00\xFF";
    const std::string alphabet(kAlphabet, sizeof kAlphabet - 1);
    std::mt19937 rng(7);
    for (int i = 0; i < 50000; ++i) {
        std::string text = i % 2 ? "MSH" : "";
        const std::size_t len = rng() % 40;
        for (std::size_t k = 0; k < len; ++k) {
            text += i % 5 == 0 ? static_cast<char>(rng()) : alphabet[rng() % alphabet.size()];
        }
        // Exact-size copy so ASan sees any read past the end.
        const std::unique_ptr<char[]> exact(new char[text.size()]);
        std::copy(text.begin(), text.end(), exact.get());
        const std::string_view view(exact.get(), text.size());
        (void)validate_standard(view, false);
        (void)validate_standard(view, true);
    }
}

TEST_MAIN()
