#include "json_hl7.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#define SEGMORPH_HAVE_MMAP 1
#else
#define SEGMORPH_HAVE_MMAP 0
#endif

#include <nlohmann/json.hpp>
#include <yyjson.h>

#include "utils.hpp"

namespace segmorph {

// ------------------------------------------------------------------ assembly
//
// A record's keys are read into a flat vector of cells (field, repetition,
// component, value), sorted by position and written out in one pass.  No
// tree is built: records are small, and one vector reused across the whole
// message costs no allocation per key once it has grown.  JsonHl7 reads each
// key's position once, when the record is added, and needs the keys' byte
// order only in the rare records where it decides anything (two keys for
// one position, a budget running short); keys in position order need no
// sort at all.
//
// Bounds.  Gaps below the largest index are filled with empty texts, so an
// index is a request for that many separators.  Two limits keep a hostile
// key from turning a few bytes of input into gigabytes of output:
//
//  * every index (field, repetition, component) must be at most
//    kMaxIndex = 100000; real segments have well under a hundred fields,
//    data types a few dozen components, and fields rarely more than a few
//    thousand repetitions;
//  * the separators ("|", "~", "^") written for a whole message may not
//    exceed kSeparatorBase plus kSeparatorsPerEntry for every record entry.
//    A record parsed from HL7 text writes at most one separator per entry,
//    so only records that ask for large gaps ever come near this.
//
// A key beyond either limit is ignored like any other unusable key.  The
// budget is spent record by record and, inside a record, in byte-wise key
// order, so which keys survive is decided by the input alone.

namespace {

constexpr std::uint32_t kMaxIndex = 100000;
constexpr std::uint64_t kSeparatorBase = 1000000;
constexpr std::uint64_t kSeparatorsPerEntry = 16;

constexpr std::string_view kNameKey = "segment_name";

// A position number: one optional leading "+", then ASCII digits (leading
// zeros allowed).  Values above kMaxIndex, including those that would not
// fit in 64 bits, are refused here, which ignores the key just as a text
// that is no number at all would.
std::optional<std::uint32_t> position_number(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
        // Checked per digit, so the value never grows past ten times the
        // bound and cannot wrap.
        if (value > kMaxIndex) return std::nullopt;
    }
    return value;
}

struct Position {
    std::uint32_t field, rep, comp;
};

// Reads plain digits at text[i...]; false when there are none or the value
// is beyond the bound.
bool digits(std::string_view text, std::size_t& i, std::uint32_t& value) {
    const std::size_t start = i;
    value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        value = value * 10 + static_cast<std::uint32_t>(text[i] - '0');
        if (value > kMaxIndex) return false;
        ++i;
    }
    return i > start;
}

// The keys that flattening writes ("3", "3.1", "3[0]", "3[0].1", plain
// digits within the bound) in one pass; the general rules give these keys
// the same positions.  Any other key, or an index beyond the bound, is left
// to the general rules.
std::optional<Position> parse_common_key(std::string_view key) {
    std::size_t i = 0;
    std::uint32_t n = 0, r = 0, k = 0;
    if (!digits(key, i, n)) return std::nullopt;
    if (i == key.size()) return Position{n, 0, 0};
    if (key[i] == '[') {
        ++i;
        if (!digits(key, i, r) || i == key.size() || key[i] != ']') return std::nullopt;
        ++i;
        if (i == key.size()) return Position{n, r, 0};
        if (key[i] != '.') return std::nullopt;
    } else if (key[i] != '.') {
        return std::nullopt;
    }
    ++i;
    if (!digits(key, i, k) || i != key.size()) return std::nullopt;
    return Position{n, r, k};
}

// Reads one key; nullopt for every key the assembly does not use.
std::optional<Position> parse_key(std::string_view key) {
    if (auto p = parse_common_key(key)) return p;
    if (auto n = position_number(key)) return Position{*n, 0, 0};

    const std::size_t open = key.find('[');
    const std::size_t close = key.find(']');
    if (open != std::string_view::npos && close != std::string_view::npos) {
        // From here on the key is read as a bracketed one or not at all.
        if (close < open) return std::nullopt;
        auto n = position_number(key.substr(0, open));
        auto r = position_number(key.substr(open + 1, close - open - 1));
        if (!n || !r) return std::nullopt;
        if (close + 1 == key.size() || key[close + 1] != '.') return Position{*n, *r, 0};
        auto k = position_number(key.substr(close + 2));
        if (!k) return std::nullopt;
        return Position{*n, *r, *k};
    }

    const std::size_t dot = key.find('.');
    if (dot != std::string_view::npos) {
        // Exactly two pieces: a second "." makes the component text fail.
        auto n = position_number(key.substr(0, dot));
        auto k = position_number(key.substr(dot + 1));
        if (!n || !k) return std::nullopt;
        return Position{*n, 0, *k};
    }
    return std::nullopt;
}

struct Cell {
    // field << 34 | rep << 17 | comp: indices are below 2^17, so the packed
    // order is the order of (field, rep, comp).
    std::uint64_t pos;
    // Index of the entry in the record, which is in byte-wise key order.
    // After merging the keys of one position: the first key's index, the
    // moment the budget decides on the position.
    std::uint32_t seq;
    bool dropped;
    std::string_view value;

    std::uint32_t field() const { return static_cast<std::uint32_t>(pos >> 34); }
    std::uint32_t rep() const { return static_cast<std::uint32_t>((pos >> 17) & 0x1FFFF); }
    std::uint32_t comp() const { return static_cast<std::uint32_t>(pos & 0x1FFFF); }
    // Field and repetition together, to spot a change of repetition.
    std::uint64_t field_rep() const { return pos >> 17; }
};

static_assert(kMaxIndex < (1u << 17), "indices must fit the packed position");

constexpr std::uint64_t pack(const Position& p) {
    return (std::uint64_t{p.field} << 34) | (std::uint64_t{p.rep} << 17) | p.comp;
}

// Separators that a repetition's largest component index costs.
constexpr std::uint64_t comp_cost(std::uint32_t max_comp) { return max_comp >= 1 ? max_comp - 1 : 0; }

