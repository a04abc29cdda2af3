#include "segments.hpp"

#include "utils.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace segmorph {

// ------------------------------------------------------------ SegmentRecord

SegmentRecord::SegmentRecord(std::vector<Entry> entries) : entries_(std::move(entries)) {
    // Records usually arrive in key order already (from a parse, or from a
    // dict that was itself built from one): nothing to do then.
    if (std::adjacent_find(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
            return !(a.first < b.first);
        }) == entries_.end()) {
        return;
    }
    // Stable, so among equal keys the original order survives and the last
    // one given can be kept.
    std::stable_sort(entries_.begin(), entries_.end(),
                     [](const Entry& a, const Entry& b) { return a.first < b.first; });
    auto out = entries_.begin();
    for (auto it = entries_.begin(); it != entries_.end();) {
        auto last = it;
        while (last + 1 != entries_.end() && (last + 1)->first == it->first) ++last;
        if (out != last) *out = std::move(*last);
        ++out;
        it = last + 1;
    }
    entries_.erase(out, entries_.end());
}

// ------------------------------------------------------------------ parsing

namespace {

// The separators in force for one parse.  Both modes use "~" and "^" with the
// default handler; a handler could in principle carry other characters, so
// they are searched as UTF-8 texts.
struct Separators {
    std::string repetition;
    std::string component;
    std::string escape;  // empty in plain mode: nothing is decoded

    explicit Separators(const Hl7EscapeHandler* handler) {
        if (handler == nullptr) {
            repetition = "~";
            component = "^";
        } else {
            repetition = handler->repetition_separator_utf8();
            component = handler->component_separator_utf8();
            escape = handler->escape_character_utf8();
        }
        single_byte = repetition.size() == 1 && component.size() == 1 && escape.size() <= 1;
    }

    bool single_byte = false;  // all separators are one byte: scan bytewise
};

bool contains(std::string_view text, std::string_view what) { return text.find(what) != std::string_view::npos; }

std::vector<std::string> split_owned(std::string_view text, std::string_view sep) {
    std::vector<std::string> pieces;
    for_each_piece(text, sep, [&](std::string_view p) { pieces.emplace_back(p); });
    return pieces;
}

// One occurrence (a whole field, or one repetition of it).
Hl7Field parse_single(std::string_view text, bool exempt, const Separators& seps, const Hl7EscapeHandler* handler) {
    Hl7Field field;
    if (handler == nullptr) {
        field.value.assign(text);
        if (!exempt && contains(text, seps.component)) field.components = split_owned(text, seps.component);
        return field;
    }
    field.value = handler->unescape(text);
    // Components are cut on the raw text: an escaped separator is data.
    if (!exempt && contains(text, seps.component)) field.components = handler->parse_field_with_escaping(text);
    return field;
}

Hl7Field parse_field(std::string_view text, const Separators& seps, const Hl7EscapeHandler* handler) {
    if (text.empty()) return Hl7Field{};
    const bool exempt = contains(text, kEncodingCharacters);
    if (!exempt && contains(text, seps.repetition)) {
        Hl7Field field;
        field.value.assign(text);
        field.repetitions.emplace();
        for_each_piece(text, seps.repetition, [&](std::string_view piece) {
            field.repetitions->push_back(parse_single(piece, false, seps, handler));
        });
        return field;
    }
    return parse_single(text, exempt, seps, handler);
}

}  // namespace

Hl7Field Hl7Field::from_string(std::string_view text, const Hl7EscapeHandler* handler) {
    return parse_field(text, Separators(handler), handler);
}

Hl7Segment Hl7Segment::from_string(std::string_view line, const Hl7EscapeHandler* handler) {
    const Separators seps(handler);
    Hl7Segment segment;
    bool first = true;
    for_each_piece(line, '|', [&](std::string_view piece) {
        if (first) {
            segment.name.assign(piece);
            first = false;
        } else if (segment.fields.empty() && is_header_segment(segment.name)) {
            segment.fields.push_back(Hl7Field{std::string(piece), std::nullopt, std::nullopt});
        } else {
            segment.fields.push_back(parse_field(piece, seps, handler));
        }
    });
    return segment;
}

