#include "gzip.hpp"

#include <algorithm>
#include <climits>
#include <new>

#include <zlib.h>

namespace segmorph {

struct GzipReader::State {
    z_stream z{};
    bool open = false;       // inflateInit2 succeeded
    bool in_member = false;  // a member has begun and not ended
    bool failed = false;
};

GzipReader::GzipReader() : state_(std::make_unique<State>()) {
    // 16 + MAX_WBITS: the gzip wrapper only (no zlib or raw streams, which
    // a file that merely starts like gzip would otherwise pass as).
    const int code = inflateInit2(&state_->z, 16 + MAX_WBITS);
    if (code == Z_MEM_ERROR) throw std::bad_alloc();
    if (code != Z_OK) {
        error_ = "zlib cannot be set up";
        state_->failed = true;
        return;
    }
    state_->open = true;
}

GzipReader::~GzipReader() {
    if (state_->open) inflateEnd(&state_->z);
}

bool GzipReader::at_member_end() const { return !state_->in_member; }

std::size_t GzipReader::read(std::string_view& in, char* out, std::size_t room, bool last) {
    State& s = *state_;
    if (s.failed) return 0;
    std::size_t written = 0;
    while (written < room) {
        if (!s.in_member) {
            if (in.empty()) return written;
            // Between members: what follows must be another one.  Zeros
            // after the last member (tape padding) are allowed, as gzip
            // allows them.
            if (in.find_first_not_of('\0') == std::string_view::npos) {
                in = {};
                return written;
            }
            if (in.size() >= 3 && !is_gzip(in)) {
                error_ = "the data after a gzip member is not gzip";
                s.failed = true;
                return written;
            }
            s.in_member = true;
        }
        // zlib counts in uInt: take at most that much at a time.  It is
        // called with no input too, to hand out what it still holds.
        const std::size_t take = std::min<std::size_t>(in.size(), UINT_MAX);
        const std::size_t give = std::min<std::size_t>(room - written, UINT_MAX);
        s.z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
        s.z.avail_in = static_cast<uInt>(take);
        s.z.next_out = reinterpret_cast<Bytef*>(out + written);
        s.z.avail_out = static_cast<uInt>(give);
        const int code = inflate(&s.z, Z_NO_FLUSH);
        const std::size_t consumed = take - s.z.avail_in;
        in.remove_prefix(consumed);
        const std::size_t made = give - s.z.avail_out;
        written += made;
        if (code == Z_STREAM_END) {
            s.in_member = false;
            inflateReset(&s.z);
            continue;
        }
        if (code == Z_MEM_ERROR) throw std::bad_alloc();
        if ((code == Z_OK || code == Z_BUF_ERROR) && made == 0 && consumed == 0) {
            // No progress: more input is needed.
            if (in.empty() && last) {
                error_ = "the gzip data is cut short (it ends inside a member)";
                s.failed = true;
            }
            return written;
        }
        if (code == Z_BUF_ERROR) continue;
        if (code != Z_OK) {
            error_ = std::string("the gzip data is corrupt (") + (s.z.msg != nullptr ? s.z.msg : "zlib error") + ")";
            s.failed = true;
            return written;
        }
    }
    return written;
}

std::string gunzip(std::string_view data, std::size_t limit, std::string& out) {
    GzipReader reader;
    const std::size_t base = out.size();
    // Text compresses about 5 to 10 times: start there, then double.
    std::size_t room = std::min(limit, std::max<std::size_t>(data.size() * 4, 1 << 16));
    for (;;) {
        const std::size_t have = out.size() - base;
        out.resize(base + std::min(limit + 1, have + room));
        const std::size_t got = reader.read(data, out.data() + base + have, out.size() - base - have, true);
        out.resize(base + have + got);
        if (!reader.error().empty()) return reader.error();
        if (out.size() - base > limit) {
            out.resize(base);
            return "the gzip data inflates to more than " + std::to_string(limit) + " bytes";
        }
        if (data.empty() && got == 0) return {};
        room = std::max(room, have + got);
    }
}

std::string gunzip_head(std::string_view head, std::size_t want) {
    GzipReader reader;
    std::string out(want, '\0');
    std::size_t size = 0;
    while (size < want && !head.empty()) {
        const std::size_t got = reader.read(head, out.data() + size, want - size, false);
        if (got == 0) break;
        size += got;
    }
    out.resize(size);
    return out;
}

}  // namespace segmorph
