#include "charset.hpp"

#include <iconv.h>
#include <cerrno>
#include <cstdio>
#include <string>

#include "delimiters.hpp"
#include "utf8.hpp"

namespace segmorph {

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }

bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

// Offset of the first byte that does not start a valid UTF-8 sequence;
// npos when there is none.
std::size_t first_invalid_utf8(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        if (p[i] < 0x80) {
            ++i;
            continue;
        }
        const std::size_t len = utf8_sequence_length(p + i, text.size() - i);
        if (len == 0) return i;
        i += len;
    }
    return std::string_view::npos;
}

std::string byte_at(std::string_view text, std::size_t offset) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "byte 0x%02X at offset %zu", static_cast<unsigned char>(text[offset]), offset);
    return buf;
}

constexpr std::string_view kSuggestion =
    "; say which character set the feed is in with --encoding latin-1, cp1252 or utf-8";

// The ones the options name, by their iconv names.
std::string_view readable_name(std::string_view iconv_name) {
    if (iconv_name == "ISO-8859-1") return "Latin-1";
    if (iconv_name == "CP1252") return "Windows-1252";
    return iconv_name;
}

// The bytes converted from `from` to UTF-8 by iconv.
Result<MessageText> convert(std::string_view text, std::string_view from) {
    const std::string from_name(from);
    iconv_t cd = iconv_open("UTF-8", from_name.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1))
        return Hl7Error::encoding("this system cannot convert from " + std::string(readable_name(from)));
    // Every single-byte character set's characters take at most three
    // bytes of UTF-8; a larger need is met by growing.
    std::string out(text.size() * 3 + 16, '\0');
    char* in = const_cast<char*>(text.data());
    std::size_t in_left = text.size();
    std::size_t written = 0;
    for (;;) {
        char* dst = out.data() + written;
        std::size_t out_left = out.size() - written;
        const std::size_t r = iconv(cd, &in, &in_left, &dst, &out_left);
        written = static_cast<std::size_t>(dst - out.data());
        if (r != static_cast<std::size_t>(-1)) break;
        if (errno == E2BIG) {
            out.resize(out.size() * 2);
            continue;
        }
        iconv_close(cd);
        const std::size_t offset = static_cast<std::size_t>(in - text.data());
        return Hl7Error::encoding(byte_at(text, offset) + " is not a " + std::string(readable_name(from)) +
                                  " character" + std::string(kSuggestion));
    }
    iconv_close(cd);
    out.resize(written);
    return MessageText(std::move(out));
}

}  // namespace

std::optional<Encoding> encoding_named(std::string_view name) {
    for (std::string_view n : {"auto"})
        if (same_name(name, n)) return Encoding::Auto;
    for (std::string_view n : {"utf-8", "utf8"})
        if (same_name(name, n)) return Encoding::Utf8;
    for (std::string_view n : {"latin-1", "latin1", "iso-8859-1"})
        if (same_name(name, n)) return Encoding::Latin1;
    for (std::string_view n : {"cp1252", "windows-1252"})
        if (same_name(name, n)) return Encoding::Cp1252;
    return std::nullopt;
}

std::optional<std::string_view> iconv_name_of_hl7_charset(std::string_view hl7_name) {
    // HL7's table of character sets names the ISO 8859 parts "8859/N" and
    // also by their ISO-IR registration numbers.
    struct Known {
        std::string_view hl7, iconv;
    };
    static constexpr Known kKnown[] = {
        {"ASCII", "UTF-8"},       {"ISO IR6", "UTF-8"},        {"UNICODE UTF-8", "UTF-8"}, {"ISO IR192", "UTF-8"},
        {"8859/1", "ISO-8859-1"}, {"ISO IR100", "ISO-8859-1"}, {"8859/2", "ISO-8859-2"},   {"8859/3", "ISO-8859-3"},
        {"8859/4", "ISO-8859-4"}, {"8859/5", "ISO-8859-5"},    {"8859/6", "ISO-8859-6"},   {"8859/7", "ISO-8859-7"},
        {"8859/8", "ISO-8859-8"}, {"8859/9", "ISO-8859-9"},    {"8859/15", "ISO-8859-15"},
    };
    for (const Known& k : kKnown)
        if (same_name(hl7_name, k.hl7)) return k.iconv;
    return std::nullopt;
}

