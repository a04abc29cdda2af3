// Sizes in bytes as people type them, and as Spark writes them in its
// options: "4096", "64k", "64KB", "128m", "1g", "2GiB".
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace segmorph {

// Digits, then optionally a unit: b, k, m or g (powers of 1024), each
// also with "b" or "ib" after it, in either case.  Nullopt for anything
// else, for 0 and for more than a terabyte.
std::optional<std::size_t> parse_byte_size(std::string_view text);

}  // namespace segmorph
