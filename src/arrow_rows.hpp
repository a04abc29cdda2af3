// The rows of a message batch as the builders write them: the columns of
// each layout, and the two builders that fill them from the core's
// records.  Shared by the units that build batches (arrow_build.cpp from
// framed buffers, arrow_parse.cpp from columns of texts).
#pragma once

#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "arrow_batch.hpp"
#include "arrow_check.hpp"
#include "delimiters.hpp"
#include "lines.hpp"
#include "message_pipeline.hpp"
#include "segments.hpp"
#include "utf8.hpp"

namespace segmorph::rows {

inline void check(ArrowErrorCode code) { check_arrow(code); }

enum Column : int {
    kSource,
    kOffset,
    kIndex,
    kMessageType,
    kControlId,
    kFileControlId,
    kBatchControlId,
    kSegments,
    kError,
    kColumns
};
constexpr const char* kColumnNames[kColumns] = {"source",           "offset",     "index",
                                                "message_type",     "control_id", "file_control_id",
                                                "batch_control_id", "segments",   "error"};

enum FieldColumn : int {
    kFieldSource,
    kFieldOffset,
    kFieldSegment,
    kFieldSegmentName,
    kFieldField,
    kFieldRepetition,
    kFieldComponent,
    kFieldValue,
    kFieldError,
    kFieldColumns
};
constexpr const char* kFieldColumnNames[kFieldColumns] = {"source",     "offset",    "segment", "segment_name", "field",
                                                          "repetition", "component", "value",   "error"};

inline void make_column(ArrowSchema* column, const char* name, ArrowType type) {
    ArrowSchemaInit(column);
    check(ArrowSchemaSetType(column, type));
    // Every column is left nullable, and the list's item is named
    // "element": the schema Spark expects of a data source, which takes
    // no copy or cast to reach then.
    check(ArrowSchemaSetName(column, name));
}

inline void make_schema(ArrowSchema* schema, const BatchOptions& options) {
    const bool fields = options.layout == Layout::Fields;
    const int columns = fields ? static_cast<int>(kFieldColumns) : static_cast<int>(kColumns);
    const bool corrupt = !options.corrupt_column.empty();
    check(ArrowSchemaInitFromType(schema, NANOARROW_TYPE_STRUCT));
    check(ArrowSchemaAllocateChildren(schema, columns + (corrupt ? 1 : 0)));
    for (int i = 0; i < columns; ++i) {
        if (fields) {
            const bool number = i == kFieldOffset || i == kFieldSegment || i == kFieldField || i == kFieldRepetition ||
                                i == kFieldComponent;
            make_column(schema->children[i], kFieldColumnNames[i],
                        number ? NANOARROW_TYPE_INT64 : NANOARROW_TYPE_STRING);
        } else {
            const ArrowType type = i == kOffset || i == kIndex ? NANOARROW_TYPE_INT64
                                   : i == kSegments            ? NANOARROW_TYPE_LIST
                                                               : NANOARROW_TYPE_STRING;
            make_column(schema->children[i], kColumnNames[i], type);
        }
    }
    if (corrupt) {
        const std::string name(options.corrupt_column);
        make_column(schema->children[columns], name.c_str(), NANOARROW_TYPE_STRING);
    }
    if (fields) return;
    // list<map<utf8, utf8>>: the map's entries are struct<key, value>.
    ArrowSchema* record = schema->children[kSegments]->children[0];
    check(ArrowSchemaSetName(record, "element"));
    check(ArrowSchemaSetType(record, NANOARROW_TYPE_MAP));
    check(ArrowSchemaSetType(record->children[0]->children[0], NANOARROW_TYPE_STRING));
    check(ArrowSchemaSetType(record->children[0]->children[1], NANOARROW_TYPE_STRING));
}

inline ArrowStringView view_of(std::string_view s) { return ArrowStringView{s.data(), static_cast<int64_t>(s.size())}; }

// `text` with every byte that does not begin valid UTF-8 shown as U+FFFD,
// so that a message that failed for its bytes can still be shown.
inline std::string as_utf8_shown(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = utf8_sequence_length(p + i, text.size() - i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(text.data() + i, n);
            i += n;
        }
    }
    return out;
}

