#include "signals.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>
#include <cerrno>

namespace segmorph::cli {

namespace {

volatile sig_atomic_t g_signal = 0;
int g_wake[2] = {-1, -1};
int g_reload[2] = {-1, -1};

void on_reload_signal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(g_reload[1], &byte, 1);
    errno = saved;
}

void on_stop_signal(int sig) {
    if (g_signal != 0) {
        // Asked twice: the user means now.
        signal(sig, SIG_DFL);
        raise(sig);
        return;
    }
    g_signal = sig;
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(g_wake[1], &byte, 1);
    errno = saved;
}

sigset_t stop_set() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

void catch_stop_signals() {
    signal(SIGPIPE, SIG_IGN);
    if (pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) return;  // then signals keep their default
    struct sigaction sa{};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: a read or write that waits is interrupted, so that the
    // thread doing it sees the request.
    sa.sa_flags = 0;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

int stop_signal() { return g_signal; }

void request_stop() {
    if (g_wake[1] < 0) return;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(g_wake[1], &byte, 1);
}

int stop_fd() { return g_wake[0]; }

void catch_reload_signal() {
    if (pipe2(g_reload, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction sa{};
    sa.sa_handler = on_reload_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGHUP, &sa, nullptr);
}

int reload_fd() { return g_reload[0]; }

void take_reload_request() {
    char bytes[64];
    while (read(g_reload[0], bytes, sizeof bytes) > 0) {}
}

StopSignalsBlocked::StopSignalsBlocked() {
    const sigset_t set = stop_set();
    pthread_sigmask(SIG_BLOCK, &set, &old_);
}

StopSignalsBlocked::~StopSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }

}  // namespace segmorph::cli
