#include "rules.hpp"

#include "delimiters.hpp"
#include "hl7_json.hpp"
#include "lines.hpp"
#include "validation.hpp"

namespace segmorph {

Status check_message(std::string_view text, const Rules& rules, Purpose purpose) {
    switch (rules.set) {
        case RuleSet::Standard:
            // These rules read the delimiters the message declares.
            return validate_standard(text, rules.strict, rules.max_field_bytes);
        case RuleSet::Seed: {
            // The module's own entry points, so that the command and the
            // classes can never disagree on a verdict; they know only the
            // usual delimiters and count every line, so they are given the
            // message as the command reads it: standard delimiters, no
            // blank lines.
            Result<MessageText> standard = with_standard_delimiters(text);
            if (!standard) return standard.error();
            const MessageText lines = without_blank_lines(standard.value().view());
            const Hl7Json message(lines.view(), /*validation_enabled=*/true, rules.strict,
                                  /*escaping_enabled=*/false);
            return purpose == Purpose::Validate ? message.validate(std::nullopt, std::nullopt)
                                                : message.validate_for_conversion();
        }
    }
    return std::nullopt;
}

}  // namespace segmorph
