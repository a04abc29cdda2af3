// Fuzz target for to-json's one-pass writer of a line's record
// (cli/line_json.hpp).  For any input, taken as one line and as each of its
// lines, in plain mode, escaping mode and with other delimiters:
//  - the writer gives byte for byte the JSON of the reference path, the
//    line's FlatRecord (itself checked against the segment model by
//    segment_fuzz) written by append_record;
//  - it reads nothing past what it is told it may: the line is held in an
//    allocation of its own size (which a sanitizer build guards), and
//    again with the rest of the text readable after it;
//  - one writer serves every line, whatever came before.
// Build as items_fuzz.cpp, with cli/json_writer.cpp and cli/line_json*.cpp.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "json_writer.hpp"
#include "line_json.hpp"
#include "lines.hpp"
#include "segments.hpp"

using namespace segmorph;

static void check(bool ok, const char* what, std::string_view input) {
    if (ok) return;
    std::fprintf(stderr, "check failed: %s\ninput: %.*s\n", what, static_cast<int>(input.size()), input.data());
    std::abort();
}

static void check_line(std::string_view line, const char* readable_end, const Hl7EscapeHandler* handler) {
    static FlatRecord flat;
    static cli::LineJsonWriter writer;
    cli::TextBuffer expected, got;
    // Something before the record, as a message's records follow its members.
    expected.append("[");
    got.append("[");
    flat.parse(line, handler, /*keys=*/false);
    cli::append_record(expected, flat);
    writer.append(got, line, readable_end, handler);
    check(got.view() == expected.view(), "the one-pass writer differs from the reference", line);
}

static void check_all_modes(std::string_view line, std::string_view after) {
    static const Hl7EscapeHandler handler = create_default_escape_handler();
    static const Hl7EscapeHandler other_delimiters = [] {
        Hl7EscapeHandler h = create_default_escape_handler();
        h.subcomponent_separator = U'$';  // not the standard set: the reference path
        return h;
    }();
    // The line alone in an allocation of its size; then followed by `after`.
    const std::size_t n = line.size();
    const std::unique_ptr<char[]> own(new char[n == 0 ? 1 : n]);
    if (n != 0) std::memcpy(own.get(), line.data(), n);
    std::string with_rest(line);
    with_rest += after;
    for (const Hl7EscapeHandler* h : {static_cast<const Hl7EscapeHandler*>(nullptr), &handler, &other_delimiters}) {
        check_line(std::string_view(own.get(), n), own.get() + n, h);
        check_line(std::string_view(with_rest.data(), n), with_rest.data() + with_rest.size(), h);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    check_all_modes(text, "");
    for_each_message_line(text, [&](std::string_view line) {
        check_all_modes(line, text.substr(static_cast<std::size_t>(line.data() + line.size() - text.data())));
    });
    return 0;
}

#ifdef SEGMORPH_REPLAY_MAIN
#include "replay.hpp"

int main(int argc, char** argv) {
    // Tokens that make the walk take each of its ways: every separator, the
    // exemption marker, escapes, bytes JSON escapes, values about a block
    // long, and runs that make indices of ten and more and shapes of many
    // fields.
    static const char* const tokens[] = {"|",
                                         "^",
                                         "~",
                                         "\\",
                                         "&",
                                         "\"",
                                         "\t",
                                         "\x01",
                                         "\x7f",
                                         "\xc3\xa9",
                                         "a",
                                         "Z",
                                         "0",
                                         " ",
                                         "^~\\&",
                                         "\\F\\",
                                         "\\E\\",
                                         "\\X0A\\",
                                         "\\.br\\",
                                         "MSH|",
                                         "BHS|",
                                         "FHS|",
                                         "PID|",
                                         "OBX|",
                                         "abcdefghijklmno",
                                         "abcdefghijklmnop",
                                         "abcdefghijklmnopq",
                                         "0123456789012345678901234567890123",
                                         "|||||||||",
                                         "||||||||||||||||||||||||||||||",
                                         "^^^^^^^^^",
                                         "^^^^^^^^^^^^^^^^^^^^^^^^",
                                         "~~~~~~~~~",
                                         "~~~~~~~~~~~~~~~~~~~~~~~~",
                                         "~a^b^c^d^e^f^g^h^i^j^k",
                                         "\r",
                                         "\n"};
    return segmorph_fuzz::replay_main(
        argc, argv, [&](long count) { return segmorph_fuzz::run_random_tokens(tokens, 2718, 40, count); },
        [](const std::string& content) { segmorph_fuzz::feed(content); });
}
#endif
