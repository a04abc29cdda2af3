// Fuzz target for the flat reader of records (src/json_hl7_flat.hpp), which
// gives up on anything beyond its plain subset.  For any input:
//  - where the flat reader reads an array of records, yyjson's reader reads
//    it too, into the same records, which assemble the same;
//  - the command's item reader (cli/json_reader.hpp) reads every text the
//    same with the flat reader as without it: the same records, envelope or
//    not, or the same words about what is wrong, at the same place;
//  - its line reader takes only a first line that the item reader takes,
//    into the same records, and ends where that line does.
// Inputs: files as they are, and JSON written from their lines' records in
// the forms to-json writes and others (escapes of every kind, white space),
// each also damaged at one place.  Build as records_fuzz.cpp, with
// cli/json_reader.cpp and cli/json_writer.cpp.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "json_hl7.hpp"
#include "json_hl7_readers.hpp"
#include "json_reader.hpp"
#include "lines.hpp"
#include "segments.hpp"
#include "utf8.hpp"

using namespace segmorph;

static void check(bool ok, const char* what, std::string_view input) {
    if (ok) return;
    std::fprintf(stderr, "check failed: %s\ninput: %.*s\n", what, static_cast<int>(input.size()), input.data());
    std::abort();
}

static void compare_items(std::string_view text, bool bare_array) {
    cli::ItemReader flat, full;
    full.try_flat = false;
    const auto a = flat.read_item(text, bare_array);
    const auto b = full.read_item(text, bare_array);
    check(a.has_value() == b.has_value(), "the item readers disagree on success", text);
    if (a) {
        check(a->at == b->at && a->what == b->what, "the item readers word an error otherwise", text);
        return;
    }
    check(flat.envelope == full.envelope, "the item readers disagree on the envelope", text);
    check(flat.records.json_data() == full.records.json_data(), "the item readers give other records", text);
    const std::optional<std::string> breach = flat.records.check_output_bound();
    check(breach == full.records.check_output_bound(), "the item readers' records meet the bound otherwise", text);
    if (breach) return;
    check(flat.records.convert_json_to_hl7(true) == full.records.convert_json_to_hl7(true),
          "the item readers' records assemble otherwise", text);
}

// The line reader of JSON Lines: where it reads the first line of a text
// (which a second line follows), the item reader reads that line alike,
// and the line ends where it says.
static void compare_line(std::string_view text) {
    const std::string_view first = text.substr(0, text.find('\n'));
    const std::string longer = std::string(text) + "\n{\"records\":[{\"1\":\"x\",\"segment_name\":\"ZZZ\"}]}";
    cli::ItemReader line, full;
    full.try_flat = false;
    const char* line_end = nullptr;
    if (!line.read_line_flat(longer, line_end)) return;
    check(line_end == longer.data() + first.size(), "the line reader ends elsewhere than the line", text);
    check(!full.read_item(first, true).has_value(), "the line reader accepts a line the item reader refuses", text);
    check(line.envelope == full.envelope, "the line reader disagrees on the envelope", text);
    check(line.records.json_data() == full.records.json_data(), "the line reader gives other records", text);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (std::optional<JsonHl7> flat = read_records_flat(text)) {
        std::optional<JsonHl7> full = read_records_yyjson(text);
        check(full.has_value(), "the flat reader accepts what yyjson refuses", text);
        check(flat->json_data() == full->json_data(), "the flat reader gives other records", text);
        const std::optional<std::string> breach = flat->check_output_bound();
        check(breach == full->check_output_bound(), "the flat reader's records meet the bound otherwise", text);
        if (!breach) {
            check(flat->convert_json_to_hl7(false) == full->convert_json_to_hl7(false),
                  "the flat reader's records assemble otherwise", text);
            check(flat->convert_json_to_hl7(true) == full->convert_json_to_hl7(true),
                  "the flat reader's records escape otherwise", text);
        }
    }
    compare_items(text, true);
    compare_items(text, false);
    compare_line(text);
    return 0;
}

#ifdef SEGMORPH_REPLAY_MAIN
#include "replay.hpp"

namespace {

std::mt19937_64 rng(97531);

std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); }

// White space, mostly none, as segmorph writes it.
void space(std::string& out) {
    if (below(8) == 0) out += " \n\t\r  \n"[below(7)];
}

// A JSON string of `s`, escaped in any of the ways JSON allows (and a few
// that it does not, where the text is not valid UTF-8).
void put_string(std::string& out, std::string_view s) {
    out += '"';
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        static const char* const kShort = "btnfr";
        static const char kShortOf[] = "\b\t\n\f\r";
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20 || below(40) == 0) {
            const char* at = c != 0 ? std::strchr(kShortOf, ch) : nullptr;
            if (at != nullptr && below(2) == 0) {
                out += '\\';
                out += kShort[at - kShortOf];
            } else {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\u%04X", c < 0x80 ? c : 0xE9);
                out += hex;
            }
        } else if (c == '/' && below(2) == 0) {
            out += "\\/";
        } else {
            out += ch;
        }
    }
    out += '"';
}

using Entries = std::vector<SegmentRecord::Entry>;

void put_record(std::string& out, const Entries& record) {
    out += '{';
    bool first = true;
    for (const auto& [key, value] : record) {
        if (!first) out += ',';
        first = false;
        space(out);
        put_string(out, key);
        space(out);
        out += ':';
        space(out);
        put_string(out, value);
        space(out);
    }
    out += '}';
}

