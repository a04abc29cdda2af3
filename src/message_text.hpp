// The text of one message after a step that usually leaves it as it is
// (declared delimiters, character sets): a view of the input when nothing
// had to change, an owned copy when something did.  Most messages are
// already in the common form, so they cost neither a copy nor an allocation.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace segmorph {

class MessageText {
public:
    explicit MessageText(std::string_view unchanged) : view_(unchanged) {}
    explicit MessageText(std::string rewritten) : owned_(std::move(rewritten)) {}

    // Valid as long as this object and, when unchanged, the input it views.
    std::string_view view() const { return owned_ ? std::string_view(*owned_) : view_; }
    bool changed() const { return owned_.has_value(); }

private:
    std::string_view view_;
    std::optional<std::string> owned_;
};

}  // namespace segmorph
