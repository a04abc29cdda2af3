// The command line: subcommands, options and their help texts.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "escape.hpp"
#include "rules.hpp"

namespace segmorph::cli {

enum class Command { ToJson, ToHl7, Validate };
enum class Format { Jsonl, Json };
enum class SegmentEnd { Cr, Lf, Crlf };

struct Options {
    Command command = Command::ToJson;
    // Files and directories in the order given; empty means standard input,
    // and "-" names it explicitly.
    std::vector<std::string> paths;

    // to-json
    Format format = Format::Jsonl;
    bool escaping = true;
    bool validate = false;
    // to-json and validate
    Rules rules;
    // to-hl7
    EscapeMode escape = EscapeMode::Minimal;
    SegmentEnd segment_end = SegmentEnd::Cr;
    bool mllp = false;

    // every subcommand
    unsigned jobs = 1;
    bool quiet = false;
    bool fail_fast = false;
};

// What to do instead of a run: print `text` (help or version on standard
// output with status 0, a usage error on standard error with status 2).
struct EarlyExit {
    int status;
    std::string text;
};

std::variant<Options, EarlyExit> parse_args(int argc, char** argv);

}  // namespace segmorph::cli
