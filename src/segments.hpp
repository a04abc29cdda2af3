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
        // none; field is capped at UINT32_MAX (the text is always exact).
        std::uint32_t field;
        std::int32_t rep, comp;
    };

    // Parses `line` (which must outlive the items) in plain mode when handler
    // is null, else in escaping mode.  Items come out in record key order.
    void parse(std::string_view line, const Hl7EscapeHandler* handler);

    std::string_view name() const { return name_; }
    // Bytes held by the scratch buffers; release_memory() gives them back.
    std::size_t capacity_bytes() const {
        return keys_.capacity() + buffer_.capacity() + pending_.capacity() * sizeof(Pending);
    }
    void release_memory() { *this = FlatRecord(); }
    // Field items in key order; "segment_name" (always the last key in byte
    // order, since field keys start with a digit) is not among them.
    std::size_t size() const { return pending_.size(); }
    Item item(std::size_t i) const {
        const Pending& p = pending_[i];
        const char* value = (p.in_buffer ? buffer_.data() : line_) + p.val_off;
        return Item{std::string_view(keys_.data() + p.key_off, p.key_len), std::string_view(value, p.val_len),
                    p.field, p.rep, p.comp};
    }

private:
    struct Pending {
        // The key's first eight bytes, big-endian and zero-padded: ordering
        // these integers orders the keys (keys hold no NUL), so the sort
        // rarely needs to look at the key text itself.
        std::uint64_t prefix;
        std::size_t key_off;
        std::size_t val_off, val_len;
        std::uint32_t key_len;  // at most three 20-digit numbers and "[]."
        std::uint32_t field;
        std::int32_t rep, comp;
        bool in_buffer;
    };
    void add(std::uint64_t field, std::int64_t rep, std::int64_t comp, bool in_buffer, std::size_t off,
             std::size_t len);

    std::string_view name_;
    const char* line_ = nullptr;
    std::string keys_;
    std::string buffer_;
    std::vector<Pending> pending_;
};

}  // namespace segmorph
