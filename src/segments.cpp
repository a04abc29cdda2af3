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

// The separators of the last handler a thread flattened with, kept by the
// handler's characters (not its address, which a new handler may reuse):
// building them, three small strings, cost as much as a short line.
const Separators& separators_of(const Hl7EscapeHandler* handler) {
    struct Kept {
        bool plain;
        char32_t rep, comp, esc;
        Separators seps{nullptr};
    };
    thread_local Kept kept{true, U'~', U'^', 0};
    const bool plain = handler == nullptr;
    const char32_t rep = plain ? U'~' : handler->repetition_separator;
    const char32_t comp = plain ? U'^' : handler->component_separator;
    const char32_t esc = plain ? 0 : handler->escape_character;
    if (kept.plain != plain || kept.rep != rep || kept.comp != comp || kept.esc != esc) {
        kept.seps = Separators(handler);
        kept.plain = plain;
        kept.rep = rep;
        kept.comp = comp;
        kept.esc = esc;
    }
    return kept.seps;
}

bool contains(std::string_view text, std::string_view what) { return text.find(what) != std::string_view::npos; }

// What one piece of a line holds, learnt in a single pass over it where the
// separators are single bytes (always, with the default handler) rather
// than one search per separator.
struct Scan {
    bool repetition = false;
    bool component = false;
    bool escape = false;
    bool exempt = false;  // holds "^~\&"

    Scan() = default;

    Scan(std::string_view t, const Separators& seps) {
        if (!seps.single_byte) {
            repetition = contains(t, seps.repetition);
            component = contains(t, seps.component);
            escape = !seps.escape.empty() && contains(t, seps.escape);
            exempt = contains(t, kEncodingCharacters);
            return;
        }
        const char rep = seps.repetition[0], comp = seps.component[0];
        const char esc = seps.escape.empty() ? '\0' : seps.escape[0];
        const bool decode = !seps.escape.empty();
        std::size_t i = 0;
#ifdef __SSE2__
        // Sixteen bytes at a time; only a block holding a "^" needs a closer
        // look, for the exemption marker.
        const __m128i vrep = _mm_set1_epi8(rep), vcomp = _mm_set1_epi8(comp), vesc = _mm_set1_epi8(esc);
        const __m128i vcaret = _mm_set1_epi8('^');
        __m128i seen_rep = _mm_setzero_si128(), seen_comp = seen_rep, seen_esc = seen_rep;
        for (; i + 16 <= t.size(); i += 16) {
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t.data() + i));
            seen_rep = _mm_or_si128(seen_rep, _mm_cmpeq_epi8(block, vrep));
            seen_comp = _mm_or_si128(seen_comp, _mm_cmpeq_epi8(block, vcomp));
            seen_esc = _mm_or_si128(seen_esc, _mm_cmpeq_epi8(block, vesc));
            if (exempt) continue;
            auto carets = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, vcaret)));
            while (carets != 0 && !exempt) {
                const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(carets));
                exempt = t.substr(at, kEncodingCharacters.size()) == kEncodingCharacters;
                carets &= carets - 1;
            }
        }
        repetition = _mm_movemask_epi8(seen_rep) != 0;
        component = _mm_movemask_epi8(seen_comp) != 0;
        escape = decode && _mm_movemask_epi8(seen_esc) != 0;
#endif
        for (; i < t.size(); ++i) {
            const char c = t[i];
            repetition |= c == rep;
            component |= c == comp;
            escape |= decode && c == esc;
            if (c == '^' && !exempt) exempt = t.substr(i, kEncodingCharacters.size()) == kEncodingCharacters;
        }
    }
};

