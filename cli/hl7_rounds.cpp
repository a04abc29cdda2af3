#include "hl7_rounds.hpp"

#include <optional>
#include <vector>

#include "envelopes.hpp"
#include "header_gate.hpp"
#include "signals.hpp"

namespace segmorph::cli {

bool read_hl7_parts(const Options& opts, const std::string& name, InputReader& in, Hl7PartSink& to) {
    std::optional<EnvelopeCharsets> envelopes;
    if (EnvelopeCharsets::needed(opts)) envelopes.emplace(opts, name, to);
    Hl7PartSink& inner = envelopes ? static_cast<Hl7PartSink&>(*envelopes) : to;
    // Only to-json writes records of what it reads; validate and send
    // report on each message as it is.
    std::optional<HeaderGate> gate;
    if (opts.command == Command::ToJson) gate.emplace(name, opts.max_message_bytes, inner);
    Hl7PartSink& sink = gate ? static_cast<Hl7PartSink&>(*gate) : inner;
    auto finish = [&gate, &envelopes] { return (!gate || gate->finish()) && (!envelopes || envelopes->finish()); };
    RoundFramer framer;
    // From a stream, a round ends as soon as it completes a message.
    in.end_rounds_when(
        [&framer](std::string_view text, std::size_t from) { return framer.held_part_ends(text, from); });
    struct Forget {
        InputReader& in;
        ~Forget() { in.end_rounds_when(nullptr); }  // the test reads `framer`, which is about to go
    } forget{in};
    std::shared_ptr<const InputBytes> round;
    std::string_view carry;
    std::size_t index = 0;
    std::uint64_t read = 0;  // bytes of the input read so far
    bool any = false;
    const std::size_t max = opts.max_message_bytes;
    auto too_long = [&](std::string_view text, std::size_t n, bool message) {
        const std::uint64_t at =
            read - round->view().size() + static_cast<std::uint64_t>(text.data() - round->view().data());
        return name + ": " + (message ? "message " + std::to_string(n) : std::string("envelope segment")) +
               ": at byte " + std::to_string(at) + ": longer than " + std::to_string(max) +
               " bytes (--max-message-bytes); skipped";
    };
    for (bool ended = false; !ended;) {
        const std::size_t carried = carry.size();
        Result<std::shared_ptr<const InputBytes>> next = in.next(carry, round_want(carried, kRoundBytes, max), ended);
        if (!next) {
            if (stop_signal() != 0) return false;  // stopped, not failed
            return sink.failure(name + ": " + next.error().message(), 0) && finish();
        }
        round = std::move(next.value());
        read += round->view().size() - carried;
        const Framing framing = framer.frame(round->view(), ended, carry);
        const std::vector<FramePart>& parts = framing.parts;
        any = any || !parts.empty();
        for (std::size_t i = 0; i < parts.size();) {
            if (parts[i].text.size() > max) {
                const bool message = parts[i].kind == FramePart::Kind::Message;
                if (!sink.failure(too_long(parts[i].text, index, message), message)) return false;
                index += message;
                ++i;
                continue;
            }
            std::size_t j = i, messages = 0;
            for (; j < parts.size() && parts[j].text.size() <= max; ++j)
                messages += parts[j].kind == FramePart::Kind::Message;
            if (!sink.parts(round, std::span(parts).subspan(i, j - i), index)) return false;
            index += messages;
            i = j;
        }
        if (framing.truncated && !opts.accept_truncated) {
            const bool message = parts.back().kind == FramePart::Kind::Message;
            if (!sink.failure(name + ": " +
                                  (message ? "message " + std::to_string(index - 1) : std::string("envelope segment")) +
                                  ": the input ends inside an MLLP block (no 0x1C); converted as it is",
                              0))
                return false;
        }
        if (carry.size() > max) {
            // A message without an end (a stream of zeros): report it where
            // it began and drop it, in bounded memory, up to the next one.
            any = true;
            if (!sink.failure(too_long(carry, index, true), 1) || !sink.flush()) return false;
            ++index;
            carry = framer.drop_held_part(carry);
        }
    }
    if (!any) return sink.failure(name + ": " + Hl7Error::empty_message().message(), 0);
    return finish();
}

}  // namespace segmorph::cli
