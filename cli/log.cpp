#include "log.hpp"

#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "errors.hpp"
#include "output.hpp"

namespace segmorph::cli {

namespace {

LogFormat g_format = LogFormat::Text;

// A JSON string of printable text (quote_input has already made it so).
void append_json(std::string& out, std::string_view text) {
    out.push_back('"');
    for (const char c : quote_input(text, SIZE_MAX)) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
}

std::string utc_now() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    gmtime_r(&t, &tm);
    // Room for any int in every field, so the text can never be cut short.
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
    return text;
}

}  // namespace

void set_log_format(LogFormat format) { g_format = format; }
LogFormat log_format() { return g_format; }

void log_event(std::string_view name, std::string_view peer, std::string_view text, LogFields fields, bool routine) {
    if (g_format == LogFormat::Text) {
        if (routine) return;
        print_error(peer.empty() ? std::string(text) : std::string(peer) + ": " + std::string(text));
        return;
    }
    std::string line = "{\"time\":\"" + utc_now() + "\",\"event\":";
    append_json(line, name);
    if (!peer.empty()) {
        line += ",\"peer\":";
        append_json(line, peer);
    }
    for (const auto& [key, value] : fields) {
        line += ',';
        append_json(line, key);
        line += ':';
        append_json(line, value);
    }
    line += ",\"message\":";
    append_json(line, text);
    line += "}\n";
    // One write per event: lines of different threads never mix.
    std::string_view rest = line;
    while (!rest.empty()) {
        const ssize_t n = ::write(STDERR_FILENO, rest.data(), rest.size());
        if (n <= 0) return;
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace segmorph::cli
