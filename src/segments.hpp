// The parsed form of one segment line, its flattening into a record, and the
// record type shared by both conversion directions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "escape.hpp"

namespace segmorph {

// One segment as string keys to string values, kept in plain byte-wise key
// order ("1" < "1.1" < "10" < "1[0]" < "2" < "segment_name").  A sorted
// vector rather than a tree: records are small and built in one go.
class SegmentRecord {
public:
    using Entry = std::pair<std::string, std::string>;

    SegmentRecord() = default;
    // Takes entries in any order; among equal keys the one given last wins.
    explicit SegmentRecord(std::vector<Entry> entries);

    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    auto begin() const { return entries_.begin(); }
    auto end() const { return entries_.end(); }
    const std::vector<Entry>& entries() const { return entries_; }

    friend bool operator==(const SegmentRecord&, const SegmentRecord&) = default;

private:
    std::vector<Entry> entries_;
};

struct Hl7Field {
    std::string value;
    std::optional<std::vector<std::string>> components;
    std::optional<std::vector<Hl7Field>> repetitions;

    // Parses one "|"-separated piece; plain mode when handler is null.
    static Hl7Field from_string(std::string_view text, const Hl7EscapeHandler* handler);
};

struct Hl7Segment {
    std::string name;
    // fields[i] is field i + 1: field indices are contiguous from 1, so a
    // vector is the ordered map of index to field.
    std::vector<Hl7Field> fields;

    // Never fails; plain mode when handler is null.
    static Hl7Segment from_string(std::string_view line, const Hl7EscapeHandler* handler);
    SegmentRecord to_json() const;
};

// The "^~\&" exemption marker: a piece holding it is never split.
inline constexpr std::string_view kEncodingCharacters = "^~\\&";

// Segments whose field 1 holds the encoding characters.  That field is
// syntax, not data: it is read verbatim (never split, never decoded) and
// written back verbatim, so even a malformed one (say "^~\\&") survives.
inline bool is_header_segment(std::string_view name) {
    return name.size() == 3 && (name == "MSH" || name == "BHS" || name == "FHS");
}

// The order of a segment's fields depends only on its shape: how many
// fields it has and which of those with two-digit relatives repeat (a
// repeated "3[0]" goes after "30" to "39", a plain "3" before).  Lines of
// one kind share their shape, so the order is worked out once per shape and
// remembered, as the assembly remembers its layouts: a few slots, each
// keeping the field indices of one shape in key order.
class FieldKeyOrders {
public:
    // Shapes beyond this many fields are not remembered (the repeats of
    // fields 1 to 63 fit a word).
    static constexpr std::uint64_t kMaxFields = 639;
    // The field indices (field - 1) of a segment of `fields` fields, 1 to
    // kMaxFields, in key order; bit f - 1 of `repeats` says field f
    // repeats, for the fields up to fields / 10 (no other bit may be set).
    // Valid until the next call.
    const std::vector<std::uint32_t>& get(std::uint64_t fields, std::uint64_t repeats);
    std::size_t capacity_bytes() const {
        std::size_t bytes = slots_.size() * sizeof(Slot);
        for (const Slot& s : slots_) bytes += s.order.capacity() * sizeof(std::uint32_t);
        return bytes;
    }

private:
    struct Slot {
        std::uint64_t fields = 0, repeats = 0;  // the shape; fields 0: empty slot
        std::vector<std::uint32_t> order;       // field indices in key order
    };
    static constexpr std::size_t kSlots = 1024;  // the sample messages have 56 shapes; feeds a few hundred
    std::vector<Slot> slots_;
};

// Appends i = 0 to count - 1 to `out` in the byte order of the decimal
// texts of first + i (first is 0 or 1) when each is followed by a byte that
// sorts before the digits (component numbers: "." or the end of the key) or,
// where `late`, after them (repetition numbers: "]").
void append_decimal_order(std::uint64_t first, std::uint64_t count, bool late, std::vector<std::uint32_t>& out);

// Fast flattening of one line straight into key/value views, for callers that
// turn records into other objects right away (the Python binding, the
// command's JSON writer).  Values are views into the line or into the
// scratch's unescape buffer; keys are known by their numbers, and written as
// texts only on request.  Nothing is allocated per item once the scratch has
// grown to the size of the largest line.
class FlatRecord {
public:
    struct Item {
        std::string_view key;  // empty unless parse() was asked for key texts
        std::string_view value;
        // The key's numbers, so a caller can find a key it made before
        // without hashing its text: rep and comp are -1 where the key has
        // none.
        std::uint64_t field;
        std::int64_t rep, comp;
    };

    // Parses `line` (which must outlive the items) in plain mode when handler
    // is null, else in escaping mode.  Items come out in record key order.
    // Without `keys`, the items' key texts are left empty: a caller that
    // finds keys by their numbers saves writing them (see format_key).
    void parse(std::string_view line, const Hl7EscapeHandler* handler, bool keys = true);

    // Writes the key of (field, rep, comp) -- rep and comp -1 where absent --
    // at `out`, which must have room for kMaxKeyLength bytes; returns its end.
    static constexpr std::size_t kMaxKeyLength = 3 * 20 + 3;
    static char* format_key(char* out, std::uint64_t field, std::int64_t rep, std::int64_t comp);

