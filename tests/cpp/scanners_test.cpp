// The block scanners under framing and the rules, against byte-by-byte
// answers: every length around the 16- and 64-byte steps, a match at every
// place, and text that lies at the very end of its allocation, so that a
// read past the text would be seen by the sanitizers.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "check.hpp"

#include "lines.hpp"
#include "utf8.hpp"

using namespace segmorph;

namespace {

// `text` copied to the end of a heap block of exactly its size.
struct Tight {
    std::unique_ptr<char[]> bytes;
    std::string_view view;
    explicit Tight(std::string_view text) : bytes(new char[text.size() + 1]) {
        std::memcpy(bytes.get(), text.data(), text.size());
        view = std::string_view(bytes.get(), text.size());
    }
};

std::vector<std::size_t> breaks_by_bytes(std::string_view text) {
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (text[i] == '\r' || text[i] == '\n') out.push_back(i);
    return out;
}

std::vector<std::size_t> breaks_by_blocks(std::string_view text) {
    std::vector<std::size_t> out;
    LineBreaks breaks(text);
    for (std::size_t at; (at = breaks.next()) != text.size();) out.push_back(at);
    CHECK(breaks.next() == text.size());  // and it stays at the end
    return out;
}

}  // namespace

TEST(line_breaks_are_found_at_every_place_and_length) {
    for (std::size_t n = 0; n <= 200; ++n) {
        // No break; one break at each place; breaks every 7 bytes; all breaks.
        std::string plain(n, 'x');
        CHECK(breaks_by_blocks(Tight(plain).view).empty());
        for (std::size_t at = 0; at < n; ++at) {
            std::string one = plain;
            one[at] = at % 2 ? '\r' : '\n';
            CHECK(breaks_by_blocks(Tight(one).view) == breaks_by_bytes(one));
        }
        std::string many = plain, all(n, '\r');
        for (std::size_t at = 3; at < n; at += 7) many[at] = '\n';
        // Other control bytes beside and between the breaks are not breaks.
        static constexpr char kControls[] = {'\t', '\v', '\f', '\0', '\x0E', '\x01'};
        for (std::size_t at = 1; at < n; at += 5) many[at] = kControls[at % 6];
        CHECK(breaks_by_blocks(Tight(many).view) == breaks_by_bytes(many));
        // Long stretches whose only control bytes are not breaks.
        std::string tabs = plain;
        for (std::size_t at = 0; at < n; at += 50) tabs[at] = '\t';
        if (n > 0) tabs[n - 1] = '\r';
        CHECK(breaks_by_blocks(Tight(tabs).view) == breaks_by_bytes(tabs));
        CHECK(breaks_by_blocks(Tight(all).view) == breaks_by_bytes(all));
    }
}

TEST(next_line_break_and_skip_to_start_anywhere) {
    std::string text;
    for (int i = 0; i < 40; ++i)
        text += std::string(static_cast<std::size_t>(i * 5 % 97), 'a') + (i % 3 ? "\r" : "\r\n");
    const Tight t(text);
    const std::vector<std::size_t> all = breaks_by_bytes(text);
    for (std::size_t pos = 0; pos <= text.size(); ++pos) {
        std::size_t expect = text.size();
        for (std::size_t b : all)
            if (b >= pos) {
                expect = b;
                break;
            }
        CHECK_EQ(std::to_string(next_line_break(t.view, pos)), std::to_string(expect));
        LineBreaks fresh(t.view);
        fresh.skip_to(pos);
        CHECK_EQ(std::to_string(fresh.next()), std::to_string(expect));
        LineBreaks breaks(t.view);
        breaks.next();  // a break already read does not change where skip_to leads
        breaks.skip_to(pos);
        if (pos > (all.empty() ? 0 : all[0])) CHECK_EQ(std::to_string(breaks.next()), std::to_string(expect));
    }
}

TEST(utf8_and_ascii_checks_see_a_byte_at_every_place) {
    // A bad byte, a good two-byte sequence and one cut short by the end, at
    // every place of texts around the block sizes.
    for (std::size_t n = 1; n <= 140; ++n) {
        const std::string plain(n, 'a');
        CHECK(is_ascii(Tight(plain).view));
        CHECK(is_valid_utf8(Tight(plain).view));
        for (std::size_t at = 0; at < n; ++at) {
            std::string bad = plain;
            bad[at] = '\xFF';
            CHECK(!is_ascii(Tight(bad).view));
            CHECK(!is_valid_utf8(Tight(bad).view));
            std::string cut = plain;
            cut[at] = '\xC3';  // a lead byte: valid only when "\xA9" follows
            CHECK(is_valid_utf8(Tight(cut).view) == false);
            if (at + 1 < n) {
                cut[at + 1] = '\xA9';
                CHECK(is_valid_utf8(Tight(cut).view));
                CHECK(!is_ascii(Tight(cut).view));
            }
        }
    }
}

TEST_MAIN()
