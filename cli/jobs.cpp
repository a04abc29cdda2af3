#include "jobs.hpp"

#include <algorithm>
#include <chrono>

#include "signals.hpp"

namespace segmorph::cli {

namespace {

// Results that may wait for the output, per job.  Results leave in input
// order, so a thread that is descheduled in the middle of the oldest task
// holds up every later one: the others run ahead on later tasks, and go
// idle once the window is full.  And the reading thread only hands on new
// tasks between the ones it reads and converts itself.  A few tasks' worth
// of input per job keeps two jobs busy on two idle processors; half of it
// lets them run dry now and then, and twice as much gives nothing back for
// the memory, which has gone cold by the time it is written again.  In
// proportion to the number of jobs, not to the size of the input.
constexpr std::size_t kTasksPerJob = 4;
constexpr std::size_t kPendingBytesPerJob = 1 << 20;

unsigned usable_jobs(unsigned jobs) {
    const unsigned processors = std::max(1u, std::thread::hardware_concurrency());
    return std::min(jobs, OrderedJobs::kJobsPerProcessor * processors);
}

}  // namespace

OrderedJobs::OrderedJobs(unsigned jobs, Sink sink) : sink_(std::move(sink)) {
    jobs = std::max(1u, usable_jobs(jobs));
    max_pending_ = kTasksPerJob * jobs;
    max_pending_bytes_ = kPendingBytesPerJob * jobs;
    if (jobs <= 1) return;
    // The calling thread is one of the jobs: it reads and frames the input,
    // and converts whenever it would otherwise wait for a result.  A thread
    // of its own beside `jobs` converting ones would leave, on as many
    // processors as jobs, one thread too many: the reader would take its
    // processor from a job each time it woke, and the other jobs would run
    // out of work behind the result held up.
    // The workers never see a stop signal: it goes to this thread, whose
    // waiting reads and writes it must interrupt.
    const StopSignalsBlocked blocked;
    threads_.reserve(jobs - 1);
    for (unsigned i = 1; i < jobs; ++i) threads_.emplace_back([this] { work(); });
}

OrderedJobs::~OrderedJobs() { finish(); }

void OrderedJobs::work() {
    for (;;) {
        std::packaged_task<Piece()> task;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return closing_ || !queue_.empty(); });
            if (queue_.empty()) return;
            task = std::move(queue_.front());
            queue_.pop_front();
        }
        task();
    }
}

namespace {

// A task that threw (out of memory) fails its input rather than the run.
Piece failed_piece(const std::exception& e) {
    Piece piece;
    piece.failures.push_back({0, std::string("cannot convert: ") + e.what()});
    return piece;
}

}  // namespace

// Runs the oldest task no thread has started, on the calling thread; false
// when there is none.
bool OrderedJobs::run_queued() {
    std::packaged_task<Piece()> task;
    {
        std::lock_guard lock(mutex_);
        if (queue_.empty()) return false;
        task = std::move(queue_.front());
        queue_.pop_front();
    }
    task();
    return true;
}

// Hands the oldest result to the sink, helping with the tasks not yet
// started while it is not ready.
bool OrderedJobs::deliver_oldest() {
    while (pending_.front().result.wait_for(std::chrono::seconds(0)) != std::future_status::ready && run_queued()) {}
    std::future<Piece> result = std::move(pending_.front().result);
    pending_bytes_ -= pending_.front().bytes;
    pending_.pop_front();
    Piece piece;
    try {
        piece = result.get();
    } catch (const std::future_error&) {
        return !stopped_;  // dropped after a stop, never run
    } catch (const std::exception& e) {
        piece = failed_piece(e);
    }
    if (!stopped_ && !sink_(std::move(piece))) stopped_ = true;
    return !stopped_;
}

bool OrderedJobs::submit(Task task, std::size_t input_bytes) {
    if (stopped_) return false;
    if (threads_.empty()) {
        Piece piece;
        try {
            piece = task();
        } catch (const std::exception& e) {
            piece = failed_piece(e);
        }
        if (!sink_(std::move(piece))) stopped_ = true;
        return !stopped_;
    }
    while (pending_.size() >= max_pending_ || (!pending_.empty() && pending_bytes_ + input_bytes > max_pending_bytes_))
        if (!deliver_oldest()) return false;
    std::packaged_task<Piece()> job(std::move(task));
    pending_.push_back({job.get_future(), input_bytes});
    pending_bytes_ += input_bytes;
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(job));
    }
    wake_.notify_one();
    return true;
}

bool OrderedJobs::flush() {
    while (!pending_.empty() && !stopped_) deliver_oldest();
    return !stopped_;
}

void OrderedJobs::finish() {
    while (!pending_.empty()) {
        if (stopped_) {
            // Nobody wants these any more; drop what has not started.
            std::lock_guard lock(mutex_);
            queue_.clear();
        }
        // A started task is waited for, so that no thread outlives the
        // data it reads.
        deliver_oldest();
    }
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_) t.join();
    threads_.clear();
}

bool submit_failure(const std::string& text, OrderedJobs& jobs, std::uint64_t messages) {
    return jobs.submit([text, messages] {
        Piece piece;
        piece.failures.push_back({0, text});
        piece.messages = messages;
        return piece;
    });
}

}  // namespace segmorph::cli
