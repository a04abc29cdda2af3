"""Cutting segment lines into records: key syntax, key order, the encoding
characters exemption, plain versus escaping mode, line-ending normalisation."""

import pytest
from hypothesis import given, settings, strategies as st

from conftest import Hl7Json, plain_record

# Lines that give the same record whether escapes are decoded or not
# (the segment name is added from the line).
BOTH_MODES = [
    ("", {}), ("PID", {}), ("|", {"1": ""}), ("|x", {"1": "x"}),
    ("PID|||x|", {"1": "", "2": "", "3": "x", "4": ""}),
    ("MSH|^~\\&|APP|FAC", {"1": "^~\\&", "2": "APP", "3": "FAC"}),
    ("X|a^~\\&b~c", {"1": "a^~\\&b~c"}), ("X|^~\\&^x", {"1": "^~\\&^x"}), ("X|~^~\\&", {"1": "~^~\\&"}),
    ("PID|1||Doe^John^^^Dr", {"1": "1", "2": "", "3.1": "Doe", "3.2": "John", "3.3": "", "3.4": "", "3.5": "Dr"}),
    ("X|a~b~", {"1[0]": "a", "1[1]": "b", "1[2]": ""}), ("X|~", {"1[0]": "", "1[1]": ""}),
    ("X|a^b~c", {"1[0].1": "a", "1[0].2": "b", "1[1]": "c"}),
    ("X|||a~b^c", {"1": "", "2": "", "3[0]": "a", "3[1].1": "b", "3[1].2": "c"}),
    ("X|~^", {"1[0]": "", "1[1].1": "", "1[1].2": ""}), ("X|^", {"1.1": "", "1.2": ""}),
    ("X|a&b^c", {"1.1": "a&b", "1.2": "c"}), ("X|a&b&c", {"1": "a&b&c"}),
    (" P^I~D |x", {"1": "x"}), ("X| a \t", {"1": " a \t"}),
    ("ÄÖÜ|é^ß~日本|😀", {"1[0].1": "é", "1[0].2": "ß", "1[1]": "日本", "2": "😀"}),
    ("N\0L|a\0b^\0", {"1.1": "a\0b", "1.2": "\0"}),
    ("PID|1\r", {"1": "1\r"}), ("PID|a\nb|c\r\n", {"1": "a\nb", "2": "c\r\n"}),
    # field 1 of a header segment is syntax: never split, never decoded, even
    # when malformed; field 2 on is parsed as usual
    ("MSH|^~\\\\&|A^B", {"1": "^~\\\\&", "2.1": "A", "2.2": "B"}), ("MSH|^~\\&#|x", {"1": "^~\\&#", "2": "x"}),
    ("BHS|a^b~c\\F\\", {"1": "a^b~c\\F\\"}), ("FHS|~", {"1": "~"}), ("MSH|", {"1": ""}),
]

# (line, plain record, escaping record)
BY_MODE = [
    # an escaped separator is data: components are cut on the raw text
    ("X|Smith\\S\\John", {"1": "Smith\\S\\John"}, {"1": "Smith^John"}),
    ("X|a\\F\\b", {"1": "a\\F\\b"}, {"1": "a|b"}),
    ("X|a\\R\\b", {"1": "a\\R\\b"}, {"1": "a~b"}),
    ("X|\\S\\", {"1": "\\S\\"}, {"1": "^"}),
    ("X|a\\S\\b^c\\F\\d", {"1.1": "a\\S\\b", "1.2": "c\\F\\d"}, {"1.1": "a^b", "1.2": "c|d"}),
    ("X|a\\E\\S\\E\\b", {"1": "a\\E\\S\\E\\b"}, {"1": "a\\S\\b"}),
    ("X|x\\E\\y^z", {"1.1": "x\\E\\y", "1.2": "z"}, {"1.1": "x\\y", "1.2": "z"}),
    ("X|a\\X0D\\\\X0A\\b\\X09\\\\X20\\", {"1": "a\\X0D\\\\X0A\\b\\X09\\\\X20\\"}, {"1": "a\r\nb\t "}),
    ("X|\\F\\~\\S\\~\\T\\", {"1[0]": "\\F\\", "1[1]": "\\S\\", "1[2]": "\\T\\"},
     {"1[0]": "|", "1[1]": "^", "1[2]": "&"}),
    ("X|a\\S\\b~c\\T\\d^e", {"1[0]": "a\\S\\b", "1[1].1": "c\\T\\d", "1[1].2": "e"},
     {"1[0]": "a^b", "1[1].1": "c&d", "1[1].2": "e"}),
    # unknown sequences closed by the escape character are kept whole
    ("X|\\H\\bold\\N\\", {"1": "\\H\\bold\\N\\"}, {"1": "\\H\\bold\\N\\"}),
    # only a segment named exactly MSH, BHS or FHS has a verbatim field 1
    ("msh|^~\\\\&", {"1[0].1": "", "1[0].2": "", "1[1]": "\\\\&"}, {"1[0].1": "", "1[0].2": "", "1[1]": "\\&"}),
    ("MSH|^~\\&|a^~\\&", {"1": "^~\\&", "2": "a^~\\&"}, {"1": "^~\\&", "2": "a^~\\&"}),
    ("X|\\F", {"1": "\\F"}, {"1": "|"}),
    ("MSH|^~\\&|a\\F\\b", {"1": "^~\\&", "2": "a\\F\\b"}, {"1": "^~\\&", "2": "a|b"}),
    ("\\F\\|x", {"1": "x"}, {"1": "x"}),
]


