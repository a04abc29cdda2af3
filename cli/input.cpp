#include "input.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "signals.hpp"

namespace segmorph::cli {

namespace {

bool has_extension(std::string_view name, std::initializer_list<std::string_view> extensions) {
    for (std::string_view ext : extensions) {
        if (name.size() <= ext.size()) continue;
        const std::string_view tail = name.substr(name.size() - ext.size());
        if (std::equal(tail.begin(), tail.end(), ext.begin(), ext.end(), [](char a, char b) {
                return (a >= 'A' && a <= 'Z' ? a + ('a' - 'A') : a) == b;
            }))
            return true;
    }
    return false;
}

void walk(const std::string& dir, std::initializer_list<std::string_view> extensions,
          std::vector<std::string>& out) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        out.push_back(dir);  // reading it reports why
        return;
    }
    std::vector<std::string> names;
    while (const dirent* e = readdir(d)) {
        const std::string_view name = e->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    const std::string prefix = dir.ends_with('/') ? dir : dir + "/";
    for (const std::string& name : names) {
        const std::string path = prefix + name;
        struct stat st;
        // lstat: a link to a directory is not followed (no cycles), a link
        // to a file is read like the file.
        if (lstat(path.c_str(), &st) != 0) continue;  // vanished meanwhile
        if (S_ISDIR(st.st_mode)) {
            walk(path, extensions, out);
        } else if (has_extension(name, extensions) && (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode))) {
            if (S_ISLNK(st.st_mode) && (stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode))) continue;
            out.push_back(path);
        }
    }
}

Hl7Error os_error(int code) { return Hl7Error::io(IoError::from_errno(code)); }

bool is_regular(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

std::vector<std::string> expand_paths(const std::vector<std::string>& paths,
                                      std::initializer_list<std::string_view> extensions) {
    std::vector<std::string> out;
    if (paths.empty()) out.emplace_back(kStdinName);
    for (const std::string& path : paths) {
        struct stat st;
        if (path != kStdinName && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            walk(path, extensions, out);
        } else {
            out.push_back(path);
        }
    }
    return out;
}

Result<InputReader> InputReader::open(const std::string& name) {
    if (name == kStdinName) return InputReader(STDIN_FILENO, false, is_regular(STDIN_FILENO));
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
    return InputReader(fd, true, known && S_ISREG(st.st_mode));
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
    auto data = std::make_unique_for_overwrite<char[]>(capacity);
    if (!carry.empty()) std::memcpy(data.get(), carry.data(), carry.size());
    std::size_t size = carry.size();
    std::size_t shown = size;  // bytes shown to round_ends_ so far
    ended = false;
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
                    const bool ends = round_ends_ && round_ends_(std::string_view(data.get(), size), shown);
                    shown = size;
                    if (ends) break;
                }
                if (idle_ && !idle_()) return os_error(EINTR);
                wait = wait_readable(true);
            }
            if (wait == Wait::Stopped) return os_error(EINTR);
        }
        const ssize_t n = ::read(fd_, data.get() + size, capacity - size);
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
    return std::make_shared<const InputBytes>(std::move(data), size);
}

}  // namespace segmorph::cli
