// Byte scanning a block at a time: the one place that knows the machine's
// vector instructions.  Every scanner of the project (separators of a line,
// bytes a JSON string must escape, bytes an HL7 value must escape) asks
// these helpers for masks -- bit i set when byte i of the block matches --
// and walks the set bits, so that finding the structure of a text costs a
// few instructions per sixteen bytes rather than a test per byte.
//
// Two twins give the same answers: SSE2 (every x86-64 has it) and plain
// C++.  The build picks one: SEGMORPH_SCALAR (the CMake option
// SEGMORPH_SIMD=OFF) forces the plain one everywhere, so that the test
// suite can run on the code every other machine would get.  Both are always
// compiled where they can be, so a fuzz target can compare them byte for
// byte; the free functions of `simd::` use the chosen one.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#define SEGMORPH_HAVE_SSE2 1
#endif

namespace segmorph::simd {

inline constexpr std::size_t kBlock = 16;
// One bit per byte of a block (the low sixteen bits), or of 64 bytes.
using Mask = std::uint32_t;
using Mask64 = std::uint64_t;

// The index of the lowest set bit of a mask that is not zero, and the mask
// without it: the walk over a mask's matches.
inline unsigned next(Mask m) { return static_cast<unsigned>(__builtin_ctz(m)); }
inline unsigned next(Mask64 m) { return static_cast<unsigned>(__builtin_ctzll(m)); }
inline Mask clear_lowest(Mask m) { return m & (m - 1); }
inline Mask64 clear_lowest(Mask64 m) { return m & (m - 1); }
// The bits of the first n bytes (n <= 16).
inline Mask first_bytes(std::size_t n) { return (Mask{1} << n) - 1; }

// Each twin is a struct of static functions, so that code can be written
// once for either (a template over the twin), as the fuzz target that
// compares them is.
struct Scalar {
    struct Block {
        unsigned char bytes[kBlock];
    };

    static Block load(const char* p) {
        Block b;
        std::memcpy(b.bytes, p, kBlock);
        return b;
    }
    static void store(char* to, const Block& b) { std::memcpy(to, b.bytes, kBlock); }
    // A block of two words, `low` first, as they lie in memory on a
    // little-endian machine.
    static Block from_words(std::uint64_t low, std::uint64_t high) {
        Block b;
        for (unsigned i = 0; i < 8; ++i) {
            b.bytes[i] = static_cast<unsigned char>(low >> (8 * i));
            b.bytes[8 + i] = static_cast<unsigned char>(high >> (8 * i));
        }
        return b;
    }
    template <class Test>
    static Mask mask_of(const Block& b, Test test) {
        Mask m = 0;
        for (unsigned i = 0; i < kBlock; ++i) m |= Mask{test(b.bytes[i])} << i;
        return m;
    }
    // Bytes equal to c.
    static Mask eq(const Block& b, char c) {
        return mask_of(b, [c](unsigned char x) { return x == static_cast<unsigned char>(c); });
    }
    // Bytes equal to the byte of `other` in the same place.
    static Mask eq(const Block& b, const Block& other) {
        Mask m = 0;
        for (unsigned i = 0; i < kBlock; ++i) m |= Mask{b.bytes[i] == other.bytes[i]} << i;
        return m;
    }
    // Bytes below c, as unsigned bytes (below(b, 0x20): the control bytes).
    static Mask below(const Block& b, unsigned char c) {
        return mask_of(b, [c](unsigned char x) { return x < c; });
    }
    // Bytes below c as signed bytes: for c of 1 to 0x7F, those below c and
    // those beyond ASCII (below_signed(b, 0x20): the control bytes and the
    // bytes of UTF-8 sequences, in one compare).
    static Mask below_signed(const Block& b, char c) {
        return mask_of(b, [c](unsigned char x) { return static_cast<signed char>(x) < static_cast<signed char>(c); });
    }
    template <char... Cs>
    static Mask any_of(const Block& b) {
        return (eq(b, Cs) | ...);
    }
    // Bytes with the top bit set: those that are not ASCII.
    static Mask high(const Block& b) {
        return mask_of(b, [](unsigned char x) { return x >= 0x80; });
    }
    // Every byte with the bits of `bits` set (a set of bytes that differ in
    // those bits only is then found by one compare).
    static Block or_each(Block b, char bits) {
        for (unsigned char& x : b.bytes) x |= static_cast<unsigned char>(bits);
        return b;
    }
    // The block with every byte equal to `from` replaced by `to`.
    static Block replace(Block b, char from, char to) {
        for (unsigned char& x : b.bytes) {
            if (x == static_cast<unsigned char>(from)) x = static_cast<unsigned char>(to);
        }
        return b;
    }
};

#if defined(SEGMORPH_HAVE_SSE2)
struct Sse2 {
    struct Block {
        __m128i v;
    };

