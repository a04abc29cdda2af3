// Every message of the sample corpus (real feeds from three public projects)
// passes the standard rules, strict or not.  Run from the repository root.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "check.hpp"
#include "validation.hpp"

using namespace segmorph;
namespace fs = std::filesystem;

namespace {

const fs::path kCorpus = "tests/fixtures/corpus";

std::string read_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The messages of one file, each with its own line endings: a message starts
// at a line beginning "MSH" and runs to the next such line or batch envelope
// line (FHS, BHS, BTS, FTS), which belongs to no message.  MLLP frame bytes
// and a leading byte-order mark are removed first.  Text outside every
// message other than blank lines is reported through `stray`.
std::vector<std::string> split_messages(std::string text, std::string& stray) {
    if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
    std::erase_if(text, [](char c) { return c == '\x0B' || c == '\x1C'; });

    std::vector<std::string> messages;
    std::size_t start = std::string::npos;  // of the message being read
    std::size_t end = 0;                    // of its last line so far
    auto close = [&] {
        if (start != std::string::npos) messages.push_back(text.substr(start, end - start));
        start = std::string::npos;
    };
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t line_end = std::min(text.find_first_of("\r\n", pos), text.size());
        const std::string_view line(text.data() + pos, line_end - pos);
        if (line.starts_with("MSH")) {
            close();
            start = pos;
        } else if (line.starts_with("FHS") || line.starts_with("BHS") || line.starts_with("BTS") ||
                   line.starts_with("FTS")) {
            close();
        } else if (start == std::string::npos && line.find_first_not_of(" \t") != std::string_view::npos) {
            stray = std::string(line.substr(0, 40));
        }
        if (start != std::string::npos) end = line_end;
        pos = line_end + (text.compare(line_end, 2, "\r\n") == 0 ? 2 : 1);
    }
    close();
    return messages;
}

}  // namespace

TEST(every_corpus_message_passes_the_standard_rules) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(kCorpus)) {
        if (entry.is_regular_file() && entry.path().extension() == ".hl7") files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    CHECK(files.size() == 162);

    std::size_t count = 0;
    for (const fs::path& file : files) {
        std::string stray;
        const std::vector<std::string> messages = split_messages(read_bytes(file), stray);
        if (!stray.empty()) {
            segmorph_test::report(__FILE__, __LINE__, "text outside any message", file.string() + ": " + stray);
        }
        for (std::size_t i = 0; i < messages.size(); ++i) {
            for (bool strict : {false, true}) {
                if (const Status s = validate_standard(messages[i], strict)) {
                    segmorph_test::report(__FILE__, __LINE__, "message passes",
                                          file.string() + " message " + std::to_string(i + 1) +
                                              (strict ? " (strict): " : ": ") + s->message());
                }
            }
        }
        count += messages.size();
    }
    CHECK(count == 201);
}

TEST_MAIN()
