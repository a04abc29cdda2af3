// Throughput of the C++ core alone, no Python: flattening HL7 text into
// records (the work behind Hl7Json.hl7_json), the same with validation first,
// and assembling records back into text (JsonHl7.hl7_string).
//
// Every *.hl7 file under the corpus folder is read, its blank lines dropped,
// and the lot repeated until it makes a text of about --mb megabytes.  Each
// measurement is the best of --repeat runs over the whole text, reported in
// MB/s of HL7 text read (flattening, validation) or written (assembly).
//
// Build:  cmake -S . -B build/bench -DSEGMORPH_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release
//         cmake --build build/bench --target core_bench
// Run:    build/bench/core_bench [--corpus DIR] [--mb N] [--repeat N] [--only flatten]
// "--only flatten" times the first row alone, once: the form to run under
// `valgrind --tool=callgrind`, whose instruction counts hold on a busy
// machine where wall times do not.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "hl7_json.hpp"
#include "json_hl7.hpp"
#include "lines.hpp"
#include "segments.hpp"
#include "utf8.hpp"

using namespace segmorph;
namespace fs = std::filesystem;

namespace {

std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The non-blank lines of every corpus file, "\n"-joined.  Files that the
// module's validation refuses on their own are left out of `valid`, so that
// the validating run goes through the whole text instead of stopping at the
// first refusal.
void load_corpus(const fs::path& dir, std::string& all, std::string& valid) {
    std::vector<fs::path> files;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        if (e.is_regular_file() && e.path().extension() == ".hl7") files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& f : files) {
        std::string text = read_file(f);
        if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
        if (!is_valid_utf8(text)) continue;
        std::string lines;
        for_each_piece(replace_eof(text), '\n', [&](std::string_view line) {
            if (line.find_first_not_of(" \t") == std::string_view::npos) return;
            lines.append(line);
            lines.push_back('\n');
        });
        all += lines;
        Hl7Json probe(lines.substr(0, lines.empty() ? 0 : lines.size() - 1), true);
        if (!probe.validate_for_conversion()) valid += lines;
    }
}

std::string repeat_to(const std::string& unit, std::size_t bytes) {
    std::string out;
    if (unit.empty()) return out;
    out.reserve(bytes + unit.size());
    while (out.size() < bytes) out += unit;
    out.pop_back();  // no trailing line break: it would make an empty record
    return out;
}

template <class F>
double best_seconds(int repeat, F&& f) {
    double best = 1e30;
    for (int i = 0; i < repeat; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        const std::chrono::duration<double> d = std::chrono::steady_clock::now() - t0;
        best = std::min(best, d.count());
    }
    return best;
}

// Keeps the optimiser from dropping work whose result is unused.
volatile std::size_t g_sink;

// What the binding does per line, minus the Python objects: flatten, then
// visit every key and value.
// `keys`: write the key texts too (the command-line tool does; the binding
// finds its keys by number instead).
std::size_t flatten_all(const Hl7Json& msg, bool keys = false) {
    FlatRecord flat;
    std::size_t sum = 0;
    const Hl7EscapeHandler* handler = msg.parse_handler();
    msg.for_each_line([&](std::string_view line) {
        flat.parse(line, handler, keys);
        for (std::size_t i = 0; i < flat.size(); ++i) {
            const FlatRecord::Item item = flat.item(i);
            sum += item.key.size() + item.value.size() + item.field;
        }
        sum += flat.name().size();
    });
    return sum;
}

void report(const char* what, std::size_t bytes, double seconds) {
    std::printf("%-44s %8.1f MB/s  (%.1f ms)\n", what, static_cast<double>(bytes) / seconds / 1e6, seconds * 1e3);
}

}  // namespace

int main(int argc, char** argv) {
    fs::path corpus = "../shared/corpus";
    if (const char* env = std::getenv("SEGMORPH_CORPUS")) corpus = env;
    double mb = 32;
    int repeat = 5;
    bool only_flatten = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--corpus") == 0) {
            corpus = argv[i + 1];
        } else if (std::strcmp(argv[i], "--mb") == 0) {
            mb = std::atof(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--only") == 0 && std::strcmp(argv[i + 1], "flatten") == 0) {
            only_flatten = true;
            repeat = 1;
        } else if (std::strcmp(argv[i], "--repeat") == 0) {
            repeat = std::max(1, std::atoi(argv[i + 1]));
        } else {
            std::fprintf(stderr, "usage: %s [--corpus DIR] [--mb N] [--repeat N] [--only flatten]\n", argv[0]);
            return 2;
        }
    }
    if (!fs::is_directory(corpus)) {
        std::fprintf(stderr, "corpus folder not found: %s\n", corpus.c_str());
        return 2;
    }
    std::string all, valid;
    load_corpus(corpus, all, valid);
    const auto bytes = static_cast<std::size_t>(mb * 1e6);
    const std::string text = repeat_to(all, bytes);
    const std::string valid_text = repeat_to(valid, bytes);
    std::printf("text: %.1f MB (all files), %.1f MB (files that validate); best of %d\n",
                static_cast<double>(text.size()) / 1e6, static_cast<double>(valid_text.size()) / 1e6, repeat);

    const Hl7Json escaped(text), plain(text, false, false, false);
    report("flatten, escape decoding on", text.size(), best_seconds(repeat, [&] { g_sink = flatten_all(escaped); }));
    if (only_flatten) return 0;
    report("flatten, escape decoding off", text.size(), best_seconds(repeat, [&] { g_sink = flatten_all(plain); }));
    report("flatten with key texts, decoding on", text.size(),
           best_seconds(repeat, [&] { g_sink = flatten_all(escaped, true); }));

    // The validating conversion against the plain one on the same text.
    const Hl7Json unchecked(valid_text), checked(valid_text, true);
    if (checked.validate_for_conversion()) {
        std::fprintf(stderr, "the validating text does not validate\n");
        return 1;
    }
    const double t_plain = best_seconds(repeat, [&] { g_sink = flatten_all(unchecked); });
    const double t_checked = best_seconds(repeat, [&] {
        if (checked.validate_for_conversion()) std::abort();
        g_sink = flatten_all(checked);
    });
    report("flatten (validating text)", valid_text.size(), t_plain);
    report("validate + flatten", valid_text.size(), t_checked);
    std::printf("%-44s %8.2fx\n", "validating / plain", t_checked / t_plain);

    // Assembly from the records that flattening gives.
    Result<std::vector<SegmentRecord>> records = escaped.convert();
    if (!records) return 1;
    const JsonHl7 assembler(std::move(records.value()));
    std::size_t out_bytes = 0;
    const double t_escape = best_seconds(repeat, [&] { out_bytes = assembler.convert_json_to_hl7(true).size(); });
    report("assemble, escaping on (output)", out_bytes, t_escape);
    const double t_raw = best_seconds(repeat, [&] { out_bytes = assembler.convert_json_to_hl7(false).size(); });
    report("assemble, escaping off (output)", out_bytes, t_raw);
    return 0;
}
