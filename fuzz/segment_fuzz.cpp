// Fuzz target for the HL7 -> records path.  Checks, for any UTF-8 input line:
//  - the fast flattening agrees with the oracle -- the parsed segment model,
//    its records ordered by sorting their key texts -- in both modes, with
//    and without key texts, and through the general path that handlers
//    with other delimiters take; one flattening scratch serves every input,
//    so what it remembers between lines (key orders by segment shape) is
//    checked too;
//  - decoding the encoding of a text gives the text back, also for decoded
//    texts (which may hold unknown sequences kept whole);
//  - the records of the text's lines in escaping mode assemble, with
//    escaping, into a text whose lines parse back into the same records;
//  - line-ending normalisation leaves no carriage return;
//  - validating the text directly reports what validating its parsed
//    segments does, under every option.
// Build with -fsanitize=fuzzer for libFuzzer, or with -DSEGMORPH_REPLAY_MAIN
// for a plain program that runs the files named on its command line.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "escape.hpp"
#include "json_hl7.hpp"
#include "lines.hpp"
#include "segments.hpp"
#include "utf8.hpp"
#include "validation.hpp"

using namespace segmorph;

static void check(bool ok, const char* what, std::string_view input) {
    if (ok) return;
    std::fprintf(stderr, "check failed: %s\ninput: %.*s\n", what, static_cast<int>(input.size()), input.data());
    std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!is_valid_utf8(text)) return 0;
    static const Hl7EscapeHandler handler = create_default_escape_handler();

    check(replace_eof(text).find('\r') == std::string::npos, "replace_eof left a CR", text);
    check(handler.unescape(handler.escape(text)) == text, "unescape(escape(t)) != t", text);
    const std::string decoded = handler.unescape(text);
    check(handler.unescape(handler.escape(decoded)) == decoded, "unescape(escape(u)) != u for u = unescape(t)", text);

    std::vector<SegmentRecord> records;
    const std::string normalised = replace_eof(text);
    for_each_piece(normalised, '\n', [&](std::string_view line) {
        records.push_back(Hl7Segment::from_string(line, &handler).to_json());
    });
    // Both escapings must give the records back when read with escaping.
    for (const EscapeMode mode : {EscapeMode::Full, EscapeMode::Minimal}) {
        std::size_t i = 0;
        bool same = true;
        const Result<std::string> assembled = oracle_assemble_message(records, handler, mode);
        check(assembled.ok(), "parsed records pass the bound on separators", text);
        for_each_piece(assembled.value(), '\n', [&](std::string_view line) {
            same = same && i < records.size() && Hl7Segment::from_string(line, &handler).to_json() == records[i];
            ++i;
        });
        check(same && i == records.size(), "decoded records do not read back from their escaped text", text);
    }

    std::vector<Hl7Segment> segments;
    for_each_piece(normalised, '\n',
                   [&](std::string_view line) { segments.push_back(Hl7Segment::from_string(line, nullptr)); });
    for (int options = 0; options < 4; ++options) {
        const Hl7Validator validator{(options & 1) != 0, (options & 2) != 0};
        const Status parsed = validator.validate_message(segments),
                     direct = validator.validate_message_text(normalised);
        check(parsed.has_value() == direct.has_value() && (!parsed || parsed->message() == direct->message()),
              "validating the text differs from validating its segments", text);
    }

    // One scratch for every input, as the binding keeps one per thread.
    static FlatRecord flat;
    static const Hl7EscapeHandler other_delimiters = [] {
        Hl7EscapeHandler h = create_default_escape_handler();
        h.subcomponent_separator = U'$';  // not the standard set: the general path
        return h;
    }();
    for (const Hl7EscapeHandler* h : {static_cast<const Hl7EscapeHandler*>(nullptr), &handler, &other_delimiters}) {
        const SegmentRecord oracle = Hl7Segment::from_string(text, h).to_json();
        flat.parse(text, h);
        std::vector<SegmentRecord::Entry> got;
        for (std::size_t i = 0; i < flat.size(); ++i) {
            const FlatRecord::Item item = flat.item(i);
            got.emplace_back(std::string(item.key), std::string(item.value));
        }
        got.emplace_back("segment_name", std::string(flat.name()));
        check(got == oracle.entries(), "flattening differs from the oracle", text);
        // Without key texts: the same items, their numbers giving the keys.
        flat.parse(text, h, /*keys=*/false);
        got.clear();
        for (std::size_t i = 0; i < flat.size(); ++i) {
            const FlatRecord::Item item = flat.item(i);
            check(item.key.empty(), "a key text written without being asked for", text);
            char key[FlatRecord::kMaxKeyLength];
            const char* end = FlatRecord::format_key(key, item.field, item.rep, item.comp);
            got.emplace_back(std::string(key, static_cast<std::size_t>(end - key)), std::string(item.value));
        }
        got.emplace_back("segment_name", std::string(flat.name()));
        check(got == oracle.entries(), "flattening by numbers differs from the oracle", text);
    }
    return 0;
}

#ifdef SEGMORPH_REPLAY_MAIN
#include "replay.hpp"

int main(int argc, char** argv) {
    // Without a coverage-guided fuzzer at hand, "--random N" strings together
    // N random texts from the tokens that matter to the parser and the codec.
    static const char* const tokens[] = {
        "|", "^", "~", "\\", "&", "F", "S", "R", "E", "T", "X", "X0A", "X0D", "X0D0A", "X20", "X09", "x0a", "0", "7",
        "a", "Z", " ", "\r", "\n", "\t", "^~\\&", "\xc3\xa9", "\xd9\xa3", "\xe2\x82\xac", "\xe2\x80\x83", "[", "]", ".",
        "+", "MSH|", "BHS|", "FHS|", ".br", "H", "N", "\xef\xbb\xbf", "PID|", "2.5", "2.9.1", "ADT^A01^ADT_A01",
        "|||||||||||", "MSH|^~\\&|||||||ADT^A01|||2.5", "MSH|^~\\&|||||||ADT|||2.5|", "Z1X|", "pid|", "~~~~~~~~~~",
        "^^^^^^^^^^",
        // Three-digit indices: fields, repetitions, components past 99.
        "||||||||||||||||||||||||||||||||||||||||||||||||||", "~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~",
        "^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^"};
    return segmorph_fuzz::replay_main(
        argc, argv, [&](long count) { return segmorph_fuzz::run_random_tokens(tokens, 12345, 24, count); },
        [](const std::string& content) {
            // Whole file, then each line: the flattening works on single lines.
            segmorph_fuzz::feed(content);
            for_each_piece(replace_eof(content), '\n', [](std::string_view line) { segmorph_fuzz::feed(line); });
        });
}
#endif
