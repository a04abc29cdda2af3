// The library's one error type.  Every fallible operation of the core returns
// an Hl7Error value; the binding turns it into a Python exception at the edge.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace segmorph {

enum class ErrorKind : std::uint8_t {
    Io,
    InvalidFormat,
    EmptyMessage,
    InvalidSegment,
    Parse,
    Validation,
    ValidationFailed,
    FieldError,
    ComponentError,
    InvalidEscapeSequence,
    FieldTooLong,
    ComponentTooLong,
    MissingRequiredSegment,
    InvalidSegmentName,
    InvalidFieldSeparators,
    JsonParse,
    UnsupportedVersion,
    Encoding,
    Configuration,
};

// The most bytes of input an error text quotes.  Inputs can be megabytes
// long (a JSON string, a field value taken for a segment name), and an error
// text is read by people and written to logs: a few hundred characters
// identify the culprit; more only bury the message.
inline constexpr std::size_t kMaxQuotedBytes = 200;

// Input as an error text quotes it: always valid UTF-8 and safe to print,
// with every byte that is not part of a valid UTF-8 sequence and every
// control character (C0 but tab, DEL, C1) shown as "<XX>" per byte, and
// cut after kMaxQuotedBytes (at a character boundary) with a marker saying
// how much was left out.  Every error that echoes input goes through this;
// a text of our own or of a library that only needs to be made valid passes
// a limit of SIZE_MAX.
std::string quote_input(std::string_view input, std::size_t limit = kMaxQuotedBytes);

// What went wrong while reading a file.  Rendered the way users of the
// platform's I/O layer know it: "<strerror> (os error N)".
struct IoError {
    enum class Reason : std::uint8_t { Os, InvalidUtf8, NulInPath };
    Reason reason = Reason::Os;
    int os_code = 0;

    static IoError from_errno(int code) { return {Reason::Os, code}; }
    static IoError invalid_utf8() { return {Reason::InvalidUtf8, 0}; }
    static IoError nul_in_path() { return {Reason::NulInPath, 0}; }
    std::string to_string() const;
};

class Hl7Error {
public:
    static Hl7Error io(IoError e);
    static Hl7Error invalid_format(std::string message);
    static Hl7Error empty_message();
    static Hl7Error invalid_segment(std::string message);
    static Hl7Error parse(std::uint64_t line, std::string message);
    static Hl7Error validation(std::string message);
    static Hl7Error validation_failed(std::string message);
    static Hl7Error field_error(std::string segment, std::uint64_t field, std::string message);
    static Hl7Error component_error(std::string segment, std::uint64_t field, std::uint64_t component,
                                    std::string message);
    static Hl7Error invalid_escape_sequence(std::string sequence, std::uint64_t position);
    static Hl7Error field_too_long(std::uint64_t actual, std::uint64_t maximum);
    static Hl7Error component_too_long(std::uint64_t actual, std::uint64_t maximum);
    static Hl7Error missing_required_segment(std::string description);
    static Hl7Error invalid_segment_name(std::string name);
    static Hl7Error invalid_field_separators(std::string separators);
    static Hl7Error json_parse(std::string parser_message);
    static Hl7Error unsupported_version(std::string found, std::string supported);
    static Hl7Error encoding(std::string message);
    static Hl7Error configuration(std::string message);

    ErrorKind kind() const { return kind_; }
    // The message text, the only form of the error that reaches callers.
    std::string message() const;

private:
    explicit Hl7Error(ErrorKind kind) : kind_(kind) {}
    std::string unquoted_message() const;

    ErrorKind kind_;
    // Payload slots; which ones are meaningful depends on kind_.
    std::string text1_, text2_, text3_;
    std::uint64_t num1_ = 0, num2_ = 0;
    IoError io_{};
};

// A value or an Hl7Error.  Small stand-in for std::expected (C++23).
template <class T>
class Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(Hl7Error error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    const Hl7Error& error() const { return std::get<1>(v_); }

private:
    std::variant<T, Hl7Error> v_;
};

// Success or the first error; used where an operation yields nothing else.
using Status = std::optional<Hl7Error>;

}  // namespace segmorph
