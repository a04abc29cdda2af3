#include "input.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "signals.hpp"

namespace segmorph::cli {

namespace {

Hl7Error os_error(int code) { return Hl7Error::io(IoError::from_errno(code)); }

bool is_regular(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

Inputs expand_paths(const std::vector<std::string>& paths, const Selection& selection) {
    Inputs out;
    if (paths.empty()) out.paths.emplace_back(kStdinName);
    for (const std::string& path : paths) {
        struct stat st;
        if (path != kStdinName && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            walk_directory(path, selection, out);
        } else {
            out.paths.push_back(path);
        }
    }
    return out;
}

namespace {

// The compressed bytes read at a time from a gzip file.
constexpr std::size_t kGzipReadBytes = 256 << 10;

// Whether the regular file open at `fd` starts as gzip data; read without
// moving the file's position.
bool starts_as_gzip(int fd) {
    char head[3];
    ssize_t n;
    do {
        n = ::pread(fd, head, sizeof head, 0);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof head) && is_gzip(std::string_view(head, sizeof head));
}

}  // namespace

Result<InputReader> InputReader::open(const std::string& name) {
    if (name == kStdinName) {
        InputReader in(STDIN_FILENO, false, is_regular(STDIN_FILENO));
        if (in.regular_ && starts_as_gzip(STDIN_FILENO)) in.gzip_ = std::make_unique<Gzip>();
        return in;
    }
    int fd;
    do {
        fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return os_error(errno);
    struct stat st;
    const bool known = fstat(fd, &st) == 0;
    if (known && S_ISDIR(st.st_mode)) {
        ::close(fd);
        return os_error(EISDIR);
    }
    InputReader in(fd, true, known && S_ISREG(st.st_mode));
    if (in.regular_ && starts_as_gzip(fd)) in.gzip_ = std::make_unique<Gzip>();
    return in;
}

ssize_t InputReader::read_some(char* out, std::size_t room) {
    if (!gzip_) return ::read(fd_, out, room);
    Gzip& gz = *gzip_;
    for (;;) {
        if (gz.pending.empty() && !gz.ended) {
            if (!gz.buffer) gz.buffer = std::make_unique<char[]>(kGzipReadBytes);
            const ssize_t n = ::read(fd_, gz.buffer.get(), kGzipReadBytes);
            if (n < 0) return -1;
            gz.ended = n == 0;
            gz.pending = std::string_view(gz.buffer.get(), static_cast<std::size_t>(n));
        }
        const std::size_t made = gz.reader.read(gz.pending, out, room, gz.ended);
        if (!gz.reader.error().empty()) return -2;
        if (made > 0 || (gz.ended && gz.pending.empty())) return static_cast<ssize_t>(made);
    }
}

namespace {

// Larger than any round that does not carry a long message.  A round that
// does grows by doubling up to the message's size; kept in the heap, every
// smaller one before the last would stay there once freed, and a message
// near --max-message-bytes would cost the limit again on top of its own
// round and its output.  Below this, rounds stay in the heap, where later
// ones reuse them without fresh pages.
constexpr std::size_t kMapBytes = 16 << 20;

}  // namespace

InputBytes::InputBytes(std::size_t capacity) {
    if (capacity < kMapBytes) {
        data_ = new char[capacity];
        return;
    }
    void* p = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<char*>(p);
    mapped_ = capacity;
}

InputBytes::~InputBytes() {
    if (mapped_ != 0) ::munmap(data_, mapped_);
    else delete[] data_;
}

// Waits in poll() rather than in read(), so that a stop signal wakes it
// however the signal and the wait fall in time: the signal leaves
// stop_fd() readable.
InputReader::Wait InputReader::wait_readable(bool block) const {
    pollfd p[2] = {{fd_, POLLIN, 0}, {stop_fd(), POLLIN, 0}};
    for (;;) {
        if (stop_signal() != 0) return Wait::Stopped;
        const int n = ::poll(p, 2, block ? -1 : 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || p[0].revents != 0) return Wait::Ready;  // on an error, read() reports it
        if (n == 0) return Wait::Idle;
    }
}

InputReader::~InputReader() {
    if (owned_) ::close(fd_);
}

Result<std::shared_ptr<const InputBytes>> InputReader::next(std::string_view carry, std::size_t want, bool& ended) {
    const std::size_t capacity = carry.size() + want;
    auto bytes = std::make_shared<InputBytes>(capacity);
    char* const data = bytes->data();
    if (!carry.empty()) std::memcpy(data, carry.data(), carry.size());
    std::size_t size = carry.size();
    std::size_t shown = size;  // bytes shown to round_ends_ so far
    ended = false;
    // A file stops where it is: the rest of the message being read is
    // still unread, so nothing of it is converted.
    if (regular_ && stop_signal() != 0) return os_error(EINTR);
    while (size < capacity) {
        if (!regular_) {
            // A pipe or socket that has nothing more for now ends the round
            // early when that is worth it, so that what arrived is
            // converted while the sender waits.  Not before the new bytes
            // match the carried ones, though, unless the round test says a
            // message is now complete: each round at least doubles what it
            // re-reads otherwise, which keeps a message that trickles in
            // from costing quadratic time.
            Wait wait = wait_readable(false);
            if (wait == Wait::Idle) {
                if (size > carry.size()) {
                    if (size - carry.size() >= carry.size()) break;
                    const bool ends = round_ends_ && round_ends_(std::string_view(data, size), shown);
                    shown = size;
                    if (ends) break;
                }
                if (idle_ && !idle_()) return os_error(EINTR);
                wait = wait_readable(true);
            }
            if (wait == Wait::Stopped) {
                // A stream that is stopped has ended: what arrived is all
                // there is, and the message it holds last is as complete
                // as the input shows, so it is converted as at the end.
                ended = true;
                break;
            }
        }
        const ssize_t n = read_some(data + size, capacity - size);
        if (n == -2) return Hl7Error::invalid_format(gzip_->reader.error());
        if (n < 0) {
            if (errno == EINTR) continue;
            return os_error(errno);
        }
        if (n == 0) {
            ended = true;
            break;
        }
        size += static_cast<std::size_t>(n);
    }
    bytes->set_size(size);
    return std::shared_ptr<const InputBytes>(std::move(bytes));
}

}  // namespace segmorph::cli
