#include "hl7_json.hpp"

#include "utf8.hpp"
#include "validation.hpp"

namespace segmorph {

Hl7Json::Hl7Json(std::string_view text, bool validation, bool strict, bool escaping)
    : Hl7Json(replace_eof(text), validation, strict, escaping) {}

Hl7Json::Hl7Json(std::string&& text, bool validation, bool strict, bool escaping)
    : validation_enabled(validation),
      strict_validation(strict),
      escaping_enabled(escaping),
      hl7_string_(text.find('\r') == std::string::npos ? std::move(text) : replace_eof(text)) {}

Result<Hl7Json> Hl7Json::from_file(std::string_view path, bool validation, bool strict, bool escaping) {
    return from_file_content(read_utf8_file(path), validation, strict, escaping);
}

Result<Hl7Json> Hl7Json::from_file_content(Result<std::string> file, bool validation, bool strict, bool escaping) {
    Result<std::string> content = message_content(std::move(file));
    if (!content) return content.error();
    // Editors on Windows save UTF-8 with a byte-order mark; it belongs to the
    // file, not to the first segment's name.
    std::string& text = content.value();
    if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
    if (is_blank(text)) return Hl7Error::empty_message();
    // The file's text becomes the stored text: no second copy of it.
    return Hl7Json(std::move(text), validation, strict, escaping);
}

Status Hl7Json::validate(std::optional<bool> strict_mode, std::optional<bool> validate_required_fields) const {
    const Hl7Validator validator{strict_mode.value_or(strict_validation), validate_required_fields.value_or(true)};
    return validator.validate_message_text(hl7_string_);
}

Status Hl7Json::validate_for_conversion() const {
    if (!validation_enabled) return std::nullopt;
    return validate(strict_validation, false);
}

Result<std::vector<SegmentRecord>> Hl7Json::convert() const {
    if (Status s = validate_for_conversion()) return *s;
    std::vector<SegmentRecord> records;
    const Hl7EscapeHandler* handler = parse_handler();
    for_each_line([&](std::string_view line) { records.push_back(Hl7Segment::from_string(line, handler).to_json()); });
    return records;
}

SegmentRecord Hl7Json::split_segment(std::string_view seg) const {
    return Hl7Segment::from_string(seg, nullptr).to_json();
}

SegmentRecord Hl7Json::split_segment_with_escaping(std::string_view seg) const {
    return Hl7Segment::from_string(seg, &default_escape_handler()).to_json();
}

}  // namespace segmorph
