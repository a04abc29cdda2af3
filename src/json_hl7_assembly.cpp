// The fast assembly: JsonHl7's records to HL7 text.
//
// The common record -- one key per position, every index packed -- is
// written straight from the store in one pass: its positions are sorted as
// integers (or not at all when they already rise, as in natural key order)
// and values are copied without a call per value.  A record of a shape met
// before is written from the layout cache, with no sort and no separator
// logic at all, in a loop made for the escape mode that reads nothing but
// locals; a record whose bytes hold nothing to escape (found by one scan
// over them all) in one that looks at no value.  A record that turns out to
// hold two keys for one position, or that holds a key too large to pack, is
// taken back out of the text and handed to the rules by key order
// (json_hl7_key_order.hpp).
//
// The store was checked against the bound on the separators a message
// writes (json_hl7_bounds.hpp) before any of this: every gap asked for is
// written.
//
// The steps, per record: look_at (its bounds, name and shape hash),
// write_remembered (a cached layout), else sort_keys and write_cells (which
// records the layout), else write_by_key_order.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "json_hl7.hpp"
#include "json_hl7_key_order.hpp"
#include "json_hl7_layouts.hpp"
#include "json_hl7_values.hpp"
#include "json_hl7_writer.hpp"

namespace segmorph {

namespace {

using detail::LayoutCache;
using detail::RoomWriter;

// A sort key: the packed position above the entry's index in its record.
// Positions take 51 bits, so 13 are left for the index; longer records go
// the way of the rules by key order.
constexpr unsigned kIndexBits = 13;
constexpr std::uint64_t kIndexMask = (std::uint64_t{1} << kIndexBits) - 1;
constexpr std::size_t kMaxFastEntries = std::size_t{1} << kIndexBits;

// A layout's step: where its entry lies from the record's first, in bytes
// (an index scaled up front, so that finding the entry is one add), then a
// bit for a value exempt from escaping, then the length of the separators
// written before it.
constexpr unsigned kStepOffsetBits = kIndexBits + 5;
static_assert(std::size_t{1} << kStepOffsetBits >= kMaxFastEntries * 32, "room for any entry's offset");
constexpr std::uint64_t kStepOffsetMask = (std::uint64_t{1} << kStepOffsetBits) - 1;
constexpr unsigned kStepExemptBit = kStepOffsetBits;
constexpr unsigned kStepPrefixShift = kStepOffsetBits + 1;

constexpr std::size_t kMaxEscapedBytes = Hl7EscapeHandler::kMaxEscapedBytes;

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

}  // namespace

class JsonHl7::Assembly {
public:
    Assembly(const JsonHl7& held, EscapeMode mode, TextBuffer& out)
        : held_(held),
          store_(held.bytes_.data()),
          escape_(mode != EscapeMode::None),
          minimal_(mode == EscapeMode::Minimal),
          values_(mode),
          rules_(values_.handler(), mode),
          out_(out),
          w_(out),
          layouts_(LayoutCache::mine()),
          // The layouts found when the records were counted are theirs if
          // this is the cache they were found in, and nothing was added
          // since (and, per record, if it was not emptied since).
          layouts_known_(layouts_.id() == held.bound_.layouts_id && held.bound_.records == held.records_.size() &&
                         held.bound_.entries == held.entries_.size()) {}

    void run() {
        if (!escape_) return run_as<Kind::Plain>();
        if (!values_.standard()) return run_as<Kind::Handler>();
        if (minimal_) return run_as<Kind::Minimal>();
        run_as<Kind::Full>();
    }

private:
    enum class Written { Done, ByKeyOrder };
    // How values are written: decided once per assembly, so that the loop
    // over a remembered record's values tests nothing but the values.
    enum class Kind { Plain, Minimal, Full, Handler };

