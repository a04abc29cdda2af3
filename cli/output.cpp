#include "output.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace segmorph::cli {

namespace {

using Clock = std::chrono::steady_clock;

// The progress line appears only once a run has taken this long, so short
// runs never flash it, and is then redrawn at most this often.
constexpr auto kProgressDelay = std::chrono::seconds(1);
constexpr auto kProgressEvery = std::chrono::milliseconds(250);

// Writes all of `text` to `fd`; false on failure (errno set).
bool write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
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
      show_progress_(!opts.quiet && isatty(STDERR_FILENO) &&
                     (opts.command == Command::Send || !isatty(STDOUT_FILENO))),
      start_(Clock::now()),
      last_progress_(start_) {}

void Output::write_out(std::string_view text) {
    if (write_failed_ || text.empty()) return;
    if (json_array_ && first_item_) {
        // Items of an array arrive each led by ",\n"; the first one's lead
        // becomes the opening bracket.
        first_item_ = false;
        text.remove_prefix(2);
        if (!write_all(STDOUT_FILENO, "[\n")) write_failed_ = true;
    }
    if (!write_failed_ && !write_all(STDOUT_FILENO, text)) write_failed_ = true;
    if (write_failed_) {
        const int code = errno;
        report(std::string("cannot write output: ") + std::strerror(code));
        ++failures_;
        stopped_ = true;
    }
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
    if (json_array_) {
        if (first_item_) {
            first_item_ = false;
            if (!write_failed_ && !write_all(STDOUT_FILENO, "[]\n")) write_failed_ = true;
        } else {
            write_out("\n]\n");
        }
    }
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
    if (nothing_to_read_ && failures_ == 0) {
        // Not a failure of any one input, but the run did nothing.
        print_error(opts_.command == Command::ToHl7 ? "no JSON file found to convert" : "no HL7 file found to convert");
        return 1;
    }
    if (failures_ > 0 && !opts_.quiet) {
        print_error(std::to_string(failures_) + (failures_ == 1 ? " failure, " : " failures, ") +
                    std::to_string(messages_) + (messages_ == 1 ? " message read" : " messages read"));
    }
    return failures_ > 0 ? 1 : 0;
}

}  // namespace segmorph::cli
