#include "to_json_items.hpp"

#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "hl7_rounds.hpp"
#include "message_json.hpp"
#include "message_pipeline.hpp"

namespace segmorph::cli {

namespace {

struct Source {
    std::string name;
    std::string json;       // the name as a JSON string
    std::string safe_name;  // the name safe to print: control characters shown as <XX>
};

Failure failure_at(const Piece& piece, const std::string& text) {
    return Failure{piece.out.size(), text, piece.messages};
}

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
    const Hl7EscapeHandler* handler = opts.escaping ? &default_escape_handler() : nullptr;
    LineJsonWriter writer;
    for (const FramePart& part : parts) {
        piece.input_bytes += part.text.size();
        if (part.kind == FramePart::Kind::Envelope) {
            if (opts.command != Command::ToJson) continue;
            const ReadMessage m = read_message(part.text, opts.encoding);
            if (m.error) {
                piece.failures.push_back(failure_at(piece, src.name + ": envelope segment: " + m.error->message()));
                continue;
            }
            open_item(piece.out, opts, src);
            piece.out.append(",\"envelope\":");
            const std::string_view segment = m.standard->view();
            writer.append(piece.out, segment, segment.data() + segment.size(), handler);
            close_item(piece.out, opts);
            continue;
        }

        const std::size_t n = index++;
        ++piece.messages;
        const bool validating = opts.command == Command::Validate;
        const ReadMessage m =
            read_message(part.text, opts.encoding, validating || opts.validate ? &opts.rules : nullptr,
                         validating ? Purpose::Validate : Purpose::Convert);
        const Status& error = m.failure();

        if (validating) {
            piece.out.append(src.safe_name).append(":").append(std::to_string(n)).append(": ");
            piece.out.append(error ? error->message() : std::string("ok")).push_back('\n');
            if (error) piece.failures.push_back(failure_at(piece, ""));
            continue;
        }

        if (error) {
            piece.failures.push_back(
                failure_at(piece, src.name + ": message " + std::to_string(n) + ": " + error->message()));
            continue;
        }
        open_item(piece.out, opts, src);
        append_message_members(piece.out, n, m.standard->view(), opts.escaping, writer);
        close_item(piece.out, opts);
    }
    return piece;
}

// Submits the parts in runs of about kTaskBytes.  A task keeps its round's
// buffer alive, which its parts point into.
class SubmitHl7 final : public Hl7PartSink {
public:
    SubmitHl7(const Options& opts, std::shared_ptr<const Source> src, OrderedJobs& jobs)
        : opts_(opts), src_(std::move(src)), jobs_(jobs) {}

    bool parts(const std::shared_ptr<const InputBytes>& round, std::span<const FramePart> parts,
               std::size_t index) override {
        for (std::size_t i = 0; i < parts.size();) {
            std::size_t j = i, bytes = 0, messages = 0;
            while (j < parts.size() && (j == i || bytes < kTaskBytes)) {
                bytes += parts[j].text.size();
                messages += parts[j].kind == FramePart::Kind::Message;
                ++j;
            }
            std::vector<FramePart> run(parts.begin() + static_cast<std::ptrdiff_t>(i),
                                       parts.begin() + static_cast<std::ptrdiff_t>(j));
            if (!jobs_.submit([&opts = opts_, src = src_, round, run = std::move(run),
                               index] { return convert_hl7(opts, *src, run, index); },
                              bytes))
                return false;
            index += messages;
            i = j;
        }
        return true;
    }

    bool failure(const std::string& text, std::uint64_t messages) override {
        return submit_failure(text, jobs_, messages);
    }

    bool flush() override { return jobs_.flush(); }

private:
    const Options& opts_;
    std::shared_ptr<const Source> src_;
    OrderedJobs& jobs_;
};

}  // namespace

bool submit_hl7(const Options& opts, const std::string& source, InputReader& in, OrderedJobs& jobs) {
    SubmitHl7 sink(
        opts, std::make_shared<const Source>(Source{source, json_name(source), quote_input(source, SIZE_MAX)}), jobs);
    return read_hl7_parts(opts, source, in, sink);
}

}  // namespace segmorph::cli
