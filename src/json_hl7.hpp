// Records to HL7 text: the stored records, JSON file input and assembly.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "errors.hpp"
#include "escape.hpp"
#include "segments.hpp"

namespace segmorph {

// Assembles records into message text, one line per record joined by "\n".
// Values are escaped with `handler` when `escape` is set; the segment name
// never is.  Never fails.
std::string assemble_message(const std::vector<SegmentRecord>& records, const Hl7EscapeHandler& handler,
                             bool escape);

// Parses a JSON text that must be an array of objects whose member values are
// all strings.  Fails with InvalidFormat("Invalid JSON: <parser message>").
Result<std::vector<SegmentRecord>> parse_json_records(std::string_view text);

// Records held for assembly.  Every key and value is copied once, into one
// buffer, and every key's position is read once, when the record is added:
// a record's strings and vectors of its own, and keys read again on every
// assembly, cost more than the assembly itself.
class JsonHl7 {
public:
    JsonHl7() = default;
    explicit JsonHl7(const std::vector<SegmentRecord>& records);

    // Io, EmptyMessage or InvalidFormat, else the parsed records.
    static Result<JsonHl7> from_file(std::string_view path);
    // The rest of from_file once the file is read (by read_utf8_file or a
    // FileReader): `content` is the file's text or the error reading it.
    static Result<JsonHl7> from_file_content(Result<std::string> content);
    // The records of a JSON text, as parse_json_records reads it (same
    // records, same errors), but faster.
    static Result<JsonHl7> from_json_text(std::string_view text);

    // Building the records one entry at a time: begin_record(), then the
    // record's entries, whose keys must differ from one another.
    void reserve(std::size_t records, std::size_t entries);
    void begin_record() { record_starts_.push_back(entries_.size()); }
    void add_entry(std::string_view key, std::string_view value) { add_entry(key, value, key_position(key)); }
    // What add_entry reads from a key, as an opaque number, for a caller
    // that can remember it per key instead of reading the key every time.
    static std::uint64_t key_position(std::string_view key);
    // `position` must be key_position(key).
    void add_entry(std::string_view key, std::string_view value, std::uint64_t position) {
        bytes_.append(key);
        entries_.push_back(Entry{position, bytes_.size(), value.size(), key.size()});
        bytes_.append(value);
    }

    std::size_t record_count() const { return record_starts_.size(); }
    // The records, each in byte-wise key order (a copy: only the getter of
    // the binding's json_data wants them).
    std::vector<SegmentRecord> json_data() const;
    // Bytes of keys and values held: the measure of an assembly's work.
    std::size_t input_bytes() const { return bytes_.size(); }
    const Hl7EscapeHandler& escape_handler() const { return default_escape_handler(); }

    std::string convert_json_to_hl7(bool escape) const;
    // The same, appended to `out` (which a caller may keep between calls).
    void convert_json_to_hl7_into(bool escape, std::string& out) const;

private:
    // A key's bytes are stored right before its value's.
    struct Entry {
        std::uint64_t pos;  // packed position (see json_hl7.cpp), kNamePos or kUnusedPos
        std::size_t value_off, value_len;
        std::size_t key_len;
    };
    std::string_view key_of(const Entry& e) const {
        return std::string_view(bytes_.data() + e.value_off - e.key_len, e.key_len);
    }
    std::string_view value_of(const Entry& e) const { return std::string_view(bytes_.data() + e.value_off, e.value_len); }
    void assemble_into(bool escape, std::string& out) const;

    std::string bytes_;
    std::vector<Entry> entries_;
    std::vector<std::size_t> record_starts_;  // index of each record's first entry
};

}  // namespace segmorph
