// The record store: records held as one buffer of key and value bytes and
// a flat vector of entries, each key read into its position once, when it
// is added (see json_hl7_keys.hpp).  What the assembly then reads is
// integers and runs of bytes in one block, never a key's text.
#include <algorithm>
#include <string>
#include <utility>

#include "json_hl7.hpp"
#include "json_hl7_keys.hpp"

namespace segmorph {

namespace detail {

namespace {

// A position number: one optional leading "+", then ASCII digits (leading
// zeros allowed) whose value fits in 64 bits.  A value that does not fit is
// no number at all, and its key is ignored.
std::optional<std::uint64_t> position_number(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        if (__builtin_mul_overflow(value, 10u, &value) ||
            __builtin_add_overflow(value, static_cast<unsigned>(c - '0'), &value)) {
            return std::nullopt;
        }
    }
    return value;
}

// Reads plain digits at text[i...]; false when there are none or the value
// is not below kPackedIndexLimit (a key for the general rules).
bool digits(std::string_view text, std::size_t& i, std::uint64_t& value) {
    const std::size_t start = i;
    value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
        // Checked per digit, so the value never grows past ten times the
        // limit and cannot wrap.
        if (value >= kPackedIndexLimit) return false;
        ++i;
    }
    return i > start;
}

}  // namespace

std::optional<Position> parse_common_key(std::string_view key) {
    std::size_t i = 0;
    std::uint64_t n = 0, r = 0, k = 0;
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

}  // namespace detail

using detail::kNameKey;
using detail::pack;
using detail::parse_common_key;
using detail::parse_key;
using detail::Position;

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
    if (auto p = parse_key(key)) return p->packable() ? pack(*p) : kWidePos;
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
    const Position p = detail::unpack(position);
    char buf[FlatRecord::kMaxKeyLength];
    const char* end =
        FlatRecord::format_key(buf, p.field, (form & kFormRep) != 0 ? static_cast<std::int64_t>(p.rep) : -1,
                               (form & kFormComp) != 0 ? static_cast<std::int64_t>(p.comp) : -1);
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
}  // namespace segmorph
