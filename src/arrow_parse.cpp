// The rows of a column of message texts (Kafka's values, a table of raw
// messages): each value read as one message.
#include <string>
#include <type_traits>

#include "arrow_rows.hpp"
#include "framing.hpp"

namespace segmorph {

using namespace rows;

namespace {

bool is_text_type(ArrowType t) {
    return t == NANOARROW_TYPE_STRING || t == NANOARROW_TYPE_LARGE_STRING || t == NANOARROW_TYPE_BINARY ||
           t == NANOARROW_TYPE_LARGE_BINARY;
}

}  // namespace

std::shared_ptr<const MessageBatch> parse_texts(const ArrowSchema& schema, const ArrowArray& array,
                                                const BatchOptions& given, std::string& failure) {
    ArrowError error{};
    ArrowView view;
    if (ArrowArrayViewInitFromSchema(view.get(), &schema, &error) != NANOARROW_OK ||
        ArrowArrayViewSetArray(view.get(), &array, &error) != NANOARROW_OK) {
        failure = std::string("the Arrow data cannot be read: ") + error.message;
        return nullptr;
    }
    const ArrowArrayView* column = view.get();
    std::int64_t shift = 0;  // a struct's offset applies to its children's indices
    if (column->storage_type == NANOARROW_TYPE_STRUCT && column->n_children > 0) {
        shift = column->offset;
        column = column->children[0];
    }
    if (!is_text_type(column->storage_type)) {
        failure = "the column to parse must hold strings or binary values (one message each)";
        return nullptr;
    }
    BatchOptions options = given;
    options.layout = Layout::Messages;
    std::size_t bytes = 0;
    for (std::int64_t i = 0; i < view.get()->length; ++i) {
        bytes += static_cast<std::size_t>(ArrowArrayViewGetBytesUnsafe(column, shift + i).size_bytes);
    }
    std::shared_ptr<MessageBatch> batch(new MessageBatch());
    return fill_batch(batch, batch->schema_, batch->array_, options, bytes, failure, [&](auto& builder) {
        if constexpr (std::is_same_v<std::decay_t<decltype(builder)>, Builder>) {
            FlatRecord flat;
            for (std::int64_t i = 0; i < view.get()->length; ++i) {
                MessageRow row;
                row.index = i;
                if (ArrowArrayViewIsNull(column, shift + i)) {
                    builder.null_message(row);
                    continue;
                }
                const ArrowBufferView value = ArrowArrayViewGetBytesUnsafe(column, shift + i);
                const std::string_view text(value.data.as_char, static_cast<std::size_t>(value.size_bytes));
                row.source = std::string_view();
                row.raw = text;
                const Framing framing = frame_messages(text);
                std::size_t messages = 0;
                std::string_view message = text;
                for (const FramePart& part : framing.parts) {
                    if (part.kind == FramePart::Kind::Message && messages++ == 0) message = part.text;
                }
                Status status;
                if (messages == 0) status = Hl7Error::empty_message();
                else if (messages > 1) {
                    status = Hl7Error::invalid_format("the value holds " + std::to_string(messages) +
                                                      " messages: each value of the column must be one message");
                }
                message_rows(builder, flat, row, message, options, std::move(status));
            }
        }
    });
}

}  // namespace segmorph
