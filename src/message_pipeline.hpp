// One message's way from its bytes to its records, the same for every
// reader of raw feeds: the command's to-json and validate, the listener,
// and the batch module's Arrow rows.  Its steps, in order:
//
//   1. the bytes as UTF-8, in the character set asked for or declared;
//   2. the declared delimiters rewritten to the usual ones;
//   3. the rules, when a caller asks for them (they read the text of step 1,
//      which keeps the delimiters the message declares);
//   4. one record per line that is not blank, flattened from step 2's text.
//
// A reader that took any step on its own could disagree with the others on
// which messages read, on their verdicts or on their records; so every step
// lives here, and the readers differ only in what they write.
#pragma once

#include <optional>
#include <string_view>

#include "charset.hpp"
#include "errors.hpp"
#include "escape.hpp"
#include "framing.hpp"
#include "lines.hpp"
#include "message_text.hpp"
#include "rules.hpp"
#include "segments.hpp"

namespace segmorph {

struct ReadMessage {
    // Steps 1 and 2: both set unless `error` is.
    std::optional<MessageText> decoded, standard;
    // Why the message cannot be read at all (step 1 or 2).
    Status error;
    // Step 3: the first failing rule, when rules were given and the message
    // could be read.
    Status verdict;

    // The error that stops a conversion that asked for the rules: the
    // message's own, else the rules'.
    const Status& failure() const { return error ? error : verdict; }
};

// Reads one message or envelope segment (any line breaks).  With `rules`,
// checks them for `purpose`.
ReadMessage read_message(std::string_view bytes, Encoding encoding, const Rules* rules = nullptr,
                         Purpose purpose = Purpose::Convert);

// The lines of step 4: calls each(line) once per line of `standard` that is
// not blank, for a reader that makes its records its own way.
template <class Each>
void for_each_segment_line(std::string_view standard, Each&& each) {
    for_each_message_line(standard, [&](std::string_view line) {
        if (is_blank_line(line)) return;  // white space is never a segment
        each(line);
    });
}

// Step 4: calls each(flat) once per line of `standard` (a text read by
// read_message) that is not blank, `flat` holding that line's record keyed
// by number.  Escapes are decoded with the usual handler when `escaping`.
template <class Each>
void for_each_record(std::string_view standard, bool escaping, FlatRecord& flat, Each&& each) {
    const Hl7EscapeHandler* handler = escaping ? &default_escape_handler() : nullptr;
    for_each_segment_line(standard, [&](std::string_view line) {
        flat.parse(line, handler, /*keys=*/false);
        each(static_cast<const FlatRecord&>(flat));
    });
}

}  // namespace segmorph
