// Running conversions on several threads while their results still reach
// the output one after another in input order.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "piece.hpp"

namespace segmorph::cli {

class OrderedJobs {
public:
    using Task = std::function<Piece()>;
    using Sink = std::function<bool(Piece&&)>;

    // With one job, tasks run at once on the calling thread.  With more,
    // `jobs` threads run them and the calling thread hands results to the
    // sink in submission order.  The sink returning false stops the run.
    OrderedJobs(unsigned jobs, Sink sink);
    ~OrderedJobs();
    OrderedJobs(const OrderedJobs&) = delete;
    OrderedJobs& operator=(const OrderedJobs&) = delete;

    // False once the run has stopped; the task is then dropped.
    bool submit(Task task);

    // Hands every outstanding result to the sink and stops the threads.
    void finish();

private:
    bool deliver_oldest();
    void work();

    Sink sink_;
    bool stopped_ = false;
    // Results not yet handed on, oldest first.  Bounded, so that a fast
    // reader never gets far ahead of the output: memory stays in
    // proportion to the number of jobs, not to the size of the input.
    std::deque<std::future<Piece>> pending_;
    std::size_t max_pending_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::packaged_task<Piece()>> queue_;
    bool closing_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace segmorph::cli
