// JSON text for the records the command writes.
#pragma once

#include <string>
#include <string_view>

#include "piece.hpp"
#include "segments.hpp"

namespace segmorph::cli {

// Appends `text` (valid UTF-8) as a JSON string: quotes, backslashes and
// control characters escaped, everything else, non-ASCII included, as is.
void append_json_string(TextBuffer& out, std::string_view text);

// Appends one record as a JSON object: its items in key order, then
// "segment_name", the order of the dict Hl7Json gives for the same line.
// The keys are written from the items' numbers: the record need not hold
// key texts (parse it without them).
void append_record(TextBuffer& out, const FlatRecord& record);

}  // namespace segmorph::cli
