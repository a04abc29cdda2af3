#include "listen_loop.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "listen_conn.hpp"
#include "log.hpp"
#include "message_json.hpp"
#include "signals.hpp"
#include "workers.hpp"

namespace segmorph::cli {

namespace {

// A peer that does not take its ACK within this long is dropped.
constexpr auto kSendTimeout = std::chrono::seconds(10);
// After a stop, how long connections get to be answered.
constexpr auto kStopGrace = std::chrono::seconds(10);
// How often deadlines are checked.
constexpr int kTickMs = 100;
// Reads per event and connection, so that one fast peer cannot starve
// the others.
constexpr std::size_t kReadBytes = 64 * 1024;
constexpr int kReadsPerEvent = 4;

// A frame this small is converted on the loop's own thread when no worker
// is busy: handing it to a worker and its answer back costs two thread
// switches, more than converting it (tens of microseconds), and a lone
// busy connection is the common case.  Larger ones, and any frame while
// workers are busy, go to the workers, so the loop never stalls for long.
constexpr std::size_t kInlineBytes = 64 * 1024;

constexpr std::uint64_t kListenKey = 1, kStopKey = 2, kDoneKey = 3, kReloadKey = 4, kFirstConn = 16;

std::string seconds_text(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", s);
    return text;
}

class Loop {
public:
    Loop(const LoopSettings& s, int listen_fd, const Handler& handler, Completions& completions, Metrics& metrics)
        : s_(s),
          listen_fd_(listen_fd),
          handler_(handler),
          workers_(s.workers, handler),
          completions_(completions),
          metrics_(metrics) {}
    ~Loop();
    void run();

private:
    void add(int fd, std::uint64_t key, std::uint32_t events);
    void accept_all();
    void admit(int fd, const Address& peer);
    void out_of_descriptors();
    Conn* oldest_idle();
    void on_event(Conn& c, std::uint32_t events);
    bool handshake(Conn& c);
    bool read_from(Conn& c);
    void take(Conn& c, std::string_view bytes);
    void dispatch(Conn& c);
    bool flush(Conn& c);
    void answered(Answer& a);
    bool settle(Conn& c);
    void update(Conn& c);
    void tick(Clock::time_point now);
    void close(Conn& c, const char* event, const std::string& why, bool routine = false);
    void begin_stop();

