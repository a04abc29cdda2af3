#include "mllp.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <cerrno>
#include <cstring>

namespace segmorph::cli {

namespace {

std::optional<Address> fail(std::string& error, std::string text) {
    error = std::move(text);
    return std::nullopt;
}

// Input in quotes, safe to print.
std::string quoted(std::string_view text) {
    std::string out(1, '\'');
    out.append(quote_input(text)).push_back('\'');
    return out;
}

}  // namespace

std::optional<Address> resolve(std::string_view host_port, bool passive, std::string& error) {
    const std::size_t colon = host_port.rfind(':');
    if (colon == std::string_view::npos || colon + 1 == host_port.size())
        return fail(error, quoted(host_port) + " is not HOST:PORT");
    std::string host(host_port.substr(0, colon));
    const std::string port(host_port.substr(colon + 1));
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    for (char c : port)
        if (c < '0' || c > '9' || port.size() > 5) return fail(error, quoted(port) + " is not a port number");
    if (std::stoul(port) > 65535) return fail(error, quoted(port) + " is not a port number");

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &found);
    if (rc != 0 || found == nullptr) return fail(error, "cannot resolve " + quoted(host) + ": " + gai_strerror(rc));
    Address out;
    std::memcpy(&out.storage, found->ai_addr, found->ai_addrlen);
    out.length = found->ai_addrlen;
    freeaddrinfo(found);
    return out;
}

std::string address_text(const sockaddr* addr, socklen_t length) {
    char host[NI_MAXHOST], port[NI_MAXSERV];
    if (getnameinfo(addr, length, host, sizeof host, port, sizeof port, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return "?";
    std::string out;
    if (addr->sa_family == AF_INET6) out.append("[").append(host).append("]");
    else out.append(host);
    return out.append(":").append(port);
}

bool send_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string mllp_frame(std::string_view message) {
    std::string out;
    out.reserve(message.size() + 3);
    out.push_back(kFrameStart);
    out.append(message);
    out.push_back(kFrameEnd);
    out.push_back(kFrameTrailer);
    return out;
}

}  // namespace segmorph::cli
