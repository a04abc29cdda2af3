// Messages as Arrow columns and back, through the Arrow C data interface,
// so that data frame libraries and Spark take the records without any
// Python object per value.  Built with nanoarrow (third_party/nanoarrow).
//
// A batch has one row per framed message:
//   source        utf8                   the name the caller gave
//   offset        int64                  byte offset of the message
//   index         int64                  its position among the messages
//   message_type  utf8 (nullable)        MSH-9 as written
//   control_id    utf8 (nullable)        MSH-10 as written
//   segments      list<map<utf8, utf8>>  the message's records, null when it failed
//   error         utf8 (nullable)        why the message failed, else null
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "json_hl7.hpp"
#include "nanoarrow/nanoarrow.h"
#include "rules.hpp"

namespace segmorph {

struct BatchOptions {
    std::string_view source;
    std::uint64_t base_offset = 0;  // added to every offset (where `data` lies in its file)
    std::uint64_t base_index = 0;   // added to every index (messages of the file before `data`)
    bool escaping = true;
    std::optional<Rules> rules;  // validate each message first (as a conversion would)
};

// One record batch, immutable once built, shared by every export of it: an
// exported array keeps the batch alive until its consumer releases it.
class MessageBatch {
public:
    // The messages framed in `data`.  Failed messages are rows with an
    // error; the batch itself fails (with a text to show) only when the
    // text of one column passes the 2 GiB that Arrow's utf8 offsets reach.
    // Throws std::bad_alloc when out of memory.
    static std::shared_ptr<const MessageBatch> build(std::string_view data, const BatchOptions& options,
                                                     std::string& failure);

    ~MessageBatch();
    MessageBatch(const MessageBatch&) = delete;
    MessageBatch& operator=(const MessageBatch&) = delete;

    std::int64_t rows() const { return array_.length; }
    const ArrowSchema& schema() const { return schema_; }

    // Fills `out` with a copy of the schema (the consumer releases it).
    static void export_schema(const MessageBatch& batch, ArrowSchema* out);
    // Fills `out` with the batch's array, sharing its buffers.
    static void export_array(const std::shared_ptr<const MessageBatch>& batch, ArrowArray* out);
    // Fills `out` with a stream of this one batch.
    static void export_stream(const std::shared_ptr<const MessageBatch>& batch, ArrowArrayStream* out);

private:
    MessageBatch();
    ArrowSchema schema_{};
    ArrowArray array_{};
};

// The HL7 text of the messages held in the `segments` column of `array`
// (of type `schema`, a struct with such a column), one line per record,
// each line ended by "\n", appended to `out` in row order; rows whose
// segments are null (failed messages) are left out.  Values are escaped
// when `escape` is set.  The column may be a list or large list of maps of
// any string type.  Returns an empty text, or why the array cannot be read.
std::string messages_from_arrow(const ArrowSchema& schema, const ArrowArray& array, bool escape, TextBuffer& out);

}  // namespace segmorph
