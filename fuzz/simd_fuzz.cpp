// Fuzz target for the block helpers: the vector twin and the plain twin give
// the same mask, the same block and the same walk on every input, at every
// offset.  Every scanner stands on these helpers, so a twin that answered
// differently on some byte would make the two builds convert differently.
// (On a machine without SSE2 only the plain twin exists, and this checks
// it against a byte-by-byte reading.)
// Build with -fsanitize=fuzzer for libFuzzer, or with -DSEGMORPH_REPLAY_MAIN
// for a plain program that runs the files named on its command line.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "simd.hpp"

using namespace segmorph;

namespace {

void check(bool ok, const char* what, std::size_t at) {
    if (ok) return;
    std::fprintf(stderr, "check failed at offset %zu: %s\n", at, what);
    std::abort();
}

// The mask a byte-by-byte reading gives.
template <class Test>
simd::Mask64 reference(const char* p, std::size_t n, Test test) {
    simd::Mask64 m = 0;
    for (std::size_t i = 0; i < n; ++i) m |= simd::Mask64{test(static_cast<unsigned char>(p[i]))} << i;
    return m;
}

template <class Twin>
void check_twin(const char* p, std::size_t at, char c, unsigned char limit) {
    const auto block = Twin::load(p);
    const simd::Scalar::Block plain = simd::Scalar::load(p);
    check(Twin::eq(block, c) == reference(p, 16, [c](unsigned char x) { return x == static_cast<unsigned char>(c); }),
          "eq", at);
    check(Twin::eq(block, Twin::load(p + 1)) == simd::Scalar::eq(plain, simd::Scalar::load(p + 1)), "eq of blocks", at);
    check(Twin::below(block, limit) == reference(p, 16, [limit](unsigned char x) { return x < limit; }), "below", at);
    check(Twin::high(block) == reference(p, 16, [](unsigned char x) { return x >= 0x80; }), "high", at);
    check(Twin::below_signed(block, static_cast<char>(limit)) ==
              reference(
                  p, 16,
                  [limit](unsigned char x) { return static_cast<signed char>(x) < static_cast<signed char>(limit); }),
          "below_signed", at);
    check(
        Twin::template any_of<'|', '^', '~', '\\', '&'>(block) ==
            reference(p, 16, [](unsigned char x) { return x == '|' || x == '^' || x == '~' || x == '\\' || x == '&'; }),
        "any_of", at);
    {
        char ored[16];
        Twin::store(ored, Twin::or_each(block, c));
        for (unsigned i = 0; i < 16; ++i) check(ored[i] == static_cast<char>(p[i] | c), "or_each", at);
    }
    char out[16], expected[16];
    Twin::store(out, Twin::replace(block, c, '\n'));
    for (unsigned i = 0; i < 16; ++i) expected[i] = p[i] == c ? '\n' : p[i];
    check(std::memcmp(out, expected, 16) == 0, "replace", at);
    std::uint64_t low, high;
    std::memcpy(&low, p, 8);
    std::memcpy(&high, p + 8, 8);
    Twin::store(out, Twin::from_words(low, high));
    check(std::memcmp(out, p, 16) == 0, "from_words", at);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The input, padded so that every offset has a whole 64-byte stretch.
    std::vector<char> text(size + 64, '\0');
    std::memcpy(text.data(), data, size);
    for (std::size_t at = 0; at < size || at == 0; ++at) {
        const char* p = text.data() + at;
        // The byte looked for and the limit come from the input, so the
        // fuzzer reaches every value of both.
        const char c = p[0] ^ p[1];
        const auto limit = static_cast<unsigned char>(p[2]);
        check_twin<simd::Scalar>(p, at, c, limit);
#if defined(SEGMORPH_HAVE_SSE2)
        check_twin<simd::Sse2>(p, at, c, limit);
#endif
        check(simd::eq64(p, c) == reference(p, 64, [c](unsigned char x) { return x == static_cast<unsigned char>(c); }),
              "eq64", at);
        check(simd::below64(p, limit) == reference(p, 64, [limit](unsigned char x) { return x < limit; }), "below64",
              at);
        check(simd::high64(p) == reference(p, 64, [](unsigned char x) { return x >= 0x80; }), "high64", at);
        check(simd::any_high64(p) == (simd::high64(p) != 0), "any_high64", at);
        check(simd::any_below64(p, limit) == (simd::below64(p, limit) != 0), "any_below64", at);
        check(simd::Scalar::any_below64(p, limit) == (simd::below64(p, limit) != 0), "any_below64 of the plain twin",
              at);
        check(simd::Scalar::any_high64(p) == (simd::high64(p) != 0), "any_high64 of the plain twin", at);
        const simd::Mask64 seps = simd::any_of64<'|', '^', '~'>(p);
        check(seps == reference(p, 64, [](unsigned char x) { return x == '|' || x == '^' || x == '~'; }), "any_of64",
              at);
        // The walk over a mask meets its bits in order, each once.
        simd::Mask64 rest = seps, seen = 0;
        unsigned last = 0;
        for (bool first = true; rest != 0; first = false) {
            const unsigned i = simd::next(rest);
            check(first || i > last, "next goes forward", at);
            last = i;
            seen |= simd::Mask64{1} << i;
            rest = simd::clear_lowest(rest);
        }
        check(seen == seps, "the walk meets every bit", at);
        if (size == 0) break;
    }
    return 0;
}

#ifdef SEGMORPH_REPLAY_MAIN
#include "replay.hpp"

int main(int argc, char** argv) {
    // "--random N": texts of the bytes scanners look for, the bytes around
    // the edges of the comparisons (0x1f/0x20, 0x7f/0x80, 0xff) and others.
    static const char* const tokens[] = {"|",    "^",    "~",    "\\",   "&",    "\"", "\r", "\n",       " ",
                                         "\x1f", "\x7f", "\x80", "\xff", "\x01", "A",  "0",  "\xc3\xa9", "MSH|^~\\&|"};
    return segmorph_fuzz::replay_main(
        argc, argv, [&](long count) { return segmorph_fuzz::run_random_tokens(tokens, 1616, 80, count); },
        [](const std::string& content) { segmorph_fuzz::feed(content); });
}
#endif
