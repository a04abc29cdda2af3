// Files compressed with gzip, read as the text they hold.
//
// Feeds are archived compressed, and a data lake keeps them so: a file is
// taken as gzip by its first bytes (1F 8B, deflate), whatever its name, and
// every reader of files (the command, the batch module and what is built on
// it) inflates it through zlib.  Several members one after another (what
// `cat a.gz b.gz` makes) are read as one text, as gzip -d does.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace segmorph {

// Whether `head` (a file's first bytes, at least 3 of them) starts a gzip
// member.
inline bool is_gzip(std::string_view head) {
    return head.size() >= 3 && head[0] == '\x1F' && head[1] == '\x8B' && head[2] == '\x08';
}

// Inflates the text held in gzip data that arrives in pieces.
class GzipReader {
public:
    GzipReader();
    ~GzipReader();
    GzipReader(const GzipReader&) = delete;
    GzipReader& operator=(const GzipReader&) = delete;

    // Inflates from `in` (advanced past what was taken) into `out`, up to
    // `room` bytes; returns how many were written.  0 with `in` used up
    // asks for more input.  `last` says no input follows `in`: then data
    // that ends inside a member fails.  A failure sets error() and stops.
    std::size_t read(std::string_view& in, char* out, std::size_t room, bool last);

    // Whether every member read so far is complete (the input may end here).
    bool at_member_end() const;
    // Empty, or why the data cannot be inflated.
    const std::string& error() const { return error_; }

private:
    struct State;
    std::unique_ptr<State> state_;
    std::string error_;
};

// The whole text of gzip `data`, appended to `out`.  Returns an empty text,
// or why it failed: corrupt or cut data, or a text longer than `limit`
// bytes (a small file may inflate to any size).
std::string gunzip(std::string_view data, std::size_t limit, std::string& out);

// The first up to `want` bytes of the text held in gzip `head` (the first
// bytes of a file, which need not be all of it), enough to tell what the
// file holds; empty when they cannot be inflated.
std::string gunzip_head(std::string_view head, std::size_t want);

}  // namespace segmorph
