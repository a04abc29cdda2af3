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

// Room made before each block of 64 bytes: the items it may end (64, and
// one for its field), each with its key and spare block, and the bytes of
// their values that lie in it.  The bytes before it of a value that ends in
// it are added.
constexpr std::size_t kBlockRoom = 66 * kItemRoom + 64;

// Lines longer than this go the reference way, so that the scratch stays
// small (see append).
constexpr std::size_t kLongLine = 64 * 1024;

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
    if ((handler != nullptr && !has_standard_delimiters(*handler)) || line.size() > kLongLine) [[unlikely]] {
        // Other separators: the reference writer, as this walk knows only
        // the usual ones.  A very long line too (a document in a field):
        // it writes straight to the output, where the walk's scratch would
        // hold a second copy of the line's JSON while it is copied out.
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
    if (scratch_size_ == 0) {
        scratch_size_ = 64 * 1024;
        scratch_ = std::make_unique_for_overwrite<char[]>(scratch_size_);
    }
    walk_.w = scratch_.get();
    walk_.limit = scratch_.get() + scratch_size_;
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
        if (item_starts_.empty()) item_starts_.resize(256);
        walk_.item = item_starts_.data();
        walk_.current = fields_.data();
        ensure(kItemRoom + worst_case(value.size()));
        char* const at = walk_.w;
        item_starts_[0] = reinterpret_cast<std::uintptr_t>(at);
        walk_.w = put_json_text(put_lead_and_key(at, 1, -1, -1), value);
        fields_[field_count_++] = Field{reinterpret_cast<std::uintptr_t>(at), 0, 0, false, false};
        start = end + 1;
        field = 2;
        if (end == line.size()) start = std::string_view::npos;
    }
    write_fields(line, start, field, readable_end, handler);
    // The items are in the scratch; they go to the output in key order.
    const auto total = static_cast<std::size_t>(walk_.w - scratch_.get());
    static constexpr std::string_view kName = ",\"segment_name\":";
    char* const first = out.claim(total + simd::kBlock + kName.size() + worst_case(bar) + 1);
    char* w = first;
    if (field_count_ < 10 && !any_sort_) {
        std::memcpy(w, scratch_.get(), total);
        w += total;
    } else if (field_count_ <= FieldKeyOrders::kMaxFields) {
        w = put_in_key_order(w);
    } else [[unlikely]] {
        // More fields than the remembered orders take: the reference writer.
        fallback_.parse(line, handler, /*keys=*/false);
        append_record(out, fallback_);
        return;
    }
    std::memcpy(w, kName.data(), kName.size());
    w = put_json_string(w + kName.size(), line.substr(0, bar));
    *w++ = '}';
    // The first item's comma becomes the opening brace.
    *first = '{';
    out.commit(w);
}