SegmentRecord Hl7Segment::to_json() const {
    std::vector<SegmentRecord::Entry> entries;
    entries.emplace_back("segment_name", name);
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const std::string n = std::to_string(i + 1);
        const Hl7Field& f = fields[i];
        if (f.repetitions) {
            for (std::size_t r = 0; r < f.repetitions->size(); ++r) {
                const Hl7Field& rep = (*f.repetitions)[r];
                const std::string nr = n + "[" + std::to_string(r) + "]";
                if (!rep.components) {
                    entries.emplace_back(nr, rep.value);
                } else {
                    for (std::size_t j = 0; j < rep.components->size(); ++j) {
                        entries.emplace_back(nr + "." + std::to_string(j + 1), (*rep.components)[j]);
                    }
                }
            }
        } else if (!f.components) {
            entries.emplace_back(n, f.value);
        } else {
            for (std::size_t j = 0; j < f.components->size(); ++j) {
                entries.emplace_back(n + "." + std::to_string(j + 1), (*f.components)[j]);
            }
        }
    }
    return SegmentRecord(std::move(entries));
}

// --------------------------------------------------------------- FlatRecord

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
    __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8('|')),
                                             _mm_cmpeq_epi8(block, _mm_set1_epi8('~'))),
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

    std::size_t piece = start;        // where the current component starts
    std::size_t field_start = start;  // where the current field starts
    std::size_t field_first = count;  // its first item
    std::size_t buffer_mark = buffer_.size();  // buffer_'s size when it started
    std::int64_t rep = -1;            // its repetition, -1 before its first "~"
    std::int64_t comp = 0;            // "^" seen in the current occurrence
    bool escaped = false;             // the current component holds "\"
    bool sort = false;                // the field has an index of ten or more

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
                    const std::size_t end = bar == nullptr ? n : static_cast<std::size_t>(static_cast<const char*>(bar) - data);
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

namespace {

// Calls visit(v) for v and every number up to `limit` whose decimal text
// begins with v's, in the byte order of those texts when each is followed
// by a byte that sorts before the digits ("." or the end of a key) or,
// where late(v), after them ("[" or "]").  The order of such texts is a walk
// of the tree of their digits: v comes before or after the numbers that
// extend it by a digit, and no two texts need comparing.  The depth is the
// number of digits.
template <class Late, class Visit>
void walk_decimal(std::uint64_t v, std::uint64_t limit, const Late& late, const Visit& visit) {
    const bool after = late(v);
    if (!after) visit(v);
    if (v <= limit / 10) {
        for (std::uint64_t next = v * 10; next <= v * 10 + 9 && next <= limit; ++next) {
            walk_decimal(next, limit, late, visit);
        }
    }
    if (after) visit(v);
}

}  // namespace

// Byte order from the numbers, with no key text: the fields' groups go out
// in the remembered order of their shape (segments of up to nine fields are
// in order as they are), then the items inside the few groups with an index
// of ten or more are walked the same way.  Cheaper than sorting every item
// by its key text, which took a good part of the time of flattening long
// segments, and than working out the fields' order again for every line.
void FlatRecord::put_in_key_order() {
    const bool sort_items = std::any_of(groups_.begin(), groups_.end(), [](const Group& g) { return g.sort_items; });
    if (groups_.size() < 10 && !sort_items) return;
    order_.resize(items_);
    std::size_t* out = order_.data();
    const std::uint64_t fields = groups_.size();
    auto visit = [&](std::uint64_t field) { out = append_group(groups_[field - 1], out); };
    if (fields > kMaxRememberedFields) {
        auto repeated = [&](std::uint64_t field) { return groups_[field - 1].repeated; };
        for (std::uint64_t field = 1; field <= 9 && field <= fields; ++field) {
            walk_decimal(field, fields, repeated, visit);
        }
        return;
    }
    for (const std::uint32_t g : field_order()) {
        const Group& group = groups_[g];
        if (sort_items && group.sort_items) {
            out = append_group(group, out);
            continue;
        }
        for (std::size_t i = 0; i < group.count; ++i) *out++ = group.first + i;
    }
}

