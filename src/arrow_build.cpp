// Building a message batch, and handing it out through the C data
// interface: every export shares the one batch instead of copying it.
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "arrow_batch.hpp"
#include "charset.hpp"
#include "delimiters.hpp"
#include "framing.hpp"
#include "message_pipeline.hpp"
#include "segments.hpp"

namespace segmorph {

namespace {

// nanoarrow answers with errno codes.  Out of memory is the only one a
// correct build can meet; a text column past Arrow's 2 GiB is reported as
// such; anything else is a broken invariant.
struct ColumnTooLarge {};

void check(ArrowErrorCode code) {
    if (code == NANOARROW_OK) return;
    if (code == ENOMEM) throw std::bad_alloc();
    if (code == EOVERFLOW) throw ColumnTooLarge{};
    throw std::runtime_error("building an Arrow batch failed with code " + std::to_string(code));
}

enum Column : int { kSource, kOffset, kIndex, kMessageType, kControlId, kSegments, kError, kColumns };
constexpr const char* kColumnNames[kColumns] = {"source",     "offset",   "index", "message_type",
                                                "control_id", "segments", "error"};

void make_schema(ArrowSchema* schema) {
    check(ArrowSchemaInitFromType(schema, NANOARROW_TYPE_STRUCT));
    check(ArrowSchemaAllocateChildren(schema, kColumns));
    for (int i = 0; i < kColumns; ++i) {
        ArrowSchema* column = schema->children[i];
        ArrowSchemaInit(column);
        const ArrowType type = i == kOffset || i == kIndex ? NANOARROW_TYPE_INT64
                               : i == kSegments           ? NANOARROW_TYPE_LIST
                                                          : NANOARROW_TYPE_STRING;
        check(ArrowSchemaSetType(column, type));
        // Every column is left nullable, and the list's item is named
        // "element": the schema Spark expects of a data source, which takes
        // no copy or cast to reach then.
        check(ArrowSchemaSetName(column, kColumnNames[i]));
    }
    // list<map<utf8, utf8>>: the map's entries are struct<key, value>.
    ArrowSchema* record = schema->children[kSegments]->children[0];
    check(ArrowSchemaSetName(record, "element"));
    check(ArrowSchemaSetType(record, NANOARROW_TYPE_MAP));
    check(ArrowSchemaSetType(record->children[0]->children[0], NANOARROW_TYPE_STRING));
    check(ArrowSchemaSetType(record->children[0]->children[1], NANOARROW_TYPE_STRING));
}

ArrowStringView view_of(std::string_view s) { return ArrowStringView{s.data(), static_cast<int64_t>(s.size())}; }

// The rows are appended column by column through nanoarrow, except the
// records' keys and values, nearly all of the work: those are written
// straight into their buffers, with no validity bitmaps (never null).
class Builder {
public:
    explicit Builder(ArrowArray* root) : root_(root) {
        ArrowArray* segments = root->children[kSegments];
        record_ = segments->children[0];
        entries_ = record_->children[0];
        keys_ = entries_->children[0];
        values_ = entries_->children[1];
        key_offsets_ = ArrowArrayBuffer(keys_, 1);
        key_data_ = ArrowArrayBuffer(keys_, 2);
        value_offsets_ = ArrowArrayBuffer(values_, 1);
        value_data_ = ArrowArrayBuffer(values_, 2);
    }

    void reserve(std::size_t input_bytes) {
        // Values are about the text less its separators; keys a few bytes each.
        check(ArrowBufferReserve(value_data_, static_cast<int64_t>(input_bytes)));
        check(ArrowBufferReserve(key_data_, static_cast<int64_t>(input_bytes / 2)));
    }

    void text(Column c, std::optional<std::string_view> s) {
        ArrowArray* column = root_->children[c];
        check(s ? ArrowArrayAppendString(column, view_of(*s)) : ArrowArrayAppendNull(column, 1));
    }
    void number(Column c, std::int64_t v) { check(ArrowArrayAppendInt(root_->children[c], v)); }

