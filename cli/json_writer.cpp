#include "json_writer.hpp"

#include <algorithm>
#include <cstring>

#include "json_text.hpp"

namespace segmorph::cli {

using namespace json_text;

void append_json_string(TextBuffer& out, std::string_view text) {
    out.commit(put_json_string(out.claim(worst_case(text.size())), text));
}

void append_record(TextBuffer& out, const FlatRecord& record) {
    // The cursor and its limit live in locals, which the bytes written
    // cannot alias, and the buffer is asked for room only when they run
    // out.  Every item is written led by a comma, which the first one's
    // turns into the opening brace.
    char* w = out.claim(kItemRoom);
    char* limit = w + out.room();
    const FlatRecord::Items items = record.items();
    for (std::size_t i = 0; i < items.size(); ++i) {
        const FlatRecord::Item item = items[i];
        const std::size_t need = kItemRoom + worst_case(item.value.size());
        if (static_cast<std::size_t>(limit - w) < need) [[unlikely]] {
            out.commit(w);
            w = out.claim(std::max(need, std::size_t{4096}));
            limit = w + out.room();
        }
        char* const at = w;
        w = put_json_text(put_lead_and_key(w, item.field, item.rep, item.comp), item.value);
        if (i == 0) *at = '{';
    }
    out.commit(w);
    static constexpr std::string_view kName = ",\"segment_name\":";
    w = out.claim(kName.size() + worst_case(record.name().size()) + 1);
    std::memcpy(w, kName.data(), kName.size());
    if (items.size() == 0) *w = '{';
    w = put_json_string(w + kName.size(), record.name());
    *w++ = '}';
    out.commit(w);
}

}  // namespace segmorph::cli
