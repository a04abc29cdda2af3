#include "utils.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "escape.hpp"

namespace segmorph {

std::string replace_eof(std::string_view text) {
    // One pass that matches the three successive replacements: "\r\n" -> "\n",
    // then "\n\r" -> "\n" on that result, then each leftover "\r" -> "\n".
    // A CR LF pair becomes an LF that can then swallow a following CR, so we
    // track whether the last LF written may still absorb one CR.
    if (text.find('\r') == std::string_view::npos) return std::string(text);
    std::string out;
    out.reserve(text.size());
    const std::size_t n = text.size();
    bool lf_can_absorb_cr = false;
    std::size_t i = 0;
    while (i < n) {
        const char* p = text.data() + i;
        // Copy the run up to the next CR or LF in one go.
        std::size_t run = 0;
        while (i + run < n && p[run] != '\r' && p[run] != '\n') ++run;
        if (run) {
            out.append(p, run);
            i += run;
            lf_can_absorb_cr = false;
            continue;
        }
        if (text[i] == '\r') {
            if (i + 1 < n && text[i + 1] == '\n') {
                out.push_back('\n');
                i += 2;
                lf_can_absorb_cr = true;
            } else if (lf_can_absorb_cr) {
                ++i;  // "\n\r" -> "\n"
                lf_can_absorb_cr = false;
            } else {
                out.push_back('\n');
                ++i;
                lf_can_absorb_cr = false;
            }
        } else {  // '\n'
            out.push_back('\n');
            ++i;
            lf_can_absorb_cr = true;
        }
    }
    return out;
}

bool is_ascii(std::string_view bytes) {
    const char* p = bytes.data();
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        if (w & 0x8080808080808080ull) return false;
    }
    for (; i < n; ++i) {
        if (static_cast<unsigned char>(p[i]) & 0x80) return false;
    }
    return true;
}

bool is_valid_utf8(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    while (p < end) {
        // ASCII runs eight bytes at a time.
        while (end - p >= 8) {
            std::uint64_t w;
            std::memcpy(&w, p, 8);
            if (w & 0x8080808080808080ull) break;
            p += 8;
        }
        if (p >= end) break;
        const std::size_t len = utf8_sequence_length(p, static_cast<std::size_t>(end - p));
        if (len == 0) return false;
        p += len;
    }
    return true;
}

bool is_blank(std::string_view utf8) {
    const char* p = utf8.data();
    const char* end = p + utf8.size();
    while (p < end) {
        if (!is_white_space(next_code_point(p))) return false;
    }
    return true;
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

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
        struct stat st {};
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
    while (reader.run() == FileReader::Step::Interrupted) {
    }
    return reader.take_utf8();
}

Result<std::string> message_content(Result<std::string> content) {
    if (content && is_blank(content.value())) return Hl7Error::empty_message();
    return content;
}

Result<std::string> read_message_file(std::string_view path) { return message_content(read_utf8_file(path)); }

}  // namespace segmorph
