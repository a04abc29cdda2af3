// The rules by byte-wise key order (see json_hl7_key_order.hpp), and
// oracle_assemble_message, which writes every record by them.
#include "json_hl7_key_order.hpp"

#include <algorithm>

namespace segmorph {

namespace detail {

// the key that comes last in byte order and the index of the one that comes
// first.
void Assembler::merge_equal_positions() {
    auto out = cells_.begin();
    for (auto it = cells_.begin(); it != cells_.end();) {
        Cell merged = *it;
        std::uint32_t last_seq = merged.seq;
        for (++it; it != cells_.end() && it->pos == merged.pos; ++it) {
            if (it->seq > last_seq) {
                last_seq = it->seq;
                merged.value = it->value;
            }
            merged.seq = std::min(merged.seq, it->seq);
        }
        *out++ = merged;
    }
    cells_.erase(out, cells_.end());
}

// Separators the cells would write: the "|" before each field up to the
// largest, the "~" inside each field, the "^" inside each repetition.
// Field 0 is never written and costs nothing.
std::uint64_t Assembler::separators_needed() const {
    std::uint64_t total = 0;
    const std::size_t n = cells_.size();
    if (n == 0) return 0;
    total += cells_[n - 1].field();
    for (std::size_t i = 0; i < n; ++i) {
        const Cell& c = cells_[i];
        if (c.field() == 0) continue;
        const bool last_of_field = i + 1 == n || cells_[i + 1].field() != c.field();
        const bool last_of_rep = last_of_field || cells_[i + 1].rep() != c.rep();
        if (last_of_field) total += c.rep();
        if (last_of_rep) total += comp_cost(c.comp());
    }
    return total;
}

// The record needs more separators than the budget has left: admit keys in
// byte-wise order while they fit, dropping any key that would overdraw.
//
// Deciding per position rather than per key gives the same result: placing
// other keys never makes a position cheaper by more than they cost, so a
// position too dear for the budget stays too dear for every later key, and
// one already placed costs nothing more.
//
// The cells are sorted by position; group ids taken from that order let the
// key-order walk track each field's largest repetition and each
// repetition's largest component in flat arrays.
void Assembler::spend_budget_in_key_order() {
    const std::size_t n = cells_.size();
    order_.resize(n);
    field_group_.resize(n);
    rep_group_.resize(n);
    std::uint32_t groups = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const bool new_field = i == 0 || cells_[i - 1].field() != cells_[i].field();
        const bool new_rep = new_field || cells_[i - 1].rep() != cells_[i].rep();
        field_group_[i] = new_field ? groups++ : field_group_[i - 1];
        rep_group_[i] = new_rep ? groups++ : rep_group_[i - 1];
        order_[i] = static_cast<std::uint32_t>(i);
    }
    std::sort(order_.begin(), order_.end(),
              [this](std::uint32_t a, std::uint32_t b) { return cells_[a].seq < cells_[b].seq; });
    group_max_.assign(groups, 0);
    group_seen_.assign(groups, false);

