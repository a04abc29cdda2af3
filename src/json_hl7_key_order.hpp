// The rules by byte-wise key order: what a record writes when its keys
// decide more than their positions -- two keys for one position (the later
// in byte order wins) -- or when a key's index is too large to pack
// (json_hl7_keys.hpp).  Records of that kind are rare; these rules read
// every key's text and sort cells, and need not be fast.  The fast assembly
// (json_hl7_assembly.cpp) hands such a record here;
// oracle_assemble_message runs every record through them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "escape.hpp"
#include "json_hl7_keys.hpp"
#include "segments.hpp"

namespace segmorph::detail {

// A record's keys are read into a flat vector of cells (position, value),
// sorted by position and written out in one pass.  No tree is built:
// records are small, and one vector reused across the whole message costs
// no allocation per key once it has grown.  JsonHl7 reads each key's
// position once, when the record is added, and needs the keys' byte order
// only in the rare records where it decides anything; keys in position
// order need no sort at all.
//
// Gaps below the largest index are filled with empty texts, so an index is
// a request for that many separators; the records given here must have
// passed the bound on them (json_hl7_bounds.hpp), which keeps a hostile key
// from turning a few bytes of input into gigabytes of output.

struct Cell {
    Position pos;
    // Index of the entry in the record (for the oracle, whose records are
    // in byte-wise key order, that order).
    std::size_t seq;
    std::string_view value;

    std::uint64_t field() const { return pos.field; }
    std::uint64_t rep() const { return pos.rep; }
    std::uint64_t comp() const { return pos.comp; }
    // Whether `other` lies in the same repetition of the same field.
    bool same_rep(const Cell& other) const { return pos.field == other.pos.field && pos.rep == other.pos.rep; }
};

class Assembler {
public:
    Assembler(const Hl7EscapeHandler& handler, EscapeMode mode)
        : handler_(handler),
          mode_(mode),
          escape_(mode != EscapeMode::None),
          standard_(has_standard_delimiters(handler)) {}

    // A record given as its entries in byte-wise key order.
    void record(const SegmentRecord& rec, std::string& out);
    // A record given as cells() sorted by position, and the cells of one
    // position in byte-wise order of their keys: the last of those wins.
    // For a writer that reads the positions itself (JsonHl7's).
    std::vector<Cell>& cells() { return cells_; }
    void write_sorted(std::optional<std::string_view> name, std::string& out);

private:
    void write(std::optional<std::string_view> name, std::string& out) const;
    void merge_equal_positions();
    void put_value(std::string_view value, bool escape, std::string& out) const;

    const Hl7EscapeHandler& handler_;
    EscapeMode mode_;
    bool escape_;
    bool standard_;  // the handler's delimiters are the standard ones
    std::vector<Cell> cells_;
};

}  // namespace segmorph::detail
