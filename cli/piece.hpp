// The unit of work that travels from the converters to the output: the
// finished text of a run of messages and what went wrong on the way.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace segmorph::cli {

// Output text built by appending.  Unlike std::string it grows without
// zeroing what it is about to overwrite, and claim() lets a writer reserve
// room for the worst case once and then store bytes without a check each:
// that is most of the cost of writing JSON for short values.
class TextBuffer {
public:
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::string_view view() const { return {data_.get(), size_}; }

    void reserve(std::size_t n) {
        if (n > capacity_) grow_to(n);
    }
    // Room for n more bytes: write them at the pointer returned, then
    // commit() the end of what was written.
    char* claim(std::size_t n) {
        if (capacity_ - size_ < n) grow_to(std::max(size_ + n, capacity_ * 2));
        return data_.get() + size_;
    }
    void commit(const char* end) { size_ = static_cast<std::size_t>(end - data_.get()); }
    // Bytes that may be written at the pointer claim() returned: at least
    // what was claimed, often more.  A writer that keeps its own cursor and
    // limit in locals claims again only when they run out.
    std::size_t room() const { return capacity_ - size_; }

    TextBuffer& append(std::string_view text) {
        char* p = claim(text.size());
        std::memcpy(p, text.data(), text.size());
        size_ += text.size();
        return *this;
    }
    TextBuffer& push_back(char c) {
        *claim(1) = c;
        ++size_;
        return *this;
    }

private:
    void grow_to(std::size_t n) {
        auto bigger = std::make_unique_for_overwrite<char[]>(n);
        if (size_ != 0) std::memcpy(bigger.get(), data_.get(), size_);
        data_ = std::move(bigger);
        capacity_ = n;
    }

    std::unique_ptr<char[]> data_;
    std::size_t size_ = 0, capacity_ = 0;
};

struct Failure {
    // Bytes of Piece::out that come before the point where the run would
    // stop at this failure (with --fail-fast): everything of the messages
    // before it, and the failing message's own line where it has one.
    std::size_t cut;
    // The line for standard error, without the program name and line
    // break; empty when the output itself says it (validate).
    std::string text;
    // Messages of the piece read up to this failure, the failing one
    // included: what --fail-fast has read when it stops here.
    std::uint64_t messages = 0;
};

struct Piece {
    // Whole lines only: a message's text is never split across pieces.
    TextBuffer out;
    std::vector<Failure> failures;
    std::uint64_t messages = 0;
    std::uint64_t input_bytes = 0;
};

}  // namespace segmorph::cli
