// Reading whole files as UTF-8 text, in steps a caller can interrupt.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "errors.hpp"

namespace segmorph {

// Reads one whole file in steps, so that a caller can act between a system
// call interrupted by a signal and its retry: the Python binding reads with
// the interpreter released and must look at pending signals (a Ctrl-C)
// before it goes on blocking.
class FileReader {
public:
    enum class Step : std::uint8_t { Done, Interrupted };

    explicit FileReader(std::string_view path) : path_(path) {}
    ~FileReader();
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    // Opens the file (on the first call) and reads until the end of the
    // file, an error, or a system call interrupted by a signal.  After
    // Interrupted, calling again goes on where it stopped.
    Step run();

    // After Done: the content as UTF-8 text, or Io for a file that could not
    // be opened or read, a path holding NUL, or content that is not UTF-8.
    Result<std::string> take_utf8();

private:
    std::string path_;
    int fd_ = -1;
    bool opened_ = false;
    int error_ = 0;  // errno of the failure, 0 if none
    std::string content_;
};

// Reads a whole file as UTF-8 text, retrying interrupted system calls.
// Fails with Io for an unreadable file, a path holding NUL, or content that
// is not valid UTF-8.
Result<std::string> read_utf8_file(std::string_view path);

// A file's text as the converters take it: errors pass through, blank
// content (only white space, or nothing) is EmptyMessage.  The content is
// returned untrimmed.
Result<std::string> message_content(Result<std::string> content);

// read_utf8_file then message_content.
Result<std::string> read_message_file(std::string_view path);

}  // namespace segmorph
