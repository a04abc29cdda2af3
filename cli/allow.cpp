#include "allow.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <charconv>
#include <cstring>

#include "errors.hpp"

namespace segmorph::cli {

namespace {

bool same_prefix(const std::uint8_t* a, const std::uint8_t* b, unsigned bits) {
    const unsigned whole = bits / 8, rest = bits % 8;
    if (std::memcmp(a, b, whole) != 0) return false;
    if (rest == 0) return true;
    const auto mask = static_cast<std::uint8_t>(0xFF << (8 - rest));
    return (a[whole] & mask) == (b[whole] & mask);
}

// Input in quotes, safe to print.
std::string quoted(std::string_view text) {
    std::string out(1, '\'');
    out.append(quote_input(text)).push_back('\'');
    return out;
}

}  // namespace

bool AllowList::add(std::string_view cidr, std::string& error) {
    const std::size_t slash = cidr.find('/');
    const std::string address(cidr.substr(0, slash));
    Net net{};
    unsigned max_bits = 0;
    if (::inet_pton(AF_INET, address.c_str(), net.bytes.data()) == 1) {
        net.family = AF_INET;
        max_bits = 32;
    } else if (::inet_pton(AF_INET6, address.c_str(), net.bytes.data()) == 1) {
        net.family = AF_INET6;
        max_bits = 128;
    } else {
        error = quoted(cidr) + " is not an address or ADDRESS/BITS";
        return false;
    }
    net.bits = max_bits;
    if (slash != std::string_view::npos) {
        const std::string_view bits = cidr.substr(slash + 1);
        const auto [end, ec] = std::from_chars(bits.data(), bits.data() + bits.size(), net.bits);
        if (ec != std::errc() || end != bits.data() + bits.size() || bits.empty() || net.bits > max_bits) {
            error = quoted(cidr) + " has no prefix length from 0 to " + std::to_string(max_bits);
            return false;
        }
    }
    nets_.push_back(net);
    return true;
}

bool AllowList::allows(const sockaddr* addr) const {
    if (nets_.empty()) return true;
    int family = addr->sa_family;
    const std::uint8_t* bytes = nullptr;
    if (family == AF_INET) {
        bytes = reinterpret_cast<const std::uint8_t*>(&reinterpret_cast<const sockaddr_in*>(addr)->sin_addr);
    } else if (family == AF_INET6) {
        const auto* a6 = &reinterpret_cast<const sockaddr_in6*>(addr)->sin6_addr;
        bytes = reinterpret_cast<const std::uint8_t*>(a6);
        if (IN6_IS_ADDR_V4MAPPED(a6)) {
            family = AF_INET;
            bytes += 12;
        }
    } else {
        return false;
    }
    for (const Net& net : nets_)
        if (net.family == family && same_prefix(bytes, net.bytes.data(), net.bits)) return true;
    return false;
}

}  // namespace segmorph::cli