// The walk over the line's marks, from field `field` at `start` (npos: no
// more fields).  Each mark closes what it ends on the spot -- a component
// at "^", an occurrence at "~", a field at "|" -- and the item is written
// there and then.  What a later byte changes is rare and is mended by
// going back: a field's first "~" makes its earlier items repetition 0, so
// the field is walked again as a repeated one; the exemption marker "^~\&"
// makes the whole field one item.
//
// The walk has two halves.  The loop below takes the common marks -- "^"
// and "|" ending a value with nothing to escape whose key is in the table --
// with its state in locals and no call anywhere, so that the state stays in
// registers (a call it had to survive would leave it a few registers, and
// the state in memory, reloaded after every store through the cursor).
// Every other mark goes to on_mark(), which finds the state in walk_ and
// leaves it there.  The room for a block's items is made once per block;
// items and fields are noted by where they are written, and moved along in
// the rare case the buffer has to grow.
void LineJsonWriter::write_fields(std::string_view line, std::size_t start, std::uint64_t field,
                                  const char* readable_end, const Hl7EscapeHandler* handler) {
    Walk& s = walk_;
    if (start == std::string_view::npos) {
        // Only the header's field 1.
        fields_[1] = Field{reinterpret_cast<std::uintptr_t>(s.w), 1, 0, false, false};
        return;
    }
    s.line_end = line.data() + line.size();
    s.readable_end = readable_end;
    s.handler = handler;
    if (item_starts_.size() < 256) item_starts_.resize(256);
    s.item = item_starts_.data() + field_count_;  // the header's field 1 may be written
    s.current = fields_.data() + field_count_;
    *s.current = Field{reinterpret_cast<std::uintptr_t>(s.w), field_count_, rep_firsts_.size(), false, false};
    s.piece = s.field_start = line.data() + start;
    s.field = field;
    s.rep = -1;
    s.comp = 0;
    s.slow = s.sort = s.any_sort = false;
    set_row();

    const char* const line_end = s.line_end;
    const char* block = s.piece;
    while (block < line_end) {
        prepare_block(block);
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
        // Near the end of what may be read, every mark goes the careful
        // way; elsewhere a block copy from a component's start, and the
        // byte after a mark, are always readable.
        const bool near_end = readable_end - block < 64 + static_cast<std::ptrdiff_t>(simd::kBlock);

        const char* piece = s.piece;
        char* w = s.w;
        std::uintptr_t* item = s.item;
        const std::uintptr_t* const starts = item_starts_.data();
        std::uint64_t row = s.row;
        std::int64_t table_comps = s.table_comps, comp = s.comp;
        bool slow = s.slow;
        while (marks != 0) {
            const char* const at = block + simd::next(marks);
            marks = simd::clear_lowest(marks);
            const char c = *at;
            const auto len = static_cast<std::size_t>(at - piece);
            std::int64_t number;
            if (c == '^') {
                // "^~" may start the exemption marker: the other way decides.
                number = comp + 1;
                if (near_end || slow || number >= table_comps || at[1] == '~') goto other;
                comp = number;
            } else if (c == '|') {
                number = comp > 0 ? comp + 1 : -1;
                if (near_end || slow || number >= table_comps) goto other;
            } else if (c == '~') {
                goto other;
            } else {
                slow = true;
                continue;
            }
            {
                // Nothing to escape: the key from the table, a block's copy
                // for most values, whatever their length, and the cursor
                // moved by the length.
                *item++ = reinterpret_cast<std::uintptr_t>(w);
                const KeySlot& slot = kKeySlots[row + static_cast<std::uint64_t>(number)];
                std::memcpy(w, slot.data(), 16);
                w += slot[15];
                if (len <= simd::kBlock) {
                    simd::store(w, simd::load(piece));
                } else {
                    for (std::size_t i = 0; i + simd::kBlock < len; i += simd::kBlock) {
                        simd::store(w + i, simd::load(piece + i));
                    }
                    simd::store(w + len - simd::kBlock, simd::load(at - simd::kBlock));
                }
                w[len] = '"';
                w += len + 1;
                piece = at + 1;
                if (c == '|') {
                    // The field's end: its record, and the next one's start.
                    Field* const current = s.current;
                    const bool sort = s.sort || comp >= 9;
                    current->repeated = false;
                    current->sort_items = sort;
                    s.any_sort |= sort;
                    current[1] = Field{reinterpret_cast<std::uintptr_t>(w), static_cast<std::size_t>(item - starts),
                                       rep_firsts_.size(), false, false};
                    s.current = current + 1;
                    s.sort = false;
                    s.field_start = piece;
                    const std::uint64_t next_field = ++s.field;
                    row = next_field * (kTableComponents + 1) + 1;  // past the table: not read
                    table_comps = next_field < kTableFields ? kTableComponents : -1;
                    comp = 0;
                }
                continue;
            }
        other:
            // The rest, with the state in walk_.
            s.piece = piece;
            s.w = w;
            s.item = item;
            s.row = row;
            s.table_comps = table_comps;
            s.comp = comp;
            s.slow = slow;
            const char* const again = on_mark(at);
            piece = s.piece;
            w = s.w;
            item = s.item;
            row = s.row;
            table_comps = s.table_comps;
            comp = s.comp;
            slow = s.slow;
            if (again != nullptr) {
                next = again;
                break;
            }
        }
        s.piece = piece;
        s.w = w;
        s.item = item;
        s.row = row;
        s.table_comps = table_comps;
        s.comp = comp;
        s.slow = slow;
        block = next;
    }
    if (s.piece <= line_end) {
        // The last field (unless an exemption marker's field ended the line).
        ensure(kBlockRoom + static_cast<std::size_t>(line_end - s.piece));
        end_field(line_end);
    }
    field_count_ = static_cast<std::size_t>(s.current - fields_.data());
    any_sort_ = s.any_sort;
}

// The room and the storage a block needs: it ends at most 64 items and a
// field; a value that ends in it started at most `block - piece` bytes
// before it.
void LineJsonWriter::prepare_block(const char* block) {
    Walk& s = walk_;
    if (item_starts_.size() - static_cast<std::size_t>(s.item - item_starts_.data()) < 66) {
        const auto items = static_cast<std::size_t>(s.item - item_starts_.data());
        item_starts_.resize(2 * item_starts_.size());
        s.item = item_starts_.data() + items;
    }
    if (fields_.size() - static_cast<std::size_t>(s.current - fields_.data()) < 66) {
        const auto fields = static_cast<std::size_t>(s.current - fields_.data());
        fields_.resize(2 * fields_.size());
        s.current = fields_.data() + fields;
    }
    ensure(kBlockRoom + static_cast<std::size_t>(block - s.piece));
}

