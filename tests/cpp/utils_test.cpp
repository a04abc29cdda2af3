// Line-ending normalisation, the one text helper every input passes through.
#include "check.hpp"
#include "lines.hpp"

using namespace segmorph;

TEST(replace_eof_turns_every_break_into_lf) {
    CHECK_EQ(replace_eof("a\r\nb\rc\nd"), std::string("a\nb\nc\nd"));
    CHECK_EQ(replace_eof("\r\r\n"), std::string("\n\n"));
}

TEST_MAIN()
