// HL7 escape sequence codec.
//
// Both directions work on UTF-8 text one scalar value at a time, but avoid
// decoding where they can: the characters they react to are located by byte
// scans (a lookup of lead bytes when escaping, a find of the escape
// character's bytes when unescaping), and runs of ordinary text between them
// are copied in one append.  This relies on the input being valid UTF-8: the
// encoding of a character only ever matches at a boundary of that character.

#include "escape.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "lines.hpp"
#include "unicode_table.hpp"
#include "utf8.hpp"

namespace segmorph {

namespace {

using unicode_table::CodePointRange;

template <std::size_t N>
bool in_ranges(const CodePointRange (&table)[N], char32_t c) {
    // The first range that does not end before c is the only one that can
    // hold it.
    const CodePointRange* it = std::lower_bound(std::begin(table), std::end(table), c,
                                                [](const CodePointRange& r, char32_t v) { return r.last < v; });
    return it != std::end(table) && it->first <= c;
}

inline bool is_ascii_alphanumeric(unsigned char b) {
    return (b >= '0' && b <= '9') || ((b | 0x20u) >= 'a' && (b | 0x20u) <= 'z');
}

// Byte length of the UTF-8 sequence that starts with lead byte b.
inline std::size_t utf8_length(unsigned char b) {
    if (b < 0x80) return 1;
    if (b < 0xE0) return 2;
    if (b < 0xF0) return 3;
    return 4;
}

// First byte of the UTF-8 encoding of c.
inline unsigned char utf8_lead_byte(char32_t c) {
    if (c < 0x80) return static_cast<unsigned char>(c);
    if (c < 0x800) return static_cast<unsigned char>(0xC0u | (c >> 6));
    if (c < 0x10000) return static_cast<unsigned char>(0xE0u | (c >> 12));
    return static_cast<unsigned char>(0xF0u | (c >> 18));
}

struct Decoded {
    char32_t code_point;
    std::size_t length;
};

// Decodes the character at text[pos].  The input is valid UTF-8 by contract;
// a sequence cut short by the end of the text is still never read past it
// (its lead byte is taken as a character of its own).
inline Decoded decode_at(std::string_view text, std::size_t pos) {
    auto b = static_cast<unsigned char>(text[pos]);
    if (b < 0x80) return {b, 1};
    std::size_t len = utf8_length(b);
    if (len > text.size() - pos) return {b, 1};
    const char* p = text.data() + pos;
    return {next_code_point(p), len};
}

// Set of lead bytes, one bit per byte value.
class LeadByteSet {
public:
    void add(char32_t c) {
        unsigned char b = utf8_lead_byte(c);
        bits_[b >> 6] |= std::uint64_t{1} << (b & 63u);
    }
    bool contains(unsigned char b) const { return (bits_[b >> 6] >> (b & 63u)) & 1u; }

private:
    std::array<std::uint64_t, 4> bits_{};
};

std::string utf8_of(char32_t c) {
    std::string s;
    append_utf8(s, c);
    return s;
}

// Map lookup without building a key that cannot be there: the keys are short
// codes, and an unrecognised sequence may be an arbitrarily long word.
const std::string* find_sequence(const std::unordered_map<std::string, std::string>& table, std::string_view sequence) {
    // Up to this size a std::string key is built without allocating.
    constexpr std::size_t kCheapKey = 15;
    if (sequence.size() > kCheapKey && std::none_of(table.begin(), table.end(), [&](const auto& entry) {
            return entry.first.size() == sequence.size();
        })) {
        return nullptr;
    }
    auto it = table.find(std::string(sequence));
    return it == table.end() ? nullptr : &it->second;
}

// End of a sequence text whose first character starts at text[p]: the first
// character is taken whatever it is, then every alphanumeric one after it.
std::size_t sequence_end(std::string_view text, std::size_t p) {
    const std::size_t n = text.size();
    std::size_t q = p + decode_at(text, p).length;
    while (q < n) {
        auto b = static_cast<unsigned char>(text[q]);
        if (b < 0x80) {
            if (!is_ascii_alphanumeric(b)) break;
            ++q;
            continue;
        }
        const Decoded d = decode_at(text, q);
        if (!is_alphanumeric(d.code_point)) break;
        q += d.length;
    }
    return q;
}

}  // namespace

bool is_alphanumeric(char32_t c) {
    if (c < 0x80) return is_ascii_alphanumeric(static_cast<unsigned char>(c));
    return in_ranges(unicode_table::kAlphanumericRanges, c);
}

bool is_white_space(char32_t c) {
    if (c < 0x80) return c == U' ' || (c >= U'\t' && c <= U'\r');
    return in_ranges(unicode_table::kWhiteSpaceRanges, c);
}

Hl7EscapeHandler create_default_escape_handler() {
    Hl7EscapeHandler handler;
    handler.escape_sequences.reserve(10);
    handler.escape_sequences.emplace("F", "|");
    handler.escape_sequences.emplace("S", "^");
    handler.escape_sequences.emplace("R", "~");
    handler.escape_sequences.emplace("E", "\\");
    handler.escape_sequences.emplace("T", "&");
    handler.escape_sequences.emplace("X0A", "\n");
    handler.escape_sequences.emplace("X0D", "\r");
    handler.escape_sequences.emplace("X0D0A", "\r\n");
    handler.escape_sequences.emplace("X20", " ");
    handler.escape_sequences.emplace("X09", "\t");
    return handler;
}

const Hl7EscapeHandler& default_escape_handler() {
    static const Hl7EscapeHandler handler = create_default_escape_handler();
    return handler;
}

std::string Hl7EscapeHandler::component_separator_utf8() const { return utf8_of(component_separator); }

std::string Hl7EscapeHandler::repetition_separator_utf8() const { return utf8_of(repetition_separator); }

std::string Hl7EscapeHandler::escape_character_utf8() const { return utf8_of(escape_character); }

std::string Hl7EscapeHandler::escape(std::string_view text) const {
    std::string out;
    out.reserve(text.size());
    escape_into(text, out);
    return out;
}

std::string Hl7EscapeHandler::unescape(std::string_view text) const {
    std::string out;
    out.reserve(text.size());
    unescape_into(text, out);
    return out;
}

// No reserve() in the appending forms: callers append many small values to
// one string, and a reserve per value could defeat the string's geometric
// growth.

namespace {

// What each ASCII character becomes under the standard delimiters; empty for
// characters written as they are.  Every byte of a multi-byte character is
// at least 0x80, so a byte-wise walk with this table is a walk by character.
// The escape character's entry is its usual code; what follows it may keep it
// as it stands (see kept_sequence_at).  `byte_code` holds the same as one
// fixed-size store per byte (see StandardByteCode).
struct DefaultEscapes {
    std::string_view code[128] = {};
    // Whether a byte has a code: one load and test per byte on the common
    // path, non-ASCII bytes included.
    bool special[256] = {};
    StandardByteCode byte_code[256] = {};
    constexpr DefaultEscapes() {
        code[static_cast<unsigned char>('|')] = "\\F\\";
        code[static_cast<unsigned char>('^')] = "\\S\\";
        code[static_cast<unsigned char>('~')] = "\\R\\";
        code[static_cast<unsigned char>('&')] = "\\T\\";
        code[static_cast<unsigned char>('\\')] = "\\E\\";
        code[static_cast<unsigned char>('\t')] = "\\X09\\";
        code[static_cast<unsigned char>('\n')] = "\\X0A\\";
        code[static_cast<unsigned char>('\r')] = "\\X0D\\";
        code[static_cast<unsigned char>(' ')] = "\\X20\\";
        for (int b = 0; b < 128; ++b) special[b] = !code[b].empty();
        for (int b = 0; b < 256; ++b) {
            StandardByteCode& c = byte_code[b];
            if (b < 128 && special[b]) {
                for (std::size_t i = 0; i < code[b].size(); ++i) c.bytes[i] = code[b][i];
                c.count = static_cast<std::uint8_t>(code[b].size());
            } else {
                c.bytes[0] = static_cast<char>(b);
                c.count = 1;
            }
        }
        byte_code[static_cast<unsigned char>('\\')].count = 0;
    }
};
constexpr DefaultEscapes kDefaultEscapes;

// Minimal escaping writes space, tab and "&" as they are; every other byte
// as full escaping does, so the escape character's rules are the same too.
// "&" because records keep a component's subcomponents as its text, joined
// by it: written as "\T\", every subcomponent separator of the message read
// would come back as data.
struct MinimalCodes {
    StandardByteCode byte_code[256] = {};
    constexpr MinimalCodes() {
        for (int b = 0; b < 256; ++b) byte_code[b] = kDefaultEscapes.byte_code[b];
        for (unsigned char b : {' ', '\t', '&'}) byte_code[b] = StandardByteCode{{static_cast<char>(b)}, 1};
    }
};
constexpr MinimalCodes kMinimalCodes;

}  // namespace

const StandardByteCode* standard_byte_codes() { return kDefaultEscapes.byte_code; }

const StandardByteCode* minimal_byte_codes() { return kMinimalCodes.byte_code; }

bool Hl7EscapeHandler::is_encoded(char32_t c) const {
    return c == field_separator || c == component_separator || c == repetition_separator ||
           c == subcomponent_separator || c == escape_character || c == U'\t' || c == U'\n' || c == U'\r' || c == U' ';
}

// Decoding keeps an unknown sequence closed by the escape character as it
// stands ("\.br\", "\H\", "\X41\": formatting and codes meant for the
// receiving system).  A value holding such a sequence is written with it
// unchanged, so the text reads the same to every HL7 reader, and decoding
// gives the value back because it cuts the text into sequences exactly as
// this test does.  Everything else that starts with the escape character is
// data and is written as "\E\".
std::size_t Hl7EscapeHandler::kept_sequence_at(std::string_view text, std::size_t pos, std::string_view esc) const {
    const std::size_t n = text.size();
    const std::size_t p = pos + esc.size();
    if (p >= n || text.compare(p, esc.size(), esc) == 0) return 0;
    // The sequence's characters go out as they are, so none may be one that
    // encoding replaces; only the first can be, the others are alphanumeric.
    if (is_encoded(decode_at(text, p).code_point)) return 0;
    const std::size_t q = sequence_end(text, p);
    if (q >= n || text.compare(q, esc.size(), esc) != 0) return 0;
    if (find_sequence(escape_sequences, text.substr(p, q - p)) != nullptr) return 0;
    return q + esc.size() - pos;
}

bool has_standard_delimiters(const Hl7EscapeHandler& h) {
    return h.field_separator == U'|' && h.component_separator == U'^' && h.repetition_separator == U'~' &&
           h.subcomponent_separator == U'&' && h.escape_character == U'\\';
}

char* Hl7EscapeHandler::escape_standard_at(std::string_view text, std::size_t& pos, char* out) const {
    const StandardByteCode& c = kDefaultEscapes.byte_code[static_cast<unsigned char>(text[pos])];
    if (c.count != 0) {
        std::memcpy(out, c.bytes, 8);
        ++pos;
        return out + c.count;
    }
    // The escape character: an unknown sequence it opens and closes is kept
    // as it stands, else it is data.
    const std::size_t kept = kept_sequence_at(text, pos, "\\");
    if (kept == 0) {
        std::memcpy(out, "\\E\\", 3);
        ++pos;
        return out + 3;
    }
    std::memcpy(out, text.data() + pos, kept);
    pos += kept;
    return out + kept;
}

void Hl7EscapeHandler::escape_into(std::string_view text, std::string& out) const {
    if (has_standard_delimiters(*this)) {
        std::size_t run = 0;
        for (std::size_t pos = 0; pos < text.size(); ++pos) {
            const auto b = static_cast<unsigned char>(text[pos]);
            if (!kDefaultEscapes.special[b]) continue;
            if (b == '\\') {
                if (const std::size_t kept = kept_sequence_at(text, pos, "\\")) {
                    pos += kept - 1;  // stays in the run
                    continue;
                }
            }
            out.append(text.data() + run, pos - run);
            out.append(kDefaultEscapes.code[b]);
            run = pos + 1;
        }
        out.append(text.data() + run, text.size() - run);
        return;
    }
    // Every character that is replaced starts with one of these lead bytes.
    // A lead byte shared with an ordinary character (only possible with
    // non-ASCII delimiters) costs a decode, nothing more.
    LeadByteSet candidates;
    for (char32_t c : {field_separator, component_separator, repetition_separator, subcomponent_separator,
                       escape_character, U'\t', U'\n', U'\r', U' '}) {
        candidates.add(c);
    }
    const std::string esc = escape_character_utf8();

    const std::size_t n = text.size();
    std::size_t run = 0;  // start of the ordinary text not yet copied
    std::size_t pos = 0;
    while (pos < n) {
        auto b = static_cast<unsigned char>(text[pos]);
        if (!candidates.contains(b)) {
            ++pos;
            continue;
        }
        const std::size_t at = pos;
        const Decoded d = decode_at(text, pos);
        pos += d.length;
        const char32_t ch = d.code_point;

        // The first matching rule wins, so a delimiter that coincides with a
        // white space character is written with the delimiter's code.
        std::string_view code;
        if (ch == field_separator) {
            code = "F";
        } else if (ch == component_separator) {
            code = "S";
        } else if (ch == repetition_separator) {
            code = "R";
        } else if (ch == subcomponent_separator) {
            code = "T";
        } else if (ch == escape_character) {
            if (const std::size_t kept = kept_sequence_at(text, at, esc)) {
                pos = at + kept;  // stays in the run
                continue;
            }
            code = "E";
        } else if (ch == U'\t') {
            code = "X09";
        } else if (ch == U'\n') {
            code = "X0A";
        } else if (ch == U'\r') {
            code = "X0D";
        } else if (ch == U' ') {
            code = "X20";
        } else {
            continue;  // an ordinary character: it stays in the run
        }
        out.append(text.substr(run, at - run));
        out.append(esc);
        out.append(code);
        out.append(esc);
        run = pos;
    }
    out.append(text.substr(run));
}

void Hl7EscapeHandler::unescape_into(std::string_view text, std::string& out) const {
    // Called for every component that holds an escape character, so its
    // UTF-8 form is not built as a string each time when it is one byte
    // (always, in the handlers made here).
    const char ascii_esc = static_cast<char>(escape_character);
    std::string wide_esc;
    if (escape_character >= 0x80) wide_esc = escape_character_utf8();
    const std::string_view esc = escape_character < 0x80 ? std::string_view(&ascii_esc, 1) : std::string_view(wide_esc);
    const std::size_t n = text.size();
    auto escape_at = [&](std::size_t pos) { return text.compare(pos, esc.size(), esc) == 0; };

    std::size_t pos = 0;
    for (;;) {
        const std::size_t at = esc.size() == 1 ? text.find(esc[0], pos) : text.find(esc, pos);
        if (at == std::string_view::npos) {
            out.append(text.substr(pos));
            return;
        }
        out.append(text.substr(pos, at - pos));

        std::size_t p = at + esc.size();
        if (p >= n) {  // a lone escape character at the very end
            out.append(esc);
            return;
        }
        if (escape_at(p)) {  // two escape characters stand for one
            out.append(esc);
            pos = p + esc.size();
            continue;
        }

        // The sequence text is the character after the escape character,
        // whatever it is, and then every alphanumeric character after it.
        const std::size_t q = sequence_end(text, p);
        const std::string_view sequence = text.substr(p, q - p);
        const std::string* decoded = find_sequence(escape_sequences, sequence);
        if (decoded != nullptr) {
            out.append(*decoded);
        } else {
            out.append(esc);
            out.append(sequence);
        }

        if (q >= n) return;  // no terminator
        if (escape_at(q)) {
            // A closing escape character ends the sequence.  A known one is
            // replaced whole; an unknown one is kept whole, closing
            // character included.
            if (decoded == nullptr) out.append(esc);
            pos = q + esc.size();
        } else {
            // Any other terminator is an ordinary character and is copied
            // with the text that follows it.
            pos = q;
        }
    }
}

std::vector<std::string> Hl7EscapeHandler::parse_field_with_escaping(std::string_view text) const {
    // Cut first, decode second: an escaped separator is data inside its
    // component, not a boundary.
    std::vector<std::string> pieces;
    for_each_piece(text, component_separator_utf8(), [&](std::string_view piece) {
        std::string& decoded = pieces.emplace_back();
        unescape_into(piece, decoded);
    });
    return pieces;
}

}  // namespace segmorph
