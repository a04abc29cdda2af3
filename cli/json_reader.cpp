#include "json_reader.hpp"

#include <exception>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "json_hl7.hpp"

namespace segmorph::cli {

namespace {

using json = nlohmann::json;

Hl7Error invalid(const std::string& what) { return Hl7Error::invalid_format("Invalid JSON: " + what); }

std::string quoted(const std::string& key) { return json(key).dump(-1, ' ', false, json::error_handler_t::replace); }

// Parses without throwing; the parser's own message on failure.
std::optional<json> parse(std::string_view text, std::string& error) {
    try {
        return json::parse(text.begin(), text.end());
    } catch (const json::exception& e) {
        error = e.what();
        return std::nullopt;
    }
}

// A record: an object whose member values are all strings.
std::optional<std::string> to_record(const json& value, SegmentRecord& out) {
    if (!value.is_object()) return std::string("must be an object, found ") + value.type_name();
    std::vector<SegmentRecord::Entry> entries;
    entries.reserve(value.size());
    for (const auto& [key, member] : value.items()) {
        if (!member.is_string())
            return "has the value of key " + quoted(key) + " not a string but " + member.type_name();
        entries.emplace_back(key, member.get_ref<const std::string&>());
    }
    out = SegmentRecord(std::move(entries));
    return std::nullopt;
}

std::optional<std::string> to_records(const json& value, std::vector<SegmentRecord>& out) {
    if (!value.is_array()) return std::string("\"records\" must be an array, found ") + value.type_name();
    out.resize(value.size());
    for (std::size_t i = 0; i < value.size(); ++i)
        if (auto e = to_record(value[i], out[i])) return "record " + std::to_string(i) + " " + *e;
    return std::nullopt;
}

bool is_item_object(const json& value) {
    return value.is_object() && (value.contains("records") || value.contains("envelope"));
}

std::optional<std::string> to_item(const json& value, JsonItem& item) {
    if (value.is_array()) return to_records(value, item.records);
    const bool has_records = value.is_object() && value.contains("records");
    const bool has_envelope = value.is_object() && value.contains("envelope");
    if (has_records == has_envelope)
        return "expected an object with either \"records\" or \"envelope\", or an array of records";
    if (has_records) return to_records(value["records"], item.records);
    item.envelope = true;
    item.records.resize(1);
    if (auto e = to_record(value["envelope"], item.records[0])) return "\"envelope\" " + *e;
    return std::nullopt;
}

}  // namespace

Result<std::vector<JsonItem>> parse_json_document(std::string_view text) {
    Result<std::vector<SegmentRecord>> records = parse_json_records(text);
    if (records) {
        std::vector<JsonItem> one(1);
        one[0].records = std::move(records.value());
        return one;
    }
    // Not a plain message: perhaps the array --format json writes.
    std::string error;
    const std::optional<json> doc = parse(text, error);
    if (!doc || !doc->is_array() || doc->empty() || !is_item_object(doc->front())) return records.error();
    std::vector<JsonItem> items(doc->size());
    for (std::size_t i = 0; i < doc->size(); ++i) {
        if (auto e = to_item((*doc)[i], items[i]))
            return invalid("element " + std::to_string(i) + " of the array: " + *e);
    }
    return items;
}

Result<JsonItem> parse_json_line(std::string_view line) {
    std::string error;
    const std::optional<json> value = parse(line, error);
    if (!value) return invalid(error);
    JsonItem item;
    if (auto e = to_item(*value, item)) return invalid(*e);
    return item;
}

bool is_json_value(std::string_view text) { return json::accept(text.begin(), text.end()); }

}  // namespace segmorph::cli
