// The flat reader: records as segmorph writes them, read in one pass
// straight into the store.  A document tree first and the store after it
// read every key and value twice and copied each once more than needed;
// here each string is scanned sixteen bytes at a time, a key is mostly
// foreseen from the keys before it (json_hl7_key_paths.hpp) and else found
// by its bytes in the per-thread key table, and a value is copied once,
// into the store.
//
// It reads only a plain subset of JSON: strings with no "\u" escapes, short
// integers, objects and arrays in the places records take, and keys of a
// record in strictly increasing byte order (as segmorph writes them).  At
// anything else it gives up (returns false), and the caller reads the text
// again with the full reader, which decides what is accepted and words every
// error.  So it never refuses a text: it accepts only texts the full reader
// accepts, into the same records (fuzz/records_fuzz.cpp compares the two).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "json_hl7.hpp"
#include "json_hl7_keys.hpp"
#include "packed_bytes.hpp"

namespace segmorph {

// Adds one record's entries to a store in the order they come, as long as
// each key follows the one before it strictly in byte order: keys so
// ordered cannot repeat, so no entry replaces another and each goes straight
// in, by its code where it has one.  Both JSON readers add records this way.
// Whether key `k` follows key `previous` in byte order, strictly, given
// their `words`: the big-endian words of their packed bytes for keys of 1
// to 8 bytes.  Such keys (nearly all) are compared as those words, with no
// call: zeros pad the shorter, whose length then decides a tie, which is
// byte order.
inline bool key_follows(std::string_view previous, std::uint64_t previous_word, std::string_view k,
                        std::uint64_t word) {
    if (previous.size() - 1 < 8 && k.size() - 1 < 8) {
        return word > previous_word || (word == previous_word && k.size() > previous.size());
    }
    return previous < k;
}

// Adds one record's entries to a store in the order they come, as long as
// each key follows the one before it strictly in byte order: keys so
// ordered cannot repeat, so no entry replaces another and each goes straight
// in, by its code where it has one.  The yyjson reader adds records so; the
// flat reader does the same steps with what it knows of its keys.
class OrderedRecord {
public:
    OrderedRecord(JsonHl7& out, KeyCodes& codes) : out_(out), codes_(codes) { out.begin_record(); }

    // False (nothing added) when `k` does not follow the key added last.
    bool add(std::string_view k, std::string_view v) {
        const std::uint64_t bytes = k.size() - 1 < 8 ? packed_bytes(k) : 0;
        const std::uint64_t word = __builtin_bswap64(bytes);
        if (!first_ && !key_follows(previous_, previous_word_, k, word)) return false;
        first_ = false;
        previous_ = k;  // (the reader's text outlives the record)
        previous_word_ = word;
        const std::uint64_t code = k.size() - 1 < 8 ? codes_.short_code(k, bytes) : codes_.code(k);
        if (code != JsonHl7::kNoKeyCode) {
            out_.add_entry_by_code(code, v);
        } else {
            out_.add_entry(k, v);
        }
        return true;
    }

private:
    JsonHl7& out_;
    KeyCodes& codes_;
    std::string_view previous_;
    std::uint64_t previous_word_ = 0;
    bool first_ = true;
};

// A reading position in a JSON text for the flat reader.  Every step
// returns false where the text leaves the plain subset (or is no JSON at
// all); what was added to a store until then is for the caller to drop.
class FlatJson {
public:
    explicit FlatJson(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}
    // Reading one line of a longer text: a line break is not white space
    // but the line's end (at_end() is true there), and the reader never
    // reads past it.  So a line of JSON Lines is read without first
    // looking for its end.
    static FlatJson line(std::string_view text) {
        FlatJson flat(text);
        flat.one_line_ = true;
        return flat;
    }
    // Where the reader is: after at_end(), the end of the line.
    const char* position() const { return p_; }

    // Skips white space, then takes `c` if it comes next.  segmorph writes
    // no white space, so the byte is looked at first.
    bool eat(char c) {
        if (p_ < end_ && *p_ == c) {
            ++p_;
            return true;
        }
        skip_space();
        if (p_ < end_ && *p_ == c) {
            ++p_;
            return true;
        }
        return false;
    }
    // Skips white space; then whether the text (or the line) has ended.
    bool at_end() {
        skip_space();
        return p_ == end_ || (one_line_ && *p_ == '\n');
    }
    // Skips white space; the next byte, or 0 at the end.
    char peek() {
        skip_space();
        return p_ < end_ ? *p_ : '\0';
    }
    // A string with no escape at all, as a view of the text (a member's key).
    bool plain_string(std::string_view& s);
    // A record's key and the ":" after it; `bytes` gets packed_bytes of a
    // key of 1 to 8 bytes, else 0.
    bool key(std::string_view& k, std::uint64_t& bytes);
    // A string, an integer of up to 15 digits or null, passed over (a member
    // the caller has no use for).
    bool skip_scalar();
    // An array of records (objects whose member values are all strings),
    // each added to `out` as a record.
    bool records(JsonHl7& out);
    // One such record.
    bool record(JsonHl7& out);

private:
    void skip_space() {
        while (p_ < end_ && (*p_ == ' ' || (*p_ == '\n' && !one_line_) || *p_ == '\r' || *p_ == '\t')) ++p_;
    }
    // A string value: a view of the text when it has no escape, else its
    // decoded bytes in scratch_.
    bool string(std::string_view& s);
    bool decode_string(const char* start, std::string_view& s);

    const char* p_;
    const char* end_;
    std::string scratch_;
    bool one_line_ = false;
    // The text was seen to put a space after a key's ":", as Python's
    // json.dump does: the common way then takes spaces after ":" and ",".
    bool spaced_ = false;
};

}  // namespace segmorph
