#include "convert.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "charset.hpp"
#include "delimiters.hpp"
#include "envelopes.hpp"
#include "framing.hpp"
#include "header_gate.hpp"
#include "json_hl7.hpp"
#include "json_writer.hpp"
#include "message_pipeline.hpp"
#include "rules.hpp"
#include "segments.hpp"
#include "signals.hpp"
#include "to_hl7.hpp"
#include "utf8.hpp"

namespace segmorph::cli {

namespace {

// Input per task: large enough that handing a task over costs nothing
// next to converting it, small enough that a few tasks per thread keep
// every thread busy on one large file.
constexpr std::size_t kTaskBytes = 256 * 1024;

// Input read per round: small enough that a round, read, framed and then
// converted, is still in the processor's cache when it is converted, and
// that the reading thread hands tasks on in short steps; large enough that
// a read costs nothing next to converting what it read.  Rounds of 8 MB
// cost a tenth more time per byte than rounds of half a megabyte, most of
// it in fetching the round again from memory and in fresh pages.
constexpr std::size_t kRoundBytes = 512 * 1024;

struct Source {
    std::string name;
    std::string json;       // the name as a JSON string
    std::string safe_name;  // the name safe to print: control characters shown as <XX>
};

}  // namespace

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

namespace {

Failure failure_at(const Piece& piece, const std::string& text) {
    return Failure{piece.out.size(), text, piece.messages};
}

}  // namespace

void append_message_members(TextBuffer& out, std::size_t index, std::string_view text, bool escaping,
                            FlatRecord& flat) {
    out.append(",\"index\":").append(std::to_string(index)).append(",\"records\":[");
    bool first = true;
    for_each_record(text, escaping, flat, [&](const FlatRecord& record) {
        if (!first) out.push_back(',');
        first = false;
        append_record(out, record);
    });
    out.push_back(']');
}

namespace {

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

}  // namespace

namespace {

Piece convert_hl7(const Options& opts, const Source& src, const std::vector<FramePart>& parts, std::size_t index) {
    Piece piece;
    if (opts.command == Command::ToJson) {
        // JSON of typical messages is two to three times their size.
        std::size_t bytes = 0;
        for (const FramePart& part : parts) bytes += part.text.size();
        piece.out.reserve(bytes * 3);
    }
    const Hl7EscapeHandler* handler = opts.escaping ? &default_escape_handler() : nullptr;
    FlatRecord flat;
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
            flat.parse(m.standard->view(), handler, /*keys=*/false);
            append_record(piece.out, flat);
            close_item(piece.out, opts);
            continue;
        }

        const std::size_t n = index++;
        ++piece.messages;
        const bool validating = opts.command == Command::Validate;
        const ReadMessage m = read_message(part.text, opts.encoding, validating || opts.validate ? &opts.rules : nullptr,
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
        append_message_members(piece.out, n, m.standard->view(), opts.escaping, flat);
        close_item(piece.out, opts);
    }
    return piece;
}

bool submit_failure(const std::string& text, OrderedJobs& jobs, std::uint64_t messages = 0) {
    return jobs.submit([text, messages] {
        Piece piece;
        piece.failures.push_back({0, text});
        piece.messages = messages;
        return piece;
    });
}

}  // namespace

