// Running conversions on several threads while their results still reach
// the output one after another in input order.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "piece.hpp"

namespace segmorph::cli {

// Input per task (HL7 and JSON alike): large enough that handing a task over
// costs nothing next to converting it, small enough that a few tasks per
// thread keep every thread busy on one large file.
inline constexpr std::size_t kTaskBytes = 256 * 1024;

class OrderedJobs {
public:
    using Task = std::function<Piece()>;
    using Sink = std::function<bool(Piece&&)>;

    // With one job, tasks run at once on the calling thread.  With more,
    // `jobs` threads (at most kJobsPerProcessor per processor: more only
    // cost memory) run them: jobs - 1 threads of their own, and the calling
    // thread whenever it would otherwise wait for a result; it hands the
    // results to the sink in submission order.  The sink returning false
    // stops the run.
    OrderedJobs(unsigned jobs, Sink sink);

    static constexpr unsigned kJobsPerProcessor = 2;
    ~OrderedJobs();
    OrderedJobs(const OrderedJobs&) = delete;
    OrderedJobs& operator=(const OrderedJobs&) = delete;

    // False once the run has stopped; the task is then dropped.
    // `input_bytes`, what the task reads, counts against the bytes that may
    // wait for the output at a time.
    bool submit(Task task, std::size_t input_bytes = 0);

    // Waits for every task submitted so far and hands its result to the
    // sink.  False once the run has stopped.
    bool flush();

    // Hands every outstanding result to the sink and stops the threads.
    void finish();

private:
    bool deliver_oldest();
    bool run_queued();
    void work();

    Sink sink_;
    bool stopped_ = false;
    // Results not yet handed on, oldest first.  Bounded in number and in
    // the input bytes they read (one huge message is a single task), so
    // that a fast reader never gets far ahead of the output: memory stays
    // in proportion to the number of jobs, not to the size of the input.
    struct Pending {
        std::future<Piece> result;
        std::size_t bytes;
    };
    std::deque<Pending> pending_;
    std::size_t max_pending_, pending_bytes_ = 0, max_pending_bytes_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::packaged_task<Piece()>> queue_;
    bool closing_ = false;
    std::vector<std::thread> threads_;
};

// Submits a task that only reports `text`, standing for `messages`
// messages (an input that failed, a message skipped).
bool submit_failure(const std::string& text, OrderedJobs& jobs, std::uint64_t messages = 0);

}  // namespace segmorph::cli