    std::uint32_t max_field = 0;
    for (const std::uint32_t i : order_) {
        Cell& c = cells_[i];
        const std::uint32_t f = c.field();
        if (f == 0) continue;  // stored, never written
        const std::uint32_t fg = field_group_[i], rg = rep_group_[i];

        std::uint64_t cost = f > max_field ? f - max_field : 0;
        const std::uint32_t old_rep = group_seen_[fg] ? group_max_[fg] : 0;
        cost += c.rep() > old_rep ? c.rep() - old_rep : 0;
        const std::uint32_t old_comp = group_seen_[rg] ? group_max_[rg] : 0;
        cost += comp_cost(std::max(old_comp, c.comp())) - comp_cost(old_comp);

        if (cost > budget_) {
            c.dropped = true;
            continue;
        }
        budget_ -= cost;
        max_field = std::max(max_field, f);
        group_max_[fg] = std::max(old_rep, c.rep());
        group_max_[rg] = std::max(old_comp, c.comp());
        group_seen_[fg] = group_seen_[rg] = true;
    }
    cells_.erase(std::remove_if(cells_.begin(), cells_.end(), [](const Cell& c) { return c.dropped; }),
                 cells_.end());
}

void Assembler::put_value(std::string_view value, bool escape, std::string& out) const {
    if (!escape) {
        out.append(value);
        return;
    }
    if (mode_ == EscapeMode::Minimal) {
        // Byte by byte from the table; the escape character as full
        // escaping writes it (an unknown sequence it opens is kept whole).
        const StandardByteCode* codes = minimal_byte_codes();
        std::string sequence;
        for (std::size_t k = 0; k < value.size();) {
            const StandardByteCode& code = codes[static_cast<unsigned char>(value[k])];
            if (code.count != 0) {
                out.append(code.bytes, code.count);
                ++k;
                continue;
            }
            // (Room for all that is left, escaped at its longest: a kept
            // sequence may run on.)
            sequence.resize((value.size() - k) * Hl7EscapeHandler::kMaxEscapedBytes + 8);
            const char* end = handler_.escape_standard_at(value, k, sequence.data());
            out.append(sequence.data(), static_cast<std::size_t>(end - sequence.data()));
        }
        return;
    }
    if (standard_) {
        // Most values hold nothing to escape: find that out here, with a
        // table, and copy them in one go.  From the first byte that may need
        // escaping on, the handler takes over; what it writes for a byte
        // never depends on the text before it.
        const auto* p = reinterpret_cast<const unsigned char*>(value.data());
        std::size_t i = 0;
        while (i < value.size() && !kStandardEscapeBytes[p[i]]) ++i;
        out.append(value.data(), i);
        if (i == value.size()) return;
        value.remove_prefix(i);
    }
    handler_.escape_into(value, out);
}

// Runs of one separator: mostly a single one, which push_back writes faster.
static inline void put_separators(std::string& out, std::uint64_t count, char sep) {
    if (count == 1) {
        out.push_back(sep);
    } else if (count != 0) {
        out.append(count, sep);
    }
}

static bool by_position(const Cell& a, const Cell& b) { return a.pos < b.pos; }

void Assembler::record(const SegmentRecord& rec, std::string& out) {
    cells_.clear();
    std::optional<std::string_view> name;
    std::uint32_t seq = 0;
    for (const auto& [key, value] : rec) {
        if (key == kNameKey) {
            name = value;
            continue;
        }
        if (auto p = parse_key(key)) cells_.push_back(Cell{pack(*p), seq++, false, value});
    }
    std::sort(cells_.begin(), cells_.end(), by_position);
    merge_equal_positions();

    const std::uint64_t need = separators_needed();
    if (need <= budget_) {
        budget_ -= need;
    } else {
        spend_budget_in_key_order();
    }
    write(name, out);
}

void Assembler::write(std::optional<std::string_view> name, std::string& out) const {
    if (name) out.append(*name);  // never escaped
    // A header's field 1 holds the encoding characters, which are syntax:
    // every value placed there is written as it is.
    const bool escape_field_1 = escape_ && !(name && is_header_segment(*name));

    // One pass in position order.  Gaps become runs of separators: k empty
    // fields before field f are k + 1 "|" in a row, and so on.
    std::uint32_t field = 0;        // last field written (0: none yet)
    std::uint32_t rep = 0;          // last repetition written in it
    std::uint32_t comp = 1;         // last component written in that
    std::uint64_t open_rep = ~0ull;  // field_rep() of the repetition being written
    const std::size_t n = cells_.size();
    for (std::size_t i = 0; i < n; ++i) {
        const Cell& c = cells_[i];
        const std::uint32_t f = c.field();
        if (f == 0) continue;  // stored, never written
        if (f != field) {
            // Without a name the first part of the line has no separator
            // before it.
            put_separators(out, f - field - (!name && field == 0 ? 1 : 0), '|');
            field = f;
            rep = 0;
        }
        if (c.field_rep() != open_rep) {
            put_separators(out, c.rep() - rep, '~');
            rep = c.rep();
            comp = 1;
            open_rep = c.field_rep();
        }
        const std::uint32_t k = c.comp();
        if (k == 0) {
            // Component 0 stands for the whole repetition only when nothing
            // else is stored in it; it sorts first, so look ahead.
            if (i + 1 < n && cells_[i + 1].field_rep() == open_rep) continue;
        } else {
            put_separators(out, k - comp, '^');
            comp = k;
        }
        put_value(c.value, f == 1 ? escape_field_1 : escape_, out);
    }
}

}  // namespace detail

std::string oracle_assemble_message(const std::vector<SegmentRecord>& records, const Hl7EscapeHandler& handler,
                                    EscapeMode mode) {
    std::uint64_t entries = 0;
    for (const SegmentRecord& rec : records) entries += rec.size();
    detail::Assembler assembler(handler, mode, detail::kSeparatorBase + detail::kSeparatorsPerEntry * entries);

    std::string out;
    bool first = true;
    for (const SegmentRecord& rec : records) {
        if (!first) out.push_back('\n');
        first = false;
        assembler.record(rec, out);
    }
    return out;
}

}  // namespace segmorph
