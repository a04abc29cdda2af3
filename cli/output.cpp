#include "output.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "line_file.hpp"
#include "signals.hpp"

namespace segmorph::cli {

namespace {

using Clock = std::chrono::steady_clock;

// The progress line appears only once a run has taken this long, so short
// runs never flash it, and is then redrawn at most this often.
constexpr auto kProgressDelay = std::chrono::seconds(1);
constexpr auto kProgressEvery = std::chrono::milliseconds(250);

bool is_regular(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

const char* signal_name(int sig) {
    switch (sig) {
        case SIGINT: return "SIGINT";
        case SIGTERM: return "SIGTERM";
        default: return "a signal";
    }
}

std::string counted(std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + (n == 1 ? one : many);
}

}  // namespace

void print_error(std::string_view text) {
    std::string line = "segmorph: ";
    line.append(quote_input(text, SIZE_MAX));
    line.push_back('\n');
    write_all(STDERR_FILENO, line);
}

Output::Output(const Options& opts)
    : opts_(opts),
      json_array_(opts.command == Command::ToJson && opts.format == Format::Json),
      // Not when the output goes to the same terminal: the line would be
      // drawn over the records.
      // send writes nothing there.
      show_progress_(!opts.quiet && isatty(STDERR_FILENO) && (opts.command == Command::Send || !isatty(STDOUT_FILENO))),
      wait_for_room_(!is_regular(STDOUT_FILENO)),
      start_(Clock::now()),
      last_progress_(start_) {
    if (wait_for_room_) return;
    if (opts.command == Command::ToJson && opts.format == Format::Jsonl &&
        (::fcntl(STDOUT_FILENO, F_GETFL) & O_APPEND)) {
        // Appending to a file of lines (">> feed.jsonl"): a line left cut by
        // an earlier run must not swallow the first one of this run.
        char link[64];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", STDOUT_FILENO);
        char target[4096];
        const ssize_t n = ::readlink(link, target, sizeof target - 1);
        if (n > 0) {
            const std::string path(target, static_cast<std::size_t>(n));
            const std::string text = repair_text(path, repair_line_file(STDOUT_FILENO, path));
            if (!text.empty()) print_error(text);
        }
    }
    file_.emplace(STDOUT_FILENO);
}

// Writes all of `text`, a run of whole lines, so that the output never
// ends inside a line.  A stop does not drop it: what was read before the
// stop is written.  A second signal ends the process if the reader at the
// other end never makes room.
Output::Write Output::write_stdout(std::string_view text) {
    if (file_) {
        // A file takes the run whole or, when the write fails part way, not
        // at all: the output ends on the last whole run.
        return file_->write(text) ? Write::Done : Write::Failed;
    }
    while (!text.empty()) {
        if (wait_for_room_) {
            pollfd p{STDOUT_FILENO, POLLOUT, 0};
            if (::poll(&p, 1, -1) < 0 && errno == EINTR) continue;
        }
        const ssize_t n = ::write(STDOUT_FILENO, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return Write::Failed;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return Write::Done;
}

void Output::write_failed(int code) {
    write_failed_ = true;
    stopped_ = true;
    // A reader that went away (head, a closed socket) stops the run as
    // SIGPIPE would, but with the summary and whole lines.
    if (code == EPIPE) {
        broken_pipe_ = true;
        return;
    }
    report(std::string("cannot write output: ") + std::strerror(code));
    ++failures_;
}

void Output::write_out(std::string_view text) {
    if (stopped_ || text.empty()) return;
    if (json_array_ && first_item_) {
        // Items of an array arrive each led by ",\n"; the first one's lead
        // becomes the opening bracket.
        text.remove_prefix(2);
        const Write w = write_stdout("[\n");
        if (w == Write::Failed) write_failed(errno);
        if (w != Write::Done) {
            stopped_ = true;
            return;
        }
        first_item_ = false;
    }
    const Write w = write_stdout(text);
    if (w == Write::Failed) write_failed(errno);
    if (w != Write::Done) stopped_ = true;
}

void Output::report(std::string_view text) {
    clear_progress();
    print_error(text);
}

void Output::note_inputs(const Inputs& inputs) {
    nothing_to_read_ = inputs.paths.empty();
    for (const SkippedFile& s : inputs.skipped) {
        if (s.failure) {
            report(s.path + ": skipped: " + s.why);
            ++failures_;
        } else if (opts_.verbose) {
            report("skipped " + s.path + ": " + s.why);
        }
    }
    if (opts_.verbose)
        for (const std::string& path : inputs.hidden) report("skipped " + path + ": hidden (--hidden reads it)");
    skipped_ = inputs.skipped;
}

bool Output::take(Piece&& piece) {
    // A piece that reaches here was read before any stop: the reading ends
    // at a stop, and what it read is written, so nothing that arrived whole
    // is lost.
    if (stopped_) return false;
    bytes_ += piece.input_bytes;
    if (opts_.fail_fast && !piece.failures.empty()) {
        const Failure& first = piece.failures.front();
        messages_ += first.messages;
        write_out(piece.out.view().substr(0, first.cut));
        if (!first.text.empty()) report(first.text);
        ++failures_;
        stopped_ = true;
        return false;
    }
    messages_ += piece.messages;
    write_out(piece.out.view());
    for (const Failure& f : piece.failures)
        if (!f.text.empty()) report(f.text);
    failures_ += piece.failures.size();
    progress(false);
    return !stopped_;
}

void Output::progress(bool force) {
    if (!show_progress_) return;
    const Clock::time_point now = Clock::now();
    if (!force && (now - start_ < kProgressDelay || now - last_progress_ < kProgressEvery)) return;
    last_progress_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double mb = static_cast<double>(bytes_) / 1e6;
    char line[160];
    const int n = std::snprintf(line, sizeof line, "\rsegmorph: %llu messages, %.1f MB, %.1f MB/s\x1b[K",
                                static_cast<unsigned long long>(messages_), mb, seconds > 0 ? mb / seconds : 0.0);
    if (n > 0) write_all(STDERR_FILENO, std::string_view(line, static_cast<std::size_t>(n)));
    progress_shown_ = true;
}

void Output::clear_progress() {
    if (!progress_shown_) return;
    write_all(STDERR_FILENO, "\r\x1b[K");
    progress_shown_ = false;
}

int Output::finish() {
    const int sig = stop_signal();
    if (json_array_ && !write_failed_) {
        // After a stop too: what was written stays a whole JSON document.
        if (write_stdout(first_item_ ? "[]\n" : "\n]\n") != Write::Done) write_failed(errno);
        first_item_ = false;
    }
    // Some file systems only report a failed write when the file is closed.
    if (!write_failed_ && ::close(STDOUT_FILENO) != 0 && errno != EINTR) write_failed(errno);
    clear_progress();
    if (!opts_.quiet) {
        // One line per reason, in the order first met: "3 files skipped: not HL7".
        std::vector<std::pair<std::string, std::uint64_t>> counts;
        for (const SkippedFile& s : skipped_) {
            const std::string why = s.failure ? "could not be read" : s.why;
            auto it = std::find_if(counts.begin(), counts.end(), [&](const auto& c) { return c.first == why; });
            if (it == counts.end()) counts.emplace_back(why, 1);
            else ++it->second;
        }
        for (const auto& [why, n] : counts)
            print_error(std::to_string(n) + (n == 1 ? " file skipped: " : " files skipped: ") + why);
    }
    if (nothing_to_read_ && failures_ == 0 && sig == 0) {
        // Not a failure of any one input, but the run did nothing.
        print_error(opts_.command == Command::ToHl7 ? "no JSON file found to convert" : "no HL7 file found to convert");
        return 1;
    }
    std::string summary;
    if (sig != 0) summary = std::string("stopped by ") + signal_name(sig) + ": ";
    else if (broken_pipe_) summary = "stopped, output closed: ";
    if (failures_ > 0) summary += counted(failures_, " failure, ", " failures, ");
    if (!opts_.quiet && !summary.empty()) print_error(summary + counted(messages_, " message read", " messages read"));
    if (sig != 0) return 128 + sig;
    if (broken_pipe_) return 128 + SIGPIPE;
    return failures_ > 0 ? 1 : 0;
}

}  // namespace segmorph::cli
