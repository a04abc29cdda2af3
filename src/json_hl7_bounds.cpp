// The bound on the separators a message writes (json_hl7_bounds.hpp):
// the exact count, and the store's quick check before it.
#include "json_hl7_bounds.hpp"

#include <algorithm>
#include <map>
#include <utility>

#include "json_hl7.hpp"
#include "json_hl7_layouts.hpp"
#include "segments.hpp"

namespace segmorph {

namespace detail {

SeparatorBudget::SeparatorBudget(std::uint64_t entries)
    : allowed_(saturating_add(kSeparatorBase, entries > ~std::uint64_t{0} / kSeparatorsPerEntry
                                                  ? ~std::uint64_t{0}
                                                  : kSeparatorsPerEntry * entries)),
      left_(allowed_) {}

// The "|" before each field up to the largest, the "~" inside each field up
// to its largest repetition, the "^" inside each repetition up to its
// largest component.  Field 0 is stored, never written, and costs nothing.
std::uint64_t SeparatorBudget::separators_of(std::vector<Key>& keys) {
    std::sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) { return a.pos < b.pos; });
    std::uint64_t total = 0, max_field = 0;
    const std::size_t n = keys.size();
    for (std::size_t i = 0; i < n; ++i) {
        const Position& p = keys[i].pos;
        if (p.field == 0) continue;
        max_field = p.field;  // (sorted)
        const bool last_of_field = i + 1 == n || keys[i + 1].pos.field != p.field;
        const bool last_of_rep = last_of_field || keys[i + 1].pos.rep != p.rep;
        if (last_of_field) total = saturating_add(total, p.rep);
        if (last_of_rep) total = saturating_add(total, p.comp >= 1 ? p.comp - 1 : 0);
    }
    return saturating_add(total, max_field);
}

std::optional<std::string> SeparatorBudget::charge(std::vector<Key>& keys, std::size_t index) {
    const std::uint64_t need = separators_of(keys);
    if (need <= left_) {
        left_ -= need;
        return std::nullopt;
    }
    return breach(keys, index);
}

std::optional<std::string> SeparatorBudget::charge(const SegmentRecord& record, std::size_t index) {
    scratch_.clear();
    for (const auto& [key, value] : record) {
        if (key == kNameKey) continue;
        if (const std::optional<Position> p = parse_key(key)) scratch_.push_back(Key{key, *p});
    }
    return charge(scratch_, index);
}

// The key to name: placing the keys in byte order, the first whose
// separators no longer fit what is left (the order decides, so the same
// records always name the same key).  A key's separators are those that
// placing it adds to the keys before it; a second key for a position adds
// none.
std::string SeparatorBudget::breach(std::vector<Key>& keys, std::size_t index) const {
    std::sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) { return a.text < b.text; });
    std::map<std::uint64_t, std::uint64_t> reps;                             // field -> largest repetition
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::uint64_t> comps;  // (field, rep) -> largest component
    std::uint64_t max_field = 0, left = left_;
    std::string_view culprit;
    std::uint64_t cost = 0;
    for (const Key& k : keys) {
        const Position& p = k.pos;
        if (p.field == 0) continue;
        cost = p.field > max_field ? p.field - max_field : 0;
        std::uint64_t& rep = reps.try_emplace(p.field, 0).first->second;
        if (p.rep > rep) cost = saturating_add(cost, p.rep - rep);
        std::uint64_t& comp = comps.try_emplace({p.field, p.rep}, 1).first->second;  // components 0 and 1 cost none
        if (p.comp > comp) cost = saturating_add(cost, p.comp - comp);
        culprit = k.text;
        if (cost > left) break;
        left -= cost;
        max_field = std::max(max_field, p.field);
        rep = std::max(rep, p.rep);
        comp = std::max(comp, p.comp);
    }
    // (The keys' separators add up to the record's, which do not fit: the
    // loop always stops at a key.)
    const std::string count = cost == ~std::uint64_t{0} ? std::to_string(cost) + " or more" : std::to_string(cost);
    return std::string("record ") + std::to_string(index) + ": key \"" + quote_input(culprit) + "\" would write " +
           count + " separators, but only " + std::to_string(left) + " are left of the " + std::to_string(allowed_) +
           " a message may write (1,000,000 plus 16 per value)";
}

}  // namespace detail

using detail::LayoutCache;
using detail::Position;
using detail::SeparatorBudget;

