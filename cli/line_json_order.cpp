// The one-pass JSON writer's last step for long lines: the fields' texts,
// written in the line's order, copied out in key order.
#include "line_json.hpp"

#include <cstring>

#include "simd.hpp"

namespace segmorph::cli {

namespace {

// Copies a span whose length is not known in advance a block at a time,
// the last block possibly writing up to fifteen bytes past its end (room
// the writer keeps) and reading as far past the source's (which must be
// readable).
inline char* copy_blocks(char* to, const char* from, std::size_t len) {
    for (std::size_t i = 0; i < len; i += simd::kBlock) simd::store(to + i, simd::load(from + i));
    return to + len;
}

}  // namespace

// Copies the fields' texts from the scratch to `o` in key order: the
// remembered order of the line's shape (of at most kMaxFields fields), and
// inside the fields with an index of ten or more their items' (or
// repetitions') order.  Returns the end; up to a block past it is written.
char* LineJsonWriter::put_in_key_order(char* o) {
    const std::uint64_t fields = field_count_;
    // The places noted while writing are addresses in the scratch.
    const auto origin = reinterpret_cast<std::uintptr_t>(scratch_.get());
    auto moved = [from = scratch_.get(), origin](std::uintptr_t at) { return from + (at - origin); };
    const std::size_t items = fields_[fields].first;
    if (item_starts_.size() <= items) item_starts_.resize(items + 1);
    item_starts_[items] = reinterpret_cast<std::uintptr_t>(walk_.w);
    const std::uintptr_t* const starts = item_starts_.data();

    auto copy_items = [&](std::size_t first, std::size_t end) {
        o = copy_blocks(o, moved(starts[first]), starts[end] - starts[first]);
    };
    auto put_occurrence = [&](std::size_t first, std::size_t count) {
        if (count < 10) {
            copy_items(first, first + count);
            return;
        }
        const std::uint32_t* order = decimal_order(1, count);
        for (std::size_t k = 0; k < count; ++k) copy_items(first + order[k], first + order[k] + 1);
    };
    // Field i's items run to field i + 1's (there is one past the last).
    auto put_field = [&](std::size_t i) {
        const Field& f = fields_[i];
        const Field& after = fields_[i + 1];
        if (!f.sort_items) {
            o = copy_blocks(o, moved(f.out_start), after.out_start - f.out_start);
        } else if (!f.repeated) {
            put_occurrence(f.first, after.first - f.first);
        } else {
            const std::size_t* firsts = rep_firsts_.data() + f.reps;
            const std::size_t reps = after.reps - f.reps;
            const std::uint32_t* order = decimal_order(0, reps);
            for (std::size_t k = 0; k < reps; ++k) {
                const std::size_t r = order[k];
                const std::size_t end = r + 1 < reps ? firsts[r + 1] : after.first;
                put_occurrence(firsts[r], end - firsts[r]);
            }
        }
    };
    if (fields < 10) {
        for (std::size_t i = 0; i < fields; ++i) put_field(i);
    } else {
        std::uint64_t repeats = 0;
        for (std::uint64_t f = 1; f <= fields / 10; ++f) repeats |= std::uint64_t{fields_[f - 1].repeated} << (f - 1);
        for (const std::uint32_t f : field_orders_.get(fields, repeats)) put_field(f);
    }
    return o;
}

const std::uint32_t* LineJsonWriter::decimal_order(std::uint64_t first, std::uint64_t count) {
    std::vector<std::vector<std::uint32_t>>& cache = first == 0 ? rep_orders_ : comp_orders_;
    constexpr std::uint64_t kCached = 1024;
    std::vector<std::uint32_t>* order = &large_order_;
    if (count < kCached) {
        if (cache.size() <= count) cache.resize(count + 1);
        order = &cache[count];
        if (!order->empty()) return order->data();
    }
    order->clear();
    append_decimal_order(first, count, /*late=*/first == 0, *order);
    return order->data();
}

}  // namespace segmorph::cli
