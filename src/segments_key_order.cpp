// FlatRecord's key order: byte order of the keys worked out from their
// numbers, never by comparing key texts, and remembered per segment shape.
#include "segments.hpp"

#include <algorithm>

namespace segmorph {

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

void append_decimal_order(std::uint64_t first, std::uint64_t count, bool late, std::vector<std::uint32_t>& out) {
    if (count == 0) return;
    std::uint64_t from = first;
    if (first == 0) {
        out.push_back(0);  // "0" has no longer relatives: no number starts with 0
        from = 1;
    }
    const std::uint64_t last = first + count - 1;
    auto is_late = [late](std::uint64_t) { return late; };
    auto visit = [&](std::uint64_t v) { out.push_back(static_cast<std::uint32_t>(v - first)); };
    for (std::uint64_t v = from; v <= 9 && v <= last; ++v) walk_decimal(v, last, is_late, visit);
}

// Byte order from the numbers, with no key text: the fields' groups go out
// in the remembered order of their shape (segments of up to nine fields are
// in order as they are), then the items inside the few groups with an index
// of ten or more are walked the same way.  Cheaper than sorting every item
// by its key text, which took a good part of the time of flattening long
// segments, and than working out the fields' order again for every line.
void FlatRecord::put_in_key_order() {
    const Group* const groups = groups_.data();
    const bool sort_items = std::any_of(groups, groups + group_count_, [](const Group& g) { return g.sort_items; });
    if (group_count_ < 10 && !sort_items) return;
    order_.resize(items_);
    std::size_t* out = order_.data();
    const std::uint64_t fields = group_count_;
    if (fields > FieldKeyOrders::kMaxFields) {
        auto repeated = [&](std::uint64_t field) { return groups_[field - 1].repeated; };
        auto visit = [&](std::uint64_t field) { out = append_group(groups_[field - 1], out); };
        for (std::uint64_t field = 1; field <= 9 && field <= fields; ++field) {
            walk_decimal(field, fields, repeated, visit);
        }
        return;
    }
    std::uint64_t repeats = 0;
    for (std::uint64_t f = 1; f <= fields / 10; ++f) repeats |= std::uint64_t{groups_[f - 1].repeated} << (f - 1);
    for (const std::uint32_t g : field_orders_.get(fields, repeats)) {
        const Group& group = groups_[g];
        if (sort_items && group.sort_items) {
            out = append_group(group, out);
            continue;
        }
        for (std::size_t i = 0; i < group.count; ++i) *out++ = group.first + i;
    }
}

const std::vector<std::uint32_t>& FieldKeyOrders::get(std::uint64_t fields, std::uint64_t repeats) {
    if (slots_.empty()) slots_.resize(kSlots);
    Slot& slot = slots_[((fields ^ repeats * 0xff51afd7ed558ccdull) * 0x9E3779B97F4A7C15ull) >> 54];
    if (slot.fields == fields && slot.repeats == repeats) return slot.order;
    slot.fields = fields;
    slot.repeats = repeats;
    slot.order.clear();
    auto repeated = [&](std::uint64_t field) { return field <= 64 && ((repeats >> (field - 1)) & 1) != 0; };
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