    const LoopSettings& s_;
    int listen_fd_;
    int epoll_ = -1;
    int spare_fd_ = -1;  // given up to refuse a connection when out of descriptors
    const Handler& handler_;
    Workers<Job> workers_;
    Completions& completions_;
    Metrics& metrics_;
    std::unordered_map<std::uint64_t, std::unique_ptr<Conn>> conns_;
    std::uint64_t next_id_ = kFirstConn;
    bool stopping_ = false;
    Clock::time_point stop_deadline_, last_tick_, last_exhaustion_log_;
    std::uint64_t unlogged_exhaustion_ = 0;
    char buffer_[kReadBytes];
};

Loop::~Loop() {
    for (auto& [id, c] : conns_) ::close(c->fd);
    if (epoll_ >= 0) ::close(epoll_);
    if (spare_fd_ >= 0) ::close(spare_fd_);
}

void Loop::add(int fd, std::uint64_t key, std::uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = key;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
}

void Loop::run() {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    spare_fd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    add(listen_fd_, kListenKey, EPOLLIN);
    add(stop_fd(), kStopKey, EPOLLIN);
    add(completions_.fd(), kDoneKey, EPOLLIN);
    if (s_.tls != nullptr && reload_fd() >= 0) add(reload_fd(), kReloadKey, EPOLLIN);
    last_tick_ = Clock::now();
    std::vector<Answer> answers;
    epoll_event events[256];
    while (!stopping_ || !conns_.empty()) {
        const int n = ::epoll_wait(epoll_, events, 256, kTickMs);
        if (n < 0 && errno != EINTR) {
            log_event("error", "", std::string("epoll: ") + std::strerror(errno));
            break;
        }
        bool accept = false;
        for (int i = 0; i < n; ++i) {
            const std::uint64_t key = events[i].data.u64;
            if (key == kListenKey) {
                accept = !stopping_;  // after the connections' news: which are idle
            } else if (key == kStopKey) {
                if (!stopping_) begin_stop();
            } else if (key == kDoneKey) {
                completions_.take(answers);
                for (Answer& a : answers) answered(a);
            } else if (key == kReloadKey) {
                take_reload_request();
                std::string error;
                if (s_.tls->reload(error)) log_event("tls_reloaded", "", "certificate and key read again");
                else
                    log_event("tls_reload_failed", "",
                              "cannot read the certificate again, keeping the old one: " + error);
            } else if (auto it = conns_.find(key); it != conns_.end()) {
                on_event(*it->second, events[i].events);
            }
        }
        if (accept && !stopping_) accept_all();
        const Clock::time_point now = Clock::now();
        if (now - last_tick_ >= std::chrono::milliseconds(kTickMs)) tick(now);
        if (stopping_ && now > stop_deadline_) {
            std::vector<Conn*> left;
            for (auto& [id, c] : conns_) left.push_back(c.get());
            for (Conn* c : left) close(*c, "closed", "closed unanswered: the listener is stopping");
        }
    }
}

void Loop::begin_stop() {
    stopping_ = true;
    stop_deadline_ = Clock::now() + kStopGrace;
    epoll_ctl(epoll_, EPOLL_CTL_DEL, listen_fd_, nullptr);
    std::vector<Conn*> all;
    for (auto& [id, c] : conns_) all.push_back(c.get());
    for (Conn* c : all) {
        c->draining = true;
        if (c->handshaking()) close(*c, "closed", "closed: the listener is stopping", true);
        else settle(*c);
    }
}

// ------------------------------------------------------------ accepting

void Loop::accept_all() {
    for (int i = 0; i < 256; ++i) {
        Address peer;
        peer.length = sizeof peer.storage;
        const int fd = ::accept4(listen_fd_, reinterpret_cast<sockaddr*>(&peer.storage), &peer.length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            admit(fd, peer);
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if (errno == EMFILE || errno == ENFILE) out_of_descriptors();
        return;
    }
}

// No descriptor for the connection waiting: room is made by closing the
// connection idle the longest, or else it is accepted on the spare
// descriptor and closed, so that it is refused rather than left to spin
// the loop.  Logged at most once a second, with the count.
void Loop::out_of_descriptors() {
    ++metrics_.descriptor_exhaustion;
    ++unlogged_exhaustion_;
    const Clock::time_point now = Clock::now();
    Conn* victim = oldest_idle();
    const bool log = now - last_exhaustion_log_ >= std::chrono::seconds(1);
    if (log) {
        log_event("descriptors_exhausted", "",
                  "out of file descriptors (" + std::to_string(unlogged_exhaustion_) + " accepts failed); " +
                      (victim ? "closing the connection idle the longest" : "refusing the connection"));
        last_exhaustion_log_ = now;
        unlogged_exhaustion_ = 0;
    }
    if (victim != nullptr) {
        ++metrics_.evicted;
        close(*victim, "closed", "closed to make room: out of file descriptors");
        return;
    }
    if (spare_fd_ < 0) return;
    ::close(spare_fd_);
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
        ++metrics_.refused;
        ::close(fd);
    }
    spare_fd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

Conn* Loop::oldest_idle() {
    Conn* best = nullptr;
    for (auto& [id, c] : conns_)
        if (c->idle() && !c->draining && (best == nullptr || c->last_active < best->last_active)) best = c.get();
    return best;
}

void Loop::admit(int fd, const Address& peer) {
    std::string peer_text = address_text(peer.get(), peer.length);
    if (s_.allow != nullptr && !s_.allow->allows(peer.get())) {
        ++metrics_.denied;
        log_event("denied", peer_text, "closed: not in --allow");
        ::close(fd);
        return;
    }
    if (conns_.size() >= s_.max_connections) {
        Conn* victim = oldest_idle();
        if (victim == nullptr) {
            ++metrics_.refused;
            log_event(
                "refused", peer_text,
                "refused: already " + std::to_string(conns_.size()) + " connections, none idle (--max-connections)");
            ::close(fd);
            return;
        }
        ++metrics_.evicted;
        close(*victim, "closed",
              "closed to admit " + peer_text + ": the connection idle the longest at --max-connections");
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // each ACK is one small write awaited
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    auto conn = std::make_unique<Conn>(next_id_++, fd, std::move(peer_text), s_.max_message_bytes, Clock::now());
    Conn& c = *conn;
    c.source_json = std::make_shared<const std::string>(json_name(c.peer));
    if (s_.tls != nullptr) {
        std::string error;
        c.tls = TlsStream::over(*s_.tls, fd, error);
        if (!c.tls) {
            log_event("tls_failed", c.peer, "TLS refused: " + error);
            ++metrics_.handshake_failures;
            ::close(fd);
            return;
        }
    }
    conns_.emplace(c.id, std::move(conn));
    ++metrics_.connections;
    ++metrics_.open_connections;
    c.interest = EPOLLIN | EPOLLRDHUP;
    add(fd, c.id, c.interest);
    log_event("opened", c.peer, "connection opened", {}, true);
}

// ------------------------------------------------------ one connection

void Loop::on_event(Conn& c, std::uint32_t events) {
    if ((events & (EPOLLHUP | EPOLLERR)) && c.busy) {
        // Gone while a worker has its message: out of the set until the
        // answer comes, rather than reported again on every wait.
        epoll_ctl(epoll_, EPOLL_CTL_DEL, c.fd, nullptr);
        c.registered = false;
        c.interest = 0;
        return;
    }
    if (c.handshaking() && !handshake(c)) return;
    const bool readable = events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR);
    if ((events & EPOLLOUT) && !c.out.empty() && !flush(c)) return;
    if ((readable || ((events & EPOLLOUT) && c.tls_wants_write)) && !read_from(c)) return;
    settle(c);
}

bool Loop::handshake(Conn& c) {
    const Io io = c.tls->handshake();
    if (io == Io::Done) {
        c.tls_wants_write = false;
        log_event("tls_established", c.peer, c.tls->resumed() ? "TLS session resumed" : "TLS session established", {},
                  true);
        return true;
    }
    if (io == Io::Failed || io == Io::Closed) {
        ++metrics_.handshake_failures;
        close(c, "tls_failed", "TLS handshake failed: " + (io == Io::Closed ? "connection closed" : c.tls->error()));
        return false;
    }
    c.tls_wants_write = io == Io::WantWrite;
    update(c);
    return false;
}

// Reads while the connection is free to take more: nothing waiting to be
// answered.  False when it was closed.
bool Loop::read_from(Conn& c) {
    for (int i = 0; i < kReadsPerEvent || (c.tls && c.tls->pending()); ++i) {
        if (c.busy || !c.frames.empty() || c.eof) return true;
        std::size_t got = 0;
        std::string error;
        const Io io = conn_read(c, buffer_, sizeof buffer_, got, error);
        if (io == Io::Done) {
            metrics_.bytes_received += got;
            take(c, std::string_view(buffer_, got));
            continue;
        }
        if (io == Io::WantRead || io == Io::WantWrite) {
            // Stopping, and all that had come is answered: a message still
            // arriving is dropped.
            if (c.draining && c.frames.empty() && c.out.empty()) {
                close(c, "closed", "connection closed: the listener is stopping", true);
                return false;
            }
            return true;
        }
        if (io == Io::Failed) {
            close(c, "error", error);
            return false;
        }
        c.eof = true;
    }
    return true;
}

void Loop::take(Conn& c, std::string_view bytes) {
    const Clock::time_point now = Clock::now();
    c.reader.feed(bytes, [&](const MllpReader::Frame& f) {
        if (f.oversize) ++metrics_.frames_refused;
        c.frames.push_back({std::string(f.text), f.size, f.oversize});
        c.last_active = now;
        return true;
    });
    if (c.reader.frames_begun() != c.frames_begun) {
        c.frames_begun = c.reader.frames_begun();
        c.frame_started = now;
    }
}

void Loop::dispatch(Conn& c) {
    if (c.busy || c.frames.empty()) return;
    ReceivedFrame& f = c.frames.front();
    auto peer = std::make_shared<const std::string>(c.peer);
    Job job{c.id, std::move(f.text), f.size, f.oversize, c.next_index++, std::move(peer), c.source_json};
    c.frames.erase(c.frames.begin());
    c.busy = true;
    // Its answer comes through the completions all the same, on the next
    // turn of the loop.
    if (job.text.size() <= kInlineBytes && workers_.idle()) handler_(std::move(job));
    else workers_.push(std::move(job));
}

bool Loop::flush(Conn& c) {
    std::string error;
    const Io io = conn_flush(c, error);
    if (io == Io::Failed || io == Io::Closed) {
        close(c, "error", "cannot send the ACK: " + (error.empty() ? std::string("connection closed") : error));
        return false;
    }
    if (io == Io::Done) {
        c.out_since = {};
        // Reading goes on: a frame begun meanwhile is timed from now.
        if (c.reader.in_frame()) c.frame_started = Clock::now();
    } else if (c.out_since == Clock::time_point{}) c.out_since = Clock::now();
    return true;
}

void Loop::answered(Answer& a) {
    const auto it = conns_.find(a.conn);
    if (it == conns_.end()) return;  // closed meanwhile: its line is written, unacknowledged
    Conn& c = *it->second;
    c.busy = false;
    if (a.ack.empty()) {
        close(c, "closed", "closed unanswered: the output failed");
        return;
    }
    c.out += a.ack;
    c.last_active = Clock::now();
    if (!flush(c)) return;
    settle(c);
}

// After anything happened to a connection: hands on its next frame, reads
// on when it can take more (bytes a TLS stream holds announce themselves to
// no one; a stopping listener looks once more for what was sent), closes it
// when it is done, and sets what the loop waits for.  False when closed.
bool Loop::settle(Conn& c) {
    dispatch(c);
    const bool free = !c.busy && c.frames.empty() && c.out.empty();
    if (free && c.eof) {
        close(c, "closed", "connection closed", true);
        return false;
    }
    if (free && !c.handshaking() && (c.draining || (c.tls && c.tls->pending()))) {
        if (!read_from(c)) return false;
        dispatch(c);
        if (!c.busy && c.frames.empty() && c.out.empty() && c.eof) {
            close(c, "closed", "connection closed", true);
            return false;
        }
    }
    update(c);
    return true;
}

void Loop::update(Conn& c) {
    std::uint32_t want = 0;
    const bool can_read = !c.eof && !c.busy && c.frames.empty() && c.out.empty();
    if (can_read && !c.tls_wants_write) want |= EPOLLIN | EPOLLRDHUP;
    if (!c.out.empty() || c.tls_wants_write) want |= EPOLLOUT;
    if (!c.registered && c.busy) return;
    if (want == c.interest && c.registered) return;
    epoll_event ev{};
    ev.events = want;
    ev.data.u64 = c.id;
    epoll_ctl(epoll_, c.registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, c.fd, &ev);
    c.registered = true;
    c.interest = want;
}

void Loop::tick(Clock::time_point now) {
    last_tick_ = now;
    const auto frame_limit = std::chrono::duration<double>(s_.frame_timeout);
    const auto idle_limit = std::chrono::duration<double>(s_.idle_timeout);
    std::vector<std::pair<Conn*, int>> expired;
    for (auto& [id, c] : conns_) {
        if (!c->out.empty() && now - c->out_since > kSendTimeout) expired.emplace_back(c.get(), 0);
        else if (s_.frame_timeout > 0 && c->handshaking() && now - c->opened > frame_limit)
            expired.emplace_back(c.get(), 1);
        // A frame is timed only while it is read: not while the message
        // before it waits for a worker or its ACK to be taken.
        else if (s_.frame_timeout > 0 && c->reader.in_frame() && !c->busy && c->frames.empty() && c->out.empty() &&
                 now - c->frame_started > frame_limit)
            expired.emplace_back(c.get(), 2);
        else if (s_.idle_timeout > 0 && c->idle() && now - c->last_active > idle_limit)
            expired.emplace_back(c.get(), 3);
    }
    for (auto [c, kind] : expired) {
        switch (kind) {
            case 0:
                ++metrics_.ack_timeouts;
                close(*c, "timeout",
                      "closed: the peer did not take its ACK within " + std::to_string(kSendTimeout.count()) + " s");
                break;
            case 1:
                ++metrics_.handshake_failures;
                close(*c, "tls_failed",
                      "TLS handshake not done within " + seconds_text(s_.frame_timeout) + " s (--frame-timeout)");
                break;
            case 2:
                ++metrics_.frame_timeouts;
                close(*c, "timeout",
                      "closed: a message begun did not end within " + seconds_text(s_.frame_timeout) +
                          " s (--frame-timeout)");
                break;
            default:
                ++metrics_.idle_timeouts;
                close(*c, "timeout",
                      "closed after " + seconds_text(s_.idle_timeout) + " s without a message (--idle-timeout)");
        }
    }
}

void Loop::close(Conn& c, const char* event, const std::string& why, bool routine) {
    if (c.reader.in_frame())
        log_event("dropped", c.peer,
                  "connection ended inside a message; its " + std::to_string(c.reader.partial_bytes()) +
                      " bytes were dropped, unanswered");
    metrics_.skipped_bytes += c.reader.skipped_bytes();
    if (c.reader.skipped_bytes() > 0)
        log_event("skipped", c.peer, "skipped " + std::to_string(c.reader.skipped_bytes()) + " bytes outside frames");
    log_event(event, c.peer, why, {}, routine);
    if (c.tls && c.tls->established()) c.tls->close_notify();
    ::close(c.fd);
    --metrics_.open_connections;
    conns_.erase(c.id);
}

}  // namespace

void run_loop(const LoopSettings& settings, int listen_fd, const Handler& handler, Completions& completions,
              Metrics& metrics) {
    Loop loop(settings, listen_fd, handler, completions, metrics);
    loop.run();
}

}  // namespace segmorph::cli
