// Flattening on one thread with handlers whose separators differ, one after
// another: each line is cut by its own handler's separators, never by those
// of the handler used before it.
#include <string>
#include <vector>

#include "check.hpp"
#include "escape.hpp"
#include "segments.hpp"

using namespace segmorph;

namespace {

std::vector<std::string> flat(const std::string& line, const Hl7EscapeHandler* handler) {
    FlatRecord record;
    record.parse(line, handler);
    std::vector<std::string> out;
    for (std::size_t i = 0; i < record.size(); ++i) {
        const FlatRecord::Item item = record.item(i);
        out.push_back(std::string(item.key) + "=" + std::string(item.value));
    }
    return out;
}

}  // namespace

TEST(each_handler_cuts_by_its_own_separators) {
    const Hl7EscapeHandler standard = create_default_escape_handler();
    Hl7EscapeHandler other = create_default_escape_handler();
    other.component_separator = U'#';
    other.repetition_separator = U'*';
    other.escape_character = U'$';
    const std::string line = "ZZZ|a^b#c|d~e*f|g\\T\\h$T$i";
    // Plain mode cuts by the standard separators and decodes nothing.
    const std::vector<std::string> plain = {"1.1=a", "1.2=b#c", "2[0]=d", "2[1]=e*f", "3=g\\T\\h$T$i"};
    const std::vector<std::string> by_standard = {"1.1=a", "1.2=b#c", "2[0]=d", "2[1]=e*f", "3=g&h$T$i"};
    const std::vector<std::string> by_other = {"1.1=a^b", "1.2=c", "2[0]=d~e", "2[1]=f", "3=g\\T\\h&i"};
    for (int round = 0; round < 2; ++round) {
        CHECK(flat(line, &standard) == by_standard);
        CHECK(flat(line, &other) == by_other);
        CHECK(flat(line, nullptr) == plain);
        CHECK(flat(line, &other) == by_other);
        CHECK(flat(line, &standard) == by_standard);
    }
}

TEST_MAIN()
