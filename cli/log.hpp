// The listener's log on standard error: one line per event, as text
// ("segmorph: PEER: what happened") or, with --log-format json, as one JSON
// object per line for a log collector:
//   {"time":"2026-01-02T03:04:05.678Z","event":"closed","peer":"10.0.0.1:4000","message":"..."}
// Every text goes through quote_input, so nothing a peer sent can steer a
// terminal or break a line.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace segmorph::cli {

enum class LogFormat { Text, Json };

// Chosen once, before any thread logs.
void set_log_format(LogFormat format);
LogFormat log_format();

// Extra members of a JSON event (ignored in text form).
using LogFields = std::initializer_list<std::pair<std::string_view, std::string_view>>;

// Logs event `name` about `peer` (may be empty).  `routine` events
// (connections opened and closed, messages accepted) are only written in
// JSON form, where a collector wants them; in text form they would drown
// what needs attention.
void log_event(std::string_view name, std::string_view peer, std::string_view text, LogFields fields = {},
               bool routine = false);

}  // namespace segmorph::cli
