// Which validation a message goes through.  The command reaches the rules
// only through check_message, so that another rule set is one more case
// here and one more option value in args.cpp.
#pragma once

#include <string_view>

#include "errors.hpp"

namespace segmorph::cli {

enum class RuleSet { Seed };

struct Rules {
    RuleSet set = RuleSet::Seed;
    bool strict = false;
};

enum class Purpose {
    Validate,  // the validate subcommand: every rule, as Hl7Json.validate(None, None)
    Convert,   // before a conversion: as Hl7Json(..., validation_enabled=True).hl7_json
};

// Checks one message (its raw text, any line breaks).  Nothing or the first
// failing rule's error.
Status check_message(std::string_view text, const Rules& rules, Purpose purpose);

}  // namespace segmorph::cli
