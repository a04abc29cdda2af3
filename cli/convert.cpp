#include "convert.hpp"

#include <utility>
#include <vector>

#include "framing.hpp"
#include "json_hl7.hpp"
#include "json_reader.hpp"
#include "json_writer.hpp"
#include "rules.hpp"
#include "segments.hpp"
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
            flat.parse(part.text, handler, /*keys=*/false);  // the writer keys by number
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
            flat.parse(line, handler, /*keys=*/false);
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

// ----------------------------------------------------------- JSON input

std::string_view segment_end(const Options& opts) {
    switch (opts.segment_end) {
        case SegmentEnd::Lf: return "\n";
        case SegmentEnd::Crlf: return "\r\n";
        case SegmentEnd::Cr: break;
    }
    return "\r";
}

// One item as HL7: every segment followed by the segment end; a message in
// MLLP framing when asked, where envelope segments have no place.
void write_item(const Options& opts, const JsonItem& item, Piece& piece) {
    if (item.envelope && opts.mllp) return;
    if (!item.envelope) ++piece.messages;
    if (item.records.empty()) return;
    // Assembled as a whole so that the bounds apply per message, exactly as
    // in JsonHl7; its "\n" between segments become the segment end.
    const std::string text = assemble_message(item.records, default_handler(), !opts.unescaped);
    const std::string_view end = segment_end(opts);
    TextBuffer& out = piece.out;
    if (opts.mllp) out.push_back('\x0B');
    for_each_piece(text, '\n', [&](std::string_view line) {
        out.append(line);
        out.append(end);
    });
    if (opts.mllp) out.append("\x1C\r");
}

Piece convert_json_lines(const Options& opts, const Source& src, std::string_view text, std::size_t first_line) {
    Piece piece;
    piece.input_bytes = text.size();
    std::size_t number = first_line;
    for_each_piece(text, '\n', [&](std::string_view line) {
        const std::size_t n = number++;
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (line.find_first_not_of(" \t") == std::string_view::npos) return;
        Result<JsonItem> item = parse_json_line(line);
        if (!item) {
            piece.failures.push_back(
                failure_at(piece, src.name + ": line " + std::to_string(n) + ": " + item.error().message()));
            return;
        }
        write_item(opts, item.value(), piece);
    });
    return piece;
}

// A whole JSON document, or, when it is not one but its first line is a
// JSON value, JSON Lines whose lines are arrays.
Piece convert_json_document(const Options& opts, const Source& src, std::string_view text) {
    Result<std::vector<JsonItem>> items = parse_json_document(text);
    if (!items) {
        const std::size_t nl = text.find('\n');
        if (nl != std::string_view::npos && is_json_value(text.substr(0, nl)))
            return convert_json_lines(opts, src, text, 1);
        Piece piece;
        piece.input_bytes = text.size();
        piece.failures.push_back({0, src.name + ": " + items.error().message()});
        return piece;
    }
    Piece piece;
    piece.input_bytes = text.size();
    for (const JsonItem& item : items.value()) write_item(opts, item, piece);
    return piece;
}

// JSON Lines (an input whose first character is "{") are read in rounds
// and converted in runs of whole lines; any other JSON input is one
// document, read whole.
bool submit_json(const Options& opts, std::shared_ptr<const Source> src, InputReader& in, OrderedJobs& jobs) {
    enum class Kind { Unknown, Lines, Document } kind = Kind::Unknown;
    std::shared_ptr<const InputBytes> round;
    std::string_view carry;
    std::size_t line = 1;
    for (bool ended = false; !ended;) {
        Result<std::shared_ptr<const InputBytes>> next = in.next(carry, std::max(kRoundBytes, carry.size()), ended);
        if (!next) return submit_failure(src->name + ": " + next.error().message(), jobs);
        round = std::move(next.value());
        const std::string_view text = round->view();
        carry = {};
        if (kind == Kind::Unknown) {
            const std::size_t first = text.find_first_not_of(" \t\r\n");
            if (first != std::string_view::npos) kind = text[first] == '{' ? Kind::Lines : Kind::Document;
        }
        if (kind != Kind::Lines) {
            if (!ended) {
                carry = text;  // a document is read whole; blank text waits too
                continue;
            }
            if (kind == Kind::Unknown)
                return submit_failure(src->name + ": " + Hl7Error::empty_message().message(), jobs);
            return jobs.submit([&opts, src, round] { return convert_json_document(opts, *src, round->view()); });
        }
        // Whole lines only; the line not yet ended waits for the next round.
        std::size_t complete = text.size();
        if (!ended) {
            const std::size_t last = text.rfind('\n');
            complete = last == std::string_view::npos ? 0 : last + 1;
            carry = text.substr(complete);
        }
        for (std::size_t start = 0; start < complete;) {
            std::size_t end = std::min(complete, start + kTaskBytes);
            end = text.find('\n', end);
            end = end == std::string_view::npos || end >= complete ? complete : end + 1;
            const std::string_view run = text.substr(start, end - start);
            std::size_t lines = 0;
            for (char c : run) lines += c == '\n';
            // A run ends after its "\n", so cutting it leaves an empty last piece.
            const std::string_view body = run.ends_with('\n') ? run.substr(0, run.size() - 1) : run;
            if (!jobs.submit([&opts, src, round, body, line] { return convert_json_lines(opts, *src, body, line); }))
                return false;
            line += lines;
            start = end;
        }
    }
    return true;
}

}  // namespace

bool submit_input(const Options& opts, const std::string& source, InputReader& in, OrderedJobs& jobs) {
    auto src = std::make_shared<const Source>(Source{source, json_name(source)});
    return opts.command == Command::ToHl7 ? submit_json(opts, std::move(src), in, jobs)
                                          : submit_hl7(opts, std::move(src), in, jobs);
}

bool submit_unreadable(const std::string& source, const Hl7Error& error, OrderedJobs& jobs) {
    return submit_failure(source + ": " + error.message(), jobs);
}

}  // namespace segmorph::cli
