#include "json_reader.hpp"

#include <cstdio>
#include <memory>
#include <string>
#include <utility>

#include <yyjson.h>

#include "errors.hpp"
#include "json_hl7_flat.hpp"
#include "json_hl7_readers.hpp"
#include "json_writer.hpp"
#include "piece.hpp"

namespace segmorph::cli {

namespace {

struct DocFree {
    void operator()(yyjson_doc* doc) const { yyjson_doc_free(doc); }
};
using Doc = std::unique_ptr<yyjson_doc, DocFree>;

constexpr std::string_view kEitherMember = "expected an object with either \"records\" or \"envelope\"";

// The character at text[at] as an error text shows it: quoted, a control
// character or a byte that is not UTF-8 as <XX>, the end as such.
std::string found_at(std::string_view text, std::size_t at) {
    if (at >= text.size()) return "the end of the text";
    const auto c = static_cast<unsigned char>(text[at]);
    char hex[8];
    if (c < 0x20 || c == 0x7F) {
        std::snprintf(hex, sizeof hex, "<%02X>", c);
        return hex;
    }
    std::size_t n = 1;
    if (c >= 0x80) {
        while (n < 4 && at + n < text.size() && (static_cast<unsigned char>(text[at + n]) & 0xC0) == 0x80) ++n;
    }
    std::string out = "'";
    out += quote_input(text.substr(at, n));
    return out += "'";
}

// The reader's complaint in the command's words, saying what was expected
// where it can.
std::string syntax_words(const yyjson_read_err& err, std::string_view text) {
    const std::string_view msg = err.msg != nullptr ? err.msg : "not valid JSON";
    static constexpr std::string_view kUnexpected = "unexpected character, expected ";
    if (err.code == YYJSON_READ_ERROR_UNEXPECTED_END || msg == "unexpected end of data") {
        return "invalid JSON: the text ends before the value is complete";
    }
    if (msg.starts_with(kUnexpected)) {
        std::string expected(msg.substr(kUnexpected.size()));
        if (expected == "a valid root value" || expected == "a valid JSON value") expected = "a JSON value";
        return "invalid JSON: expected " + expected + ", found " + found_at(text, err.pos);
    }
    if (msg == "unexpected content after document") {
        return "invalid JSON: expected nothing but white space after the value, found " + found_at(text, err.pos);
    }
    if (msg.starts_with("invalid literal")) {
        return "invalid JSON: expected a JSON value (true, false, null, a number, a string, an array or an object)";
    }
    if (msg == "trailing comma is not allowed") return "invalid JSON: expected another value after the comma";
    return "invalid JSON: " + std::string(msg);
}

std::string quoted_key(std::string_view key) {
    TextBuffer out;
    append_json_string(out, quote_input(key));
    return std::string(out.view());
}

// Where records were expected, in the words of an item ("record 2 ...",
// or "\"envelope\" ..." for the envelope's one record).
std::string record_words(const NotRecords& wrong, bool envelope) {
    const std::string what = envelope ? std::string("\"envelope\"") : "record " + std::to_string(wrong.element);
    if (!wrong.in_member) return what + " must be an object, found " + wrong.found;
    return what + " has the value of key " + quoted_key(wrong.key) + " not a string but " + wrong.found;
}

// Where a problem with records stood in the text: at the member's key when
// it is one, else at the start of the item.
JsonProblem records_problem(const NotRecords& wrong, bool envelope, const yyjson_doc* doc) {
    std::size_t at = 0;
    if (wrong.key_at != nullptr && doc->str_pool != nullptr && wrong.key_at > doc->str_pool) {
        at = static_cast<std::size_t>(wrong.key_at - doc->str_pool) - 1;  // its opening quote
    }
    return JsonProblem{at, record_words(wrong, envelope)};
}

Doc read(std::string_view text, std::optional<JsonProblem>& problem) {
    if (text.starts_with("\xEF\xBB\xBF")) {
        problem = JsonProblem{0, "invalid JSON: a byte-order mark (U+FEFF) is not allowed before the JSON text"};
        return nullptr;
    }
    yyjson_read_err err;
    Doc doc(yyjson_read_opts(const_cast<char*>(text.data()), text.size(), YYJSON_READ_NOFLAG, nullptr, &err));
    if (!doc) problem = JsonProblem{err.pos, syntax_words(err, text)};
    return doc;
}

}  // namespace

// An item as to-json writes it, read by the flat reader: false (and the
// store to be dropped) wherever it gives up, also where the item is wrong,
// which the full reader then words.
bool ItemReader::read_flat(FlatJson& flat, bool bare_array) {
    if (flat.peek() == '[') return bare_array && flat.records(records) && flat.at_end();
    if (!flat.eat('{') || flat.eat('}')) return false;
    bool seen = false;  // "records" or "envelope"
    do {
        std::string_view key;
        if (!flat.plain_string(key) || !flat.eat(':')) return false;
        if (key == "records" || key == "envelope") {
            if (seen) return false;  // which one counts is the full reader's to say
            seen = true;
            envelope = key == "envelope";
            if (!(envelope ? flat.record(records) : flat.records(records))) return false;
        } else if (!flat.skip_scalar()) {
            return false;
        }
    } while (flat.eat(','));
    return seen && flat.eat('}') && flat.at_end();
}

std::optional<JsonProblem> ItemReader::read_item(std::string_view text, bool bare_array) {
    records.clear();
    envelope = false;
    if (try_flat) {
        FlatJson flat(text);
        if (read_flat(flat, bare_array)) return std::nullopt;
    }
    records.clear();
    envelope = false;
    std::optional<JsonProblem> problem;
    const Doc doc = read(text, problem);
    if (!doc) return problem;
    yyjson_val* root = yyjson_doc_get_root(doc.get());
    if (bare_array && yyjson_is_arr(root)) {
        if (auto wrong = add_json_records(root, records)) return records_problem(*wrong, false, doc.get());
        return std::nullopt;
    }
    if (!yyjson_is_obj(root)) {
        return JsonProblem{0, std::string(kEitherMember) + (bare_array ? ", or an array of records" : "") + ", found " +
                                  json_kind(root)};
    }
    yyjson_val *found_records = nullptr, *found_envelope = nullptr;
    std::size_t i, n;
    yyjson_val *key, *value;
    yyjson_obj_foreach(root, i, n, key, value) {
        // A later member of the same name replaces an earlier one.
        if (yyjson_equals_str(key, "records")) found_records = value;
        if (yyjson_equals_str(key, "envelope")) found_envelope = value;
    }
    if ((found_records == nullptr) == (found_envelope == nullptr)) {
        return JsonProblem{0, std::string(kEitherMember) + (bare_array ? ", or an array of records" : "")};
    }
    if (found_records != nullptr) {
        if (!yyjson_is_arr(found_records)) {
            return JsonProblem{0, std::string("\"records\" must be an array, found ") + json_kind(found_records)};
        }
        if (auto wrong = add_json_records(found_records, records)) return records_problem(*wrong, false, doc.get());
        return std::nullopt;
    }
    if (!yyjson_is_obj(found_envelope)) {
        return JsonProblem{0, std::string("\"envelope\" must be an object, found ") + json_kind(found_envelope)};
    }
    if (auto wrong = add_json_record(found_envelope, records)) return records_problem(*wrong, true, doc.get());
    envelope = true;
    return std::nullopt;
}

bool ItemReader::read_line_flat(std::string_view text, const char*& line_end) {
    records.clear();
    envelope = false;
    if (!try_flat) return false;
    FlatJson flat = FlatJson::line(text);
    if (!read_flat(flat, true)) return false;
    line_end = flat.position();
    return true;
}

std::optional<JsonProblem> ItemReader::read_records(std::string_view text) {
    // (The caller has seen its "[": what read_item takes as a bare array.)
    return read_item(text, true);
}

bool holds_items(std::string_view first) {
    yyjson_read_err err;
    const Doc doc(yyjson_read_opts(const_cast<char*>(first.data()), first.size(), YYJSON_READ_NOFLAG, nullptr, &err));
    if (!doc) return false;
    yyjson_val* root = yyjson_doc_get_root(doc.get());
    if (!yyjson_is_obj(root)) return false;
    // A member "records" or "envelope" that is not a string (a record's
    // values all are) makes the object an item.
    yyjson_val* records = yyjson_obj_get(root, "records");
    yyjson_val* envelope = yyjson_obj_get(root, "envelope");
    return (records != nullptr && !yyjson_is_str(records)) || (envelope != nullptr && !yyjson_is_str(envelope));
}

void ValueScanner::start(char first) {
    depth_ = 1;
    escaped_ = false;
    in_ = first == '{' || first == '[' ? In::Container : first == '"' ? In::String : In::Scalar;
}

std::size_t ValueScanner::scan(std::string_view text, std::size_t from) {
    const std::size_t n = text.size();
    for (std::size_t i = from; i < n; ++i) {
        const char c = text[i];
        switch (in_) {
            case In::Container:
                if (c == '"') {
                    in_ = In::StringInContainer;
                } else if (c == '{' || c == '[') {
                    ++depth_;
                } else if ((c == '}' || c == ']') && --depth_ == 0) {
                    return i + 1;
                }
                break;
            case In::String:
            case In::StringInContainer:
                if (escaped_) {
                    escaped_ = false;
                } else if (c == '\\') {
                    escaped_ = true;
                } else if (c == '"') {
                    if (in_ == In::String) return i + 1;
                    in_ = In::Container;
                }
                break;
            case In::Scalar:
                if (c == ',' || c == ']' || c == '}' || c == ' ' || c == '\t' || c == '\r' || c == '\n') return i;
                break;
        }
    }
    return std::string_view::npos;
}

TextPlace place_of(std::string_view text, std::size_t at, TextPlace start) {
    if (at > text.size()) at = text.size();
    const std::string_view before = text.substr(0, at);
    std::size_t lines = 0, line_start = 0;
    for (std::size_t i = 0; i < before.size(); ++i) {
        if (before[i] == '\n') {
            ++lines;
            line_start = i + 1;
        }
    }
    std::size_t chars = 0;
    for (std::size_t i = line_start; i < before.size(); ++i)
        chars += (static_cast<unsigned char>(before[i]) & 0xC0) != 0x80;
    return lines == 0 ? TextPlace{start.line, start.column + chars} : TextPlace{start.line + lines, 1 + chars};
}

}  // namespace segmorph::cli
