// Handing a message batch out through the C data interface: every export
// shares the one batch instead of copying it.
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "arrow_batch.hpp"
#include "arrow_check.hpp"

namespace segmorph {

namespace {

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

void MessageBatch::export_schema(const MessageBatch& batch, ArrowSchema* out) {
    check_arrow(ArrowSchemaDeepCopy(&batch.schema_, out));
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