// Calls f(piece, scan) for every "|"-separated piece of the line, learning
// what each piece holds in the same pass that finds its end: one walk over
// the line instead of a search for the next "|" and then a scan of the
// piece, which is what flattening spent most of its time on.  Needs
// one-byte separators (always so with the default handler).
template <class F>
void for_each_scanned_piece(std::string_view line, const Separators& seps, F&& f) {
    const char rep = seps.repetition[0], comp = seps.component[0];
    const bool decode = !seps.escape.empty();
    // Without decoding the escape character is of no interest: look for
    // "|" in its place, which ends the piece before anything else is asked.
    const char esc = decode ? seps.escape[0] : '|';
    // Only a piece holding "^" and "~" can hold the exemption marker (when
    // those are the separators); with others, every piece is searched.
    const bool marker_needs_both = rep == '~' && comp == '^';
    const char* const data = line.data();
    const std::size_t n = line.size();
    std::size_t start = 0;
    Scan scan;
    auto finish = [&](std::size_t end) {
        const std::string_view piece(data + start, end - start);
        if (!marker_needs_both || (scan.repetition && scan.component)) {
            scan.exempt = piece.find(kEncodingCharacters) != std::string_view::npos;
        }
        f(piece, static_cast<const Scan&>(scan));
        scan = Scan();
        start = end + 1;
    };
    auto see = [&](char c, std::size_t at) {
        if (c == '|') {
            finish(at);
            return;
        }
        scan.repetition |= c == rep;
        scan.component |= c == comp;
        scan.escape |= decode && c == esc;
    };
    std::size_t i = 0;
#ifdef __SSE2__
    // Sixteen bytes at a time; only the bytes that matter are looked at.
    const __m128i vbar = _mm_set1_epi8('|'), vrep = _mm_set1_epi8(rep), vcomp = _mm_set1_epi8(comp),
                  vesc = _mm_set1_epi8(esc);
    for (; i + 16 <= n; i += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        const __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, vbar), _mm_cmpeq_epi8(block, vrep)),
                                          _mm_or_si128(_mm_cmpeq_epi8(block, vcomp), _mm_cmpeq_epi8(block, vesc)));
        for (auto mask = static_cast<unsigned>(_mm_movemask_epi8(hits)); mask != 0; mask &= mask - 1) {
            const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(mask));
            see(data[at], at);
        }
    }
#endif
    for (; i < n; ++i) {
        const char c = data[i];
        if (c == '|' || c == rep || c == comp || c == esc) see(c, i);
    }
    finish(n);
}

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

// A number's decimal digits, big-endian from the top byte, then `end`:
// comparing these integers compares the texts "<digits><end>".  Numbers of
// more than seven digits do not fit: kTooLong.
constexpr std::uint64_t kTooLong = ~std::uint64_t{0};
std::uint64_t decimal_order(std::int64_t value, unsigned char end) {
    if (value < 0) return 0;  // no number: the only item of its kind
    const auto v = static_cast<std::uint64_t>(value);
    if (v < 10) return (std::uint64_t{'0' + v} << 56) | (std::uint64_t{end} << 48);
    if (v < 100) return (std::uint64_t{'0' + v / 10} << 56) | (std::uint64_t{'0' + v % 10} << 48) | (std::uint64_t{end} << 40);
    if (v >= 10000000) return kTooLong;
    char digits[8];
    const auto n = static_cast<std::size_t>(std::to_chars(digits, digits + 8, v).ptr - digits);
    std::uint64_t order = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        order = order << 8 | (i < n ? static_cast<unsigned char>(digits[i]) : i == n ? end : 0);
    }
    return order;
}

