// The file and batch headers (FHS, BHS) that stand around the messages of
// a batch file, so that rows of those messages can say which file and
// batch they came in, however the file is cut into ranges.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace segmorph {

struct EnvelopeState {
    std::string file_header;   // the FHS line open here, or empty
    std::string batch_header;  // the BHS line open here, or empty

    // Follows one envelope line: FHS opens a file (and ends any batch
    // before it), BHS a batch, BTS ends the batch, FTS the file and batch.
    void take(std::string_view line);

    // The two lines, each ended by "\n", and back.
    std::string encode() const;
    static EnvelopeState decode(std::string_view text);
};

// The state at `pos` of `data` (a place where a part begins), from the
// envelope lines before it: the nearest FHS/FTS and BHS/BTS lines, looked
// for backwards from `pos`.
EnvelopeState envelope_state_before(std::string_view data, std::size_t pos);

}  // namespace segmorph
