// Cutting files and streams into messages and envelope segments.
#include <vector>
#include "check.hpp"

#include "framing.hpp"

using namespace segmorph;

// The parts as one text: "M:" or "E:" before each part, parts joined by
// " / ", with CR and LF shown as "\r" and "\n" so that expectations read on
// one line.
static std::string parts(std::string_view input, bool mllp = false) {
    const Framing f = frame_messages(input);
    std::string out;
    if (f.mllp != mllp) out = "(mllp detection differs) ";
    for (const FramePart& p : f.parts) {
        if (&p != f.parts.data()) out += " / ";
        out += p.kind == FramePart::Kind::Message ? "M:" : "E:";
        for (char c : p.text) {
            if (c == '\r') out += "\\r";
            else if (c == '\n') out += "\\n";
            else out += c;
        }
    }
    return out;
}

TEST(one_message_keeps_its_line_breaks_and_drops_trailing_blank_lines) {
    CHECK_EQ(parts("MSH|a\rPID|b\r"), "M:MSH|a\\rPID|b");
    CHECK_EQ(parts("MSH|a\nPID|b\n\n  \t\n"), "M:MSH|a\\nPID|b");
    CHECK_EQ(parts("MSH|a\r\nPID|b\r\n"), "M:MSH|a\\r\\nPID|b");
    CHECK_EQ(parts("MSH|a\n\rPID|b\n\r"), "M:MSH|a\\n\\rPID|b");
    // A blank line inside a message is part of it: the module gives it a record.
    CHECK_EQ(parts("MSH|a\r\rPID|b"), "M:MSH|a\\r\\rPID|b");
}

TEST(messages_begin_at_every_msh_line_whatever_the_line_breaks) {
    CHECK_EQ(parts("MSH|1\rPID|a\rMSH|2\rPID|b\r"), "M:MSH|1\\rPID|a / M:MSH|2\\rPID|b");
    CHECK_EQ(parts("MSH|1\r\n\r\nMSH|2\nPID|b"), "M:MSH|1 / M:MSH|2\\nPID|b");
    // Only a segment named MSH starts a message; a name that goes on does not.
    CHECK_EQ(parts("MSH|1\rMSHA|x\rMSH1|y\rxMSH|z"), "M:MSH|1\\rMSHA|x\\rMSH1|y\\rxMSH|z");
    CHECK_EQ(parts("MSH"), "M:MSH");
}

TEST(text_before_the_first_header_is_a_message_of_its_own) {
    CHECK_EQ(parts("\r\nPID|x\rOBX|y\rMSH|1"), "M:PID|x\\rOBX|y / M:MSH|1");
    CHECK_EQ(parts("garbage"), "M:garbage");
}

TEST(batch_envelopes_are_parts_of_their_own) {
    CHECK_EQ(parts("FHS|^~\\&|f\rBHS|^~\\&|b\rMSH|1\rPID|a\rMSH|2\rBTS|2\rFTS|1\r"),
             "E:FHS|^~\\&|f / E:BHS|^~\\&|b / M:MSH|1\\rPID|a / M:MSH|2 / E:BTS|2 / E:FTS|1");
    // After an envelope line the next text starts a message even without MSH.
    CHECK_EQ(parts("BHS|b\nPID|a\nBTS|1"), "E:BHS|b / M:PID|a / E:BTS|1");
    CHECK_EQ(parts("FHSX|no\rMSH|1"), "M:FHSX|no / M:MSH|1");
}

TEST(byte_order_marks_at_line_starts_are_skipped) {
    CHECK_EQ(parts("\xEF\xBB\xBFMSH|1\rPID|a\n"), "M:MSH|1\\rPID|a");
    // Two files with marks, concatenated.
    CHECK_EQ(parts("\xEF\xBB\xBFMSH|1\n\xEF\xBB\xBFMSH|2\n"), "M:MSH|1 / M:MSH|2");
    CHECK_EQ(parts("\xEF\xBB\xBF"), "");
}

