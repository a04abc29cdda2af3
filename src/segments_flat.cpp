// FlatRecord's reading of a line: one pass over it, 64 bytes at a time,
// that makes each item the moment its end is seen; the keys' texts on
// request.  Putting the items in key order is in segments_key_order.cpp.
#include "segments.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "simd.hpp"

namespace segmorph {

char* FlatRecord::format_key(char* out, std::uint64_t field, std::int64_t rep, std::int64_t comp) {
    // Most indices have one or two digits; write those without to_chars.
    auto put = [](char* p, std::uint64_t v) {
        if (v < 10) {
            *p = static_cast<char>('0' + v);
            return p + 1;
        }
        if (v < 100) {
            p[0] = static_cast<char>('0' + v / 10);
            p[1] = static_cast<char>('0' + v % 10);
            return p + 2;
        }
        return std::to_chars(p, p + 20, v).ptr;
    };
    char* p = put(out, field);
    if (rep >= 0) {
        *p++ = '[';
        p = put(p, static_cast<std::uint64_t>(rep));
        *p++ = ']';
    }
    if (comp >= 0) {
        *p++ = '.';
        p = put(p, static_cast<std::uint64_t>(comp));
    }
    return p;
}

// The flattening of a line with the standard separators ("~", "^", and "\"
// when decoding): every handler the module and the command build has them.
// One walk over the line meets each separator once, in order, and each one
// closes what it ends on the spot -- a component at "^", an occurrence at
// "~", a field at "|" -- so an item is made the moment its end is seen,
// with its numbers already known: no piece is searched a second time.
// What a later byte changes is mended afterwards, which is rare: a field's
// first "~" gives its earlier items repetition 0, and the exemption marker
// "^~\&" takes the items of its field back and makes the field one item.
//
// The walk has two halves.  The loop below takes the common marks -- "^"
// and "|" ending a component without escapes -- with its state in locals
// and no call anywhere, so that the state stays in registers (a call it
// had to survive would leave it a few, and the rest in memory).  Every
// other mark goes to scan_mark(), which finds the state in scan_ and leaves
// it there.  Items and groups are written through bare cursors into
// storage grown before each block of 64 bytes (which ends at most 64 items
// and a field): the cost per item was most of the cost of flattening.
void FlatRecord::scan_fields(std::string_view line, std::uint64_t field, std::size_t start,
                             const Hl7EscapeHandler* handler) {
    Scan& s = scan_;
    s.data = line.data();
    s.n = line.size();
    s.handler = handler;
    s.piece = s.field_start = start;
    s.field_first = items_;
    s.buffer_mark = buffer_.size();
    s.field = field;
    s.rep = -1;
    s.comp = 0;
    s.escaped = s.sort = false;
    const char* const data = line.data();
    const std::size_t n = line.size();
    const bool decode = handler != nullptr;

    std::size_t block = start;
    while (block < n) {
        if (pending_.size() - items_ < 66) pending_.resize(std::max<std::size_t>(2 * pending_.size(), 128));
        if (groups_.size() - group_count_ < 66) groups_.resize(std::max<std::size_t>(2 * groups_.size(), 128));
        const std::size_t left = n - block;
        simd::Mask64 marks;
        {
            const char* p = data + block;
            alignas(16) char tail[64];
            if (left < 64) {
                // The line's last bytes, padded with zeros, which match nothing.
                std::memset(tail, 0, 64);
                std::memcpy(tail, p, left);
                p = tail;
            }
            marks = decode ? simd::any_of64<'|', '~', '^', '\\'>(p) : simd::any_of64<'|', '~', '^'>(p);
        }
        std::size_t next = block + 64;

        Pending* const items = pending_.data();
        Group* const groups = groups_.data();
        std::size_t count = items_, piece = s.piece;
        std::uint64_t this_field = s.field;
        std::int64_t rep = s.rep, comp = s.comp;
        bool escaped = s.escaped;
        while (marks != 0) {
            const std::size_t at = block + simd::next(marks);
            marks = simd::clear_lowest(marks);
            const char c = data[at];
            if (c == '^' && !escaped && !(n - at >= 4 && data[at + 1] == '~')) {
                items[count++] = Pending{piece, at - piece, this_field, rep, ++comp};
                piece = at + 1;
            } else if (c == '|' && !escaped) {
                items[count++] = Pending{piece, at - piece, this_field, rep, comp > 0 ? comp + 1 : -1};
                const bool sort = s.sort || comp >= 9;
                groups[group_count_++] = Group{s.field_first, count - s.field_first, rep >= 0, sort};
                s.field = ++this_field;
                piece = s.field_start = at + 1;
                s.field_first = count;
                s.buffer_mark = buffer_.size();
                rep = -1;
                comp = 0;
                s.sort = false;
            } else if (c == '\\') {
                escaped = true;
            } else {
                // The rest, with the state in scan_.
                items_ = count;
                s.piece = piece;
                s.field = this_field;
                s.rep = rep;
                s.comp = comp;
                s.escaped = escaped;
                const std::size_t again = scan_mark(at);
                count = items_;
                piece = s.piece;
                this_field = s.field;
                rep = s.rep;
                comp = s.comp;
                escaped = s.escaped;
                if (again != 0) {
                    next = again;
                    break;
                }
            }
        }
        items_ = count;
        s.piece = piece;
        s.field = this_field;
        s.rep = rep;
        s.comp = comp;
        s.escaped = escaped;
        block = next;
    }
    if (s.piece <= n) {
        // The last field (unless an exemption marker's field ended the line).
        if (pending_.size() == items_) pending_.resize(std::max<std::size_t>(2 * pending_.size(), 128));
        if (groups_.size() == group_count_) groups_.resize(std::max<std::size_t>(2 * groups_.size(), 128));
        scan_end_field(n);
    }
}

// The component that ends at `end`, numbered `number` (-1: its occurrence
// has no components), decoded where it holds an escape.
void FlatRecord::scan_emit(std::size_t end, std::int64_t number) {
    Scan& s = scan_;
    std::size_t off = s.piece, len = end - s.piece;
    if (s.escaped) {
        // Components are cut on the raw text, then decoded: an escaped
        // separator is data.
        off = buffer_.size();
        s.handler->unescape_into(std::string_view(s.data + s.piece, len), buffer_);
        len = (buffer_.size() - off) | kInBuffer;
        s.escaped = false;
    }
    pending_[items_++] = Pending{off, len, s.field, s.rep, number};
    s.piece = end + 1;
}

void FlatRecord::scan_end_field(std::size_t end) {
    Scan& s = scan_;
    scan_emit(end, s.comp > 0 ? s.comp + 1 : -1);
    // Below 10, numeric order is byte order ("2" < "3"); from 10 on it is
    // not ("10" < "2"): nine "^" make a 10th item.
    s.sort |= s.comp >= 9;
    groups_[group_count_++] = Group{s.field_first, items_ - s.field_first, s.rep >= 0, s.sort};
    ++s.field;
    s.piece = s.field_start = end + 1;
    s.field_first = items_;
    s.buffer_mark = buffer_.size();
    s.rep = -1;
    s.comp = 0;
    s.sort = false;
}

// A mark the loop leaves: any "~", the exemption marker, a mark ending an
// escaped component.  Returns where the walk goes on when not from the
// next mark (after the exemption marker's field; past the line's end when
// that field ends it), else 0.
std::size_t FlatRecord::scan_mark(std::size_t at) {
    Scan& s = scan_;
    const char c = s.data[at];
    if (c == '^') {
        if (s.n - at >= 4 && std::memcmp(s.data + at + 1, "~\\&", 3) == 0) {
            // The exemption marker: the field, up to the next "|", is one
            // item, decoded when decoding (the marker holds the escape
            // character).  Its items so far are dropped.
            const void* bar = std::memchr(s.data + at, '|', s.n - at);
            const std::size_t end =
                bar == nullptr ? s.n : static_cast<std::size_t>(static_cast<const char*>(bar) - s.data);
            items_ = s.field_first;
            buffer_.resize(s.buffer_mark);
            s.piece = s.field_start;
            s.rep = -1;
            s.comp = 0;
            s.sort = false;
            s.escaped = s.handler != nullptr;
            scan_end_field(end);
            return end + 1;
        }
        scan_emit(at, ++s.comp);
    } else if (c == '|') {
        scan_end_field(at);
    } else {  // '~'
        if (s.rep < 0) {
            // The field's first "~": what came before was its repetition 0.
            s.rep = 0;
            for (std::size_t i = s.field_first; i < items_; ++i) pending_[i].rep = 0;
        }
        scan_emit(at, s.comp > 0 ? s.comp + 1 : -1);
        ++s.rep;
        s.sort |= s.comp >= 9 || s.rep == 10;
        s.comp = 0;
    }
    return 0;
}

void FlatRecord::parse(std::string_view line, const Hl7EscapeHandler* handler, bool keys) {
    keys_.clear();
    key_spans_.clear();
    buffer_.clear();
    items_ = 0;
    group_count_ = 0;
    order_.clear();
    line_ = line.data();

    if (handler != nullptr && !has_standard_delimiters(*handler)) {
        parse_general(line, handler);
    } else {
        const std::size_t bar = line.find('|');
        name_ = line.substr(0, bar);
        if (bar != std::string_view::npos) {
            std::size_t start = bar + 1;
            std::uint64_t field = 1;
            bool more = true;
            if (is_header_segment(name_)) {
                // The header's field 1 is syntax, taken verbatim.
                const std::size_t end = std::min(line.find('|', start), line.size());
                add(Pending{start, end - start, 1, -1, -1});
                add_group(Group{0, 1, false, false});
                start = end + 1;
                field = 2;
                more = end < line.size();
            }
            if (more) scan_fields(line, field, start, handler);
        }
    }
    put_in_key_order();
    if (keys) write_keys();
}

// Other separators (only a C++ caller with its own handler has them): the
// segment model's fields, their values copied to the buffer.  Slow, but the
// same rules by construction.
void FlatRecord::parse_general(std::string_view line, const Hl7EscapeHandler* handler) {
    name_ = line.substr(0, line.find('|'));
    const Hl7Segment segment = Hl7Segment::from_string(line, handler);
    auto put = [&](std::uint64_t field, std::int64_t rep, std::int64_t comp, std::string_view value) {
        const std::size_t off = buffer_.size();
        buffer_.append(value);
        add(Pending{off, value.size() | kInBuffer, field, rep, comp});
    };
    auto add_single = [&](std::uint64_t field, std::int64_t rep, const Hl7Field& f) {
        if (!f.components) {
            put(field, rep, -1, f.value);
            return;
        }
        for (std::size_t j = 0; j < f.components->size(); ++j) {
            put(field, rep, static_cast<std::int64_t>(j + 1), (*f.components)[j]);
        }
    };
    for (std::size_t i = 0; i < segment.fields.size(); ++i) {
        const Hl7Field& f = segment.fields[i];
        const std::size_t first = items_;
        if (f.repetitions) {
            for (std::size_t r = 0; r < f.repetitions->size(); ++r) {
                add_single(i + 1, static_cast<std::int64_t>(r), (*f.repetitions)[r]);
            }
        } else {
            add_single(i + 1, -1, f);
        }
        bool sort = false;
        for (std::size_t k = first; k < items_; ++k) sort = sort || pending_[k].rep >= 10 || pending_[k].comp >= 10;
        add_group(Group{first, items_ - first, f.repetitions.has_value(), sort});
    }
}

void FlatRecord::write_keys() {
    key_spans_.reserve(items_);
    for (std::size_t i = 0; i < items_; ++i) {
        const Pending& p = pending_[i];
        char buf[kMaxKeyLength];
        const char* end = format_key(buf, p.field, p.rep, p.comp);
        const auto len = static_cast<std::size_t>(end - buf);
        key_spans_.push_back(KeySpan{keys_.size(), len});
        keys_.append(buf, len);
    }
}

}  // namespace segmorph
