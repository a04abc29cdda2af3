#include "args.hpp"

#include <charconv>
#include <string_view>
#include <thread>
#include <unistd.h>

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
    "  -j, --jobs N    convert on N threads (0: one per processor; default 1);\n"
    "                  output stays in input order\n"
    "  -q, --quiet     no progress line (shown on a terminal when the output\n"
    "                  goes elsewhere) and no closing count of failures\n"
    "      --fail-fast stop at the first message that fails\n"
    "  -h, --help      show this help\n";

constexpr std::string_view kToJsonHelp =
    "usage: segmorph to-json [options] [PATH ...]\n"
    "\n"
    "Converts HL7 messages to their records, exactly as Hl7Json(...).hl7_json\n"
    "gives them.  Directories are searched for *.hl7 and *.txt files.\n"
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
    "records).  Directories are searched for *.json, *.jsonl and *.ndjson files.\n"
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
    "                        envelope segments are then left out\n";

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
    "                  is present, segment names are like PID, PV1 or ZPI, no\n"
    "                  field over 65536 bytes (default); seed: the module's\n"
    "                  rules, exactly as Hl7Json(...).validate(None, None)\n"
    "      --strict    strict rules (standard: MSH-12 a known version; seed:\n"
    "                  version and message type)\n";

struct Parser {
    Options opts;
    std::string_view command_name;
    int argc;
    char** argv;
    int i = 2;

    EarlyExit usage(const std::string& what) const {
        return {2, "segmorph: " + what + "\nTry 'segmorph " + std::string(command_name) + " --help'.\n"};
    }

    std::string help() const {
        std::string_view head = opts.command == Command::ToJson  ? kToJsonHelp
                                : opts.command == Command::ToHl7 ? kToHl7Help
                                                                 : kValidateHelp;
        return std::string(head) + std::string(kCommonHelp);
    }

    // The value of an option given as "--name=value", "--name value" or,
    // for a short option, "-jN" / "-j N".  Null when it is missing.
    // (An inline value is the tail of an argv string, so it ends in NUL.)
    const char* value_of(std::string_view inline_value, bool has_inline) {
        if (has_inline) return inline_value.data();
        if (i + 1 >= argc) return nullptr;
        return argv[++i];
    }

    std::variant<Options, EarlyExit> run() {
        bool options_done = false;
        for (; i < argc; ++i) {
            const std::string_view arg = argv[i];
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
            auto flag = [&](bool& target, bool value) -> std::optional<EarlyExit> {
                if (has_inline) return usage("option '" + std::string(name) + "' takes no value");
                target = value;
                return std::nullopt;
            };
            std::optional<EarlyExit> err;
            if (name == "-h" || name == "--help") {
                if (has_inline) return usage("option '" + std::string(name) + "' takes no value");
                return EarlyExit{0, help()};
            } else if (name == "-q" || name == "--quiet") {
                err = flag(opts.quiet, true);
            } else if (name == "--fail-fast") {
                err = flag(opts.fail_fast, true);
            } else if (name == "-j" || name == "--jobs") {
                const char* v = value_of(inline_value, has_inline);
                if (v == nullptr) return usage("option '" + std::string(name) + "' needs a number");
                const std::string_view text = v;
                unsigned n = 0;
                const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
                if (ec != std::errc() || end != text.data() + text.size() || text.empty() || n > 1024)
                    return usage("invalid number of jobs '" + std::string(text) + "' (0 to 1024)");
                opts.jobs = n == 0 ? std::max(1u, std::thread::hardware_concurrency()) : n;
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
            } else if ((to_json || opts.command == Command::Validate) && name == "--strict") {
                err = flag(opts.rules.strict, true);
                opts.validate = true;
            } else if ((to_json || opts.command == Command::Validate) && name == "--rules") {
                const char* v = value_of(inline_value, has_inline);
                const std::string_view text = v ? v : "";
                if (text == "standard") opts.rules.set = RuleSet::Standard;
                else if (text == "seed") opts.rules.set = RuleSet::Seed;
                else return usage("invalid rules '" + std::string(text) + "' (standard or seed)");
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
        // Someone trying the command out would otherwise wait on a silent
        // terminal; "-" still reads one.
        if (opts.paths.empty() && isatty(STDIN_FILENO))
            return usage("no input: give a PATH, pipe data in, or '-' to read the terminal");
        return opts;
    }
};

}  // namespace

std::variant<Options, EarlyExit> parse_args(int argc, char** argv) {
    const std::string_view first = argc > 1 ? argv[1] : "";
    if (first == "-h" || first == "--help") return EarlyExit{0, std::string(kMainHelp)};
    if (first == "-V" || first == "--version") return EarlyExit{0, "segmorph " SEGMORPH_VERSION "\n"};
    Parser p{{}, first, argc, argv};
    if (first == "to-json") {
        p.opts.command = Command::ToJson;
    } else if (first == "to-hl7") {
        p.opts.command = Command::ToHl7;
    } else if (first == "validate") {
        p.opts.command = Command::Validate;
    } else {
        const std::string what = first.empty() ? "missing command" : "unknown command '" + std::string(first) + "'";
        return EarlyExit{2, "segmorph: " + what + " (to-json, to-hl7 or validate)\nTry 'segmorph --help'.\n"};
    }
    return p.run();
}

}  // namespace segmorph::cli
