#include "rules.hpp"

#include "hl7_json.hpp"
#include "validation.hpp"

namespace segmorph {

Status check_message(std::string_view text, const Rules& rules, Purpose purpose) {
    switch (rules.set) {
        case RuleSet::Standard:
            return validate_standard(text, rules.strict);
        case RuleSet::Seed: {
            // The module's own entry points, so that the command and the
            // classes can never disagree on a verdict.
            const Hl7Json message(text, /*validation_enabled=*/true, rules.strict, /*escaping_enabled=*/false);
            return purpose == Purpose::Validate ? message.validate(std::nullopt, std::nullopt)
                                                : message.validate_for_conversion();
        }
    }
    return std::nullopt;
}

}  // namespace segmorph
