// The command line read with the option table: each subcommand's --help
// made from its rows, combined short options taken apart, and the
// arguments parsed into Options.
#include "args.hpp"

#include <unistd.h>
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>

#include "option_table.hpp"

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

// ------------------------------------------------------------ help

// Option lines as Unix tools print them: names from column 2 (column 6
// without a short name), the help text from kHelpColumn wrapped to 79
// columns, on a line of its own when the names reach that far.
constexpr std::size_t kHelpColumn = 24;
constexpr std::size_t kHelpWidth = 79;

void append_option_help(std::string& out, const OptionDef& def) {
    const std::size_t start = out.size();
    if (def.short_name.empty()) {
        out += "      ";
    } else {
        out.append("  ").append(def.short_name).append(", ");
    }
    out += def.long_name;
    if (!def.value.empty()) out.append(" ").append(def.value);
    if (out.size() - start + 2 > kHelpColumn) out.append("\n").append(kHelpColumn, ' ');
    else out.append(kHelpColumn - (out.size() - start), ' ');
    // Words go on while they fit; the two spaces after a sentence stay two
    // unless the line breaks there.
    std::size_t column = kHelpColumn, gap = 0;
    std::string_view rest = def.help;
    while (!rest.empty()) {
        const std::string_view word = rest.substr(0, rest.find(' '));
        rest.remove_prefix(word.size());
        if (gap > 0 && column + gap + word.size() > kHelpWidth) {
            out.append("\n").append(kHelpColumn, ' ');
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
    for (const OptionDef& def : option_table())
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
            if (def->value.empty() && has_inline) return usage("option '" + std::string(name) + "' takes no value");
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
        return std::any_of(option_table().begin(), option_table().end(), [c](const OptionDef& def) {
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
