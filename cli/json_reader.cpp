#include "json_reader.hpp"

#include <exception>
#include <new>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "json_hl7.hpp"

namespace segmorph::cli {

namespace {

using json = nlohmann::json;

Hl7Error invalid(const std::string& what) { return Hl7Error::invalid_format("Invalid JSON: " + what); }

std::string json_quoted(const std::string& key) {
    return json(key).dump(-1, ' ', false, json::error_handler_t::replace);
}

// Builds items straight from the parser's events, without a document tree
// (most of the time of reading JSON Lines went into building and freeing
// one).  Reads one item, that is an object with "records" or "envelope"
// (other members are skipped) or a bare array of records, or, for a
// document, an array of such objects.
class ItemsSax {
public:
    explicit ItemsSax(bool document) : document_(document) {}

    std::vector<JsonItem> items;
    std::string error;
    // Some element was an object with "records" or "envelope": the input
    // is meant as items, so its errors are worth reporting as such.
    bool recognised = false;

    bool null() { return scalar("null"); }
    bool boolean(bool) { return scalar("a boolean"); }
    bool number_integer(json::number_integer_t) { return scalar("a number"); }
    bool number_unsigned(json::number_unsigned_t) { return scalar("a number"); }
    bool number_float(json::number_float_t, const json::string_t&) { return scalar("a number"); }
    bool binary(json::binary_t&) { return scalar("binary data"); }

    bool string(json::string_t& value) {
        if (at_ != At::Record) return scalar("a string");
        entries_.emplace_back(std::move(key_), std::move(value));
        return true;
    }

    bool key(json::string_t& k) {
        if (at_ == At::Record) {
            key_ = std::move(k);
        } else if (at_ == At::Item) {
            member_ = k == "records" ? Member::Records : k == "envelope" ? Member::Envelope : Member::Other;
            if (member_ != Member::Other) recognised = true;
            at_ = At::Member;
        }
        return true;
    }

    bool start_object(std::size_t) {
        switch (at_) {
            case At::Top:
                if (document_) return wrong("the top-level value must be an array, found an object");
                open_item(false);
                return true;
            case At::Items:
                open_item(false);
                return true;
            case At::Member:
                if (member_ == Member::Records) return wrong("\"records\" must be an array, found an object");
                if (member_ == Member::Envelope) {
                    item().has_envelope = true;
                    open_record(true);
                    return true;
                }
                return skip();
            case At::Records:
                open_record(false);
                return true;
            case At::Skip:
                ++depth_;
                return true;
            default:
                return scalar("an object");
        }
    }

    bool start_array(std::size_t) {
        switch (at_) {
            case At::Top:
                if (document_) {
                    at_ = At::Items;
                } else {
                    open_item(true);
                    at_ = At::Records;
                }
                return true;
            case At::Member:
                if (member_ == Member::Envelope) return wrong("\"envelope\" must be an object, found an array");
                if (member_ == Member::Records) {
                    // A later "records" member replaces an earlier one.
                    item().has_records = true;
                    items.back().records.clear();
                    at_ = At::Records;
                    return true;
                }
                return skip();
            case At::Skip:
                ++depth_;
                return true;
            default:
                return scalar("an array");
        }
    }

    bool end_object() {
        switch (at_) {
            case At::Record: {
                SegmentRecord record(std::move(entries_));
                entries_.clear();
                if (in_envelope_) {
                    items.back().envelope = true;
                    items.back().records.assign(1, std::move(record));
                    at_ = At::Item;
                } else {
                    items.back().records.push_back(std::move(record));
                    at_ = At::Records;
                }
                return true;
            }
            case At::Item:
                if (item().has_records == item().has_envelope)
                    return wrong("expected an object with either \"records\" or \"envelope\", or an array of records");
                at_ = document_ ? At::Items : At::Done;
                return true;
            default:  // At::Skip
                return end_skipped();
        }
    }