    template <Kind K>
    void run_as() {
        static_assert(offsetof(Entry, key) == 0, "the layout cache reads keys from the entries");
        const std::size_t n = held_.records_.size();
        for (std::size_t r = 0; r < n; ++r) {
            // The layout of a record two on, found when it was counted, is
            // asked for now: the layouts of a long message were last read
            // when it was read in, and are mostly out of the cache by now.
            if (r + 2 < n && layouts_known_) {
                if (const LayoutCache::Shape* ahead = held_.records_[r + 2].layout) {
                    __builtin_prefetch(ahead->step_codes());
                    __builtin_prefetch(ahead->prefixes());
                }
            }
            const RecordAt rec = look_at(r);
            w_.need(1 + (rec.name ? rec.name->size() : 0) + TextBuffer::kSlack);
            if (r != 0) w_.put('\n');
            if (write_remembered<K>(rec)) continue;
            if (write_sorted(rec) == Written::Done) continue;
            write_by_key_order(rec);
        }
        w_.finish();
    }

    // One record as the steps see it.
    struct RecordAt {
        std::size_t begin, end, count;
        const std::uint64_t* first_pos;  // its first entry's key; entries follow at sizeof(Entry)
        // The bytes of all its keys and values, which lie together in the
        // store: more than its values need, so room to spare.
        std::size_t all_value_bytes;
        const char* all_values;  // where they begin
        std::optional<std::string_view> name;
        bool header;
        std::uint64_t hash;  // of its shape, when `layout` is null
        // Its layout, found when the record was counted, if the cache is
        // still as it was then.
        const LayoutCache::Shape* layout;
    };

    RecordAt look_at(std::size_t r) const {
        const Record& record = held_.records_[r];
        const auto& entries = held_.entries_;
        RecordAt rec;
        rec.begin = record.start;
        rec.end = r + 1 < held_.records_.size() ? held_.records_[r + 1].start : entries.size();
        rec.count = rec.end - rec.begin;
        rec.first_pos = reinterpret_cast<const std::uint64_t*>(entries.data() + rec.begin);
        const std::size_t first_byte =
            rec.count == 0 ? 0 : entries[rec.begin].value_off - stored_key_len(entries[rec.begin]);
        rec.all_value_bytes =
            rec.count == 0 ? 0 : entries[rec.end - 1].value_off + entries[rec.end - 1].value_len - first_byte;
        rec.all_values = store_ + first_byte;
        if (record.name_at != kNoName) rec.name = held_.value_of(entries[rec.begin + record.name_at]);
        rec.layout = layouts_known_ && layouts_.epoch() == held_.bound_.layouts_epoch ? record.layout : nullptr;
        if (rec.layout != nullptr) {
            rec.header = rec.layout->header;  // (found by it)
            rec.hash = 0;                     // (not looked up by)
        } else {
            rec.header = rec.name && is_header_segment(*rec.name);
            rec.hash = detail::layout_hash(record.shape_hash, rec.count, rec.header);
        }
        return rec;
    }

    // A record of a shape met before, written as the write of the shape
    // went: false when there is none.
    // Each step is a fixed-size copy of its separators and one of its
    // value, whose escape test reuses the value's load; an empty value
    // takes the same steps (its copy writes nothing that counts), since a
    // branch on emptiness follows the data and is missed as often as not.
    template <Kind K>
    bool write_remembered(const RecordAt& rec) {
        const LayoutCache::Shape* shape =
            rec.layout != nullptr ? rec.layout
                                  : layouts_.find(rec.hash, rec.first_pos, sizeof(Entry), rec.count, rec.header);
        if (shape == nullptr) return false;
        w_.need((rec.name ? rec.name->size() : 0) + (escape_ ? kMaxEscapedBytes : 1) * rec.all_value_bytes +
                shape->prefix_bytes + TextBuffer::kSlack);
        if (rec.name) w_.put_stored(rec.name->data(), rec.name->size());
        char* const o = w_.at();
        const std::uint64_t* codes = shape->step_codes();
        const Entry* entries = held_.entries_.data() + rec.begin;
        // Most records hold nothing to escape at all: one look over all
        // their bytes (the name's and keys' too, which only ever makes the
        // answer "look closer"), sixteen at a time, costs less than one
        // look per value, most of which are a few bytes or empty.
        if constexpr (K == Kind::Minimal || K == Kind::Full) {
            constexpr bool kMinimal = K == Kind::Minimal;
            const std::size_t n = rec.all_value_bytes;  // (none: the store may have no block)
            if (n == 0 || detail::first_escapable<kMinimal>(rec.all_values, n) == n) {
                w_.rewind_to(write_steps<Kind::Plain>(o, codes, shape->steps, shape->prefixes(), entries, store_));
                return true;
            }
        }
        w_.rewind_to(write_steps<K>(o, codes, shape->steps, shape->prefixes(), entries, store_));
        return true;
    }

