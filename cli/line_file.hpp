// Files of lines that hold whole lines only, whatever happens to a write.
//
// A line file is read by programs that take it a line at a time; a
// fragment at its end (a disk that filled up mid-line, a size limit, a
// crash) would be glued to the first line appended after a restart and
// make both unreadable.  So a write that fails is undone by truncating the
// file back to where the write began, and a file found ending inside a line
// is repaired before anything is appended: the fragment is moved aside to
// FILE.partial, where it can still be looked at.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace segmorph::cli {

// Writes all of `text` to `fd`, again after EINTR and short writes; false
// on failure (errno set).
bool write_all(int fd, std::string_view text);

// What repair_line_file did.
struct Repair {
    std::uint64_t fragment_bytes = 0;  // 0: the file ended with a whole line
    std::string partial_path;          // where the fragment went
    std::string error;                 // empty unless the repair failed
};

// When the regular file open on `fd` (for appending) ends inside a line,
// appends the fragment, ended by a line feed, to `path`.partial and cuts it
// from the file.  Anything else (a pipe, a terminal, an empty file) is left
// alone.
Repair repair_line_file(int fd, const std::string& path);

// A message for the log about a repair, or "" when nothing was repaired.
std::string repair_text(const std::string& path, const Repair& repair);

// Appends whole runs of lines to one descriptor; a run either goes out
// whole or, on a regular file, not at all.  Not thread-safe: one writer at a
// time.
class LineWriter {
public:
    explicit LineWriter(int fd);

    // Writes all of `text`.  On failure the file is truncated back to its
    // size before the call (when it is a regular file) and errno is left
    // as the write set it.
    bool write(std::string_view text);

    int fd() const { return fd_; }
    bool regular() const { return regular_; }

private:
    int fd_;
    bool regular_;
    std::int64_t end_ = 0;  // where the next write lands in a regular file
};

}  // namespace segmorph::cli