    bool end_array() {
        switch (at_) {
            case At::Records:
                at_ = item().bare ? At::Done : At::Item;
                return true;
            case At::Items:
                at_ = At::Done;
                return true;
            default:  // At::Skip
                return end_skipped();
        }
    }

    bool parse_error(std::size_t, const std::string&, const json::exception& ex) {
        error = ex.what();
        return false;
    }

private:
    enum class At { Top, Items, Item, Member, Records, Record, Skip, Done };
    enum class Member { Records, Envelope, Other };
    struct State {
        bool bare = false, has_records = false, has_envelope = false;
    };

    State& item() { return state_; }

    void open_item(bool bare) {
        items.emplace_back();
        state_ = State{bare, false, false};
        at_ = bare ? At::Records : At::Item;
    }
    void open_record(bool envelope) {
        in_envelope_ = envelope;
        entries_.clear();
        at_ = At::Record;
    }
    bool skip() {
        depth_ = 1;
        at_ = At::Skip;
        return true;
    }
    bool end_skipped() {
        if (--depth_ == 0) at_ = At::Item;
        return true;
    }

    // A value where none of its kind belongs.
    bool scalar(const char* found) {
        switch (at_) {
            case At::Member:
                if (member_ == Member::Other) {
                    at_ = At::Item;
                    return true;
                }
                return wrong(std::string(member_ == Member::Records ? "\"records\" must be an array"
                                                                    : "\"envelope\" must be an object") +
                             ", found " + found);
            case At::Skip:
                return true;
            case At::Record:
                return wrong(where() + " has the value of key " + json_quoted(key_) + " not a string but " + found);
            case At::Records:
                return wrong("record " + std::to_string(items.back().records.size()) + " must be an object, found " +
                             found);
            case At::Items:
                return wrong("expected an object with either \"records\" or \"envelope\", found " + std::string(found));
            default:
                return wrong(std::string("expected an object with either \"records\" or \"envelope\", or an array of "
                                         "records, found ") +
                             found);
        }
    }

    std::string where() const {
        return in_envelope_ ? std::string("\"envelope\"") : "record " + std::to_string(items.back().records.size());
    }

    bool wrong(const std::string& what) {
        error = document_ && !items.empty()
                    ? "element " + std::to_string(items.size() - 1) + " of the array: " + what
                    : what;
        return false;
    }

    const bool document_;
    At at_ = At::Top;
    Member member_ = Member::Other;
    State state_;
    bool in_envelope_ = false;
    std::size_t depth_ = 0;
    std::string key_;
    std::vector<SegmentRecord::Entry> entries_;
};

bool run(std::string_view text, ItemsSax& sax) {
    try {
        return json::sax_parse(text.data(), text.data() + text.size(), &sax, json::input_format_t::json,
                               /*strict=*/true);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        // sax_parse reports through parse_error; this is only a safety net.
        if (sax.error.empty()) sax.error = e.what();
        return false;
    }
}

}  // namespace

Result<std::vector<JsonItem>> parse_json_document(std::string_view text) {
    Result<std::vector<SegmentRecord>> records = parse_json_records(text);
    if (records) {
        std::vector<JsonItem> one(1);
        one[0].records = std::move(records.value());
        return one;
    }
    // Not a plain message: perhaps the array --format json writes.  If it
    // does not even look like one, the plain message's error says more.
    ItemsSax sax(true);
    if (run(text, sax)) {
        if (!sax.items.empty()) return std::move(sax.items);
        return records.error();
    }
    if (!sax.recognised) return records.error();
    return invalid(sax.error);
}

Result<JsonItem> parse_json_line(std::string_view line) {
    ItemsSax sax(false);
    if (!run(line, sax)) return invalid(sax.error);
    return std::move(sax.items.front());
}

bool is_json_value(std::string_view text) { return json::accept(text.begin(), text.end()); }

}  // namespace segmorph::cli
