// The listener's counters, served as Prometheus text by --metrics
// HOST:PORT (GET /metrics) while it runs.  Counters are atomics bumped
// where things happen; the page is drawn from them on each request, on a
// thread of its own, so a slow scraper never holds up a connection.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "mllp.hpp"

namespace segmorph::cli {

// Seconds by fixed buckets, as Prometheus histograms count them.
class Histogram {
public:
    static constexpr std::array<double, 13> kBounds = {0.00005, 0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005,
                                                       0.01,    0.025,  0.05,    0.1,    0.25,  1.0};
    void observe(std::chrono::steady_clock::duration d);
    void print(std::string& out, const char* name, const char* help) const;

private:
    std::array<std::atomic<std::uint64_t>, kBounds.size() + 1> buckets_{};
    std::atomic<std::uint64_t> count_{0}, sum_ns_{0};
};

struct Metrics {
    std::atomic<std::uint64_t> accepted{0}, errors{0}, rejected{0};  // messages by ACK code
    std::atomic<std::uint64_t> bytes_received{0}, skipped_bytes{0};
    std::atomic<std::uint64_t> connections{0}, open_connections{0};
    std::atomic<std::uint64_t> denied{0};   // --allow
    std::atomic<std::uint64_t> refused{0};  // at the limit, nothing to make room
    std::atomic<std::uint64_t> evicted{0};  // idle ones closed to make room
    std::atomic<std::uint64_t> frames_refused{0};
    std::atomic<std::uint64_t> handshake_failures{0};
    std::atomic<std::uint64_t> frame_timeouts{0}, idle_timeouts{0}, ack_timeouts{0};
    std::atomic<std::uint64_t> descriptor_exhaustion{0};
    Histogram write_seconds, fsync_seconds;

    std::string text() const;
};

// Serves `metrics` on `address` until stop_fd() is readable.
class MetricsServer {
public:
    // False with `error` set when the address cannot be listened on.
    bool start(const Address& address, const Metrics& metrics, std::string& error);
    // The address it listens on (port 0 resolved).
    const std::string& where() const { return where_; }
    ~MetricsServer();

private:
    void serve();
    int fd_ = -1;
    const Metrics* metrics_ = nullptr;
    std::string where_;
    std::thread thread_;
};

}  // namespace segmorph::cli
