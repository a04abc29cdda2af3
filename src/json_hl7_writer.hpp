// Writing the assembled text: the look for bytes that escaping changes,
// sixteen at a time, and a writer that stores through a pointer into the
// text's free room.  Values are copied as fixed-size blocks rather than by
// a call per value (the store and the text both keep slack bytes past their
// ends for it), and room is asked for once per record, not per byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "escape.hpp"
#include "json_hl7_buffers.hpp"
#include "simd.hpp"

namespace segmorph::detail {

// Where escaping with the standard delimiters may first change a value held
// in the store (n when nowhere).  Sixteen bytes at a time, reading up to 15
// bytes past the value, which the store's slack allows.  Full escaping
// stops at "&" and every byte up to " " (tab, line feed, carriage return
// and space are escaped); minimal escaping, which leaves "&", tab and space
// alone, at every byte up to "\r" (line breaks are escaped).  A control
// character among them that escaping leaves alone costs only the exact
// byte-wise escape, which writes it as it is.
// The bytes of the block `c` that may need escaping, as bits.
template <bool kMinimal>
inline unsigned escapable_bits(const simd::Block& c) {
    constexpr unsigned char kLast = kMinimal ? '\r' : ' ';
    // c | 2 is "~" only for "|" and "~", "^" only for "\\" and "^".
    simd::Mask hit = simd::any_of<'~', '^'>(simd::or_each(c, 2)) | simd::below(c, kLast + 1);
    if (!kMinimal) hit |= simd::eq(c, '&');
    return hit;
}
template <bool kMinimal>
inline unsigned escapable_bits(const char* at) {
    return escapable_bits<kMinimal>(simd::load(at));
}

// Copies the 16 bytes at `from` to `to` and gives the bits of those that
// may need escaping: the copy and the look share one load.
template <bool kMinimal>
inline unsigned copy_block(char* to, const char* from) {
    const simd::Block c = simd::load(from);
    simd::store(to, c);
    return escapable_bits<kMinimal>(c);
}

// The same look at 16 bytes at a time, for values longer than 16.
template <bool kMinimal>
inline std::size_t first_escapable_long(const char* s, std::size_t n) {
    std::size_t i = 0;
    for (; n - i > 16; i += 16) {  // then 1 to 16 bytes are left
        const unsigned bits = escapable_bits<kMinimal>(s + i);
        if (bits != 0) return i + static_cast<std::size_t>(__builtin_ctz(bits));
    }
    const unsigned bits = escapable_bits<kMinimal>(s + i) & ((1u << (n - i)) - 1);
    return bits != 0 ? i + static_cast<std::size_t>(__builtin_ctz(bits)) : n;
}

// Most values are short, and many empty: one look, with no loop to enter or
// leave, whose branches would follow the lengths.
template <bool kMinimal>
inline std::size_t first_escapable(const char* s, std::size_t n) {
    if (n > 16) return first_escapable_long<kMinimal>(s, n);
    const unsigned bits = escapable_bits<kMinimal>(s) & ((1u << n) - 1);
    return bits != 0 ? static_cast<std::size_t>(__builtin_ctz(bits)) : n;
}

// Copies n bytes of the store to `to`; a short run as one fixed-size copy,
// which the store's slack and the writer's room allow, a longer one of a
// few blocks as blocks (the last reaching past the run by less than the
// slack): a call to memcpy costs more than the copy up to a few dozen bytes.
inline void put_run_of(char* to, const char* from, std::size_t n) {
    constexpr std::size_t kBlock = TextBuffer::kSlack;
    std::memcpy(to, from, kBlock);
    if (n <= kBlock) return;
    if (n > 4 * kBlock) {
        std::memcpy(to, from, n);
        return;
    }
    for (std::size_t i = kBlock; i < n; i += kBlock) std::memcpy(to + i, from + i, kBlock);
}

// Writes into a TextBuffer's room through a pointer, asking for more room
// only when what is left may not do.
class RoomWriter {
public:
    explicit RoomWriter(TextBuffer& out) : out_(&out), p_(out.room(0)), limit_(out.data() + out.capacity()) {}

    void need(std::size_t n) {
        if (static_cast<std::size_t>(limit_ - p_) < n) {
            out_->set_end(p_);
            p_ = out_->room(n);
            limit_ = out_->data() + out_->capacity();
        }
    }
    void put(char c) { *p_++ = c; }
    // A run of one separator; `after` more bytes of room stay guaranteed.
    void put_run(char c, std::uint64_t count, std::size_t after) {
        if (count == 1) {
            *p_++ = c;
        } else if (count != 0) {
            need(static_cast<std::size_t>(count) + after);
            std::memset(p_, c, static_cast<std::size_t>(count));
            p_ += count;
        }
    }
    // Copies from the store, which keeps kSlack bytes after its text: a
    // short value goes as one fixed-size copy.  Needs n + kSlack of room.
    void put_stored(const char* s, std::size_t n) {
        put_run_of(p_, s, n);
        p_ += n;
    }
    void put_text(std::string_view t) {
        std::memcpy(p_, t.data(), t.size());
        p_ += t.size();
    }
    char* at() const { return p_; }
    void rewind_to(char* p) { p_ = p; }
    void finish() { out_->set_end(p_); }
    // After the buffer was cut back behind the writer's back.
    void restart() { *this = RoomWriter(*out_); }

private:
    TextBuffer* out_;
    char* p_;
    char* limit_;
};

// Copies assembled text to `to` with each "\n" made `end` (the command's
// segment end): in one pass, sixteen bytes at a time, where a search for
// each line break and a copy per segment cost more than the bytes.
inline void copy_lines(char* to, std::string_view text, char end) {
    const std::size_t n = text.size();
    if (end == '\n') {
        std::memcpy(to, text.data(), n);
        return;
    }
    std::size_t i = 0;
    for (; n - i >= simd::kBlock; i += simd::kBlock) {
        simd::store(to + i, simd::replace(simd::load(text.data() + i), '\n', end));
    }
    for (; i < n; ++i) to[i] = text[i] == '\n' ? end : text[i];
}

}  // namespace segmorph::detail