TEST(mllp_blocks_end_messages_and_their_framing_is_dropped) {
    CHECK_EQ(parts("\x0BMSH|1\rPID|a\r\x1C\r\x0BMSH|2\r\x1C\r", true), "M:MSH|1\\rPID|a / M:MSH|2");
    // Gaps between blocks, a mark in front, a last block cut off.
    CHECK_EQ(parts("\xEF\xBB\xBF \r\n\x0BMSH|1\x1C\r\n\r\n\x0BMSH|2\rPID", true), "M:MSH|1 / M:MSH|2\\rPID");
    // A block without MSH is still a message; a block may hold a batch.
    CHECK_EQ(parts("\x0BPID|x\x1C\r\x0B"
                   "BHS|b\rMSH|1\rMSH|2\rBTS|2\x1C\r",
                   true),
             "M:PID|x / E:BHS|b / M:MSH|1 / M:MSH|2 / E:BTS|2");
    // Outside an MLLP capture the framing bytes are ordinary text.
    CHECK_EQ(parts("MSH|a\x0B"
                   "b\x1C"),
             "M:MSH|a\x0B"
             "b\x1C");
}

TEST(blank_input_has_no_parts) {
    CHECK_EQ(parts(""), "");
    CHECK_EQ(parts(" \r\n\t\n"), "");
    CHECK_EQ(parts("\x0B\x1C\r", true), "");
}

// Reading in rounds gives the parts of the whole input, wherever the
// input is cut: in a line, in a line break, in a mark, in MLLP framing.
TEST(rounds_give_the_parts_of_the_whole_input) {
    const std::string inputs[] = {
        "\xEF\xBB\xBF\xEF\xBB\xBF"
        "FHS|f\r\nBHS|b\r\nMSH|1\r\nPID|a\r\n\r\nMSH|2\rBTS|2\rFTS|1\r\n",
        " \r\n\x0BMSH|1\rPID|a\r\x1C\r\x0B"
        "BHS|b\rMSH|2\x1C\r\x0BMSH|3",
        "PID|x\nMSHA|y\nMSH\n\xEF\xBB\xBFMSH|2\n",
    };
    for (const std::string& input : inputs) {
        for (std::size_t cut = 0; cut <= input.size(); ++cut) {
            RoundFramer rounds;
            std::string_view carry;
            const std::string head = input.substr(0, cut);  // the views below point into it
            Framing first = rounds.frame(head, false, carry);
            std::string got;
            for (const FramePart& p : first.parts) got += std::string(p.text) + "\x01";
            const std::string second = std::string(carry) + input.substr(cut);
            for (const FramePart& p : rounds.frame(second, true, carry).parts) got += std::string(p.text) + "\x01";
            std::string want;
            for (const FramePart& p : frame_messages(input).parts) want += std::string(p.text) + "\x01";
            CHECK_EQ(got, want);
            CHECK(carry.empty());
        }
    }
}

// What a round can hand on before the input ends: a live stream must not
// wait for the next message to see the end of this one when it is known.
TEST(rounds_hold_back_only_what_may_still_grow) {
    auto final_parts = [](std::string_view round) {
        RoundFramer rounds;
        std::string_view carry;
        std::string out;
        for (const FramePart& p : rounds.frame(round, false, carry).parts) out += std::string(p.text) + ";";
        return out + "carry:" + std::string(carry);
    };
    CHECK_EQ(final_parts("\x0BMSH|1\rPID|a\r\x1C\r"), "MSH|1\rPID|a;carry:");
    CHECK_EQ(final_parts("\x0BMSH|1\rPID|a\r"), "carry:MSH|1\rPID|a\r");
    CHECK_EQ(final_parts("MSH|1\rPID|a\rMSH|2\r"), "MSH|1\rPID|a;carry:MSH|2\r");
    CHECK_EQ(final_parts("MSH|1\rBTS|1\rFT"), "MSH|1;BTS|1;carry:FT");
    // A line still open that is known to begin a part ends the one before.
    CHECK_EQ(final_parts("MSH|1\rPID|a\rMSH|2"), "MSH|1\rPID|a;carry:MSH|2");
    CHECK_EQ(final_parts("MSH|1\n\xEF\xBB\xBF"
                         "BTS|"),
             "MSH|1;carry:\xEF\xBB\xBF"
             "BTS|");
    CHECK_EQ(final_parts("\x0BMSH|1\rPID|a\rMSH^"), "MSH|1\rPID|a;carry:MSH^");
    // Not while its first bytes do not tell.
    CHECK_EQ(final_parts("MSH|1\rPID|a\rMSH"), "carry:MSH|1\rPID|a\rMSH");
    CHECK_EQ(final_parts("MSH|1\rPID|a\rMSHA"), "carry:MSH|1\rPID|a\rMSHA");
    CHECK_EQ(final_parts("MSH|1\r\xEF\xBB"), "carry:MSH|1\r\xEF\xBB");
}

