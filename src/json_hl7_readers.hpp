// The fast JSON reader's way into the record store, for every reader of
// records (JsonHl7.from_file and the command's to-hl7): a JSON array read by
// yyjson becomes records of a JsonHl7 with no copy of a key or value but the
// one into the store, and no key read twice (see json_hl7_keys.hpp).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "json_hl7.hpp"

struct yyjson_val;  // yyjson.h: typedef struct yyjson_val yyjson_val

namespace segmorph {

// What stood where records were expected: the element's index, and when it
// is a member value that is not a string, that member's key.  `found` names
// the kind of value ("a number", "an array", ...).
struct NotRecords {
    std::size_t element;
    bool in_member;
    std::string key;
    const char* found;
    // That key's text as the reader holds it (yyjson reads from its own
    // copy of the input, so a caller can tell where it stood), or nullptr.
    const char* key_at = nullptr;
};

// The kind of a JSON value as error texts name it: "null", "a boolean",
// "a number", "a string", "an array" or "an object".
const char* json_kind(yyjson_val* v);

// Adds every element of `array` as a record of `out`: nullopt when they
// all are objects whose member values are strings, else what stood in the
// way first, and the records before it stay added (callers drop the store).
// Of two equal keys in one object the later wins.
std::optional<NotRecords> add_json_records(yyjson_val* array, JsonHl7& out);
// The same for one object, added as one record.
std::optional<NotRecords> add_json_record(yyjson_val* object, JsonHl7& out);

// The two fast ways JsonHl7::from_json_text tries, in turn, before the
// strict reader: the records of a JSON text, or nullopt where the way gives
// up (the flat reader at anything beyond its plain subset, yyjson at
// anything that is not an array of records).  Apart for the fuzz targets,
// which check that both give the same records wherever the flat one reads.
std::optional<JsonHl7> read_records_flat(std::string_view text);
std::optional<JsonHl7> read_records_yyjson(std::string_view text);

}  // namespace segmorph
