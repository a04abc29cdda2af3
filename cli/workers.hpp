// Worker threads for the listener: jobs taken in the order given, each by
// the first thread free.  On destruction every job already given is still
// done (each is a message that must be answered), then the threads end.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace segmorph::cli {

template <class Job>
class Workers {
public:
    Workers(unsigned n, const std::function<void(Job&&)>& handler) : handler_(handler) {
        for (unsigned i = 0; i < n; ++i) threads_.emplace_back([this] { work(); });
    }
    ~Workers() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        ready_.notify_all();
        for (std::thread& t : threads_) t.join();
    }
    void push(Job&& job) {
        ++unfinished_;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            jobs_.push_back(std::move(job));
        }
        ready_.notify_one();
    }
    // No job waiting or under way.
    bool idle() const { return unfinished_.load(std::memory_order_acquire) == 0; }

private:
    void work() {
        for (;;) {
            std::unique_lock<std::mutex> lock(mutex_);
            ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (jobs_.empty()) return;  // every job taken is answered
            Job job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            handler_(std::move(job));
            unfinished_.fetch_sub(1, std::memory_order_release);
        }
    }
    const std::function<void(Job&&)>& handler_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Job> jobs_;
    bool stopping_ = false;
    std::atomic<unsigned> unfinished_{0};
    std::vector<std::thread> threads_;
};

}  // namespace segmorph::cli
