// The rules by byte-wise key order: what a record writes when its keys
// decide more than their positions -- two keys for one position (the later
// in byte order wins), or a separator budget running short (keys are
// admitted in byte order while they fit).  Records of that kind are rare;
// these rules read every key's text, sort cells and may walk them twice, and
// need not be fast.  The fast assembly (json_hl7_assembly.cpp) hands such a
// record here; oracle_assemble_message runs every record through them.
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

// A record's keys are read into a flat vector of cells (field, repetition,
// component, value), sorted by position and written out in one pass.  No
// tree is built: records are small, and one vector reused across the whole
// message costs no allocation per key once it has grown.  JsonHl7 reads each
// key's position once, when the record is added, and needs the keys' byte
// order only in the rare records where it decides anything (two keys for
// one position, a budget running short); keys in position order need no
// sort at all.
//
// Bounds.  Gaps below the largest index are filled with empty texts, so an
// index is a request for that many separators.  Two limits keep a hostile
// key from turning a few bytes of input into gigabytes of output:
//
//  * every index (field, repetition, component) must be at most
//    kMaxIndex = 100000; real segments have well under a hundred fields,
//    data types a few dozen components, and fields rarely more than a few
//    thousand repetitions;
//  * the separators ("|", "~", "^") written for a whole message may not
//    exceed kSeparatorBase plus kSeparatorsPerEntry for every record entry.
//    A record parsed from HL7 text writes at most one separator per entry,
//    so only records that ask for large gaps ever come near this.
//
// A key beyond either limit is ignored like any other unusable key.  The
// budget is spent record by record and, inside a record, in byte-wise key
// order, so which keys survive is decided by the input alone.

constexpr std::uint64_t kSeparatorBase = 1000000;
constexpr std::uint64_t kSeparatorsPerEntry = 16;

struct Cell {
    // field << 34 | rep << 17 | comp: indices are below 2^17, so the packed
    // order is the order of (field, rep, comp).
    std::uint64_t pos;
    // Index of the entry in the record, which is in byte-wise key order.
    // After merging the keys of one position: the first key's index, the
    // moment the budget decides on the position.
    std::uint32_t seq;
    bool dropped;
    std::string_view value;

    std::uint32_t field() const { return static_cast<std::uint32_t>(pos >> 34); }
    std::uint32_t rep() const { return static_cast<std::uint32_t>((pos >> 17) & 0x1FFFF); }
    std::uint32_t comp() const { return static_cast<std::uint32_t>(pos & 0x1FFFF); }
    // Field and repetition together, to spot a change of repetition.
    std::uint64_t field_rep() const { return pos >> 17; }
};

// Separators that a repetition's largest component index costs.
constexpr std::uint64_t comp_cost(std::uint32_t max_comp) { return max_comp >= 1 ? max_comp - 1 : 0; }

class Assembler {
public:
    Assembler(const Hl7EscapeHandler& handler, EscapeMode mode, std::uint64_t budget)
        : handler_(handler),
          mode_(mode),
          escape_(mode != EscapeMode::None),
          standard_(has_standard_delimiters(handler)),
          budget_(budget) {}

    // A record given as its entries in byte-wise key order.
    void record(const SegmentRecord& rec, std::string& out);
    // What is left of the separator budget, for a writer that checks it
    // itself (JsonHl7's) and then spends it.
    std::uint64_t budget() const { return budget_; }
    void spend(std::uint64_t separators) { budget_ -= separators; }

private:
    void write(std::optional<std::string_view> name, std::string& out) const;
    void merge_equal_positions();
    std::uint64_t separators_needed() const;
    void spend_budget_in_key_order();
    void put_value(std::string_view value, bool escape, std::string& out) const;

    const Hl7EscapeHandler& handler_;
    EscapeMode mode_;
    bool escape_;
    bool standard_;  // the handler's delimiters are the standard ones
    std::uint64_t budget_;
    std::vector<Cell> cells_;
    // Scratch for the slow path of the budget.
    std::vector<std::uint32_t> order_, field_group_, rep_group_, group_max_;
    std::vector<bool> group_seen_;
};

// Cells sorted by position -> one cell per position, holding the value of

}  // namespace segmorph::detail
