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

// Room made before each block of 64 bytes: the items it may end (64, and
// one for its field), each with its key and spare block, and the bytes of
// their values that lie in it.  The bytes before it of a value that ends in
// it are added.
constexpr std::size_t kBlockRoom = 66 * kItemRoom + 64;

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
    field_count_ = 0;
    any_sort_ = false;
    rep_firsts_.clear();
    if (fields_.size() < 128) fields_.resize(128);
    std::size_t start = bar + 1;
    std::uint64_t field = 1;
    if (is_header_segment(line.substr(0, bar))) {
        // The header's field 1 is syntax, taken verbatim.
        const std::size_t end = std::min(line.find('|', start), line.size());
        const std::string_view value = line.substr(start, end - start);
        // Room for the rest of the line's first block too, so that the walk
        // starts in the same buffer.
        char* const at = out.claim(kItemRoom + worst_case(value.size()) + kBlockRoom);
        if (item_starts_.empty()) item_starts_.resize(256);
        item_starts_[0] = reinterpret_cast<std::uintptr_t>(at);
        char* const w = put_json_text(put_lead_and_key(at, 1, -1, -1), value);
        out.commit(w);
        fields_[field_count_++] = Field{reinterpret_cast<std::uintptr_t>(at), 0, 0, false, false};
        start = end + 1;
        field = 2;
        if (end == line.size()) start = std::string_view::npos;
    }
    write_fields(line, start, field, readable_end, handler);
    if ((field_count_ >= 10 || any_sort_) && !put_in_key_order()) [[unlikely]] {
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
// What the loop needs for every item lives in locals, cursors rather than
// counts, so that it stays in registers; what it needs once per field is in
// the field's record, and the room for a block's items is made once per
// block.  Items and fields are noted by where they are written, and moved
// along in the rare case the buffer has to grow.
void LineJsonWriter::write_fields(std::string_view line, std::size_t start, std::uint64_t field,
                                  const char* readable_end, const Hl7EscapeHandler* handler) {
    TextBuffer& out = *out_;
    if (start == std::string_view::npos) {
        // Only the header's field 1.
        fields_[1] = Field{reinterpret_cast<std::uintptr_t>(out.claim(0)), 1, 0, false, false};
        return;
    }
    const char* const line_end = line.data() + line.size();
    char* w = out.claim(kBlockRoom);
    char* limit = w + out.room();
    if (item_starts_.size() < 256) item_starts_.resize(256);
    std::uintptr_t* starts = item_starts_.data();
    std::uintptr_t* item = starts + field_count_;  // the next item's place (the header's field 1 may be written)
    Field* current = fields_.data() + field_count_;  // the field being walked
    *current = Field{reinterpret_cast<std::uintptr_t>(w), field_count_, rep_firsts_.size(), false, false};

    const char* piece = line.data() + start;  // where the current component starts
    const char* field_start = piece;          // where the current field starts
    std::int64_t rep = -1;  // the repetition, -1 before the field's first "~"
    std::int64_t comp = 0;  // "^" seen in the current occurrence
    bool slow = false;      // the current component has a byte that takes the slow way
    bool sort = false;      // the field has an index of ten or more
    bool any_sort = false;
    // The field's keys in the table (fields below 100, no repetitions):
    // components below `table_comps` are found from its first slot, `row`.
    std::uint64_t row = 0;
    std::int64_t table_comps = -1;
    auto set_row = [&]() __attribute__((always_inline)) {
        const bool in_table = field < kTableFields && rep < 0;
        row = in_table ? field * (kTableComponents + 1) + 1 : 0;
        table_comps = in_table ? kTableComponents : -1;
    };
    set_row();

    // Room for `need` more bytes at w.  Growing moves what is written, and
    // the places noted in it with it.
    auto ensure = [&](std::size_t need) __attribute__((always_inline)) {
        if (static_cast<std::size_t>(limit - w) < need) [[unlikely]] {
            char* const old = w;
            w = grow(out, w, need);
            limit = w + out.room();
            const std::uintptr_t shift = reinterpret_cast<std::uintptr_t>(w) - reinterpret_cast<std::uintptr_t>(old);
            for (std::uintptr_t* at = starts; at != item; ++at) *at += shift;
            for (Field* f = fields_.data(); f <= current; ++f) f->out_start += shift;
        }
    };
    // The component that ends at `end`, numbered `number` (-1: its
    // occurrence has no components).  Its room is made by the block.
    auto emit = [&](const char* end, std::int64_t number) __attribute__((always_inline)) {
        const auto len = static_cast<std::size_t>(end - piece);
        const char* const src = piece;
        piece = end + 1;
        if (slow) [[unlikely]] {
            slow = false;
            const std::string_view value = slow_value(std::string_view(src, len), handler);
            ensure(kItemRoom + worst_case(value.size()) + kBlockRoom);
            *item++ = reinterpret_cast<std::uintptr_t>(w);
            w = put_json_text(put_lead_and_key(w, field, rep, number), value);
            return;
        }
        *item++ = reinterpret_cast<std::uintptr_t>(w);
        if (number < table_comps) [[likely]] {
            const KeySlot& slot = kKeySlots[row + static_cast<std::uint64_t>(number)];
            std::memcpy(w, slot.data(), 16);
            w += slot[15];
        } else {
            w = put_lead_and_key(w, field, rep, number);
        }
        // Nothing to escape: a block's copy for most values, whatever
        // their length, and the cursor moved by the length.
        if (len <= simd::kBlock && src + simd::kBlock <= readable_end) [[likely]] {
            simd::store(w, simd::load(src));
        } else if (len > simd::kBlock) {
            for (std::size_t i = 0; i + simd::kBlock < len; i += simd::kBlock) simd::store(w + i, simd::load(src + i));
            simd::store(w + len - simd::kBlock, simd::load(src + len - simd::kBlock));
        } else {
            std::memcpy(w, src, len);
        }
        w[len] = '"';
        w += len + 1;
    };
    auto end_field = [&](const char* end) __attribute__((always_inline)) {
        emit(end, comp > 0 ? comp + 1 : -1);
        // Below 10, numeric order is byte order ("2" < "3"); from 10 on it
        // is not ("10" < "2"): nine "^" make a 10th item.
        sort |= comp >= 9;
        current->repeated = rep >= 0;
        current->sort_items = sort;
        any_sort |= sort;
        ++current;
        *current = Field{reinterpret_cast<std::uintptr_t>(w), static_cast<std::size_t>(item - starts),
                         rep_firsts_.size(), false, false};
        ++field;
        piece = field_start = end + 1;
        rep = -1;
        comp = 0;
        sort = false;
        row = field * (kTableComponents + 1) + 1;  // past the table: not read
        table_comps = field < kTableFields ? kTableComponents : -1;
    };
    // Back to the start of the current field, its items dropped.
    auto restart_field = [&]() __attribute__((always_inline)) {
        w = reinterpret_cast<char*>(current->out_start);
        item = starts + current->first;
        rep_firsts_.resize(current->reps);
        piece = field_start;
        comp = 0;
        slow = false;
        sort = false;
    };
    // The fields' count, and after the last one where the next would
    // start (the one past the last), for the lengths of the last.
    auto finish = [&]() __attribute__((always_inline)) {
        out.commit(w);
        field_count_ = static_cast<std::size_t>(current - fields_.data());
        any_sort_ = any_sort;
    };

    const char* block = piece;
    while (block < line_end) {
        // A block ends at most 64 items and a field; a value that ends in
        // it started at most `block - piece` bytes before it.
        if (item_starts_.size() - static_cast<std::size_t>(item - starts) < 66) [[unlikely]] {
            const auto items = static_cast<std::size_t>(item - starts);
            item_starts_.resize(2 * item_starts_.size());
            starts = item_starts_.data();
            item = starts + items;
        }
        if (fields_.size() - static_cast<std::size_t>(current - fields_.data()) < 66) [[unlikely]] {
            const auto fields = static_cast<std::size_t>(current - fields_.data());
            fields_.resize(2 * fields_.size());
            current = fields_.data() + fields;
        }
        ensure(kBlockRoom + static_cast<std::size_t>(block - piece));
        const auto left = static_cast<std::size_t>(line_end - block);
        simd::Mask64 marks;
        if (readable_end - block >= 64) [[likely]] {
            marks = marks_of(block);
        } else {
            alignas(16) char tail[64] = {};
            std::memcpy(tail, block, std::min<std::size_t>(64, left));
            marks = marks_of(tail);
        }
        if (left < 64) marks &= (simd::Mask64{1} << left) - 1;
        const char* next = block + 64;
        while (marks != 0) {
            const char* const at = block + simd::next(marks);
            marks = simd::clear_lowest(marks);
            const char c = *at;
            if (c == '^') {
                if (line_end - at >= 4 && at[1] == '~' && std::memcmp(at + 1, "~\\&", 3) == 0) [[unlikely]] {
                    // The exemption marker: the field, up to the next "|",
                    // is one item, decoded when decoding (the marker holds
                    // the escape character).
                    const void* bar = std::memchr(at, '|', static_cast<std::size_t>(line_end - at));
                    const char* end = bar == nullptr ? line_end : static_cast<const char*>(bar);
                    restart_field();
                    rep = -1;
                    set_row();
                    slow = true;
                    end_field(end);
                    if (end == line_end) {
                        finish();
                        return;
                    }
                    next = end + 1;
                    break;
                }
                emit(at, ++comp);
            } else if (c == '|') {
                end_field(at);
            } else if (c == '~') {
                if (rep < 0) [[unlikely]] {
                    // The field's first "~": what came before was its
                    // repetition 0.  Walk the field again as repeated.
                    restart_field();
                    rep = 0;
                    set_row();
                    rep_firsts_.push_back(current->first);
                    next = field_start;
                    break;
                }
                emit(at, comp > 0 ? comp + 1 : -1);
                rep_firsts_.push_back(static_cast<std::size_t>(item - starts));
                ++rep;
                sort |= comp >= 9 || rep == 10;
                comp = 0;
            } else {
                slow = true;
            }
        }
        block = next;
    }
    ensure(kBlockRoom + static_cast<std::size_t>(line_end - piece));
    end_field(line_end);
    finish();
}

// Moves the fields' texts into key order: the remembered order of the
// line's shape, and inside the fields with an index of ten or more their
// items' (or repetitions') order.  False when the line has more fields than
// the remembered orders take.
bool LineJsonWriter::put_in_key_order() {
    const std::uint64_t fields = field_count_;
    if (fields > FieldKeyOrders::kMaxFields) return false;
    TextBuffer& out = *out_;
    const std::size_t total = out.size() - base_;
    // The places noted while writing are addresses in the buffer as it is.
    const auto origin = reinterpret_cast<std::uintptr_t>(out.claim(0) - total);
    char* const base = out.claim(simd::kBlock) - total;
    // The text moved aside, with a block to spare for the block copies.
    if (moved_.size() < total + simd::kBlock) moved_.resize(std::max(total + simd::kBlock, 2 * moved_.size()));
    std::memcpy(moved_.data(), base, total);
    // The text moved aside at a noted address.
    auto moved = [from = moved_.data(), origin](std::uintptr_t at) { return from + (at - origin); };
    const std::size_t items = fields_[fields].first;
    if (item_starts_.size() <= items) item_starts_.resize(items + 1);
    item_starts_[items] = origin + total;
    const std::uintptr_t* const starts = item_starts_.data();

    char* o = base;
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
