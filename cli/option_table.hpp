// The command's options, one row each: its names, the subcommands that take
// it, its help line and how it sets Options.  Parsing, each subcommand's
// --help and the splitting of "-qj2" (args_parse.cpp) all read this one
// table, so a subcommand accepts exactly the options its help lists.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "args.hpp"

namespace segmorph::cli {

// The subcommands, as bits, for the rows' sets.
inline constexpr unsigned kToJson = 1, kToHl7 = 2, kValidate = 4, kListen = 8, kSend = 16;
inline constexpr unsigned kAll = kToJson | kToHl7 | kValidate | kListen | kSend;
// Reading HL7 from files and standard input.
inline constexpr unsigned kHl7Files = kToJson | kValidate | kSend;
// Reading any files: their choice in directories, progress and counts.
inline constexpr unsigned kFiles = kHl7Files | kToHl7;
// Checking messages against rules as they are read.
inline constexpr unsigned kChecked = kToJson | kValidate | kListen;

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

// Every row, in the order --help lists them.
std::span<const OptionDef> option_table();

// The row of option `name` ("-j" or "--jobs") for `command`, or null.
const OptionDef* find_option(std::string_view name, Command command);

}  // namespace segmorph::cli