class Assembler {
public:
    Assembler(const Hl7EscapeHandler& handler, bool escape, std::uint64_t budget)
        : handler_(handler), escape_(escape), standard_(has_standard_delimiters(handler)), budget_(budget) {}

    // A record given as its entries in byte-wise key order.
    void record(const SegmentRecord& rec, std::string& out);
    // What is left of the separator budget, for a writer that checks it
    // itself (JsonHl7's) and then spends it.
    std::uint64_t budget() const { return budget_; }
    void spend(std::uint64_t separators) { budget_ -= separators; }

private:
    void write(std::optional<std::string_view> name, std::string& out) const;
    void merge_equal_positions();
    std::uint64_t separators_needed() const;
    void spend_budget_in_key_order();
    void put_value(std::string_view value, bool escape, std::string& out) const;

    const Hl7EscapeHandler& handler_;
    bool escape_;
    bool standard_;  // the handler's delimiters are the standard ones
    std::uint64_t budget_;
    std::vector<Cell> cells_;
    // Scratch for the slow path of the budget.
    std::vector<std::uint32_t> order_, field_group_, rep_group_, group_max_;
    std::vector<bool> group_seen_;
};

// Cells sorted by position -> one cell per position, holding the value of
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
inline void put_separators(std::string& out, std::uint64_t count, char sep) {
    if (count == 1) {
        out.push_back(sep);
    } else if (count != 0) {
        out.append(count, sep);
    }
}

bool by_position(const Cell& a, const Cell& b) { return a.pos < b.pos; }

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

}  // namespace

std::string assemble_message(const std::vector<SegmentRecord>& records, const Hl7EscapeHandler& handler,
                             bool escape) {
    std::uint64_t entries = 0;
    for (const SegmentRecord& rec : records) entries += rec.size();
    Assembler assembler(handler, escape, kSeparatorBase + kSeparatorsPerEntry * entries);

    std::string out;
    bool first = true;
    for (const SegmentRecord& rec : records) {
        if (!first) out.push_back('\n');
        first = false;
        assembler.record(rec, out);
    }
    return out;
}

// ---------------------------------------------------------------- JSON input

namespace {

using json = nlohmann::json;

// The parser's message quotes the text it last read after "; last read: '":
// a whole string token, however long, and as raw bytes, so a syntax error in
// the middle of a multi-byte character quotes part of it.  The quote is
// replaced by its bounded, valid form; any other text of the message goes
// through the same filter, so the result is always valid UTF-8.
std::string bounded_parser_message(std::string_view what, std::string_view last_token) {
    static constexpr std::string_view kLastRead = "; last read: '";
    const std::size_t at = what.find(kLastRead);
    if (at != std::string_view::npos) {
        const std::size_t token_at = at + kLastRead.size();
        if (what.substr(token_at, last_token.size()) == last_token) {
            constexpr std::size_t kWhole = SIZE_MAX;
            return quote_input(what.substr(0, token_at), kWhole) + quote_input(last_token) +
                   quote_input(what.substr(token_at + last_token.size()), kWhole);
        }
    }
    return quote_input(what);
}

// 1-based line and column of the byte at `pos`, counted as the parser counts
// them in its messages (lines end at "\n", columns count bytes).
std::string parser_position(std::string_view text, std::size_t pos) {
    const std::string_view before = text.substr(0, pos);
    const std::size_t line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
    const std::size_t line_start = before.rfind('\n');
    const std::size_t column = pos - (line_start == std::string_view::npos ? 0 : line_start + 1) + 1;
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

// Builds records straight from the parser's events: no document tree.
// Accepts exactly an array of objects whose member values are strings.
class RecordsSax {
public:
    std::vector<SegmentRecord> records;
    std::string error;

    bool null() { return wrong("null"); }
    bool boolean(bool) { return wrong("a boolean"); }
    bool number_integer(json::number_integer_t) { return wrong("a number"); }
    bool number_unsigned(json::number_unsigned_t) { return wrong("a number"); }
    bool number_float(json::number_float_t, const json::string_t&) { return wrong("a number"); }
    bool binary(json::binary_t&) { return wrong("binary data"); }

    bool string(json::string_t& value) {
        if (state_ != State::InObject) return wrong("a string");
        entries_.emplace_back(std::move(key_), std::move(value));
        return true;
    }
    bool start_object(std::size_t) {
        if (state_ != State::InArray) return wrong("an object");
        state_ = State::InObject;
        return true;
    }
    bool key(json::string_t& k) {
        key_ = std::move(k);
        return true;
    }
    bool end_object() {
        // SegmentRecord keeps the later of two equal keys.
        records.emplace_back(std::move(entries_));
        entries_.clear();
        ++element_;
        state_ = State::InArray;
        return true;
    }
    bool start_array(std::size_t) {
        if (state_ != State::Top) return wrong("an array");
        state_ = State::InArray;
        return true;
    }
    bool end_array() {
        state_ = State::Done;
        return true;
    }
    bool parse_error(std::size_t, const std::string& last_token, const json::exception& ex) {
        error = bounded_parser_message(ex.what(), last_token);
        return false;
    }

private:
    enum class State { Top, InArray, InObject, Done };

    bool wrong(const char* found) {
        switch (state_) {
            case State::Top:
                error = std::string("the top-level value must be an array of objects, found ") + found;
                break;
            case State::InArray:
                error = "element " + std::to_string(element_) + " of the array must be an object, found " + found;
                break;
            default:
                error = "the value of key " + json(quote_input(key_)).dump() +
                        " in element " + std::to_string(element_) + " must be a string, found " + found;
                break;
        }
        return false;
    }

    State state_ = State::Top;
    std::size_t element_ = 0;
    std::string key_;
    std::vector<SegmentRecord::Entry> entries_;
};

}  // namespace

Result<std::vector<SegmentRecord>> parse_json_records(std::string_view text) {
    // The parser skips a leading byte-order mark without a word; JSON text
    // exchanged between systems must not carry one (RFC 8259, 8.1).
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        return Hl7Error::invalid_format(
            "Invalid JSON: parse error at line 1, column 1: a byte-order mark (U+FEFF) is not allowed "
            "before the JSON text");
    }
    RecordsSax sax;
    bool ok = false;
    try {
        ok = json::sax_parse(text.data(), text.data() + text.size(), &sax, json::input_format_t::json,
                             /*strict=*/true);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        // sax_parse reports through parse_error; this is only a safety net.
        if (sax.error.empty()) sax.error = e.what();
        ok = false;
    }
    if (!ok) return Hl7Error::invalid_format("Invalid JSON: " + sax.error);
    // The parser takes a NUL byte for the end of its input, so "[]\0junk"
    // parses.  A NUL inside a string or before the array is closed is already
    // refused; one left over now follows the array, where only white space
    // may stand.
    if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos) {
        return Hl7Error::invalid_format("Invalid JSON: [json.exception.parse_error.101] parse error at " +
                                        parser_position(text, nul) +
                                        ": syntax error while parsing value - unexpected NUL byte; expected "
                                        "end of input");
    }
    return std::move(sax.records);
}

