// Finding the inputs named on the command line and reading them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include "errors.hpp"
#include "file_choice.hpp"
#include "gzip.hpp"

namespace segmorph::cli {

// The name under which standard input is read and reported.
inline constexpr std::string_view kStdinName = "-";

// How directories are walked and files chosen: the core's rules, which
// the batch module's readers share.
using segmorph::Inputs;
using segmorph::Selection;
using segmorph::SkippedFile;

// The inputs in the order given: each directory is replaced by the files
// below it that `selection` takes, walked in byte order of their names,
// without following links to other directories.  No paths means standard
// input.  A path or directory that cannot be looked at is kept as it is,
// so that reading it reports why; inside a directory, links that lead
// nowhere and FIFOs, sockets and devices (which would block or never end)
// are skipped and reported instead.
Inputs expand_paths(const std::vector<std::string>& paths, const Selection& selection);

// Bytes of an input, read in rounds: tasks that convert a round share
// ownership of its buffer.  A plain buffer rather than a std::string, so
// that reading does not first zero the memory it is about to fill.
class InputBytes {
public:
    // Room for `capacity` bytes.  A buffer far larger than a round (a round
    // that carries a long message) is mapped on its own, so that it goes
    // back to the system once freed instead of staying in the heap, where
    // the command keeps freed memory for the next task.
    explicit InputBytes(std::size_t capacity);
    ~InputBytes();
    InputBytes(const InputBytes&) = delete;
    InputBytes& operator=(const InputBytes&) = delete;

    char* data() { return data_; }
    void set_size(std::size_t size) { size_ = size; }
    std::string_view view() const { return {data_, size_}; }

private:
    char* data_;
    std::size_t size_ = 0;
    std::size_t mapped_ = 0;  // bytes mapped, or 0 for a heap buffer
};

// Input read per round (HL7 and JSON alike): small enough that a round, read,
// framed and then converted, is still in the processor's cache when it is
// converted, and that the reading thread hands tasks on in short steps; large
// enough that a read costs nothing next to converting what it read.  Rounds of
// 8 MB cost a tenth more time per byte than rounds of half a megabyte, most of
// it in fetching the round again from memory and in fresh pages.
inline constexpr std::size_t kRoundBytes = 512 * 1024;

// Bytes a round reads after the `carried` ones: at least `round_bytes`, and
// as many as are carried, so that a message longer than a round costs
// linear time; but never more than make the round one byte longer than
// `max_message`, which is enough to tell that a message is too long.
inline std::size_t round_want(std::size_t carried, std::size_t round_bytes, std::size_t max_message) {
    const std::size_t room = carried < max_message ? max_message - carried + 1 : 1;
    return carried < round_bytes ? round_bytes : std::max(round_bytes, std::min(carried, room));
}

// One input opened for reading: a file, or standard input for kStdinName.
class InputReader {
public:
    // Io with the operating system's description when the file cannot be
    // opened or is a directory.  A file (or standard input redirected from
    // one) that starts as gzip data is read as the text it holds.
    static Result<InputReader> open(const std::string& name);

    InputReader(InputReader&& other) noexcept
        : fd_(other.fd_),
          owned_(other.owned_),
          regular_(other.regular_),
          gzip_(std::move(other.gzip_)),
          idle_(std::move(other.idle_)),
          round_ends_(std::move(other.round_ends_)) {
        other.owned_ = false;
    }
    InputReader& operator=(InputReader&&) = delete;
    ~InputReader();

    // The next round: `carry` (a view that must stay valid until this
    // returns) followed by up to `want` newly read bytes.  From a file,
    // fewer only at its end, which sets `ended`; from a pipe or a socket
    // also when it has nothing more to give for the moment and either the
    // new bytes are at least as many as the carried ones (so that a message
    // trickling in is re-read a bounded number of times) or the round test
    // says the round is worth handing on now.  A stop signal while waiting
    // ends the round with an error.
    Result<std::shared_ptr<const InputBytes>> next(std::string_view carry, std::size_t want, bool& ended);

    // Called before waiting for a stream that has nothing to give; false
    // stops the reading with an error.
    void when_idle(std::function<bool()> idle) { idle_ = std::move(idle); }

    // round_ends(round, from): whether the bytes of the round from `from`
    // on (those not yet shown to it in this round; the first call of a
    // round has `from` equal to the carry's size) let the round end early.
    void end_rounds_when(std::function<bool(std::string_view, std::size_t)> round_ends) {
        round_ends_ = std::move(round_ends);
    }

private:
    enum class Wait { Ready, Idle, Stopped };

    InputReader(int fd, bool owned, bool regular) : fd_(fd), owned_(owned), regular_(regular) {}
    Wait wait_readable(bool block) const;
    // Up to `room` bytes of the input: read, or inflated from what is read.
    // -1 with errno set when reading fails, -2 when the gzip data cannot be
    // inflated (gzip_->reader.error() says why).
    ssize_t read_some(char* out, std::size_t room);

    struct Gzip {
        GzipReader reader;
        std::unique_ptr<char[]> buffer;  // compressed bytes read, not yet inflated
        std::string_view pending;
        bool ended = false;
    };

    int fd_;
    bool owned_;
    bool regular_;                // a file, which is read in full rounds
    std::unique_ptr<Gzip> gzip_;  // set for gzip data
    std::function<bool()> idle_;
    std::function<bool(std::string_view, std::size_t)> round_ends_;
};

}  // namespace segmorph::cli
