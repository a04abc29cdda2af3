// Writing one value into the assembled text, escaped as the mode says.
// Values are copied first and looked at after, sixteen bytes at a time (the
// store and the text keep slack bytes for whole blocks): most hold nothing
// to escape, and for them the look is all the escaping costs.  From the
// first byte to escape on, each is written with one fixed-size store from
// the table of its escape sequence.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "escape.hpp"
#include "json_hl7_writer.hpp"

namespace segmorph::detail {

// The bits of a value's first `len` bytes (at most 16) in a 16-byte scan's
// mask: one load, where a shift by a variable count takes three steps.
constexpr std::uint16_t kLowBits[17] = {0x0,   0x1,   0x3,   0x7,   0xF,    0x1F,   0x3F,   0x7F,  0xFF,
                                        0x1FF, 0x3FF, 0x7FF, 0xFFF, 0x1FFF, 0x3FFF, 0x7FFF, 0xFFFF};

// The escaping of one assembly: its mode's table and the handler.
class ValueWriter {
public:
    explicit ValueWriter(EscapeMode mode)
        : minimal_(mode == EscapeMode::Minimal),
          handler_(default_escape_handler()),
          standard_(has_standard_delimiters(handler_)),
          byte_codes_(minimal_ ? minimal_byte_codes() : standard_byte_codes()) {}

    // The handler's delimiters are the standard ones, for which the tables
    // and scans here are made; otherwise every value escaped goes through
    // the handler (put_value).
    bool standard() const { return standard_; }
    const Hl7EscapeHandler& handler() const { return handler_; }

    // A value of at most 16 bytes (most are) or more, written at `o`, which
    // has room for it at its longest and kSlack more; returns the end of
    // what it wrote.  A short one is copied as one block of 16, which the
    // store's slack allows, and looked at in the same register.  Whether it
    // is exempt from escaping is only asked when it holds something to
    // escape: hardly ever, but for the encoding characters.  Standard
    // delimiters only.
    template <bool kMinimal>
    char* put(char* o, const char* v, std::size_t len, bool exempt) {
        if (len > 16) return put_long<kMinimal>(o, v, len, exempt);
        const unsigned bits = copy_block<kMinimal>(o, v) & kLowBits[len];
        if (bits == 0 || exempt) return o + len;
        return escape_short_from(v, len, static_cast<std::size_t>(__builtin_ctz(bits)), o);
    }

    // Any value from the store, escaped or not, with any delimiters, written
    // at `at` as put() is; returns the end of what it wrote.
    char* put_value(char* at, const char* v, std::size_t len, bool escape_it) {
        put_run_of(at, v, len);
        if (!escape_it) return at + len;
        // Most values hold nothing to escape: copy, then look.  From the
        // first byte that may need escaping on, the handler takes over; what
        // it writes for a byte never depends on the text before it.
        if (!standard_) {
            // With other delimiters every value goes through the handler.
            escaped_.clear();
            handler_.escape_into(std::string_view(v, len), escaped_);
            std::memcpy(at, escaped_.data(), escaped_.size());
            return at + escaped_.size();
        }
        // Full and minimal escaping look for other bytes (see
        // first_escapable).
        return minimal_ ? put_escaped<true>(v, len, at) : put_escaped<false>(v, len, at);
    }

private:
    // The value just copied to `at`, escaped from its first byte to escape
    // on.
    template <bool kMinimal>
    char* put_escaped(const char* v, std::size_t len, char* at) const {
        const std::size_t j = first_escapable<kMinimal>(v, len);
        if (j == len) return at + len;
        return len <= 16 ? escape_short(v, len, j, at + j) : escape_long<kMinimal>(v, len, j, at + j);
    }