namespace {

// `text` in the character set that `declared` (an MSH-18) names, `whose`
// saying where that was read for the error texts; `bad` is the offset of
// its first byte that is not UTF-8.
Result<MessageText> decode_declared(std::string_view text, std::size_t bad, std::optional<std::string_view> declared,
                                    std::string_view whose) {
    if (!declared || declared->empty()) {
        return Hl7Error::encoding(byte_at(text, bad) + " is not UTF-8 and " + std::string(whose) +
                                  " declares no character set" + std::string(kSuggestion));
    }
    const std::optional<std::string_view> name = iconv_name_of_hl7_charset(*declared);
    if (!name) {
        return Hl7Error::encoding(byte_at(text, bad) + " is not UTF-8 and " + std::string(whose) + " declares " +
                                  quote_input(*declared) + ", which is not read here" + std::string(kSuggestion));
    }
    if (*name == "UTF-8") {
        return Hl7Error::encoding(byte_at(text, bad) + " is not " +
                                  (same_name(*declared, "ASCII") || same_name(*declared, "ISO IR6")
                                       ? std::string("ASCII")
                                       : std::string("UTF-8")) +
                                  ", which " + std::string(whose) + " declares" + std::string(kSuggestion));
    }
    return convert(text, *name);
}

// The text as it is when the option or its bytes settle it; nullopt when
// it is not UTF-8 and --encoding auto leaves it to a declared set.
std::optional<Result<MessageText>> decode_as_told(std::string_view text, Encoding encoding) {
    switch (encoding) {
        case Encoding::Latin1:
            return is_ascii(text) ? Result<MessageText>(MessageText(text)) : convert(text, "ISO-8859-1");
        case Encoding::Cp1252: return is_ascii(text) ? Result<MessageText>(MessageText(text)) : convert(text, "CP1252");
        case Encoding::Utf8:
        case Encoding::Auto: break;
    }
    // The common case at full speed; the offset is only looked for once
    // there is something to report.
    if (is_valid_utf8(text)) return Result<MessageText>(MessageText(text));
    if (encoding == Encoding::Utf8) {
        return Result<MessageText>(Hl7Error::encoding(byte_at(text, first_invalid_utf8(text)) +
                                                      " is not UTF-8 (--encoding utf-8)" + std::string(kSuggestion)));
    }
    return std::nullopt;
}

}  // namespace

Result<MessageText> decode_message(std::string_view message, Encoding encoding) {
    if (std::optional<Result<MessageText>> told = decode_as_told(message, encoding)) return std::move(*told);
    return decode_declared(message, first_invalid_utf8(message), declared_header_field(message, 18), "MSH-18");
}

Result<MessageText> decode_envelope(std::string_view line, Encoding encoding, std::optional<std::string_view> message,
                                    EnvelopeSide side) {
    if (std::optional<Result<MessageText>> told = decode_as_told(line, encoding)) return std::move(*told);
    const std::string_view whose =
        side == EnvelopeSide::Opens ? "MSH-18 of the message after it" : "MSH-18 of the message before it";
    const std::size_t bad = first_invalid_utf8(line);
    if (!message) {
        return Hl7Error::encoding(byte_at(line, bad) + " is not UTF-8 and there is no message " +
                                  (side == EnvelopeSide::Opens ? "after" : "before") +
                                  " it to declare a character set" + std::string(kSuggestion));
    }
    return decode_declared(line, bad, declared_header_field(*message, 18), whose);
}

}  // namespace segmorph
