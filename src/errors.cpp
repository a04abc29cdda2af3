#include "errors.hpp"

#include <algorithm>
#include <cstring>

#include "utf8.hpp"

namespace segmorph {

namespace {

std::string describe_errno(int code) {
    char buf[256];
    // GNU strerror_r returns the message pointer (possibly a static string);
    // the XSI variant returns an int and fills buf.
#if defined(_GNU_SOURCE) && !defined(__APPLE__)
    const char* text = strerror_r(code, buf, sizeof buf);
    return text ? std::string(text) : std::string("Unknown error");
#else
    if (strerror_r(code, buf, sizeof buf) != 0) return "Unknown error";
    return std::string(buf);
#endif
}

}  // namespace

std::string quote_input(std::string_view input, std::size_t limit) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    const auto* p = reinterpret_cast<const unsigned char*>(input.data());
    const std::size_t n = input.size();
    std::string out;
    out.reserve(std::min(n, limit) + 32);
    std::size_t i = 0;
    while (i < n && i < limit) {
        const std::size_t len = utf8_sequence_length(p + i, n - i);
        // Control characters would act on the terminal or the log that
        // shows the text (ESC starts colour codes, 0x0B and CR break
        // lines), so they are shown like bytes that are not UTF-8: C0
        // controls other than tab, DEL, and C1 controls (U+0080-U+009F,
        // encoded C2 80 to C2 9F) byte by byte.
        const bool control = (len == 1 && ((p[i] < 0x20 && p[i] != '\t') || p[i] == 0x7F)) ||
                             (len == 2 && p[i] == 0xC2 && p[i + 1] < 0xA0);
        if (len == 0 || control) {
            for (std::size_t k = 0; k < std::max<std::size_t>(len, 1); ++k) {
                out += '<';
                out += kHex[p[i + k] >> 4];
                out += kHex[p[i + k] & 0xF];
                out += '>';
            }
            i += std::max<std::size_t>(len, 1);
        } else {
            // A character straddling the limit is left out whole.
            if (i + len > limit) break;
            out.append(input.data() + i, len);
            i += len;
        }
    }
    if (i < n) out += "... (cut: " + std::to_string(n - i) + " more bytes)";
    return out;
}

std::string IoError::to_string() const {
    switch (reason) {
        case Reason::InvalidUtf8: return "stream did not contain valid UTF-8";
        case Reason::NulInPath: return "file name contained an unexpected NUL byte";
        case Reason::Os: break;
    }
    return describe_errno(os_code) + " (os error " + std::to_string(os_code) + ")";
}

Hl7Error Hl7Error::io(IoError e) {
    Hl7Error r(ErrorKind::Io);
    r.io_ = e;
    return r;
}

#define SEGMORPH_ONE_TEXT(fn, k)           \
    Hl7Error Hl7Error::fn(std::string m) { \
        Hl7Error r(ErrorKind::k);          \
        r.text1_ = std::move(m);           \
        return r;                          \
    }
SEGMORPH_ONE_TEXT(invalid_format, InvalidFormat)
SEGMORPH_ONE_TEXT(invalid_segment, InvalidSegment)
SEGMORPH_ONE_TEXT(validation, Validation)
SEGMORPH_ONE_TEXT(validation_failed, ValidationFailed)
SEGMORPH_ONE_TEXT(missing_required_segment, MissingRequiredSegment)
SEGMORPH_ONE_TEXT(json_parse, JsonParse)
SEGMORPH_ONE_TEXT(encoding, Encoding)
SEGMORPH_ONE_TEXT(configuration, Configuration)
#undef SEGMORPH_ONE_TEXT

// The kinds whose payload is a piece of the input quote it bounded.
Hl7Error Hl7Error::invalid_segment_name(std::string name) {
    Hl7Error r(ErrorKind::InvalidSegmentName);
    r.text1_ = quote_input(name);
    return r;
}

Hl7Error Hl7Error::invalid_field_separators(std::string separators) {
    Hl7Error r(ErrorKind::InvalidFieldSeparators);
    r.text1_ = quote_input(separators);
    return r;
}

Hl7Error Hl7Error::empty_message() { return Hl7Error(ErrorKind::EmptyMessage); }