// A part that grew too long is given up: the rounds after it drop bytes,
// carrying only a few, up to the next place where a part may begin.
TEST(a_dropped_part_is_skipped_up_to_the_next_part) {
    auto after_drop = [](std::string_view first, std::vector<std::string> rounds) {
        RoundFramer framer;
        std::string_view carry;
        std::string out;
        for (const FramePart& p : framer.frame(first, false, carry).parts) out += std::string(p.text) + ";";
        std::string carried(framer.drop_held_part(carry));
        for (std::size_t i = 0; i < rounds.size(); ++i) {
            const std::string round = carried + rounds[i];
            for (const FramePart& p : framer.frame(round, i + 1 == rounds.size(), carry).parts)
                out += std::string(p.text) + ";";
            carried = std::string(carry);
            CHECK(carried.size() <= 6 || !out.empty());
        }
        return out;
    };
    CHECK_EQ(after_drop("MSH|0\rMSH|1\rPID|aaaa", {"aaaa\rPID|b\rMSH|2\rPID|c\r"}), "MSH|0;MSH|2\rPID|c;");
    CHECK_EQ(after_drop("MSH|1xxxx", {"xxxx", "xMSH|\rBHS|b\rMSH|2\r"}), "BHS|b;MSH|2;");
    CHECK_EQ(after_drop("\x0BMSH|1\rPID|xxx", {"xx\x1C\r\x0BMSH|2\r\x1C\r"}), "MSH|2;");
    CHECK_EQ(after_drop("MSH|1\rPID|x", {"\rMS", "H|2\r"}), "MSH|2;");
    CHECK_EQ(after_drop("MSH|1\rPID|x", {"\r\xEF\xBB", "\xBFMSH|2"}), "MSH|2;");
    CHECK_EQ(after_drop("MSH|1\rPID|x", {"\rMSHA|1\r"}), "");
    // A message followed by a line that never ends: only that line goes.
    CHECK_EQ(after_drop("MSH|0\rPID|a\rMSH|^~\\&|xxxx", {"xxxx", "x\rPID|2\rMSH|2\r"}), "MSH|0\rPID|a;MSH|2;");
}

// The round test of a stream reader: a held part ends with an MSH or
// envelope line after it (whole, or open but long enough to tell), or in a capture with a framing byte; the line the
// held part starts with is not one.
TEST(held_part_ends_with_the_next_part) {
    auto ends = [](std::string_view first, std::string_view more) {
        RoundFramer framer;
        std::string_view carry;
        framer.frame(first, false, carry);
        const std::string round = std::string(carry) + std::string(more);
        return framer.held_part_ends(round, carry.size());
    };
    CHECK(ends("MSH|1\rPID|a", "\rMSH|2\r"));
    CHECK(ends("MSH|1\rPID|a\rMS", "H|2\n"));
    CHECK(ends("MSH|1\r", "BTS|1\r"));
    CHECK(ends("MSH|1\rPID|a", "\rMSH|2"));
    CHECK(ends("MSH|1\rPID|a\rM", "SH|"));
    CHECK(!ends("MSH|1\rPID|a", "\rMSH"));
    CHECK(!ends("MSH|1\rPID|a", "\rMSHA|"));
    CHECK(!ends("MSH|1\rPID|a", "\rPID|b\r"));
    CHECK(!ends("MSH|1", "|x\r"));
    CHECK(ends("\x0BMSH|1\rPID|a", "b\x1C"));
    CHECK(!ends("\x0BMSH|1\rPID|a", "b\r"));
}

TEST_MAIN()