void put_records(std::string& out, const std::vector<Entries>& records) {
    out += '[';
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (i != 0) out += ',';
        space(out);
        put_record(out, records[i]);
        space(out);
    }
    out += ']';
}

// The text with one place damaged: something inserted, a byte dropped or
// changed, or the rest cut off.
void damage(std::string text) {
    static const std::string_view noise[] = {",",
                                             "]",
                                             "}",
                                             "{",
                                             "[",
                                             "\"",
                                             ":",
                                             "\\",
                                             "\\u0041",
                                             "\\ud800",
                                             std::string_view("\0", 1),
                                             "\x01",
                                             "\x7f",
                                             "\xc3",
                                             "\xed\xa0\x80",
                                             "\xef\xbb\xbf",
                                             "\xc3\xa9",
                                             " ",
                                             "\f",
                                             "01",
                                             "-",
                                             "-0",
                                             "1.5",
                                             "1e999",
                                             "1234567890123456",
                                             "null",
                                             "true",
                                             "\"x\":1,",
                                             "\"records\":[],",
                                             "\"envelope\":{},",
                                             "\"index\":{},",
                                             "\\,",
                                             "\\\"",
                                             "5",
                                             "a\","};
    const std::size_t at = below(text.size() + 1);
    switch (below(4)) {
        case 0: text.insert(at, noise[below(std::size(noise))]); break;
        case 1:
            if (at < text.size()) text.erase(at, 1);
            break;
        case 2: text.resize(at); break;
        default:
            if (at < text.size()) text[at] = static_cast<char>(below(256));
            break;
    }
    segmorph_fuzz::feed(text);
}

// The text, then the same damaged at one place, `times` times over.
void feed_forms(const std::string& whole, int times) {
    segmorph_fuzz::feed(whole);
    for (int i = 0; i < times; ++i) damage(whole);
}

// The records in the forms the command reads: a bare array, to-json's
// items (other members before or after), an envelope item.
void feed_records(const std::vector<Entries>& records, int times) {
    std::string text;
    put_records(text, records);
    feed_forms(text, times);
    std::string item = "{";
    // Numbers of every form, valid JSON or not, in a member the reader skips.
    static const char* const numbers[] = {"0",
                                          "7",
                                          "-0",
                                          "-12",
                                          "01",
                                          "-",
                                          "1.5",
                                          "1e2",
                                          "123456789012345",
                                          "1234567890123456",
                                          "99999999999999999999",
                                          "+1",
                                          "0x1",
                                          "null"};
    if (below(2) == 0) {
        item += "\"source\":\"a \\\"b\\\"\",\"index\":" + std::string(numbers[below(std::size(numbers))]) + ",";
    }
    item += "\"records\":";
    put_records(item, records);
    if (below(3) == 0) item += ",\"note\":\"x\",\"n\":-7";
    item += "}";
    feed_forms(item, times);
    if (!records.empty()) {
        std::string envelope = "{\"envelope\":";
        put_record(envelope, records[below(records.size())]);
        envelope += "}";
        feed_forms(envelope, times);
    }
}

// In key order, as segmorph writes them.
std::vector<Entries> records_of(std::string_view hl7) {
    std::vector<Entries> records;
    if (!is_valid_utf8(hl7)) return records;
    for_each_piece(replace_eof(hl7), '\n', [&](std::string_view line) {
        records.push_back(Hl7Segment::from_string(line, nullptr).to_json().entries());
    });
    return records;
}

// Records with keys of every kind (coded and not, short and long, in and
// out of order) and values with what JSON escapes or checks.
int run_random(long count) {
    static const char* const keys[] = {"1",    "2",        "2.1",       "10", "3[0]", "3[1].2",   "segment_name",
                                       "x",    "12345678", "123456789", "07", "",     "\xc3\xa9", "a\"b",
                                       "a\\b", "1.1.1"};
    static const std::string_view chars[] = {"a",
                                             "Z",
                                             "9",
                                             "|",
                                             "^",
                                             "&",
                                             "~",
                                             "\\",
                                             "\"",
                                             "/",
                                             "\n",
                                             "\r",
                                             "\t",
                                             std::string_view("\0", 1),
                                             "\xc3\xa9",
                                             "\xe2\x82\xac",
                                             "\xf0\x9f\x98\x80",
                                             " "};
    for (long i = 0; i < count; ++i) {
        std::vector<Entries> records;
        for (std::size_t r = below(4); r > 0; --r) {
            Entries entries;
            for (std::size_t e = below(8); e > 0; --e) {
                std::string value;
                // Mostly plain, as most values are.
                for (std::size_t n = below(20); n > 0; --n) {
                    value += below(4) != 0 ? std::string_view("abc 12-XYZ.").substr(below(11), 1)
                                           : chars[below(std::size(chars))];
                }
                entries.emplace_back(keys[below(std::size(keys))], std::move(value));
            }
            // Mostly in key order, as segmorph writes them.
            if (below(4) != 0) entries = SegmentRecord(std::move(entries)).entries();
            records.emplace_back(std::move(entries));
        }
        feed_records(records, 2);
    }
    std::printf("checked %ld random record lists\n", count);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    return segmorph_fuzz::replay_main(argc, argv, run_random, [](const std::string& content) {
        segmorph_fuzz::feed(content);
        // Many damages of each: a sample file is long, and its keys repeat
        // as in real feeds, which the flat reader's quick ways need.
        feed_records(records_of(content), 40);
    });
}
#endif