def named(line, record):
    return list({**record, "segment_name": line.split("|")[0]}.items())


SPLITTER = Hl7Json("not used", validation_enabled=True, escaping_enabled=False)


class TestSplitSegment:
    @pytest.mark.parametrize("line,expected", BOTH_MODES)
    def test_same_in_both_modes(self, line, expected):
        assert list(SPLITTER._split_hl7_seg_to_json(line).items()) == named(line, expected)
        assert list(SPLITTER._split_hl7_seg_to_json_with_escaping(line).items()) == named(line, expected)

    @pytest.mark.parametrize("line,plain,escaped", BY_MODE)
    def test_mode_specific(self, line, plain, escaped):
        assert list(SPLITTER._split_hl7_seg_to_json(line).items()) == named(line, plain)
        assert list(SPLITTER._split_hl7_seg_to_json_with_escaping(line).items()) == named(line, escaped)

    def test_keys_iterate_byte_wise(self):
        record = SPLITTER._split_hl7_seg_to_json("X|" + "|".join(str(n) for n in range(1, 13)))
        assert list(record) == ["1", "10", "11", "12", "2", "3", "4", "5", "6", "7", "8", "9", "segment_name"]
        line = "X|" + "|".join(["a^b~c"] * 11) + "|" + "~".join(["p^q"] * 12)
        for record in (SPLITTER._split_hl7_seg_to_json(line), SPLITTER._split_hl7_seg_to_json_with_escaping(line)):
            assert list(record)[:4] == ["10[0].1", "10[0].2", "10[1]", "11[0].1"]
            assert list(record) == sorted(record, key=lambda k: k.encode()) and "12[11].2" in record


class TestLineEndings:
    @pytest.mark.parametrize("text,normalised", [
        ("", ""), ("A\nB", "A\nB"), ("\r", "\n"), ("A\rB\r", "A\nB\n"), ("A\r\nB", "A\nB"), ("A\n\rB", "A\nB"),
        ("A\r\n\rB", "A\nB"), ("A\r\rB", "A\n\nB"), ("A\n\r\nB", "A\n\nB"), ("A\r\n\r\nB", "A\n\nB"),
        ("\r\r\n", "\n\n"), ("\n\r\r", "\n\n"), ("\r\n\r\r", "\n\n"), ("x\n\n\r\ry", "x\n\n\ny"),
        (" A|1 \t\r\n", " A|1 \t\n"),
    ])
    def test_hl7_string_and_records(self, text, normalised):
        obj = Hl7Json(text)
        assert obj.hl7_string == normalised
        assert obj.hl7_json == [obj._split_hl7_seg_to_json(line) for line in normalised.split("\n")]

    @given(st.text(alphabet="\r\nab", max_size=30))
    def test_three_passes(self, text):
        expected = text.replace("\r\n", "\n").replace("\n\r", "\n").replace("\r", "\n")
        assert Hl7Json(text).hl7_string == expected


LINE_CHARS = st.sampled_from(["|", "^", "~", "&", "\\", "a", "B", "7", " ", "é", "^~\\&", "\\F\\", "\\S\\", "\\R\\"])
lines = st.lists(LINE_CHARS, max_size=25).map("".join)


class TestAgainstModel:
    @settings(max_examples=300)
    @given(st.lists(lines, min_size=1, max_size=5), st.sampled_from(["\n", "\r", "\r\n"]))
    def test_plain(self, segs, sep):
        obj = Hl7Json(sep.join(segs), escaping_enabled=False)
        expected = [list(plain_record(s).items()) for s in segs]
        assert [list(d.items()) for d in obj.hl7_json] == expected
        assert list(obj._split_hl7_seg_to_json(segs[0]).items()) == expected[0]

    @settings(max_examples=300)
    @given(lines)
    def test_escaping(self, line):
        obj = Hl7Json(line)
        record = obj._split_hl7_seg_to_json_with_escaping(line)
        assert list(record) == sorted(record, key=lambda k: k.encode())
        assert list(obj.hl7_json[0].items()) == list(record.items())
        if "\\" not in line:
            assert list(record.items()) == list(plain_record(line).items())
