// Stopping a run cleanly on SIGINT or SIGTERM.
//
// The first signal only asks the run to stop: the handler notes it and
// makes stop_fd() readable, so that a thread waiting in poll() for input or
// for room to write wakes up, and the output can end on a whole line.  A
// second signal ends the process at once, by the signal itself.
#pragma once

#include <signal.h>

namespace segmorph::cli {

// Installs the handlers (and ignores SIGPIPE, so that a closed output shows
// up as EPIPE from write() rather than killing the process mid-line).
// Call once, before any thread starts.
void catch_stop_signals();

// The signal that asked the run to stop, or 0.
int stop_signal();

// Makes stop_fd() readable as a first signal would, without naming a
// signal: for a run that must end for a reason of its own (the listener,
// when its output fails).
void request_stop();

// A descriptor that becomes readable, for good, once a stop was asked for;
// -1 when the handlers are not installed.
int stop_fd();

// SIGHUP asks a listener to read its certificate files again: once this
// is called, it makes reload_fd() readable (and no longer ends the
// process); take_reload_request() empties it.
void catch_reload_signal();
int reload_fd();
void take_reload_request();

// Keeps the stop signals away from the calling thread while it lives, so
// that they reach the thread that reads and writes (and interrupt its
// blocking calls) rather than a worker.  Threads started meanwhile inherit
// the mask.
class StopSignalsBlocked {
public:
    StopSignalsBlocked();
    ~StopSignalsBlocked();
    StopSignalsBlocked(const StopSignalsBlocked&) = delete;
    StopSignalsBlocked& operator=(const StopSignalsBlocked&) = delete;

private:
    sigset_t old_;
};

}  // namespace segmorph::cli
