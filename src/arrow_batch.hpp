// Messages as Arrow columns and back, through the Arrow C data interface,
// so that data frame libraries and Spark take the records without any
// Python object per value.  Built with nanoarrow (third_party/nanoarrow).
//
// In the message layout a batch has one row per framed message:
//   source            utf8                   the name the caller gave
//   offset            int64                  byte offset of the message
//   index             int64                  its position among the messages
//   message_type      utf8 (nullable)        MSH-9 as written
//   control_id        utf8 (nullable)        MSH-10 as written
//   file_control_id   utf8 (nullable)        FHS-11 of the file batch around it
//   batch_control_id  utf8 (nullable)        BHS-11 of the batch around it
//   segments          list<map<utf8, utf8>>  the message's records, null when it failed
//   error             utf8 (nullable)        why the message failed, else null
// In the field layout, one row per value of the records, in their order:
//   source, offset                           the message's, as above
//   segment           int64                  the segment's number in the message, from 1
//   segment_name      utf8
//   field, repetition, component  int64      HL7's numbering, from 1 (MSH-2 is
//                                            MSH's first value); a plain value is
//                                            repetition 1, component 1
//   value             utf8
//   error             utf8 (nullable)        a failed message is one row with
//                                            only source, offset and error
// Either layout may end with a column of the caller's naming that holds the
// text of each failed message (bytes that are not UTF-8 shown as U+FFFD).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "charset.hpp"
#include "json_hl7.hpp"
#include "nanoarrow/nanoarrow.h"
#include "rules.hpp"

namespace segmorph {

enum class Layout { Messages, Fields };

struct BatchOptions {
    std::string_view source;
    std::uint64_t base_offset = 0;  // added to every offset (where `data` lies in its file)
    std::uint64_t base_index = 0;   // added to every index (messages of the file before `data`)
    bool escaping = true;
    std::optional<Rules> rules;  // validate each message first (as a conversion would)
    Encoding encoding = Encoding::Auto;
    Layout layout = Layout::Messages;
    // Only the messages that begin in [start, stop) of `data` are rows (the
    // places are moved on to message starts, as next_message_start does):
    // `data` is then the whole file, which the envelopes are looked up in.
    std::size_t start = 0;
    std::size_t stop = SIZE_MAX;
    // The FHS and BHS lines open at `start`, as a batch's envelope_after()
    // gave them; without it they are looked for before `start`.
    std::optional<std::string_view> envelope;
    // `data` (or the range) reaches the end of its input: an MLLP capture
    // whose last block is cut fails that block's message, as the command
    // counts it.
    bool ends_input = true;
    // Non-empty: the name of a last column with the text of failed messages.
    std::string_view corrupt_column;
    // Why the input could not be read to its end (a gzip file cut short):
    // a failed row of its own after the messages read.
    std::optional<std::string_view> input_error;
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
    // The FHS and BHS lines (each ended by "\n") still open where the rows'
    // text ends: pass it as BatchOptions::envelope to read on from there.
    const std::string& envelope_after() const { return envelope_after_; }
    const ArrowSchema& schema() const { return schema_; }

    // Fills `out` with a copy of the schema (the consumer releases it).
    static void export_schema(const MessageBatch& batch, ArrowSchema* out);
    // Fills `out` with the batch's array, sharing its buffers.
    static void export_array(const std::shared_ptr<const MessageBatch>& batch, ArrowArray* out);
    // Fills `out` with a stream of this one batch.
    static void export_stream(const std::shared_ptr<const MessageBatch>& batch, ArrowArrayStream* out);

private:
    MessageBatch();
    friend std::shared_ptr<const MessageBatch> parse_texts(const ArrowSchema&, const ArrowArray&, const BatchOptions&,
                                                           std::string&);
    ArrowSchema schema_{};
    ArrowArray array_{};
    std::string envelope_after_;
};

// The rows for a column of message texts, one row per value (`array`, of
// type `schema`: utf8, large utf8, binary or large binary), each value one
// message (its framing, MLLP or envelope lines around it, taken off); a
// null value gives a null row; a value that holds no message or more than
// one gives a row with an error.  Only `escaping`, `rules`, `encoding`,
// `layout` (Messages only) and `corrupt_column` of the options count; the
// rows have no source, offset or index columns.  Throws std::runtime_error
// with the reason when the column cannot be read.
std::shared_ptr<const MessageBatch> parse_texts(const ArrowSchema& schema, const ArrowArray& array,
                                                const BatchOptions& options, std::string& failure);

// The HL7 text of the messages held in the `segments` column of `array`
// (of type `schema`, a struct with such a column), one line per record,
// each line ended by "\n", appended to `out` in row order; rows whose
// segments are null (failed messages) are left out.  The column may be a list or large list of maps of
// any string type.  Returns an empty text, or why the array cannot be read.
// Values are escaped as `mode` says.
std::string messages_from_arrow(const ArrowSchema& schema, const ArrowArray& array, EscapeMode mode, TextBuffer& out);

}  // namespace segmorph
