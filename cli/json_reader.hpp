// Records read from JSON for to-hl7, by the same readers and into the same
// store as JsonHl7.from_file: one item at a time, a JSON Lines line or one
// element of an array, so memory follows the largest item, not the input.
// An item as to-json writes it goes through the flat reader, in one pass
// straight into the store; anything else through yyjson and
// add_json_records, which decide and word what is wrong.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "json_hl7.hpp"
#include "json_hl7_flat.hpp"

namespace segmorph::cli {

// What went wrong reading an item, in the command's words, and where: the
// byte of the item's text it concerns.
struct JsonProblem {
    std::size_t at;
    std::string what;
};

// One item read: a message's records, or a batch envelope segment (one
// record), added to `records` (emptied first).
struct ItemReader {
    JsonHl7 records;
    bool envelope = false;
    // Whether the flat reader is tried first (off only where a fuzz target
    // compares the two ways).
    bool try_flat = true;

    // An object as to-json writes it ("records" or "envelope"; other
    // members are skipped, a later "records" replaces an earlier one) or,
    // when `bare_array` allows, an array of records.
    std::optional<JsonProblem> read_item(std::string_view text, bool bare_array);
    // An array of records (a text that starts with "["): one message.
    std::optional<JsonProblem> read_records(std::string_view text);
    // The line of JSON Lines that `text` starts with, when it is an item
    // as to-json writes it (the flat reader's plain subset): true, and
    // `line_end` gets where the line ends (its "\n", or the text's end).
    // False for anything else, which read_item then reads, once the line's
    // end is found.
    bool read_line_flat(std::string_view text, const char*& line_end);

private:
    bool read_flat(FlatJson& flat, bool bare_array);
};

// Whether an array whose first element is `first` holds to-json's items
// (objects with "records" or "envelope") rather than the records of one
// message.  Records win where both readings are possible.
bool holds_items(std::string_view first);

// Finds where JSON values end without reading them: only strings and the
// nesting of brackets are followed, so the reading thread can cut an input
// into items while the items are read in parallel.  A malformed value still
// ends somewhere; reading it then says what is wrong.
class ValueScanner {
public:
    // Starts on a value whose first byte is `first`; scanning goes on from
    // the byte after it.
    void start(char first);
    // Looks at text[from...]: the offset just past the value's end, or npos
    // when the text ends first (call again with more text, from where it
    // stopped: the scanner remembers what it saw).
    std::size_t scan(std::string_view text, std::size_t from);

private:
    enum class In { Container, String, StringInContainer, Scalar } in_ = In::Scalar;
    std::size_t depth_ = 0;
    bool escaped_ = false;
};

// Line and column (1-based; columns count characters) of the byte at `at`,
// for a text whose first byte is at `line`, `column`.
struct TextPlace {
    std::size_t line, column;
};
TextPlace place_of(std::string_view text, std::size_t at, TextPlace start);

}  // namespace segmorph::cli
