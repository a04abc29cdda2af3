// MLLP over TCP: addresses, socket helpers and the framing of a byte
// stream into messages (0x0B message 0x1C 0x0D), shared by listen (an
// event loop, see listen_loop.hpp) and send (one blocking connection).
#pragma once

#include <sys/socket.h>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "errors.hpp"

namespace segmorph::cli {

inline constexpr char kFrameStart = '\x0B';
inline constexpr char kFrameEnd = '\x1C';
inline constexpr char kFrameTrailer = '\r';

// A resolved socket address.
struct Address {
    sockaddr_storage storage{};
    socklen_t length = 0;
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

// "HOST:PORT" ("[v6]:PORT" for an IPv6 literal) resolved to its first
// address; nothing, and `error` set to why, when it cannot be.
std::optional<Address> resolve(std::string_view host_port, bool passive, std::string& error);

// "HOST:PORT" of an address, "[HOST]:PORT" for IPv6.
std::string address_text(const sockaddr* addr, socklen_t length);

// Writes all of `data` to a socket; false with errno set on failure
// (a send timeout set on the socket gives EAGAIN).
bool send_all(int fd, std::string_view data);

// `message` as one MLLP frame.
std::string mllp_frame(std::string_view message);

// Cuts a byte stream into frames.  Bytes outside a frame are skipped and
// counted; 0x0B inside a frame starts it again (the sender gave up on the
// one before); the 0x0D after 0x1C is optional.  A frame that grows past
// the limit is handed on at once, marked oversize, with its first bytes
// (enough for its header, so that it can still be answered); the rest of
// it is counted and dropped as it arrives, so memory follows what a peer
// sent, never the limit.
class MllpReader {
public:
    explicit MllpReader(std::size_t max_bytes) : max_bytes_(max_bytes) {}

    struct Frame {
        std::string_view text;  // the frame's bytes, or its head when oversize
        std::size_t size;       // its full size, or what had come when oversize
        bool oversize;
    };

    // Takes the next bytes and calls on_frame(const Frame&) for each frame
    // they complete (or find oversize), in order; stops early when on_frame
    // returns false (and then returns false).
    template <class F>
    bool feed(std::string_view bytes, F&& on_frame);

    // Inside a frame, the rest of an oversize one included.
    bool in_frame() const { return state_ == State::Inside || state_ == State::Dropping; }
    std::size_t partial_bytes() const { return in_frame() ? size_ : 0; }
    std::uint64_t skipped_bytes() const { return skipped_; }
    std::uint64_t restarted_frames() const { return restarted_; }
    // Frames begun so far: a change says a new frame began.
    std::uint64_t frames_begun() const { return begun_; }

private:
    enum class State { Outside, Inside, Dropping, AfterEnd };
    // Bytes of an oversize frame kept to answer it: its header line.
    static constexpr std::size_t kHeadBytes = 64 * 1024;

    void restart() {
        // A large frame's buffer is not kept for all the small ones after it.
        if (buffer_.capacity() > kHeadBytes * 16) std::string().swap(buffer_);
        buffer_.clear();
        size_ = 0;
        ++begun_;
    }

    std::size_t max_bytes_;
    State state_ = State::Outside;
    std::string buffer_;
    std::size_t size_ = 0;
    std::uint64_t skipped_ = 0, restarted_ = 0, begun_ = 0;
};

template <class F>
bool MllpReader::feed(std::string_view bytes, F&& on_frame) {
    while (!bytes.empty()) {
        if (state_ == State::AfterEnd) {
            state_ = State::Outside;
            if (bytes.front() == kFrameTrailer) {
                bytes.remove_prefix(1);
                continue;
            }
        }
        if (state_ == State::Outside) {
            const std::size_t start = bytes.find(kFrameStart);
            skipped_ += std::min(start, bytes.size());
            if (start == std::string_view::npos) return true;
            bytes.remove_prefix(start + 1);
            state_ = State::Inside;
            restart();
            continue;
        }
        // Two memchr runs: find_first_of would call memchr once per byte.
        std::size_t stop = bytes.find(kFrameEnd);
        if (const std::size_t again = bytes.substr(0, stop).find(kFrameStart); again != std::string_view::npos)
            stop = again;
        const std::string_view chunk = bytes.substr(0, stop);
        size_ += chunk.size();
        if (state_ == State::Inside && size_ <= max_bytes_) {
            buffer_.append(chunk);
        } else if (state_ == State::Inside) {
            // Past the limit: answered now, from its head, and dropped.
            const std::size_t head = std::min(max_bytes_, kHeadBytes);
            if (buffer_.size() < head) buffer_.append(chunk.substr(0, head - buffer_.size()));
            else buffer_.resize(head);
            state_ = State::Dropping;
            const bool go = on_frame(Frame{buffer_, size_, true});
            std::string().swap(buffer_);
            if (!go) return false;
        }
        if (stop == std::string_view::npos) return true;
        const char c = bytes[stop];
        bytes.remove_prefix(stop + 1);
        if (c == kFrameStart) {
            if (state_ == State::Inside) {
                ++restarted_;
                skipped_ += size_;
            }
            state_ = State::Inside;
            restart();
            continue;
        }
        const bool dropped = state_ == State::Dropping;
        state_ = State::AfterEnd;
        if (!dropped && !on_frame(Frame{buffer_, size_, false})) return false;
    }
    return true;
}

}  // namespace segmorph::cli
