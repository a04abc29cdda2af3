// The segment model: SegmentRecord, the sorted record of one segment, and
// Hl7Field / Hl7Segment, a line parsed into owned fields.  The simple,
// allocating form of a segment; the fast flattening that the binding and
// the command use lives in segments_flat.cpp and segments_key_order.cpp.
#include "segments.hpp"

#include "lines.hpp"

#include <algorithm>

namespace segmorph {

// ------------------------------------------------------------ SegmentRecord

SegmentRecord::SegmentRecord(std::vector<Entry> entries) : entries_(std::move(entries)) {
    // Records usually arrive in key order already (from a parse, or from a
    // dict that was itself built from one): nothing to do then.
    if (std::adjacent_find(entries_.begin(), entries_.end(),
                           [](const Entry& a, const Entry& b) { return !(a.first < b.first); }) == entries_.end()) {
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

    explicit Separators(const Hl7EscapeHandler* handler)
        : repetition(handler == nullptr ? std::string("~") : handler->repetition_separator_utf8()),
          component(handler == nullptr ? std::string("^") : handler->component_separator_utf8()),
          escape(handler == nullptr ? std::string() : handler->escape_character_utf8()) {
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

}  // namespace segmorph
