// The plain program around a fuzz target, for machines without a
// coverage-guided fuzzer: built with -DSEGMORPH_REPLAY_MAIN, a target runs
// the files named on its command line, or "--random N" generated inputs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace segmorph_fuzz {

inline void feed(std::string_view input) {
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
}

// N texts, each up to max_tokens tokens drawn at random and strung together.
template <std::size_t N>
int run_random_tokens(const char* const (&tokens)[N], std::uint64_t seed, std::size_t max_tokens, long count) {
    std::mt19937_64 rng(seed);
    std::uniform_int_distribution<std::size_t> pick(0, N - 1), len(0, max_tokens);
    std::string s;
    for (long i = 0; i < count; ++i) {
        s.clear();
        for (std::size_t n = len(rng); n > 0; --n) s += tokens[pick(rng)];
        feed(s);
    }
    std::printf("checked %ld random inputs\n", count);
    return 0;
}

// "--random N" calls run_random(N); otherwise every named file's content is
// handed to per_file, which feeds it to the target in whatever forms matter.
template <class Random, class PerFile>
int replay_main(int argc, char** argv, Random run_random, PerFile per_file) {
    if (argc == 3 && std::string_view(argv[1]) == "--random") return run_random(std::atol(argv[2]));
    for (int i = 1; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        per_file(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
    }
    std::printf("replayed %d inputs\n", argc - 1);
    return 0;
}

}  // namespace segmorph_fuzz
