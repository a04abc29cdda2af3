// segmorph send: the inputs' messages, framed as to-json frames them, sent
// over MLLP one at a time, each waiting for its ACK.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "ack.hpp"
#include "convert.hpp"
#include "hl7_rounds.hpp"
#include "input.hpp"
#include "lines.hpp"
#include "live.hpp"
#include "mllp.hpp"
#include "output.hpp"
#include "signals.hpp"
#include "tls.hpp"

namespace segmorph::cli {

namespace {

using Clock = std::chrono::steady_clock;

// An ACK is a few hundred bytes; anything far larger is not one.
constexpr std::size_t kMaxAckBytes = 1 << 20;

// The message as it goes on the wire: every segment ended by a carriage
// return, whatever line breaks the file had.
std::string wire_text(std::string_view text) {
    std::string out = replace_eof(text);
    for (char& c : out)
        if (c == '\n') c = '\r';
    out.push_back('\r');
    return out;
}

class Link {
public:
    Link(const Address& address, std::string target, double timeout, TlsContext* tls)
        : address_(address), target_(std::move(target)), timeout_(std::chrono::duration<double>(timeout)), tls_(tls) {}
    ~Link() { close(); }

    void close() {
        if (stream_ && stream_->established()) stream_->close_notify();
        stream_.reset();
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    // Connects unless connected; false with `error` set when it cannot.
    bool open(std::string& error) {
        if (fd_ >= 0) return true;
        const int fd = ::socket(address_.get()->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            error = std::strerror(errno);
            return false;
        }
        // Bounded like the wait for an ACK: a silent address must not hang
        // the run.
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(timeout_).count();
        timeval tv{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        if (::connect(fd, address_.get(), address_.length) != 0) {
            error = "cannot connect to " + target_ + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        fd_ = fd;
        reader_ = MllpReader(kMaxAckBytes);
        return !tls_ || start_tls(error);
    }

    // Sends one frame and waits for the frame that answers it: each frame
    // that comes is shown to `ours`, and the first it takes is the answer;
    // the others are strays, left in `strays`.  False with `error` set on a
    // timeout or a dropped connection (then closed).
    template <class Ours>
    bool exchange(std::string_view frame, Ours&& ours, std::string& answer, std::vector<std::string>& strays,
                  std::string& error) {
        // What came since the last answer cannot answer this message: a
        // receiver that sent one ACK too many must not pair each later
        // message with the ACK of the one before.
        collect(strays);
        if (fd_ < 0) {
            error = "connection closed by the receiver";
            return false;
        }
        if (!put(frame)) {
            error = std::string("connection lost: ") + std::strerror(errno);
            close();
            return false;
        }
        const Clock::time_point deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(timeout_);
        bool got = false;
        auto on_frame = [&](const MllpReader::Frame& f) {
            if (!got && ours(f.text)) {
                answer.assign(f.text);
                got = true;
            } else {
                strays.emplace_back(f.text);
            }
            return true;
        };
        char buffer[4096];
        while (!got) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_fd(), POLLIN, 0}};
            // Bytes TLS has already decrypted wake no poll.
            const int ready = stream_ && stream_->pending() ? 1
                              : left <= 0                   ? 0
                                                            : ::poll(fds, 2, static_cast<int>(left));
            if (ready < 0 && errno == EINTR) continue;
            if (ready > 0 && (fds[1].revents & POLLIN)) {
                error = "stopped before the answer came";
                close();
                return false;
            }
            if (ready <= 0) {
                error = "no answer within the timeout";
                close();
                return false;
            }
            const ssize_t n = get(buffer, sizeof buffer);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) {
                error = n == 0 ? "connection closed by the receiver"
                               : std::string("connection lost: ") + std::strerror(errno);
                close();
                return false;
            }
            reader_.feed(std::string_view(buffer, static_cast<std::size_t>(n)), on_frame);
        }
        return true;
    }

