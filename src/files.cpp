#include "files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

#include "utf8.hpp"

namespace segmorph {

FileReader::~FileReader() {
    if (fd_ >= 0) ::close(fd_);
}

FileReader::Step FileReader::run() {
    if (error_ != 0) return Step::Done;
    if (!opened_) {
        if (path_.find('\0') != std::string::npos) {
            opened_ = true;  // take_utf8 reports the path
            return Step::Done;
        }
        const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR) return Step::Interrupted;
            error_ = errno;
            return Step::Done;
        }
        fd_ = fd;
        opened_ = true;
        struct stat st{};
        if (::fstat(fd_, &st) == 0 && st.st_size > 0) content_.reserve(static_cast<std::size_t>(st.st_size));
    }
    if (fd_ < 0) return Step::Done;
    char buf[1 << 16];
    for (;;) {
        const ssize_t got = ::read(fd_, buf, sizeof buf);
        if (got < 0) {
            if (errno == EINTR) return Step::Interrupted;
            error_ = errno;
            break;
        }
        if (got == 0) break;
        content_.append(buf, static_cast<std::size_t>(got));
    }
    ::close(fd_);
    fd_ = -1;
    return Step::Done;
}

Result<std::string> FileReader::take_utf8() {
    if (path_.find('\0') != std::string::npos) return Hl7Error::io(IoError::nul_in_path());
    if (error_ != 0) return Hl7Error::io(IoError::from_errno(error_));
    if (!is_valid_utf8(content_)) return Hl7Error::io(IoError::invalid_utf8());
    return std::move(content_);
}

Result<std::string> read_utf8_file(std::string_view path) {
    FileReader reader(path);
    while (reader.run() == FileReader::Step::Interrupted) {}
    return reader.take_utf8();
}

Result<std::string> message_content(Result<std::string> content) {
    if (content && is_blank(content.value())) return Hl7Error::empty_message();
    return content;
}

Result<std::string> read_message_file(std::string_view path) { return message_content(read_utf8_file(path)); }

}  // namespace segmorph