// Each record is counted once, when the next one begins (or at the check),
// while its entries are still at hand.  A record of a shape the assembly
// has written before gets the count its layout holds, exact, for the price
// of comparing its positions -- and keeps the layout, so the assembly does
// not look for it again.  Any other gets an upper bound from one walk over
// its entries as they lie, with no sort: keys of one field that come
// together (a run) are charged the run's largest repetition, and keys of
// one repetition that come together its largest component; a field or a
// repetition whose keys are scattered is charged once per run, which only
// ever counts too many.  Records in the orders that records come in --
// natural order, byte-wise key order, to-json's -- keep each field's and
// each repetition's keys together, so the bound is their exact count.
void JsonHl7::bound_records() {
    constexpr std::uint64_t kIndexMask = detail::kPackedIndexLimit - 1;
    constexpr unsigned kBits = detail::kPackedIndexBits;
    const LayoutCache& layouts = LayoutCache::mine();
    if (bound_.records == 0 || layouts.id() != bound_.layouts_id || layouts.epoch() != bound_.layouts_epoch) {
        // (Layouts found before in another cache, or before this one was
        // emptied, are not used: the assembly compares the same marks.)
        bound_.layouts_id = layouts.id();
        bound_.layouts_epoch = layouts.epoch();
        for (std::size_t r = 0; r < bound_.records; ++r) records_[r].layout = nullptr;
    }
    const Entry* const base = entries_.data();
    for (std::size_t r = bound_.records; r < records_.size(); ++r) {
        Record& record = records_[r];
        const Entry* e = base + record.start;
        const Entry* const end = r + 1 < records_.size() ? base + records_[r + 1].start : base + entries_.size();
        const auto count = static_cast<std::size_t>(end - e);
        const bool header = record.name_at != kNoName && is_header_segment(value_of(e[record.name_at]));
        record.layout = layouts.find(detail::layout_hash(record.shape_hash, count, header),
                                     reinterpret_cast<const std::uint64_t*>(e), sizeof(Entry), count, header);
        if (record.layout != nullptr) {
            bound_.separators += record.layout->separators;
            continue;
        }
        std::uint64_t need = 0, max_field = 0;
        std::uint64_t field = ~std::uint64_t{0}, max_rep = 0;       // the run of a field
        std::uint64_t field_rep = ~std::uint64_t{0}, max_comp = 1;  // the run of a repetition
        for (; e != end; ++e) {
            const std::uint64_t pos = position_of(*e);
            if (pos >= kWidePos) {  // the name, an unused key, or one too large to pack
                bound_.exact |= pos == kWidePos;
                continue;
            }
            const std::uint64_t f = pos >> (2 * kBits);
            if (f == 0) continue;  // stored, never written
            const std::uint64_t fr = pos >> kBits;
            const std::uint64_t rep_base = f == field ? max_rep : 0;
            field = f;
            max_rep = std::max(fr & kIndexMask, rep_base);
            need += max_rep - rep_base;
            const std::uint64_t comp_base = fr == field_rep ? max_comp : 1;
            field_rep = fr;
            max_comp = std::max(pos & kIndexMask, comp_base);
            need += max_comp - comp_base;
            max_field = std::max(max_field, f);
        }
        // (Packed indices are below 2^17: no sum of them here wraps.)
        bound_.separators = detail::saturating_add(bound_.separators, need + max_field);
    }
    bound_.records = records_.size();
    bound_.entries = entries_.size();
}

std::optional<std::string> JsonHl7::exact_output_breach() const {
    SeparatorBudget budget(entries_.size());
    std::vector<std::string> texts;
    std::vector<SeparatorBudget::Key> keys;
    for (std::size_t r = 0; r < records_.size(); ++r) {
        const std::size_t begin = records_[r].start;
        const std::size_t end = r + 1 < records_.size() ? records_[r + 1].start : entries_.size();
        texts.clear();
        keys.clear();
        texts.reserve(end - begin);  // (the views below point into these texts)
        for (std::size_t i = begin; i < end; ++i) {
            const std::uint64_t pos = position_of(entries_[i]);
            if (pos == kNamePos || pos == kUnusedPos) continue;
            texts.push_back(key_of(entries_[i]));
            const std::optional<Position> p =
                pos == kWidePos ? detail::parse_key(texts.back()) : std::optional<Position>(detail::unpack(pos));
            keys.push_back(SeparatorBudget::Key{texts.back(), *p});
        }
        if (auto error = budget.charge(keys, r)) return error;
    }
    return std::nullopt;
}

std::optional<std::string> JsonHl7::check_output_bound() {
    if (bound_.records != records_.size()) bound_records();
    std::optional<std::string> error;
    // Only when the quick count passes the bound, or cannot be had, are the
    // records counted exactly (which reads their keys again and sorts).
    // (Entries added to the last record after it was counted: the same.)
    if (bound_.exact || bound_.entries != entries_.size() ||
        bound_.separators > SeparatorBudget(entries_.size()).allowed()) {
        error = exact_output_breach();
    }
    checked_entries_ = error ? kUnchecked : entries_.size();
    return error;
}

}  // namespace segmorph
