// to-json's writer of one segment line's record: JSON straight from the
// line, in one pass, without the items in between.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "piece.hpp"
#include "segments.hpp"

namespace segmorph::cli {

// Writes the same bytes as append_record() of the line's FlatRecord, which
// stays the simple reference (the fuzz targets compare the two).  Each item
// is written the moment the walk over the line's separators meets its end:
// its key from a table, its value copied a block at a time, into a scratch
// of the writer's.  Lines of up to nine fields are then in key order as
// written, and copied out whole; longer ones are copied out a field at a
// time in key order, and the few fields with an index of ten or more an
// item at a time.
//
// One writer serves any number of lines; its scratch grows to the largest.
class LineJsonWriter {
public:
    // Appends the record of `line` as a JSON object.  The bytes from the
    // line's start up to `readable_end` (at or after the line's end) may be
    // read: values are copied a block at a time, and the text after a line
    // (the rest of its message) saves the shorter copy of its last values.
    // Escapes are decoded with `handler` unless it is null.
    void append(TextBuffer& out, std::string_view line, const char* readable_end, const Hl7EscapeHandler* handler);

private:
    // One field as written: where its text starts in the buffer, its first
    // item, and where its repetitions' first items start in rep_firsts_.
    // The next field's give where each ends.
    struct Field {
        std::uintptr_t out_start;
        std::size_t first;
        std::size_t reps;
        bool repeated, sort_items;
    };
    void write_fields(std::string_view line, std::size_t start, std::uint64_t field, const char* readable_end,
                      const Hl7EscapeHandler* handler);
    // The walk's other half (see write_fields), all of it on walk_.
    [[gnu::noinline]] const char* on_mark(const char* at);
    void prepare_block(const char* block);
    void ensure(std::size_t need);
    void set_row();
    void emit(const char* end, std::int64_t number);
    void end_field(const char* end);
    void restart_field();
    char* put_in_key_order(char* o);
    std::string_view slow_value(std::string_view raw, const Hl7EscapeHandler* handler);
    const std::uint32_t* decimal_order(std::uint64_t first, std::uint64_t count);

    // The walk's state where both its halves find it.
    struct Walk {
        const char* line_end;
        const char* readable_end;
        const Hl7EscapeHandler* handler;
        const char* piece;        // where the current component starts
        const char* field_start;  // where the current field starts
        char* w;                  // the cursor
        char* limit;              // the end of the room claimed
        std::uintptr_t* item;     // the next item's place in item_starts_
        Field* current;           // the current field's record in fields_
        std::uint64_t field;
        // The field's keys in the table (fields below 100, no repetitions):
        // components below table_comps are found from its first slot, row.
        std::uint64_t row;
        std::int64_t table_comps;
        std::int64_t rep;   // the repetition, -1 before the field's first "~"
        std::int64_t comp;  // "^" seen in the current occurrence
        bool slow;          // the current component has a byte that takes the slow way
        bool sort;          // the field has an index of ten or more
        bool any_sort;      // so has an earlier one
    };
    Walk walk_{};
    // The items as the walk writes them, in the line's order, with room
    // for a block's whole-block stores past them.
    std::unique_ptr<char[]> scratch_;
    std::size_t scratch_size_ = 0;
    // Scratch, kept from line to line.
    std::vector<std::uintptr_t> item_starts_;  // by item: where its text is in the buffer
    std::vector<Field> fields_;                // the first field_count_, then one past the last
    std::size_t field_count_ = 0;
    bool any_sort_ = false;                // a field has an index of ten or more
    std::vector<std::size_t> rep_firsts_;  // the first item of each repetition of repeated fields
    std::string unescaped_;
    FieldKeyOrders field_orders_;
    // The decimal order of 1..n (components) and of 0..n-1 (repetitions),
    // by n, worked out on first need.
    std::vector<std::vector<std::uint32_t>> comp_orders_, rep_orders_;
    std::vector<std::uint32_t> large_order_;
    FlatRecord fallback_;
};

}  // namespace segmorph::cli
