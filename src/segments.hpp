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

// Fast flattening of one line straight into key/value views, for callers that
// turn records into other objects right away (the Python binding).  Keys are
// written into an arena owned by the scratch; values are views into the line
// or into the scratch's unescape buffer.  Nothing is allocated per key once
// the scratch has grown to the size of the largest line.
class FlatRecord {
public:
    struct Item {
        std::string_view key;
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
        return keys_.capacity() + buffer_.capacity() + pending_.capacity() * sizeof(Pending) +
               groups_.capacity() * sizeof(Group) + order_.capacity() * sizeof(std::uint32_t);
    }
    void release_memory() { *this = FlatRecord(); }
    // Field items in key order; "segment_name" (always the last key in byte
    // order, since field keys start with a digit) is not among them.
    std::size_t size() const { return pending_.size(); }
    Item item(std::size_t i) const {
        const Pending& p = pending_[order_.empty() ? i : order_[i]];
        const char* value = (p.in_buffer ? buffer_.data() : line_) + p.val_off;
        return Item{std::string_view(keys_.data() + p.key_off, p.key_len), std::string_view(value, p.val_len),
                    p.field, p.rep, p.comp};
    }

private:
    // Items are made field by field, in numeric order; byte order is
    // reached by ordering the fields' groups of items (see parse).
    struct Pending {
        std::size_t val_off, val_len;
        std::size_t key_off;
        std::uint32_t key_len;
        bool in_buffer;
        std::uint64_t field;
        std::int64_t rep, comp;
    };
    // The items of one field; groups_[k] is field k + 1's, as every field
    // from 1 on gives at least one item.
    struct Group {
        std::uint32_t first, count;
        bool repeated;    // its keys have "[...]"
        bool sort_items;  // its items need ordering too
    };
    void add(std::uint64_t field, std::int64_t rep, std::int64_t comp, bool in_buffer, std::size_t off,
             std::size_t len);
    void start_group(std::uint64_t field, bool repeated);
    void put_in_key_order();
    void append_in_key_order(std::uint64_t field);
    void append_group(const Group& g);

    std::string_view name_;
    const char* line_ = nullptr;
    bool want_keys_ = true;
    std::uint64_t group_field_ = 0;  // field of the last group
    bool wide_ = false;  // a field number too long for Group::order
    std::string keys_;
    std::string buffer_;
    std::vector<Pending> pending_;
    std::vector<Group> groups_;
    std::vector<std::uint32_t> order_;  // empty: items are in key order already
    struct ItemPlace {
        std::uint64_t rep, comp;
        std::uint32_t index;
    };
    std::vector<ItemPlace> item_orders_;  // scratch for ordering one group
};

}  // namespace segmorph
