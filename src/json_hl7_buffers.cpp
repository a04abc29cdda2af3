// The growing blocks' one slow path: growing.
#include "json_hl7_buffers.hpp"

#include <algorithm>
#include <cstdint>

namespace segmorph {

void ReallocBlock::grow_block(std::size_t bytes) {
    void* bigger = std::realloc(data_, bytes);
    if (bigger == nullptr) throw std::bad_alloc();  // realloc left the old block
    data_ = bigger;
}

void TextBuffer::grow(std::size_t n) {
    std::size_t want = std::max<std::size_t>(capacity_ * 2, 256);
    if (want - size_ < n) want = size_ + n;
    if (want > SIZE_MAX - kSlack) throw std::bad_alloc();
    grow_block(want + kSlack);
    // The slack is only ever read by fixed-size copies whose extra bytes
    // are overwritten or left past the end; zeroed, it reads the same to
    // memory checkers as anywhere else.
    std::memset(data() + want, 0, kSlack);
    capacity_ = want;
}

}  // namespace segmorph