    std::string_view name() const { return name_; }
    // Bytes held by the scratch buffers; release_memory() gives them back.
    std::size_t capacity_bytes() const {
        return keys_.capacity() + key_spans_.capacity() * sizeof(KeySpan) + buffer_.capacity() +
               pending_.capacity() * sizeof(Pending) + groups_.capacity() * sizeof(Group) +
               order_.capacity() * sizeof(std::size_t) + field_orders_.capacity_bytes();
    }
    void release_memory() { *this = FlatRecord(); }
    // Field items in key order; "segment_name" (always the last key in byte
    // order, since field keys start with a digit) is not among them.
    std::size_t size() const { return items_; }
    Item item(std::size_t i) const {
        const std::size_t at = order_.empty() ? i : order_[i];
        const Pending& p = pending_[at];
        const char* value = ((p.len & kInBuffer) != 0 ? buffer_.data() : line_) + p.off;
        std::string_view key;
        if (!key_spans_.empty()) key = std::string_view(keys_.data() + key_spans_[at].off, key_spans_[at].len);
        return Item{key, std::string_view(value, p.len & ~kInBuffer), p.field, p.rep, p.comp};
    }

private:
    // One item as parsing makes it: field by field, in numeric order.  Byte
    // order is reached afterwards by ordering the fields' groups (see
    // put_in_key_order).  The top bit of len says the value is in buffer_
    // rather than in the line.
    static constexpr std::size_t kInBuffer = std::size_t{1} << (8 * sizeof(std::size_t) - 1);
    struct Pending {
        std::size_t off, len;
        std::uint64_t field;
        std::int64_t rep, comp;
    };
    // The items of one field; groups_[k] is field k + 1's, as every field
    // from 1 on gives at least one item.
    struct Group {
        std::size_t first, count;
        bool repeated;    // its keys have "[...]"
        bool sort_items;  // an index of ten or more: its items need ordering too
    };
    struct KeySpan {
        std::size_t off, len;
    };
    void scan_fields(std::string_view line, std::uint64_t field, std::size_t start, const Hl7EscapeHandler* handler);
    // The walk's other half (see scan_fields), all of it on scan_.
    [[gnu::noinline]] std::size_t scan_mark(std::size_t at);
    void scan_emit(std::size_t end, std::int64_t number);
    void scan_end_field(std::size_t end);
    struct Scan {
        const char* data;
        std::size_t n;
        const Hl7EscapeHandler* handler;
        std::size_t piece;        // where the current component starts
        std::size_t field_start;  // where the current field starts
        std::size_t field_first;  // its first item
        std::size_t buffer_mark;  // buffer_'s size when it started
        std::uint64_t field;
        std::int64_t rep;   // its repetition, -1 before its first "~"
        std::int64_t comp;  // "^" seen in the current occurrence
        bool escaped;       // the current component holds "\"
        bool sort;          // the field has an index of ten or more
    };
    Scan scan_{};
    void add(const Pending& p) {
        if (items_ == pending_.size()) pending_.resize(std::max<std::size_t>(2 * items_, 64));
        pending_[items_++] = p;
    }
    void add_group(const Group& g) {
        if (group_count_ == groups_.size()) groups_.resize(std::max<std::size_t>(2 * group_count_, 64));
        groups_[group_count_++] = g;
    }
    void parse_general(std::string_view line, const Hl7EscapeHandler* handler);
    void write_keys();
    void put_in_key_order();
    std::size_t* append_group(const Group& g, std::size_t* out) const;

    std::string_view name_;
    const char* line_ = nullptr;
    std::string keys_;
    std::vector<KeySpan> key_spans_;  // by item, as made; empty without key texts
    std::string buffer_;
    std::vector<Pending> pending_;  // storage: the first items_ are the items
    std::size_t items_ = 0;
    std::vector<Group> groups_;  // storage: the first group_count_ are the groups
    std::size_t group_count_ = 0;
    std::vector<std::size_t> order_;  // empty: items are in key order already

    FieldKeyOrders field_orders_;

public:
    // The field items in key order, as item(i) gives them but with their
    // keys' texts left empty: a copy of where the record keeps them, which
    // a caller holds in a local.  A caller writing bytes through a char
    // pointer (which may alias anything) would make item(i) load the
    // record's storage again for every item; a local copy stays in
    // registers.  Valid until the next parse().
    class Items {
    public:
        std::size_t size() const { return count_; }
        Item operator[](std::size_t i) const {
            const Pending& p = pending_[order_ == nullptr ? i : order_[i]];
            const char* value = ((p.len & kInBuffer) != 0 ? buffer_ : line_) + p.off;
            return Item{{}, std::string_view(value, p.len & ~kInBuffer), p.field, p.rep, p.comp};
        }

    private:
        friend class FlatRecord;
        Items(const Pending* pending, const std::size_t* order, std::size_t count, const char* line, const char* buffer)
            : pending_(pending), order_(order), count_(count), line_(line), buffer_(buffer) {}
        const Pending* pending_;
        const std::size_t* order_;  // null: in key order as made
        std::size_t count_;
        const char* line_;
        const char* buffer_;
    };
    Items items() const {
        return Items(pending_.data(), order_.empty() ? nullptr : order_.data(), items_, line_, buffer_.data());
    }
};

}  // namespace segmorph