    static Block load(const char* p) { return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))}; }
    static void store(char* to, const Block& b) { _mm_storeu_si128(reinterpret_cast<__m128i*>(to), b.v); }
    static Block from_words(std::uint64_t low, std::uint64_t high) {
        return {_mm_set_epi64x(static_cast<long long>(high), static_cast<long long>(low))};
    }
    static Mask bits(__m128i hits) { return static_cast<Mask>(_mm_movemask_epi8(hits)); }
    static Mask eq(const Block& b, char c) { return bits(_mm_cmpeq_epi8(b.v, _mm_set1_epi8(c))); }
    static Mask eq(const Block& b, const Block& other) { return bits(_mm_cmpeq_epi8(b.v, other.v)); }
    static Mask below(const Block& b, unsigned char c) {
        // x < c exactly when min(x, c - 1) is x; nothing is below 0.
        if (c == 0) return 0;
        return bits(_mm_cmpeq_epi8(_mm_min_epu8(b.v, _mm_set1_epi8(static_cast<char>(c - 1))), b.v));
    }
    static Mask high(const Block& b) { return bits(b.v); }
    static Mask below_signed(const Block& b, char c) { return bits(_mm_cmplt_epi8(b.v, _mm_set1_epi8(c))); }
    template <char... Cs>
    static Mask any_of(const Block& b) {
        // One movemask for the whole set.
        return bits((_mm_cmpeq_epi8(b.v, _mm_set1_epi8(Cs)) | ...));
    }
    static Block or_each(const Block& b, char bits) { return {_mm_or_si128(b.v, _mm_set1_epi8(bits))}; }
    static Block replace(const Block& b, char from, char to) {
        const __m128i hit = _mm_cmpeq_epi8(b.v, _mm_set1_epi8(from));
        return {_mm_xor_si128(b.v, _mm_and_si128(hit, _mm_set1_epi8(static_cast<char>(from ^ to))))};
    }
};
#endif

#if defined(SEGMORPH_HAVE_SSE2) && !defined(SEGMORPH_SCALAR)
using Active = Sse2;
#else
using Active = Scalar;
#endif
inline constexpr bool kScalar = std::is_same_v<Active, Scalar>;

using Block = Active::Block;
inline Block load(const char* p) { return Active::load(p); }
inline void store(char* to, const Block& b) { Active::store(to, b); }
inline Block from_words(std::uint64_t low, std::uint64_t high) { return Active::from_words(low, high); }
inline Mask eq(const Block& b, char c) { return Active::eq(b, c); }
inline Mask eq(const Block& b, const Block& other) { return Active::eq(b, other); }
inline Mask below(const Block& b, unsigned char c) { return Active::below(b, c); }
inline Mask below_signed(const Block& b, char c) { return Active::below_signed(b, c); }
template <char... Cs>
inline Mask any_of(const Block& b) {
    return Active::any_of<Cs...>(b);
}
inline Mask high(const Block& b) { return Active::high(b); }
inline Block replace(const Block& b, char from, char to) { return Active::replace(b, from, to); }
inline Block or_each(const Block& b, char bits) { return Active::or_each(b, bits); }

// Masks of 64 bytes from `p`, which must have 64 readable bytes: the
// structure of a stretch of text in one pass, as four blocks.
inline Mask64 eq64(const char* p, char c) {
    Mask64 m = 0;
    for (unsigned i = 0; i < 4; ++i) m |= Mask64{eq(load(p + kBlock * i), c)} << (kBlock * i);
    return m;
}
template <char... Cs>
inline Mask64 any_of64(const char* p) {
    Mask64 m = 0;
    for (unsigned i = 0; i < 4; ++i) m |= Mask64{any_of<Cs...>(load(p + kBlock * i))} << (kBlock * i);
    return m;
}
inline Mask64 high64(const char* p) {
    Mask64 m = 0;
    for (unsigned i = 0; i < 4; ++i) m |= Mask64{high(load(p + kBlock * i))} << (kBlock * i);
    return m;
}
inline Mask64 below64(const char* p, unsigned char c) {
    Mask64 m = 0;
    for (unsigned i = 0; i < 4; ++i) m |= Mask64{below(load(p + kBlock * i), c)} << (kBlock * i);
    return m;
}

}  // namespace segmorph::simd
