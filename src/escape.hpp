// Codec for HL7 escape sequences ("\F\", "\S\", "\X0D\", ...).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
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

    // Writes every delimiter, the escape character, tab, line feed, carriage
    // return and space as a sequence; an unknown sequence closed by the
    // escape character (such as "\.br\") is kept as it stands.
    std::string escape(std::string_view text) const;
    // Replaces the sequences of the table ("\\" also gives the escape
    // character); an unknown one closed by the escape character is kept
    // whole.  unescape(escape(t)) == t for every text t.
    std::string unescape(std::string_view text) const;
    // Cuts the raw text at every component separator, then decodes each piece.
    std::vector<std::string> parse_field_with_escaping(std::string_view text) const;

    // Appending forms used on hot paths; `out` is not cleared.
    void escape_into(std::string_view text, std::string& out) const;
    // escape() of the byte at text[pos] for a handler with the standard
    // delimiters (an unknown sequence it opens is taken whole), written to
    // `out`, which must have room for kMaxEscapedBytes bytes per byte taken
    // and 8 more; moves pos past what it took and returns the end of what
    // was written.  For a caller that finds the bytes escaping changes
    // itself, many at a time, and copies the runs between them.
    char* escape_standard_at(std::string_view text, std::size_t& pos, char* out) const;
    static constexpr std::size_t kMaxEscapedBytes = 5;  // "\X0A\" for one byte
    void unescape_into(std::string_view text, std::string& out) const;

    // UTF-8 forms of the separators, for byte-level searching (a valid UTF-8
    // encoding of one character only ever matches that character).
    std::string component_separator_utf8() const;
    std::string repetition_separator_utf8() const;
    std::string escape_character_utf8() const;

private:
    // True for the characters that encoding replaces.
    bool is_encoded(char32_t c) const;
    // Byte length of the unknown sequence, closing escape character included,
    // that encoding keeps as it stands at text[pos] (an escape character,
    // whose UTF-8 form is esc); 0 when that escape character is data.
    std::size_t kept_sequence_at(std::string_view text, std::size_t pos, std::string_view esc) const;
};

Hl7EscapeHandler create_default_escape_handler();

// What escaping with the standard delimiters writes for each byte: up to
// eight bytes to store, of which `count` count -- the byte itself for most,
// its sequence for the ones it replaces.  The escape character has count 0:
// what follows it decides (see escape_standard_at).  For a caller that finds
// the bytes to escape itself and writes each with one fixed-size store.
struct StandardByteCode {
    char bytes[8];
    std::uint8_t count;
};
// The 256 codes, by byte.
const StandardByteCode* standard_byte_codes();

// How values are escaped when records are written as HL7 text.  Full writes
// every byte that escape() replaces as its sequence (hl7_string); Minimal
// only those a reader would otherwise take for the structure that records
// hold -- the field, component and repetition separators, the escape
// character and line breaks -- and spaces, tabs, "&" (records keep
// subcomponents as text joined by it) and all other text as they are, as
// senders write them; None writes values as they are.
enum class EscapeMode { None, Minimal, Full };
// What Minimal writes for each byte: the codes of standard_byte_codes()
// with space, tab and "&" as themselves.
const StandardByteCode* minimal_byte_codes();

// The bytes that escaping with the standard delimiters reacts to ("|", "^",
// "~", "&", "\", tab, line feed, carriage return, space): a text holding none
// of them is written as it is, which callers can see for themselves without
// a call.
inline constexpr std::array<bool, 256> kStandardEscapeBytes = [] {
    std::array<bool, 256> bytes{};
    for (unsigned char c : {'|', '^', '~', '&', '\\', '\t', '\n', '\r', ' '}) bytes[c] = true;
    return bytes;
}();
// True when the handler's delimiters are the standard ones.
bool has_standard_delimiters(const Hl7EscapeHandler& handler);

// One default handler for the whole process, built on first use (the
// language makes that initialisation thread-safe) and never changed after:
// converters share it instead of building a table of sequences per object.
const Hl7EscapeHandler& default_escape_handler();

}  // namespace segmorph
