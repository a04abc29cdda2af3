// Which validation a message goes through.  The command and the companion
// modules reach the rules only through check_message: "standard" (HL7's own
// numbering, the message's own separators, segment names such as PV1) is
// what real feeds pass, and "seed" is exactly what the module's Hl7Json
// gives.
#pragma once

#include <cstddef>
#include <string_view>

#include "errors.hpp"

namespace segmorph {

enum class RuleSet { Standard, Seed };

struct Rules {
    RuleSet set = RuleSet::Standard;
    bool strict = false;
    // The standard rules' limit on a field's length in bytes; 0, the
    // default, for none.  The seed rules keep their own fixed limit.
    std::size_t max_field_bytes = 0;
};

enum class Purpose {
    // The two purposes differ only for the seed rules, whose PID rule
    // applies to validate() and never to a conversion.
    Validate,  // the validate subcommand: seed as Hl7Json.validate(None, None)
    Convert,   // before a conversion: seed as Hl7Json(..., validation_enabled=True).hl7_json
};

// Checks one message (its raw text, any line breaks).  Nothing or the first
// failing rule's error.
Status check_message(std::string_view text, const Rules& rules, Purpose purpose);

}  // namespace segmorph
