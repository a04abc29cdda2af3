#include "delimiters.hpp"

#include "lines.hpp"

#include <array>
#include <string>

namespace segmorph {

namespace {

bool is_line_break(char c) { return c == '\r' || c == '\n'; }
bool is_name_byte(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

std::string_view line_at(std::string_view text, std::size_t start) {
    std::size_t end = start;
    while (end < text.size() && !is_line_break(text[end])) ++end;
    return text.substr(start, end - start);
}

enum class Header { None, Declaring, Trailer };

Header header_kind(std::string_view line) {
    const std::string_view name = line.substr(0, 3);
    const bool declaring = name == "MSH" || name == "FHS" || name == "BHS";
    const bool trailer = name == "BTS" || name == "FTS";
    if (!declaring && !trailer) return Header::None;
    if (line.size() > 3 && is_name_byte(line[3])) return Header::None;  // "MSHX" names another segment
    return declaring ? Header::Declaring : Header::Trailer;
}

Hl7Error malformed(std::string_view header, const std::string& what) {
    return Hl7Error::invalid_format("the header " + quote_input(header.substr(0, 3)) + " " + what);
}

}  // namespace

std::optional<std::string_view> header_field_as_written(std::string_view message, std::size_t n) {
    const std::size_t start = first_segment_start(message);
    if (start == std::string_view::npos || n < 2) return std::nullopt;
    const std::string_view header = line_at(message, start);
    if (header_kind(header) != Header::Declaring || header.size() < 4) return std::nullopt;
    const char field_sep = header[3];
    // Piece 0 after the separator is MSH-2.
    std::size_t from = 4;
    for (std::size_t k = 2; k < n; ++k) {
        const std::size_t pos = header.find(field_sep, from);
        if (pos == std::string_view::npos) return std::nullopt;
        from = pos + 1;
    }
    return header.substr(from, header.find(field_sep, from) - from);
}

std::optional<std::string_view> declared_header_field(std::string_view message, std::size_t n) {
    const std::optional<std::string_view> whole = header_field_as_written(message, n);
    if (!whole || n == 2) return whole;
    std::string_view field = *whole;
    const std::string_view header = line_at(message, first_segment_start(message));
    const char field_sep = header[3];
    const std::string_view encoding = header.substr(4, header.find(field_sep, 4) - 4);
    // Only the first repetition's first component.
    for (std::size_t i = 0; i < 2 && i < encoding.size(); ++i) field = field.substr(0, field.find(encoding[i]));
    return field;
}

Result<MessageText> with_standard_delimiters(std::string_view message) {
    const std::size_t start = first_segment_start(message);
    if (start == std::string_view::npos) return MessageText(message);
    // Nearly every message starts "MSH|^~\\": settled without reading the
    // rest of its header line.
    const std::string_view head = message.substr(start, 7);
    if (head.size() == 7 && head.substr(3) == "|^~\\") return MessageText(message);
    const std::string_view header = line_at(message, start);
    const Header kind = header_kind(header);
    if (kind == Header::None) return MessageText(message);
    if (header.size() < 4) {
        if (kind == Header::Trailer) return MessageText(message);
        return malformed(header, "is too short to declare its delimiters (it ends after its name)");
    }

    // declared[i] stands for kStandardDelimiters[i], unless absent[i]: a
    // role the header leaves without a character.
    std::string declared(1, header[3]);
    std::array<bool, 5> absent{};
    std::size_t body = 4;  // where the bytes that are read with the delimiters begin
    std::string header_out;
    if (kind == Header::Trailer) {
        if (header[3] == '|') return MessageText(message);
        declared.append(kStandardDelimiters.substr(1));
        body = 3;
    } else {
        const std::string_view encoding = header.substr(4, header.find(header[3], 4) - 4);
        // At most four of them are delimiters; a fifth (v2.7's truncation
        // character) and beyond are kept as written.
        const std::string_view roles = encoding.substr(0, 4);
        // Senders that leave characters out ("^~&", "^\&") mean the usual
        // ones: when every character given is a usual one, the message is
        // read with the usual delimiters and only its field separator is
        // taken from the header.  The rules may still judge the header.
        const bool usual_short =
            roles.size() < 4 && roles.find_first_not_of(kStandardDelimiters.substr(1)) == std::string_view::npos;
        // The records never cut subcomponents, so only the field,
        // component, repetition and escape characters decide whether the
        // message reads differently.
        bool standard = header[3] == '|';
        for (std::size_t i = 0; standard && !usual_short && i < 3 && i < roles.size(); ++i)
            standard = roles[i] == kStandardDelimiters[i + 1];
        if (standard) return MessageText(message);
        if (usual_short) {
            declared.append(kStandardDelimiters.substr(1));
            header_out = std::string(header.substr(0, 3)) + "|" + std::string(encoding);
        } else {
            // Read by position; a role the header leaves out takes its usual
            // character when no other role has it, else it has none.
            declared.append(roles);
            for (std::size_t i = roles.size() + 1; i < 5; ++i) {
                const char usual = kStandardDelimiters[i];
                absent[i] = declared.find(usual) != std::string::npos;
                declared.push_back(usual);
            }
            // MSH-2 itself is written out in the usual form; a truncation
            // character after the four is kept unless it is now a delimiter.
            header_out = std::string(header.substr(0, 3)) + "|^~\\&";
            for (char c : encoding.substr(roles.size()))
                header_out += kStandardDelimiters.find(c) == std::string_view::npos ? c : '#';
        }
        body = 4 + encoding.size();
    }
    for (std::size_t i = 0; i < declared.size(); ++i) {
        if (absent[i]) continue;
        const auto c = static_cast<unsigned char>(declared[i]);
        if (is_line_break(declared[i]) || c >= 0x80) {
            return malformed(header, "declares the delimiter \"" + quote_input(declared.substr(i, 1)) +
                                         "\", which cannot separate values (a line break or not ASCII)");
        }
        if (declared.find(declared[i]) != i) {
            return malformed(header,
                             "declares \"" + quote_input(declared.substr(i, 1)) + "\" as two different delimiters");
        }
    }

    // What each byte becomes: a declared delimiter the standard one, a
    // standard delimiter that is data its escape sequence.
    static constexpr std::string_view kEscaped[] = {"\\F\\", "\\S\\", "\\R\\", "\\E\\", "\\T\\"};
    std::array<std::string_view, 256> as_data{};
    std::array<char, 256> as_delimiter{};
    for (std::size_t i = 0; i < 5; ++i) as_data[static_cast<unsigned char>(kStandardDelimiters[i])] = kEscaped[i];
    for (std::size_t i = 0; i < 5; ++i) {
        if (absent[i]) continue;
        const auto c = static_cast<unsigned char>(declared[i]);
        as_data[c] = {};
        as_delimiter[c] = kStandardDelimiters[i];
    }
    // The escapes \F\ \S\ \R\ \T\ \E\, written with the message's escape
    // character, stand for the message's own delimiters: "a\F\b" in a
    // message cut by "*" is "a*b".  In the rewritten text each becomes that
    // character as data: itself, or its escape when it is a usual delimiter.
    const bool escapes = !absent[3];
    const char escape = declared[3];
    std::array<std::string, 5> named{};  // by the letter's place in "FSRET"
    static constexpr std::string_view kLetters = "FSRET";
    for (std::size_t i = 0; i < 5; ++i) {
        const char meant = declared[i];
        if (absent[i]) {
            named[i] = kEscaped[i];
        } else if (const std::size_t usual = kStandardDelimiters.find(meant); usual != std::string_view::npos) {
            named[i] = kEscaped[usual];
        } else {
            named[i] = std::string(1, meant);
        }
    }

    std::string out;
    out.reserve(message.size() + message.size() / 16 + 8);
    out.append(message.substr(0, start));
    if (kind == Header::Declaring) {
        out.append(header_out);
    } else {
        out.append(header.substr(0, 3));
    }
    for (std::size_t i = start + body; i < message.size(); ++i) {
        const auto c = static_cast<unsigned char>(message[i]);
        if (escapes && message[i] == escape && i + 2 < message.size() && message[i + 2] == escape) {
            if (const std::size_t k = kLetters.find(message[i + 1]); k != std::string_view::npos) {
                out.append(named[k]);
                i += 2;
                continue;
            }
        }
        if (as_delimiter[c] != 0) {
            out.push_back(as_delimiter[c]);
        } else if (!as_data[c].empty()) {
            out.append(as_data[c]);
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return MessageText(std::move(out));
}

}  // namespace segmorph
