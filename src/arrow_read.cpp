// Reading messages back from an Arrow `segments` column, whoever built it
// (a batch of ours, pyarrow, polars, Spark), into HL7 text through the
// records assembly.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "arrow_batch.hpp"
#include "arrow_check.hpp"

namespace segmorph {

namespace {

bool is_string_type(ArrowType t) {
    return t == NANOARROW_TYPE_STRING || t == NANOARROW_TYPE_LARGE_STRING || t == NANOARROW_TYPE_STRING_VIEW;
}

bool is_list_type(ArrowType t) { return t == NANOARROW_TYPE_LIST || t == NANOARROW_TYPE_LARGE_LIST; }

// Where element i's children start and end (list or map views).
std::pair<std::int64_t, std::int64_t> child_range(const ArrowArrayView* v, std::int64_t i) {
    return {ArrowArrayViewListChildOffset(v, v->offset + i), ArrowArrayViewListChildOffset(v, v->offset + i + 1)};
}

std::string_view string_at(const ArrowArrayView* v, std::int64_t i) {
    const ArrowStringView s = ArrowArrayViewGetStringUnsafe(v, i);
    return std::string_view(s.data, static_cast<std::size_t>(s.size_bytes));
}

// A key as it may be shown in a message: printable ASCII kept, the rest as
// \xNN, at most 40 bytes.
std::string shown(std::string_view key) {
    std::string out = "\"";
    for (std::size_t i = 0; i < key.size() && i < 40; ++i) {
        const auto c = static_cast<unsigned char>(key[i]);
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            out.push_back(static_cast<char>(c));
        } else {
            static constexpr char kHex[] = "0123456789abcdef";
            out += "\\x";
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        }
    }
    if (key.size() > 40) out += "...";
    return out + "\"";
}

}  // namespace

std::string messages_from_arrow(const ArrowSchema& schema, const ArrowArray& array, EscapeMode escape,
                                TextBuffer& out) {
    ArrowError error{};
    ArrowView table;
    if (ArrowArrayViewInitFromSchema(table.get(), &schema, &error) != NANOARROW_OK) {
        return std::string("the Arrow data cannot be read: ") + error.message;
    }
    if (table.get()->storage_type != NANOARROW_TYPE_STRUCT) return "the Arrow data is not a table (a struct array)";
    if (ArrowArrayViewSetArray(table.get(), &array, &error) != NANOARROW_OK) {
        return std::string("the Arrow data is not valid: ") + error.message;
    }
    std::int64_t column = -1;
    for (std::int64_t i = 0; i < schema.n_children; ++i) {
        const char* name = schema.children[i]->name;
        if (name != nullptr && std::string_view(name) == "segments") column = i;
    }
    if (column < 0) return "the Arrow data has no column named \"segments\"";

    // list<map<string, string>>, with any of the string and list layouts.
    const ArrowArrayView* segments = table.get()->children[column];
    const ArrowArrayView* records = segments->n_children == 1 ? segments->children[0] : nullptr;
    const ArrowArrayView* entries =
        records != nullptr && records->storage_type == NANOARROW_TYPE_MAP ? records->children[0] : nullptr;
    if (!is_list_type(segments->storage_type) || entries == nullptr || entries->n_children != 2 ||
        !is_string_type(entries->children[0]->storage_type) || !is_string_type(entries->children[1]->storage_type)) {
        return "the \"segments\" column must be a list of maps of strings to strings";
    }
    const ArrowArrayView* keys = entries->children[0];
    const ArrowArrayView* values = entries->children[1];

    // Indices below are logical ones, which the views shift by their own
    // offsets; a struct's offset is passed on to its children's indices,
    // and list and map offsets are logical indices of the child.
    std::vector<std::string_view> seen;
    const ArrowArrayView* rows = table.get();
    for (std::int64_t row = 0; row < rows->length; ++row) {
        if (ArrowArrayViewIsNull(rows, row)) continue;
        const std::int64_t at = rows->offset + row;
        if (ArrowArrayViewIsNull(segments, at)) continue;  // a failed message
        const auto [first, last] = child_range(segments, at);
        JsonHl7 message;
        for (std::int64_t r = first; r < last; ++r) {
            if (ArrowArrayViewIsNull(records, r)) return "the \"segments\" column holds a null record";
            const auto [begin, end] = child_range(records, r);
            message.begin_record();
            seen.clear();
            for (std::int64_t e = entries->offset + begin; e < entries->offset + end; ++e) {
                if (ArrowArrayViewIsNull(keys, e) || ArrowArrayViewIsNull(values, e)) {
                    return "the \"segments\" column holds a null key or value";
                }
                seen.push_back(string_at(keys, e));
            }
            std::sort(seen.begin(), seen.end());
            const auto twice = std::adjacent_find(seen.begin(), seen.end());
            if (twice != seen.end())
                return "a record of the \"segments\" column has the key " + shown(*twice) + " twice";
            for (std::int64_t e = entries->offset + begin; e < entries->offset + end; ++e) {
                message.add_entry(string_at(keys, e), string_at(values, e));
            }
        }
        if (message.record_count() == 0) continue;
        if (std::optional<std::string> too_large = message.check_output_bound()) {
            return "row " + std::to_string(row) + ": " + *too_large;
        }
        message.convert_json_to_hl7_into(escape, out);
        char* end = out.room(1);
        *end = '\n';
        out.set_end(end + 1);
    }
    return {};
}

}  // namespace segmorph