// ------------------------------------------------------------------ JsonHl7

JsonHl7::JsonHl7(const std::vector<SegmentRecord>& records) {
    std::size_t entries = 0;
    for (const SegmentRecord& r : records) entries += r.size();
    reserve(records.size(), entries);
    for (const SegmentRecord& r : records) {
        begin_record();
        for (const auto& [key, value] : r) add_entry(key, value);
    }
}

void JsonHl7::reserve(std::size_t records, std::size_t entries) {
    // A hint only, so a caller's count (one dict listed a million times,
    // say) never makes a huge allocation up front; past these sizes the
    // store grows as it fills.
    constexpr std::size_t kMaxHint = std::size_t{1} << 22;
    records_.reserve(std::min(records, kMaxHint));
    entries_.reserve(std::min(entries, kMaxHint));
    // Keys and values of real records take about ten bytes an entry.
    bytes_.room(std::min(entries, kMaxHint) * 12);
}

std::uint64_t JsonHl7::key_position(std::string_view key) {
    if (key == kNameKey) return kNamePos;
    if (auto p = parse_key(key)) return pack(*p);
    return kUnusedPos;
}

std::uint64_t JsonHl7::key_code(std::string_view key) {
    if (key == kNameKey) return kNamePos | (kFormKnown | kFormName) << kCodeFormShift;
    const std::optional<Position> p = parse_common_key(key);
    if (!p) return kNoKeyCode;
    std::uint64_t form = kFormKnown;
    if (key.find('[') != std::string_view::npos) form |= kFormRep;
    if (key.find('.') != std::string_view::npos) form |= kFormComp;
    // Only the text that the code writes again ("03" is not "3").
    if (key_of_code(pack(*p), form) != key) return kNoKeyCode;
    return pack(*p) | form << kCodeFormShift;
}

std::string JsonHl7::key_of_code(std::uint64_t position, std::uint64_t form) {
    if ((form & kFormName) != 0) return std::string(kNameKey);
    const auto field = position >> 34;
    const auto rep = static_cast<std::int64_t>((position >> 17) & 0x1FFFF);
    const auto comp = static_cast<std::int64_t>(position & 0x1FFFF);
    char buf[FlatRecord::kMaxKeyLength];
    const char* end = FlatRecord::format_key(buf, field, (form & kFormRep) != 0 ? rep : -1,
                                             (form & kFormComp) != 0 ? comp : -1);
    return std::string(buf, static_cast<std::size_t>(end - buf));
}

std::vector<SegmentRecord> JsonHl7::json_data() const {
    std::vector<SegmentRecord> records;
    records.reserve(records_.size());
    for (std::size_t r = 0; r < records_.size(); ++r) {
        const std::size_t end = r + 1 < records_.size() ? records_[r + 1].start : entries_.size();
        std::vector<SegmentRecord::Entry> entries;
        entries.reserve(end - records_[r].start);
        for (std::size_t i = records_[r].start; i < end; ++i) {
            entries.emplace_back(key_of(entries_[i]), value_of(entries_[i]));
        }
        records.emplace_back(std::move(entries));
    }
    return records;
}

namespace {

// Reading record files.  The lexer of nlohmann-json took most of the time of
// JsonHl7.from_file, so well-formed files go through yyjson, several times
// faster, straight into the store.  Anything it refuses, or any document of
// the wrong shape, is read again by parse_json_records, which decides what
// is accepted and words every error: yyjson accepts no JSON text that the
// other refuses (it is strict too: no comments, trailing commas, NaN, lone
// surrogate escapes or text after the value), so the result never depends
// on which reader ran.
struct DocFree {
    void operator()(yyjson_doc* doc) const { yyjson_doc_free(doc); }
};

// The codes of keys by their text, for keys of up to eight bytes (nearly
// all): a record file repeats a few hundred keys thousands of times, and
// reading each one again costs more than finding it here.  A key is known by
// its bytes and length packed into two words, so a look-up compares
// integers.  One per thread (nothing shared, no locking), bounded: open
// addressing over 4096 slots filled to at most half; a key that finds no
// room, or a longer one, is read each time.
class KeyCodes {
public:
    // The key's code, or kNoKeyCode for a key that has none.
    std::uint64_t code(std::string_view key) {
        if (key.size() > 8 || key.empty()) return JsonHl7::key_code(key);
        const std::uint64_t bytes = packed_bytes(key);
        const std::uint64_t h = (bytes * 0x9E3779B97F4A7C15ull + key.size()) * 0xBF58476D1CE4E5B9ull;
        const std::uint64_t size = std::uint64_t{key.size()} << kSizeShift;
        for (std::size_t i = h >> (64 - kSlotBits);; i = (i + 1) & (kSlots - 1)) {
            Slot& s = slots_[i];
            if (s.bytes == bytes && (s.size_code & kSizeMask) == size) return s.size_code & ~kSizeMask;
            if (s.size_code == 0) {
                const std::uint64_t code = JsonHl7::key_code(key);
                if (used_ < kSlots / 2) {
                    s = Slot{bytes, size | code};
                    ++used_;
                }
                return code;
            }
        }
    }

