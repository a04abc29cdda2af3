#include "validation.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

#include "lines.hpp"

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

// Exact match against one of the fixed version lists; both rule sets compare
// versions as whole texts, never by prefix or number.
template <std::size_t N>
bool is_listed(const std::string_view (&versions)[N], std::string_view version) {
    return std::find(std::begin(versions), std::end(versions), version) != std::end(versions);
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
    if (strict_mode && !is_listed(kSupportedVersions, version->value)) {
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

// Parsing every segment into owned fields first made a validating conversion
// several times slower than the plain one.  The rules only look at segment
// names, field counts and the raw texts of a few fields, and a field's value
// in plain mode is its raw text, so they can be read from the lines as they
// stand.  The checks run in the order of validate_message, so the first
// failure reported is the same.
Status Hl7Validator::validate_message_text(std::string_view text) const {
    auto name_of = [](std::string_view line) { return line.substr(0, std::min(line.find('|'), line.size())); };
    const std::string_view header = text.substr(0, std::min(text.find('\n'), text.size()));
    if (name_of(header) != "MSH") return Hl7Error::missing_required_segment("MSH (Message Header)");

    // Fields 1, 8 and 12 of the header: the pieces after the name.
    std::string_view fields[13];
    std::size_t count = 0;
    for_each_piece(header, '|', [&](std::string_view piece) {
        if (count < 13) fields[count] = piece;
        ++count;
    });
    if (count - 1 < 12) return Hl7Error::validation_failed("MSH segment must have at least 12 fields");
    if (fields[1].size() != 4) return Hl7Error::invalid_field_separators(std::string(fields[1]));
    if (strict_mode && !is_listed(kSupportedVersions, fields[12])) {
        return Hl7Error::unsupported_version(std::string(fields[12]), std::string(kSupportedVersionList));
    }
    if (strict_mode && count_pieces(fields[8], '^') < 3) {
        return Hl7Error::validation_failed(
            "Message type (field 8) must have at least 3 components: event^structure^version");
    }

    if (validate_required_fields) {
        bool pid = false;
        for_each_piece(text, '\n', [&](std::string_view line) { pid = pid || name_of(line) == "PID"; });
        if (!pid) return Hl7Error::missing_required_segment("PID (Patient Identification)");
    }

    Status failure;
    std::size_t p = 0;
    for_each_piece(text, '\n', [&](std::string_view line) {
        if (failure) return;
        ++p;
        const std::string_view name = name_of(line);
        if (name.empty()) {
            failure = Hl7Error::validation_failed("Segment " + std::to_string(p) + " has empty segment name");
            return;
        }
        if (!is_segment_name(name)) {
            failure = Hl7Error::invalid_segment_name(std::string(name));
            return;
        }
        if (line.size() - name.size() <= kMaxValueLength) return;  // no field can be too long
        // A component is part of its field's text, so no component can be
        // longer than a field that is not too long.
        bool first = true;
        for_each_piece(line, '|', [&](std::string_view piece) {
            if (first || failure) {
                first = false;
                return;
            }
            if (piece.size() > kMaxValueLength) failure = Hl7Error::field_too_long(piece.size(), kMaxValueLength);
        });
    });
    return failure;
}

// ------------------------------------------------------------ standard rules

namespace {

// Lines of one message, whatever its line endings: CR, LF and CRLF all end a
// line, and the empty pieces between two breaks are blank like any line of
// only spaces and tabs, so blank lines vanish without a pass to normalise.
class SegmentLines {
public:
    explicit SegmentLines(std::string_view text) : text_(text), breaks_(text) {}

    // The next non-blank line, or nullopt at the end.
    std::optional<std::string_view> next() {
        while (pos_ < text_.size()) {
            const std::size_t stop = breaks_.next();
            const std::string_view line = text_.substr(pos_, stop - pos_);
            pos_ = stop < text_.size() ? stop + 1 : stop;
            // A segment starts with its name: the whole line is only read
            // when its first byte is white space.
            if (!line.empty() && (!is_blank_byte(line[0]) || !is_blank_line(line))) return line;
        }
        return std::nullopt;
    }

private:
    std::string_view text_;
    LineBreaks breaks_;
    std::size_t pos_ = 0;  // start of the next line
};

// Piece n (from 0) of text cut at every sep, or nullopt when there are fewer.
std::optional<std::string_view> nth_piece(std::string_view text, char sep, std::size_t n) {
    std::size_t start = 0;
    for (; n > 0; --n) {
        const std::size_t pos = text.find(sep, start);
        if (pos == std::string_view::npos) return std::nullopt;
        start = pos + 1;
    }
    return text.substr(start, text.find(sep, start) - start);
}

// Where the name of a segment other than the header ends: at the first
// field separator, or at the end of the line.  A name of three bytes
// followed by the separator (nearly every segment) is told from the first
// four bytes, without a search along the line.
std::size_t name_length(std::string_view line, char field_sep) {
    if (line.size() >= 3 && (line.size() == 3 || line[3] == field_sep) && line[0] != field_sep &&
        line[1] != field_sep && line[2] != field_sep)
        return 3;
    return std::min(line.find(field_sep), line.size());
}

bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_standard_segment_name(std::string_view name) {
    return name.size() == 3 && is_upper(name[0]) && (is_upper(name[1]) || is_digit(name[1])) &&
           (is_upper(name[2]) || is_digit(name[2]));
}

// Input echoed in an error text, in double quotes: at most 40 bytes of it,
// so a huge line cannot make a huge message, shown as every error text
// shows input (quote_input: control characters and bytes that are not
// UTF-8 as <XX>).
std::string quoted(std::string_view text) {
    constexpr std::size_t kShown = 40;
    std::string out = "\"";
    out += quote_input(text.substr(0, kShown), SIZE_MAX);
    out += text.size() > kShown ? "\"..." : "\"";
    return out;
}

std::string joined_versions() {
    std::string out;
    for (std::string_view v : kStandardVersions) {
        if (!out.empty()) out += ", ";
        out += v;
    }
    return out;
}

Hl7Error failure(std::size_t position, std::string what) {
    return Hl7Error::validation_failed("segment " + std::to_string(position) + " " + std::move(what));
}

Hl7Error header_failure(std::string what) { return failure(1, "(MSH): " + std::move(what)); }

}  // namespace

Status validate_standard(std::string_view message, bool strict, std::size_t max_field_bytes) {
    SegmentLines lines(message);
    const std::optional<std::string_view> first = lines.next();
    if (!first) return Hl7Error::validation_failed("the message has no segments");

    // 1. The header.  Its separator is only known once the line is an MSH,
    //    so a wrong first line is shown up to the usual "|".
    const std::string_view header = *first;
    if (header.substr(0, 3) != "MSH") {
        return failure(1, "is " + quoted(header.substr(0, header.find('|'))) + ": the first segment must be MSH");
    }
    if (header.size() < 4) return header_failure("MSH-1 (field separator) is missing");

    // The message declares its own delimiters: MSH-1 is the byte right after
    // the name and MSH-2 starts with the component separator.  "|" and "^"
    // are only the usual choice, so the header and every later segment are
    // cut with the delimiters this message declares, as its receiver would.
    const char field_sep = header[3];
    const std::string_view header_fields = header.substr(4);  // MSH-2 onwards
    // MSH-n for 2 <= n <= 12, cut once: MSH-1 is the separator, so MSH-2 is
    // piece 0 here.
    std::optional<std::string_view> msh_fields[11];
    for (std::size_t k = 0, start = 0; k < 11; ++k) {
        const std::size_t end = header_fields.find(field_sep, start);
        msh_fields[k] = header_fields.substr(start, end - start);
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    auto msh = [&](std::size_t n) { return msh_fields[n - 2]; };

    // 2. Encoding characters: component, repetition, escape and subcomponent
    //    separators, and from v2.7 on optionally the truncation character.
    //    Lengths are in bytes, like every length these rules measure.
    const std::string_view encoding = msh(2).value_or("");
    if (encoding.empty()) return header_failure("MSH-2 (encoding characters) is missing");
    if (encoding.size() != 4 && encoding.size() != 5) {
        return header_failure("MSH-2 (encoding characters) " + quoted(encoding) + " must be 4 or 5 characters, not " +
                              std::to_string(encoding.size()));
    }
    const char component_sep = encoding[0];

    // 3. Message type: code and trigger event, both needed to route a message.
    //    An acknowledgement is routed by MSA-2, not by a trigger event: a
    //    general "ACK" (or "ACK^") is how HL7's own examples answer.
    const std::string_view type = msh(9).value_or("");
    if (type.empty()) return header_failure("MSH-9 (message type) is missing");
    const std::optional<std::string_view> trigger = nth_piece(type, component_sep, 1);
    const bool general_ack = nth_piece(type, component_sep, 0) == "ACK" && (!trigger || trigger->empty());
    if (!general_ack && !trigger) {
        return header_failure("MSH-9 (message type) " + quoted(type) +
                              " must have at least 2 components (message code and trigger event)");
    }
    if (nth_piece(type, component_sep, 0)->empty()) return header_failure("MSH-9.1 (message code) is empty");
    if (!general_ack && trigger->empty()) return header_failure("MSH-9.2 (trigger event) is empty");

    // 4. Version: its first component is the version ID; the others name
    //    internationalisation variants.
    const std::string_view version = nth_piece(msh(12).value_or(""), component_sep, 0).value_or("");
    if (version.empty()) return header_failure("MSH-12 (version) is missing");
    if (strict && !is_listed(kStandardVersions, version)) {
        return header_failure("MSH-12 (version) " + quoted(version) + " is not one of " + joined_versions());
    }

    // 5. and 6. in one pass: a name failure anywhere comes before a length
    //    failure, so the first over-long field is only remembered while the
    //    remaining names are checked.  Only whole fields are measured: every
    //    component is part of its field's text, so no component can pass the
    //    limit while its field stays within it.  Nor are MSH-1 and MSH-2 ever
    //    cut into components: MSH-2 holds the separators themselves.
    struct TooLong {
        std::size_t position, field, length;
        std::string_view name;
    };
    std::optional<TooLong> too_long;
    std::size_t position = 1;
    for (std::optional<std::string_view> line = first; line; line = lines.next(), ++position) {
        // The header's name is its first three bytes whatever its separator
        // is (a separator such as "S" must not cut "MSH" short).
        const std::size_t name_end = position == 1 ? 3 : name_length(*line, field_sep);
        const std::string_view name = line->substr(0, name_end);
        if (!is_standard_segment_name(name)) {
            return failure(position, "has the name " + quoted(name) +
                                         ": a segment name must be an upper-case letter followed by two "
                                         "upper-case letters or digits");
        }
        if (too_long || max_field_bytes == 0 || name_end == line->size()) continue;
        // The header's first piece after the name is MSH-2, anywhere else
        // it is field 1.
        std::size_t field = position == 1 ? 2 : 1;
        std::size_t start = name_end + 1;
        for (;; ++field) {
            const std::size_t end = std::min(line->find(field_sep, start), line->size());
            if (end - start > max_field_bytes) {
                too_long = TooLong{position, field, end - start, name};
                break;
            }
            if (end == line->size()) break;
            start = end + 1;
        }
    }
    if (too_long) {
        return failure(too_long->position, "(" + std::string(too_long->name) + "): " + std::string(too_long->name) +
                                               "-" + std::to_string(too_long->field) + " is " +
                                               std::to_string(too_long->length) + " bytes long, over the limit of " +
                                               std::to_string(max_field_bytes));
    }
    return std::nullopt;
}

}  // namespace segmorph
