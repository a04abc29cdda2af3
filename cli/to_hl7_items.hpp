// to-hl7's tasks: items of JSON read into the record store and written as
// HL7 into a piece, by the module's own readers and assembly.  The reading
// thread (to_hl7.cpp) only cuts the input into runs of items; these run on
// the jobs.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "args.hpp"
#include "json_reader.hpp"
#include "piece.hpp"

namespace segmorph::cli {

// Lines of JSON Lines, the first being line `first_line` of the input.
Piece convert_lines(const Options& opts, const std::string& name, std::string_view text, std::size_t first_line);

// One element of an array of items.
struct Element {
    std::string_view text;
    TextPlace place;
    std::size_t index;
};
Piece convert_elements(const Options& opts, const std::string& name, const std::vector<Element>& elements);

// An array of records: one message.
Piece convert_records(const Options& opts, const std::string& name, std::string_view text, TextPlace place);

}  // namespace segmorph::cli