    // The calling thread's table.
    static KeyCodes& mine() {
        thread_local std::unique_ptr<KeyCodes> t_codes;
        if (!t_codes) t_codes = std::make_unique<KeyCodes>();
        return *t_codes;
    }

private:
    static constexpr unsigned kSlotBits = 12;
    static constexpr std::size_t kSlots = std::size_t{1} << kSlotBits;
    // The key's length goes above the code's bits.
    static constexpr unsigned kSizeShift = JsonHl7::kKeyCodeBits;
    static constexpr std::uint64_t kSizeMask = ~std::uint64_t{0} << kSizeShift;
    struct Slot {
        std::uint64_t bytes = 0;
        std::uint64_t size_code = 0;  // the length and the code; 0: free
    };
    Slot slots_[kSlots];
    std::size_t used_ = 0;
};

std::optional<JsonHl7> read_records_fast(std::string_view text) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") return std::nullopt;  // refused, with its own message
    yyjson_read_err err;
    std::unique_ptr<yyjson_doc, DocFree> doc(
        yyjson_read_opts(const_cast<char*>(text.data()), text.size(), YYJSON_READ_NOFLAG, nullptr, &err));
    if (!doc) return std::nullopt;
    yyjson_val* root = yyjson_doc_get_root(doc.get());
    if (!yyjson_is_arr(root)) return std::nullopt;

    std::size_t entries = 0;
    std::size_t i, count;
    yyjson_val* record;
    yyjson_arr_foreach(root, i, count, record) {
        if (!yyjson_is_obj(record)) return std::nullopt;
        entries += yyjson_obj_size(record);
    }
    JsonHl7 out;
    out.reserve(count, entries);
    KeyCodes& codes = KeyCodes::mine();
    std::vector<SegmentRecord::Entry> unordered;
    yyjson_arr_foreach(root, i, count, record) {
        // Keys in strictly increasing byte order (as this module writes
        // them) cannot repeat; others go through SegmentRecord, which keeps
        // the later of two equal keys as the other reader does.
        std::size_t j, n;
        yyjson_val *key, *value;
        std::string_view previous;
        bool ordered = true;
        yyjson_obj_foreach(record, j, n, key, value) {
            if (!yyjson_is_str(value)) return std::nullopt;
            const std::string_view k(yyjson_get_str(key), yyjson_get_len(key));
            if (j != 0 && !(previous < k)) ordered = false;
            previous = k;
        }
        out.begin_record();
        if (ordered) {
            yyjson_obj_foreach(record, j, n, key, value) {
                const std::string_view k(yyjson_get_str(key), yyjson_get_len(key));
                const std::string_view v(yyjson_get_str(value), yyjson_get_len(value));
                if (const std::uint64_t code = codes.code(k); code != JsonHl7::kNoKeyCode) {
                    out.add_entry_by_code(code, v);
                } else {
                    out.add_entry(k, v);
                }
            }
            continue;
        }
        unordered.clear();
        yyjson_obj_foreach(record, j, n, key, value) {
            unordered.emplace_back(std::string(yyjson_get_str(key), yyjson_get_len(key)),
                                   std::string(yyjson_get_str(value), yyjson_get_len(value)));
        }
        for (const auto& [k, v] : SegmentRecord(std::move(unordered))) out.add_entry(k, v);
    }
    return out;
}

}  // namespace

Result<JsonHl7> JsonHl7::from_json_text(std::string_view text) {
    if (std::optional<JsonHl7> fast = read_records_fast(text)) return std::move(*fast);
    Result<std::vector<SegmentRecord>> records = parse_json_records(text);
    if (!records) return records.error();
    return JsonHl7(records.value());
}

Result<JsonHl7> JsonHl7::from_file(std::string_view path) { return from_file_content(read_utf8_file(path)); }

Result<JsonHl7> JsonHl7::from_file_content(Result<std::string> file) {
    Result<std::string> text = message_content(std::move(file));
    if (!text) return text.error();
    return from_json_text(text.value());
}

// ------------------------------------------------------- JsonHl7 assembly
//
// The common record -- one key per position, well within the separator
// budget -- is written straight from the store in one pass: its positions
// are sorted as integers (or not at all when they already rise, as in
// natural key order), values are copied without a call per value, and the
// separators written are counted as they go.  A record that turns out to
// hold two keys for one position, or to need more separators than the
// budget has left, is taken back out of the text and handed to the
// Assembler, whose rules go by byte-wise key order.

namespace {

// A sort key: the packed position above the entry's index in its record.
// Positions take 51 bits, so 13 are left for the index; longer records go
// the Assembler's way.
constexpr unsigned kIndexBits = 13;
constexpr std::uint64_t kIndexMask = (std::uint64_t{1} << kIndexBits) - 1;
constexpr std::size_t kMaxFastEntries = std::size_t{1} << kIndexBits;

constexpr std::size_t kMaxEscapedBytes = Hl7EscapeHandler::kMaxEscapedBytes;

// Where escaping with the standard delimiters may first change a value held
// in the store (n when nowhere).  Sixteen bytes at a time where the machine
// has the instructions, reading up to 15 bytes past the value, which the
// store's slack allows.  A control character other than tab, line feed and
// carriage return also stops it: the exact byte-wise escape takes over from
// there anyway.
#if defined(__SSE2__)
// The bytes of the 16 at `at` that may need escaping, as bits.
inline unsigned escapable_bits(const char* at) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    // c | 2 is "~" only for "|" and "~", "^" only for "\" and "^".
    const __m128i c2 = _mm_or_si128(c, _mm_set1_epi8(2));
    __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(c2, _mm_set1_epi8('~')), _mm_cmpeq_epi8(c2, _mm_set1_epi8('^')));
    hit = _mm_or_si128(hit, _mm_cmpeq_epi8(c, _mm_set1_epi8('&')));
    hit = _mm_or_si128(hit, _mm_cmpeq_epi8(_mm_min_epu8(c, _mm_set1_epi8(' ')), c));  // c <= " "
    return static_cast<unsigned>(_mm_movemask_epi8(hit));
}

// The same look at 16 bytes at a time, for values longer than 16.
std::size_t first_escapable_long(const char* s, std::size_t n) {
    std::size_t i = 0;
    for (; n - i > 16; i += 16) {  // then 1 to 16 bytes are left
        const unsigned bits = escapable_bits(s + i);
        if (bits != 0) return i + static_cast<std::size_t>(__builtin_ctz(bits));
    }
    const unsigned bits = escapable_bits(s + i) & ((1u << (n - i)) - 1);
    return bits != 0 ? i + static_cast<std::size_t>(__builtin_ctz(bits)) : n;
}