    // Takes, without waiting, the frames that have come: each goes to
    // `strays`.  A connection the receiver closed is closed here too.
    void collect(std::vector<std::string>& strays) {
        if (fd_ < 0) return;
        char buffer[4096];
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            if (!(stream_ && stream_->pending()) && ::poll(&p, 1, 0) <= 0) return;
            const ssize_t n = get(buffer, sizeof buffer);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
            if (n <= 0) {
                close();
                return;
            }
            reader_.feed(std::string_view(buffer, static_cast<std::size_t>(n)), [&](const MllpReader::Frame& f) {
                strays.emplace_back(f.text);
                return true;
            });
        }
    }

private:
    // The TLS handshake, within the timeout; a receiver whose certificate
    // or name does not verify cannot be reached.
    bool start_tls(std::string& error) {
        const int flags = ::fcntl(fd_, F_GETFL);
        ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
        stream_ = TlsStream::over(*tls_, fd_, error);
        Io io = stream_ ? Io::WantWrite : Io::Failed;
        const Clock::time_point deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(timeout_);
        while (io != Io::Failed && (io = stream_->handshake()) != Io::Done) {
            if (io == Io::Closed) io = Io::Failed;
            if (io == Io::Failed || !wait(io, deadline)) break;
        }
        if (io == Io::Done) return true;
        error =
            "cannot connect to " + target_ + " over TLS: " +
            (io == Io::Failed ? (stream_ ? stream_->error() : error) : std::string("no handshake within the timeout"));
        close();
        return false;
    }

    // Waits for what a TLS call asked for; false on the deadline or a stop.
    bool wait(Io io, Clock::time_point deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd fds[2] = {{fd_, static_cast<short>(io == Io::WantWrite ? POLLOUT : POLLIN), 0}, {stop_fd(), POLLIN, 0}};
        const int ready = ::poll(fds, 2, static_cast<int>(left));
        return ready > 0 ? (fds[1].revents & POLLIN) == 0 : ready < 0 && errno == EINTR;
    }

    // Writes all of `data`; false with errno set on failure.
    bool put(std::string_view data) {
        if (!stream_) return send_all(fd_, data);
        const Clock::time_point deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(timeout_);
        while (!data.empty()) {
            std::size_t n = 0;
            const Io io = stream_->write(data.data(), data.size(), n);
            if (io == Io::Done) data.remove_prefix(n);
            else if (io == Io::Failed || io == Io::Closed || !wait(io, deadline)) {
                if (errno == 0) errno = EPIPE;
                return false;
            }
        }
        return true;
    }

    // Reads what has come, as recv() does (-1 with EAGAIN: nothing yet).
    ssize_t get(char* buffer, std::size_t size) {
        if (!stream_) return ::recv(fd_, buffer, size, 0);
        std::size_t n = 0;
        const Io io = stream_->read(buffer, size, n);
        if (io == Io::Done) return static_cast<ssize_t>(n);
        if (io == Io::Closed) return 0;
        errno = io == Io::Failed ? ECONNRESET : EAGAIN;
        return -1;
    }

    Address address_;
    std::string target_;
    std::chrono::duration<double> timeout_;
    TlsContext* tls_;
    std::unique_ptr<TlsStream> stream_;
    int fd_ = -1;
    MllpReader reader_{kMaxAckBytes};
};

enum class Outcome { Accepted, Refused, NoAnswer, Unreachable };

struct Sent {
    Outcome outcome;
    std::string text;  // why, for anything but Accepted
};

// An answer that pairs with no message sent: said, never taken as the
// answer of the message after it.
std::string stray_text(std::string_view target, std::string_view frame) {
    const std::optional<AckReply> reply = read_ack(frame);
    if (!reply) return std::string(target) + ": a frame that answers no message sent was ignored";
    return std::string(target) + ": an acknowledgement (" + quote_input(reply->code) + ", MSA-2 '" +
           quote_input(reply->control_id) + "') that answers no message sent was ignored";
}

Sent send_message(const Options& opts, Link& link, std::string_view text, std::vector<std::string>& strays) {
    const std::string frame = mllp_frame(wire_text(text));
    const std::string_view control_id = message_control_id(text);
    // ACKs pair with messages by MSA-2 when the message has a control ID;
    // by order only when neither has one.  Anything not an ACK is the
    // answer too (and refused below): a receiver that says something else
    // is not to be waited out.
    auto ours = [control_id](std::string_view answer) {
        const std::optional<AckReply> reply = read_ack(answer);
        return !reply || reply->control_id == control_id;
    };
    std::string error, answer;
    for (unsigned attempt = 0; attempt <= opts.live.retries && stop_signal() == 0; ++attempt) {
        if (attempt > 0) {
            // A receiver restarting needs a moment; the wait grows a little.
            std::this_thread::sleep_for(std::chrono::milliseconds(100) * std::min(attempt, 10u));
        }
        if (!link.open(error)) continue;
        if (!link.exchange(frame, ours, answer, strays, error)) continue;
        const std::optional<AckReply> reply = read_ack(answer);
        if (!reply) return {Outcome::Refused, "the answer is not an HL7 acknowledgement"};
        if (ack_accepted(reply->code)) return {Outcome::Accepted, {}};
        std::string why = quote_input(reply->code);
        if (!reply->text.empty()) why += ": " + quote_input(reply->text);
        return {Outcome::Refused, why};
    }
    const bool unreachable = error.starts_with("cannot connect");
    return {unreachable ? Outcome::Unreachable : Outcome::NoAnswer,
            error + (opts.live.retries > 0 ? " (" + std::to_string(opts.live.retries + 1) + " attempts)" : "")};
}