Hl7Error Hl7Error::parse(std::uint64_t line, std::string message) {
    Hl7Error r(ErrorKind::Parse);
    r.num1_ = line;
    r.text1_ = std::move(message);
    return r;
}

Hl7Error Hl7Error::field_error(std::string segment, std::uint64_t field, std::string message) {
    Hl7Error r(ErrorKind::FieldError);
    r.text1_ = quote_input(segment);
    r.num1_ = field;
    r.text2_ = std::move(message);
    return r;
}

Hl7Error Hl7Error::component_error(std::string segment, std::uint64_t field, std::uint64_t component,
                                   std::string message) {
    Hl7Error r(ErrorKind::ComponentError);
    r.text1_ = quote_input(segment);
    r.num1_ = field;
    r.num2_ = component;
    r.text2_ = std::move(message);
    return r;
}

Hl7Error Hl7Error::invalid_escape_sequence(std::string sequence, std::uint64_t position) {
    Hl7Error r(ErrorKind::InvalidEscapeSequence);
    r.text1_ = quote_input(sequence);
    r.num1_ = position;
    return r;
}

Hl7Error Hl7Error::field_too_long(std::uint64_t actual, std::uint64_t maximum) {
    Hl7Error r(ErrorKind::FieldTooLong);
    r.num1_ = actual;
    r.num2_ = maximum;
    return r;
}

Hl7Error Hl7Error::component_too_long(std::uint64_t actual, std::uint64_t maximum) {
    Hl7Error r(ErrorKind::ComponentTooLong);
    r.num1_ = actual;
    r.num2_ = maximum;
    return r;
}

Hl7Error Hl7Error::unsupported_version(std::string found, std::string supported) {
    Hl7Error r(ErrorKind::UnsupportedVersion);
    r.text1_ = quote_input(found);
    r.text2_ = std::move(supported);
    return r;
}

std::string Hl7Error::message() const {
    // Each payload that echoes input is quoted already; this covers the
    // texts made of our own words and the system's, so that no error text
    // can ever carry a control character.
    return quote_input(unquoted_message(), SIZE_MAX);
}

std::string Hl7Error::unquoted_message() const {
    using std::to_string;
    switch (kind_) {
        case ErrorKind::Io: return "I/O error: " + io_.to_string();
        case ErrorKind::InvalidFormat: return "HL7 invalid format: " + text1_;
        case ErrorKind::EmptyMessage: return "HL7 message is empty";
        case ErrorKind::InvalidSegment: return "HL7 invalid segment: " + text1_;
        case ErrorKind::Parse: return "HL7 parsing error at line " + to_string(num1_) + ": " + text1_;
        case ErrorKind::Validation: return "HL7 validation error: " + text1_;
        case ErrorKind::ValidationFailed: return "HL7 validation failed: " + text1_;
        case ErrorKind::FieldError:
            return "HL7 field error in segment " + text1_ + ", field " + to_string(num1_) + ": " + text2_;
        case ErrorKind::ComponentError:
            return "HL7 component error in segment " + text1_ + ", field " + to_string(num1_) + ", component " +
                   to_string(num2_) + ": " + text2_;
        case ErrorKind::InvalidEscapeSequence:
            return "Invalid escape sequence: " + text1_ + " at position " + to_string(num1_);
        case ErrorKind::FieldTooLong:
            return "Field value exceeds maximum length: " + to_string(num1_) + " > " + to_string(num2_) + " characters";
        case ErrorKind::ComponentTooLong:
            return "Component value exceeds maximum length: " + to_string(num1_) + " > " + to_string(num2_) +
                   " characters";
        case ErrorKind::MissingRequiredSegment: return "Missing required segment: " + text1_;
        case ErrorKind::InvalidSegmentName:
            return "Invalid segment name: " + text1_ + " (must be exactly 3 alphabetic characters)";
        case ErrorKind::InvalidFieldSeparators:
            return "Invalid field separators: " + text1_ + " (must be exactly 4 characters)";
        case ErrorKind::JsonParse: return "JSON parsing error: " + text1_;
        case ErrorKind::UnsupportedVersion:
            return "HL7 version not supported: " + text1_ + " (supported versions: " + text2_ + ")";
        case ErrorKind::Encoding: return "HL7 encoding error: " + text1_;
        case ErrorKind::Configuration: return "Configuration error: " + text1_;
    }
    return "unknown error";
}

}  // namespace segmorph
