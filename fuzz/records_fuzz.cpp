// Fuzz target for the records -> HL7 path.  For any input:
//  - as HL7 text: the records of its lines (plain mode) assemble back, without
//    escaping, into the text with its line breaks normalised;
//  - as JSON: parsing gives records or an error, never a crash, and the
//    assembled text of any records stays within the documented bounds;
//  - JsonHl7, which holds records in its own form, assembles any records
//    exactly as the oracle, oracle_assemble_message, does, in every escape
//    mode, and refuses exactly the records the oracle refuses as passing
//    the bound on separators, in the same words;
//  - JsonHl7's fast JSON reader gives the same records or the same error as
//    parse_json_records.
// Build with -fsanitize=fuzzer for libFuzzer, or with -DSEGMORPH_REPLAY_MAIN
// for a plain program that runs the files named on its command line.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "json_hl7.hpp"
#include "lines.hpp"
#include "segments.hpp"
#include "utf8.hpp"

using namespace segmorph;

static void check(bool ok, const char* what, std::string_view input) {
    if (ok) return;
    std::fprintf(stderr, "check failed: %s\ninput: %.*s\n", what, static_cast<int>(input.size()), input.data());
    std::abort();
}

// Output may hold the values (each escaped at most five-fold), one line
// break per record and the separators the bounds allow.
static void check_size(const std::vector<SegmentRecord>& records, std::string_view input) {
    static const Hl7EscapeHandler handler = create_default_escape_handler();
    std::uint64_t values = 0, entries = 0;
    for (const SegmentRecord& r : records) {
        entries += r.size();
        for (const auto& [key, value] : r) values += value.size();
    }
    const std::uint64_t limit = 5 * values + records.size() + 1000000 + 16 * entries;
    const Result<std::string> oracle_full = oracle_assemble_message(records, handler, EscapeMode::Full);
    JsonHl7 held(records);
    const std::optional<std::string> breach = held.check_output_bound();
    check(breach.has_value() == !oracle_full.ok(), "JsonHl7 and the oracle disagree on the bound", input);
    if (breach) {
        check(Hl7Error::invalid_format(*breach).message() == oracle_full.error().message(),
              "JsonHl7 and the oracle word the bound otherwise", input);
        bool threw = false;
        try {
            JsonHl7(records).convert_json_to_hl7(false);
        } catch (const std::length_error& e) {
            threw = *breach == e.what();
        }
        check(threw, "an unchecked store past the bound is assembled", input);
        return;
    }
    const std::string& full = oracle_full.value();
    check(full.size() <= limit, "escaped output beyond the bounds", input);
    const std::string plain = oracle_assemble_message(records, handler, EscapeMode::None).value();
    check(plain.size() <= limit, "output beyond the bounds", input);
    check(held.convert_json_to_hl7(false) == plain, "JsonHl7 assembles otherwise than the oracle", input);
    check(held.convert_json_to_hl7(true) == full, "JsonHl7 escapes otherwise than the oracle", input);
    check(held.convert_json_to_hl7(EscapeMode::Minimal) ==
              oracle_assemble_message(records, handler, EscapeMode::Minimal).value(),
          "JsonHl7 escapes minimally otherwise than the oracle", input);
    check(held.json_data() == records, "JsonHl7 gives back other records", input);

    // The same records with every key that has a code added by it, as the
    // binding adds the keys it knows (ASCII values only, each after eight
    // bytes that may be read, as a str's header is).
    JsonHl7 by_code;
    std::string padded;
    for (const SegmentRecord& r : records) {
        by_code.begin_record();
        for (const auto& [key, value] : r) {
            const std::uint64_t code = JsonHl7::key_code(key);
            if (code == JsonHl7::kNoKeyCode || !is_ascii(value)) {
                by_code.add_entry(key, value);
                continue;
            }
            padded.assign(8, '\0');
            padded += value;
            by_code.add_entry_after_header(code, std::string_view(padded.data() + 8, value.size()));
        }
    }
    check(!by_code.check_output_bound(), "keys by code pass the bound", input);
    check(by_code.convert_json_to_hl7(true) == held.convert_json_to_hl7(true), "keys by code assemble otherwise",
          input);
    check(by_code.convert_json_to_hl7(EscapeMode::Minimal) == held.convert_json_to_hl7(EscapeMode::Minimal),
          "keys by code escape minimally otherwise", input);
    check(by_code.json_data() == records, "keys by code give back other records", input);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!is_valid_utf8(text)) return 0;
    static const Hl7EscapeHandler handler = create_default_escape_handler();

    const std::string normalised = replace_eof(text);
    std::vector<SegmentRecord> records;
    for_each_piece(normalised, '\n',
                   [&](std::string_view line) { records.push_back(Hl7Segment::from_string(line, nullptr).to_json()); });
    const Result<std::string> back = oracle_assemble_message(records, handler, EscapeMode::None);
    check(back.ok() && back.value() == normalised, "parsed records do not assemble back", text);
    check_size(records, text);

    Result<std::vector<SegmentRecord>> parsed = parse_json_records(text);
    if (parsed) check_size(parsed.value(), text);
    // (Records read but past the bound fail as the oracle says.)
    std::optional<std::string> expected_error;
    if (!parsed) {
        expected_error = parsed.error().message();
    } else if (Result<std::string> oracle = oracle_assemble_message(parsed.value(), handler, EscapeMode::Full);
               !oracle) {
        expected_error = oracle.error().message();
    }
    Result<JsonHl7> fast = JsonHl7::from_json_text(text);
    check(static_cast<bool>(fast) == !expected_error, "the two JSON readers disagree on success", text);
    if (fast) {
        check(fast.value().json_data() == parsed.value(), "the two JSON readers give other records", text);
        check(fast.value().convert_json_to_hl7(true) == JsonHl7(parsed.value()).convert_json_to_hl7(true),
              "the two JSON readers' records assemble otherwise", text);
    } else {
        check(fast.error().message() == *expected_error, "the two JSON readers give other errors", text);
    }
    return 0;
}

