// The JSON readers of record files, fastest first.  Records as segmorph
// writes them go through the flat reader (json_hl7_flat.hpp): one pass,
// straight into the store.  Any other well-formed file goes through yyjson,
// several times faster than the strict reader, and from its tree into the
// store, with short keys found by their bytes in the per-thread key table
// (no key read twice); anything yyjson refuses, or a document of the wrong
// shape, is read again by the strict event reader (nlohmann-json's SAX
// interface), which decides what is accepted and words every error.
#include <algorithm>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include <yyjson.h>
#include <nlohmann/json.hpp>

#include "files.hpp"
#include "json_hl7.hpp"
#include "json_hl7_flat.hpp"
#include "json_hl7_keys.hpp"
#include "json_hl7_readers.hpp"

namespace segmorph {

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
                error = "the value of key " + json(quote_input(key_)).dump() + " in element " +
                        std::to_string(element_) + " must be a string, found " + found;
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

// Adds `record`, which must be an object whose member values are all
// strings, in one pass over its members.  Keys in strictly increasing byte
// order (as segmorph writes them) go straight in (see OrderedRecord); a
// record whose keys turn out otherwise is taken back and added through
// SegmentRecord, which keeps the later of two equal keys as the other reader
// does.  On a value that is not a string the record is taken back and what
// stood there is returned.
std::optional<NotRecords> add_record(yyjson_val* record, std::size_t index, JsonHl7& out, KeyCodes& codes,
                                     std::vector<SegmentRecord::Entry>& unordered) {
    if (!yyjson_is_obj(record)) return NotRecords{index, false, {}, json_kind(record)};
    std::size_t j, n;
    yyjson_val *key, *value;
    OrderedRecord ordered(out, codes);
    yyjson_obj_foreach(record, j, n, key, value) {
        const std::string_view k(yyjson_get_str(key), yyjson_get_len(key));
        if (!yyjson_is_str(value)) {
            out.abandon_record();
            return NotRecords{index, true, std::string(k), json_kind(value), k.data()};
        }
        if (!ordered.add(k, std::string_view(yyjson_get_str(value), yyjson_get_len(value)))) {
            out.abandon_record();
            unordered.clear();
            yyjson_obj_foreach(record, j, n, key, value) {
                if (!yyjson_is_str(value)) {
                    const std::string_view bad(yyjson_get_str(key), yyjson_get_len(key));
                    return NotRecords{index, true, std::string(bad), json_kind(value), bad.data()};
                }
                unordered.emplace_back(std::string(yyjson_get_str(key), yyjson_get_len(key)),
                                       std::string(yyjson_get_str(value), yyjson_get_len(value)));
            }
            out.begin_record();
            for (const auto& [uk, uv] : SegmentRecord(std::move(unordered))) out.add_entry(uk, uv);
            return std::nullopt;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<JsonHl7> read_records_yyjson(std::string_view text) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") return std::nullopt;  // refused, with its own message
    yyjson_read_err err;
    std::unique_ptr<yyjson_doc, DocFree> doc(
        yyjson_read_opts(const_cast<char*>(text.data()), text.size(), YYJSON_READ_NOFLAG, nullptr, &err));
    if (!doc) return std::nullopt;
    yyjson_val* root = yyjson_doc_get_root(doc.get());
    if (!yyjson_is_arr(root)) return std::nullopt;
    JsonHl7 out;
    // Values and keys, about half the document's values each.
    out.reserve(yyjson_arr_size(root), yyjson_doc_get_val_count(doc.get()) / 2);
    if (add_json_records(root, out)) return std::nullopt;
    return out;
}

std::optional<JsonHl7> read_records_flat(std::string_view text) {
    JsonHl7 out;
    FlatJson flat(text);
    if (!flat.records(out) || !flat.at_end()) return std::nullopt;
    return out;
}

const char* json_kind(yyjson_val* v) {
    switch (yyjson_get_type(v)) {
        case YYJSON_TYPE_NULL: return "null";
        case YYJSON_TYPE_BOOL: return "a boolean";
        case YYJSON_TYPE_NUM: return "a number";
        case YYJSON_TYPE_STR: return "a string";
        case YYJSON_TYPE_ARR: return "an array";
        case YYJSON_TYPE_OBJ: return "an object";
        default: return "nothing";
    }
}

std::optional<NotRecords> add_json_records(yyjson_val* array, JsonHl7& out) {
    KeyCodes& codes = KeyCodes::mine();
    std::vector<SegmentRecord::Entry> unordered;
    std::size_t i, count;
    yyjson_val* record;
    yyjson_arr_foreach(array, i, count, record) {
        if (auto wrong = add_record(record, i, out, codes, unordered)) return wrong;
    }
    return std::nullopt;
}

std::optional<NotRecords> add_json_record(yyjson_val* object, JsonHl7& out) {
    std::vector<SegmentRecord::Entry> unordered;
    return add_record(object, 0, out, KeyCodes::mine(), unordered);
}

Result<JsonHl7> JsonHl7::from_json_text(std::string_view text) {
    std::optional<JsonHl7> read = read_records_flat(text);
    if (!read) read = read_records_yyjson(text);
    if (!read) {
        Result<std::vector<SegmentRecord>> records = parse_json_records(text);
        if (!records) return records.error();
        read.emplace(records.value());
    }
    if (std::optional<std::string> error = read->check_output_bound()) return Hl7Error::invalid_format(*error);
    return std::move(*read);
}

Result<JsonHl7> JsonHl7::from_file(std::string_view path) { return from_file_content(read_utf8_file(path)); }

Result<JsonHl7> JsonHl7::from_file_content(Result<std::string> file) {
    Result<std::string> text = message_content(std::move(file));
    if (!text) return text.error();
    return from_json_text(text.value());
}

}  // namespace segmorph
