#include "message_json.hpp"

#include "json_writer.hpp"
#include "message_pipeline.hpp"
#include "utf8.hpp"

namespace segmorph::cli {

std::string json_name(const std::string& name) {
    std::string lossy;
    if (!is_valid_utf8(name)) {
        for (char c : name) {
            if (static_cast<unsigned char>(c) < 0x80) lossy.push_back(c);
            else lossy.append("\xEF\xBF\xBD");
        }
    }
    TextBuffer out;
    append_json_string(out, lossy.empty() ? std::string_view(name) : std::string_view(lossy));
    return std::string(out.view());
}

void append_message_members(TextBuffer& out, std::size_t index, std::string_view text, bool escaping,
                            LineJsonWriter& writer) {
    out.append(",\"index\":").append(std::to_string(index)).append(",\"records\":[");
    const Hl7EscapeHandler* handler = escaping ? &default_escape_handler() : nullptr;
    // Every line may read on to the end of the message.
    const char* const end = text.data() + text.size();
    bool first = true;
    for_each_segment_line(text, [&](std::string_view line) {
        if (!first) out.push_back(',');
        first = false;
        writer.append(out, line, end, handler);
    });
    out.push_back(']');
}

}  // namespace segmorph::cli
