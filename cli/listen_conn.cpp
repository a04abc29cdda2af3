#include "listen_conn.hpp"

#include <sys/socket.h>
#include <cerrno>
#include <cstring>

namespace segmorph::cli {

Io conn_read(Conn& c, char* buffer, std::size_t size, std::size_t& got, std::string& error) {
    if (c.tls) {
        const Io io = c.tls->read(buffer, size, got);
        c.tls_wants_write = io == Io::WantWrite;
        if (io == Io::Failed) error = c.tls->error();
        return io;
    }
    for (;;) {
        const ssize_t n = ::recv(c.fd, buffer, size, 0);
        if (n > 0) {
            got = static_cast<std::size_t>(n);
            return Io::Done;
        }
        if (n == 0) return Io::Closed;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return Io::WantRead;
        error = std::strerror(errno);
        return Io::Failed;
    }
}

Io conn_flush(Conn& c, std::string& error) {
    while (c.out_at < c.out.size()) {
        const char* data = c.out.data() + c.out_at;
        const std::size_t size = c.out.size() - c.out_at;
        std::size_t put = 0;
        if (c.tls) {
            const Io io = c.tls->write(data, size, put);
            if (io == Io::Failed) error = c.tls->error();
            if (io != Io::Done) return io;
        } else {
            const ssize_t n = ::send(c.fd, data, size, MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) return Io::WantWrite;
                error = std::strerror(errno);
                return Io::Failed;
            }
            put = static_cast<std::size_t>(n);
        }
        c.out_at += put;
    }
    // A burst of large ACKs leaves no large buffer behind.
    if (c.out.capacity() > 64 * 1024) std::string().swap(c.out);
    c.out.clear();
    c.out_at = 0;
    return Io::Done;
}

}  // namespace segmorph::cli
