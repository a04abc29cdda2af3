// Messages that declare delimiters of their own.
//
// A header segment (MSH, FHS, BHS) declares the message's delimiters: the
// byte after its name is the field separator, and the field after it lists
// the component, repetition, escape and subcomponent separators (and from
// v2.7 on a truncation character).  "|^~\&" is only the usual choice; a
// feed may declare "#!@$%" and be perfectly valid.  The module's parser
// knows only the usual ones, so such a message is first rewritten into the
// same message with them: every declared delimiter becomes the standard one,
// and a standard delimiter that is plain data in the message becomes its
// escape sequence (a "|" in a value is written "\F\"), so that the records
// of the rewritten message are exactly those the sender meant.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "errors.hpp"
#include "message_text.hpp"

namespace segmorph {

// The usual delimiters, in MSH-1/MSH-2 order: field, component,
// repetition, escape, subcomponent.
inline constexpr std::string_view kStandardDelimiters = "|^~\\&";

// `message` (one message or one envelope segment, segments separated by
// any line breaks) as it reads with the standard delimiters.  Unchanged
// (a view of `message`) when its first non-blank line is not a header
// segment or already declares them; InvalidFormat when its header is too
// short to declare them all, or declares one twice or a line break.
// A BTS or FTS line, which declares nothing but is cut by its batch's field
// separator, is read with the byte after its name as field separator.
Result<MessageText> with_standard_delimiters(std::string_view message);

// Field n (n >= 2) of the header that starts `message`, read with the
// delimiters it declares: the first component of its first repetition
// (MSH-18's default character set, say).  Nullopt when the message does
// not start with a header or the header has no such field.
std::optional<std::string_view> declared_header_field(std::string_view message, std::size_t n);

// The same field whole, as written: every component and repetition
// (MSH-9 "ADT^A01^ADT_A01", say).
std::optional<std::string_view> header_field_as_written(std::string_view message, std::size_t n);

}  // namespace segmorph