// Most values are short, and many empty: one look, with no loop to enter or
// leave, whose branches would follow the lengths.
inline std::size_t first_escapable(const char* s, std::size_t n) {
    if (n > 16) return first_escapable_long(s, n);
    const unsigned bits = escapable_bits(s) & ((1u << n) - 1);
    return bits != 0 ? static_cast<std::size_t>(__builtin_ctz(bits)) : n;
}
#else
std::size_t first_escapable(const char* s, std::size_t n) {
    const auto* u = reinterpret_cast<const unsigned char*>(s);
    std::size_t i = 0;
    while (i < n && !kStandardEscapeBytes[u[i]]) ++i;
    return i;
}
#endif

// Copies n bytes of the store to `to`; a short run as one fixed-size copy,
// which the store's slack and the writer's room allow.
inline void put_run_of(char* to, const char* from, std::size_t n) {
    if (n <= TextBuffer::kSlack) {
        std::memcpy(to, from, TextBuffer::kSlack);
    } else {
        std::memcpy(to, from, n);
    }
}

// Records whose fields are all below this are dealt out by field (a
// counting sort) rather than sorted.
constexpr std::uint32_t kDealtFields = 128;

// Sorts keys that are nearly in order: an insertion sort, which gives up
// past a few moves per key, so no input makes it quadratic.
void finish_sort(std::vector<std::uint64_t>& keys) {
    const std::size_t n = keys.size();
    std::size_t i = 1;
    while (i < n && keys[i - 1] < keys[i]) ++i;
    if (i >= n) return;
    std::size_t moves = 0;
    const std::size_t max_moves = 4 * n + 16;
    for (; i < n; ++i) {
        const std::uint64_t k = keys[i];
        std::size_t j = i;
        while (j > 0 && keys[j - 1] > k) {
            keys[j] = keys[j - 1];
            --j;
        }
        keys[j] = k;
        moves += i - j;
        if (moves > max_moves) {
            std::sort(keys.begin(), keys.end());
            return;
        }
    }
}


// Writes into a TextBuffer's room through a pointer, asking for more room
// only when what is left may not do.
class RoomWriter {
public:
    explicit RoomWriter(TextBuffer& out) : out_(&out), p_(out.room(0)), limit_(out.data() + out.capacity()) {}

    void need(std::size_t n) {
        if (static_cast<std::size_t>(limit_ - p_) < n) {
            out_->set_end(p_);
            p_ = out_->room(n);
            limit_ = out_->data() + out_->capacity();
        }
    }
    void put(char c) { *p_++ = c; }
    // A run of one separator; `after` more bytes of room stay guaranteed.
    void put_run(char c, std::uint64_t count, std::size_t after) {
        if (count == 1) {
            *p_++ = c;
        } else if (count != 0) {
            need(static_cast<std::size_t>(count) + after);
            std::memset(p_, c, static_cast<std::size_t>(count));
            p_ += count;
        }
    }
    // Copies from the store, which keeps kSlack bytes after its text: a
    // short value goes as one fixed-size copy.  Needs n + kSlack of room.
    void put_stored(const char* s, std::size_t n) {
        put_run_of(p_, s, n);
        p_ += n;
    }
    void put_text(std::string_view t) {
        std::memcpy(p_, t.data(), t.size());
        p_ += t.size();
    }
    char* at() const { return p_; }
    void rewind_to(char* p) { p_ = p; }
    void finish() { out_->set_end(p_); }
    // After the buffer was cut back behind the writer's back.
    void restart() { *this = RoomWriter(*out_); }

private:
    TextBuffer* out_;
    char* p_;
    char* limit_;
};

// What the write of one record came to, kept per record shape.  Records
// of one kind (the same segment with the same fields filled) come again and
// again, in one message and across the messages of a feed; for them the
// sort and the separator logic, most of an assembly's work, give the same
// answer every time.  So the first write of a shape is recorded -- for each
// value written, in order, which entry it is, whether it is escaped and the
// separators before it, as the bytes written -- and later records of that
// shape are written from the record, entry by entry.
//
// A shape is the sequence of the entries' positions in their record (the
// name's and unused keys' markers included) and whether the name is a
// header's; it decides everything written but the values.  A record is
// taken as a shape's only after all its positions were compared: the hash
// only finds the candidate.
//
// One cache per thread, so nothing is shared (free-threaded builds
// included), and nothing in an assembly calls back into code that could use
// it twice at once.  Bounded: shapes of at most kMaxShapeEntries entries and
// kMaxShapeBytes bytes in kSlots slots, all in one block of kArenaBytes
// taken on first use; when it is full the cache is emptied and fills again.
// One block rather than an allocation per shape: a new shape costs no call
// to the allocator, and the bound is the block.
class LayoutCache {
public:
    struct Shape {
        std::uint32_t entries;  // positions compared
        std::uint32_t steps;    // values written
        bool header;
        std::uint64_t separators;    // what the budget is charged
        std::uint64_t prefix_bytes;  // separators written, in all
        // Then, as 8-byte words: the positions, the steps, the prefixes.

        const std::uint64_t* words() const { return reinterpret_cast<const std::uint64_t*>(this + 1); }
        std::uint64_t* words() { return reinterpret_cast<std::uint64_t*>(this + 1); }
        const std::uint64_t* positions() const { return words(); }
        // entry index | exempt from escaping << kIndexBits | separators
        // written before it << (kIndexBits + 1)
        const std::uint64_t* step_codes() const { return words() + entries; }
        // The separators, one after another, with kSlack bytes after them.
        const char* prefixes() const { return reinterpret_cast<const char*>(words() + entries + steps); }
    };
    static_assert(sizeof(Shape) % 8 == 0 && alignof(Shape) <= 8, "shapes are laid out in 8-byte words");
    static constexpr std::size_t kMaxShapeEntries = 1024;
    static constexpr std::size_t kMaxShapeBytes = 64 * 1024;
    static constexpr std::size_t kArenaBytes = 1024 * 1024;

