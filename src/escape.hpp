// Codec for HL7 escape sequences ("\F\", "\S\", "\X0D\", ...).
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace segmorph {

// Unicode properties used by the codec, from the generated table.
// Alphanumeric: ASCII letters and digits, or a non-ASCII character with the
// Alphabetic property or in Nd, Nl or No.
bool is_alphanumeric(char32_t c);
// The White_Space property.
bool is_white_space(char32_t c);

struct Hl7EscapeHandler {
    std::unordered_map<std::string, std::string> escape_sequences;
    char32_t field_separator = U'|';
    char32_t component_separator = U'^';
    char32_t repetition_separator = U'~';
    char32_t escape_character = U'\\';
    char32_t subcomponent_separator = U'&';

    std::string escape(std::string_view text) const;
    std::string unescape(std::string_view text) const;
    std::vector<std::string> parse_field_with_escaping(std::string_view text) const;

    // Appending forms used on hot paths; `out` is not cleared.
    void escape_into(std::string_view text, std::string& out) const;
    void unescape_into(std::string_view text, std::string& out) const;

    // UTF-8 forms of the separators, for byte-level searching (a valid UTF-8
    // encoding of one character only ever matches that character).
    std::string component_separator_utf8() const;
    std::string repetition_separator_utf8() const;
    std::string escape_character_utf8() const;
};

Hl7EscapeHandler create_default_escape_handler();

}  // namespace segmorph
