// HL7 acknowledgements (ACK): building the answer a receiver owes every
// message, and reading the answer a sender gets back.  Plain text work, so
// that the listener, the sender and any later companion share one builder.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace segmorph {

// MSA-1 of an original-mode acknowledgement.
enum class AckCode {
    Accept,  // AA: taken and kept
    Error,   // AE: kept, but the message failed the receiver's rules
    Reject,  // AR: not taken (not HL7, undecodable, too large)
};

std::string_view ack_code_text(AckCode code);  // "AA", "AE" or "AR"

// What the receiver puts into the acknowledgement's own header.
struct AckHeader {
    std::string control_id;  // MSH-10 of the acknowledgement, new for each
    std::string timestamp;   // MSH-7, see hl7_timestamp
};

// The acknowledgement of `message` (its raw text, any line breaks; need not
// be HL7 at all):
//   MSH with MSH-3/4 and MSH-5/6 of the message swapped, MSH-7 and MSH-10
//   from `header`, MSH-9 "ACK^<trigger of the message>^ACK", MSH-11 and
//   MSH-12 copied;
//   MSA|<code>|<MSH-10 of the message>, and for AE and AR the reason as
//   MSA-3;
//   for AE and AR an ERR segment (ERR-3 application error 207, ERR-4
//   severity E, ERR-8 the reason).
// Written in the message's own delimiters when its MSH-1 and MSH-2 are
// usable, else the standard "|^~\&"; segments end with a carriage return.
// The reason is escaped in those delimiters and its line breaks become
// spaces, so any text can be given.
std::string build_ack(std::string_view message, AckCode code, std::string_view reason, const AckHeader& header);

// HL7 date/time of `when` in UTC with milliseconds: YYYYMMDDHHMMSS.sss+0000.
std::string hl7_timestamp(std::chrono::system_clock::time_point when);

// MSH-10 of a message: its control ID, as it stands in the text; empty when
// the message has none (or is not HL7).
std::string_view message_control_id(std::string_view message);

// What a sender learns from an acknowledgement.
struct AckReply {
    std::string code;        // MSA-1 as sent ("AA", "AE", "AR", "CA", ...)
    std::string control_id;  // MSA-2: the control ID of the message answered
    std::string text;        // ERR-8, else MSA-3, else empty
};

// Reads an acknowledgement; nothing when the text holds no MSH followed by
// an MSA segment.
std::optional<AckReply> read_ack(std::string_view ack);

// True for "AA" and "CA", the codes that mean the message was taken.
bool ack_accepted(std::string_view code);

}  // namespace segmorph
