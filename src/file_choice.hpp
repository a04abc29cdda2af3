// Which files a directory holds for the readers: the command, the batch
// module and the data-lake readers built on it all choose by these rules,
// so that they read the same messages from the same folders.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace segmorph {

// What a directory walk takes: files whose first bytes (after a byte-order
// mark and white space) are those of HL7 (MSH, FHS, BHS or an MLLP block)
// or of JSON ("[" or "{"), whatever their names, or with `globs` the files
// whose names match one of the patterns.  A gzip file is judged by the
// text it holds.  Hidden files and folders (names starting with ".") only
// with `hidden`.
struct Selection {
    enum class Content { Hl7, Json } content = Content::Hl7;
    std::vector<std::string> globs;
    bool hidden = false;
};

// A file below a directory that was looked at and not read.
struct SkippedFile {
    std::string path;
    std::string why;       // "not HL7", "a FIFO", "a dangling link"...
    bool failure = false;  // could not be read, as opposed to not wanted
};

struct Inputs {
    std::vector<std::string> paths;
    std::vector<SkippedFile> skipped;
    std::vector<std::string> hidden;  // names left out as hidden
};

// The content is decided by this many bytes of a file at most (of its
// text, for a gzip file).
inline constexpr std::size_t kSniffBytes = 64 * 1024;

enum class HeadVerdict { Wanted, NotWanted, NeedMore };

// Whether a file whose first bytes are `head` holds `content`; NeedMore
// while `head` is all white space (or a segment name cut short) and the
// file has more (`whole` false).  A gzip head is inflated first.
HeadVerdict judge_head(std::string_view head, Selection::Content content, bool whole);

// Whether a path below a folder (relative to it, "/"-separated) is hidden:
// one of its names starts with ".".
bool is_hidden_path(std::string_view relative);

// Appends the files below directory `dir` that `selection` takes, walked
// in byte order of their names, without following links to other
// directories.  A directory that cannot be read is appended as it is, so
// that reading it reports why; links that lead nowhere and FIFOs, sockets
// and devices (which would block or never end) are skipped and reported.
void walk_directory(const std::string& dir, const Selection& selection, Inputs& out);

}  // namespace segmorph
