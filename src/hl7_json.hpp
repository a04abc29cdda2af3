// HL7 text to records: the stored message, its options, conversion and
// validation.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "errors.hpp"
#include "escape.hpp"
#include "files.hpp"
#include "lines.hpp"
#include "segments.hpp"

namespace segmorph {

class Hl7Json {
public:
    // Stores replace_eof(text); parses nothing.
    explicit Hl7Json(std::string_view text, bool validation_enabled = false, bool strict_validation = false,
                     bool escaping_enabled = true);
    // Takes `text` over as the stored text (normalised when it needs it):
    // a file's text is kept as read rather than copied, which would cost
    // its size again for the life of the object.
    explicit Hl7Json(std::string&& text, bool validation_enabled = false, bool strict_validation = false,
                     bool escaping_enabled = true);

    // Io or EmptyMessage, else an object built from the untrimmed content
    // less one leading byte-order mark.
    static Result<Hl7Json> from_file(std::string_view path, bool validation_enabled = false,
                                     bool strict_validation = false, bool escaping_enabled = true);
    // The rest of from_file once the file is read (by read_utf8_file or a
    // FileReader): `content` is the file's text or the error reading it.
    static Result<Hl7Json> from_file_content(Result<std::string> content, bool validation_enabled = false,
                                             bool strict_validation = false, bool escaping_enabled = true);

    const std::string& hl7_string() const { return hl7_string_; }
    const Hl7EscapeHandler& escape_handler() const { return default_escape_handler(); }

    bool validation_enabled = false;
    bool strict_validation = false;
    bool escaping_enabled = true;

    // None means: strict from strict_validation, required fields on.
    Status validate(std::optional<bool> strict_mode, std::optional<bool> validate_required_fields) const;

    // The check that precedes every conversion (nothing when validation is off).
    Status validate_for_conversion() const;

    // Calls f(line) for every "\n"-separated line of the stored text.
    template <class F>
    void for_each_line(F&& f) const {
        for_each_piece(hl7_string_, '\n', f);
    }

    // The handler to parse with under the current options (null: plain mode).
    const Hl7EscapeHandler* parse_handler() const { return escaping_enabled ? &default_escape_handler() : nullptr; }

    // Whole conversion as owned records (the binding streams instead).
    Result<std::vector<SegmentRecord>> convert() const;

    SegmentRecord split_segment(std::string_view seg) const;                // plain mode
    SegmentRecord split_segment_with_escaping(std::string_view seg) const;  // escaping mode

private:
    std::string hl7_string_;
};

}  // namespace segmorph