    // The steps of a remembered record, written at `o`; returns the end.
    // Everything the loop reads is a local: held in members, the values
    // written through a char pointer (which may alias anything) made the
    // compiler read them all again after every store.
    template <Kind K>
    char* write_steps(char* o, const std::uint64_t* codes, std::uint32_t steps, const char* prefix,
                      const Entry* entries, const char* store) {
        static_assert(sizeof(Entry) <= 32, "a step's offset holds an entry's index times 32");
        const char* entry_bytes = reinterpret_cast<const char*>(entries);
        for (std::uint32_t i = 0; i < steps; ++i) {
            const std::uint64_t code = codes[i];
            const auto prefix_len = static_cast<std::size_t>(code >> kStepPrefixShift);
            detail::put_run_of(o, prefix, prefix_len);  // kSlack bytes follow the last prefix
            o += prefix_len;
            prefix += prefix_len;
            const Entry& e = *reinterpret_cast<const Entry*>(entry_bytes + (code & kStepOffsetMask));
            o = put_cell<K>(o, store + e.value_off, e.value_len, code);
        }
        return o;
    }

    // A value of a remembered record, written at `o` (with room for it at
    // its longest and kSlack more); returns the end of what it wrote.
    template <Kind K>
    char* put_cell(char* o, const char* v, std::size_t len, std::uint64_t code) {
        const bool exempt = ((code >> kStepExemptBit) & 1) != 0;
        if constexpr (K == Kind::Handler) {
            return values_.put_value(o, v, len, !exempt);
        } else if constexpr (K == Kind::Plain) {
            detail::put_run_of(o, v, len);
            return o + len;
        } else {
            return values_.put<K == Kind::Minimal>(o, v, len, exempt);
        }
    }

    // A record not met before: its keys sorted by position, written, and
    // its layout kept for the next record of its shape.
    Written write_sorted(const RecordAt& rec) {
        if (rec.count > kMaxFastEntries) return Written::ByKeyOrder;
        std::size_t usable = 0;
        if (!sort_keys(rec, usable)) return Written::ByKeyOrder;
        // Room for the whole record at once: every value escaped at its
        // longest, one "|", "~" and "^" per value (the name's and unused
        // keys' values are counted too: room to spare).  Longer runs of
        // separators ask for their own room.
        const std::size_t room =
            (escape_ ? kMaxEscapedBytes : 1) * rec.all_value_bytes + 3 * usable + TextBuffer::kSlack;
        const bool keep = rec.count <= LayoutCache::kMaxShapeEntries;
        steps_.clear();
        prefixes_.clear();
        std::uint64_t separators = 0;
        const Written written = write_cells(rec, room, keep, separators);
        if (written == Written::Done && keep) {
            layouts_.insert(rec.hash, rec.first_pos, sizeof(Entry), rec.count, rec.header, steps_, prefixes_,
                            separators);
        }
        return written;
    }

