// Records read from JSON for to-hl7: a whole document, or JSON Lines.
#pragma once

#include <string_view>
#include <vector>

#include "errors.hpp"
#include "segments.hpp"

namespace segmorph::cli {

// One message's records, or one batch envelope segment (one record).
struct JsonItem {
    bool envelope = false;
    std::vector<SegmentRecord> records;
};

// A whole JSON text: an array of records is one message, read exactly as
// JsonHl7.from_file reads it (and failing with its error); an array of the
// objects that to-json writes gives their items in order.
Result<std::vector<JsonItem>> parse_json_document(std::string_view text);

// One line of JSON Lines: an object as to-json writes it ("records" or
// "envelope"; other members are ignored) or a bare array of records.
Result<JsonItem> parse_json_line(std::string_view line);

// True when `text` parses as one JSON value of any kind.
bool is_json_value(std::string_view text);

}  // namespace segmorph::cli
