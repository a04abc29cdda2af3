#include "envelopes.hpp"

#include <cstring>
#include <utility>

#include "charset.hpp"
#include "framing.hpp"
#include "lines.hpp"
#include "utf8.hpp"

namespace segmorph::cli {

namespace {

bool is_message(const FramePart& part) { return part.kind == FramePart::Kind::Message; }

EnvelopeSide side_of(std::string_view line) {
    return segment_named(line, "FHS") || segment_named(line, "BHS") ? EnvelopeSide::Opens : EnvelopeSide::Closes;
}

// Whether `part` is an envelope segment that the charset must be found
// for; every other part goes on as it is.
bool needs_charset(const FramePart& part) { return !is_message(part) && !is_valid_utf8(part.text); }

// A message's first line, the one MSH-18 is read from.
std::string_view header_line(std::string_view message) { return message.substr(0, message.find_first_of("\r\n")); }

}  // namespace

EnvelopeCharsets::EnvelopeCharsets(const Options& opts, const std::string& name, Hl7PartSink& out)
    : opts_(opts), name_(name), out_(out) {}

bool EnvelopeCharsets::needed(const Options& opts) {
    return opts.command == Command::ToJson && opts.encoding == Encoding::Auto;
}

bool EnvelopeCharsets::envelope(std::string_view line, std::size_t index, std::optional<std::string_view> neighbour) {
    Result<MessageText> decoded = decode_envelope(line, opts_.encoding, neighbour, side_of(line));
    if (!decoded) return out_.failure(name_ + ": envelope segment: " + decoded.error().message(), 0);
    const std::string_view text = decoded.value().view();
    auto bytes = std::make_shared<InputBytes>(text.size());
    std::memcpy(bytes->data(), text.data(), text.size());
    bytes->set_size(text.size());
    const FramePart part{FramePart::Kind::Envelope, bytes->view()};
    return out_.parts(bytes, std::span(&part, 1), index);
}

bool EnvelopeCharsets::release(std::optional<std::string_view> next_message) {
    std::vector<Held> held = std::exchange(held_, {});
    held_bytes_ = 0;
    for (const Held& h : held) {
        if (!h.envelope) {
            if (!out_.failure(h.text, h.messages)) return false;
            continue;
        }
        const bool opens = side_of(h.text) == EnvelopeSide::Opens;
        const std::optional<std::string_view> before =
            last_header_ ? std::optional<std::string_view>(*last_header_) : std::nullopt;
        if (!envelope(h.text, h.index, opens ? next_message : before)) return false;
    }
    return true;
}

void EnvelopeCharsets::hold(std::span<const FramePart> parts, std::size_t index) {
    for (const FramePart& part : parts) {
        held_.push_back(Held{std::string(part.text), true, 0, index});
        held_bytes_ += part.text.size();
    }
}

bool EnvelopeCharsets::parts(const std::shared_ptr<const InputBytes>& round, std::span<const FramePart> parts,
                             std::size_t index) {
    auto message_from = [&](std::size_t i) {
        while (i < parts.size() && !is_message(parts[i])) ++i;
        return i;
    };
    if (!held_.empty()) {
        const std::size_t next = message_from(0);
        if (next == parts.size()) {
            hold(parts, index);
            // Headers without a message after them, beyond what a message
            // may hold: not worth keeping any longer.
            return held_bytes_ <= opts_.max_message_bytes || release(std::nullopt);
        }
        if (!release(header_line(parts[next].text))) return false;
    }
    // Parts from `from` on are handed on as they are, up to the next one
    // that needs its charset found.
    std::size_t from = 0, index_from = index;
    std::optional<std::size_t> last_message;
    auto hand_on = [&](std::size_t to) {
        if (to == from) return true;
        const bool ok = out_.parts(round, parts.subspan(from, to - from), index_from);
        for (std::size_t i = from; i < to; ++i) index_from += is_message(parts[i]);
        from = to;
        return ok;
    };
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (is_message(parts[i])) last_message = i;
        if (!needs_charset(parts[i])) continue;
        if (!hand_on(i)) return false;
        std::optional<std::string_view> neighbour;
        if (side_of(parts[i].text) == EnvelopeSide::Opens) {
            const std::size_t next = message_from(i + 1);
            if (next == parts.size()) {
                // Its message is not read yet: it and what follows wait.
                hold(parts.subspan(i), index_from);
                break;
            }
            neighbour = header_line(parts[next].text);
        } else if (last_message) {
            neighbour = header_line(parts[*last_message].text);
        } else if (last_header_) {
            neighbour = *last_header_;
        }
        if (!envelope(parts[i].text, index_from, neighbour)) return false;
        from = i + 1;
    }
    if (held_.empty() && !hand_on(parts.size())) return false;
    if (last_message) last_header_ = std::string(header_line(parts[*last_message].text));
    return true;
}

bool EnvelopeCharsets::failure(const std::string& text, std::uint64_t messages) {
    if (held_.empty()) return out_.failure(text, messages);
    held_.push_back(Held{text, false, messages, 0});
    return true;
}

}  // namespace segmorph::cli
