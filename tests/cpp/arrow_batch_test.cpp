// Message batches as Arrow data: every export shares the one batch, and a
// consumer may take the pieces apart and release them in any order.
#include "check.hpp"

#include <string>

#include "arrow_batch.hpp"

using namespace segmorph;

static const std::string kFeed =
    "MSH|^~\\&|A|B|C|D|20240101||ADT^A01^ADT_A01|42|P|2.5\rPID|1||x^y~z\r"
    "MSH|^~\\&|A|B|C|D|20240101||ORU^R01|43|P|2.5\rOBX|1|\\F\\\r";

static std::shared_ptr<const MessageBatch> build(std::string_view data) {
    std::string failure;
    auto batch = MessageBatch::build(data, BatchOptions{}, failure);
    CHECK(failure.empty());
    return batch;
}

TEST(exports_outlive_the_batch_and_children_can_be_released_alone) {
    ArrowArray first{}, second{};
    {
        auto batch = build(kFeed);
        CHECK(batch->rows() == 2);
        MessageBatch::export_array(batch, &first);
        MessageBatch::export_array(batch, &second);
    }
    // A consumer moves the segments column out of one export, releases the
    // rest of it, then reads and releases the column: the other export and
    // the column still see the batch's buffers.
    ArrowArray column = *first.children[5];
    first.children[5]->release = nullptr;
    first.release(&first);
    CHECK(first.release == nullptr);
    CHECK(column.length == 2);
    CHECK(second.children[0]->length == 2);
    column.release(&column);
    TextBuffer text;
    ArrowSchema schema{};
    {
        auto batch = build(kFeed);
        MessageBatch::export_schema(*batch, &schema);
    }
    CHECK(messages_from_arrow(schema, second, EscapeMode::Full, text).empty());
    CHECK_EQ(std::string(text.view()),
             "MSH|^~\\&|A|B|C|D|20240101||ADT^A01^ADT_A01|42|P|2.5\nPID|1||x^y~z\n"
             "MSH|^~\\&|A|B|C|D|20240101||ORU^R01|43|P|2.5\nOBX|1|\\F\\\n");
    second.release(&second);
    schema.release(&schema);
}

TEST(a_stream_gives_the_batch_once_then_ends) {
    ArrowArrayStream stream{};
    MessageBatch::export_stream(build(kFeed), &stream);
    ArrowSchema schema{};
    CHECK(stream.get_schema(&stream, &schema) == 0);
    CHECK_EQ(std::string(schema.children[3]->name), "message_type");
    ArrowArray array{};
    CHECK(stream.get_next(&stream, &array) == 0);
    CHECK(array.length == 2);
    ArrowArray end{};
    CHECK(stream.get_next(&stream, &end) == 0);
    CHECK(end.release == nullptr);
    stream.release(&stream);  // the array it gave still holds the batch
    TextBuffer text;
    CHECK(messages_from_arrow(schema, array, EscapeMode::None, text).empty());
    CHECK(text.view().starts_with("MSH|^~\\&|A|B"));
    array.release(&array);
    schema.release(&schema);
}

TEST(an_empty_input_is_an_empty_batch) {
    auto batch = build("");
    CHECK(batch->rows() == 0);
    ArrowSchema schema{};
    ArrowArray array{};
    MessageBatch::export_schema(*batch, &schema);
    MessageBatch::export_array(batch, &array);
    TextBuffer text;
    CHECK(messages_from_arrow(schema, array, EscapeMode::Full, text).empty());
    CHECK(text.size() == 0);
    array.release(&array);
    schema.release(&schema);
}
TEST_MAIN()
