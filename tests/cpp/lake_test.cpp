// Reading files as a data lake holds them: gzip data arriving in pieces,
// the envelope around a place in a batch file, sizes as Spark writes them,
// and the choice of files by their first bytes.
#include <string>
#include "check.hpp"

#include <zlib.h>

#include "byte_size.hpp"
#include "envelope_state.hpp"
#include "file_choice.hpp"
#include "gzip.hpp"

using namespace segmorph;

// `text` as one gzip member, by zlib's own deflater.
static std::string gzip_of(const std::string& text) {
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, text.size()) + 32, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// Inflates `data` fed `step` bytes at a time into rooms of `room` bytes.
static std::string inflate_in_pieces(std::string_view data, std::size_t step, std::size_t room, std::string& error) {
    GzipReader reader;
    std::string out;
    std::string buffer(room, '\0');
    for (std::size_t at = 0; at <= data.size(); at += step) {
        std::string_view piece = data.substr(std::min(at, data.size()), step);
        const bool last = at + step >= data.size();
        for (;;) {
            const std::size_t got = reader.read(piece, buffer.data(), room, last);
            out.append(buffer.data(), got);
            if (got == 0) break;
        }
        if (!reader.error().empty() || last) break;
    }
    error = reader.error();
    return out;
}

TEST(gzip_is_read_in_any_pieces_and_members_join) {
    std::string text;
    for (int i = 0; i < 2000; ++i) text += "MSH|^~\\&|APP|" + std::to_string(i) + "\rPID|1||x\r";
    const std::string two = gzip_of(text.substr(0, 777)) + gzip_of(text.substr(777));
    for (std::size_t step : {1, 7, 4096, 1 << 20}) {
        for (std::size_t room : {1, 100, 1 << 16}) {
            std::string error;
            CHECK_EQ(inflate_in_pieces(two, step, room, error), text);
            CHECK_EQ(error, "");
        }
    }
    std::string whole;
    CHECK_EQ(gunzip(two, 1 << 30, whole), "");
    CHECK_EQ(whole, text);
}

TEST(gzip_that_is_cut_corrupt_or_too_large_fails) {
    const std::string packed = gzip_of(std::string(100000, 'a'));
    std::string out, error;
    CHECK(gunzip(packed.substr(0, packed.size() - 5), 1 << 30, out).find("cut short") != std::string::npos);
    std::string bad = packed;
    bad[20] = static_cast<char>(bad[20] ^ 0x55);
    out.clear();
    CHECK(!gunzip(bad, 1 << 30, out).empty());
    out.clear();
    CHECK(gunzip(packed, 1000, out).find("more than 1000 bytes") != std::string::npos);
    CHECK_EQ(out, "");
    out.clear();
    CHECK(gunzip(packed + "junk", 1 << 30, out).find("not gzip") != std::string::npos);
    out.clear();
    CHECK_EQ(gunzip(packed + std::string(512, '\0'), 1 << 30, out), "");  // padding after the last member
    inflate_in_pieces(packed.substr(0, 10), 3, 64, error);
    CHECK(error.find("cut short") != std::string::npos);
}

TEST(the_envelope_before_a_place_is_the_nearest_open_one) {
    const std::string data =
        "FHS|^~\\&|F1\rBHS|^~\\&|B1\rMSH|1\rPID|1\rBTS|1\rMSH|2\rBHS|^~\\&|B2\n\nMSH|3\r\nFTS|1\rMSH|4\r";
    auto at = [&](std::string_view marker) { return envelope_state_before(data, data.find(marker)).encode(); };
    CHECK_EQ(at("MSH|1"), "FHS|^~\\&|F1\nBHS|^~\\&|B1\n");
    CHECK_EQ(at("MSH|2"), "FHS|^~\\&|F1\n");
    CHECK_EQ(at("MSH|3"), "FHS|^~\\&|F1\nBHS|^~\\&|B2\n");
    CHECK_EQ(at("MSH|4"), "");
    CHECK_EQ(envelope_state_before(data, 0).encode(), "");
    // Carried forward line by line, the state is the same.
    EnvelopeState state = EnvelopeState::decode(at("MSH|2"));
    state.take("BHS|^~\\&|B2");
    CHECK_EQ(state.encode(), at("MSH|3"));
    state.take("FHS|^~\\&|F2");
    CHECK_EQ(state.encode(), "FHS|^~\\&|F2\n");
}

TEST(sizes_as_spark_writes_them) {
    CHECK(parse_byte_size("64MB") == std::optional<std::size_t>(64u << 20));
    CHECK(parse_byte_size("128m") == std::optional<std::size_t>(128u << 20));
    CHECK(parse_byte_size("1g") == std::optional<std::size_t>(1u << 30));
    CHECK(parse_byte_size("2KiB") == std::optional<std::size_t>(2048));
    CHECK(parse_byte_size("512b") == std::optional<std::size_t>(512));
    for (const char* bad : {"", "0", "MB", "64 MB", "64mbb", "-1", "2000G", "1T"}) CHECK(!parse_byte_size(bad));
}

TEST(files_are_chosen_by_their_first_bytes_gzip_or_not) {
    using C = Selection::Content;
    CHECK(judge_head("\xEF\xBB\xBF \r\nMSH|", C::Hl7, true) == HeadVerdict::Wanted);
    CHECK(judge_head("\x0B", C::Hl7, true) == HeadVerdict::Wanted);
    CHECK(judge_head("  ", C::Hl7, false) == HeadVerdict::NeedMore);
    CHECK(judge_head("  ", C::Hl7, true) == HeadVerdict::NotWanted);
    CHECK(judge_head("BH", C::Hl7, false) == HeadVerdict::NeedMore);
    CHECK(judge_head("BX", C::Hl7, false) == HeadVerdict::NotWanted);
    CHECK(judge_head("{", C::Json, true) == HeadVerdict::Wanted);
    CHECK(judge_head(gzip_of("\n\nFHS|^~\\&"), C::Hl7, true) == HeadVerdict::Wanted);
    CHECK(judge_head(gzip_of("[{}]"), C::Hl7, true) == HeadVerdict::NotWanted);
    CHECK(judge_head(gzip_of("[{}]"), C::Json, true) == HeadVerdict::Wanted);
    CHECK(is_hidden_path(".a") && is_hidden_path("a/.b/c") && !is_hidden_path("a/b.c") && !is_hidden_path(""));
}

TEST_MAIN()
