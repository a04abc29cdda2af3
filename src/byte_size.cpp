#include "byte_size.hpp"

#include <charconv>
#include <string>

namespace segmorph {

std::optional<std::size_t> parse_byte_size(std::string_view text) {
    std::size_t n = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec != std::errc() || end == text.data() || n == 0) return std::nullopt;
    std::string unit(text.substr(static_cast<std::size_t>(end - text.data())));
    for (char& c : unit) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if (unit.ends_with("ib")) unit.resize(unit.size() - 2);
    else if (unit.size() == 2 && unit[1] == 'b') unit.resize(1);
    int shift = 0;
    if (unit.empty() || unit == "b") shift = 0;
    else if (unit == "k") shift = 10;
    else if (unit == "m") shift = 20;
    else if (unit == "g") shift = 30;
    else return std::nullopt;
    if (n > (std::size_t{1} << 40) >> shift) return std::nullopt;  // a terabyte is enough for anyone
    return n << shift;
}

}  // namespace segmorph
