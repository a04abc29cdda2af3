#include "validation.hpp"

#include <algorithm>
#include <string>

namespace segmorph {

namespace {

bool is_segment_name(std::string_view name) {
    if (name.size() != 3) return false;
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); });
}

std::size_t count_pieces(std::string_view text, char sep) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), sep)) + 1;
}

// Field N of a segment, or null when the segment has fewer fields.
const Hl7Field* field_at(const std::vector<Hl7Field>& fields, std::size_t n) {
    return n >= 1 && n <= fields.size() ? &fields[n - 1] : nullptr;
}

}  // namespace

Status Hl7Validator::validate_message_type(const std::vector<Hl7Field>& header_fields, bool strict) {
    const Hl7Field* type = field_at(header_fields, 8);
    if (type == nullptr) return Hl7Error::validation_failed("Message type (field 8) is required");
    if (strict && count_pieces(type->value, '^') < 3) {
        return Hl7Error::validation_failed(
            "Message type (field 8) must have at least 3 components: event^structure^version");
    }
    return std::nullopt;
}

Status Hl7Validator::validate_message(const std::vector<Hl7Segment>& segments) const {
    if (segments.empty()) return Hl7Error::validation("Message contains no segments");

    const Hl7Segment& header = segments.front();
    if (header.name != "MSH") return Hl7Error::missing_required_segment("MSH (Message Header)");
    if (header.fields.size() < 12) return Hl7Error::validation_failed("MSH segment must have at least 12 fields");

    const Hl7Field* separators = field_at(header.fields, 1);
    if (separators == nullptr) return Hl7Error::validation_failed("Field separators (field 1) are required");
    if (separators->value.size() != 4) return Hl7Error::invalid_field_separators(separators->value);

    const Hl7Field* version = field_at(header.fields, 12);
    if (version == nullptr) return Hl7Error::validation_failed("HL7 version (field 12) is required");
    if (strict_mode && std::find(std::begin(kSupportedVersions), std::end(kSupportedVersions), version->value) ==
                           std::end(kSupportedVersions)) {
        return Hl7Error::unsupported_version(version->value, std::string(kSupportedVersionList));
    }

    if (Status s = validate_message_type(header.fields, strict_mode)) return s;

    if (validate_required_fields &&
        std::none_of(segments.begin(), segments.end(), [](const Hl7Segment& s) { return s.name == "PID"; })) {
        return Hl7Error::missing_required_segment("PID (Patient Identification)");
    }

    for (std::size_t p = 0; p < segments.size(); ++p) {
        const Hl7Segment& segment = segments[p];
        if (segment.name.empty()) {
            return Hl7Error::validation_failed("Segment " + std::to_string(p + 1) + " has empty segment name");
        }
        if (!is_segment_name(segment.name)) return Hl7Error::invalid_segment_name(segment.name);
        for (const Hl7Field& field : segment.fields) {
            if (field.value.size() > kMaxValueLength) {
                return Hl7Error::field_too_long(field.value.size(), kMaxValueLength);
            }
            if (!field.components) continue;
            for (const std::string& component : *field.components) {
                if (component.size() > kMaxValueLength) {
                    return Hl7Error::component_too_long(component.size(), kMaxValueLength);
                }
            }
        }
    }
    return std::nullopt;
}

}  // namespace segmorph
