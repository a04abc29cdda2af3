// The character set of envelope segments in to-json's output.
//
// FHS, BHS, BTS and FTS lines name no character set of their own; a batch
// written in Latin-1 has them in Latin-1 too, and only its messages say so
// (MSH-18).  So under --encoding auto a header line that is not UTF-8 is
// read as the message after it is, a trailer as the message before it.  The
// message after a header may not have been read yet (from a stream it is
// still to come): such headers wait, copied, until it has, so that the
// output does not depend on how the input arrived.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "args.hpp"
#include "hl7_rounds.hpp"

namespace segmorph::cli {

// Stands between read_hl7_parts and the sink: hands every part and report
// on in order, envelope segments that are not UTF-8 decoded (a part of
// their own, in a buffer of their own) or reported as failures.
class EnvelopeCharsets final : public Hl7PartSink {
public:
    EnvelopeCharsets(const Options& opts, const std::string& name, Hl7PartSink& out);

    // Whether to-json needs one for `opts`: the other options decide an
    // envelope's character set without looking at any message.
    static bool needed(const Options& opts);

    bool parts(const std::shared_ptr<const InputBytes>& round, std::span<const FramePart> parts,
               std::size_t index) override;
    bool failure(const std::string& text, std::uint64_t messages) override;
    bool flush() override { return out_.flush(); }

    // At the end of the input: headers still waiting have no message after
    // them.
    bool finish() { return release(std::nullopt); }

private:
    struct Held {
        std::string text;
        bool envelope;  // else a report, standing for `messages` messages
        std::uint64_t messages = 0;
        std::size_t index = 0;
    };

    bool release(std::optional<std::string_view> next_message);
    bool envelope(std::string_view line, std::size_t index, std::optional<std::string_view> neighbour);
    void hold(std::span<const FramePart> parts, std::size_t index);

    const Options& opts_;
    const std::string& name_;
    Hl7PartSink& out_;
    std::vector<Held> held_;
    std::size_t held_bytes_ = 0;
    // The header line of the last message handed on, for a trailer that
    // comes in a later part than it.
    std::optional<std::string> last_header_;
};

}  // namespace segmorph::cli
