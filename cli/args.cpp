#include "args.hpp"

#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>
#include <thread>
#include <unistd.h>

#include "byte_size.hpp"

#ifndef SEGMORPH_VERSION
#define SEGMORPH_VERSION "unknown"
#endif

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

constexpr std::string_view kCommonHelp =
    "  -j, --jobs N    convert on N threads (0: one per processor; default 1;\n"
    "                  at most two per processor); output stays in input order\n"
    "  -q, --quiet     no progress line (shown on a terminal when the output\n"
    "                  goes elsewhere) and no closing counts of failures and\n"
    "                  skipped files\n"
    "      --fail-fast stop at the first message that fails\n"
    "      --glob PATTERN\n"
    "                  in directories, read the files whose names match PATTERN\n"
    "                  (repeatable; a pattern with \"/\" matches the path below\n"
    "                  the directory) instead of choosing them by content\n"
    "      --hidden    also read hidden files and folders (names with a leading .)\n"
    "  -v, --verbose   name each file of a directory that was skipped\n"
    "  -h, --help      show this help\n"
    "  -V, --version   show the version\n";

// Reading HL7 input (to-json, validate and send).
constexpr std::string_view kHl7InputHelp =
    "      --max-message-bytes N\n"
    "                  a longer message (or one that never ends) is reported\n"
    "                  and skipped (default 256M; K, M, G suffixes, as 64M or 64MB)\n"
    "      --accept-truncated\n"
    "                  a last MLLP block cut off before 0x1C is not a failure\n"
    "                  (it is converted, or sent, either way)\n";

constexpr std::string_view kEncodingHelp =
    "      --encoding E\n"
    "                  auto (default): UTF-8 when the message is valid UTF-8,\n"
    "                  else the character set MSH-18 declares (8859/1, ASCII,\n"
    "                  UNICODE UTF-8...); utf-8, latin-1 or cp1252: read every\n"
    "                  message so.  Output is always UTF-8\n"
    "      --max-field-bytes N\n"
    "                  standard rules: refuse fields longer than N bytes\n"
    "                  (default: no limit)\n";

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
    "in its place between the messages.\n"
    "\n"
    "options:\n"
    "      --format F  jsonl: one object per line (default); json: one array\n"
    "      --no-escaping\n"
    "                  keep escape sequences as they are (escaping_enabled=False)\n"
    "      --validate  check each message first; a message that fails is\n"
    "                  reported and left out\n"
    "      --rules R   standard: HL7's own rules, which real feeds pass\n"
    "                  (default); seed: the module's rules, exactly as\n"
    "                  Hl7Json(..., validation_enabled=True) applies them\n"
    "      --strict    strict validation (known versions only); implies\n"
    "                  --validate\n";

constexpr std::string_view kToHl7Help =
    "usage: segmorph to-hl7 [options] [PATH ...]\n"
    "\n"
    "Assembles HL7 messages from records, as JsonHl7(...).hl7_string does\n"
    "(but for escaping: see --escape).\n"
    "Input is a JSON array of records (one message), an array of the objects\n"
    "to-json writes, or JSON Lines of them (a line may also be a bare array of\n"
    "records).  In directories, the files that start with \"[\" or \"{\" are read.\n"
    "Every segment, the last included, ends with the segment end.\n"
    "\n"
    "options:\n"
    "      --escape E        how values are escaped: minimal (default: only the\n"
    "                        delimiters, the escape character and line breaks,\n"
    "                        as senders write them), full (also spaces and tabs,\n"
    "                        as hl7_string) or none (as hl7_string_unescaped)\n"
    "      --unescaped       the same as --escape none\n"
    "      --segment-end E   cr (default, as HL7 links expect), lf or crlf\n"
    "      --mllp            frame each message with 0x0B ... 0x1C 0x0D; batch\n"
    "                        envelope segments are then left out\n"
    "      --max-message-bytes N\n"
    "                        a JSON line or array element that grows longer\n"
    "                        (one that never ends) stops that input with an\n"
    "                        error (default 256M; K, M, G suffixes, as 64M or 64MB)\n";

