#include "listen_sink.hpp"

#include <sys/eventfd.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

#include "log.hpp"
#include "signals.hpp"

namespace segmorph::cli {

using Clock = std::chrono::steady_clock;

Completions::Completions() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Completions::~Completions() {
    if (fd_ >= 0) ::close(fd_);
}

void Completions::wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(fd_, &one, sizeof one);
}

void Completions::push(Answer&& answer) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        waiting_.push_back(std::move(answer));
    }
    wake();
}

void Completions::push(std::vector<Answer>& answers) {
    if (answers.empty()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (Answer& a : answers) waiting_.push_back(std::move(a));
    }
    answers.clear();
    wake();
}

void Completions::take(std::vector<Answer>& out) {
    std::uint64_t count;
    [[maybe_unused]] const ssize_t n = ::read(fd_, &count, sizeof count);
    out.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    out.swap(waiting_);
}

Sink::Sink(int fd, bool sync, Completions& completions, Metrics& metrics)
    : sync_(sync), fd_(fd), writer_(fd), completions_(completions), metrics_(metrics) {
    if (sync_) syncer_ = std::thread([this] { sync_loop(); });
}

Sink::~Sink() {
    if (!syncer_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(sync_mutex_);
        stopping_ = true;
    }
    sync_wanted_.notify_all();
    syncer_.join();
}

void Sink::fail(const std::string& why) {
    if (!failed_.exchange(true)) log_event("output_failed", "", why);
    request_stop();
}

void Sink::store(std::string_view line, Answer&& answer) {
    std::uint64_t seq = 0;
    if (!line.empty()) {
        std::lock_guard<std::mutex> lock(write_mutex_);
        if (failed_) {
            answer.ack.clear();
        } else {
            const Clock::time_point start = Clock::now();
            // Whole or not at all: a line cut by a full disk is taken back.
            if (writer_.write(line)) {
                seq = ++written_;
                metrics_.write_seconds.observe(Clock::now() - start);
            } else {
                fail(std::string("cannot write output: ") + std::strerror(errno));
                answer.ack.clear();
            }
        }
    }
    if (!sync_ || seq == 0) {
        completions_.push(std::move(answer));
        return;
    }
    {
        std::lock_guard<std::mutex> lock(sync_mutex_);
        unsynced_.emplace_back(seq, std::move(answer));
    }
    sync_wanted_.notify_one();
}

void Sink::sync_loop() {
    std::vector<std::pair<std::uint64_t, Answer>> batch;
    std::vector<Answer> done;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(sync_mutex_);
            sync_wanted_.wait(lock, [this] { return stopping_ || !unsynced_.empty(); });
            if (unsynced_.empty()) return;  // stopping, nothing left
            batch.swap(unsynced_);
        }
        // Every line of the batch was written before this fsync begins.
        const Clock::time_point start = Clock::now();
        int rc = 0;
        if (!failed_) {
            do rc = ::fdatasync(fd_);
            while (rc != 0 && errno == EINTR);
        }
        if (rc != 0) fail(std::string("cannot sync output: ") + std::strerror(errno));
        else metrics_.fsync_seconds.observe(Clock::now() - start);
        for (auto& [seq, answer] : batch) {
            if (failed_) answer.ack.clear();
            done.push_back(std::move(answer));
        }
        batch.clear();
        completions_.push(done);
    }
}

}  // namespace segmorph::cli