inline void append_text(ArrowArray* column, std::optional<std::string_view> s) {
    check(s ? ArrowArrayAppendString(column, view_of(*s)) : ArrowArrayAppendNull(column, 1));
}

// What every row of one message says beside its records.
struct MessageRow {
    std::optional<std::string_view> source;  // null for a parsed column's null value
    std::int64_t offset = 0;
    std::int64_t index = 0;
    std::optional<std::string_view> file_control_id, batch_control_id;
    std::string_view raw;  // the message's bytes as framed
};

// The rows of the message layout are appended column by column through
// nanoarrow, except the records' keys and values, nearly all of the work:
// those are written straight into their buffers, with no validity bitmaps
// (never null).
class Builder {
public:
    explicit Builder(ArrowArray* root, bool corrupt) : root_(root), corrupt_(corrupt) {
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

    void begin(const MessageRow& row, std::optional<std::string_view> text) {
        append_text(root_->children[kSource], row.source);
        check(ArrowArrayAppendInt(root_->children[kOffset], row.offset));
        check(ArrowArrayAppendInt(root_->children[kIndex], row.index));
        append_text(root_->children[kMessageType], text ? header_field_as_written(*text, 9) : std::nullopt);
        append_text(root_->children[kControlId], text ? header_field_as_written(*text, 10) : std::nullopt);
        append_text(root_->children[kFileControlId], row.file_control_id);
        append_text(root_->children[kBatchControlId], row.batch_control_id);
    }

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

    // A row of nulls but for its index (a null value of a parsed column).
    void null_message(const MessageRow& row) {
        for (int c = 0; c < kColumns + (corrupt_ ? 1 : 0); ++c) {
            check(c == kIndex ? ArrowArrayAppendInt(root_->children[c], row.index)
                              : ArrowArrayAppendNull(root_->children[c], 1));
        }
        check(ArrowArrayFinishElement(root_));
    }

    void end(const MessageRow& row, const Status& error) {
        ArrowArray* segments = root_->children[kSegments];
        check(error ? ArrowArrayAppendNull(segments, 1) : ArrowArrayFinishElement(segments));
        append_text(root_->children[kError], error ? std::optional<std::string_view>(error->message()) : std::nullopt);
        if (corrupt_) {
            append_text(root_->children[kColumns],
                        error ? std::optional<std::string_view>(as_utf8_shown(row.raw)) : std::nullopt);
        }
        check(ArrowArrayFinishElement(root_));
    }

private:
    ArrowArray* root_;
    bool corrupt_;
    ArrowArray *record_, *entries_, *keys_, *values_;
    ArrowBuffer *key_offsets_, *key_data_, *value_offsets_, *value_data_;
    std::int64_t entry_count_ = 0;
};

// The rows of the field layout: one per value, in the records' order.
class FieldBuilder {
public:
    explicit FieldBuilder(ArrowArray* root, bool corrupt) : root_(root), corrupt_(corrupt) {}

    void reserve(std::size_t input_bytes) {
        check(ArrowBufferReserve(ArrowArrayBuffer(root_->children[kFieldValue], 2), static_cast<int64_t>(input_bytes)));
    }

    void begin(const MessageRow& row, std::optional<std::string_view>) {
        row_ = &row;
        segment_ = 0;
    }