constexpr std::string_view kValidateHelp =
    "usage: segmorph validate [options] [PATH ...]\n"
    "\n"
    "Checks each message and prints one line per message: \"PATH:N: ok\" or\n"
    "\"PATH:N: \" and the first failing rule.  Exit status 1 when any message\n"
    "fails.\n"
    "\n"
    "options:\n"
    "      --rules R   standard: the first segment is MSH, MSH-2 has 4 or 5\n"
    "                  characters, MSH-9 has a code and a trigger event, MSH-12\n"
    "                  is present, segment names are like PID, PV1 or ZPI\n"
    "                  (default); seed: the module's\n"
    "                  rules, exactly as Hl7Json(...).validate(None, None)\n"
    "      --strict    strict rules (standard: MSH-12 a known version; seed:\n"
    "                  version and message type)\n";

}  // namespace

EarlyExit version();

namespace {
constexpr std::string_view kListenHelp =
    "usage: segmorph listen [options]\n"
    "\n"
    "Receives HL7 messages in MLLP frames (0x0B ... 0x1C 0x0D) over TCP and\n"
    "writes each as one JSON line, the object to-json writes for it with\n"
    "\"source\" the peer's HOST:PORT and \"index\" counting the messages of that\n"
    "connection.  A message is acknowledged only once its line is written:\n"
    "AA, AE (it failed the rules: the line has an \"error\" member) or AR (not\n"
    "HL7, not UTF-8 or too large: nothing written).  SIGINT or SIGTERM finish\n"
    "the messages received, print a summary and exit 0.\n"
    "\n"
    "options:\n"
    "      --bind HOST:PORT     where to listen (default 127.0.0.1:2575; port 0\n"
    "                           picks a free one, printed on standard error)\n"
    "      --output FILE        append the lines to FILE (default '-': standard\n"
    "                           output)\n"
    "      --sync               fsync the output before each acknowledgement\n"
    "      --rules R            standard (default), seed or none\n"
    "      --strict             strict rules (known versions only)\n"
    "      --max-message-bytes N\n"
    "                           a larger message gets AR once it has ended, and\n"
    "                           the connection goes on (default 16777216)\n"
    "      --idle-timeout S     close a connection silent for S seconds\n"
    "                           (default 0: never)\n"
    "      --max-connections N  refuse connections beyond N (default 64)\n";

constexpr std::string_view kSendHelp =
    "usage: segmorph send [options] HOST:PORT [PATH ...]\n"
    "\n"
    "Sends the messages of the inputs, framed as to-json frames them, to an\n"
    "MLLP receiver, one at a time, each in an MLLP frame with its segments\n"
    "ended by carriage returns, and waits for its acknowledgement.  Every\n"
    "message that gets AE, AR or no answer is reported with its source and\n"
    "index.  Exit status 0 only when every message got AA.\n"
    "\n"
    "options:\n"
    "      --timeout S  seconds to wait for each acknowledgement (default 30)\n"
    "      --retries N  after a timeout or a dropped connection, reconnect and\n"
    "                   send the message again up to N times (default 3)\n";

// A whole decimal number and nothing else.
bool parse_count(std::string_view text, std::size_t& out) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

bool parse_seconds(std::string_view text, double& out) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty() && out >= 0 && out <= 1e6;
}

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

    std::string help() const {
        if (opts.command == Command::Listen)
            return std::string(kListenHelp) + std::string(kEncodingHelp) + "  -h, --help           show this help\n";
        if (opts.command == Command::Send)
            return std::string(kSendHelp) + std::string(kHl7InputHelp) +
                   "  -q, --quiet  no progress line (shown on a terminal) and no closing count\n"
                   "      --fail-fast  stop at the first message not accepted\n"
                   "  -h, --help   show this help\n";
        std::string_view head = opts.command == Command::ToJson  ? kToJsonHelp
                                : opts.command == Command::ToHl7 ? kToHl7Help
                                                                 : kValidateHelp;
        const std::string_view encoding = opts.command == Command::ToHl7 ? "" : kEncodingHelp;
        const std::string_view hl7_input = opts.command == Command::ToHl7 ? "" : kHl7InputHelp;
        return std::string(head) + std::string(encoding) + std::string(hl7_input) + std::string(kCommonHelp);
    }

    // The value of an option given as "--name=value", "--name value" or,
    // for a short option, "-jN" / "-j N".  Null when it is missing.
    // (An inline value is the tail of an argument, so it ends in NUL.)
    const char* value_of(std::string_view inline_value, bool has_inline) {
        if (has_inline) return inline_value.data();
        if (i + 1 >= args.size()) return nullptr;
        return args[++i].c_str();
    }

    std::variant<Options, EarlyExit> run() {
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
            const bool to_json = opts.command == Command::ToJson;
            const bool to_hl7 = opts.command == Command::ToHl7;
            const bool listen = opts.command == Command::Listen;
            const bool send = opts.command == Command::Send;
            // The value of an option of listen or send, or null (reported).
            auto live_value = [&]() -> const char* { return value_of(inline_value, has_inline); };
            auto flag = [&](bool& target, bool value) -> std::optional<EarlyExit> {
                if (has_inline) return usage("option '" + std::string(name) + "' takes no value");
                target = value;
                return std::nullopt;
            };
            std::optional<EarlyExit> err;
            if (name == "-h" || name == "--help") {
                if (has_inline) return usage("option '" + std::string(name) + "' takes no value");
                return EarlyExit{0, help()};
            } else if (name == "-V" || name == "--version") {
                if (has_inline) return usage("option '" + std::string(name) + "' takes no value");
                return version();
            } else if (name == "-v" || name == "--verbose") {
                err = flag(opts.verbose, true);
            } else if (name == "--hidden") {
                err = flag(opts.hidden, true);
            } else if (name == "--glob") {
                const char* v = value_of(inline_value, has_inline);
                if (v == nullptr || *v == '\0') return usage("option '--glob' needs a pattern");
                opts.globs.emplace_back(v);
            } else if (name == "-q" || name == "--quiet") {
                err = flag(opts.quiet, true);
            } else if (name == "--fail-fast") {
                err = flag(opts.fail_fast, true);
            } else if (name == "-j" || name == "--jobs") {
                const char* v = value_of(inline_value, has_inline);
                if (v == nullptr) return usage("option '" + std::string(name) + "' needs a number");
                const std::string_view text = v;
                std::size_t n = 0;
                if (!parse_count(text, n) || n > 1024)
                    return usage("invalid number of jobs '" + std::string(text) + "' (0 to 1024)");
                opts.jobs = n == 0 ? std::max(1u, std::thread::hardware_concurrency()) : static_cast<unsigned>(n);
            } else if (to_json && name == "--format") {
                const char* v = value_of(inline_value, has_inline);
                const std::string_view text = v ? v : "";
                if (text == "jsonl") opts.format = Format::Jsonl;
                else if (text == "json") opts.format = Format::Json;
                else return usage("invalid format '" + std::string(text) + "' (jsonl or json)");
            } else if (to_json && name == "--no-escaping") {
                err = flag(opts.escaping, false);
            } else if (to_json && name == "--validate") {
                err = flag(opts.validate, true);
            } else if (listen && (name == "--bind" || name == "--output")) {
                const char* v = live_value();
                if (v == nullptr || *v == 0) return usage("option '" + std::string(name) + "' needs a value");
                (name == "--bind" ? opts.live.bind : opts.live.output) = v;
            } else if (listen && name == "--sync") {
                err = flag(opts.live.sync, true);
            } else if (listen && (name == "--max-message-bytes" || name == "--max-connections")) {
                const char* v = live_value();
                std::size_t n = 0;
                if (v == nullptr || !parse_count(v, n) || n == 0 || n > (std::size_t(1) << 30))
                    return usage("option '" + std::string(name) + "' needs a number from 1 to 1073741824");
                if (name == "--max-message-bytes") opts.live.max_message_bytes = n;
                else opts.live.max_connections = static_cast<unsigned>(std::min<std::size_t>(n, 100000));
            } else if ((listen && name == "--idle-timeout") || (send && name == "--timeout")) {
                const char* v = live_value();
                double s = 0;
                if (v == nullptr || !parse_seconds(v, s) || (send && s == 0))
                    return usage("option '" + std::string(name) + "' needs a number of seconds");
                (send ? opts.live.timeout : opts.live.idle_timeout) = s;
            } else if (send && name == "--retries") {
                const char* v = live_value();
                std::size_t n = 0;
                if (v == nullptr || !parse_count(v, n) || n > 1000)
                    return usage("option '--retries' needs a number from 0 to 1000");
                opts.live.retries = static_cast<unsigned>(n);
            } else if ((to_json || listen || opts.command == Command::Validate) && name == "--strict") {
                err = flag(opts.rules.strict, true);
                opts.validate = true;
            } else if ((to_json || listen || opts.command == Command::Validate) && name == "--rules") {
                const char* v = value_of(inline_value, has_inline);
                const std::string_view text = v ? v : "";
                if (text == "standard") opts.rules.set = RuleSet::Standard;
                else if (text == "seed") opts.rules.set = RuleSet::Seed;
                else if (listen && text == "none") opts.validate = false;
                else return usage("invalid rules '" + std::string(text) + (listen ? "' (standard, seed or none)" : "' (standard or seed)"));
            } else if ((to_json || listen || opts.command == Command::Validate) && name == "--encoding") {
                const char* v = value_of(inline_value, has_inline);
                const std::string_view text = v ? v : "";
                const std::optional<Encoding> e = encoding_named(text);
                if (!e) return usage("invalid encoding '" + std::string(text) + "' (auto, utf-8, latin-1 or cp1252)");
                opts.encoding = *e;
            } else if ((to_json || listen || opts.command == Command::Validate) && name == "--max-field-bytes") {
                const char* v = value_of(inline_value, has_inline);
                const std::string_view text = v ? v : "";
                std::size_t n = 0;
                if (!parse_count(text, n) || n == 0)
                    return usage("invalid number of bytes '" + std::string(text) + "' (1 or more)");
                opts.rules.max_field_bytes = n;
            } else if ((to_json || send || opts.command == Command::Validate) && name == "--accept-truncated") {
                err = flag(opts.accept_truncated, true);
            } else if ((to_json || to_hl7 || send || opts.command == Command::Validate) && name == "--max-message-bytes") {
                const char* v = value_of(inline_value, has_inline);
                const std::optional<std::size_t> n = parse_byte_size(v ? v : "");
                if (!n) return usage("invalid size '" + std::string(v ? v : "") + "' (bytes, 1 or more; K, M or G, as 64M or 64MB)");
                opts.max_message_bytes = *n;
            } else if (to_hl7 && name == "--unescaped") {
                if (has_inline) return usage("option '--unescaped' takes no value");
                opts.escape = EscapeMode::None;
            } else if (to_hl7 && name == "--escape") {
                const char* v = value_of(inline_value, has_inline);
                const std::string_view text = v ? v : "";
                if (text == "minimal") opts.escape = EscapeMode::Minimal;
                else if (text == "full") opts.escape = EscapeMode::Full;
                else if (text == "none") opts.escape = EscapeMode::None;
                else return usage("invalid escape '" + std::string(text) + "' (minimal, full or none)");
            } else if (to_hl7 && name == "--mllp") {
                err = flag(opts.mllp, true);
            } else if (to_hl7 && name == "--segment-end") {
                const char* v = value_of(inline_value, has_inline);
                const std::string_view text = v ? v : "";
                if (text == "cr") opts.segment_end = SegmentEnd::Cr;
                else if (text == "lf") opts.segment_end = SegmentEnd::Lf;
                else if (text == "crlf") opts.segment_end = SegmentEnd::Crlf;
                else return usage("invalid segment end '" + std::string(text) + "' (cr, lf or crlf)");
            } else {
                return usage("unknown option '" + std::string(name) + "' for " + std::string(command_name));
            }
            if (err) return *err;
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
    constexpr std::string_view kWithValue = "j";
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
            if (kWithValue.find(arg[c]) != std::string_view::npos) {
                out.push_back("-" + std::string(arg.substr(c)));
                break;
            }
            out.push_back(std::string("-") + arg[c]);
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

EarlyExit version() { return EarlyExit{0, "segmorph " SEGMORPH_VERSION "\n"}; }

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
    return p.run();
}

}  // namespace segmorph::cli
