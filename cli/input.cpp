#include "input.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <poll.h>
#include <new>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "signals.hpp"

namespace segmorph::cli {

namespace {

// Where the first byte of content starts after a byte-order mark and white
// space; the decision needs no more than this many bytes of a file.
constexpr std::size_t kSniffBytes = 64 * 1024;

enum class Sniff { Wanted, NotWanted, Unreadable };

// Whether a file's first bytes are those of the wanted content.
Sniff sniff(const std::string& path, Selection::Content content) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return Sniff::Unreadable;
    char buf[4096];
    std::size_t seen = 0;
    bool first = true;
    Sniff verdict = Sniff::NotWanted;
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            verdict = Sniff::Unreadable;
            break;
        }
        if (n == 0) break;
        std::string_view head(buf, static_cast<std::size_t>(n));
        if (first && head.starts_with("\xEF\xBB\xBF")) head.remove_prefix(3);
        first = false;
        const std::size_t at = head.find_first_not_of(" \t\r\n\f");
        if (at != std::string_view::npos) {
            head.remove_prefix(at);
            if (content == Selection::Content::Json) {
                if (head[0] == '[' || head[0] == '{') verdict = Sniff::Wanted;
            } else if (head[0] == '\x0B') {
                verdict = Sniff::Wanted;
            } else {
                // A name cut by the end of this read is completed by the next.
                std::string name(head.substr(0, 3));
                while (name.size() < 3) {
                    char more[3];
                    const ssize_t m = ::read(fd, more, 3 - name.size());
                    if (m <= 0) break;
                    name.append(more, static_cast<std::size_t>(m));
                }
                if (name == "MSH" || name == "FHS" || name == "BHS") verdict = Sniff::Wanted;
            }
            break;
        }
        seen += static_cast<std::size_t>(n);
        if (seen >= kSniffBytes) break;
    }
    ::close(fd);
    return verdict;
}

bool matches_glob(const Selection& selection, const std::string& name, const std::string& relative) {
    for (const std::string& glob : selection.globs) {
        if (fnmatch(glob.c_str(), name.c_str(), 0) == 0) return true;
        if (fnmatch(glob.c_str(), relative.c_str(), FNM_PATHNAME) == 0) return true;
    }
    return false;
}

// What a directory entry that is not a directory nor a regular file is.
std::string not_a_file(mode_t mode) {
    if (S_ISFIFO(mode)) return "a FIFO, not a file";
    if (S_ISSOCK(mode)) return "a socket, not a file";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device, not a file";
    return "not a file";
}

void walk(const std::string& dir, const std::string& relative, const Selection& selection, Inputs& out) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        out.paths.push_back(dir);  // reading it reports why
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
        const std::string rel = relative.empty() ? name : relative + "/" + name;
        if (name.starts_with('.') && !selection.hidden) {
            out.hidden.push_back(path);
            continue;
        }
        struct stat st;
        // lstat: a link to a directory is not followed (no cycles), a link
        // to a file is read like the file.
        if (lstat(path.c_str(), &st) != 0) continue;  // vanished meanwhile
        if (S_ISDIR(st.st_mode)) {
            walk(path, rel, selection, out);
            continue;
        }
        if (S_ISLNK(st.st_mode)) {
            if (stat(path.c_str(), &st) != 0) {
                const int code = errno;
                out.skipped.push_back({path,
                                       code == ELOOP    ? "a link that loops"
                                       : code == ENOENT ? "a link that leads nowhere"
                                                        : "a link that cannot be followed (" +
                                                              Hl7Error::io(IoError::from_errno(code)).message() + ")",
                                       true});
                continue;
            }
            if (S_ISDIR(st.st_mode)) {
                out.skipped.push_back({path, "a link to a directory, not followed", false});
                continue;
            }
        }
        if (!S_ISREG(st.st_mode)) {
            out.skipped.push_back({path, not_a_file(st.st_mode), true});
            continue;
        }
        if (!selection.globs.empty()) {
            if (matches_glob(selection, name, rel)) out.paths.push_back(path);
            continue;
        }
        switch (sniff(path, selection.content)) {
            case Sniff::NotWanted:
                out.skipped.push_back({path, selection.content == Selection::Content::Json ? "not JSON" : "not HL7",
                                       false});
                break;
            case Sniff::Wanted:
            case Sniff::Unreadable:  // reading it reports why
                out.paths.push_back(path);
                break;
        }
    }
}

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
            walk(path, "", selection, out);
        } else {
            out.paths.push_back(path);
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
        const ssize_t n = ::read(fd_, data + size, capacity - size);
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
