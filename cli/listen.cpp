// segmorph listen: an MLLP receiver that writes every message as a JSON line
// and acknowledges it only once the line is written.
//
// The main thread accepts; each connection gets a thread of its own (see
// mllp.hpp for why).  Per message: convert outside any lock, write the line
// under the one output lock (so lines of different connections never mix),
// fsync with --sync (one fsync serves every line written before it), and
// only then send the ACK.  SIGINT and SIGTERM wake every thread through the
// command's stop descriptor (signals.hpp): the connections answer what they
// have already received, the main thread joins them and prints the summary.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <list>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "ack.hpp"
#include "message_pipeline.hpp"
#include "convert.hpp"
#include "framing.hpp"
#include "json_writer.hpp"
#include "line_file.hpp"
#include "live.hpp"
#include "mllp.hpp"
#include "output.hpp"
#include "rules.hpp"
#include "signals.hpp"
#include "utils.hpp"

namespace segmorph::cli {

namespace {

// A peer that stops reading our ACKs must not hold its thread (and the
// shutdown) forever.
constexpr int kSendTimeoutSeconds = 10;

// ----------------------------------------------------------- the output

// The one output: lines are written whole under one lock; with --sync a
// line counts as written once an fsync that began after it has finished.
class Sink {
public:
    Sink(int fd, bool sync) : fd_(fd), sync_(sync), writer_(fd) {}

    // False when the output failed (now or before): the line must not be
    // acknowledged.
    bool write_line(std::string_view line) {
        std::uint64_t seq = 0;
        {
            std::lock_guard<std::mutex> lock(write_mutex_);
            if (failed_) return false;
            // Whole or not at all: a line cut by a full disk is taken back.
            if (!writer_.write(line)) return fail(std::string("cannot write output: ") + std::strerror(errno));
            seq = ++written_;
        }
        return !sync_ || synced(seq);
    }

    bool failed() const { return failed_; }

private:
    bool fail(const std::string& why) {
        if (!failed_.exchange(true)) print_error(why);
        request_stop();
        return false;
    }

    // Waits until line `seq` is on disk, running the fsync itself when
    // none is under way: a line that arrives during an fsync waits for the
    // next one, which then covers every line written meanwhile.
    bool synced(std::uint64_t seq) {
        std::unique_lock<std::mutex> lock(sync_mutex_);
        while (synced_ < seq) {
            if (failed_) return false;
            if (syncing_) {
                sync_done_.wait(lock);
                continue;
            }
            syncing_ = true;
            const std::uint64_t target = written_;
            lock.unlock();
            int rc;
            do rc = ::fdatasync(fd_);
            while (rc != 0 && errno == EINTR);
            const int code = errno;
            lock.lock();
            syncing_ = false;
            if (rc == 0) synced_ = target;
            sync_done_.notify_all();
            if (rc != 0) {
                lock.unlock();
                return fail(std::string("cannot sync output: ") + std::strerror(code));
            }
        }
        return true;
    }

    const int fd_;
    const bool sync_;
    LineWriter writer_;
    std::atomic<bool> failed_{false};
    std::mutex write_mutex_;
    std::atomic<std::uint64_t> written_{0};
    std::mutex sync_mutex_;
    std::condition_variable sync_done_;
    bool syncing_ = false;
    std::uint64_t synced_ = 0;
};

// -------------------------------------------------------- one message

struct Totals {
    std::atomic<std::uint64_t> connections{0}, messages{0}, accepted{0}, errors{0}, rejected{0}, skipped{0};
};

// Working space a connection keeps from one message to the next.
struct Scratch {
    FlatRecord flat;
    TextBuffer line;
};

struct Verdict {
    AckCode code = AckCode::Accept;
    std::string reason;  // for AE and AR; safe to print
};

Verdict reject(std::string reason) { return {AckCode::Reject, std::move(reason)}; }

// The one step from a received frame to its JSON line (left in
// scratch.line, empty for AR) and its verdict: the same framing, character
// sets, delimiters, rules and records as to-json.
Verdict convert_message(const Options& opts, std::string_view frame, std::string_view source_json,
                        std::size_t index, Scratch& scratch) {
    scratch.line = TextBuffer();
    const Framing framing = frame_messages(frame);
    if (framing.parts.empty()) return reject(Hl7Error::empty_message().message());
    if (framing.parts.size() != 1 || framing.parts.front().kind != FramePart::Kind::Message)
        return reject("a frame holds one message; this one holds " + std::to_string(framing.parts.size()) +
                      " messages or batch segments");
    const std::string_view text = framing.parts.front().text;
    // The header is looked for as the converter and the ACK look for it:
    // on the first line that is not blank.
    if (!segment_named(first_segment_line(text), "MSH"))
        return reject("not an HL7 message: it does not start with MSH");
    const ReadMessage m = read_message(text, opts.encoding, opts.validate ? &opts.rules : nullptr);
    if (m.error) return reject(m.error->message());

    Verdict verdict;
    if (m.verdict) {
        verdict.code = AckCode::Error;
        verdict.reason = m.verdict->message();
    }
    TextBuffer& out = scratch.line;
    out.reserve(text.size() * 3 + 64);
    out.append("{\"source\":").append(source_json);
    append_message_members(out, index, m.standard->view(), /*escaping=*/true, scratch.flat);
    if (verdict.code == AckCode::Error) {
        // The data is kept all the same; the reason says why it was not
        // accepted.
        out.append(",\"error\":");
        append_json_string(out, verdict.reason);
    }
    out.append("}\n");
    return verdict;
}

// ------------------------------------------------------- a connection

class Listener;

struct Connection {
    int fd;
    std::string peer;  // HOST:PORT
    std::thread thread;
    std::atomic<bool> done{false};
};

class Listener {
public:
    Listener(const Options& opts, Sink& sink) : opts_(opts), sink_(sink) {
        // Control IDs of our ACKs: unique across restarts by the start time.
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
        id_prefix_ = std::to_string(ms) + "-";
    }