bool read_hl7_parts(const Options& opts, const std::string& name, InputReader& in, Hl7PartSink& to) {
    std::optional<EnvelopeCharsets> envelopes;
    if (EnvelopeCharsets::needed(opts)) envelopes.emplace(opts, name, to);
    Hl7PartSink& inner = envelopes ? static_cast<Hl7PartSink&>(*envelopes) : to;
    // Only to-json writes records of what it reads; validate and send
    // report on each message as it is.
    std::optional<HeaderGate> gate;
    if (opts.command == Command::ToJson) gate.emplace(name, opts.max_message_bytes, inner);
    Hl7PartSink& sink = gate ? static_cast<Hl7PartSink&>(*gate) : inner;
    auto finish = [&gate, &envelopes] { return (!gate || gate->finish()) && (!envelopes || envelopes->finish()); };
    RoundFramer framer;
    // From a stream, a round ends as soon as it completes a message.
    in.end_rounds_when([&framer](std::string_view text, std::size_t from) { return framer.held_part_ends(text, from); });
    struct Forget {
        InputReader& in;
        ~Forget() { in.end_rounds_when(nullptr); }  // the test reads `framer`, which is about to go
    } forget{in};
    std::shared_ptr<const InputBytes> round;
    std::string_view carry;
    std::size_t index = 0;
    std::uint64_t read = 0;  // bytes of the input read so far
    bool any = false;
    const std::size_t max = opts.max_message_bytes;
    auto too_long = [&](std::string_view text, std::size_t n, bool message) {
        const std::uint64_t at = read - round->view().size() + static_cast<std::uint64_t>(text.data() - round->view().data());
        return name + ": " + (message ? "message " + std::to_string(n) : std::string("envelope segment")) +
               ": at byte " + std::to_string(at) + ": longer than " + std::to_string(max) +
               " bytes (--max-message-bytes); skipped";
    };
    for (bool ended = false; !ended;) {
        const std::size_t carried = carry.size();
        Result<std::shared_ptr<const InputBytes>> next = in.next(carry, round_want(carried, kRoundBytes, max), ended);
        if (!next) {
            if (stop_signal() != 0) return false;  // stopped, not failed
            return sink.failure(name + ": " + next.error().message(), 0) && finish();
        }
        round = std::move(next.value());
        read += round->view().size() - carried;
        const Framing framing = framer.frame(round->view(), ended, carry);
        const std::vector<FramePart>& parts = framing.parts;
        any = any || !parts.empty();
        for (std::size_t i = 0; i < parts.size();) {
            if (parts[i].text.size() > max) {
                const bool message = parts[i].kind == FramePart::Kind::Message;
                if (!sink.failure(too_long(parts[i].text, index, message), message)) return false;
                index += message;
                ++i;
                continue;
            }
            std::size_t j = i, messages = 0;
            for (; j < parts.size() && parts[j].text.size() <= max; ++j)
                messages += parts[j].kind == FramePart::Kind::Message;
            if (!sink.parts(round, std::span(parts).subspan(i, j - i), index)) return false;
            index += messages;
            i = j;
        }
        if (framing.truncated && !opts.accept_truncated) {
            const bool message = parts.back().kind == FramePart::Kind::Message;
            if (!sink.failure(name + ": " +
                                  (message ? "message " + std::to_string(index - 1) : std::string("envelope segment")) +
                                  ": the input ends inside an MLLP block (no 0x1C); converted as it is",
                              0))
                return false;
        }
        if (carry.size() > max) {
            // A message without an end (a stream of zeros): report it where
            // it began and drop it, in bounded memory, up to the next one.
            any = true;
            if (!sink.failure(too_long(carry, index, true), 1) || !sink.flush()) return false;
            ++index;
            carry = framer.drop_held_part(carry);
        }
    }
    if (!any) return sink.failure(name + ": " + Hl7Error::empty_message().message(), 0);
    return finish();
}

namespace {

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
            if (!jobs_.submit([&opts = opts_, src = src_, round, run = std::move(run), index] {
                    return convert_hl7(opts, *src, run, index);
                }, bytes))
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

bool submit_input(const Options& opts, const std::string& source, InputReader& in, OrderedJobs& jobs) {
    if (opts.command == Command::ToHl7) return submit_json(opts, source, in, jobs);
    SubmitHl7 sink(opts, std::make_shared<const Source>(Source{source, json_name(source), quote_input(source, SIZE_MAX)}),
                   jobs);
    return read_hl7_parts(opts, source, in, sink);
}

Inputs find_inputs(const Options& opts) {
    Selection selection;
    selection.content = opts.command == Command::ToHl7 ? Selection::Content::Json : Selection::Content::Hl7;
    selection.globs = opts.globs;
    selection.hidden = opts.hidden;
    return expand_paths(opts.paths, selection);
}

bool submit_unreadable(const std::string& source, const Hl7Error& error, OrderedJobs& jobs) {
    return submit_failure(source + ": " + error.message(), jobs);
}

}  // namespace segmorph::cli
