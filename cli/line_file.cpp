#include "line_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>

namespace segmorph::cli {

bool write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

namespace {

// Offset just past the last line feed of the file's first `size` bytes
// (0 when it has none), read backwards a block at a time.
bool last_line_end(int fd, off_t size, off_t& out) {
    char block[64 * 1024];
    off_t end = size;
    while (end > 0) {
        const off_t begin = end > static_cast<off_t>(sizeof block) ? end - static_cast<off_t>(sizeof block) : 0;
        const ssize_t n = ::pread(fd, block, static_cast<std::size_t>(end - begin), begin);
        if (n < 0 && errno == EINTR) continue;
        if (n != end - begin) return false;
        for (ssize_t i = n; i > 0; --i) {
            if (block[i - 1] == '\n') {
                out = begin + i;
                return true;
            }
        }
        end = begin;
    }
    out = 0;
    return true;
}

// A descriptor for reading the file open on `fd`, which may have been
// opened for writing only (a shell's ">>").
int reader_of(int fd, const std::string& path) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_ACCMODE) == O_RDWR) return ::dup(fd);
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const int r = ::open(self.c_str(), O_RDONLY | O_CLOEXEC);
    return r >= 0 ? r : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

Repair repair_found(int fd, int rd, const std::string& path) {
    Repair r;
    struct stat st{};
    if (::fstat(fd, &st) != 0) return r;
    char last = 0;
    if (::pread(rd, &last, 1, st.st_size - 1) != 1) {
        r.error = std::string("cannot read the end of ") + path + ": " + std::strerror(errno);
        return r;
    }
    if (last == '\n') return r;
    off_t keep = 0;
    if (!last_line_end(rd, st.st_size, keep)) {
        r.error = std::string("cannot read ") + path + ": " + std::strerror(errno);
        return r;
    }
    r.partial_path = path + ".partial";
    const int aside = ::open(r.partial_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (aside < 0) {
        r.error = "cannot open " + r.partial_path + ": " + std::strerror(errno);
        return r;
    }
    bool ok = true;
    char block[64 * 1024];
    for (off_t at = keep; ok && at < st.st_size;) {
        const std::size_t want = static_cast<std::size_t>(std::min<off_t>(st.st_size - at, sizeof block));
        const ssize_t n = ::pread(rd, block, want, at);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0 && write_all(aside, std::string_view(block, static_cast<std::size_t>(n)));
        at += n > 0 ? n : 0;
    }
    // The fragment is safe on disk before it leaves the file.
    ok = ok && write_all(aside, "\n") && ::fsync(aside) == 0;
    const int code = errno;
    ::close(aside);
    if (!ok) {
        r.error = "cannot write " + r.partial_path + ": " + std::strerror(code);
        return r;
    }
    if (::ftruncate(fd, keep) != 0) {
        r.error = "cannot cut the partial line from " + path + ": " + std::strerror(errno);
        return r;
    }
    r.fragment_bytes = static_cast<std::uint64_t>(st.st_size - keep);
    return r;
}

}  // namespace

Repair repair_line_file(int fd, const std::string& path) {
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) return {};
    const int rd = reader_of(fd, path);
    if (rd < 0) {
        Repair r;
        r.error = "cannot read " + path + ": " + std::strerror(errno);
        return r;
    }
    Repair r = repair_found(fd, rd, path);
    ::close(rd);
    return r;
}

std::string repair_text(const std::string& path, const Repair& repair) {
    if (!repair.error.empty()) return repair.error;
    if (repair.fragment_bytes == 0) return {};
    return path + " ended inside a line: its last " + std::to_string(repair.fragment_bytes) + " bytes were moved to " +
           repair.partial_path;
}

LineWriter::LineWriter(int fd) : fd_(fd) {
    struct stat st{};
    regular_ = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (!regular_) return;
    // Opened for appending, writes land at the end; otherwise (a shell's
    // "> file") at the descriptor's position.
    const int flags = ::fcntl(fd, F_GETFL);
    end_ = (flags >= 0 && (flags & O_APPEND)) ? st.st_size : ::lseek(fd, 0, SEEK_CUR);
    // Writing inside a file ("1<> file"): what follows is not ours to cut.
    if (end_ < 0 || end_ < st.st_size) regular_ = false;
}

bool LineWriter::write(std::string_view text) {
    if (write_all(fd_, text)) {
        end_ += static_cast<std::int64_t>(text.size());
        return true;
    }
    if (regular_) {
        // Part of the run may be out: cut it, so that the file ends where
        // the last whole run did.
        const int code = errno;
        if (::ftruncate(fd_, end_) == 0) ::lseek(fd_, end_, SEEK_SET);
        errno = code;
    }
    return false;
}

}  // namespace segmorph::cli