// Room for `need` more bytes at the cursor.  Growing moves what is written,
// and the places noted in it with it.
void LineJsonWriter::ensure(std::size_t need) {
    Walk& s = walk_;
    if (static_cast<std::size_t>(s.limit - s.w) >= need) return;
    const auto used = static_cast<std::size_t>(s.w - scratch_.get());
    const std::size_t size = std::max(2 * scratch_size_, used + need);
    auto bigger = std::make_unique_for_overwrite<char[]>(size);
    std::memcpy(bigger.get(), scratch_.get(), used);
    const std::uintptr_t shift =
        reinterpret_cast<std::uintptr_t>(bigger.get()) - reinterpret_cast<std::uintptr_t>(scratch_.get());
    scratch_ = std::move(bigger);
    scratch_size_ = size;
    s.w = scratch_.get() + used;
    s.limit = scratch_.get() + size;
    for (std::uintptr_t* at = item_starts_.data(); at != s.item; ++at) *at += shift;
    for (Field* f = fields_.data(); f <= s.current; ++f) f->out_start += shift;
}

void LineJsonWriter::set_row() {
    Walk& s = walk_;
    const bool in_table = s.field < kTableFields && s.rep < 0;
    s.row = in_table ? s.field * (kTableComponents + 1) + 1 : 0;
    s.table_comps = in_table ? kTableComponents : -1;
}

// The component that ends at `end`, numbered `number` (-1: its occurrence
// has no components), whatever it holds and whatever its key.
void LineJsonWriter::emit(const char* end, std::int64_t number) {
    Walk& s = walk_;
    const auto len = static_cast<std::size_t>(end - s.piece);
    std::string_view value(s.piece, len);
    s.piece = end + 1;
    if (s.slow) {
        s.slow = false;
        value = slow_value(value, s.handler);
    }
    ensure(kItemRoom + worst_case(value.size()) + kBlockRoom);
    *s.item++ = reinterpret_cast<std::uintptr_t>(s.w);
    s.w = put_json_text(put_lead_and_key(s.w, s.field, s.rep, number), value);
}

void LineJsonWriter::end_field(const char* end) {
    Walk& s = walk_;
    emit(end, s.comp > 0 ? s.comp + 1 : -1);
    // Below 10, numeric order is byte order ("2" < "3"); from 10 on it is
    // not ("10" < "2"): nine "^" make a 10th item.
    s.sort |= s.comp >= 9;
    s.current->repeated = s.rep >= 0;
    s.current->sort_items = s.sort;
    s.any_sort |= s.sort;
    ++s.current;
    *s.current = Field{reinterpret_cast<std::uintptr_t>(s.w), static_cast<std::size_t>(s.item - item_starts_.data()),
                       rep_firsts_.size(), false, false};
    ++s.field;
    s.piece = s.field_start = end + 1;
    s.rep = -1;
    s.comp = 0;
    s.sort = false;
    set_row();
}

// Back to the start of the current field, its items dropped.
void LineJsonWriter::restart_field() {
    Walk& s = walk_;
    s.w = reinterpret_cast<char*>(s.current->out_start);
    s.item = item_starts_.data() + s.current->first;
    rep_firsts_.resize(s.current->reps);
    s.piece = s.field_start;
    s.comp = 0;
    s.slow = false;
    s.sort = false;
}

// A mark the loop leaves: any "~", a byte to escape, "^~", a key out of the
// table, any mark near the end of what may be read.
// Returns where the walk goes on when not from the next mark: after the
// exemption marker's field (the line's end when it ends the line), or at
// the start of a field to walk again.
const char* LineJsonWriter::on_mark(const char* at) {
    Walk& s = walk_;
    const char c = *at;
    if (c == '^') {
        if (s.line_end - at >= 4 && std::memcmp(at + 1, "~\\&", 3) == 0) {
            // The exemption marker: the field, up to the next "|", is one
            // item, decoded when decoding (the marker holds the escape
            // character).
            const void* bar = std::memchr(at, '|', static_cast<std::size_t>(s.line_end - at));
            const char* end = bar == nullptr ? s.line_end : static_cast<const char*>(bar);
            restart_field();
            s.rep = -1;
            set_row();
            s.slow = true;
            end_field(end);
            return end + 1;  // past the line's end when the field ends it: the walk is done
        }
        emit(at, ++s.comp);
    } else if (c == '|') {
        end_field(at);
    } else if (c == '~') {
        if (s.rep < 0) {
            // The field's first "~": what came before was its repetition 0.
            // Walk the field again as repeated.
            restart_field();
            s.rep = 0;
            set_row();
            rep_firsts_.push_back(s.current->first);
            return s.field_start;
        }
        emit(at, s.comp > 0 ? s.comp + 1 : -1);
        rep_firsts_.push_back(static_cast<std::size_t>(s.item - item_starts_.data()));
        ++s.rep;
        s.sort |= s.comp >= 9 || s.rep == 10;
        s.comp = 0;
    } else {
        s.slow = true;
    }
    return nullptr;
}

}  // namespace segmorph::cli
