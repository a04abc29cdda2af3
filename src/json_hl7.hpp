// Records to HL7 text: the record store (JsonHl7), its JSON file input and
// the assembly.  The public header of the rooms that hold them:
//   json_hl7_buffers.*    the growing blocks the store and the text live in
//   json_hl7_keys.hpp,
//   json_hl7_store.cpp    the store and key codes: each key read once
//   json_hl7_readers.cpp  the JSON readers (yyjson, the strict event reader)
//   json_hl7_flat.*       the flat reader: segmorph's own JSON in one pass
//   json_hl7_assembly.cpp the fast assembly, in named steps
//   json_hl7_writer.hpp   its writer and 16-byte escape scan
//   json_hl7_values.hpp   one value into the text, escaped as the mode says
//   json_hl7_layouts.hpp  the per-thread cache of record layouts
//   json_hl7_key_order.*  the rules by key order, and oracle_assemble_message
//   json_hl7_bounds.*     the bound on the separators a message writes
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "escape.hpp"
#include "json_hl7_buffers.hpp"
#include "segments.hpp"

namespace segmorph {

namespace detail {
class LayoutCache;
struct LayoutShape;
}  // namespace detail

// The oracle of the assembly, for the fuzz targets and tests: records into
// message text, one line per record joined by "\n", every record by the
// plain rules by key order (json_hl7_key_order.hpp), with none of the fast
// assembly's tricks.  Values are escaped with `handler` as `mode` says; the
// segment name never is.  JsonHl7 must write exactly this.  Fails, as
// JsonHl7::check_output_bound does, for records that pass the bound on the
// separators a message writes (json_hl7_bounds.hpp).
Result<std::string> oracle_assemble_message(const std::vector<SegmentRecord>& records, const Hl7EscapeHandler& handler,
                                            EscapeMode mode);

// Parses a JSON text that must be an array of objects whose member values are
// all strings.  Fails with InvalidFormat("Invalid JSON: <parser message>").
Result<std::vector<SegmentRecord>> parse_json_records(std::string_view text);

// Records held for assembly.  Every key and value is copied once, into one
// buffer, and every key's position is read once, when the record is added:
// a record's strings and vectors of its own, and keys read again on every
// assembly, cost more than the assembly itself.
class JsonHl7 {
public:
    JsonHl7() = default;
    explicit JsonHl7(const std::vector<SegmentRecord>& records);

    // Io, EmptyMessage or InvalidFormat, else the parsed records.
    static Result<JsonHl7> from_file(std::string_view path);
    // The rest of from_file once the file is read (by read_utf8_file or a
    // FileReader): `content` is the file's text or the error reading it.
    static Result<JsonHl7> from_file_content(Result<std::string> content);
    // The records of a JSON text, as parse_json_records reads it (same
    // records, same errors), but faster.
    static Result<JsonHl7> from_json_text(std::string_view text);

    // Building the records one entry at a time: begin_record(), then the
    // record's entries, whose keys must differ from one another.
    void reserve(std::size_t records, std::size_t entries);
    // Empties the store, keeping its memory for the next records.
    void clear() {
        bytes_.clear();
        entries_.clear();
        records_.clear();
        ascii_ = true;
        checked_entries_ = kUnchecked;
        bound_ = Bound{};
    }
    void begin_record() {
        // The records before are complete: their separators are counted a
        // few records at a time (a call per record cost 4% of a to-hl7
        // run), while their entries are at hand (see bound_records).
        if (records_.size() - bound_.records >= kBoundBatch) bound_records();
        records_.push_back(Record{entries_.size(), 0, kNoName, nullptr});
        checked_entries_ = kUnchecked;
    }
    // Takes back the record begun last, its entries and bytes: for a reader
    // that finds out partway that the record must be added otherwise.
    void abandon_record() {
        const Record& record = records_.back();
        if (record.start < entries_.size()) {
            const Entry& first = entries_.data()[record.start];
            bytes_.truncate(first.value_off - stored_key_len(first));
        }
        entries_.truncate(record.start);
        records_.pop_back();
        checked_entries_ = kUnchecked;
        if (bound_.records > records_.size()) {
            // Counted already (a check came between): only the exact count
            // will do now.
            bound_.records = records_.size();
            bound_.exact = true;
        }
    }
    void add_entry(std::string_view key, std::string_view value) { add_entry(key, value, key_position(key)); }
    // What add_entry reads from a key, as an opaque number, for a caller
    // that can remember it per key instead of reading the key every time.
    static std::uint64_t key_position(std::string_view key);
    // `position` must be key_position(key).
    void add_entry(std::string_view key, std::string_view value, std::uint64_t position) {
        ascii_ = false;  // not known to be: the assembled text is looked at instead
        store_entry(key, value, position, 0, copy_bytes);
    }

