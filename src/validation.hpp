// Ordered checks on a parsed message: header shape, version, message type,
// presence of PID, segment names and value lengths.  First failure wins.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "errors.hpp"
#include "segments.hpp"

namespace segmorph {

inline constexpr std::size_t kMaxValueLength = 65536;
inline constexpr std::string_view kSupportedVersions[] = {"2.1", "2.2", "2.3", "2.4", "2.5",
                                                          "2.5.1", "2.6", "2.7", "2.8", "2.9"};
inline constexpr std::string_view kSupportedVersionList = "2.1, 2.2, 2.3, 2.4, 2.5, 2.5.1, 2.6, 2.7, 2.8, 2.9";

struct Hl7Validator {
    bool strict_mode = false;
    bool validate_required_fields = false;

    Status validate_message(const std::vector<Hl7Segment>& segments) const;
    static Status validate_message_type(const std::vector<Hl7Field>& header_fields, bool strict);
};

}  // namespace segmorph
