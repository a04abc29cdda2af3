#include "convert.hpp"

#include <utility>
#include <vector>

#include "framing.hpp"
#include "json_hl7.hpp"
#include "json_writer.hpp"
#include "rules.hpp"
#include "segments.hpp"
#include "to_hl7.hpp"
#include "utils.hpp"

namespace segmorph::cli {

namespace {

// Input per task: large enough that handing a task over costs nothing
// next to converting it, small enough that a few tasks per thread keep
// every thread busy on one large file.
constexpr std::size_t kTaskBytes = 256 * 1024;

// Input read per round: large enough that a round holds many tasks' worth,
// small enough that memory stays bounded whatever the size of the feed.
constexpr std::size_t kRoundBytes = 8 << 20;

struct Source {
    std::string name;
    std::string json;  // the name as a JSON string
};

// The name as a JSON string; a name that is not UTF-8 (any bytes are
// allowed in file names) gets U+FFFD for each byte outside ASCII.
std::string json_name(const std::string& name) {
    std::string lossy;
    if (!is_valid_utf8(name)) {
        for (char c : name) {
            if (static_cast<unsigned char>(c) < 0x80) lossy.push_back(c);
            else lossy.append("\xEF\xBF\xBD");
        }
    }
    TextBuffer out;
    append_json_string(out, lossy.empty() ? std::string_view(name) : std::string_view(lossy));
    return std::string(out.view());
}

const Hl7EscapeHandler& default_handler() {
    static const Hl7EscapeHandler handler = create_default_escape_handler();
    return handler;
}

Failure failure_at(const Piece& piece, const std::string& text) { return Failure{piece.out.size(), text}; }

// Calls f(line) for the lines Hl7Json makes of `text`: those of
// replace_eof(text) cut at "\n".  A text with one kind of line break only
// (the usual case) is cut at it directly, which gives the same lines without
// the copy; any other text is normalised into `scratch` first.
template <class F>
void for_each_line(std::string_view text, std::string& scratch, F&& f) {
    const bool has_cr = text.find('\r') != std::string_view::npos;
    const bool has_lf = text.find('\n') != std::string_view::npos;
    if (!has_cr || !has_lf) {
        for_each_piece(text, has_cr ? '\r' : '\n', f);
        return;
    }
    scratch = replace_eof(text);
    for_each_piece(std::string_view(scratch), '\n', f);
}

// ------------------------------------------------------------ HL7 input

// The opening of one to-json output item.  Items of --format json are each
// led by ",\n" (the output turns the first into "[\n") and end without a
// line break; JSON Lines items end with one.
void open_item(TextBuffer& out, const Options& opts, const Source& src) {
    if (opts.format == Format::Json) out.append(",\n");
    out.append("{\"source\":");
    out.append(src.json);
}

void close_item(TextBuffer& out, const Options& opts) {
    out.push_back('}');
    if (opts.format == Format::Jsonl) out.push_back('\n');
}

Piece convert_hl7(const Options& opts, const Source& src, const std::vector<FramePart>& parts, std::size_t index) {
    Piece piece;
    if (opts.command == Command::ToJson) {
        // JSON of typical messages is two to three times their size.
        std::size_t bytes = 0;
        for (const FramePart& part : parts) bytes += part.text.size();
        piece.out.reserve(bytes * 3);
    }
    const Hl7EscapeHandler* handler = opts.escaping ? &default_handler() : nullptr;
    FlatRecord flat;
    std::string text;
    for (const FramePart& part : parts) {
        piece.input_bytes += part.text.size();
        if (part.kind == FramePart::Kind::Envelope) {
            if (opts.command != Command::ToJson) continue;
            if (!is_valid_utf8(part.text)) {
                piece.failures.push_back(failure_at(
                    piece, src.name + ": envelope segment: " + Hl7Error::io(IoError::invalid_utf8()).message()));
                continue;
            }
            open_item(piece.out, opts, src);
            piece.out.append(",\"envelope\":");
            flat.parse(part.text, handler);
            append_record(piece.out, flat);
            close_item(piece.out, opts);
            continue;
        }

        const std::size_t n = index++;
        ++piece.messages;
        Status error;
        if (!is_valid_utf8(part.text)) error = Hl7Error::io(IoError::invalid_utf8());

        if (opts.command == Command::Validate) {
            if (!error) error = check_message(part.text, opts.rules, Purpose::Validate);
            piece.out.append(src.name).append(":").append(std::to_string(n)).append(": ");
            piece.out.append(error ? error->message() : std::string("ok")).push_back('\n');
            if (error) piece.failures.push_back(failure_at(piece, ""));
            continue;
        }

        if (!error && opts.validate) error = check_message(part.text, opts.rules, Purpose::Convert);
        if (error) {
            piece.failures.push_back(
                failure_at(piece, src.name + ": message " + std::to_string(n) + ": " + error->message()));
            continue;
        }
        open_item(piece.out, opts, src);
        piece.out.append(",\"index\":").append(std::to_string(n)).append(",\"records\":[");
        bool first = true;
        for_each_line(part.text, text, [&](std::string_view line) {
            if (!first) piece.out.push_back(',');
            first = false;
            flat.parse(line, handler);
            append_record(piece.out, flat);
        });
        piece.out.push_back(']');
        close_item(piece.out, opts);
    }
    return piece;
}

bool submit_failure(const std::string& text, OrderedJobs& jobs) {
    return jobs.submit([text] {
        Piece piece;
        piece.failures.push_back({0, text});
        return piece;
    });
}

// Reads the input in rounds, frames each and submits its final parts in
// runs of about kTaskBytes.  A task keeps its round's buffer alive, which
// its parts point into.
bool submit_hl7(const Options& opts, std::shared_ptr<const Source> src, InputReader& in, OrderedJobs& jobs) {
    RoundFramer framer;
    std::shared_ptr<const InputBytes> round;
    std::string_view carry;
    std::size_t index = 0;
    bool any = false;
    for (bool ended = false; !ended;) {
        // A message longer than a round makes the next one grow with it, so
        // that re-reading the carried text stays linear overall.
        Result<std::shared_ptr<const InputBytes>> next = in.next(carry, std::max(kRoundBytes, carry.size()), ended);
        if (!next) return submit_failure(src->name + ": " + next.error().message(), jobs);
        round = std::move(next.value());
        const Framing framing = framer.frame(round->view(), ended, carry);
        const std::vector<FramePart>& parts = framing.parts;
        any = any || !parts.empty();
        for (std::size_t i = 0; i < parts.size();) {
            std::size_t j = i, bytes = 0, messages = 0;
            while (j < parts.size() && (j == i || bytes < kTaskBytes)) {
                bytes += parts[j].text.size();
                messages += parts[j].kind == FramePart::Kind::Message;
                ++j;
            }
            std::vector<FramePart> run(parts.begin() + static_cast<std::ptrdiff_t>(i),
                                       parts.begin() + static_cast<std::ptrdiff_t>(j));
            if (!jobs.submit([&opts, src, round, run = std::move(run), index] {
                    return convert_hl7(opts, *src, run, index);
                }))
                return false;
            index += messages;
            i = j;
        }
    }
    if (!any) return submit_failure(src->name + ": " + Hl7Error::empty_message().message(), jobs);
    return true;
}

}  // namespace

bool submit_input(const Options& opts, const std::string& source, InputReader& in, OrderedJobs& jobs) {
    if (opts.command == Command::ToHl7) return submit_json(opts, source, in, jobs);
    return submit_hl7(opts, std::make_shared<const Source>(Source{source, json_name(source)}), in, jobs);
}

bool submit_unreadable(const std::string& source, const Hl7Error& error, OrderedJobs& jobs) {
    return submit_failure(source + ": " + error.message(), jobs);
}

}  // namespace segmorph::cli