    // The same for ASCII texts that each follow at least eight bytes of the
    // caller's memory that may be read (a compact str's text follows its
    // header): a short text is then read as the one word that ends with it,
    // with no branch on its length, which varies from key to key.
    void add_entry_after_header(std::string_view key, std::string_view value, std::uint64_t position) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        // Room for the last text's whole word too (the store may be empty).
        store_entry(key, value, position, 8, copy_after_header);
#else
        add_entry(key, value, position);
#endif
    }

    // Keys of the forms that flattening writes ("3", "3.1", "3[0]", "3[0].1":
    // numbers without leading zeros, each index small enough to pack) and
    // the name's key are known by a code: their position and which parts
    // their text writes.  An entry added by its key's code keeps no key
    // text; the text is written again when asked for (json_data, and a
    // record that takes the byte-wise rules).  A caller that remembers the
    // codes of the keys it meets again and again then need not read those
    // keys at all.  kNoKeyCode for any other key.
    static std::uint64_t key_code(std::string_view key);
    static constexpr std::uint64_t kNoKeyCode = 0;
    static constexpr unsigned kKeyCodeBits = 60;  // every code is below 2^kKeyCodeBits
    // add_entry_after_header for a key given by its code, which must be
    // key_code of the key, not kNoKeyCode.
    void add_entry_after_header(std::uint64_t key_code, std::string_view value) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        char* p = bytes_.room(value.size() + 8);
        copy_after_header(p, value);
        bytes_.set_end(p + value.size());
        note_entry(key_code, value.size(), 0);
#else
        const std::string key = key_of_code(key_code & kCodePositionMask, key_code >> kCodeFormShift);
        add_entry(key, value, key_code & kCodePositionMask);
#endif
    }
    // add_entry for a key given by its code (any value).
    void add_entry_by_code(std::uint64_t key_code, std::string_view value) {
        ascii_ = false;  // not known to be: the assembled text is looked at instead
        char* p = bytes_.room(value.size());
        copy_bytes(p, value);
        bytes_.set_end(p + value.size());
        note_entry(key_code, value.size(), 0);
    }
    // Adds many entries in a row to the record begun last (see below).
    class RecordFiller;

    // Once the records are all in: whether the separators they write stay
    // within the bound (json_hl7_bounds.hpp); if not, what is wrong, naming
    // the first record and key that would pass it ("record 3: key ...",
    // which callers raise as InvalidFormat).  Every way that builds a store
    // for a caller ends with this, so that a message that cannot be written
    // whole fails where its records are read.  Assembling a store that was
    // not checked checks it first, and throws std::length_error with that
    // text if it fails.
    std::optional<std::string> check_output_bound();

    // The position of a key by its code: what key_position gives for its text.
    static std::uint64_t position_of_code(std::uint64_t key_code) { return key_code & kCodePositionMask; }
    // The parts a key code's text writes: its field, and its repetition and
    // component or -1 where the text has none.  False for the name's key.
    static bool parts_of_code(std::uint64_t key_code, std::uint64_t& field, std::int64_t& rep, std::int64_t& comp) {
        const std::uint64_t form = key_code >> kCodeFormShift;
        if ((form & kFormName) != 0) return false;
        const std::uint64_t position = key_code & kCodePositionMask;
        field = position >> 34;
        rep = (form & kFormRep) != 0 ? static_cast<std::int64_t>((position >> 17) & 0x1FFFF) : -1;
        comp = (form & kFormComp) != 0 ? static_cast<std::int64_t>(position & 0x1FFFF) : -1;
        return true;
    }

    std::size_t record_count() const { return records_.size(); }
    // Every key and value held came in as ASCII (only the ASCII ways of
    // adding them say so), and so the text assembled is ASCII.
    bool ascii() const { return ascii_; }
    // The records, each in byte-wise key order (a copy: only the getter of
    // the binding's json_data wants them).
    std::vector<SegmentRecord> json_data() const;
    // Bytes of keys and values held: the measure of an assembly's work.
    std::size_t input_bytes() const { return bytes_.size(); }

    std::string convert_json_to_hl7(bool escape) const {
        return convert_json_to_hl7(escape ? EscapeMode::Full : EscapeMode::None);
    }
    std::string convert_json_to_hl7(EscapeMode mode) const;
    // The same, appended to `out` (which a caller may keep between calls).
    void convert_json_to_hl7_into(bool escape, TextBuffer& out) const {
        convert_json_to_hl7_into(escape ? EscapeMode::Full : EscapeMode::None, out);
    }
    void convert_json_to_hl7_into(EscapeMode mode, TextBuffer& out) const;

    // Markers in a key's position beside the packed positions, which stay
    // below 2^51: the name's key, a key the assembly does not use, and a
    // usable key with an index too large to pack (json_hl7_keys.hpp), which
    // keeps its text for the rules by key order.  Ordered so that every
    // usable key is below kUnusedPos and every marker at or above kWidePos.
    static constexpr std::uint64_t kNamePos = (std::uint64_t{1} << 56) - 1;
    static constexpr std::uint64_t kUnusedPos = kNamePos - 1;
    static constexpr std::uint64_t kWidePos = kNamePos - 2;

