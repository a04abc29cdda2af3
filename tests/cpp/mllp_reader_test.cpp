// Cutting an MLLP byte stream into frames, as the listener and send read
// it: the same frames however the bytes are split, and an oversize frame
// handed on once, as soon as it passes the limit, with nothing of its rest
// kept.
#include "check.hpp"

#include <string>
#include <vector>

#include "../../cli/mllp.hpp"

using segmorph::cli::MllpReader;

namespace {

// The frames of `stream` fed `step` bytes at a time: "text" for a whole
// frame, "!head@size" for an oversize one.
std::vector<std::string> frames(std::string_view stream, std::size_t limit, std::size_t step) {
    MllpReader reader(limit);
    std::vector<std::string> out;
    for (std::size_t at = 0; at < stream.size(); at += step) {
        reader.feed(stream.substr(at, step), [&](const MllpReader::Frame& f) {
            out.push_back(f.oversize ? "!" + std::string(f.text.substr(0, 4)) + "@" + std::to_string(f.size)
                                     : std::string(f.text));
            return true;
        });
    }
    return out;
}

std::string joined(const std::vector<std::string>& v) {
    std::string out;
    for (const std::string& s : v) out += (out.empty() ? "" : " | ") + s;
    return out;
}

}  // namespace

TEST(frames_are_the_same_however_the_bytes_are_split) {
    const std::string stream =
        "noise\x0b"
        "A1\x1c\r\x0b"
        "B2\x1c\x0b"
        "C3\x1c\rjunk\x0b"
        "D4\x1c";
    for (std::size_t step : {1, 2, 3, 5, 7, 100}) CHECK_EQ(joined(frames(stream, 100, step)), "A1 | B2 | C3 | D4");
}

TEST(a_start_inside_a_frame_begins_it_again) { CHECK_EQ(joined(frames("\x0bhalf\x0bwhole\x1c\r", 100, 1)), "whole"); }

TEST(an_oversize_frame_is_handed_on_once_as_it_passes_the_limit) {
    const std::string big =
        "\x0b"
        "MSH|" +
        std::string(50, 'x') +
        "\x1c\r\x0b"
        "next\x1c\r";
    for (std::size_t step : {1, 7, 1000}) {
        const std::vector<std::string> got = frames(big, 20, step);
        CHECK(got.size() == 2);
        // refused at the first read that passed 20 bytes, from its head
        CHECK(got.front().starts_with("!MSH|@"));
        CHECK_EQ(got.back(), std::string("next"));
    }
    CHECK_EQ(joined(frames(big, 20, 1)), "!MSH|@21 | next");
}

TEST(an_oversize_frame_keeps_no_more_than_its_head) {
    MllpReader reader(1000);
    std::size_t refused = 0;
    reader.feed(
        "\x0b"
        "MSH|",
        [&](const MllpReader::Frame&) { return true; });
    const std::string chunk(64 * 1024, 'x');
    for (int i = 0; i < 64; ++i) {
        reader.feed(chunk, [&](const MllpReader::Frame& f) {
            CHECK(f.oversize);
            CHECK(f.text.size() == 1000);
            ++refused;
            return true;
        });
        CHECK(reader.in_frame());
    }
    CHECK(refused == 1);
    reader.feed("\x1c\r", [&](const MllpReader::Frame&) {
        ++refused;
        return true;
    });
    CHECK(refused == 1);
    CHECK(!reader.in_frame());
}

TEST(frames_begun_counts_each_start) {
    MllpReader reader(100);
    auto keep = [](const MllpReader::Frame&) { return true; };
    reader.feed(
        "x\x0b"
        "a\x1c\r\x0b"
        "b",
        keep);
    CHECK(reader.frames_begun() == 2);
    CHECK(reader.in_frame());
    CHECK(reader.skipped_bytes() == 1);
}

TEST_MAIN()