    void serve(Connection& c);
    Totals& totals() { return totals_; }

private:
    // Answers one frame; false when the connection must end.
    bool answer(Connection& c, const MllpReader::Frame& frame, const std::string& source_json, std::size_t index,
                Scratch& scratch);

    const Options& opts_;
    Sink& sink_;
    Totals totals_;
    std::string id_prefix_;
    std::atomic<std::uint64_t> next_id_{1};
};

bool Listener::answer(Connection& c, const MllpReader::Frame& frame, const std::string& source_json,
                      std::size_t index, Scratch& scratch) {
    Verdict verdict;
    if (frame.oversize) {
        verdict = reject("message of " + std::to_string(frame.size) + " bytes is over --max-message-bytes (" +
                         std::to_string(opts_.live.max_message_bytes) + ")");
    } else {
        verdict = convert_message(opts_, frame.text, source_json, index, scratch);
    }
    if (verdict.code != AckCode::Reject) {
        // Nothing lost: no ACK unless the line is out.
        if (!sink_.write_line(scratch.line.view())) return false;
    } else {
        print_error(c.peer + ": message " + std::to_string(index) + ": rejected: " + verdict.reason);
    }
    ++totals_.messages;
    ++(verdict.code == AckCode::Accept ? totals_.accepted
       : verdict.code == AckCode::Error ? totals_.errors
                                         : totals_.rejected);
    const AckHeader header{id_prefix_ + std::to_string(next_id_++),
                           hl7_timestamp(std::chrono::system_clock::now())};
    if (!send_all(c.fd, mllp_frame(build_ack(frame.text, verdict.code, verdict.reason, header)))) {
        print_error(c.peer + ": cannot send the ACK of message " + std::to_string(index) + ": " +
                    std::strerror(errno));
        return false;
    }
    return true;
}

void Listener::serve(Connection& c) {
    const std::string source_json = json_name(c.peer);
    timeval send_timeout{kSendTimeoutSeconds, 0};
    setsockopt(c.fd, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof send_timeout);
    // Each ACK is one small write the peer waits for.
    const int one = 1;
    setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(c.fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);

    MllpReader reader(opts_.live.max_message_bytes);
    Scratch scratch;
    std::size_t index = 0;
    auto on_frame = [&](const MllpReader::Frame& frame) { return answer(c, frame, source_json, index++, scratch); };
    const int idle_ms = opts_.live.idle_timeout > 0 ? static_cast<int>(opts_.live.idle_timeout * 1000) : -1;
    char buffer[64 * 1024];
    bool stopping = false;
    for (;;) {
        pollfd fds[2] = {{c.fd, POLLIN, 0}, {stop_fd(), POLLIN, 0}};
        const int ready = stopping ? 1 : ::poll(fds, 2, idle_ms);
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (ready == 0) {
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%g", opts_.live.idle_timeout);
            print_error(c.peer + ": closed after " + seconds + " s without a message (--idle-timeout)");
            break;
        }
        if (!stopping && (fds[1].revents & POLLIN)) stopping = true;
        // Stopping, only what has already arrived is answered.
        const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, stopping ? MSG_DONTWAIT : 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                print_error(c.peer + ": " + std::strerror(errno));
            break;
        }
        if (!reader.feed(std::string_view(buffer, static_cast<std::size_t>(n)), on_frame)) break;
    }
    if (reader.in_frame())
        print_error(c.peer + ": connection ended inside a message; its " + std::to_string(reader.partial_bytes()) +
                    " bytes were dropped, unanswered");
    if (reader.skipped_bytes() > 0)
        print_error(c.peer + ": skipped " + std::to_string(reader.skipped_bytes()) + " bytes outside frames");
    totals_.skipped += reader.skipped_bytes();
    ::close(c.fd);
    c.done = true;
}

// ------------------------------------------------------------ the run

int open_output(const Options& opts, std::string& error) {
    if (opts.live.output == "-") return STDOUT_FILENO;
    // Appended to, never truncated: a restarted listener must not destroy
    // lines it has already acknowledged.
    const int fd = ::open(opts.live.output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = opts.live.output + ": " + std::strerror(errno);
        return fd;
    }
    // A line cut short by the last run (a full disk, a crash) is moved
    // aside before anything is appended to it.
    const Repair repair = repair_line_file(fd, opts.live.output);
    if (!repair.error.empty()) {
        error = repair.error;
        ::close(fd);
        return -1;
    }
    if (const std::string text = repair_text(opts.live.output, repair); !text.empty()) print_error(text);
    return fd;
}

int listening_socket(const Address& address, std::string& error) {
    const int fd = ::socket(address.get()->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::strerror(errno);
        return -1;
    }
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, address.get(), address.length) != 0 || ::listen(fd, 128) != 0) {
        error = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string plural(std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

int run_listen(const Options& opts) {
    std::string error;
    const std::optional<Address> address = resolve(opts.live.bind, /*passive=*/true, error);
    if (!address) {
        print_error("--bind " + error);
        return 2;
    }
    const int out_fd = open_output(opts, error);
    if (out_fd < 0) {
        print_error("cannot open output " + error);
        return 1;
    }
    if (opts.live.sync) {
        struct stat st {};
        if (::fstat(out_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            print_error("--sync needs the output to be a file");
            return 2;
        }
    }
    const int listen_fd = listening_socket(*address, error);
    if (listen_fd < 0) {
        print_error("cannot listen on " + opts.live.bind + ": " + error);
        return 1;
    }
    Address bound;
    bound.length = sizeof bound.storage;
    getsockname(listen_fd, reinterpret_cast<sockaddr*>(&bound.storage), &bound.length);
    print_error("listening on " + address_text(bound.get(), bound.length));

    Sink sink(out_fd, opts.live.sync);
    Listener listener(opts, sink);
    std::list<Connection> connections;
    for (;;) {
        pollfd fds[2] = {{listen_fd, POLLIN, 0}, {stop_fd(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            print_error(std::string("poll: ") + std::strerror(errno));
            break;
        }
        if (fds[1].revents & POLLIN) break;
        if (!(fds[0].revents & POLLIN)) continue;
        Address peer;
        peer.length = sizeof peer.storage;
        const int fd = ::accept4(listen_fd, reinterpret_cast<sockaddr*>(&peer.storage), &peer.length, SOCK_CLOEXEC);
        if (fd < 0) {
            // Out of descriptors: give the connections a moment to end
            // rather than spin.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        connections.remove_if([](Connection& c) {
            if (!c.done) return false;
            c.thread.join();
            return true;
        });
        const std::string peer_text = address_text(peer.get(), peer.length);
        if (connections.size() >= opts.live.max_connections) {
            // Closed at once rather than left waiting: the peer's engine
            // sees a refusal it can retry, and the log says why.
            print_error(peer_text + ": refused: already " + std::to_string(connections.size()) +
                        " connections (--max-connections)");
            ::close(fd);
            continue;
        }
        Connection& c = connections.emplace_back();
        c.fd = fd;
        c.peer = peer_text;
        try {
            c.thread = std::thread([&listener, &c] { listener.serve(c); });
            ++listener.totals().connections;
        } catch (const std::system_error& e) {
            print_error(peer_text + ": refused: " + e.what());
            ::close(fd);
            connections.pop_back();
        }
    }
    ::close(listen_fd);
    for (Connection& c : connections) c.thread.join();

    const Totals& t = listener.totals();
    print_error("stopped: " + plural(t.connections, "connection", "connections") + ", " +
                plural(t.messages, "message", "messages") + " (" + std::to_string(t.accepted) + " AA, " +
                std::to_string(t.errors) + " AE, " + std::to_string(t.rejected) + " AR)" +
                (t.skipped > 0 ? ", " + std::to_string(t.skipped) + " bytes outside frames skipped" : ""));
    if (out_fd != STDOUT_FILENO && ::close(out_fd) != 0 && !sink.failed()) {
        print_error(std::string("cannot close output: ") + std::strerror(errno));
        return 1;
    }
    return sink.failed() ? 1 : 0;
}

}  // namespace segmorph::cli