    // The shape with this hash and these positions, or nullptr.
    const Shape* find(std::uint64_t hash, const std::uint64_t* first_pos, std::size_t stride, std::size_t n,
                      bool header) const {
        for (std::size_t probe = 0; probe < kProbes; ++probe) {
            const Slot& slot = slots_[(hash + probe) & (kSlots - 1)];
            if (slot.hash != hash || slot.shape == nullptr) continue;
            const Shape& shape = *slot.shape;
            if (shape.entries != n || shape.header != header) continue;
            const std::uint64_t* pos = shape.positions();
            std::size_t i = 0;
            const char* at = reinterpret_cast<const char*>(first_pos);
            for (; i < n; ++i, at += stride) {
                std::uint64_t p;
                std::memcpy(&p, at, 8);
                if (p != pos[i]) break;
            }
            if (i == n) return &shape;
        }
        return nullptr;
    }

    // Keeps a shape, replacing an older one when its slots are taken.  No-op
    // for a shape too large to keep, or when there is no memory for the
    // cache (it only ever saves work, so it never fails a conversion).
    void insert(std::uint64_t hash, const std::uint64_t* first_pos, std::size_t stride, std::size_t n, bool header,
                const std::vector<std::uint64_t>& steps, std::string_view prefixes,
                std::uint64_t separators) noexcept {
        if (n > kMaxShapeEntries) return;
        const std::size_t words = sizeof(Shape) / 8 + n + steps.size() + (prefixes.size() + TextBuffer::kSlack + 7) / 8;
        if (8 * words > kMaxShapeBytes) return;
        if (!arena_) {
            arena_.reset(Arena::take());
            if (!arena_) return;
        }
        if (arena_used_ + words > kArenaBytes / 8) clear();

        Slot* target = nullptr;
        for (std::size_t probe = 0; probe < kProbes && target == nullptr; ++probe) {
            Slot& slot = slots_[(hash + probe) & (kSlots - 1)];
            if (slot.shape == nullptr) target = &slot;
        }
        // A shape put out of its slot keeps its room until the cache is
        // emptied.
        if (target == nullptr) target = &slots_[(hash + (next_victim_++ % kProbes)) & (kSlots - 1)];

        std::uint64_t* at_word = arena_.get() + arena_used_;
        arena_used_ += words;
        auto* shape = new (at_word) Shape{static_cast<std::uint32_t>(n), static_cast<std::uint32_t>(steps.size()),
                                          header, separators, prefixes.size()};
        std::uint64_t* w = shape->words();
        const char* at = reinterpret_cast<const char*>(first_pos);
        for (std::size_t i = 0; i < n; ++i, at += stride) std::memcpy(&w[i], at, 8);
        std::copy(steps.begin(), steps.end(), w + n);
        const std::size_t prefix_words = words - sizeof(Shape) / 8 - n - steps.size();
        std::fill(w + n + steps.size(), w + n + steps.size() + prefix_words, 0);  // the slack too
        std::memcpy(w + n + steps.size(), prefixes.data(), prefixes.size());
        target->hash = hash;
        target->shape = shape;
    }

    // The calling thread's cache.
    static LayoutCache& mine() {
        thread_local std::unique_ptr<LayoutCache> t_cache;
        if (!t_cache) t_cache = std::make_unique<LayoutCache>();
        return *t_cache;
    }

private:
    void clear() {
        for (Slot& slot : slots_) slot.shape = nullptr;
        arena_used_ = 0;
    }

    static constexpr std::size_t kSlots = 2048;
    static constexpr std::size_t kProbes = 4;
    struct Slot {
        std::uint64_t hash = 0;
        const Shape* shape = nullptr;  // in the arena
    };
    Slot slots_[kSlots];
    // The block comes straight from the system where it can, outside the
    // heap: a long-lived megabyte in the middle of the heap stops the blocks
    // other code grows there from growing in place, and measurably slowed
    // orjson.dumps running in the same process.  Its pages are only touched
    // as shapes fill them.
    struct Arena {
        static std::uint64_t* take() {
#if SEGMORPH_HAVE_MMAP
            void* p = mmap(nullptr, kArenaBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            return p == MAP_FAILED ? nullptr : static_cast<std::uint64_t*>(p);
#else
            return new (std::nothrow) std::uint64_t[kArenaBytes / 8];
#endif
        }
        void operator()(std::uint64_t* p) const {
#if SEGMORPH_HAVE_MMAP
            munmap(p, kArenaBytes);
#else
            delete[] p;
#endif
        }
    };
    std::unique_ptr<std::uint64_t, Arena> arena_;
    std::size_t arena_used_ = 0;  // words
    std::size_t next_victim_ = 0;
};

}  // namespace

void ReallocBlock::grow_block(std::size_t bytes) {
    void* bigger = std::realloc(data_, bytes);
    if (bigger == nullptr) throw std::bad_alloc();  // realloc left the old block
    data_ = bigger;
}

void TextBuffer::grow(std::size_t n) {
    std::size_t want = std::max<std::size_t>(capacity_ * 2, 256);
    if (want - size_ < n) want = size_ + n;
    if (want > SIZE_MAX - kSlack) throw std::bad_alloc();
    grow_block(want + kSlack);
    // The slack is only ever read by fixed-size copies whose extra bytes
    // are overwritten or left past the end; zeroed, it reads the same to
    // memory checkers as anywhere else.
    std::memset(data() + want, 0, kSlack);
    capacity_ = want;
}