// Sends each message as the reading hands it on, and reports.
class SendParts final : public Hl7PartSink {
public:
    SendParts(const Options& opts, const std::string& path, Link& link, Output& output)
        : opts_(opts), path_(path), link_(link), output_(output) {}

    bool parts(const std::shared_ptr<const InputBytes>&, std::span<const FramePart> parts, std::size_t index) override {
        for (const FramePart& part : parts) {
            if (part.kind != FramePart::Kind::Message) continue;  // batch envelopes have no place in MLLP
            const std::size_t n = index++;
            std::vector<std::string> strays;
            const Sent sent = send_message(opts_, link_, part.text, strays);
            for (const std::string& stray : strays) print_error(stray_text(opts_.live.target, stray));
            Piece piece;
            piece.messages = 1;
            piece.input_bytes = part.text.size();
            if (sent.outcome != Outcome::Accepted) {
                const std::string text = path_ + ": message " + std::to_string(n) + ": " + sent.text;
                // Once stopped, the output takes nothing more; the message
                // in flight is still worth a line.
                if (stop_signal() != 0) print_error(text);
                piece.failures.push_back({0, text});
            }
            if (!output_.take(std::move(piece))) return false;
            if (sent.outcome == Outcome::Unreachable) {
                print_error("stopped: " + opts_.live.target + " cannot be reached");
                return false;
            }
        }
        return true;
    }

    bool failure(const std::string& text, std::uint64_t messages) override {
        Piece piece;
        piece.failures.push_back({0, text});
        piece.messages = messages;
        return output_.take(std::move(piece));
    }

private:
    const Options& opts_;
    const std::string& path_;
    Link& link_;
    Output& output_;
};

}  // namespace

int run_send(const Options& opts) {
    std::string error;
    const std::optional<Address> address = resolve(opts.live.target, /*passive=*/false, error);
    if (!address) {
        // A name that does not resolve is a failure to reach the receiver;
        // only a target that is not HOST:PORT is a usage error.
        print_error(error);
        if (error.starts_with("cannot resolve")) return 1;
        std::fputs("Try 'segmorph send --help'.\n", stderr);
        return 2;
    }
    std::unique_ptr<TlsContext> tls;
    if (opts.live.tls) {
        if (opts.live.tls_cert.empty() != opts.live.tls_key.empty()) {
            print_error("--tls-cert and --tls-key go together");
            std::fputs("Try 'segmorph send --help'.\n", stderr);
            return 2;
        }
        // The name to verify: the one given, else the host of HOST:PORT.
        std::string name = opts.live.tls_server_name;
        if (name.empty()) {
            name = opts.live.target.substr(0, opts.live.target.rfind(':'));
            if (name.size() >= 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
        }
        tls = TlsContext::client({opts.live.tls_cert, opts.live.tls_key, opts.live.tls_ca, name}, error);
        if (!tls) {
            print_error(error);
            return tls_available() ? 1 : 2;
        }
    }
    Link link(*address, opts.live.target, opts.live.timeout, tls.get());
    Output output(opts);
    const Inputs inputs = find_inputs(opts);
    output.note_inputs(inputs);
    bool go = true;
    for (const std::string& path : inputs.paths) {
        if (!go) break;
        SendParts sink(opts, path, link, output);
        Result<InputReader> in = InputReader::open(path);
        go = in ? read_hl7_parts(opts, path, in.value(), sink) : sink.failure(path + ": " + in.error().message(), 0);
    }
    return output.finish();
}

}  // namespace segmorph::cli
