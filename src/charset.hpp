// Character sets of incoming messages.
//
// The records are UTF-8, and most feeds are too; but legacy interfaces
// send ISO-8859-1 or Windows-1252 and say so (or not) in MSH-18.  A message
// is taken as UTF-8 when its bytes are valid UTF-8, else in the character
// set its header declares, else it is refused with the offset and value of
// the first byte that is not UTF-8, so the user can say what it is.  The
// conversions are the C library's (iconv).
#pragma once

#include <optional>
#include <string_view>

#include "errors.hpp"
#include "message_text.hpp"

namespace segmorph {

enum class Encoding { Auto, Utf8, Latin1, Cp1252 };

// "auto", "utf-8", "latin-1" or "cp1252" (also "utf8", "latin1",
// "iso-8859-1", "windows-1252"; ASCII case ignored).
std::optional<Encoding> encoding_named(std::string_view name);

// The iconv name of an HL7 character set (MSH-18: "8859/1", "ASCII",
// "UNICODE UTF-8", "ISO IR100"...), or nullopt for one that this reader does
// not take.  ASCII and UTF-8 both give "UTF-8": ASCII is its subset.
std::optional<std::string_view> iconv_name_of_hl7_charset(std::string_view hl7_name);

// `message` as UTF-8: unchanged when it is UTF-8 already (and `encoding`
// allows it), converted otherwise.  Encoding errors name the offset (from
// the start of `message`) and value of the first byte that cannot be read,
// and suggest --encoding.
Result<MessageText> decode_message(std::string_view message, Encoding encoding);

// Whether an envelope segment opens a batch (FHS, BHS) or closes one (BTS,
// FTS).
enum class EnvelopeSide { Opens, Closes };

// An envelope segment line as UTF-8.  Batch and file headers have no field
// that names a character set, but they are written by the system that
// writes the messages inside: under Auto a line that is not UTF-8 is read
// in the set that MSH-18 of `message` declares, the message the line opens
// (the first one after it) or closes (the last one before it); nullopt
// when there is none.  Otherwise as decode_message.
Result<MessageText> decode_envelope(std::string_view line, Encoding encoding, std::optional<std::string_view> message,
                                    EnvelopeSide side);

}  // namespace segmorph
