#include "line_json.hpp"

#include <algorithm>
#include <cstring>

#include "json_text.hpp"
#include "json_writer.hpp"
#include "simd.hpp"

namespace segmorph::cli {

using namespace json_text;

namespace {

// The bytes of the 64 from `p` that end a piece ("|", "^", "~") or make its
// value take the slow way ("\" and the bytes JSON escapes: '"' and control
// bytes).  The same set in both modes: "\" is an escape to decode when
// decoding and a byte for JSON to escape when not.  One pass over the
// line finds them all; the walk then goes from one to the next.
inline simd::Mask64 marks_of(const char* p) {
    simd::Mask64 m = 0;
    for (unsigned i = 0; i < 4; ++i) {
        const simd::Block b = simd::load(p + simd::kBlock * i);
        const simd::Mask hits = simd::any_of<'|', '^', '~', '\\', '"'>(b) | simd::below(b, 0x20);
        m |= simd::Mask64{hits} << (simd::kBlock * i);
    }
    return m;
}

// Copies a span whose length is not known in advance a block at a time,
// the last block possibly writing up to fifteen bytes past its end (room
// the writer keeps) and reading as far past the source's (which must be
// readable).
inline char* copy_blocks(char* to, const char* from, std::size_t len) {
    for (std::size_t i = 0; i < len; i += simd::kBlock) simd::store(to + i, simd::load(from + i));
    return to + len;
}

// The buffer grown to take `need` bytes at w, the end of what is written;
// returns where w is now.
[[gnu::noinline]] char* grow(TextBuffer& out, char* w, std::size_t need) {
    out.commit(w);
    return out.claim(std::max(need, std::size_t{64} * 1024));
}

}  // namespace

// A value with a byte that takes the slow way, as JSON is to have it:
// decoded when decoding and it holds an escape (components are cut on the
// raw text, then decoded: an escaped separator is data), else as it is.
std::string_view LineJsonWriter::slow_value(std::string_view raw, const Hl7EscapeHandler* handler) {
    if (handler == nullptr || raw.find('\\') == std::string_view::npos) return raw;
    unescaped_.clear();
    handler->unescape_into(raw, unescaped_);
    return unescaped_;
}

void LineJsonWriter::append(TextBuffer& out, std::string_view line, const char* readable_end,
                            const Hl7EscapeHandler* handler) {
    if (handler != nullptr && !has_standard_delimiters(*handler)) [[unlikely]] {
        // Other separators: the reference writer, as this walk knows only
        // the usual ones.
        fallback_.parse(line, handler, /*keys=*/false);
        append_record(out, fallback_);
        return;
    }
    const std::size_t bar = line.find('|');
    if (bar == std::string_view::npos) {
        static constexpr std::string_view kName = "{\"segment_name\":";
        char* w = out.claim(kName.size() + worst_case(line.size()) + 1);
        std::memcpy(w, kName.data(), kName.size());
        w = put_json_string(w + kName.size(), line);
        *w++ = '}';
        out.commit(w);
        return;
    }
    out_ = &out;
    base_ = out.size();
    fields_.clear();
    rep_firsts_.clear();
    std::size_t start = bar + 1;
    std::uint64_t field = 1;
    if (is_header_segment(line.substr(0, bar))) {
        // The header's field 1 is syntax, taken verbatim.
        const std::size_t end = std::min(line.find('|', start), line.size());
        const std::string_view value = line.substr(start, end - start);
        char* w = out.claim(kItemRoom + worst_case(value.size()));
        if (item_starts_.empty()) item_starts_.resize(256);
        item_starts_[0] = 0;
        w = put_json_text(put_lead_and_key(w, 1, -1, -1), value);
        out.commit(w);
        fields_.push_back(Field{0, out.size() - base_, 0, 1, 0, false, false});
        start = end + 1;
        field = 2;
        if (end == line.size()) start = std::string_view::npos;
    }
    write_fields(line, start, field, readable_end, handler);
    if ((fields_.size() >= 10 || std::any_of(fields_.begin(), fields_.end(),
                                             [](const Field& f) { return f.sort_items; })) &&
        !put_in_key_order()) [[unlikely]] {
        // More fields than the remembered orders take: the reference writer.
        out.commit(out.claim(0) - (out.size() - base_));
        fallback_.parse(line, handler, /*keys=*/false);
        append_record(out, fallback_);
        return;
    }
    static constexpr std::string_view kName = ",\"segment_name\":";
    char* w = out.claim(kName.size() + worst_case(bar) + 1);
    std::memcpy(w, kName.data(), kName.size());
    w = put_json_string(w + kName.size(), line.substr(0, bar));
    *w++ = '}';
    out.commit(w);
    // The first item's comma becomes the opening brace.
    (w - (out.size() - base_))[0] = '{';
}

// The walk over the line's marks, from field `field` at `start` (npos: no
// more fields).  Each mark closes what it ends on the spot -- a component
// at "^", an occurrence at "~", a field at "|" -- and the item is written
// there and then.  What a later byte changes is rare and is mended by
// going back: a field's first "~" makes its earlier items repetition 0, so
// the field is walked again as a repeated one; the exemption marker "^~\&"
// makes the whole field one item.
//
// The cursor, its limit and the walk's state live in locals, so that they
// stay in registers; the writer's own members are touched once per line.
void LineJsonWriter::write_fields(std::string_view line, std::size_t start, std::uint64_t field,
                                  const char* readable_end, const Hl7EscapeHandler* handler) {
    if (start == std::string_view::npos) return;
    TextBuffer& out = *out_;
    const char* const data = line.data();
    const std::size_t n = line.size();
    char* w = out.claim(kItemRoom);
    char* base = w - (out.size() - base_);
    char* limit = w + out.room();
    std::size_t count = fields_.empty() ? 0 : 1;
    if (item_starts_.size() < 256) item_starts_.resize(256);
    std::size_t* starts = item_starts_.data();

    std::size_t piece = start;               // where the current component starts
    std::size_t field_start = start;         // where the current field starts
    std::size_t field_first = count;         // its first item
    auto field_out = static_cast<std::size_t>(w - base);  // and where it is written
    std::size_t field_reps = rep_firsts_.size();
    std::int64_t rep = -1;  // the repetition, -1 before the field's first "~"
    std::int64_t comp = 0;  // "^" seen in the current occurrence
    bool slow = false;      // the current component has a byte that takes the slow way
    bool sort = false;      // the field has an index of ten or more

    // Room for `need` more bytes at w.  Rare, and out of line: the cursor,
    // the record's start and the limit go by value, so that no store
    // through the cursor can be taken to change them.
    auto ensure = [&](std::size_t need) __attribute__((always_inline)) {
        if (static_cast<std::size_t>(limit - w) < need) [[unlikely]] {
            const auto at = static_cast<std::size_t>(w - base);
            w = grow(out, w, need);
            base = w - at;
            limit = w + out.room();
        }
    };
    // The component that ends at `end`, numbered `number` (-1: its
    // occurrence has no components).
    auto emit = [&](std::size_t end, std::int64_t number) __attribute__((always_inline)) {
        const std::size_t len = end - piece;
        const char* src = data + piece;
        piece = end + 1;
        if (!slow) [[likely]] {
            ensure(kItemRoom + len + 1);
            starts[count++] = static_cast<std::size_t>(w - base);
            w = put_lead_and_key(w, field, rep, number);
            // Nothing to escape: a block's copy for most values, whatever
            // their length, and the cursor moved by the length.
            if (len <= simd::kBlock && src + simd::kBlock <= readable_end) [[likely]] {
                simd::store(w, simd::load(src));
            } else if (len > simd::kBlock) {
                for (std::size_t i = 0; i + simd::kBlock < len; i += simd::kBlock) {
                    simd::store(w + i, simd::load(src + i));
                }
                simd::store(w + len - simd::kBlock, simd::load(src + len - simd::kBlock));
            } else {
                std::memcpy(w, src, len);
            }
            w[len] = '"';
            w += len + 1;
            return;
        }
        slow = false;
        const std::string_view value = slow_value(std::string_view(src, len), handler);
        ensure(kItemRoom + worst_case(value.size()));
        starts[count++] = static_cast<std::size_t>(w - base);
        w = put_json_text(put_lead_and_key(w, field, rep, number), value);
    };
    auto end_field = [&](std::size_t end) __attribute__((always_inline)) {
        emit(end, comp > 0 ? comp + 1 : -1);
        fields_.push_back(Field{field_out, static_cast<std::size_t>(w - base), field_first, count - field_first,
                                field_reps, rep >= 0, sort});
        ++field;
        piece = field_start = end + 1;
        field_first = count;
        field_out = static_cast<std::size_t>(w - base);
        field_reps = rep_firsts_.size();
        rep = -1;
        comp = 0;
        sort = false;
    };
    // Back to the start of the current field, its items dropped.
    auto restart_field = [&]() __attribute__((always_inline)) {
        w = base + field_out;
        count = field_first;
        rep_firsts_.resize(field_reps);
        piece = field_start;
        comp = 0;
        slow = false;
        sort = false;
    };

    std::size_t block = start;
    while (block < n) {
        // A block ends at most 64 items and a field.
        if (item_starts_.size() - count < 66) {
            item_starts_.resize(2 * item_starts_.size());
            starts = item_starts_.data();
        }
        simd::Mask64 marks;
        if (readable_end - (data + block) >= 64) [[likely]] {
            marks = marks_of(data + block);
        } else {
            alignas(16) char tail[64] = {};
            std::memcpy(tail, data + block, std::min<std::size_t>(64, n - block));
            marks = marks_of(tail);
        }
        if (n - block < 64) marks &= (simd::Mask64{1} << (n - block)) - 1;
        std::size_t next = block + 64;
        while (marks != 0) {
            const std::size_t at = block + simd::next(marks);
            marks = simd::clear_lowest(marks);
            const char c = data[at];
            if (c == '^') {
                if (n - at >= 4 && std::memcmp(data + at + 1, "~\\&", 3) == 0) [[unlikely]] {
                    // The exemption marker: the field, up to the next "|",
                    // is one item, decoded when decoding (the marker holds
                    // the escape character).
                    const void* end_bar = std::memchr(data + at, '|', n - at);
                    const std::size_t end =
                        end_bar == nullptr ? n : static_cast<std::size_t>(static_cast<const char*>(end_bar) - data);
                    restart_field();
                    rep = -1;
                    slow = true;
                    end_field(end);
                    if (end == n) {
                        out.commit(w);
                        return;
                    }
                    next = end + 1;
                    break;
                }
                // Below 10, numeric order is byte order ("2" < "3"); from 10
                // on it is not ("10" < "2"): the 9th "^" makes a 10th item.
                sort |= ++comp == 9;
                emit(at, comp);
            } else if (c == '|') {
                end_field(at);
            } else if (c == '~') {
                if (rep < 0) [[unlikely]] {
                    // The field's first "~": what came before was its
                    // repetition 0.  Walk the field again as repeated.
                    restart_field();
                    rep = 0;
                    rep_firsts_.push_back(field_first);
                    next = field_start;
                    break;
                }
                emit(at, comp > 0 ? comp + 1 : -1);
                rep_firsts_.push_back(count);
                sort |= ++rep == 10;
                comp = 0;
            } else {
                slow = true;
            }
        }
        block = next;
    }
    end_field(n);
    out.commit(w);
}

// Moves the fields' texts into key order: the remembered order of the
// line's shape, and inside the fields with an index of ten or more their
// items' (or repetitions') order.  False when the line has more fields than
// the remembered orders take.
bool LineJsonWriter::put_in_key_order() {
    const std::uint64_t fields = fields_.size();
    if (fields > FieldKeyOrders::kMaxFields) return false;
    TextBuffer& out = *out_;
    const std::size_t total = out.size() - base_;
    char* const base = out.claim(simd::kBlock) - total;
    // The text moved aside, with a block to spare for the block copies.
    if (moved_.size() < total + simd::kBlock) moved_.resize(std::max(total + simd::kBlock, 2 * moved_.size()));
    std::memcpy(moved_.data(), base, total);
    const char* const from = moved_.data();
    const std::size_t items = fields_.back().first + fields_.back().count;
    if (item_starts_.size() <= items) item_starts_.resize(items + 1);
    item_starts_[items] = total;
    const std::size_t* const starts = item_starts_.data();

    char* o = base;
    auto copy_items = [&](std::size_t first, std::size_t end) {
        o = copy_blocks(o, from + starts[first], starts[end] - starts[first]);
    };
    auto put_occurrence = [&](std::size_t first, std::size_t count) {
        if (count < 10) {
            copy_items(first, first + count);
            return;
        }
        const std::uint32_t* order = decimal_order(1, count);
        for (std::size_t k = 0; k < count; ++k) copy_items(first + order[k], first + order[k] + 1);
    };
    auto put_field = [&](const Field& f) {
        if (!f.sort_items) {
            o = copy_blocks(o, from + f.out_start, f.out_end - f.out_start);
        } else if (!f.repeated) {
            put_occurrence(f.first, f.count);
        } else {
            const std::size_t* firsts = rep_firsts_.data() + f.reps;
            const std::size_t reps = (&f == &fields_.back() ? rep_firsts_.size() : (&f)[1].reps) - f.reps;
            const std::uint32_t* order = decimal_order(0, reps);
            for (std::size_t k = 0; k < reps; ++k) {
                const std::size_t r = order[k];
                const std::size_t end = r + 1 < reps ? firsts[r + 1] : f.first + f.count;
                put_occurrence(firsts[r], end - firsts[r]);
            }
        }
    };
    if (fields < 10) {
        for (const Field& f : fields_) put_field(f);
    } else {
        std::uint64_t repeats = 0;
        for (std::uint64_t f = 1; f <= fields / 10; ++f) repeats |= std::uint64_t{fields_[f - 1].repeated} << (f - 1);
        for (const std::uint32_t f : field_orders_.get(fields, repeats)) put_field(fields_[f]);
    }
    return true;
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
