#include "metrics.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "signals.hpp"

namespace segmorph::cli {

namespace {

void counter(std::string& out, const char* name, const char* help, std::uint64_t value, const char* type = "counter") {
    out.append("# HELP ").append(name).append(" ").append(help).append("\n# TYPE ").append(name).append(" ");
    out.append(type).append("\n").append(name).append(" ").append(std::to_string(value)).append("\n");
}

std::string number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

}  // namespace

void Histogram::observe(std::chrono::steady_clock::duration d) {
    const double s = std::chrono::duration<double>(d).count();
    std::size_t i = 0;
    while (i < kBounds.size() && s > kBounds[i]) ++i;
    buckets_[i].fetch_add(1, std::memory_order_relaxed);
    count_.fetch_add(1, std::memory_order_relaxed);
    sum_ns_.fetch_add(static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count()),
                      std::memory_order_relaxed);
}

void Histogram::print(std::string& out, const char* name, const char* help) const {
    out.append("# HELP ").append(name).append(" ").append(help).append("\n# TYPE ").append(name);
    out.append(" histogram\n");
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i <= kBounds.size(); ++i) {
        cumulative += buckets_[i].load(std::memory_order_relaxed);
        out.append(name).append("_bucket{le=\"").append(i < kBounds.size() ? number(kBounds[i]) : "+Inf");
        out.append("\"} ").append(std::to_string(cumulative)).append("\n");
    }
    out.append(name).append("_sum ").append(number(static_cast<double>(sum_ns_.load()) / 1e9)).append("\n");
    out.append(name).append("_count ").append(std::to_string(count_.load())).append("\n");
}

std::string Metrics::text() const {
    std::string out;
    out.append(
        "# HELP segmorph_messages_total Messages answered, by acknowledgement code.\n"
        "# TYPE segmorph_messages_total counter\n");
    out.append("segmorph_messages_total{code=\"AA\"} ").append(std::to_string(accepted.load())).append("\n");
    out.append("segmorph_messages_total{code=\"AE\"} ").append(std::to_string(errors.load())).append("\n");
    out.append("segmorph_messages_total{code=\"AR\"} ").append(std::to_string(rejected.load())).append("\n");
    counter(out, "segmorph_received_bytes_total", "Bytes received from peers (after TLS).", bytes_received);
    counter(out, "segmorph_skipped_bytes_total", "Bytes outside frames, skipped.", skipped_bytes);
    counter(out, "segmorph_connections_open", "Connections open now.", open_connections, "gauge");
    counter(out, "segmorph_connections_total", "Connections accepted.", connections);
    counter(out, "segmorph_connections_denied_total", "Connections closed at once: address not --allow'ed.", denied);
    counter(out, "segmorph_connections_refused_total", "Connections refused at --max-connections.", refused);
    counter(out, "segmorph_connections_evicted_total", "Idle connections closed to admit a new one.", evicted);
    counter(out, "segmorph_frames_refused_total", "Frames refused over --max-message-bytes.", frames_refused);
    counter(out, "segmorph_tls_handshake_failures_total", "TLS handshakes that failed or timed out.",
            handshake_failures);
    out.append(
        "# HELP segmorph_timeouts_total Connections closed by a timeout, by kind.\n"
        "# TYPE segmorph_timeouts_total counter\n");
    out.append("segmorph_timeouts_total{kind=\"frame\"} ").append(std::to_string(frame_timeouts.load())).append("\n");
    out.append("segmorph_timeouts_total{kind=\"idle\"} ").append(std::to_string(idle_timeouts.load())).append("\n");
    out.append("segmorph_timeouts_total{kind=\"ack\"} ").append(std::to_string(ack_timeouts.load())).append("\n");
    counter(out, "segmorph_descriptor_exhaustion_total", "Accepts that failed for want of file descriptors.",
            descriptor_exhaustion);
    write_seconds.print(out, "segmorph_write_seconds", "Time to write one line to the output.");
    fsync_seconds.print(out, "segmorph_fsync_seconds", "Time of one fsync of the output (--sync).");
    return out;
}

bool MetricsServer::start(const Address& address, const Metrics& metrics, std::string& error) {
    fd_ = ::socket(address.get()->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    if (fd_ < 0 || setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::bind(fd_, address.get(), address.length) != 0 || ::listen(fd_, 16) != 0) {
        error = std::strerror(errno);
        return false;
    }
    Address bound;
    bound.length = sizeof bound.storage;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&bound.storage), &bound.length);
    where_ = address_text(bound.get(), bound.length);
    metrics_ = &metrics;
    thread_ = std::thread([this] { serve(); });
    return true;
}

MetricsServer::~MetricsServer() {
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
}

// One scrape at a time: a request is read (briefly), answered, closed.
void MetricsServer::serve() {
    for (;;) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_fd(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
        if (fds[1].revents & POLLIN) return;
        if (!(fds[0].revents & POLLIN)) continue;
        const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) {
            if (errno == EMFILE || errno == ENFILE) ::poll(nullptr, 0, 100);
            continue;
        }
        timeval tv{2, 0};
        setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        char request[4096];
        std::size_t got = 0;
        while (got < sizeof request) {
            const ssize_t n = ::recv(c, request + got, sizeof request - got, 0);
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
            if (std::string_view(request, got).find("\r\n\r\n") != std::string_view::npos) break;
        }
        const std::string_view head(request, got);
        std::string reply;
        if (head.starts_with("GET /metrics ") || head.starts_with("GET / ")) {
            const std::string body = metrics_->text();
            reply = "HTTP/1.0 200 OK\r\nContent-Type: text/plain; version=0.0.4\r\nContent-Length: " +
                    std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
        } else {
            reply = "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        }
        send_all(c, reply);
        ::close(c);
    }
}

}  // namespace segmorph::cli
