// FlatRecord's reading of a line: one pass over it, sixteen bytes at a
// time, that makes each item the moment its end is seen; the keys' texts
// on request.  Putting the items in key order is in segments_key_order.cpp.
#include "segments.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace segmorph {

namespace {

// The bytes of the 16 from `p` (fewer at the end of the line: `avail`) that
// end or mark a piece: "|", "~", "^", and "\" when decoding.  One bit per
// byte.  Finding them sixteen at a time is what lets flattening read the
// line once, from event to event, instead of searching each piece again
// for each separator.
inline unsigned marks_of(const char* p, std::size_t avail, bool decode) {
    alignas(16) char tail[16];
    if (avail < 16) {
        // The line's last bytes, padded with zeros, which match nothing.
        std::memset(tail, 0, 16);
        std::memcpy(tail, p, avail);
        p = tail;
    }
#ifdef __SSE2__
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i hits =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8('|')), _mm_cmpeq_epi8(block, _mm_set1_epi8('~'))),
                     _mm_cmpeq_epi8(block, _mm_set1_epi8('^')));
    if (decode) hits = _mm_or_si128(hits, _mm_cmpeq_epi8(block, _mm_set1_epi8('\\')));
    return static_cast<unsigned>(_mm_movemask_epi8(hits));
#else
    unsigned mask = 0;
    for (unsigned i = 0; i < 16; ++i) {
        const char c = p[i];
        if (c == '|' || c == '~' || c == '^' || (decode && c == '\\')) mask |= 1u << i;
    }
    return mask;
#endif
}

}  // namespace

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
// The state lives in locals, so that it stays in registers, and items are
// written through a bare cursor into storage grown before each block of
// sixteen bytes (which ends at most sixteen items and a field): the cost per
// item was most of the cost of flattening.
void FlatRecord::scan_fields(std::string_view line, std::uint64_t field, std::size_t start,
                             const Hl7EscapeHandler* handler) {
    const char* const data = line.data();
    const std::size_t n = line.size();
    const bool decode = handler != nullptr;
    Pending* items = pending_.data();
    std::size_t count = items_;

    std::size_t piece = start;                 // where the current component starts
    std::size_t field_start = start;           // where the current field starts
    std::size_t field_first = count;           // its first item
    std::size_t buffer_mark = buffer_.size();  // buffer_'s size when it started
    std::int64_t rep = -1;                     // its repetition, -1 before its first "~"
    std::int64_t comp = 0;                     // "^" seen in the current occurrence
    bool escaped = false;                      // the current component holds "\"
    bool sort = false;                         // the field has an index of ten or more

    // The component that ends at `end`, numbered `number` (-1: its
    // occurrence has no components).
    auto emit = [&](std::size_t end, std::int64_t number) {
        std::size_t off = piece, len = end - piece;
        if (escaped) [[unlikely]] {
            // Components are cut on the raw text, then decoded: an escaped
            // separator is data.
            off = buffer_.size();
            handler->unescape_into(std::string_view(data + piece, len), buffer_);
            len = (buffer_.size() - off) | kInBuffer;
            escaped = false;
        }
        items[count++] = Pending{off, len, field, rep, number};
        piece = end + 1;
    };
    auto end_field = [&](std::size_t end) {
        emit(end, comp > 0 ? comp + 1 : -1);
        groups_.push_back(Group{field_first, count - field_first, rep >= 0, sort});
        ++field;
        piece = field_start = end + 1;
        field_first = count;
        buffer_mark = buffer_.size();
        rep = -1;
        comp = 0;
        sort = false;
    };

    std::size_t block = start;
    while (block < n) {
        if (pending_.size() - count < 17) {
            pending_.resize(std::max<std::size_t>(2 * pending_.size(), 64));
            items = pending_.data();
        }
        unsigned marks = marks_of(data + block, n - block, decode);
        std::size_t next = block + 16;
        while (marks != 0) {
            const std::size_t at = block + static_cast<std::size_t>(__builtin_ctz(marks));
            marks &= marks - 1;
            const char c = data[at];
            if (c == '^') {
                if (n - at >= 4 && std::memcmp(data + at + 1, "~\\&", 3) == 0) [[unlikely]] {
                    // The exemption marker: the field, up to the next "|",
                    // is one item, decoded when decoding (the marker holds
                    // the escape character).  Its items so far are dropped.
                    const void* bar = std::memchr(data + at, '|', n - at);
                    const std::size_t end =
                        bar == nullptr ? n : static_cast<std::size_t>(static_cast<const char*>(bar) - data);
                    count = field_first;
                    buffer_.resize(buffer_mark);
                    piece = field_start;
                    rep = -1;
                    comp = 0;
                    sort = false;
                    escaped = decode;
                    end_field(end);
                    if (end == n) {
                        items_ = count;
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
                if (rep < 0) {
                    // The field's first "~": what came before was its
                    // repetition 0.
                    rep = 0;
                    for (std::size_t i = field_first; i < count; ++i) items[i].rep = 0;
                }
                emit(at, comp > 0 ? comp + 1 : -1);
                sort |= ++rep == 10;
                comp = 0;
            } else {
                escaped = true;
            }
        }
        block = next;
    }
    if (pending_.size() == count) {
        pending_.resize(std::max<std::size_t>(2 * pending_.size(), 64));
        items = pending_.data();
    }
    end_field(n);
    items_ = count;
}

void FlatRecord::parse(std::string_view line, const Hl7EscapeHandler* handler, bool keys) {
    keys_.clear();
    key_spans_.clear();
    buffer_.clear();
    items_ = 0;
    groups_.clear();
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
                groups_.push_back(Group{0, 1, false, false});
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
        groups_.push_back(Group{first, items_ - first, f.repetitions.has_value(), sort});
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