    void record(const FlatRecord& flat) {
        ++segment_;
        // MSH's first value is MSH-2: MSH-1 is the field separator itself.
        const std::uint64_t shift = flat.name() == "MSH" ? 1 : 0;
        for (std::size_t i = 0; i < flat.size(); ++i) {
            const FlatRecord::Item item = flat.item(i);
            append_common(*row_);
            check(ArrowArrayAppendInt(root_->children[kFieldSegment], segment_));
            append_text(root_->children[kFieldSegmentName], flat.name());
            check(ArrowArrayAppendUInt(root_->children[kFieldField], item.field + shift));
            check(ArrowArrayAppendInt(root_->children[kFieldRepetition], item.rep < 0 ? 1 : item.rep + 1));
            check(ArrowArrayAppendInt(root_->children[kFieldComponent], item.comp < 0 ? 1 : item.comp));
            append_text(root_->children[kFieldValue], item.value);
            check(ArrowArrayAppendNull(root_->children[kFieldError], 1));
            if (corrupt_) check(ArrowArrayAppendNull(root_->children[kFieldColumns], 1));
            check(ArrowArrayFinishElement(root_));
        }
    }

    void end(const MessageRow& row, const Status& error) {
        if (!error) return;
        append_common(row);
        for (int c : {kFieldSegment, kFieldSegmentName, kFieldField, kFieldRepetition, kFieldComponent, kFieldValue}) {
            check(ArrowArrayAppendNull(root_->children[c], 1));
        }
        append_text(root_->children[kFieldError], error->message());
        if (corrupt_) append_text(root_->children[kFieldColumns], as_utf8_shown(row.raw));
        check(ArrowArrayFinishElement(root_));
    }

private:
    void append_common(const MessageRow& row) {
        append_text(root_->children[kFieldSource], row.source);
        check(ArrowArrayAppendInt(root_->children[kFieldOffset], row.offset));
    }

    ArrowArray* root_;
    bool corrupt_;
    const MessageRow* row_ = nullptr;
    std::int64_t segment_ = 0;
};

// The rows of one message, through either builder: the core's pipeline
// reads it (as the command does), the builder writes what came of it.
template <class Out>
inline void message_rows(Out& out, FlatRecord& flat, const MessageRow& row, std::string_view message,
                         const BatchOptions& options, Status error) {
    const ReadMessage m = read_message(message, options.encoding, options.rules ? &*options.rules : nullptr);
    if (!error) error = m.failure();
    const std::string_view text = m.standard ? m.standard->view() : std::string_view();
    out.begin(row, text.empty() ? std::nullopt : std::optional<std::string_view>(text));
    if (!error) for_each_record(text, options.escaping, flat, [&](const FlatRecord& record) { out.record(record); });
    out.end(row, error);
}

// A batch of the options' layout, filled by `fill(builder)` with either
// builder; null with `failure` set when a column would be too large.
template <class Batch, class Fill>
std::shared_ptr<Batch> fill_batch(std::shared_ptr<Batch> batch, ArrowSchema& schema, ArrowArray& array,
                                  const BatchOptions& options, std::size_t input_bytes, std::string& failure,
                                  Fill&& fill) {
    make_schema(&schema, options);
    ArrowError error{};
    check(ArrowArrayInitFromSchema(&array, &schema, &error));
    check(ArrowArrayStartAppending(&array));
    const bool corrupt = !options.corrupt_column.empty();
    try {
        if (options.layout == Layout::Fields) {
            FieldBuilder builder(&array, corrupt);
            builder.reserve(input_bytes);
            fill(builder);
        } else {
            Builder builder(&array, corrupt);
            builder.reserve(input_bytes);
            fill(builder);
        }
    } catch (const ColumnTooLarge&) {
        failure = "the messages do not fit one Arrow batch: a text column would pass 2 GiB; convert less at a time";
        return nullptr;
    }
    // The sizes of every buffer are checked, not their content: built here.
    if (ArrowArrayFinishBuilding(&array, NANOARROW_VALIDATION_LEVEL_MINIMAL, &error) != NANOARROW_OK) {
        throw std::runtime_error(std::string("building an Arrow batch failed: ") + error.message);
    }
    return batch;
}

}  // namespace segmorph::rows
