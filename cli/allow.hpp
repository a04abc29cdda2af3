// --allow CIDR: the addresses a listener takes connections from.
#pragma once

#include <sys/socket.h>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace segmorph::cli {

class AllowList {
public:
    // Adds "ADDR/BITS" or a lone address (all its bits); false with
    // `error` set when it is not one.
    bool add(std::string_view cidr, std::string& error);
    bool empty() const { return nets_.empty(); }
    // Whether `addr` is in one of the networks (any, when there are none).
    // An IPv4 peer on an IPv6 socket (::ffff:a.b.c.d) counts as IPv4.
    bool allows(const sockaddr* addr) const;

private:
    struct Net {
        int family;
        std::array<std::uint8_t, 16> bytes;
        unsigned bits;
    };
    std::vector<Net> nets_;
};

}  // namespace segmorph::cli