    // One record: its items' keys written straight from their numbers
    // into the key column (never formatted elsewhere first), the values
    // copied once, then "segment_name" and the name.  Room for the whole
    // record is made first, so the loop has no check per item.
    void record(const FlatRecord& flat) {
        static constexpr std::string_view kName = "segment_name";
        const std::size_t n = flat.size();
        std::size_t value_bytes = flat.name().size();
        for (std::size_t i = 0; i < n; ++i) value_bytes += flat.item(i).value.size();
        const std::size_t key_room = n * FlatRecord::kMaxKeyLength + kName.size();
        if (key_room > static_cast<std::size_t>(INT32_MAX - key_data_->size_bytes) ||
            value_bytes > static_cast<std::size_t>(INT32_MAX - value_data_->size_bytes)) {
            throw ColumnTooLarge{};
        }
        const auto offsets_room = static_cast<int64_t>((n + 1) * sizeof(std::int32_t));
        check(ArrowBufferReserve(key_data_, static_cast<int64_t>(key_room)));
        check(ArrowBufferReserve(value_data_, static_cast<int64_t>(value_bytes)));
        check(ArrowBufferReserve(key_offsets_, offsets_room));
        check(ArrowBufferReserve(value_offsets_, offsets_room));
        char* const key_base = reinterpret_cast<char*>(key_data_->data);
        char* const value_base = reinterpret_cast<char*>(value_data_->data);
        char* k = key_base + key_data_->size_bytes;
        char* v = value_base + value_data_->size_bytes;
        auto* key_end = reinterpret_cast<std::int32_t*>(key_offsets_->data + key_offsets_->size_bytes);
        auto* value_end = reinterpret_cast<std::int32_t*>(value_offsets_->data + value_offsets_->size_bytes);
        for (std::size_t i = 0; i < n; ++i) {
            const FlatRecord::Item item = flat.item(i);
            k = FlatRecord::format_key(k, item.field, item.rep, item.comp);
            std::memcpy(v, item.value.data(), item.value.size());
            v += item.value.size();
            *key_end++ = static_cast<std::int32_t>(k - key_base);
            *value_end++ = static_cast<std::int32_t>(v - value_base);
        }
        std::memcpy(k, kName.data(), kName.size());
        k += kName.size();
        std::memcpy(v, flat.name().data(), flat.name().size());
        v += flat.name().size();
        *key_end++ = static_cast<std::int32_t>(k - key_base);
        *value_end++ = static_cast<std::int32_t>(v - value_base);
        key_data_->size_bytes = k - key_base;
        value_data_->size_bytes = v - value_base;
        key_offsets_->size_bytes += offsets_room;
        value_offsets_->size_bytes += offsets_room;
        entry_count_ += static_cast<std::int64_t>(n + 1);
        keys_->length = values_->length = entries_->length = entry_count_;
        check(ArrowArrayFinishElement(record_));
    }
    void end_segments(bool failed) {
        ArrowArray* segments = root_->children[kSegments];
        check(failed ? ArrowArrayAppendNull(segments, 1) : ArrowArrayFinishElement(segments));
    }
    void end_row() { check(ArrowArrayFinishElement(root_)); }

private:
    ArrowArray* root_;
    ArrowArray *record_, *entries_, *keys_, *values_;
    ArrowBuffer *key_offsets_, *key_data_, *value_offsets_, *value_data_;
    std::int64_t entry_count_ = 0;
};

void build_rows(Builder& out, std::string_view data, const BatchOptions& options) {
    const Framing framing = frame_messages(data);
    FlatRecord flat;
    auto index = static_cast<std::int64_t>(options.base_index);
    for (const FramePart& part : framing.parts) {
        if (part.kind != FramePart::Kind::Message) continue;
        const ReadMessage m = read_message(part.text, Encoding::Auto, options.rules ? &*options.rules : nullptr);
        const Status& error = m.failure();
        const std::string_view text = m.standard ? m.standard->view() : std::string_view();

        out.text(kSource, options.source);
        out.number(kOffset, static_cast<std::int64_t>(options.base_offset) + (part.text.data() - data.data()));
        out.number(kIndex, index++);
        out.text(kMessageType, text.empty() ? std::nullopt : header_field_as_written(text, 9));
        out.text(kControlId, text.empty() ? std::nullopt : header_field_as_written(text, 10));
        if (!error) for_each_record(text, options.escaping, flat, [&](const FlatRecord& record) { out.record(record); });
        out.end_segments(error.has_value());
        if (error) {
            out.text(kError, error->message());
        } else {
            out.text(kError, std::nullopt);
        }
        out.end_row();
    }
}

// ------------------------------------------------------------- exports

// An exported array node: the batch's buffers, children of its own (a
// consumer may move a child out and release it on its own), and a share of
// the batch that keeps those buffers alive.
struct SharedNode {
    std::shared_ptr<const MessageBatch> owner;
    std::vector<ArrowArray> children;
    std::vector<ArrowArray*> child_pointers;
};

void release_shared(ArrowArray* array) {
    auto* node = static_cast<SharedNode*>(array->private_data);
    for (ArrowArray& child : node->children) {
        if (child.release != nullptr) child.release(&child);
    }
    delete node;
    array->release = nullptr;
}

void share(const ArrowArray& from, const std::shared_ptr<const MessageBatch>& owner, ArrowArray* out) {
    auto node = std::make_unique<SharedNode>();
    node->owner = owner;
    node->children.resize(static_cast<std::size_t>(from.n_children));
    node->child_pointers.resize(node->children.size());
    for (std::size_t i = 0; i < node->children.size(); ++i) {
        node->children[i].release = nullptr;
        node->child_pointers[i] = &node->children[i];
    }
    try {
        for (std::size_t i = 0; i < node->children.size(); ++i) share(*from.children[i], owner, &node->children[i]);
    } catch (...) {
        for (ArrowArray& child : node->children) {
            if (child.release != nullptr) child.release(&child);
        }
        throw;
    }
    *out = from;
    out->children = node->child_pointers.empty() ? nullptr : node->child_pointers.data();
    out->dictionary = nullptr;
    out->release = release_shared;
    out->private_data = node.release();
}

struct StreamState {
    std::shared_ptr<const MessageBatch> batch;
    bool done = false;
    std::string last_error;
};

// The callbacks run in the consumer, which may be C: no exception leaves them.
int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    auto* state = static_cast<StreamState*>(stream->private_data);
    try {
        MessageBatch::export_schema(*state->batch, out);
        return 0;
    } catch (...) {
        state->last_error = "out of memory";
        return ENOMEM;
    }
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
    auto* state = static_cast<StreamState*>(stream->private_data);
    if (state->done) {
        out->release = nullptr;  // the end of the stream
        return 0;
    }
    try {
        MessageBatch::export_array(state->batch, out);
        state->done = true;
        return 0;
    } catch (...) {
        state->last_error = "out of memory";
        return ENOMEM;
    }
}

const char* stream_get_last_error(ArrowArrayStream* stream) {
    auto* state = static_cast<StreamState*>(stream->private_data);
    return state->last_error.empty() ? nullptr : state->last_error.c_str();
}

void stream_release(ArrowArrayStream* stream) {
    delete static_cast<StreamState*>(stream->private_data);
    stream->release = nullptr;
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
    make_schema(&batch->schema_);
    ArrowError error{};
    check(ArrowArrayInitFromSchema(&batch->array_, &batch->schema_, &error));
    check(ArrowArrayStartAppending(&batch->array_));
    try {
        Builder builder(&batch->array_);
        builder.reserve(data.size());
        build_rows(builder, data, options);
    } catch (const ColumnTooLarge&) {
        failure = "the messages do not fit one Arrow batch: a text column would pass 2 GiB; convert less at a time";
        return nullptr;
    }
    // The sizes of every buffer are checked, not their content: built here.
    if (ArrowArrayFinishBuilding(&batch->array_, NANOARROW_VALIDATION_LEVEL_MINIMAL, &error) != NANOARROW_OK) {
        throw std::runtime_error(std::string("building an Arrow batch failed: ") + error.message);
    }
    return batch;
}

void MessageBatch::export_schema(const MessageBatch& batch, ArrowSchema* out) {
    check(ArrowSchemaDeepCopy(&batch.schema_, out));
}

void MessageBatch::export_array(const std::shared_ptr<const MessageBatch>& batch, ArrowArray* out) {
    share(batch->array_, batch, out);
}

void MessageBatch::export_stream(const std::shared_ptr<const MessageBatch>& batch, ArrowArrayStream* out) {
    out->private_data = new StreamState{batch, false, {}};
    out->get_schema = stream_get_schema;
    out->get_next = stream_get_next;
    out->get_last_error = stream_get_last_error;
    out->release = stream_release;
}

}  // namespace segmorph
