// One connection of the listener, as the event loop keeps it: the bytes
// of a frame under way, frames received and not yet answered, the ACK
// bytes not yet sent, and its clocks.  An idle connection costs this
// struct and its socket: buffers grow with what arrives and shrink after.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mllp.hpp"
#include "tls.hpp"

namespace segmorph::cli {

using Clock = std::chrono::steady_clock;

struct ReceivedFrame {
    std::string text;  // the frame, or its head when oversize
    std::size_t size;
    bool oversize;
};

struct Conn {
    Conn(std::uint64_t id_, int fd_, std::string peer_, std::size_t max_bytes, Clock::time_point now)
        : id(id_), fd(fd_), peer(std::move(peer_)), reader(max_bytes), opened(now), last_active(now) {}

    std::uint64_t id;
    int fd;
    std::string peer;  // HOST:PORT
    std::shared_ptr<const std::string> source_json;
    std::unique_ptr<TlsStream> tls;

    MllpReader reader;
    std::uint64_t frames_begun = 0;     // as last seen from the reader
    std::vector<ReceivedFrame> frames;  // received, waiting their turn
    std::size_t next_index = 0;
    bool busy = false;             // a frame is with a worker
    bool eof = false;              // the peer sent all it will
    bool draining = false;         // stopping: answer what came, then close
    bool tls_wants_write = false;  // a TLS read waits for room to write
    bool registered = true;        // in the epoll set
    std::uint32_t interest = 0;

    std::string out;  // ACK bytes not yet sent
    std::size_t out_at = 0;

    Clock::time_point opened, last_active, frame_started, out_since;

    bool handshaking() const { return tls && !tls->established(); }
    // Nothing under way: no frame arriving, none waiting or with a worker,
    // no ACK unsent.  Only such a connection may be closed for room or
    // idleness.
    bool idle() const { return !busy && frames.empty() && out.empty() && !reader.in_frame(); }
};

// Reads what the connection has for us (plain or TLS).
Io conn_read(Conn& c, char* buffer, std::size_t size, std::size_t& got, std::string& error);
// Writes what it can of c.out; Done when all is out.
Io conn_flush(Conn& c, std::string& error);

}  // namespace segmorph::cli
