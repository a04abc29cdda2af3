// segmorph listen: an MLLP receiver that writes every message as a JSON line
// and acknowledges it only once the line is written.
//
// Here: the options put together, and what a worker does with one frame
// (convert outside any lock, store the line through the Sink, build the
// ACK).  The connections live in the event loop (listen_loop.hpp); the
// output and its fsyncs in listen_sink.hpp.  SIGINT and SIGTERM make the
// command's stop descriptor readable (signals.hpp): the loop stops
// accepting, answers what each connection had sent, and the summary is
// printed.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "ack.hpp"
#include "allow.hpp"
#include "framing.hpp"
#include "json_writer.hpp"
#include "line_file.hpp"
#include "lines.hpp"
#include "listen_loop.hpp"
#include "listen_sink.hpp"
#include "live.hpp"
#include "log.hpp"
#include "message_json.hpp"
#include "message_pipeline.hpp"
#include "metrics.hpp"
#include "mllp.hpp"
#include "output.hpp"
#include "rules.hpp"
#include "signals.hpp"
#include "tls.hpp"

namespace segmorph::cli {

namespace {

// -------------------------------------------------------- one message

// Working space a connection keeps from one message to the next.
struct Scratch {
    LineJsonWriter flat;
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
Verdict convert_message(const Options& opts, std::string_view frame, std::string_view source_json, std::size_t index,
                        Scratch& scratch) {
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

// ------------------------------------------------------ answering one

class Answerer {
public:
    Answerer(const Options& opts, Sink& sink, Metrics& metrics) : opts_(opts), sink_(sink), metrics_(metrics) {
        // Control IDs of our ACKs: unique across restarts by the start time.
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
                .count();
        id_prefix_ = std::to_string(ms) + "-";
    }

    // On a worker: the verdict, the line stored, the ACK handed back.
    void operator()(Job&& job) {
        thread_local Scratch scratch;
        Verdict verdict;
        if (job.oversize) {
            verdict = reject("message of more than " + std::to_string(opts_.live.max_message_bytes) +
                             " bytes (--max-message-bytes): refused after " + std::to_string(job.size) +
                             " bytes, the rest dropped");
        } else {
            verdict = convert_message(opts_, job.text, *job.source_json, job.index, scratch);
        }
        const char* code = verdict.code == AckCode::Accept ? "AA" : verdict.code == AckCode::Error ? "AE" : "AR";
        ++(verdict.code == AckCode::Accept  ? metrics_.accepted
           : verdict.code == AckCode::Error ? metrics_.errors
                                            : metrics_.rejected);
        const std::string index = std::to_string(job.index);
        if (verdict.code == AckCode::Reject) {
            log_event("message", *job.peer, "message " + index + ": rejected: " + verdict.reason,
                      {{"index", index}, {"ack", code}, {"reason", verdict.reason}});
        } else {
            log_event("message", *job.peer,
                      "message " + index + ": " + code + (verdict.reason.empty() ? "" : ": ") + verdict.reason,
                      {{"index", index}, {"ack", code}, {"reason", verdict.reason}}, true);
        }
        const AckHeader header{id_prefix_ + std::to_string(next_id_++),
                               hl7_timestamp(std::chrono::system_clock::now())};
        Answer answer{job.conn, mllp_frame(build_ack(job.text, verdict.code, verdict.reason, header))};
        // Nothing lost: the ACK goes out only once the line is stored.
        sink_.store(verdict.code == AckCode::Reject ? std::string_view() : scratch.line.view(), std::move(answer));
    }

private:
    const Options& opts_;
    Sink& sink_;
    Metrics& metrics_;
    std::string id_prefix_;
    std::atomic<std::uint64_t> next_id_{1};
};

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
    const int fd = ::socket(address.get()->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = std::strerror(errno);
        return -1;
    }
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, address.get(), address.length) != 0 || ::listen(fd, 1024) != 0) {
        error = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string plural(std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Connections take descriptors: the soft limit is raised to the hard one,
// and the connection limit kept under it with room for the output, the
// loop's own and a spare.
std::size_t connections_room(std::size_t wanted) {
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return wanted;
    if (lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &lim);
        ::getrlimit(RLIMIT_NOFILE, &lim);
    }
    constexpr rlim_t kReserved = 64;
    if (lim.rlim_cur == RLIM_INFINITY || lim.rlim_cur >= wanted + kReserved) return wanted;
    const std::size_t room = lim.rlim_cur > kReserved ? lim.rlim_cur - kReserved : 1;
    log_event("limit", "",
              "--max-connections " + std::to_string(wanted) + " lowered to " + std::to_string(room) +
                  ": the process may open " + std::to_string(lim.rlim_cur) + " files");
    return room;
}

}  // namespace

int run_listen(const Options& opts) {
    set_log_format(opts.live.log_json ? LogFormat::Json : LogFormat::Text);
    std::string error;
    const std::optional<Address> address = resolve(opts.live.bind, /*passive=*/true, error);
    if (!address) {
        print_error("--bind " + error);
        return 2;
    }
    std::optional<Address> metrics_address;
    if (!opts.live.metrics.empty()) {
        metrics_address = resolve(opts.live.metrics, /*passive=*/true, error);
        if (!metrics_address) {
            print_error("--metrics " + error);
            return 2;
        }
    }
    AllowList allow;
    for (const std::string& cidr : opts.live.allow) {
        if (!allow.add(cidr, error)) {
            print_error("--allow " + error);
            return 2;
        }
    }
    std::unique_ptr<TlsContext> tls;
    if (!opts.live.tls_cert.empty() || !opts.live.tls_key.empty() || !opts.live.tls_ca.empty()) {
        if (opts.live.tls_cert.empty() || opts.live.tls_key.empty()) {
            print_error("TLS needs both --tls-cert and --tls-key");
            return 2;
        }
        tls = TlsContext::server({opts.live.tls_cert, opts.live.tls_key, opts.live.tls_ca, {}}, error);
        if (!tls) {
            print_error(error);
            return tls_available() ? 1 : 2;
        }
        catch_reload_signal();
    }
    const int out_fd = open_output(opts, error);
    if (out_fd < 0) {
        print_error("cannot open output " + error);
        return 1;
    }
    if (opts.live.sync) {
        struct stat st{};
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
    Metrics metrics;
    MetricsServer metrics_server;
    if (metrics_address && !metrics_server.start(*metrics_address, metrics, error)) {
        print_error("cannot serve --metrics on " + opts.live.metrics + ": " + error);
        ::close(listen_fd);
        return 1;
    }
    Address bound;
    bound.length = sizeof bound.storage;
    getsockname(listen_fd, reinterpret_cast<sockaddr*>(&bound.storage), &bound.length);
    const std::string where = address_text(bound.get(), bound.length);
    const std::size_t max_connections = connections_room(opts.live.max_connections);
    if (metrics_address) log_event("metrics", "", "metrics on http://" + metrics_server.where() + "/metrics");
    log_event("listening", "", "listening on " + where + (tls ? " (TLS)" : ""));

    Completions completions;
    bool failed = false;
    {
        Sink sink(out_fd, opts.live.sync, completions, metrics);
        Answerer answerer(opts, sink, metrics);
        const Handler handler = [&answerer](Job&& job) { answerer(std::move(job)); };
        LoopSettings settings{};
        settings.max_message_bytes = opts.live.max_message_bytes;
        settings.max_connections = max_connections;
        settings.frame_timeout = opts.live.frame_timeout;
        settings.idle_timeout = opts.live.idle_timeout;
        settings.workers = std::max(2u, std::thread::hardware_concurrency());
        settings.allow = &allow;
        settings.tls = tls.get();
        run_loop(settings, listen_fd, handler, completions, metrics);
        request_stop();  // whatever ended the loop ends the metrics page too
        failed = sink.failed();
    }
    ::close(listen_fd);

    const Metrics& m = metrics;
    const std::uint64_t messages = m.accepted + m.errors + m.rejected;
    log_event(
        "stopped", "",
        "stopped: " + plural(m.connections, "connection", "connections") + ", " +
            plural(messages, "message", "messages") + " (" + std::to_string(m.accepted) + " AA, " +
            std::to_string(m.errors) + " AE, " + std::to_string(m.rejected) + " AR)" +
            (m.skipped_bytes > 0 ? ", " + std::to_string(m.skipped_bytes) + " bytes outside frames skipped" : ""));
    if (out_fd != STDOUT_FILENO && ::close(out_fd) != 0 && !failed) {
        print_error(std::string("cannot close output: ") + std::strerror(errno));
        return 1;
    }
    return failed ? 1 : 0;
}

}  // namespace segmorph::cli