const std::vector<std::uint32_t>& FlatRecord::field_order() {
    const std::uint64_t fields = groups_.size();
    std::uint64_t repeats = 0;
    for (std::uint64_t f = 1; f <= fields / 10; ++f) repeats |= std::uint64_t{groups_[f - 1].repeated} << (f - 1);
    if (field_orders_.empty()) field_orders_.resize(kFieldOrderSlots);
    FieldOrder& slot = field_orders_[((fields ^ repeats * 0xff51afd7ed558ccdull) * 0x9E3779B97F4A7C15ull) >> 56];
    if (slot.fields == fields && slot.repeats == repeats) return slot.order;
    slot.fields = fields;
    slot.repeats = repeats;
    slot.order.clear();
    auto repeated = [&](std::uint64_t field) { return groups_[field - 1].repeated; };
    auto visit = [&](std::uint64_t field) { slot.order.push_back(static_cast<std::uint32_t>(field - 1)); };
    for (std::uint64_t field = 1; field <= 9 && field <= fields; ++field) walk_decimal(field, fields, repeated, visit);
    return slot.order;
}

// A field's item indices at `out`, in key order; returns their end.  Its
// keys share the field number and have repetitions in all or none: the
// repetition numbers ("r]", "]" after the digits) order the repetitions,
// the component numbers (which end the key, before the digits) the items
// of one repetition.
std::size_t* FlatRecord::append_group(const Group& g, std::size_t* out) const {
    if (!g.sort_items) {
        for (std::size_t i = 0; i < g.count; ++i) *out++ = g.first + i;
        return out;
    }
    auto never = [](std::uint64_t) { return false; };
    // The items of one occurrence: the single one, or components 1 to n.
    auto occurrence = [&](std::size_t first, std::size_t count) {
        if (count < 10) {
            for (std::size_t i = 0; i < count; ++i) *out++ = first + i;
            return;
        }
        auto visit = [&](std::uint64_t comp) { *out++ = first + comp - 1; };
        for (std::uint64_t comp = 1; comp <= 9; ++comp) walk_decimal(comp, count, never, visit);
    };
    if (!g.repeated) {
        occurrence(g.first, g.count);
        return out;
    }
    // The repetitions are 0 to n - 1, each with at least one item.
    const std::size_t end = g.first + g.count;
    auto occurrence_of = [&](std::uint64_t rep) {
        // Repetitions are made in order, so rep r's items sit between the
        // first item of rep r and the first of rep r + 1.
        auto at = std::partition_point(pending_.begin() + static_cast<std::ptrdiff_t>(g.first),
                                       pending_.begin() + static_cast<std::ptrdiff_t>(end),
                                       [&](const Pending& p) { return static_cast<std::uint64_t>(p.rep) < rep; });
        auto stop = std::partition_point(at, pending_.begin() + static_cast<std::ptrdiff_t>(end),
                                         [&](const Pending& p) { return static_cast<std::uint64_t>(p.rep) <= rep; });
        occurrence(static_cast<std::size_t>(at - pending_.begin()), static_cast<std::size_t>(stop - at));
    };
    const auto reps = static_cast<std::uint64_t>(pending_[end - 1].rep) + 1;
    auto always = [](std::uint64_t) { return true; };
    occurrence_of(0);  // "0]" has no longer relatives: no number starts with 0
    for (std::uint64_t rep = 1; rep <= 9 && rep < reps; ++rep) walk_decimal(rep, reps - 1, always, occurrence_of);
    return out;
}

}  // namespace segmorph