// Orders two numbers as their decimal texts, for those too long for
// decimal_order; where one text begins the other, `shorter_first` says
// which comes first.
bool decimal_less(std::uint64_t a, std::uint64_t b, bool shorter_first) {
    char x[20], y[20];
    const auto la = static_cast<std::size_t>(std::to_chars(x, x + 20, a).ptr - x);
    const auto lb = static_cast<std::size_t>(std::to_chars(y, y + 20, b).ptr - y);
    const int c = std::memcmp(x, y, std::min(la, lb));
    if (c != 0) return c < 0;
    if (la == lb) return false;
    return (la < lb) == shorter_first;
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

void FlatRecord::start_group(std::uint64_t field, bool repeated) {
    group_field_ = field;
    if (field >= 10000000) wide_ = true;
    groups_.push_back(Group{static_cast<std::uint32_t>(pending_.size()), 0, repeated, false});
}

void FlatRecord::add(std::uint64_t field, std::int64_t rep, std::int64_t comp, bool in_buffer, std::size_t off,
                     std::size_t len) {
    if (groups_.empty() || field != group_field_) start_group(field, rep >= 0);
    Group& group = groups_.back();
    ++group.count;
    // Below 10, numeric order is byte order ("2" < "3"); from 10 on it is not
    // ("10" < "2").
    if (rep >= 10 || comp >= 10) group.sort_items = true;

    std::size_t key_off = keys_.size();
    std::uint32_t key_len = 0;
    if (want_keys_) {
        char buf[kMaxKeyLength];
        const char* end = format_key(buf, field, rep, comp);
        key_len = static_cast<std::uint32_t>(end - buf);
        keys_.append(buf, key_len);
    }
    pending_.push_back(Pending{off, len, key_off, key_len, in_buffer, field, rep, comp});
}


// Byte order from the numbers, with no key text: the fields' groups are
// ordered by their digits (most segments are already in order below ten
// fields), then the items inside the few groups with an index of ten or
// more.  Cheaper than sorting every item by its key text, which took a
// good part of the time of flattening long segments.
void FlatRecord::put_in_key_order() {
    order_.clear();
    if (wide_) {
        // A field number of eight digits or more: sort every item by its
        // key text, written now if it was not.
        if (!want_keys_) {
            keys_.clear();
            for (Pending& p : pending_) {
                char buf[kMaxKeyLength];
                const char* end = format_key(buf, p.field, p.rep, p.comp);
                p.key_off = keys_.size();
                p.key_len = static_cast<std::uint32_t>(end - buf);
                keys_.append(buf, p.key_len);
            }
        }
        order_.resize(pending_.size());
        for (std::size_t i = 0; i < order_.size(); ++i) order_[i] = static_cast<std::uint32_t>(i);
        const char* keys = keys_.data();
        std::stable_sort(order_.begin(), order_.end(), [&](std::uint32_t a, std::uint32_t b) {
            const Pending &x = pending_[a], &y = pending_[b];
            return std::string_view(keys + x.key_off, x.key_len) < std::string_view(keys + y.key_off, y.key_len);
        });
        return;
    }
    // Fields 1 to 9 are in byte order as they are.
    if (groups_.size() < 10 &&
        std::none_of(groups_.begin(), groups_.end(), [](const Group& g) { return g.sort_items; })) {
        return;
    }
    order_.reserve(pending_.size());
    for (std::uint64_t field = 1; field <= 9 && field <= groups_.size(); ++field) append_in_key_order(field);
}

// The fields' keys in byte order are a walk of the tree of their digits:
// "3" and "3.1" come before "30" to "39" ("." and the end of the key come
// before the digits), and "3[0]" after them ("[" comes after the digits).
// So each field's group goes out before or after those of the fields that
// extend its number by a digit -- no comparison needed.  The depth is the
// number of digits, at most seven here.
void FlatRecord::append_in_key_order(std::uint64_t field) {
    const Group& g = groups_[field - 1];
    if (!g.repeated) append_group(g);
    for (std::uint64_t next = field * 10; next < field * 10 + 10 && next <= groups_.size(); ++next) {
        append_in_key_order(next);
    }
    if (g.repeated) append_group(g);
}

void FlatRecord::append_group(const Group& g) {
    const std::size_t start = order_.size();
    for (std::uint32_t i = 0; i < g.count; ++i) order_.push_back(g.first + i);
    if (!g.sort_items) return;
    // One field's items: the same field number, and repetitions in all or
    // none.  A repetition number is followed by "]", which comes after the
    // digits; a component number ends the key (a zero byte, before them).
    // Each item's place is worked out once, as integers.
    item_orders_.clear();
    bool too_long = false;
    for (std::size_t i = start; i < order_.size(); ++i) {
        const Pending& p = pending_[order_[i]];
        const ItemPlace o{decimal_order(p.rep, ']'), decimal_order(p.comp, 0), order_[i]};
        too_long = too_long || o.rep == kTooLong || o.comp == kTooLong;
        item_orders_.push_back(o);
    }
    if (too_long) {
        std::sort(order_.begin() + static_cast<std::ptrdiff_t>(start), order_.end(),
                  [this](std::uint32_t a, std::uint32_t b) {
                      const Pending &x = pending_[a], &y = pending_[b];
                      if (x.rep != y.rep) {
                          return decimal_less(static_cast<std::uint64_t>(x.rep), static_cast<std::uint64_t>(y.rep),
                                              false);
                      }
                      return decimal_less(static_cast<std::uint64_t>(x.comp), static_cast<std::uint64_t>(y.comp), true);
                  });
        return;
    }
    std::sort(item_orders_.begin(), item_orders_.end(), [](const ItemPlace& a, const ItemPlace& b) {
        return a.rep != b.rep ? a.rep < b.rep : a.comp < b.comp;
    });
    for (std::size_t i = 0; i < item_orders_.size(); ++i) order_[start + i] = item_orders_[i].index;
}

void FlatRecord::parse(std::string_view line, const Hl7EscapeHandler* handler, bool keys) {
    keys_.clear();
    buffer_.clear();
    pending_.clear();
    groups_.clear();
    order_.clear();
    want_keys_ = keys;
    wide_ = false;
    line_ = line.data();

    const Separators& seps = separators_of(handler);
    const char* const base = line.data();
    auto offset_in_line = [base](std::string_view v) { return static_cast<std::size_t>(v.data() - base); };

    // A decoded value goes to the buffer; a text without the escape character
    // is its own value, a view of the line.
    auto decoded = [&](std::uint64_t n, std::int64_t rep, std::int64_t comp, std::string_view text) {
        if (!contains(text, seps.escape)) {
            add(n, rep, comp, false, offset_in_line(text), text.size());
            return;
        }
        const std::size_t start = buffer_.size();
        handler->unescape_into(text, buffer_);
        add(n, rep, comp, true, start, buffer_.size() - start);
    };

    // One occurrence; rep < 0 for a field without repetitions.
    auto single = [&](std::uint64_t n, std::int64_t rep, std::string_view text, const Scan& scan) {
        const bool exempt = scan.exempt;
        if (scan.escape) {
            // Cut on the raw text, then decode each component: an escaped
            // separator is data.
            if (!exempt && scan.component) {
                std::int64_t j = 1;
                for_each_piece(text, seps.component, [&](std::string_view c) { decoded(n, rep, j++, c); });
            } else {
                const std::size_t start = buffer_.size();
                handler->unescape_into(text, buffer_);
                add(n, rep, -1, true, start, buffer_.size() - start);
            }
            return;
        }
        // Nothing to decode: the value is the text itself, a view of the line.
        if (!exempt && scan.component) {
            std::int64_t j = 1;
            for_each_piece(text, seps.component,
                              [&](std::string_view c) { add(n, rep, j++, false, offset_in_line(c), c.size()); });
        } else {
            add(n, rep, -1, false, offset_in_line(text), text.size());
        }
    };

    std::uint64_t n = 0;
    bool header = false;
    auto field = [&](std::string_view piece, const Scan& scan) {
        if (n++ == 0) {
            name_ = piece;
            header = is_header_segment(piece);
            return;
        }
        if (piece.empty() || (n == 2 && header)) {  // the header's field 1 is taken verbatim
            add(n - 1, -1, -1, false, offset_in_line(piece), piece.size());
            return;
        }
        if (!scan.exempt && scan.repetition) {
            std::int64_t r = 0;
            for_each_piece(piece, seps.repetition,
                              [&](std::string_view p) { single(n - 1, r++, p, Scan(p, seps)); });
        } else {
            single(n - 1, -1, piece, scan);
        }
    };
    if (seps.single_byte) {
        for_each_scanned_piece(line, seps, field);
    } else {
        for_each_piece(line, '|', [&](std::string_view piece) { field(piece, Scan(piece, seps)); });
    }

    put_in_key_order();
}

}  // namespace segmorph
