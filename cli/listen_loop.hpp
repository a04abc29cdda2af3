// The listener's event loop: one thread holds every connection in an
// epoll set, so a connection costs memory, not a thread, and thousands of
// slow or silent peers cannot lock out the rest.
//
// Received frames go to worker threads (convert, write, and with --sync
// the group fsync) through `Handler`; their answers come back through
// Completions.  A connection has at most one frame with a worker and reads
// nothing more until it is answered, which keeps its messages in order and
// its memory bounded.  Deadlines: a frame must end within --frame-timeout
// once begun (a TLS handshake likewise), a connection with nothing under
// way is closed after --idle-timeout (bytes outside frames reset neither),
// and a peer that does not take its ACK within kSendTimeout is dropped.  At
// --max-connections the connection idle the longest is closed to admit a
// new one.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "allow.hpp"
#include "listen_sink.hpp"
#include "metrics.hpp"
#include "tls.hpp"

namespace segmorph::cli {

struct Job {
    std::uint64_t conn;
    std::string text;  // the frame, or its head when oversize
    std::size_t size;
    bool oversize;
    std::size_t index;  // of the message on its connection
    std::shared_ptr<const std::string> peer, source_json;
};

// Runs on a worker; must hand exactly one Answer for job.conn to the
// Completions (directly or through the Sink).
using Handler = std::function<void(Job&&)>;

struct LoopSettings {
    std::size_t max_message_bytes;
    std::size_t max_connections;
    double frame_timeout;  // seconds; 0: none
    double idle_timeout;   // seconds; 0: none
    unsigned workers;
    const AllowList* allow;  // may be empty
    TlsContext* tls;         // null: plain MLLP
};

// Serves connections on `listen_fd` until stop_fd() is readable, then
// answers what each connection has already sent and returns.
void run_loop(const LoopSettings& settings, int listen_fd, const Handler& handler, Completions& completions,
              Metrics& metrics);

}  // namespace segmorph::cli