void JsonHl7::assemble_into(bool escape, TextBuffer& out) const {
    const Hl7EscapeHandler& handler = default_escape_handler();
    // With other delimiters every value goes through the handler.
    const bool standard = has_standard_delimiters(handler);
    const StandardByteCode* const byte_codes = standard_byte_codes();
    Assembler assembler(handler, escape, kSeparatorBase + kSeparatorsPerEntry * entries_.size());
    std::vector<std::uint64_t> keys;
    std::string slow, escaped;
    RoomWriter w(out);
    const char* const store = bytes_.data();

    // Writes a value from the store, escaped or not; the room for it at its
    // longest must be there.
    auto put_value = [&](const char* v, std::size_t len, bool escape_it) {
        char* at = w.at();
        w.put_stored(v, len);
        if (!escape_it) return;
        // Most values hold nothing to escape: copy, then look.  From the
        // first byte that may need escaping on, the handler takes over; what
        // it writes for a byte never depends on the text before it.
        if (standard) {
            std::size_t j = first_escapable(v, len);
            if (j == len) return;
            char* o = at + j;
            if (len <= 16) {
                // A short value (most are): from its first byte to escape
                // on, byte by byte, each written as one fixed-size store
                // from the table.  Looking for the next byte to escape
                // instead would branch on every one found, and those
                // branches follow the text.
                std::size_t k = j;
                while (k < len) {
                    const StandardByteCode& code = byte_codes[static_cast<unsigned char>(v[k])];
                    if (code.count == 0) {
                        // The escape character: what follows it decides
                        // what it takes (an unknown sequence it opens is
                        // kept whole).
                        o = handler.escape_standard_at(std::string_view(v, len), k, o);
                        continue;
                    }
                    std::memcpy(o, code.bytes, 8);
                    o += code.count;
                    ++k;
                }
                w.rewind_to(o);
                return;
            }
            // A long one is mostly free text, where only the spaces need
            // escaping: so escape one byte, find the next with the same
            // scan, copy the run between.
            const std::string_view value(v, len);
            do {
                o = handler.escape_standard_at(value, j, o);
                const std::size_t plain = first_escapable(v + j, len - j);
                put_run_of(o, v + j, plain);
                o += plain;
                j += plain;
            } while (j < len);
            w.rewind_to(o);
        } else {
            escaped.clear();
            handler.escape_into(std::string_view(v, len), escaped);
            w.rewind_to(at);
            w.put_text(escaped);
        }
    };

    // Writes the record's cells in the order of `keys` (sorted).  Done, or
    // (with nothing written and nothing spent) ByKeyOrder when the record
    // needs the Assembler's rules; `separators` gets what a Done record was
    // charged.  With `steps`, also records the write for the layout cache:
    // the steps, and the separators written into `prefixes`.
    enum class Written { Done, ByKeyOrder };
    std::vector<std::uint64_t> steps_scratch;
    std::string prefixes;
    auto write_cells = [&](std::size_t begin, std::optional<std::string_view> name, bool header, std::size_t room,
                           std::vector<std::uint64_t>* steps, std::uint64_t& separators_out) {
        const std::size_t mark = static_cast<std::size_t>(w.at() - out.data());
        Written result = Written::Done;
        if (name) w.put_text(*name);  // never escaped
        std::size_t written_end = static_cast<std::size_t>(w.at() - out.data());
        // A header's field 1 holds the encoding characters, which are
        // syntax: every value placed there is written as it is.
        const bool escape_field_1 = escape && !header;
        const std::uint64_t budget = assembler.budget();
        std::uint64_t separators = 0;
        std::uint32_t field = 0, rep = 0, comp = 1;
        std::uint64_t open_rep = ~std::uint64_t{0};
        std::uint64_t least_next = 0;  // a position below this does not rise
        // Without a name the first part of the line has no separator
        // before it.
        std::uint32_t first_field_less = name ? 0 : 1;
        const std::size_t n = keys.size();
        // Room for the whole record at once: every value escaped at its
        // longest, one "|", "~" and "^" per value.  Longer runs of
        // separators ask for their own room.
        w.need(room);
        // A run of separators.  They are counted in full, as the Assembler's
        // budget counts them; single ones (at most three a key) are checked
        // against the budget when the record is done, longer runs before
        // they are written, so a record that asks for millions writes none
        // of them.
        auto run = [&](char c, std::uint32_t count) {
            if (count == 1) {
                w.put(c);
                return true;
            }
            if (count == 0) return true;
            if (separators > budget) return false;
            w.put_run(c, count, room);
            return true;
        };
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t pos = keys[i] >> kIndexBits;
            if (pos < least_next) {
                result = Written::ByKeyOrder;  // two keys for one position
                break;
            }
            least_next = pos + 1;
            const auto f = static_cast<std::uint32_t>(pos >> 34);
            if (f == 0) continue;  // stored, never written
            const std::uint64_t field_rep = pos >> 17;
            if (field_rep != open_rep) {
                // A new field is a new repetition too.
                if (f != field) {
                    separators += f - field;
                    if (!run('|', f - field - first_field_less)) break;
                    first_field_less = 0;
                    field = f;
                    rep = 0;
                }
                const auto rp = static_cast<std::uint32_t>(field_rep & 0x1FFFF);
                separators += rp - rep;
                if (!run('~', rp - rep)) break;
                rep = rp;
                comp = 1;
                open_rep = field_rep;
            }
            const auto k = static_cast<std::uint32_t>(pos & 0x1FFFF);
            if (k == 0) {
                // Component 0 stands for the whole repetition only when
                // nothing else is stored in it; it sorts first, so look
                // ahead.
                if (i + 1 < n && (keys[i + 1] >> kIndexBits >> 17) == open_rep) continue;
            } else {
                separators += k - comp;
                if (!run('^', k - comp)) break;
                comp = k;
            }
            const std::size_t index = keys[i] & kIndexMask;
            const Entry& e = entries_[begin + index];
            if (steps != nullptr) {
                const auto at = static_cast<std::size_t>(w.at() - out.data());
                const bool exempt = f == 1 && header;
                steps->push_back(index | std::uint64_t{exempt} << kIndexBits |
                                 std::uint64_t{at - written_end} << (kIndexBits + 1));
                prefixes.append(out.data() + written_end, at - written_end);
            }
            put_value(store + e.value_off, e.value_len, f == 1 ? escape_field_1 : escape);
            if (steps != nullptr) written_end = static_cast<std::size_t>(w.at() - out.data());
        }
        if (result == Written::Done && separators > budget) result = Written::ByKeyOrder;
        if (result == Written::Done) {
            assembler.spend(separators);
            separators_out = separators;
        } else {
            out.truncate(mark);
            w.restart();
        }
        return result;
    };

    // Writes a record as the write of its shape went.
    auto write_from_shape = [&](const LayoutCache::Shape& shape, std::size_t begin,
                                std::optional<std::string_view> name, std::size_t value_bytes) {
        w.need((name ? name->size() : 0) + (escape ? kMaxEscapedBytes : 1) * value_bytes + shape.prefix_bytes +
               TextBuffer::kSlack);
        if (name) w.put_text(*name);
        const std::uint64_t* codes = shape.step_codes();
        const char* prefix = shape.prefixes();  // kSlack bytes after the last
        for (std::uint32_t i = 0; i < shape.steps; ++i) {
            const std::uint64_t code = codes[i];
            const auto prefix_len = static_cast<std::size_t>(code >> (kIndexBits + 1));
            w.put_stored(prefix, prefix_len);
            prefix += prefix_len;
            const Entry& e = entries_[begin + (code & kIndexMask)];
            if (e.value_len == 0) continue;  // nothing to write or escape
            put_value(store + e.value_off, e.value_len, escape && ((code >> kIndexBits) & 1) == 0);
        }
    };

    LayoutCache& layouts = LayoutCache::mine();
    static_assert(offsetof(Entry, pos) == 0, "the layout cache reads positions from the entries");
    for (std::size_t r = 0; r < records_.size(); ++r) {
        const Record& record = records_[r];
        const std::size_t begin = record.start;
        const std::size_t end = r + 1 < records_.size() ? records_[r + 1].start : entries_.size();
        const std::size_t count = end - begin;
        const auto* first_pos = reinterpret_cast<const std::uint64_t*>(entries_.data() + begin);

        // The bytes of all its keys and values, which lie together in the
        // store: more than its values need, so room to spare.
        const std::size_t all_value_bytes =
            count == 0 ? 0
                       : entries_[end - 1].value_off + entries_[end - 1].value_len -
                             (entries_[begin].value_off - stored_key_len(entries_[begin]));
        std::optional<std::string_view> name;
        if (record.name_at != kNoName) name = value_of(entries_[begin + record.name_at]);
        const bool header = name && is_header_segment(*name);
        std::uint64_t hash = count + record.shape_hash;
        hash ^= (hash >> 31) ^ std::uint64_t{header};
        hash *= 0x94D049BB133111EBull;
        hash ^= hash >> 29;

        w.need(1 + (name ? name->size() : 0));
        if (r != 0) w.put('\n');
        if (const LayoutCache::Shape* shape = layouts.find(hash, first_pos, sizeof(Entry), count, header)) {
            if (shape->separators <= assembler.budget()) {
                write_from_shape(*shape, begin, name, all_value_bytes);
                assembler.spend(shape->separators);
                continue;
            }
        }

        // First pass: whether the positions rise already (natural key order)
        // and how many keys each field has.
        std::uint32_t counts[kDealtFields + 1] = {};
        bool ordered = true, dealable = true;
        std::uint64_t max_pos = 0;
        std::size_t usable = 0;
        for (std::size_t i = begin; i < end; ++i) {
            const std::uint64_t pos = entries_[i].pos;
            if (pos < kUnusedPos) {
                ordered &= pos > max_pos || usable == 0;
                max_pos = std::max(max_pos, pos);
                ++usable;
                const auto f = static_cast<std::uint32_t>(pos >> 34);
                if (f < kDealtFields) {
                    ++counts[f + 1];
                } else {
                    dealable = false;
                }
            }
        }

        Written written = Written::ByKeyOrder;
        if (end - begin <= kMaxFastEntries) {
            // Second pass: the sort keys, in position order.  Byte order
            // ("1", "10", "11", "2") is dealt out by field, which leaves
            // only component and repetition numbers of ten and more out of
            // order, for an insertion sort.
            keys.resize(usable);
            std::size_t j = 0;
            if (ordered || !dealable) {
                for (std::size_t i = begin; i < end; ++i) {
                    const std::uint64_t pos = entries_[i].pos;
                    if (pos < kUnusedPos) keys[j++] = pos << kIndexBits | (i - begin);
                }
                if (!ordered) std::sort(keys.begin(), keys.end());
            } else {
                const auto max_field = static_cast<std::uint32_t>(max_pos >> 34);
                for (std::uint32_t f = 1; f <= max_field; ++f) counts[f] += counts[f - 1];
                for (std::size_t i = begin; i < end; ++i) {
                    const std::uint64_t pos = entries_[i].pos;
                    if (pos < kUnusedPos) keys[counts[pos >> 34]++] = pos << kIndexBits | (i - begin);
                }
                finish_sort(keys);
            }
            // (The name's and unused keys' values are counted too: room to spare.)
            const std::size_t room =
                (escape ? kMaxEscapedBytes : 1) * all_value_bytes + 3 * usable + TextBuffer::kSlack;
            const bool keep = count <= LayoutCache::kMaxShapeEntries;
            steps_scratch.clear();
            prefixes.clear();
            std::uint64_t separators = 0;
            written = write_cells(begin, name, header, room, keep ? &steps_scratch : nullptr, separators);
            if (written == Written::Done && keep) {
                layouts.insert(hash, first_pos, sizeof(Entry), count, header, steps_scratch, prefixes, separators);
            }
        }
        if (written == Written::Done) continue;
        // Two keys for one position, a record that asks for more separators
        // than are left, or a very long one: the rules by key order decide.
        std::vector<SegmentRecord::Entry> entries;
        entries.reserve(end - begin);
        for (std::size_t i = begin; i < end; ++i) entries.emplace_back(key_of(entries_[i]), value_of(entries_[i]));
        slow.clear();
        assembler.record(SegmentRecord(std::move(entries)), slow);
        w.need(slow.size());
        w.put_text(slow);
    }
    w.finish();
}

void JsonHl7::convert_json_to_hl7_into(bool escape, TextBuffer& out) const {
    // Room for every value and a separator per entry up front: the output
    // rarely outgrows it, so it is seldom copied while it grows.
    out.room(bytes_.size() + entries_.size() + records_.size());
    assemble_into(escape, out);
}

std::string JsonHl7::convert_json_to_hl7(bool escape) const {
    TextBuffer out;
    convert_json_to_hl7_into(escape, out);
    return std::string(out.view());
}

}  // namespace segmorph
