// Two rule sets over one message, each reporting its first failure only.
//
// The module's rules (Hl7Validator) check a parsed message: header shape,
// version, message type, presence of PID, segment names and value lengths,
// with fields numbered from the piece after the name.  Callers rely on
// exactly which messages they accept, so they stay as they are.
//
// The standard rules (validate_standard) are those of the command-line tool:
// they read the raw text of one message, number header fields as HL7 does
// (MSH-1 is the field separator itself) and accept the standard segments
// with digits in their names, so real feeds pass.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "errors.hpp"
#include "segments.hpp"

namespace segmorph {

inline constexpr std::size_t kMaxValueLength = 65536;
inline constexpr std::string_view kSupportedVersions[] = {"2.1",   "2.2", "2.3", "2.4", "2.5",
                                                          "2.5.1", "2.6", "2.7", "2.8", "2.9"};
inline constexpr std::string_view kSupportedVersionList = "2.1, 2.2, 2.3, 2.4, 2.5, 2.5.1, 2.6, 2.7, 2.8, 2.9";

// The versions the standard rules accept in strict mode, sub-versions included.
inline constexpr std::string_view kStandardVersions[] = {"2.1", "2.2", "2.3",   "2.3.1", "2.4",   "2.5",   "2.5.1",
                                                         "2.6", "2.7", "2.7.1", "2.8",   "2.8.1", "2.8.2", "2.9"};

struct Hl7Validator {
    bool strict_mode = false;
    bool validate_required_fields = false;

    Status validate_message(const std::vector<Hl7Segment>& segments) const;
    // The same rules, with the same results, read straight from the text of
    // a message whose segments are separated by "\n" (as Hl7Json stores it),
    // as they would be parsed in plain mode; nothing is allocated unless the
    // message fails.
    Status validate_message_text(std::string_view text) const;
    static Status validate_message_type(const std::vector<Hl7Field>& header_fields, bool strict);
};

// Checks the text of one message, framing already removed, against the
// standard rules, in this order:
//   1. the first segment is MSH;
//   2. MSH-2, the encoding characters, is 4 or 5 characters;
//   3. MSH-9, the message type, has a message code and a trigger event;
//   4. MSH-12, the version, is present; in strict mode its first component
//      is one of kStandardVersions;
//   5. every segment name is an upper-case ASCII letter followed by two
//      upper-case letters or digits;
//   6. no field is longer than max_field_bytes bytes, when that is not 0.
//      Real messages carry whole documents (PDFs, images) in OBX-5, so
//      there is no limit unless one is asked for.
// Lines may end in CR, LF or CRLF; blank lines are skipped and segments are
// counted from 1 without them.  Failures are ValidationFailed errors whose
// text names the segment's position and the field in HL7's numbering, e.g.
// "segment 1 (MSH): MSH-12 (version) is missing".  Any bytes are accepted;
// nothing is allocated unless the message fails.
Status validate_standard(std::string_view message, bool strict, std::size_t max_field_bytes = 0);

}  // namespace segmorph
