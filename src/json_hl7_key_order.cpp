// The rules by byte-wise key order (see json_hl7_key_order.hpp), and
// oracle_assemble_message, which writes every record by them.
#include "json_hl7_key_order.hpp"

#include <algorithm>

#include "json_hl7_bounds.hpp"

namespace segmorph {

namespace detail {

// Cells sorted by position, and those of one position by key -> one cell
// per position, the last: the key that comes last in byte order wins.
void Assembler::merge_equal_positions() {
    auto out = cells_.begin();
    for (auto it = cells_.begin(); it != cells_.end(); ++it) {
        if (it + 1 != cells_.end() && (it + 1)->pos == it->pos) continue;
        *out++ = *it;
    }
    cells_.erase(out, cells_.end());
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
// (The bound on a message's separators holds every run to a size that fits
// in memory.)
static inline void put_separators(std::string& out, std::uint64_t count, char sep) {
    if (count == 1) {
        out.push_back(sep);
    } else if (count != 0) {
        out.append(count, sep);
    }
}

// (Records in byte-wise key order: `seq` is that order.)
static bool by_position_then_key(const Cell& a, const Cell& b) {
    return a.pos < b.pos || (a.pos == b.pos && a.seq < b.seq);
}

void Assembler::record(const SegmentRecord& rec, std::string& out) {
    cells_.clear();
    std::optional<std::string_view> name;
    std::size_t seq = 0;
    for (const auto& [key, value] : rec) {
        if (key == kNameKey) {
            name = value;
            continue;
        }
        if (auto p = parse_key(key)) cells_.push_back(Cell{*p, seq++, value});
    }
    std::sort(cells_.begin(), cells_.end(), by_position_then_key);
    write_sorted(name, out);
}

void Assembler::write_sorted(std::optional<std::string_view> name, std::string& out) {
    merge_equal_positions();
    write(name, out);
}

void Assembler::write(std::optional<std::string_view> name, std::string& out) const {
    if (name) out.append(*name);  // never escaped
    // A header's field 1 holds the encoding characters, which are syntax:
    // every value placed there is written as it is.
    const bool escape_field_1 = escape_ && !(name && is_header_segment(*name));

    // One pass in position order.  Gaps become runs of separators: k empty
    // fields before field f are k + 1 "|" in a row, and so on.
    std::uint64_t field = 0;     // last field written (0: none yet)
    std::uint64_t rep = 0;       // last repetition written in it
    std::uint64_t comp = 1;      // last component written in that
    const Cell* open = nullptr;  // a cell of the repetition being written
    const std::size_t n = cells_.size();
    for (std::size_t i = 0; i < n; ++i) {
        const Cell& c = cells_[i];
        const std::uint64_t f = c.field();
        if (f == 0) continue;  // stored, never written
        if (f != field) {
            // Without a name the first part of the line has no separator
            // before it.
            put_separators(out, f - field - (!name && field == 0 ? 1 : 0), '|');
            field = f;
            rep = 0;
        }
        if (open == nullptr || !c.same_rep(*open)) {
            put_separators(out, c.rep() - rep, '~');
            rep = c.rep();
            comp = 1;
            open = &c;
        }
        const std::uint64_t k = c.comp();
        if (k == 0) {
            // Component 0 stands for the whole repetition only when nothing
            // else is stored in it; it sorts first, so look ahead.
            if (i + 1 < n && cells_[i + 1].same_rep(c)) continue;
        } else {
            put_separators(out, k - comp, '^');
            comp = k;
        }
        put_value(c.value, f == 1 ? escape_field_1 : escape_, out);
    }
}

}  // namespace detail

Result<std::string> oracle_assemble_message(const std::vector<SegmentRecord>& records, const Hl7EscapeHandler& handler,
                                            EscapeMode mode) {
    std::uint64_t entries = 0;
    for (const SegmentRecord& rec : records) entries += rec.size();
    detail::SeparatorBudget budget(entries);
    for (std::size_t r = 0; r < records.size(); ++r) {
        if (auto error = budget.charge(records[r], r)) return Hl7Error::invalid_format(*error);
    }

    detail::Assembler assembler(handler, mode);
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
