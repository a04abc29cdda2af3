// Where the listener's lines go, and how their ACKs come back to the event
// loop.
//
// Workers write lines whole under one lock (so lines of different
// connections never mix).  Without --sync the ACK is handed back at once;
// with it, the ACK waits on a thread of its own that runs one fdatasync for
// every line written before it began (a group commit), and hands back every
// ACK that fsync covered.  Workers never wait for the disk.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "line_file.hpp"
#include "metrics.hpp"

namespace segmorph::cli {

// A connection's answer to one frame, for the event loop.
struct Answer {
    std::uint64_t conn = 0;
    std::string ack;  // the framed ACK; empty: close without one
};

// Answers from any thread, taken by the event loop, which an eventfd
// wakes.
class Completions {
public:
    Completions();
    ~Completions();
    Completions(const Completions&) = delete;
    Completions& operator=(const Completions&) = delete;

    void push(Answer&& answer);
    void push(std::vector<Answer>& answers);
    // Moves every answer waiting into `out` (emptied first).
    void take(std::vector<Answer>& out);
    int fd() const { return fd_; }

private:
    void wake();
    int fd_;
    std::mutex mutex_;
    std::vector<Answer> waiting_;
};

class Sink {
public:
    Sink(int fd, bool sync, Completions& completions, Metrics& metrics);
    ~Sink();

    // Writes `line` (if not empty) and hands `answer` to the loop once the
    // line is stored: written, and fsynced with --sync.  When the output
    // fails (now or before), the answer goes back without its ACK.
    void store(std::string_view line, Answer&& answer);

    bool failed() const { return failed_; }

private:
    void fail(const std::string& why);
    void sync_loop();

    const bool sync_;
    const int fd_;
    LineWriter writer_;
    Completions& completions_;
    Metrics& metrics_;
    std::atomic<bool> failed_{false};
    std::mutex write_mutex_;
    std::uint64_t written_ = 0;  // lines written, under write_mutex_

    std::mutex sync_mutex_;
    std::condition_variable sync_wanted_;
    std::vector<std::pair<std::uint64_t, Answer>> unsynced_;
    bool stopping_ = false;
    std::thread syncer_;
};

}  // namespace segmorph::cli
