// The rows of the option table (option_table.hpp), and how each reads its
// value.
#include "option_table.hpp"

#include <algorithm>
#include <charconv>
#include <thread>

#include "byte_size.hpp"

namespace segmorph::cli {

namespace {

// A size in bytes, as every size option takes it: the core's reading
// (64M, 64MB, 64MiB, 128m, 1g), which the batch module's readers share.
std::optional<std::size_t> parse_size(std::string_view text) { return parse_byte_size(text); }

// A whole decimal number and nothing else.
bool parse_count(std::string_view text, std::size_t& out) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

bool parse_seconds(std::string_view text, double& out) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty() && out >= 0 && out <= 1e6;
}

std::optional<std::string> invalid(std::string_view what, std::string_view text, std::string_view choices) {
    return "invalid " + std::string(what) + " '" + std::string(text) + "' (" + std::string(choices) + ")";
}

// In the order --help lists them: what is particular to a subcommand
// first, then what several share, then help and version.
constexpr OptionDef kOptions[] = {
    // to-json
    {"", "--format", "F", kToJson, "jsonl: one object per line (default); json: one array",
     [](Options& o, std::string_view, std::string_view v) -> std::optional<std::string> {
         if (v == "jsonl") o.format = Format::Jsonl;
         else if (v == "json") o.format = Format::Json;
         else return invalid("format", v, "jsonl or json");
         return std::nullopt;
     }},
    {"", "--no-escaping", "", kToJson, "keep escape sequences as they are (escaping_enabled=False)",
     [](Options& o, std::string_view, std::string_view) -> std::optional<std::string> {
         o.escaping = false;
         return std::nullopt;
     }},
    {"", "--validate", "", kToJson, "check each message first; a message that fails is reported and left out",
     [](Options& o, std::string_view, std::string_view) -> std::optional<std::string> {
         o.validate = true;
         return std::nullopt;
     }},
    // to-hl7
    {"", "--escape", "E", kToHl7,
     "how values are escaped: minimal (default: only the delimiters, the escape character and line breaks, as "
     "senders write them), full (also spaces and tabs, as hl7_string) or none (as hl7_string_unescaped)",
     [](Options& o, std::string_view, std::string_view v) -> std::optional<std::string> {
         if (v == "minimal") o.escape = EscapeMode::Minimal;
         else if (v == "full") o.escape = EscapeMode::Full;
         else if (v == "none") o.escape = EscapeMode::None;
         else return invalid("escape", v, "minimal, full or none");
         return std::nullopt;
     }},
    {"", "--unescaped", "", kToHl7, "the same as --escape none",
     [](Options& o, std::string_view, std::string_view) -> std::optional<std::string> {
         o.escape = EscapeMode::None;
         return std::nullopt;
     }},
    {"", "--segment-end", "E", kToHl7, "cr (default, as HL7 links expect), lf or crlf",
     [](Options& o, std::string_view, std::string_view v) -> std::optional<std::string> {
         if (v == "cr") o.segment_end = SegmentEnd::Cr;
         else if (v == "lf") o.segment_end = SegmentEnd::Lf;
         else if (v == "crlf") o.segment_end = SegmentEnd::Crlf;
         else return invalid("segment end", v, "cr, lf or crlf");
         return std::nullopt;
     }},
    {"", "--mllp", "", kToHl7, "frame each message with 0x0B ... 0x1C 0x0D; batch envelope segments are then left out",
     [](Options& o, std::string_view, std::string_view) -> std::optional<std::string> {
         o.mllp = true;
         return std::nullopt;
     }},
    {"", "--max-message-bytes", "N", kToHl7,
     "a JSON line or array element that grows longer (one that never ends) stops that input with an error "
     "(default 256M; K, M, G suffixes, as 64M or 64MB)",
     [](Options& o, std::string_view, std::string_view v) -> std::optional<std::string> {
         const std::optional<std::size_t> n = parse_size(v);
         if (!n) return invalid("size", v, "bytes, 1 or more; K, M or G, as 64M or 64MB");
         o.max_message_bytes = *n;
         return std::nullopt;
     }},
    // listen
    {"", "--bind", "HOST:PORT", kListen,
     "where to listen (default 127.0.0.1:2575; port 0 picks a free one, printed on standard error)",
     [](Options& o, std::string_view name, std::string_view v) -> std::optional<std::string> {
         if (v.empty()) return "option '" + std::string(name) + "' needs a value";
         o.live.bind = v;
         return std::nullopt;
     }},
    {"", "--output", "FILE", kListen, "append the lines to FILE (default '-': standard output)",
     [](Options& o, std::string_view name, std::string_view v) -> std::optional<std::string> {
         if (v.empty()) return "option '" + std::string(name) + "' needs a value";
         o.live.output = v;
         return std::nullopt;
     }},
    {"", "--sync", "", kListen, "fsync the output before each acknowledgement",
     [](Options& o, std::string_view, std::string_view) -> std::optional<std::string> {
         o.live.sync = true;
         return std::nullopt;
     }},
    {"", "--max-message-bytes", "N", kListen,
     "a larger message gets AR as soon as it passes N bytes, the rest of it is dropped as it comes, and the "
     "connection goes on (default 16M; K, M, G suffixes, at most 1G)",
     [](Options& o, std::string_view, std::string_view v) -> std::optional<std::string> {
         const std::optional<std::size_t> n = parse_size(v);
         if (!n || *n > (std::size_t(1) << 30)) return invalid("size", v, "1 byte to 1G; K, M or G, as 64M or 64MB");
         o.live.max_message_bytes = *n;
         return std::nullopt;
     }},
    {"", "--idle-timeout", "S", kListen, "close a connection with no message for S seconds (default 300; 0: never)",
     [](Options& o, std::string_view name, std::string_view v) -> std::optional<std::string> {
         if (!parse_seconds(v, o.live.idle_timeout))
             return "option '" + std::string(name) + "' needs a number of seconds";
         return std::nullopt;
     }},
    {"", "--frame-timeout", "S", kListen,
     "close a connection whose message (or TLS handshake) has not ended S seconds after it began (default 10; 0: "
     "never)",
     [](Options& o, std::string_view name, std::string_view v) -> std::optional<std::string> {
         if (!parse_seconds(v, o.live.frame_timeout))
             return "option '" + std::string(name) + "' needs a number of seconds";
         return std::nullopt;
     }},
    {"", "--max-connections", "N", kListen,
     "at N connections, close the one idle the longest to admit a new one, or refuse the new one when none is idle "
     "(default 10000)",
     [](Options& o, std::string_view name, std::string_view v) -> std::optional<std::string> {
         std::size_t n = 0;
         if (!parse_count(v, n) || n == 0 || n > (std::size_t(1) << 30))
             return "option '" + std::string(name) + "' needs a number from 1 to 1073741824";
         o.live.max_connections = static_cast<unsigned>(std::min<std::size_t>(n, 100000));
         return std::nullopt;
     }},
    {"", "--allow", "CIDR", kListen,
     "take connections only from this network (127.0.0.1/32, 10.0.0.0/8, ::1; repeatable); others are closed at once",
     [](Options& o, std::string_view name, std::string_view v) -> std::optional<std::string> {
         if (v.empty()) return "option '" + std::string(name) + "' needs a value";
         o.live.allow.emplace_back(v);
         return std::nullopt;
     }},
    {"", "--tls-cert", "FILE", kListen | kSend,
     "MLLP over TLS: our certificate chain (PEM; listen: required for TLS, read again on SIGHUP; send: for a "
     "receiver that asks for one)",
     [](Options& o, std::string_view name, std::string_view v) -> std::optional<std::string> {
         if (v.empty()) return "option '" + std::string(name) + "' needs a file";
         o.live.tls_cert = v;
         o.live.tls = true;
         return std::nullopt;
     }},
    {"", "--tls-key", "FILE", kListen | kSend, "the private key of --tls-cert (PEM)",
     [](Options& o, std::string_view name, std::string_view v) -> std::optional<std::string> {
         if (v.empty()) return "option '" + std::string(name) + "' needs a file";
         o.live.tls_key = v;
         o.live.tls = true;
         return std::nullopt;
     }},
    {"", "--tls-client-ca", "FILE", kListen, "require client certificates, signed by these CAs (PEM)",
     [](Options& o, std::string_view name, std::string_view v) -> std::optional<std::string> {
         if (v.empty()) return "option '" + std::string(name) + "' needs a file";
         o.live.tls_ca = v;
         return std::nullopt;
     }},
    {"", "--metrics", "HOST:PORT", kListen, "serve counters as Prometheus text at http://HOST:PORT/metrics",
     [](Options& o, std::string_view name, std::string_view v) -> std::optional<std::string> {
         if (v.empty()) return "option '" + std::string(name) + "' needs a value";
         o.live.metrics = v;
         return std::nullopt;
     }},
    {"", "--log-format", "F", kListen,
     "text (default) or json: one JSON object per event on standard error, connections and messages included",
     [](Options& o, std::string_view, std::string_view v) -> std::optional<std::string> {
         if (v != "text" && v != "json") return invalid("log format", v, "text or json");
         o.live.log_json = v == "json";
         return std::nullopt;
     }},
    // send
    {"", "--timeout", "S", kSend, "seconds to wait for each acknowledgement (default 30)",
     [](Options& o, std::string_view name, std::string_view v) -> std::optional<std::string> {
         double s = 0;
         if (!parse_seconds(v, s) || s == 0) return "option '" + std::string(name) + "' needs a number of seconds";
         o.live.timeout = s;
         return std::nullopt;
     }},
    {"", "--retries", "N", kSend,
     "after a timeout or a dropped connection, reconnect and send the message again up to N times (default 3)",
     [](Options& o, std::string_view, std::string_view v) -> std::optional<std::string> {
         std::size_t n = 0;
         if (!parse_count(v, n) || n > 1000) return "option '--retries' needs a number from 0 to 1000";
         o.live.retries = static_cast<unsigned>(n);
         return std::nullopt;
     }},
    {"", "--tls", "", kSend,
     "MLLP over TLS (1.2 or 1.3), the receiver's certificate and name verified, against the system's CAs unless "
     "--tls-ca",
     [](Options& o, std::string_view, std::string_view) -> std::optional<std::string> {
         o.live.tls = true;
         return std::nullopt;
     }},
    {"", "--tls-ca", "FILE", kSend, "trust these CAs (PEM) for the receiver's certificate",
     [](Options& o, std::string_view name, std::string_view v) -> std::optional<std::string> {
         if (v.empty()) return "option '" + std::string(name) + "' needs a file";
         o.live.tls_ca = v;
         o.live.tls = true;
         return std::nullopt;
     }},
    {"", "--tls-server-name", "NAME", kSend, "the name the receiver's certificate must hold (default: the host)",
     [](Options& o, std::string_view name, std::string_view v) -> std::optional<std::string> {
         if (v.empty()) return "option '" + std::string(name) + "' needs a value";
         o.live.tls_server_name = v;
         o.live.tls = true;
         return std::nullopt;
     }},
    // checking messages
    {"", "--rules", "R", kChecked,
     "standard (default): HL7's own rules, which real feeds pass: the first segment is MSH, MSH-2 has 4 or 5 "
     "characters, MSH-9 has a code and a trigger event, MSH-12 is present, segment names are like PID, PV1 or ZPI; "
     "seed: the module's rules, exactly as Hl7Json(..., validation_enabled=True) applies them; none (listen only): "
     "no checks",
     [](Options& o, std::string_view, std::string_view v) -> std::optional<std::string> {
         const bool listen = o.command == Command::Listen;
         if (v == "standard") o.rules.set = RuleSet::Standard;
         else if (v == "seed") o.rules.set = RuleSet::Seed;
         else if (listen && v == "none") o.validate = false;
         else return invalid("rules", v, listen ? "standard, seed or none" : "standard or seed");
         return std::nullopt;
     }},
    {"", "--strict", "", kChecked,
     "strict rules (standard: MSH-12 a known version; seed: version and message type); for to-json, implies "
     "--validate",
     [](Options& o, std::string_view, std::string_view) -> std::optional<std::string> {
         o.rules.strict = true;
         o.validate = true;
         return std::nullopt;
     }},
    {"", "--encoding", "E", kChecked,
     "auto (default): UTF-8 when the message is valid UTF-8, else the character set MSH-18 declares (8859/1, "
     "ASCII, UNICODE UTF-8...); utf-8, latin-1 or cp1252: read every message so.  Output is always UTF-8",
     [](Options& o, std::string_view, std::string_view v) -> std::optional<std::string> {
         const std::optional<Encoding> e = encoding_named(v);
         if (!e) return invalid("encoding", v, "auto, utf-8, latin-1 or cp1252");
         o.encoding = *e;
         return std::nullopt;
     }},
    {"", "--max-field-bytes", "N", kChecked,
     "standard rules: refuse fields longer than N bytes (default: no limit; K, M, G suffixes)",
     [](Options& o, std::string_view, std::string_view v) -> std::optional<std::string> {
         const std::optional<std::size_t> n = parse_size(v);
         if (!n) return invalid("size", v, "bytes, 1 or more; K, M or G, as 64K or 64KB");
         o.rules.max_field_bytes = *n;
         return std::nullopt;
     }},
    // reading HL7 files
    {"", "--max-message-bytes", "N", kHl7Files,
     "a longer message (or one that never ends) is reported and skipped (default 256M; K, M, G suffixes, as 64M or "
     "64MB)",
     [](Options& o, std::string_view, std::string_view v) -> std::optional<std::string> {
         const std::optional<std::size_t> n = parse_size(v);
         if (!n) return invalid("size", v, "bytes, 1 or more; K, M or G, as 64M or 64MB");
         o.max_message_bytes = *n;
         return std::nullopt;
     }},
    {"", "--accept-truncated", "", kHl7Files,
     "a last MLLP block cut off before 0x1C is not a failure (it is converted, or sent, either way)",
     [](Options& o, std::string_view, std::string_view) -> std::optional<std::string> {
         o.accept_truncated = true;
         return std::nullopt;
     }},
    // reading files
    {"-j", "--jobs", "N", kToJson | kToHl7 | kValidate,
     "convert on N threads (0: one per processor; default 1; at most two per processor); output stays in input "
     "order",
     [](Options& o, std::string_view, std::string_view v) -> std::optional<std::string> {
         std::size_t n = 0;
         if (!parse_count(v, n) || n > 1024) return invalid("number of jobs", v, "0 to 1024");
         o.jobs = n == 0 ? std::max(1u, std::thread::hardware_concurrency()) : static_cast<unsigned>(n);
         return std::nullopt;
     }},
    {"-q", "--quiet", "", kFiles,
     "no progress line (shown on a terminal when the output goes elsewhere) and no closing counts of failures and "
     "skipped files",
     [](Options& o, std::string_view, std::string_view) -> std::optional<std::string> {
         o.quiet = true;
         return std::nullopt;
     }},
    {"", "--fail-fast", "", kFiles, "stop at the first message that fails (for send: that is not accepted)",
     [](Options& o, std::string_view, std::string_view) -> std::optional<std::string> {
         o.fail_fast = true;
         return std::nullopt;
     }},
    {"", "--glob", "PATTERN", kFiles,
     "in directories, read the files whose names match PATTERN (repeatable; a pattern with \"/\" matches the path "
     "below the directory) instead of choosing them by content",
     [](Options& o, std::string_view, std::string_view v) -> std::optional<std::string> {
         if (v.empty()) return "option '--glob' needs a pattern";
         o.globs.emplace_back(v);
         return std::nullopt;
     }},
    {"", "--hidden", "", kFiles, "also read hidden files and folders (names with a leading .)",
     [](Options& o, std::string_view, std::string_view) -> std::optional<std::string> {
         o.hidden = true;
         return std::nullopt;
     }},
    {"-v", "--verbose", "", kFiles, "name each file of a directory that was skipped",
     [](Options& o, std::string_view, std::string_view) -> std::optional<std::string> {
         o.verbose = true;
         return std::nullopt;
     }},
    {"-h", "--help", "", kAll, "show this help", nullptr, Action::Help},
    {"-V", "--version", "", kAll, "show the version", nullptr, Action::Version},
};

// A name may be in several rows (--max-message-bytes means one thing to
// HL7 input, another to to-hl7 and listen), but a subcommand sees only one.
constexpr bool rows_are_unambiguous() {
    const std::span<const OptionDef> rows(kOptions);
    for (std::size_t a = 0; a < rows.size(); ++a) {
        if (rows[a].long_name.empty() || (rows[a].action == Action::Set) == (rows[a].set == nullptr)) return false;
        for (std::size_t b = a + 1; b < rows.size(); ++b) {
            const bool same_name = rows[a].long_name == rows[b].long_name ||
                                   (!rows[a].short_name.empty() && rows[a].short_name == rows[b].short_name);
            if (same_name && (rows[a].commands & rows[b].commands) != 0) return false;
        }
    }
    return true;
}
static_assert(rows_are_unambiguous(), "an option name is defined twice for one subcommand");

}  // namespace

std::span<const OptionDef> option_table() { return kOptions; }

const OptionDef* find_option(std::string_view name, Command command) {
    for (const OptionDef& def : kOptions)
        if ((def.commands & bit(command)) != 0 &&
            (name == def.long_name || (!def.short_name.empty() && name == def.short_name)))
            return &def;
    return nullptr;
}

}  // namespace segmorph::cli
