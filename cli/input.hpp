// Finding the inputs named on the command line and reading them.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "errors.hpp"

namespace segmorph::cli {

// The name under which standard input is read and reported.
inline constexpr std::string_view kStdinName = "-";

// The inputs in the order given: each directory is replaced by the files
// below it whose names end in one of `extensions` (ASCII case ignored),
// walked in byte order of their names, without following links to other
// directories.  No paths means standard input.  A path or directory that
// cannot be looked at is kept as it is, so that reading it reports why.
std::vector<std::string> expand_paths(const std::vector<std::string>& paths,
                                      std::initializer_list<std::string_view> extensions);

// The whole content of one input.  Held in a plain buffer rather than a
// std::string so that reading a large file does not first zero the memory
// it is about to fill.
class InputBytes {
public:
    InputBytes(std::unique_ptr<char[]> data, std::size_t size) : data_(std::move(data)), size_(size) {}
    std::string_view view() const { return {data_.get(), size_}; }

private:
    std::unique_ptr<char[]> data_;
    std::size_t size_;
};

// A whole input; standard input for kStdinName.  Io on failure, with the
// operating system's description.
Result<std::shared_ptr<const InputBytes>> read_input(const std::string& name);

}  // namespace segmorph::cli