    // Escapes the byte at v[k] (or the kept sequence it opens) to `o`; moves
    // k past what it took and returns the end of what it wrote.
    char* escape_at(const char* v, std::size_t len, std::size_t& k, char* o) const {
        const StandardByteCode& code = byte_codes_[static_cast<unsigned char>(v[k])];
        if (code.count == 0) {
            // The escape character: what follows it decides what it takes
            // (an unknown sequence it opens is kept whole).
            return handler_.escape_standard_at(std::string_view(v, len), k, o);
        }
        std::memcpy(o, code.bytes, 8);
        ++k;
        return o + code.count;
    }

    // A short value (most are): from its first byte to escape on, byte by
    // byte, each written as one fixed-size store from the table.  Looking
    // for the next byte to escape instead would branch on every one found,
    // and those branches follow the text.  Returns the end of what it wrote.
    char* escape_short(const char* v, std::size_t len, std::size_t k, char* o) const {
        while (k < len) o = escape_at(v, len, k, o);
        return o;
    }

    // A long one is mostly free text, where only the spaces need escaping
    // (with full escaping; with minimal, hardly anything).  The bytes to
    // escape in each block of 16 are found once, as bits, and the runs
    // between them copied as one block each: a fresh look for the next
    // byte after every one escaped cost twice as much.  `j` is the first
    // byte to escape, `o` where it goes; returns the end of what it wrote.
    template <bool kMinimal>
    char* escape_long(const char* v, std::size_t len, std::size_t j, char* o) const {
        constexpr std::size_t kBlock = 16;
        std::size_t i = j;  // the next byte to write
        while (i < len) {
            const std::size_t start = i;
            const std::size_t n = std::min(len - start, kBlock);
            unsigned bits = escapable_bits<kMinimal>(v + start) & kLowBits[n];
            bool took_sequence = false;
            while (bits != 0) {
                const std::size_t hit = start + static_cast<std::size_t>(__builtin_ctz(bits));
                bits &= bits - 1;
                std::memcpy(o, v + i, kBlock);  // the run before it, shorter than a block
                o += hit - i;
                const StandardByteCode& code = byte_codes_[static_cast<unsigned char>(v[hit])];
                if (code.count == 0) {
                    // The escape character may take what follows it, past
                    // this block too: look again from where it ends.
                    std::size_t k = hit;
                    o = handler_.escape_standard_at(std::string_view(v, len), k, o);
                    i = k;
                    took_sequence = true;
                    break;
                }
                std::memcpy(o, code.bytes, 8);
                o += code.count;
                i = hit + 1;
            }
            if (took_sequence) continue;
            std::memcpy(o, v + i, kBlock);  // the rest of the block
            o += start + n - i;
            i = start + n;
        }
        return o;
    }

    // The short value copied to `o`, escaped from its byte j on.  Out of
    // line: few values have anything to escape.
    [[gnu::noinline]] char* escape_short_from(const char* v, std::size_t len, std::size_t j, char* o) const {
        return escape_short(v, len, j, o + j);
    }

    // A value of more than 16 bytes: copied and looked at 16 bytes at a
    // time, with no call to memcpy, until the first byte to escape.  Out of
    // line, so the common loop stays small.
    template <bool kMinimal>
    [[gnu::noinline]] char* put_long(char* o, const char* v, std::size_t len, bool exempt) const {
        std::size_t i = 0;
        unsigned bits = 0;
        for (; len - i > 16; i += 16) {  // then 1 to 16 bytes are left
            bits = copy_block<kMinimal>(o + i, v + i);
            if (bits != 0) break;
        }
        if (bits == 0) bits = copy_block<kMinimal>(o + i, v + i) & kLowBits[len - i];
        if (bits == 0 || exempt) {
            if (bits != 0) std::memcpy(o + i, v + i, len - i);  // the rest, as it is
            return o + len;
        }
        const std::size_t j = i + static_cast<std::size_t>(__builtin_ctz(bits));
        return escape_long<kMinimal>(v, len, j, o + j);
    }

    const bool minimal_;  // spaces, tabs and "&" go out as they are
    const Hl7EscapeHandler& handler_;
    const bool standard_;
    const StandardByteCode* const byte_codes_;
    std::string escaped_;  // the handler's text, with other delimiters
};

}  // namespace segmorph::detail