private:
    // A key's bytes are stored right before its value's.
    struct Entry {
        // The key's code (the form's bits above the position), or for a key
        // kept as text its bare packed position (json_hl7_keys.hpp), kNamePos,
        // kUnusedPos or kWidePos: what the readers have at hand, stored as it is,
        // where taking it apart cost them five instructions an entry.
        std::uint64_t key;
        std::size_t value_off, value_len;
        std::size_t key_len;  // bytes of a key kept as text; 0 for a code
    };
    static bool by_code(const Entry& e) { return (e.key >> kCodeFormShift) != 0; }
    static std::uint64_t position_of(const Entry& e) { return e.key & kCodePositionMask; }
    static constexpr std::size_t kNoName = ~std::size_t{0};
    struct Record {
        std::size_t start;         // index of its first entry
        std::uint64_t shape_hash;  // shape_step over its entries' positions, from 0
        std::size_t name_at;       // index in it of the name's entry, or kNoName
        // Its layout, when the layout cache of bound_ remembered its shape
        // as the record was counted: the assembly need not look again.
        const detail::LayoutShape* layout;
    };
    // A record's shape hash, which the assembly looks up remembered layouts
    // by, with one more entry's key (Entry::key): kept as the entries come in, so
    // the assembly need not read them all once more first.  The hash so far
    // is turned, so order counts, and the position xor'ed in: two
    // instructions in the loops that add entries, where a multiply per entry
    // and the entry's index cost five.  A weak mix, which the assembly mixes
    // once more per record; and a record is taken as a shape's only after
    // all its positions were compared, so a collision only costs the help
    // of the cache.
    static std::uint64_t shape_step(std::uint64_t hash, std::uint64_t key) { return (hash << 7 | hash >> 57) ^ key; }
    // The key's bytes, then the value's, copied by `copy` into the store
    // with `extra` bytes of room past them; the record begun last gets the
    // entry.
    template <class Copy>
    void store_entry(std::string_view key, std::string_view value, std::uint64_t position, std::size_t extra,
                     Copy copy) {
        char* p = bytes_.room(key.size() + value.size() + extra);
        copy(p, key);
        copy(p + key.size(), value);
        bytes_.set_end(p + key.size() + value.size());
        note_entry(position, value.size(), key.size());
    }
    // The entry whose value was just stored, in the record begun last; `key`
    // as Entry::key.  Always inlined: the loops that add entries are what it
    // is for, and a call per entry cost 7% of a whole conversion when it was
    // not.
    [[gnu::always_inline]] void note_entry(std::uint64_t key, std::size_t value_size, std::size_t key_len) {
        Record& record = records_.back();
        record.shape_hash = shape_step(record.shape_hash, key);
        if ((key & kCodePositionMask) == kNamePos) record.name_at = entries_.size() - record.start;
        entries_.push_back(Entry{key, bytes_.size() - value_size, value_size, key_len});
    }
    // Keys and values are mostly a few bytes: a call to memcpy costs more
    // than the copy.  Reads only the n bytes of `from`.
    static void copy_bytes(char* to, std::string_view from) {
        const std::size_t n = from.size();
        const char* s = from.data();
        if (n >= 8 && n <= 16) {
            std::uint64_t a, b;
            std::memcpy(&a, s, 8);
            std::memcpy(&b, s + n - 8, 8);
            std::memcpy(to, &a, 8);
            std::memcpy(to + n - 8, &b, 8);
        } else if (n >= 4 && n < 8) {
            std::uint32_t a, b;
            std::memcpy(&a, s, 4);
            std::memcpy(&b, s + n - 4, 4);
            std::memcpy(to, &a, 4);
            std::memcpy(to + n - 4, &b, 4);
        } else if (n > 0 && n < 4) {
            to[0] = s[0];
            to[n / 2] = s[n / 2];
            to[n - 1] = s[n - 1];
        } else if (n > 16) {
            std::memcpy(to, s, n);
        }
    }
    // Writes 8 bytes at `to` when the text is shorter, so `to` needs that
    // much room.
    static void copy_after_header(char* to, std::string_view from) {
#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
        copy_bytes(to, from);  // the word's shift below takes little-endian words
        return;
#endif
        const std::size_t n = from.size();
        const char* s = from.data();
        if (n <= 8) {
            std::uint64_t word;
            std::memcpy(&word, s + n - 8, 8);  // the word that ends with the text
            word >>= (8 * (8 - n)) & 63;       // its high bytes, down to the low ones
            std::memcpy(to, &word, 8);
        } else {
            copy_bytes(to, from);
        }
    }
    // A key code: the key's position (kNamePos for the name's key) in the
    // low bits, above them which parts its text writes.
    static constexpr unsigned kCodeFormShift = 56;
    static_assert(kNamePos < (std::uint64_t{1} << kCodeFormShift), "the markers fit a code's position");
    static constexpr std::uint64_t kCodePositionMask = (std::uint64_t{1} << kCodeFormShift) - 1;
    static constexpr std::uint64_t kFormRep = 1, kFormComp = 2, kFormName = 4, kFormKnown = 8;
    static_assert(kCodeFormShift + 4 <= kKeyCodeBits, "the form's four bits lie below kKeyCodeBits");
    static std::string key_of_code(std::uint64_t position, std::uint64_t form);
    // Bytes of the entry's key held in the store, before its value.
    static std::size_t stored_key_len(const Entry& e) { return e.key_len; }
    std::string key_of(const Entry& e) const {
        if (by_code(e)) return key_of_code(position_of(e), e.key >> kCodeFormShift);
        return std::string(key_text(e));
    }
    std::string_view value_of(const Entry& e) const {
        return std::string_view(bytes_.data() + e.value_off, e.value_len);
    }
    // The text of a key kept as text (not by its code).
    std::string_view key_text(const Entry& e) const {
        return std::string_view(bytes_.data() + e.value_off - e.key_len, e.key_len);
    }
    // The fast assembly (json_hl7_assembly.cpp).
    class Assembly;
    void assemble_into(EscapeMode mode, TextBuffer& out) const;
    // The separators of the records not yet counted, added to bound_
    // (json_hl7_bounds.cpp).
    [[gnu::noinline]] void bound_records();
    // The records counted exactly, in order, against the bound: what is
    // wrong with the first that passes it (json_hl7_bounds.cpp).
    std::optional<std::string> exact_output_breach() const;

    TextBuffer bytes_;
    PlainVector<Entry> entries_;
    PlainVector<Record> records_;
    bool ascii_ = true;
    // The number of entries when the store was last checked and passed,
    // else kUnchecked: entries added since (to the last record, or in a
    // record begun since) make it differ.
    static constexpr std::size_t kUnchecked = ~std::size_t{0};
    std::size_t checked_entries_ = kUnchecked;
    // The separators of the records counted so far (the first `records`,
    // which ended at entry `entries`), at most: exact for those whose layout
    // was remembered, else an upper bound (json_hl7_bounds.cpp); `exact`
    // when one holds a key too large to pack, or a record was taken back,
    // and only the exact count will do.  The layouts found were those of
    // the cache `layouts_id`, as it was in its `layouts_epoch`; they are the
    // records' only while no entry was added since (`entries`).
    static constexpr std::size_t kBoundBatch = 8;
    struct Bound {
        std::size_t records = 0, entries = 0;
        std::uint64_t separators = 0;
        bool exact = false;
        std::uint64_t layouts_id = 0, layouts_epoch = 0;
    };
    Bound bound_;

