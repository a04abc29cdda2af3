// Cutting the bytes of a file or stream into HL7 messages and the envelope
// segments around them, before any of them is parsed.
//
// Feeds arrive in several shapes: one message per file, many messages one
// after another, batch files wrapped in FHS/BHS ... BTS/FTS, and captures of
// MLLP streams (each message between 0x0B and 0x1C 0x0D).  Line breaks may be
// CR (the wire form), LF, CRLF or LFCR, and editors like to put a UTF-8
// byte-order mark in front.  Framing only finds the boundaries; a message's
// own text is handed on untouched, so it converts exactly as the same text
// given to Hl7Json would.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace segmorph {

struct FramePart {
    enum class Kind : unsigned char {
        Message,   // one message: from its first line to its last non-blank line
        Envelope,  // one FHS, BHS, BTS or FTS line
    };
    Kind kind;
    // A view into the framed input.  Line breaks inside a message are kept as
    // they were; no part starts or ends with a line break, and none is blank.
    std::string_view text;
};

struct Framing {
    // The input was an MLLP capture: its first byte that is not white space
    // (after a byte-order mark) is 0x0B.  Then 0x0B and 0x1C end every
    // message and are never part of one.
    bool mllp = false;
    // In a capture, the input ended inside a block (after 0x0B, before its
    // 0x1C) and the last part comes from that block: the capture was cut.
    // Only said of the round that ends the input.
    bool truncated = false;
    std::vector<FramePart> parts;
};

// Cuts `input` into parts, in input order.
//
// A message begins at every line whose segment name is MSH, and after a
// boundary (the start of the input, an envelope line, an MLLP block) at the
// first line that is neither blank nor an envelope line, so that no text is
// ever dropped: a file without any MSH is still one message.  It ends before
// the next message or envelope line or at the end of its MLLP block, and
// blank lines (nothing but spaces, tabs, 0x0B and form feeds) at its end are not part of it.
// A byte-order mark at the start of a line is skipped, so that files with
// one can be concatenated.  Never fails; every byte that is not a line
// break, blank, a byte-order mark or MLLP framing ends up in some part.
Framing frame_messages(std::string_view input);

// Framing of an input that is read in rounds, so that a feed of any length
// is converted in bounded memory.  Each round is the text carried over from
// the round before followed by newly read bytes; the parts it yields are
// exactly those frame_messages would give for the whole input.
class RoundFramer {
public:
    // Frames one round and returns its final parts.  Unless `ended` (no
    // more input follows), the last part may still grow: it is held back,
    // and `carry` is set to the text from its start to the end of the
    // round, which the caller puts in front of the next round.  A last line
    // not yet complete whose first bytes show that it begins a part (an MSH
    // or envelope segment) ends the part before it, which is handed on; then
    // `carry` is that line alone.  The parts and `carry` are views into
    // `round`.
    Framing frame(std::string_view round, bool ended, std::string_view& carry);

    // While the next round is being read: whether its bytes from `from` on
    // (the carry's size at the first call of a round, then growing) end
    // the part held back, with an MSH or envelope line (whole, or open but
    // long enough to tell) or, in a capture, a framing byte, so that framing the round now hands that
    // part on.  Each byte is looked at about once per round.
    bool held_part_ends(std::string_view round, std::size_t from);

    // Gives up the part held back by the last frame(), which has grown too
    // long: its bytes are dropped, from `carry` and from the rounds to come,
    // up to the next place where a part may begin.  Returns what is left
    // of `carry` (the caller's next carry); what is carried while dropping
    // stays a few bytes long, whatever the input.
    std::string_view drop_held_part(std::string_view carry);

private:
    std::size_t skip_to_part(std::string_view round, bool ended, std::string_view& carry);

    std::optional<bool> mllp_;  // decided by the first text that is not blank
    bool at_input_start_ = true;
    bool in_block_ = false;  // a capture's carry lies inside a block
    std::size_t carry_size_ = 0;
    std::size_t watch_line_ = 0;  // held_part_ends: start of the line being read
    bool dropping_ = false;       // drop_held_part: no part begun yet
    bool mid_line_ = false;       // ... and the next round starts inside a line
};

// Where the next piece of `input` begins at or after `pos`: the start of a
// line holding an MSH or envelope segment, or in an MLLP capture a block's
// start byte; input.size() when none does.  `input` is the whole input
// (its first bytes decide whether it is a capture), and cutting it there
// loses nothing: framing the bytes before and the bytes from there on gives
// exactly the parts that framing the whole gives.  So a large input can be
// cut into ranges that are framed on their own, each range starting where
// this says.  0 for pos 0.
std::size_t next_message_start(std::string_view input, std::size_t pos);

}  // namespace segmorph
