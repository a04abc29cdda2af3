// The record store's count of the separators a message writes, where the
// store is used in ways the Python API never does: entries added or a
// record taken back after a check, and keys scattered so that the quick
// count overshoots.  The text written must always be the oracle's.
#include "check.hpp"

#include <stdexcept>
#include <string>
#include <vector>

#include "json_hl7.hpp"

using namespace segmorph;

static const Hl7EscapeHandler& handler() {
    static const Hl7EscapeHandler h = create_default_escape_handler();
    return h;
}

static std::string oracle(const std::vector<SegmentRecord>& records) {
    Result<std::string> text = oracle_assemble_message(records, handler(), EscapeMode::None);
    return text ? text.value() : "(fails: " + text.error().message() + ")";
}

static SegmentRecord record(std::vector<SegmentRecord::Entry> entries) { return SegmentRecord(std::move(entries)); }

TEST(an_entry_added_after_the_check_is_counted_before_the_assembly) {
    JsonHl7 held;
    held.begin_record();
    held.add_entry("segment_name", "PID");
    held.add_entry("1", "a");
    CHECK(!held.check_output_bound());
    held.add_entry("2[999999999]", "far");
    bool threw = false;
    try {
        held.convert_json_to_hl7(false);
    } catch (const std::length_error& e) {
        threw = std::string(e.what()).starts_with("record 0: key \"2[999999999]\" would write 1000000000 separators");
    }
    CHECK(threw);
    CHECK(held.check_output_bound().has_value());
}

TEST(a_layout_found_when_counting_is_not_used_once_the_record_changed) {
    // The shape is remembered by a first assembly, found when the second
    // store counts its record; then the record gets one more entry.
    const std::vector<SegmentRecord> first = {record({{"segment_name", "ZZZ"}, {"1", "a"}, {"3", "c"}})};
    JsonHl7 warm(first);
    CHECK(!warm.check_output_bound());
    CHECK_EQ(warm.convert_json_to_hl7(false), "ZZZ|a||c");
    JsonHl7 held;
    held.begin_record();
    held.add_entry("segment_name", "ZZZ");
    held.add_entry("1", "a");
    held.add_entry("3", "c");
    CHECK(!held.check_output_bound());
    CHECK_EQ(held.convert_json_to_hl7(false), "ZZZ|a||c");
    held.add_entry("5", "e");
    CHECK_EQ(held.convert_json_to_hl7(false), "ZZZ|a||c||e");
    CHECK(!held.check_output_bound());
    CHECK_EQ(held.convert_json_to_hl7(false), "ZZZ|a||c||e");
}

TEST(a_record_taken_back_after_the_check_is_no_longer_counted) {
    // Nine records of 110,000 separators fit; a tenth, counted and then
    // taken back, must not count, and one that passes the bound in its
    // place must.
    JsonHl7 held;
    for (int i = 0; i < 10; ++i) {
        held.begin_record();
        held.add_entry("1.110000", "x");
    }
    CHECK(held.check_output_bound().has_value());
    held.abandon_record();
    CHECK(!held.check_output_bound());
    held.begin_record();
    held.add_entry("1[200000]", "wide");
    const std::optional<std::string> error = held.check_output_bound();
    CHECK(error.has_value() && error->starts_with("record 9: key \"1[200000]\" would write 200001 separators"));
}

TEST(scattered_keys_are_counted_exactly_when_the_quick_count_overshoots) {
    // Field 1's keys come apart, so the quick count charges its 100,000
    // repetitions twice per record: 1.8 million for nine, past the bound,
    // where the records write 900,036 and fit.
    JsonHl7 held;
    std::vector<SegmentRecord> records;
    for (int i = 0; i < 9; ++i) {
        held.begin_record();
        held.add_entry("1[100000]", "r");
        held.add_entry("2", "b");
        held.add_entry("1[100000].3", "c");
        records.push_back(record({{"1[100000]", "r"}, {"2", "b"}, {"1[100000].3", "c"}}));
    }
    CHECK(!held.check_output_bound());
    CHECK_EQ(held.convert_json_to_hl7(false), oracle(records));
    held.begin_record();
    held.add_entry("1[100500]", "r");
    const std::optional<std::string> error = held.check_output_bound();
    CHECK(error.has_value() && error->starts_with("record 9: key \"1[100500]\" would write 100501 separators, but "
                                                  "only 100412 are left of the 1000448"));
}

TEST(indices_too_large_to_pack_are_written_by_the_rules_by_key_order) {
    const std::vector<SegmentRecord> records = {
        record({{"segment_name", "ZZZ"}, {"1", "a"}, {"2.131072", "b"}, {"3[131071]", "c"}}),
        record({{"segment_name", "ZZZ"}, {"1", "a"}, {"2.131071", "b"}, {"3[131071]", "c"}}),
    };
    JsonHl7 held(records);
    CHECK(!held.check_output_bound());
    const std::string text = held.convert_json_to_hl7(false);
    CHECK_EQ(text, oracle(records));
    // "ZZZ|a|", the "^" and "b", "|", the "~" and "c"; a line break.
    CHECK(text.size() == (6 + 131071 + 1 + 1 + 131071 + 1) + 1 + (6 + 131070 + 1 + 1 + 131071 + 1));
}

TEST_MAIN()
