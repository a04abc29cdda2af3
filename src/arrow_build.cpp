// Building a message batch from a buffer: the rows of the messages framed
// in it, with the file and batch envelopes around them, in the message or
// the field layout.
#include <algorithm>
#include <string>

#include "arrow_rows.hpp"
#include "charset.hpp"
#include "delimiters.hpp"
#include "envelope_state.hpp"
#include "framing.hpp"

namespace segmorph {

namespace {

using namespace rows;

// A header field (11: the control id) of an envelope line, as UTF-8; the
// line read in the character set of the message it opens, as the command
// reads it.
std::optional<std::string> envelope_field(std::string_view line, const BatchOptions& options,
                                          std::optional<std::string_view> next_message) {
    if (line.empty()) return std::nullopt;
    Result<MessageText> decoded = decode_envelope(line, options.encoding, next_message, EnvelopeSide::Opens);
    if (!decoded) return std::nullopt;
    const std::optional<std::string_view> field = header_field_as_written(decoded.value().view(), 11);
    if (!field) return std::nullopt;
    return std::string(*field);
}

template <class Out>
void build_rows(Out& out, std::string_view data, const BatchOptions& options, std::string& envelope_after) {
    const std::size_t size = data.size();
    std::size_t start = options.start == 0 ? 0 : next_message_start(data, std::min(options.start, size));
    const std::size_t stop = options.stop >= size ? size : next_message_start(data, options.stop);
    start = std::min(start, stop);
    EnvelopeState envelopes = options.envelope ? EnvelopeState::decode(*options.envelope)
                              : start > 0      ? envelope_state_before(data, start)
                                               : EnvelopeState{};
    const std::string_view range = data.substr(start, stop - start);
    const Framing framing = frame_messages(range);
    // A capture cut inside its last block fails that block's message
    // (the command reports it the same way), but only where the input ends.
    const bool cut = framing.truncated && options.ends_input && stop == size;
    FlatRecord flat;
    auto index = static_cast<std::int64_t>(options.base_index);
    std::optional<std::string> file_id, batch_id;
    bool ids_known = false;
    for (std::size_t p = 0; p < framing.parts.size(); ++p) {
        const FramePart& part = framing.parts[p];
        if (part.kind != FramePart::Kind::Message) {
            envelopes.take(part.text);
            ids_known = false;
            continue;
        }
        if (!ids_known) {
            file_id = envelope_field(envelopes.file_header, options, part.text);
            batch_id = envelope_field(envelopes.batch_header, options, part.text);
            ids_known = true;
        }
        MessageRow row;
        row.source = options.source;
        row.offset = static_cast<std::int64_t>(options.base_offset) + (part.text.data() - data.data());
        row.index = index++;
        if (file_id) row.file_control_id = *file_id;
        if (batch_id) row.batch_control_id = *batch_id;
        row.raw = part.text;
        Status error;
        if (cut && p + 1 == framing.parts.size()) {
            error = Hl7Error::invalid_format("the input ends inside an MLLP block (no 0x1C): the message may be cut");
        }
        message_rows(out, flat, row, part.text, options, std::move(error));
    }
    if (options.input_error) {
        MessageRow row;
        row.source = options.source;
        row.offset = static_cast<std::int64_t>(options.base_offset + size);
        row.index = index;
        out.begin(row, std::nullopt);
        out.end(row, Hl7Error::invalid_format(std::string(*options.input_error)));
    }
    envelope_after = envelopes.encode();
}

}  // namespace

MessageBatch::MessageBatch() = default;

MessageBatch::~MessageBatch() {
    if (array_.release != nullptr) array_.release(&array_);
    if (schema_.release != nullptr) schema_.release(&schema_);
}

std::shared_ptr<const MessageBatch> MessageBatch::build(std::string_view data, const BatchOptions& options,
                                                        std::string& failure) {
    std::shared_ptr<MessageBatch> batch(new MessageBatch());
    std::string* after = &batch->envelope_after_;
    return fill_batch(batch, batch->schema_, batch->array_, options, data.size(), failure,
                      [&](auto& builder) { build_rows(builder, data, options, *after); });
}

}  // namespace segmorph
