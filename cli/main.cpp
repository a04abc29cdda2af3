// segmorph: HL7 v2 <-> flat JSON records from the shell, on the same core
// as the Python module.
//
// The main thread walks and reads the inputs in order and cuts each into
// tasks; OrderedJobs runs them (on --jobs threads) and hands each result
// to Output in input order, so output never depends on timing.
#include <malloc.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <variant>

#include "args.hpp"
#include "convert.hpp"
#include "input.hpp"
#include "jobs.hpp"
#include "live.hpp"
#include "output.hpp"
#include "signals.hpp"

namespace segmorph::cli {
namespace {

int run(const Options& opts) {
    if (opts.command == Command::Listen) return run_listen(opts);
    if (opts.command == Command::Send) return run_send(opts);
    Output output(opts);
    const Inputs inputs = find_inputs(opts);
    output.note_inputs(inputs);
    {
        OrderedJobs jobs(opts.jobs, [&output](Piece&& piece) { return output.take(std::move(piece)); });
        for (const std::string& path : inputs.paths) {
            if (stop_signal() != 0) break;
            Result<InputReader> in = InputReader::open(path);
            if (in) {
                // Before the reader waits for a stream, what is converted
                // goes out: a live feed is never held back.
                in.value().when_idle([&jobs] { return jobs.flush(); });
            }
            const bool go = in ? submit_input(opts, path, in.value(), jobs) : submit_unreadable(path, in.error(), jobs);
            if (!go) break;
        }
        jobs.finish();
    }
    return output.finish();
}

}  // namespace
}  // namespace segmorph::cli

int main(int argc, char** argv) {
    using namespace segmorph::cli;
    std::variant<Options, EarlyExit> parsed = parse_args(argc, argv);
    if (const EarlyExit* early = std::get_if<EarlyExit>(&parsed)) {
        std::FILE* stream = early->status == 0 ? stdout : stderr;
        if ((std::fputs(early->text.c_str(), stream) < 0 || std::fflush(stream) != 0 || std::fclose(stream) != 0) &&
            early->status == 0) {
            print_error("cannot write output: " + std::string(std::strerror(errno)));
            return 1;
        }
        return early->status;
    }
    catch_stop_signals();
    // Each task's output is a fresh buffer of a megabyte or so.  Left to
    // the defaults, glibc maps every one of them anew and the kernel's page
    // faults cost more than writing the JSON; kept on the heap, the freed
    // buffers are reused.
    mallopt(M_MMAP_THRESHOLD, 256 << 20);
    mallopt(M_TRIM_THRESHOLD, 512 << 20);
    try {
        return run(std::get<Options>(parsed));
    } catch (const std::exception& e) {
        // Only running out of memory gets here; say so rather than abort.
        print_error(std::string("stopped: ") + e.what());
        return 1;
    }
}