public:
    // Fills the record begun last for a reader that adds many entries in a
    // row (the flat JSON reader).  The ends of the bytes and entries written
    // so far, and their room, are a Run of plain values that the reader
    // copies into locals for its loop and hands back: held in the store's
    // members (or anywhere in memory), every byte written through a char
    // pointer, which may alias anything, made the compiler read them all
    // again, which cost more than the copy.  The store is told at the end,
    // when the filler goes; nothing else may add to it in between.
    class RecordFiller {
    public:
        struct Run {
            char* bytes_at;
            char* bytes_limit;
            const char* bytes_base;
            Entry* entry_at;
            Entry* entry_limit;
            const Entry* entry_base;
            std::uint64_t hash;

            // Whether n bytes fit the room.
            bool fits_bytes(std::size_t n) const {
                return n + TextBuffer::kSlack <= static_cast<std::size_t>(bytes_limit - bytes_at);
            }
            // Whether a value of n bytes and its entry fit the room.
            bool fits(std::size_t n) const { return fits_bytes(n) && entry_at != entry_limit; }
            // Adds an entry for the n bytes at bytes_at, which the caller has
            // written there itself (within the room fits() said there was).
            void add_written(std::uint64_t key_code, std::size_t n) {
                *entry_at++ = Entry{key_code, static_cast<std::size_t>(bytes_at - bytes_base), n, 0};
                bytes_at += n;
                hash = shape_step(hash, key_code);
            }
            // add_written for a reader that keeps its own count of the bytes
            // written: they end `at` bytes past bytes_base (and bytes_at is
            // the reader's to set when it is done).  Each of the entry's
            // words is stored on its own: built as one value, the entry was
            // put together in vector registers first, at twice the cost.
            void add_written_at(std::uint64_t key_code, std::size_t at, std::size_t n) {
                Entry* e = entry_at++;
                e->key = key_code;
                e->value_off = at;
                e->value_len = n;
                e->key_len = 0;
                hash = shape_step(hash, key_code);
            }
            // Adds a value of n bytes (at most 16) from `value`, where 16
            // bytes may be read, copied as one block of 16 with no branch on
            // its length; the key's code must not be the name's.  Must fit.
            void add_short(std::uint64_t key_code, const char* value, std::size_t n) {
                std::memcpy(bytes_at, value, 16);
                add_written(key_code, n);
            }
            // As add_entry_after_header for a key code: the value is ASCII
            // and follows eight readable bytes.  Must fit.
            void add_after_header(std::uint64_t key_code, std::string_view value) {
                copy_after_header(bytes_at, value);
                add_written(key_code, value.size());
            }
            // As add_entry for a key kept as text, at `position` (as
            // add_entry_after_header when `after_header`).  The key's bytes
            // and the value's must fit.
            void add_keyed(std::uint64_t position, std::string_view key, std::string_view value, bool after_header) {
                if (after_header) {
                    copy_after_header(bytes_at, key);
                    copy_after_header(bytes_at + key.size(), value);
                } else {
                    copy_bytes(bytes_at, key);
                    copy_bytes(bytes_at + key.size(), value);
                }
                bytes_at += key.size();
                *entry_at++ =
                    Entry{position, static_cast<std::size_t>(bytes_at - bytes_base), value.size(), key.size()};
                bytes_at += value.size();
                hash = shape_step(hash, position);
            }
        };

        explicit RecordFiller(JsonHl7& store) : store_(store), record_(store.records_.back()) {
            store.ascii_ = false;  // not known to be: the assembled text is looked at instead
            store.checked_entries_ = kUnchecked;
            run_.hash = record_.shape_hash;
            take_room(0);
        }
        // For a reader whose entries are all ASCII unless it says otherwise
        // (note_not_ascii): the store's ascii() is left as it was.  Takes
        // no room of its own: a reader that sized the store first mostly
        // needs no more.  Room is taken for `entries` entries at once, so
        // that only the bytes need checking (Run::fits_bytes) while no more
        // are added.
        struct AsciiEntries {};
        RecordFiller(JsonHl7& store, AsciiEntries, std::size_t entries)
            : store_(store), record_(store.records_.back()) {
            store.checked_entries_ = kUnchecked;
            run_.hash = record_.shape_hash;
            take_room(0, 0, entries);
        }
        RecordFiller(const RecordFiller&) = delete;
        RecordFiller& operator=(const RecordFiller&) = delete;
        ~RecordFiller() { give_back(); }

        Run run() const { return run_; }
        void end_run(const Run& run) { run_ = run; }
        // The entry at `index` of the store (entry_at - entry_base of the
        // run that added it) is the record's name (add_written does not
        // look).
        void note_name(std::size_t index) { record_.name_at = index - record_.start; }
        void note_not_ascii() { store_.ascii_ = false; }
        // Room for n more bytes (and an entry) past the run handed back
        // last, taken anew; run() is then the run to go on with.  Kept out
        // of the readers' loops, which seldom need it.
        [[gnu::noinline]] void make_room(std::size_t n) {
            give_back();
            take_room(n + TextBuffer::kSlack);
        }
        // As add_entry for a key kept as text, at `position`.
        void add_keyed(std::uint64_t position, std::string_view key, std::string_view value) {
            if (!run_.fits(key.size() + value.size())) make_room(key.size() + value.size());
            note_if_name(position);
            run_.add_keyed(position, key, value, false);
        }

        // As add_entry_by_code.  `readable` bytes may be read from the
        // value's start (at least its size).
        void add_by_code(std::uint64_t key_code, std::string_view value, std::size_t readable) {
            if (!run_.fits(value.size())) make_room(value.size());
            note_if_name(key_code);
            if (value.size() <= 16 && readable >= 16) {
                run_.add_short(key_code, value.data(), value.size());
                return;
            }
            copy_bytes(run_.bytes_at, value);
            run_.add_written(key_code, value.size());
        }

    private:
        // The entry about to be added is the name's when `key` (as
        // Entry::key) says so.
        void note_if_name(std::uint64_t key) {
            if ((key & kCodePositionMask) == kNamePos)
                note_name(static_cast<std::size_t>(run_.entry_at - run_.entry_base));
        }
        // Room for `bytes` more bytes at least (and `least`), and for
        // `more_entries` entries at least.
        void take_room(std::size_t bytes, std::size_t least = 1024, std::size_t more_entries = 16) {
            const std::size_t entries = store_.entries_.size();
            const std::size_t capacity = store_.entries_.capacity();
            if (capacity - entries < more_entries) {
                const std::size_t doubled = capacity < 64 ? 64 : 2 * capacity;
                store_.entries_.reserve(entries + more_entries > doubled ? entries + more_entries : doubled);
            }
            // (room() grows the block by doubling, as add_entry does.)
            char* at = store_.bytes_.room(bytes < least ? least : bytes);
            run_.bytes_base = store_.bytes_.data();
            run_.bytes_at = at;
            run_.bytes_limit = store_.bytes_.data() + store_.bytes_.capacity();
            run_.entry_base = store_.entries_.data();
            run_.entry_at = store_.entries_.data() + entries;
            run_.entry_limit = store_.entries_.data() + store_.entries_.capacity();
        }
        // (By counts from the bases: when growing one block succeeded and
        // the other threw, the run still points into the old ones.)
        void give_back() {
            store_.bytes_.truncate(static_cast<std::size_t>(run_.bytes_at - run_.bytes_base));
            store_.entries_.truncate(static_cast<std::size_t>(run_.entry_at - run_.entry_base));
            record_.shape_hash = run_.hash;
        }

        JsonHl7& store_;
        Record& record_;
        Run run_;
    };
};

}  // namespace segmorph
