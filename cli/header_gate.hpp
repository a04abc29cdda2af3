// to-json's guard against input that is not HL7 at all.  Framing makes a
// message of any text (a line "hello" becomes a segment named "hello"), so
// a wrong file or a binary one read as Latin-1 would pass as converted.
// Parts are held until one starts with a header (MSH, or an envelope's FHS
// or BHS); an input that ends with none is reported as "no HL7 message
// found" and nothing of it is written.  From the first header on, and for
// text before it once a header comes, nothing changes.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "hl7_rounds.hpp"

namespace segmorph::cli {

class HeaderGate final : public Hl7PartSink {
public:
    // `limit`: bytes held at most before the gate opens as if a header had
    // come (memory stays bounded on a long stream of text).
    HeaderGate(const std::string& name, std::size_t limit, Hl7PartSink& out) : name_(name), limit_(limit), out_(out) {}

    bool parts(const std::shared_ptr<const InputBytes>& round, std::span<const FramePart> parts,
               std::size_t index) override;
    bool failure(const std::string& text, std::uint64_t messages) override;
    bool flush() override { return open() && out_.flush(); }

    // At the end of the input.
    bool finish();

private:
    struct Held {
        std::shared_ptr<const InputBytes> round;
        std::vector<FramePart> parts;
        std::size_t index;
    };
    bool open();

    const std::string& name_;
    const std::size_t limit_;
    Hl7PartSink& out_;
    bool open_ = false;
    std::vector<Held> held_;
    std::size_t held_bytes_ = 0;
};

}  // namespace segmorph::cli
