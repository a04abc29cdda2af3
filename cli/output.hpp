// Writing the run's results: output text in input order, failures on
// standard error, a progress line on a terminal, and the exit status.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "args.hpp"
#include "input.hpp"
#include "line_file.hpp"
#include "piece.hpp"

namespace segmorph::cli {

class Output {
public:
    explicit Output(const Options& opts);

    // The files the directory walk left out: those that could not be read
    // are reported now as failures, the names of the others too under
    // --verbose; finish() counts them.
    void note_inputs(const Inputs& inputs);

    // Takes the next piece in input order.  False once the run must stop:
    // --fail-fast met a failure, standard output cannot be written, or a
    // signal asked to stop (the piece is then dropped).
    bool take(Piece&& piece);

    // Closes the output (the array of --format json, even after a stop, and
    // standard output itself, whose errors count) and clears the progress
    // line.  The exit status: 0; 1 if anything failed; 128 plus the signal
    // when a signal or a closed pipe stopped the run.
    int finish();

private:
    enum class Write { Done, Failed };
    Write write_stdout(std::string_view text);
    void write_out(std::string_view text);
    void write_failed(int code);
    void report(std::string_view text);
    void progress(bool force);
    void clear_progress();

    const Options& opts_;
    const bool json_array_;
    bool first_item_ = true;
    bool show_progress_;
    bool progress_shown_ = false;
    bool stopped_ = false;
    bool write_failed_ = false;
    bool broken_pipe_ = false;
    // Standard output can fill up (a pipe): wait for room in poll(), where
    // a stop request is seen too.  Never needed for a file.
    const bool wait_for_room_;
    // Standard output when it is a regular file.
    std::optional<LineWriter> file_;
    std::uint64_t messages_ = 0, bytes_ = 0, failures_ = 0;
    std::vector<SkippedFile> skipped_;
    bool nothing_to_read_ = false;
    std::chrono::steady_clock::time_point start_, last_progress_;
};

// Writes "segmorph: <text>\n" to standard error, control characters and
// bytes that are not UTF-8 shown as "<XX>" so that no input can steer the
// terminal.
void print_error(std::string_view text);

}  // namespace segmorph::cli
