// The growing blocks that the record store and the assembled text live in.
// They grow through realloc and never fill bytes they are about to
// overwrite: most of a conversion is copying bytes into them, so what they
// cost per byte is what a conversion costs.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

namespace segmorph {

// Growing storage goes through realloc: a large block then grows in place
// or is moved by remapping its pages, where a copy into a new block would
// touch every page twice (and a fresh page is dear: on this kind of work,
// growing by copying made a 50 MB conversion five times slower per byte).
// A block's first memory comes from a small per-thread pool of blocks that
// earlier blocks gave back, and goes back there when it is done with (see
// json_hl7_buffers.cpp): a store and a text are made and dropped on every
// call, and a block from the pool is memory whose pages are already there.
// The block, with its size and capacity in the owner's units; a moved-from
// block is empty.
class ReallocBlock {
protected:
    ReallocBlock() = default;
    ReallocBlock(ReallocBlock&& o) noexcept
        : data_(std::exchange(o.data_, nullptr)),
          size_(std::exchange(o.size_, 0)),
          capacity_(std::exchange(o.capacity_, 0)),
          block_bytes_(std::exchange(o.block_bytes_, 0)) {}
    ReallocBlock& operator=(ReallocBlock&& o) noexcept {
        if (this != &o) {
            give_back();
            data_ = std::exchange(o.data_, nullptr);
            size_ = std::exchange(o.size_, 0);
            capacity_ = std::exchange(o.capacity_, 0);
            block_bytes_ = std::exchange(o.block_bytes_, 0);
        }
        return *this;
    }
    ~ReallocBlock() { give_back(); }

    // Grows the block to at least `bytes` and returns its size in bytes,
    // which may be more (a block from the pool); throws std::bad_alloc (the
    // block unchanged) when there is no memory.
    std::size_t grow_block(std::size_t bytes);
    void free_block() {
        give_back();
        data_ = nullptr;
        size_ = capacity_ = block_bytes_ = 0;
    }

    void* data_ = nullptr;
    std::size_t size_ = 0, capacity_ = 0;

private:
    // To the pool, or freed.
    void give_back() noexcept;
    std::size_t block_bytes_ = 0;
};

// A growing text written through a pointer into its free room, where
// std::string would first fill every byte it grows by.  Always followed by
// kSlack bytes it owns, so a copy of up to kSlack bytes may start at any
// byte of the text (see JsonHl7's assembly).
class TextBuffer : ReallocBlock {
public:
    static constexpr std::size_t kSlack = 16;

    // The end of the text, with room for at least n more bytes behind it.
    char* room(std::size_t n) {
        if (capacity_ - size_ < n || data_ == nullptr) grow(n);  // (no block yet: its slack too)
        return data() + size_;
    }
    // The text now ends at `end` (within the room last asked for).
    void set_end(const char* end) { size_ = static_cast<std::size_t>(end - data()); }
    void clear() { size_ = 0; }
    void truncate(std::size_t size) { size_ = size; }
    // Gives the memory back (to the pool, see ReallocBlock).
    void release() { free_block(); }

    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    const char* data() const { return static_cast<const char*>(data_); }
    char* data() { return static_cast<char*>(data_); }
    std::string_view view() const { return std::string_view(data(), size_); }

private:
    void grow(std::size_t n);
};

// A vector of plain values that grows through realloc.
template <class T>
class PlainVector : ReallocBlock {
    static_assert(std::is_trivially_copyable_v<T>, "moved as bytes");

public:
    void push_back(const T& v) {
        if (size_ == capacity_) grow();
        data()[size_++] = v;
    }
    void reserve(std::size_t n) {
        if (n <= capacity_) return;
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        capacity_ = grow_block(n * sizeof(T)) / sizeof(T);
    }
    void pop_back() { --size_; }
    bool empty() const { return size_ == 0; }
    T& back() { return data()[size_ - 1]; }
    const T& back() const { return data()[size_ - 1]; }
    T& operator[](std::size_t i) { return data()[i]; }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    void clear() { size_ = 0; }
    void truncate(std::size_t n) { size_ = n; }
    T* data() { return static_cast<T*>(data_); }
    const T* data() const { return static_cast<const T*>(data_); }
    const T& operator[](std::size_t i) const { return data()[i]; }

private:
    // Out of line, so that push_back stays small enough to be inlined
    // into the loops that add entries.
    [[gnu::noinline]] void grow() { reserve(capacity_ < 16 ? 16 : 2 * capacity_); }
};

}  // namespace segmorph
