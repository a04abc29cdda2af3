#include "args.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <thread>
#include <unistd.h>

#include "byte_size.hpp"

#ifndef SEGMORPH_VERSION
#define SEGMORPH_VERSION "unknown"
#endif

// Every option is one row of kOptions below: its names, the subcommands that
// take it, its help line and how it sets Options.  Parsing, each
// subcommand's --help and the splitting of "-qj2" all read that table, so a
// subcommand accepts exactly the options its help lists.

namespace segmorph::cli {

namespace {

constexpr std::string_view kMainHelp =
    "usage: segmorph <command> [options] [PATH ...]\n"
    "\n"
    "Converts HL7 v2 messages to flat JSON records and back.\n"
    "\n"
    "commands:\n"
    "  to-json    HL7 in, one JSON object per message out\n"
    "  to-hl7     JSON records in, HL7 out\n"
    "  validate   one line per message: \"ok\" or the first failing rule\n"
    "  listen     receive messages over MLLP, write JSON lines, acknowledge\n"
    "  send       send messages over MLLP, one at a time, each acknowledged\n"
    "\n"
    "PATH is a file, a directory (searched recursively) or \"-\" for standard\n"
    "input, which is read when no PATH is given.  A file may hold one message,\n"
    "several, a batch (FHS/BHS ... BTS/FTS) or an MLLP capture.\n"
    "\n"
    "options:\n"
    "  -h, --help      show this help, or a command's help after the command\n"
    "  -V, --version   show the version\n"
    "\n"
    "Exit status: 0 when every message went through, 1 when a message or an\n"
    "input failed (the others are still converted), 2 for a usage error.\n";

// What each subcommand's --help says before its options.
constexpr std::string_view kToJsonHelp =
    "usage: segmorph to-json [options] [PATH ...]\n"
    "\n"
    "Converts HL7 messages to their records, exactly as Hl7Json(...).hl7_json\n"
    "gives them, read with the delimiters each message declares (MSH-1 and\n"
    "MSH-2); blank lines are left out.  In directories, the files that start\n"
    "with MSH, FHS, BHS or an MLLP block are read, whatever their names.\n"
    "\n"
    "Each message becomes {\"source\": PATH, \"index\": N, \"records\": [...]},\n"
    "N counting the messages of that input from 0.  Each batch envelope\n"
    "segment (FHS, BHS, BTS, FTS) becomes {\"source\": PATH, \"envelope\": {...}}\n"
    "in its place between the messages.\n";

constexpr std::string_view kToHl7Help =
    "usage: segmorph to-hl7 [options] [PATH ...]\n"
    "\n"
    "Assembles HL7 messages from records, as JsonHl7(...).hl7_string does\n"
    "(but for escaping: see --escape).\n"
    "Input is a JSON array of records (one message), an array of the objects\n"
    "to-json writes, or JSON Lines of them (a line may also be a bare array of\n"
    "records).  In directories, the files that start with \"[\" or \"{\" are read.\n"
    "Every segment, the last included, ends with the segment end.\n";

constexpr std::string_view kValidateHelp =
    "usage: segmorph validate [options] [PATH ...]\n"
    "\n"
    "Checks each message and prints one line per message: \"PATH:N: ok\" or\n"
    "\"PATH:N: \" and the first failing rule.  Exit status 1 when any message\n"
    "fails.\n";

constexpr std::string_view kListenHelp =
    "usage: segmorph listen [options]\n"
    "\n"
    "Receives HL7 messages in MLLP frames (0x0B ... 0x1C 0x0D) over TCP and\n"
    "writes each as one JSON line, the object to-json writes for it with\n"
    "\"source\" the peer's HOST:PORT and \"index\" counting the messages of that\n"
    "connection.  A message is acknowledged only once its line is written:\n"
    "AA, AE (it failed the rules: the line has an \"error\" member) or AR (not\n"
    "HL7, not UTF-8 or too large: nothing written).  SIGINT or SIGTERM finish\n"
    "the messages received, print a summary and exit 0.\n";

constexpr std::string_view kSendHelp =
    "usage: segmorph send [options] HOST:PORT [PATH ...]\n"
    "\n"
    "Sends the messages of the inputs, framed as to-json frames them, to an\n"
    "MLLP receiver, one at a time, each in an MLLP frame with its segments\n"
    "ended by carriage returns, and waits for its acknowledgement.  Every\n"
    "message that gets AE, AR or no answer is reported with its source and\n"
    "index.  Exit status 0 only when every message got AA.\n";

// ------------------------------------------------------------ value parsing

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

// ------------------------------------------------------------ the options

// The subcommands, as bits, for the rows' sets.
constexpr unsigned kToJson = 1, kToHl7 = 2, kValidate = 4, kListen = 8, kSend = 16;
constexpr unsigned kAll = kToJson | kToHl7 | kValidate | kListen | kSend;
// Reading HL7 from files and standard input.
constexpr unsigned kHl7Files = kToJson | kValidate | kSend;
// Reading any files: their choice in directories, progress and counts.
constexpr unsigned kFiles = kHl7Files | kToHl7;
// Checking messages against rules as they are read.
constexpr unsigned kChecked = kToJson | kValidate | kListen;

constexpr unsigned bit(Command c) {
    switch (c) {
        case Command::ToJson: return kToJson;
        case Command::ToHl7: return kToHl7;
        case Command::Validate: return kValidate;
        case Command::Listen: return kListen;
        case Command::Send: return kSend;
    }
    return 0;
}

// What an option does to the options: nothing wrong (nullopt), or the
// usage error to report.  `name` is the option as typed; a flag's value is
// empty.
using Setter = std::optional<std::string> (*)(Options&, std::string_view name, std::string_view value);

enum class Action { Set, Help, Version };

struct OptionDef {
    std::string_view short_name;  // "-j", or empty
    std::string_view long_name;   // "--jobs"
    std::string_view value;       // what --help calls its value ("N"); empty for a flag
    unsigned commands;            // the subcommands that take it
    std::string_view help;        // one paragraph, wrapped when printed
    Setter set = nullptr;
    Action action = Action::Set;
};

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
    {"", "--mllp", "", kToHl7,
     "frame each message with 0x0B ... 0x1C 0x0D; batch envelope segments are then left out",
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
         if (!parse_seconds(v, o.live.idle_timeout)) return "option '" + std::string(name) + "' needs a number of seconds";
         return std::nullopt;
     }},
    {"", "--frame-timeout", "S", kListen,
     "close a connection whose message (or TLS handshake) has not ended S seconds after it began (default 10; 0: "
     "never)",
     [](Options& o, std::string_view name, std::string_view v) -> std::optional<std::string> {
         if (!parse_seconds(v, o.live.frame_timeout)) return "option '" + std::string(name) + "' needs a number of seconds";
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
     "a longer message (or one that never ends) is reported and skipped (default 256M; K, M, G suffixes, as 64M or 64MB)",
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

const OptionDef* find_option(std::string_view name, Command command) {
    for (const OptionDef& def : kOptions)
        if ((def.commands & bit(command)) != 0 && (name == def.long_name || (!def.short_name.empty() && name == def.short_name)))
            return &def;
    return nullptr;
}

// ------------------------------------------------------------ help

// Option lines as Unix tools print them: names from column 2 (column 6
// without a short name), the help text from kHelpColumn wrapped to 79
// columns, on a line of its own when the names reach that far.
constexpr std::size_t kHelpColumn = 24;
constexpr std::size_t kHelpWidth = 79;

void append_option_help(std::string& out, const OptionDef& def) {
    const std::size_t start = out.size();
    out += def.short_name.empty() ? "      " : "  " + std::string(def.short_name) + ", ";
    out += def.long_name;
    if (!def.value.empty()) out += " " + std::string(def.value);
    if (out.size() - start + 2 > kHelpColumn) out += "\n" + std::string(kHelpColumn, ' ');
    else out.append(kHelpColumn - (out.size() - start), ' ');
    // Words go on while they fit; the two spaces after a sentence stay two
    // unless the line breaks there.
    std::size_t column = kHelpColumn, gap = 0;
    std::string_view rest = def.help;
    while (!rest.empty()) {
        const std::string_view word = rest.substr(0, rest.find(' '));
        rest.remove_prefix(word.size());
        if (gap > 0 && column + gap + word.size() > kHelpWidth) {
            out += "\n" + std::string(kHelpColumn, ' ');
            column = kHelpColumn;
        } else {
            out.append(gap, ' ');
            column += gap;
        }
        out += word;
        column += word.size();
        gap = rest.find_first_not_of(' ');
        if (gap == std::string_view::npos) break;
        rest.remove_prefix(gap);
    }
    out += '\n';
}

std::string help(Command command) {
    std::string out(command == Command::ToJson     ? kToJsonHelp
                    : command == Command::ToHl7    ? kToHl7Help
                    : command == Command::Validate ? kValidateHelp
                    : command == Command::Listen   ? kListenHelp
                                                   : kSendHelp);
    out += "\noptions:\n";
    for (const OptionDef& def : kOptions)
        if ((def.commands & bit(command)) != 0) append_option_help(out, def);
    return out;
}

EarlyExit version() { return EarlyExit{0, "segmorph " SEGMORPH_VERSION "\n"}; }

// ------------------------------------------------------------ parsing

struct Parser {
    Options opts;
    std::string_view command_name;
    const std::vector<std::string>& args;
    std::size_t i = 1;

    EarlyExit usage(const std::string& what) const {
        // The text echoes what was typed, which may hold any bytes.
        return {2, "segmorph: " + quote_input(what, SIZE_MAX) + "\nTry 'segmorph " + std::string(command_name) +
                       " --help'.\n"};
    }

    // The value of an option given as "--name=value", "--name value" or,
    // for a short option, "-jN" / "-j N".  Null when it is missing.
    // (An inline value is the tail of an argument, so it ends in NUL.)
    const char* value_of(std::string_view inline_value, bool has_inline) {
        if (has_inline) return inline_value.data();
        if (i + 1 >= args.size()) return nullptr;
        return args[++i].c_str();
    }

    std::variant<Options, EarlyExit> parse() {
        bool options_done = false;
        for (; i < args.size(); ++i) {
            const std::string_view arg = args[i];
            if (options_done || arg == "-" || !arg.starts_with("-")) {
                opts.paths.emplace_back(arg);
                continue;
            }
            if (arg == "--") {
                options_done = true;
                continue;
            }
            std::string_view name = arg, inline_value;
            bool has_inline = false;
            if (arg.starts_with("--")) {
                if (const std::size_t eq = arg.find('='); eq != std::string_view::npos) {
                    name = arg.substr(0, eq);
                    inline_value = arg.substr(eq + 1);
                    has_inline = true;
                }
            } else if (arg.size() > 2) {  // "-j4"
                name = arg.substr(0, 2);
                inline_value = arg.substr(2);
                has_inline = true;
            }
            const OptionDef* def = find_option(name, opts.command);
            if (def == nullptr)
                return usage("unknown option '" + std::string(name) + "' for " + std::string(command_name));
            if (def->value.empty() && has_inline)
                return usage("option '" + std::string(name) + "' takes no value");
            if (def->action == Action::Help) return EarlyExit{0, help(opts.command)};
            if (def->action == Action::Version) return version();
            std::string_view value;
            if (!def->value.empty()) {
                const char* v = value_of(inline_value, has_inline);
                if (v == nullptr) return usage("option '" + std::string(name) + "' needs a value");
                value = v;
            }
            if (std::optional<std::string> error = def->set(opts, name, value)) return usage(*error);
        }
        if (opts.command == Command::Listen) {
            if (!opts.paths.empty()) return usage("listen takes no PATH (its input is the network)");
            return opts;
        }
        if (opts.command == Command::Send) {
            if (opts.paths.empty()) return usage("send needs HOST:PORT");
            opts.live.target = opts.paths.front();
            opts.paths.erase(opts.paths.begin());
        }
        // Someone trying the command out would otherwise wait on a silent
        // terminal; "-" still reads one.
        if (opts.paths.empty() && isatty(STDIN_FILENO))
            return usage("no input: give a PATH, pipe data in, or '-' to read the terminal");
        return opts;
    }
};

// The arguments with combined short options taken apart, as other Unix
// tools do: "-qj2" is "-q" "-j2", and "-qv" is "-q" "-v".  A short option
// that takes a value ends the group; the rest is its value.  Nothing after
// "--" is touched.
std::vector<std::string> split_short_options(int argc, char** argv) {
    auto takes_value = [](char c) {
        return std::any_of(std::begin(kOptions), std::end(kOptions), [c](const OptionDef& def) {
            return def.short_name.size() == 2 && def.short_name[1] == c && !def.value.empty();
        });
    };
    std::vector<std::string> out;
    bool options_done = false;
    for (int k = 1; k < argc; ++k) {
        const std::string_view arg = argv[k];
        if (options_done || arg.size() <= 2 || arg[0] != '-' || arg[1] == '-') {
            options_done = options_done || arg == "--";
            out.emplace_back(arg);
            continue;
        }
        for (std::size_t c = 1; c < arg.size(); ++c) {
            std::string option = "-";
            if (takes_value(arg[c])) {
                out.push_back(option.append(arg.substr(c)));
                break;
            }
            out.push_back(option.append(1, arg[c]));
        }
    }
    return out;
}

bool asks_for(const std::vector<std::string>& args, std::string_view short_name, std::string_view long_name) {
    for (const std::string& a : args) {
        if (a == "--") return false;
        if (a == short_name || a == long_name) return true;
    }
    return false;
}

}  // namespace

std::variant<Options, EarlyExit> parse_args(int argc, char** argv) {
    const std::vector<std::string> args = split_short_options(argc, argv);
    const std::string_view first = args.empty() ? "" : std::string_view(args[0]);
    Parser p{{}, first, args};
    if (first == "to-json") {
        p.opts.command = Command::ToJson;
    } else if (first == "to-hl7") {
        p.opts.command = Command::ToHl7;
    } else if (first == "validate") {
        p.opts.command = Command::Validate;
    } else if (first == "listen") {
        p.opts.command = Command::Listen;
        p.opts.validate = true;  // standard rules unless --rules none
    } else if (first == "send") {
        p.opts.command = Command::Send;
    } else {
        // Before or without a command, --help and --version work anywhere.
        if (asks_for(args, "-V", "--version")) return version();
        if (asks_for(args, "-h", "--help")) return EarlyExit{0, std::string(kMainHelp)};
        const std::string what = first.empty() ? "missing command" : "unknown command '" + std::string(first) + "'";
        return EarlyExit{2, "segmorph: " + quote_input(what, SIZE_MAX) +
                                " (to-json, to-hl7, validate, listen or send)\nTry 'segmorph --help'.\n"};
    }
    return p.parse();
}

}  // namespace segmorph::cli
