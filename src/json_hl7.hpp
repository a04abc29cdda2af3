// Records to HL7 text: the stored records, JSON file input and assembly.
#pragma once

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

class JsonHl7 {
public:
    explicit JsonHl7(std::vector<SegmentRecord> records);

    // Io, EmptyMessage or InvalidFormat, else the parsed records.
    static Result<JsonHl7> from_file(std::string_view path);
    // The rest of from_file once the file is read (by read_utf8_file or a
    // FileReader): `content` is the file's text or the error reading it.
    static Result<JsonHl7> from_file_content(Result<std::string> content);

    const std::vector<SegmentRecord>& json_data() const { return json_data_; }
    const Hl7EscapeHandler& escape_handler() const { return escape_handler_; }

    std::string convert_json_to_hl7(bool escape) const;

private:
    std::vector<SegmentRecord> json_data_;
    Hl7EscapeHandler escape_handler_;
};

}  // namespace segmorph
