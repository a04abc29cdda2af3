// The growing blocks' slow paths: growing, and the per-thread pool their
// first memory comes from and goes back to.
#include "json_hl7_buffers.hpp"

#include <algorithm>
#include <cstdint>

namespace segmorph {

namespace {

// Blocks given back, kept for the thread's next store or text.  Every
// JsonHl7 made on a thread takes three blocks and drops them when it goes:
// kept here, they are memory whose pages are already there, whatever the
// allocator would otherwise do with them (glibc's keeps freed blocks of
// these sizes itself: with it, the pool changed timings by 0 to 2%).
// Bounded: at most kBlocks blocks of at most kMaxBlockBytes each,
// kMaxKeptBytes in all; a block past these is freed, so a huge message
// leaves nothing behind.
//
// Plain data with no destructor, so it stays usable while the thread's
// other thread-locals (a kept TextBuffer, say) are destroyed at its exit;
// PoolCloser frees what it holds then, and later blocks are simply freed.
constexpr std::size_t kBlocks = 8;
constexpr std::size_t kMaxBlockBytes = std::size_t{1} << 20;
constexpr std::size_t kMaxKeptBytes = std::size_t{4} << 20;

struct Pool {
    void* blocks[kBlocks];
    std::size_t bytes[kBlocks];
    std::size_t count;
    std::size_t kept_bytes;
    bool closed;
};
thread_local Pool t_pool = {};

struct PoolCloser {
    ~PoolCloser() {
        for (std::size_t i = 0; i < t_pool.count; ++i) std::free(t_pool.blocks[i]);
        t_pool.count = t_pool.kept_bytes = 0;
        t_pool.closed = true;
    }
};

// The smallest kept block of at least `bytes`, out of the pool, or null.
void* take(std::size_t bytes, std::size_t& got) {
    Pool& pool = t_pool;
    std::size_t best = kBlocks;
    for (std::size_t i = 0; i < pool.count; ++i) {
        if (pool.bytes[i] >= bytes && (best == kBlocks || pool.bytes[i] < pool.bytes[best])) best = i;
    }
    if (best == kBlocks) return nullptr;
    void* block = pool.blocks[best];
    got = pool.bytes[best];
    pool.kept_bytes -= got;
    --pool.count;
    pool.blocks[best] = pool.blocks[pool.count];
    pool.bytes[best] = pool.bytes[pool.count];
    return block;
}

void give(void* block, std::size_t bytes) noexcept {
    Pool& pool = t_pool;
    if (pool.closed || bytes > kMaxBlockBytes || pool.count == kBlocks || pool.kept_bytes + bytes > kMaxKeptBytes) {
        std::free(block);
        return;
    }
    if (pool.count == 0) {
        // First use on this thread: have what is kept freed at its exit.
        thread_local PoolCloser t_closer;
        (void)t_closer;
    }
    pool.blocks[pool.count] = block;
    pool.bytes[pool.count] = bytes;
    ++pool.count;
    pool.kept_bytes += bytes;
}

}  // namespace

std::size_t ReallocBlock::grow_block(std::size_t bytes) {
    if (data_ == nullptr) {
        std::size_t got = 0;
        if (void* kept = take(bytes, got)) {
            data_ = kept;
            return block_bytes_ = got;
        }
    }
    void* bigger = std::realloc(data_, bytes);
    if (bigger == nullptr) throw std::bad_alloc();  // realloc left the old block
    data_ = bigger;
    return block_bytes_ = bytes;
}

void ReallocBlock::give_back() noexcept {
    if (data_ != nullptr) give(data_, block_bytes_);
}

void TextBuffer::grow(std::size_t n) {
    std::size_t want = std::max<std::size_t>(capacity_ * 2, 256);
    if (want - size_ < n) want = size_ + n;
    if (want > SIZE_MAX - kSlack) throw std::bad_alloc();
    capacity_ = grow_block(want + kSlack) - kSlack;
    // The slack is only ever read by fixed-size copies whose extra bytes
    // are overwritten or left past the end; zeroed, it reads the same to
    // memory checkers as anywhere else.
    std::memset(data() + capacity_, 0, kSlack);
}

}  // namespace segmorph
