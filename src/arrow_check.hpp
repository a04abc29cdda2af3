// The answers of nanoarrow, as the batch units treat them.
#pragma once

#include <cerrno>
#include <new>
#include <stdexcept>
#include <string>

#include "nanoarrow/nanoarrow.h"

namespace segmorph {

// A text column would pass the 2 GiB that Arrow's utf8 offsets reach.
struct ColumnTooLarge {};

// nanoarrow answers with errno codes.  Out of memory is the only one a
// correct build can meet; a text column past Arrow's 2 GiB is reported as
// such; anything else is a broken invariant.
inline void check_arrow(ArrowErrorCode code) {
    if (code == NANOARROW_OK) return;
    if (code == ENOMEM) throw std::bad_alloc();
    if (code == EOVERFLOW) throw ColumnTooLarge{};
    throw std::runtime_error("building an Arrow batch failed with code " + std::to_string(code));
}

// Owns an array view (nanoarrow's views allocate their children).
class ArrowView {
public:
    ArrowView() { ArrowArrayViewInitFromType(&view_, NANOARROW_TYPE_UNINITIALIZED); }
    ~ArrowView() { ArrowArrayViewReset(&view_); }
    ArrowView(const ArrowView&) = delete;
    ArrowView& operator=(const ArrowView&) = delete;
    ArrowArrayView* get() { return &view_; }

private:
    ArrowArrayView view_;
};

}  // namespace segmorph