#ifdef SEGMORPH_REPLAY_MAIN
#include "replay.hpp"
// "--random N": N records lists with keys drawn from the shapes the assembly
// reads and misreads, indices up to and past what packs (2^17) and what
// fits in 64 bits.
static int run_random(long count) {
    static const char* const parts[] = {"1",
                                        "3",
                                        "07",
                                        "+2",
                                        "-1",
                                        "99999",
                                        "100000",
                                        "100001",
                                        "131071",
                                        "131072",
                                        "18446744073709551615",
                                        "18446744073709551616",
                                        "[",
                                        "]",
                                        ".",
                                        "x",
                                        "0",
                                        "segment_name",
                                        ""};
    std::mt19937_64 rng(54321);
    std::uniform_int_distribution<std::size_t> pick(0, std::size(parts) - 1), len(0, 6), n(0, 12);
    for (long i = 0; i < count; ++i) {
        std::vector<SegmentRecord> records;
        for (std::size_t r = n(rng) % 4; r > 0; --r) {
            std::vector<SegmentRecord::Entry> entries;
            for (std::size_t e = n(rng); e > 0; --e) {
                std::string key;
                for (std::size_t k = len(rng); k > 0; --k) key += parts[pick(rng)];
                // Values mostly plain, some with what escaping looks at.
                std::string value(n(rng), 'v');
                for (char& c : value) {
                    if (n(rng) == 0) c = " \t\\|^~&\rXE.H"[n(rng) % 12];
                }
                entries.emplace_back(std::move(key), std::move(value));
            }
            records.emplace_back(std::move(entries));
        }
        check_size(records, "(random records)");

        // The same records as JSON text (keys repeated, in any order), then
        // mangled at one place, through both JSON readers.
        static const std::string_view noise[] = {"",
                                                 "",
                                                 ",",
                                                 "]",
                                                 "}",
                                                 "\"",
                                                 "\\ud800",
                                                 "\\udc00",
                                                 "\\u0000",
                                                 std::string_view("\0", 1),
                                                 " ",
                                                 "1e999",
                                                 "null",
                                                 "{\"a\":\"b\"}",
                                                 "\"x\":\"y\",",
                                                 "\xef\xbb\xbf",
                                                 "\\",
                                                 "/*"};
        std::string text = "[";
        for (const SegmentRecord& r : records) {
            text += text.size() > 1 ? ",{" : "{";
            bool first = true;
            for (const auto& [key, value] : r) {
                for (int twice = 0; twice < (key.size() % 3 == 1 ? 2 : 1); ++twice) {
                    text += first ? "\"" : ",\"";
                    text += key + "\":\"";
                    for (char c : value) {
                        text += c == '\\' ? "\\\\" : c == '\t' ? "\\t" : c == '\r' ? "\\r" : std::string(1, c);
                    }
                    text += twice ? "w\"" : "\"";
                    first = false;
                }
            }
            text += "}";
        }
        text += "]";
        const std::string_view extra = noise[n(rng) % std::size(noise)];
        const std::size_t at = std::uniform_int_distribution<std::size_t>(0, text.size())(rng);
        text.insert(at, extra);
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    }
    std::printf("checked %ld random record lists\n", count);
    return 0;
}

int main(int argc, char** argv) {
    return segmorph_fuzz::replay_main(argc, argv, run_random,
                                      [](const std::string& content) { segmorph_fuzz::feed(content); });
}
#endif