    // Fills keys_ with the record's usable keys in position order, and
    // `usable` with how many there are; false (keys_ unsorted) when one of
    // them is too large to pack.
    bool sort_keys(const RecordAt& rec, std::size_t& usable) {
        const auto& entries = held_.entries_;
        // First pass: whether the positions rise already (natural key order)
        // and how many keys each field has.
        std::uint32_t counts[kDealtFields + 1] = {};
        bool ordered = true, dealable = true;
        std::uint64_t max_pos = 0;
        usable = 0;
        for (std::size_t i = rec.begin; i < rec.end; ++i) {
            const std::uint64_t pos = position_of(entries[i]);
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
        // (kWidePos lies above every packed position: no test per key.)
        if (max_pos == kWidePos) return false;
        // Second pass: the sort keys, in position order.  Byte order ("1",
        // "10", "11", "2") is dealt out by field, which leaves only
        // component and repetition numbers of ten and more out of order, for
        // an insertion sort.
        keys_.resize(usable);
        std::size_t j = 0;
        if (ordered || !dealable) {
            for (std::size_t i = rec.begin; i < rec.end; ++i) {
                const std::uint64_t pos = position_of(entries[i]);
                if (pos < kUnusedPos) keys_[j++] = pos << kIndexBits | (i - rec.begin);
            }
            if (!ordered) std::sort(keys_.begin(), keys_.end());
        } else {
            const auto max_field = static_cast<std::uint32_t>(max_pos >> 34);
            for (std::uint32_t f = 1; f <= max_field; ++f) counts[f] += counts[f - 1];
            for (std::size_t i = rec.begin; i < rec.end; ++i) {
                const std::uint64_t pos = position_of(entries[i]);
                if (pos < kUnusedPos) keys_[counts[pos >> 34]++] = pos << kIndexBits | (i - rec.begin);
            }
            finish_sort(keys_);
        }
        return true;
    }

    // Writes the record's cells in the order of keys_.  Done, or (with
    // nothing written) ByKeyOrder when the record needs the rules by key
    // order; `separators` gets how many a Done record wrote.  With `keep`,
    // also records the write for the layout cache: the steps, and the
    // separators written into prefixes_.
    Written write_cells(const RecordAt& rec, std::size_t room, bool keep, std::uint64_t& separators) {
        const std::size_t mark = written_size();
        Written result = Written::Done;
        if (rec.name) w_.put_stored(rec.name->data(), rec.name->size());  // never escaped
        std::size_t written_end = written_size();
        // A header's field 1 holds the encoding characters, which are
        // syntax: every value placed there is written as it is.
        const bool escape_field_1 = escape_ && !rec.header;
        std::uint32_t field = 0, rep = 0, comp = 1;
        std::uint64_t open_rep = ~std::uint64_t{0};
        std::uint64_t least_next = 0;  // a position below this does not rise
        // Without a name the first part of the line has no separator
        // before it.
        std::uint32_t first_field_less = rec.name ? 0 : 1;
        const std::size_t n = keys_.size();
        w_.need(room);
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t pos = keys_[i] >> kIndexBits;
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
                    put_separators('|', f - field - first_field_less, room);
                    first_field_less = 0;
                    field = f;
                    rep = 0;
                }
                const auto rp = static_cast<std::uint32_t>(field_rep & 0x1FFFF);
                separators += rp - rep;
                put_separators('~', rp - rep, room);
                rep = rp;
                comp = 1;
                open_rep = field_rep;
            }
            const auto k = static_cast<std::uint32_t>(pos & 0x1FFFF);
            if (k == 0) {
                // Component 0 stands for the whole repetition only when
                // nothing else is stored in it; it sorts first, so look
                // ahead.
                if (i + 1 < n && (keys_[i + 1] >> kIndexBits >> 17) == open_rep) continue;
            } else {
                separators += k - comp;
                put_separators('^', k - comp, room);
                comp = k;
            }
            const std::size_t index = keys_[i] & kIndexMask;
            const Entry& e = held_.entries_[rec.begin + index];
            if (keep) {
                const std::size_t at = written_size();
                const bool exempt = f == 1 && rec.header;
                steps_.push_back(index * sizeof(Entry) | std::uint64_t{exempt} << kStepExemptBit |
                                 std::uint64_t{at - written_end} << kStepPrefixShift);
                prefixes_.append(out_.data() + written_end, at - written_end);
            }
            w_.rewind_to(
                values_.put_value(w_.at(), store_ + e.value_off, e.value_len, f == 1 ? escape_field_1 : escape_));
            if (keep) written_end = written_size();
        }
        if (result != Written::Done) {
            out_.truncate(mark);
            w_.restart();
        }
        return result;
    }

    // A run of separators: mostly a single one, longer runs for gaps.
    void put_separators(char c, std::uint32_t count, std::size_t room) {
        if (count == 1) {
            w_.put(c);
        } else if (count != 0) {
            w_.put_run(c, count, room);
        }
    }

    // Two keys for one position, a key too large to pack, or a very long
    // record: the rules by key order decide.
    // The cells are read from the store as they lie (a record of millions
    // of entries takes a few dozen bytes more per entry, not a copy of
    // every key and value); only keys of one position are compared as text.
    void write_by_key_order(const RecordAt& rec) {
        std::vector<detail::Cell>& cells = rules_.cells();
        cells.clear();
        cells.reserve(rec.count);
        for (std::size_t i = rec.begin; i < rec.end; ++i) {
            const Entry& e = held_.entries_[i];
            const std::uint64_t pos = position_of(e);
            if (pos == kNamePos || pos == kUnusedPos) continue;
            // A key too large to pack kept its text, which is read again.
            const detail::Position p = pos == kWidePos ? *detail::parse_key(held_.key_text(e)) : detail::unpack(pos);
            cells.push_back(detail::Cell{p, i, held_.value_of(e)});
        }
        std::sort(cells.begin(), cells.end(), [this](const detail::Cell& a, const detail::Cell& b) {
            if (!(a.pos == b.pos)) return a.pos < b.pos;
            return held_.key_of(held_.entries_[a.seq]) < held_.key_of(held_.entries_[b.seq]);
        });
        slow_.clear();
        rules_.write_sorted(rec.name, slow_);
        w_.need(slow_.size());
        w_.put_text(slow_);
    }

    std::size_t written_size() const { return static_cast<std::size_t>(w_.at() - out_.data()); }

    const JsonHl7& held_;
    const char* const store_;
    const bool escape_;
    const bool minimal_;  // spaces, tabs and "&" go out as they are
    detail::ValueWriter values_;
    detail::Assembler rules_;  // the rules by key order
    TextBuffer& out_;
    RoomWriter w_;
    LayoutCache& layouts_;
    const bool layouts_known_;
    std::vector<std::uint64_t> keys_;   // sort keys of the record being written
    std::vector<std::uint64_t> steps_;  // its layout's steps ...
    std::string prefixes_;              // ... and separators, as it is written
    std::string slow_;
};

void JsonHl7::assemble_into(EscapeMode mode, TextBuffer& out) const { Assembly(*this, mode, out).run(); }

void JsonHl7::convert_json_to_hl7_into(EscapeMode mode, TextBuffer& out) const {
    // A store built by a caller that did not check it is checked here, so
    // that no record ever asks for more than the bound allows.
    if (checked_entries_ != entries_.size()) {
        if (std::optional<std::string> error = exact_output_breach()) throw std::length_error(*error);
    }
    // Room for every value and a separator per entry up front: the output
    // rarely outgrows it, so it is seldom copied while it grows.
    out.room(bytes_.size() + entries_.size() + records_.size());
    assemble_into(mode, out);
}

std::string JsonHl7::convert_json_to_hl7(EscapeMode mode) const {
    TextBuffer out;
    convert_json_to_hl7_into(mode, out);
    return std::string(out.view());
}

}  // namespace segmorph
