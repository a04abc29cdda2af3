#include "ack.hpp"

#include <array>
#include <cstdio>
#include <ctime>
#include <vector>

#include "lines.hpp"

namespace segmorph {

namespace {

constexpr std::string_view kStandardDelimiters = "|^~\\&";

// The header line of a message and the delimiters it declares.
struct Header {
    std::string_view line;  // empty when the message has no usable MSH
    char field = '|';
    std::string encoding{kStandardDelimiters.substr(1)};  // component, repetition, escape, subcomponent[, truncation]

    char component() const { return encoding[0]; }
    char repetition() const { return encoding[1]; }
    char escape() const { return encoding[2]; }
    char subcomponent() const { return encoding[3]; }
};

bool usable_delimiter(char c) {
    const auto u = static_cast<unsigned char>(c);
    const bool alnum = (u >= '0' && u <= '9') || (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z');
    return u > 0x20 && u < 0x7F && !alnum;
}

// The line the converter reads as the header: the first that is not blank
// (white space, 0x0B and form feeds alike), after a byte-order mark.
std::string_view first_line(std::string_view text) {
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    return first_segment_line(text);
}

// The MSH of `message` and its delimiters.  A delimiter must be a single
// printable ASCII byte, not a letter or digit; the encoding characters must
// also differ from each other and the field separator.  When the field
// separator is not usable there is no header to read; when only the
// encoding characters are not, the answer uses the standard ones.
Header read_header(std::string_view message) {
    Header h;
    const std::string_view line = first_line(message);
    if (!line.starts_with("MSH") || line.size() < 4 || !usable_delimiter(line[3])) return h;
    h.line = line;
    h.field = line[3];
    const std::size_t end = line.find(h.field, 4);
    const std::string_view encoding = line.substr(4, end == std::string_view::npos ? line.npos : end - 4);
    if (encoding.size() != 4 && encoding.size() != 5) return h;
    std::string seen(1, h.field);
    for (char c : encoding) {
        if (!usable_delimiter(c) || seen.find(c) != std::string::npos) return h;
        seen.push_back(c);
    }
    h.encoding = std::string(encoding);
    return h;
}

// MSH-n (n >= 3) as it stands, or empty.
std::string_view header_field(const Header& h, std::size_t n) {
    if (h.line.empty()) return {};
    std::string_view rest = h.line;
    for (std::size_t i = 1; i < n; ++i) {  // skip "MSH" and MSH-2 .. MSH-(n-1)
        const std::size_t sep = rest.find(h.field, i == 1 ? 3 : 0);
        if (sep == std::string_view::npos) return {};
        rest.remove_prefix(sep + 1);
    }
    return rest.substr(0, rest.find(h.field));
}

// The trigger event: the second component of MSH-9's first repetition.
std::string_view trigger_event(const Header& h) {
    std::string_view type = header_field(h, 9);
    type = type.substr(0, type.find(h.repetition()));
    const std::size_t first = type.find(h.component());
    if (first == std::string_view::npos) return {};
    type.remove_prefix(first + 1);
    return type.substr(0, type.find(h.component()));
}

// `text` as the value of a text field: the delimiters as escape sequences,
// line breaks and other control characters as spaces.
void append_escaped(std::string& out, const Header& h, std::string_view text) {
    const std::array<std::pair<char, char>, 6> sequences{{{h.field, 'F'},
                                                          {h.component(), 'S'},
                                                          {h.repetition(), 'R'},
                                                          {h.escape(), 'E'},
                                                          {h.subcomponent(), 'T'},
                                                          {h.encoding.size() > 4 ? h.encoding[4] : h.field, 'P'}}};
    for (char c : text) {
        bool done = false;
        for (const auto& [delimiter, letter] : sequences) {
            if (c != delimiter) continue;
            out.push_back(h.escape());
            out.push_back(letter);
            out.push_back(h.escape());
            done = true;
            break;
        }
        if (done) continue;
        const auto u = static_cast<unsigned char>(c);
        out.push_back(u < 0x20 || u == 0x7F ? ' ' : c);
    }
}

std::vector<std::string_view> split(std::string_view text, char sep) {
    std::vector<std::string_view> out;
    for (;;) {
        const std::size_t at = text.find(sep);
        out.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return out;
        text.remove_prefix(at + 1);
    }
}

// The common escape sequences of a text field, decoded for a report.
std::string unescape_text(std::string_view text, const Header& h) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == h.escape() && i + 2 < text.size() && text[i + 2] == h.escape()) {
            const char letter = text[i + 1];
            const char* plain = nullptr;
            switch (letter) {
                case 'F': plain = &h.field; break;
                case 'S': plain = &h.encoding[0]; break;
                case 'R': plain = &h.encoding[1]; break;
                case 'E': plain = &h.encoding[2]; break;
                case 'T': plain = &h.encoding[3]; break;
                default: break;
            }
            if (plain != nullptr) {
                out.push_back(*plain);
                i += 2;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

}  // namespace

std::string_view ack_code_text(AckCode code) {
    switch (code) {
        case AckCode::Accept: return "AA";
        case AckCode::Error: return "AE";
        case AckCode::Reject: break;
    }
    return "AR";
}

std::string_view message_control_id(std::string_view message) { return header_field(read_header(message), 10); }

std::string build_ack(std::string_view message, AckCode code, std::string_view reason, const AckHeader& header) {
    const Header h = read_header(message);
    const char f = h.field;
    std::string out;
    out.reserve(256 + reason.size() * 2);
    out.append("MSH").push_back(f);
    out.append(h.encoding).push_back(f);
    // The answer goes back the way the message came: its receiver sends.
    out.append(header_field(h, 5)).push_back(f);
    out.append(header_field(h, 6)).push_back(f);
    out.append(header_field(h, 3)).push_back(f);
    out.append(header_field(h, 4)).push_back(f);
    append_escaped(out, h, header.timestamp);
    out.push_back(f);
    out.push_back(f);  // MSH-8, security
    out.append("ACK");
    if (const std::string_view trigger = trigger_event(h); !trigger.empty()) {
        out.push_back(h.component());
        out.append(trigger);
        out.push_back(h.component());
        out.append("ACK");
    }
    out.push_back(f);
    append_escaped(out, h, header.control_id);
    out.push_back(f);
    out.append(header_field(h, 11)).push_back(f);
    out.append(header_field(h, 12));
    out.push_back('\r');

    out.append("MSA").push_back(f);
    out.append(ack_code_text(code)).push_back(f);
    out.append(header_field(h, 10));
    if (code != AckCode::Accept) {
        // MSA-3 is what receivers before v2.4 read; ERR-8 is where later
        // versions look.  Both carry the same reason.
        out.push_back(f);
        append_escaped(out, h, reason);
    }
    out.push_back('\r');
    if (code != AckCode::Accept) {
        out.append("ERR").push_back(f);
        out.push_back(f);  // ERR-1, the error location of versions before 2.5
        out.push_back(f);  // ERR-2, where in the message: not known per field
        out.append("207");
        out.push_back(h.component());
        out.append("Application internal error");
        out.push_back(h.component());
        out.append("HL70357").push_back(f);
        out.push_back('E');
        out.append(4, f);  // ERR-5 .. ERR-7 empty, then ERR-8
        append_escaped(out, h, reason);
        out.push_back('\r');
    }
    return out;
}

std::string hl7_timestamp(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(when.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[80];
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d.%03d+0000", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms % 1000));
    return text;
}

std::optional<AckReply> read_ack(std::string_view ack) {
    const Header h = read_header(ack);
    std::optional<AckReply> reply;
    std::string_view err_text;
    std::size_t pos = 0;
    while (pos < ack.size()) {
        std::size_t end = ack.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) end = ack.size();
        const std::string_view line = ack.substr(pos, end - pos);
        pos = end + 1;
        if (line.size() < 4 || line[3] != h.field) continue;
        const std::vector<std::string_view> fields = split(line, h.field);
        if (line.starts_with("MSA") && !reply) {
            reply.emplace();
            if (fields.size() > 1) reply->code = fields[1];
            if (fields.size() > 2) reply->control_id = fields[2];
            if (fields.size() > 3) reply->text = unescape_text(fields[3], h);
        } else if (line.starts_with("ERR") && err_text.empty() && fields.size() > 8) {
            err_text = fields[8];
        }
    }
    if (reply && !err_text.empty()) reply->text = unescape_text(err_text, h);
    if (h.line.empty()) return std::nullopt;
    return reply;
}

bool ack_accepted(std::string_view code) { return code == "AA" || code == "CA"; }

}  // namespace segmorph
