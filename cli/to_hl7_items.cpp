// to-hl7's tasks (see to_hl7_items.hpp): each item read by the same
// readers into the same record store as JsonHl7.from_file (to-json's own
// JSON in one pass by the flat reader, anything else by yyjson), and
// assembled by JsonHl7's assembly (its layout cache included, which a feed
// of like messages keeps warm).
#include "to_hl7_items.hpp"

#include <cstring>
#include <optional>

#include "json_hl7.hpp"
#include "json_hl7_writer.hpp"

namespace segmorph::cli {

namespace {

std::string_view segment_end(const Options& opts) {
    switch (opts.segment_end) {
        case SegmentEnd::Lf: return "\n";
        case SegmentEnd::Crlf: return "\r\n";
        case SegmentEnd::Cr: break;
    }
    return "\r";
}

// What a task keeps from item to item: the store and the assembled text,
// whose memory is reused.
struct ItemWriter {
    ItemReader item;
    segmorph::TextBuffer text;

    // The item read last, as HL7: every segment followed by the segment
    // end; a message in MLLP framing when asked, where envelope segments
    // have no place.  Records that would write more separators than a
    // message may (json_hl7_bounds.hpp) are not written: what is wrong,
    // at the item's start.
    std::optional<JsonProblem> write(const Options& opts, Piece& piece) {
        if (item.envelope && opts.mllp) return std::nullopt;
        if (std::optional<std::string> error = item.records.check_output_bound()) {
            return JsonProblem{0, std::move(*error)};
        }
        if (!item.envelope) ++piece.messages;
        if (item.records.record_count() == 0) return std::nullopt;
        // Assembled as a whole so that the bounds apply per message, exactly
        // as in JsonHl7; its "\n" between segments (and in a value written
        // unescaped) become the segment end.
        text.clear();
        item.records.convert_json_to_hl7_into(opts.escape, text);
        const std::string_view end = segment_end(opts);
        TextBuffer& out = piece.out;
        if (opts.mllp) out.push_back('\x0B');
        std::string_view rest = text.view();
        if (end.size() == 1) {
            char* to = out.claim(rest.size() + 1);
            segmorph::detail::copy_lines(to, rest, end[0]);
            to[rest.size()] = end[0];
            out.commit(to + rest.size() + 1);
        } else {
            for (const char* nl; (nl = static_cast<const char*>(std::memchr(rest.data(), '\n', rest.size())));) {
                const auto n = static_cast<std::size_t>(nl - rest.data());
                out.append(rest.substr(0, n)).append(end);
                rest.remove_prefix(n + 1);
            }
            out.append(rest).append(end);
        }
        if (opts.mllp) out.append("\x1C\r");
        return std::nullopt;
    }
};

void report(Piece& piece, const std::string& name, std::string_view text, const JsonProblem& problem, TextPlace start,
            std::string_view prefix = {}) {
    const TextPlace at = place_of(text, problem.at, start);
    piece.failures.push_back(Failure{piece.out.size(), name + ": line " + std::to_string(at.line) + ", column " +
                                                           std::to_string(at.column) + ": " + std::string(prefix) +
                                                           problem.what});
}

}  // namespace

// Lines of JSON Lines, the first being line `first_line` of the input.
Piece convert_lines(const Options& opts, const std::string& name, std::string_view text, std::size_t first_line) {
    Piece piece;
    piece.input_bytes = text.size();
    // (HL7 takes about 2/5 of the bytes of its JSON: room for it at once.)
    piece.out.reserve(text.size() / 2 + 4096);
    ItemWriter writer;
    std::size_t number = first_line;
    const char* const end = text.data() + text.size();
    for (const char* p = text.data();;) {
        const std::size_t n = number++;
        // A line as to-json writes it is read in one pass, which finds its
        // end; any other is cut first and read by the full reader.
        const char* line_end = nullptr;
        if (p < end && *p == '{' &&
            writer.item.read_line_flat(std::string_view(p, static_cast<std::size_t>(end - p)), line_end)) {
            if (auto problem = writer.write(opts, piece)) report(piece, name, {}, *problem, TextPlace{n, 1});
        } else {
            line_end = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
            if (line_end == nullptr) line_end = end;
            std::string_view line(p, static_cast<std::size_t>(line_end - p));
            if (line.ends_with('\r')) line.remove_suffix(1);
            if (line.find_first_not_of(" \t") != std::string_view::npos) {
                std::optional<JsonProblem> problem = writer.item.read_item(line, true);
                if (!problem) problem = writer.write(opts, piece);
                if (problem) report(piece, name, line, *problem, TextPlace{n, 1});
            }
        }
        if (line_end == end) break;
        p = line_end + 1;
    }
    return piece;
}

Piece convert_elements(const Options& opts, const std::string& name, const std::vector<Element>& elements) {
    Piece piece;
    ItemWriter writer;
    for (const Element& e : elements) {
        piece.input_bytes += e.text.size();
        std::optional<JsonProblem> problem = writer.item.read_item(e.text, false);
        if (!problem) problem = writer.write(opts, piece);
        if (problem) {
            report(piece, name, e.text, *problem, e.place, "element " + std::to_string(e.index) + " of the array: ");
        }
    }
    return piece;
}

// An array of records: one message.
Piece convert_records(const Options& opts, const std::string& name, std::string_view text, TextPlace place) {
    Piece piece;
    piece.input_bytes = text.size();
    ItemWriter writer;
    std::optional<JsonProblem> problem = writer.item.read_records(text);
    if (!problem) problem = writer.write(opts, piece);
    if (problem) report(piece, name, text, *problem, place);
    return piece;
}

}  // namespace segmorph::cli
