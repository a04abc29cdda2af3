// A message as the members of the JSON object that to-json and the
// listener write for it, and an input's name as the JSON string of
// "source": one writer for both.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "line_json.hpp"
#include "piece.hpp"

namespace segmorph::cli {

// An input's name as the JSON string of "source".
std::string json_name(const std::string& name);

// The members after "source" of the object to-json writes for one message
// (valid UTF-8): ,"index":N,"records":[...].  `writer` is working space a
// caller keeps from one message to the next.  The listener
// writes its lines through this too, so both give the same records.
void append_message_members(TextBuffer& out, std::size_t index, std::string_view text, bool escaping,
                            LineJsonWriter& writer);

}  // namespace segmorph::cli
