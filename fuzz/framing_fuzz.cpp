// Fuzz target for message framing.  Checks, for any input bytes:
//  - parts come in input order, do not overlap and lie inside the input;
//  - no part is blank or starts or ends with a line break;
//  - the bytes outside every part are only line breaks, blanks, byte-order
//    marks and, in an MLLP capture, the framing bytes: no text is lost;
//  - a message framed again on its own comes back as itself;
//  - a message's lines, walked in place, are those of its text with the
//    line breaks normalised.
// Build with -fsanitize=fuzzer for libFuzzer, or with -DSEGMORPH_REPLAY_MAIN
// for a plain program that runs the files named on its command line.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "framing.hpp"
#include "lines.hpp"

using namespace segmorph;

static void check(bool ok, const char* what, std::string_view input) {
    if (ok) return;
    std::fprintf(stderr, "check failed: %s\ninput:", what);
    for (unsigned char c : input) std::fprintf(stderr, " %02x", c);
    std::fprintf(stderr, "\n");
    std::abort();
}

static bool is_gap_byte(char c, bool mllp) {
    switch (c) {
        case '\r':
        case '\n':
        case ' ':
        case '\t':
        case '\x0B':
        case '\f':
        case '\xEF':
        case '\xBB':
        case '\xBF': return true;
        case '\x1C': return mllp;
        default: return false;
    }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const Framing framing = frame_messages(input);
    const char* pos = input.data();
    const char* const end = input.data() + input.size();
    for (const FramePart& part : framing.parts) {
        const std::string_view t = part.text;
        check(!t.empty() && t.data() >= pos && t.data() + t.size() <= end, "part out of order or outside", input);
        for (; pos != t.data(); ++pos) check(is_gap_byte(*pos, framing.mllp), "text lost between parts", input);
        pos = t.data() + t.size();
        check(t.front() != '\r' && t.front() != '\n' && t.back() != '\r' && t.back() != '\n',
              "part starts or ends with a line break", input);
        check(t.find_first_not_of(" \t\v\f") != std::string_view::npos, "blank part", input);
        if (part.kind == FramePart::Kind::Envelope) {
            check(t.find_first_of("\r\n") == std::string_view::npos, "envelope part spans lines", input);
        } else if (t[t.find_first_not_of(" \t\r\n")] != '\x0B' && !t.starts_with("\xEF\xBB\xBF")) {
            // (A message that looks like an MLLP capture on its own is framed as one.)
            const Framing again = frame_messages(t);
            check(again.parts.size() == 1 && again.parts[0].text == t, "message does not frame as itself", input);
        }
        if (framing.mllp) check(t.find_first_of("\x0B\x1C") == std::string_view::npos, "MLLP byte in a part", input);
    }
    for (; pos != end; ++pos) check(is_gap_byte(*pos, framing.mllp), "text lost after the parts", input);

    // Read in rounds of a few bytes (sizes taken from the input, so that
    // every run tries other cuts), framing gives the same parts.
    RoundFramer rounds;
    std::size_t matched = 0;
    std::string carried;
    std::size_t at = 0, step = 1 + (size ? data[0] % 7 : 0);
    for (bool ended = false; !ended;) {
        const std::size_t take = std::min(step, input.size() - at);
        step = 1 + (step * 5 + take) % 11;
        const std::string round = carried + std::string(input.substr(at, take));
        at += take;
        ended = at == input.size();
        // What a stream reader asks while the round's bytes arrive (in two
        // goes here): when the answer is yes, framing must hand the held
        // part on, or re-reading it would cost quadratic time.
        bool ends = false;
        if (!ended && take < carried.size()) {
            const std::size_t mid = carried.size() + take / 2;
            ends = rounds.held_part_ends(std::string_view(round).substr(0, mid), carried.size());
            ends = rounds.held_part_ends(round, mid) || ends;
        }
        std::string_view carry;
        for (const FramePart& part : rounds.frame(round, ended, carry).parts) {
            check(matched < framing.parts.size(), "rounds give more parts", input);
            check(part.kind == framing.parts[matched].kind && part.text == framing.parts[matched].text,
                  "rounds give other parts", input);
            ++matched;
        }
        check(!ends || carry.empty() || carry.data() != round.data(), "a part said to end is held still", input);
        // What is held holds one part at most: no line in it but the first
        // begins one, whole or open but long enough to tell, so that nothing
        // complete waits behind a line that may never end.
        for (std::size_t line = carry.find_first_of("\r\n"); line != std::string_view::npos;
             line = carry.find_first_of("\r\n", line + 1)) {
            const std::string_view rest = carry.substr(line + 1);
            const bool whole = rest.find_first_of("\r\n") != std::string_view::npos;
            std::string_view text = rest.substr(0, rest.find_first_of("\r\n"));
            if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
            for (std::string_view name : {"MSH", "FHS", "BHS", "BTS", "FTS"})
                check(!segment_named(text, name) || (!whole && text.size() == name.size()),
                      "a part is held behind the start of another", input);
        }
        carried = std::string(carry);
    }
    check(matched == framing.parts.size(), "rounds give fewer parts", input);

    // Cut where next_message_start says (from a position taken from the
    // input), the two sides frame into exactly the parts of the whole.
    const std::size_t from = size ? (data[size - 1] * 131u + size) % (size + 1) : 0;
    const std::size_t cut = next_message_start(input, from);
    check(cut >= from && cut <= input.size(), "cut outside the input or before pos", input);
    std::vector<FramePart> sides = frame_messages(input.substr(0, cut)).parts;
    for (const FramePart& part : frame_messages(input.substr(cut)).parts) sides.push_back(part);
    check(sides.size() == framing.parts.size(), "a cut changes the number of parts", input);
    for (std::size_t i = 0; i < sides.size() && i < framing.parts.size(); ++i) {
        check(sides[i].kind == framing.parts[i].kind && sides[i].text.data() == framing.parts[i].text.data() &&
                  sides[i].text.size() == framing.parts[i].text.size(),
              "a cut changes a part", input);
    }

    // The lines of any text, walked in place, are those of replace_eof's
    // copy of it.
    std::vector<std::string_view> walked;
    for_each_message_line(input, [&](std::string_view line) { walked.push_back(line); });
    std::vector<std::string_view> copied;
    const std::string normalised = replace_eof(input);
    for_each_piece(std::string_view(normalised), '\n', [&](std::string_view line) { copied.push_back(line); });
    check(walked == copied, "lines walked in place differ from the normalised text's", input);
    for (std::string_view line : walked)
        check(line.empty() || (line.data() >= input.data() && line.data() + line.size() <= input.data() + size),
              "a line is not a view of the text", input);
    return 0;
}

#ifdef SEGMORPH_REPLAY_MAIN
#include "replay.hpp"

int main(int argc, char** argv) {
    // "--random N": texts strung together from the tokens that matter to
    // framing.
    static const char* const tokens[] = {"MSH",    "FHS",          "BHS",  "BTS",  "FTS", "PID",     "|",    "^~\\&",
                                         "\r",     "\n",           "\r\n", "\n\r", " ",   "\t",      "\x0B", "\x1C",
                                         "\x1C\r", "\xEF\xBB\xBF", "A",    "1",    "x",   "\xc3\xa9"};
    return segmorph_fuzz::replay_main(
        argc, argv, [&](long count) { return segmorph_fuzz::run_random_tokens(tokens, 4242, 32, count); },
        [](const std::string& content) {
            segmorph_fuzz::feed(content);
            // The same file as an MLLP capture.
            segmorph_fuzz::feed("\x0B" + content + "\x1C\r");
        });
}
#endif
