"""Records to HL7 text: the assembly rules, index bounds, the JsonHl7 class and
JSON file input."""

from __future__ import annotations

import inspect
import json
import re

import pytest

import segmorph
from segmorph import JsonHl7

MAX_INDEX = 100_000
BUDGET_BASE = 1_000_000
BUDGET_PER_ENTRY = 16


def line(record: dict[str, str]) -> str:
    return JsonHl7([record]).hl7_string_unescaped


# --------------------------------------------------------------- assembly

P = {"segment_name": "P"}


@pytest.mark.parametrize(
    ("records", "text"),
    [
        ([], ""),
        ([{}], ""),
        ([{}, {}], "\n"),
        ([{"segment_name": ""}], ""),
        ([{"segment_name": "A"}, {}, {"segment_name": "B"}], "A\n\nB"),
        # no name: the line starts with field 1, no leading separator
        ([{"1": "a", "2": "b"}], "a|b"),
        ([{"3": "c"}], "||c"),
        ([{"segment_name": "", "1": "a", "2": "b"}], "|a|b"),
        # gaps are filled; nothing is written past the largest index
        ([{"segment_name": "PID", "5": ""}], "PID|||||"),
        ([P | {"3.2": "y"}], "P|||^y"),
        ([P | {"3[1]": "y"}], "P|||~y"),
        ([P | {"3[0]": "x", "3[1]": "y"}], "P|||x~y"),
        ([P | {"3[1].2": "y"}], "P|||~^y"),
        ([P | {"3[2]": "z", "3[0].2": "b"}], "P|||^b~~z"),
        ([{"segment_name": "PID", "3": "123", "5.1": "Doe", "5.2": "John", "11[0].1": "Main", "11[1]": "Other"}],
         "PID|||123||Doe^John||||||Main~Other"),
        # component 0 stands for the whole repetition only when it is alone
        ([P | {"3": "x", "3.1": "y"}], "P|||y"),
        ([P | {"3.0": "x", "3.2": "y"}], "P|||^y"),
        ([P | {"3[1].0": "x", "3[1].1": "y"}], "P|||~y"),
        ([P | {"3[1].0": "x"}], "P|||~x"),
        # field 0 is stored but never written
        ([P | {"0": "a", "0.1": "b", "0[2]": "c"}], "P"),
        ([{"0": "a"}], ""),
        ([P | {"0": "a", "1": "b"}], "P|b"),
        # the name and, unescaped, the values are written verbatim
        ([{"segment_name": "A|B^C", "1": "x~y\nz"}], "A|B^C|x~y\nz"),
        ([{"segment_name": "MSH", "1": "^~\\&", "2": "APP"}], "MSH|^~\\&|APP"),
        ([{"segment_name": "OBX", "5": "ï ü 😀"}], "OBX|||||ï ü 😀"),
    ],
)
def test_assembly(records, text):
    assert JsonHl7(records).hl7_string_unescaped == text


@pytest.mark.parametrize(
    "keys",
    [
        # each list addresses one position and is in byte order
        ["+3", "03", "3", "3.0", "3[0]", "3[0].0"],
        ["+03", "003"],
        ["3[+0]", "3[00]"],
        # enough spellings that the order among them cannot come right by
        # accident
        sorted(["+" + "0" * i + "3" for i in range(40)] + ["0" * i + "3" for i in range(40)]),
    ],
)
def test_last_key_in_byte_order_wins(keys):
    assert sorted(keys) == keys
    record = P | {key: f"v{i}" for i, key in enumerate(keys)} | {f"{n}.1": "" for n in range(4, 30)}
    expected = f"P|||v{len(keys) - 1}|"
    assert line(record).startswith(expected)
    assert line(dict(reversed(record.items()))).startswith(expected)


@pytest.mark.parametrize(
    ("key", "placed"),
    [
        ("+7", "7"), ("0007", "7"), ("0" * 40 + "7", "7"), ("+07.+02", "7.2"), ("7[+1]", "7[1]"),
        ("7[1].+002", "7[1].2"), ("7[1]x", "7[1]"), ("7[1][2]", "7[1]"), ("7[1]]", "7[1]"), ("7[1] .2", "7[1]"),
    ],
)
def test_position_number_spellings(key, placed):
    assert line(P | {key: "v"}) == line(P | {placed: "v"}) != "P"


@pytest.mark.parametrize(
    "key",
    [
        "3[]", "[1]", "3[x]", "3[-1]", "3[1].", "3[1].x", "3[1].2.5", "3[1].-2", "3[1", "3.1.2", "3.", ".3",
        "3..1", "abc", "", "+", "-", "-3", "++3", "+-3", " 3", "3 ", "3\n", "3e2", "0x3", "3_000",
        # the first "]" before the first "["; a bracketed key never falls
        # through to the "N.K" rule
        "1]2[3", "]3[1]", "3]1[", "3[1[2]]", "3[[1]]", "3[x].1", "3]1[.2",
        # non-ASCII digits, and names that are not exactly segment_name
        "٣", "３", "3.٣", "Segment_name", "segment_name ", "SEGMENT_NAME",
        # numbers that do not fit in 64 bits
        "18446744073709551616", "99999999999999999999999", "1.18446744073709551616", "1[18446744073709551616]",
    ],
)
def test_unusable_keys_leave_no_trace(key):
    assert line(P | {key: "z"}) == "P"
    assert line(P | {"2": "b", key: "z"}) == "P||b"


@pytest.mark.parametrize(
    ("record", "escaped", "plain"),
    [
        ({"segment_name": "PID", "1": "a|b"}, "PID|a\\F\\b", "PID|a|b"),
        ({"segment_name": "PID", "1.1": "^", "1.2": "~"}, "PID|\\S\\^\\R\\", "PID|^^~"),
        ({"segment_name": "PID", "1[0]": "&", "1[1]": "\\"}, "PID|\\T\\~\\E\\", "PID|&~\\"),
        # a header's field 1 holds the encoding characters: syntax, never escaped
        ({"segment_name": "MSH", "1": "^~\\&", "2": "A^B"}, "MSH|^~\\&|A\\S\\B", "MSH|^~\\&|A^B"),
        ({"segment_name": "ZZZ", "1": "a b\n"}, "ZZZ|a\\X20\\b\\X0A\\", "ZZZ|a b\n"),
        # the segment name is never escaped
        ({"segment_name": "A|B", "1": "x"}, "A|B|x", "A|B|x"),
        ({"segment_name": "PID", "3": "123", "5.1": "Doe"}, "PID|||123||Doe", "PID|||123||Doe"),
    ],
)
def test_escaping(record, escaped, plain):
    obj = JsonHl7([record])
    assert obj.hl7_string == obj._convert_json_to_hl7(True) == obj._convert_json_to_hl7(escape=True) == escaped
    assert obj.hl7_string_unescaped == obj._convert_json_to_hl7(False) == plain


# ------------------------------------------------------------------ bounds


@pytest.mark.parametrize(
    ("key", "separators"),
    [
        (f"{MAX_INDEX}", MAX_INDEX),
        (f"1[{MAX_INDEX}]", 1 + MAX_INDEX),
        (f"1.{MAX_INDEX}", 1 + MAX_INDEX - 1),
        (f"1[{MAX_INDEX}].{MAX_INDEX}", 1 + MAX_INDEX + MAX_INDEX - 1),
    ],
)
def test_largest_index_is_used(key, separators):
    assert line(P | {key: "x"}) == "P" + line(P | {key: ""})[1:] + "x"
    assert len(line(P | {key: "x"})) == 1 + separators + 1


PACKED = 2**17  # the first index the fast assembly leaves to the rules by key order


@pytest.mark.parametrize("index", [MAX_INDEX + 1, PACKED - 1, PACKED, 200_000])
@pytest.mark.parametrize(
    ("key", "after_a"),
    [
        ("{n}", lambda n: "|" * (n - 1)),
        ("{n}.1", lambda n: "|" * (n - 1)),
        ("2[{n}]", lambda n: "|" + "~" * n),
        ("2[{n}].1", lambda n: "|" + "~" * n),
        ("2.{n}", lambda n: "|" + "^" * (n - 1)),
        ("2[1].{n}", lambda n: "|~" + "^" * (n - 1)),
    ],
)
def test_large_indices_are_placed(index, key, after_a):
    # Once ignored past 100,000; now every usable key lands where it says,
    # beside a key of the fast assembly's kind, added before or after it.
    key = key.format(n=index)
    want = "P|a" + after_a(index) + "x"
    records = [{**P, "1": "a", key: "x"}, {key: "x", "1": "a", **P}]
    assert JsonHl7(records).hl7_string_unescaped == want + "\n" + want


@pytest.mark.parametrize("key", ["18446744073709551616", "1[18446744073709551616]", "1.18446744073709551616",
                                 "1[0].99999999999999999999", "+18446744073709551616"])
def test_index_past_64_bits_is_no_position(key):
    # Such a key fits no shape the assembly reads, and is ignored like one.
    assert line(P | {"1": "a", key: "x"}) == "P|a"


def bound_error(record: int, key: str, separators: int | str, left: int, allowed: int) -> str:
    return (f'HL7 invalid format: record {record}: key "{key}" would write {separators} separators, '
            f"but only {left} are left of the {allowed} a message may write (1,000,000 plus 16 per value)")


@pytest.mark.parametrize(
    ("key", "separators"),
    [
        ("1[999999999]", 1 + 999_999_999),
        ("1.999999999", 1 + 999_999_998),
        ("1[1].999999999", 1 + 1 + 999_999_998),
        ("999999999999", 999_999_999_999),
        (f"{2**64 - 1}", f"{2**64 - 1} or more"),
        (f"{2**63}[{2**63}].{2**63}", f"{2**64 - 1} or more"),
    ],
)
def test_a_record_asking_for_too_many_separators_fails_at_construction(key, separators, tmp_path):
    # The key's separators are those it adds to the keys before it in byte
    # order: "2", which comes after a key starting with "1", or before the rest.
    records = [P | {"1": "a"}, P | {key: "x", "2": "b"}]
    allowed = BUDGET_BASE + BUDGET_PER_ENTRY * 5
    before = 0 if key.startswith("1") else 2
    if before and isinstance(separators, int):
        separators -= 2
    want = bound_error(1, key, separators, allowed - 1 - before, allowed)
    with pytest.raises(Exception, match="^" + re.escape(want) + "$") as info:
        JsonHl7(records)
    assert type(info.value) is Exception
    path = tmp_path / "records.json"
    path.write_text(json.dumps(records), encoding="utf-8")
    with pytest.raises(Exception, match="^" + re.escape(want) + "$"):
        JsonHl7.from_file(str(path))


def wide(n):
    """A record asking for MAX_INDEX field separators."""
    return {"segment_name": f"W{n}", str(MAX_INDEX): ""}


def test_message_separator_budget():
    # Ten wide records spend the base budget.  The last record's 24 entries'
    # allowance pays for "1" but not for the 50000 "~" of "2[50000]": the
    # message fails, naming it, where it once went out without that value.
    records = [wide(n) for n in range(BUDGET_BASE // MAX_INDEX)]
    records.append({"segment_name": "LAST", "1": "a", "2[50000]": "far", "3": "c"})
    allowed = BUDGET_BASE + BUDGET_PER_ENTRY * 24
    with pytest.raises(Exception, match=re.escape(bound_error(10, "2[50000]", 50001, allowed - BUDGET_BASE - 1, allowed))):
        JsonHl7(records)
    # Without the far key the message is written whole.
    del records[-1]["2[50000]"]
    lines = JsonHl7(records).hl7_string_unescaped.split("\n")
    assert lines[:10] == [f"W{n}" + "|" * MAX_INDEX for n in range(10)]
    assert lines[10] == "LAST|a||c"


def test_budget_grows_with_the_number_of_entries():
    records = [wide(n) for n in range(BUDGET_BASE // MAX_INDEX + 1)]
    allowed = BUDGET_BASE + BUDGET_PER_ENTRY * 22
    with pytest.raises(Exception, match=re.escape(bound_error(10, str(MAX_INDEX), MAX_INDEX, 352, allowed))):
        JsonHl7(records)
    # enough entries, even unusable ones, pay for one more wide line
    padding = {f"x{i}": "" for i in range(MAX_INDEX // BUDGET_PER_ENTRY)}
    assert JsonHl7([*records, padding]).hl7_string_unescaped.split("\n")[-2] == "W10" + "|" * MAX_INDEX


def test_hostile_keys_stay_small():
    # Each record asks for about 300,000 separators; unbounded, the text
    # would take 300 MB.  The fourth passes the bound: nothing is written.
    key = f"{MAX_INDEX}[{MAX_INDEX}].{MAX_INDEX}"
    allowed = BUDGET_BASE + BUDGET_PER_ENTRY * 2000
    with pytest.raises(Exception, match=re.escape(bound_error(3, key, 299_999, allowed - 3 * 299_999, allowed))):
        JsonHl7([{key: "", "segment_name": "X"}] * 1000)
    # Three fit, and the text stays within the bound.
    text = JsonHl7([{key: "", "segment_name": "X"}] * 3).hl7_string_unescaped
    assert len(text) == 3 * (1 + 299_999) + 2 <= BUDGET_BASE + BUDGET_PER_ENTRY * 6 + 2 * 3


# ------------------------------------------------------------- constructor


class Claims:
    """A sequence whose length is only a claim (or an error)."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.items[i]


class Boom(Exception):
    pass


class StrSub(str):
    pass


class DictSub(dict):
    pass


ONE = {"segment_name": "A", "1": "x"}
TWO = [ONE, {"segment_name": "B"}]


@pytest.mark.parametrize(
    "data",
    [TWO, tuple(TWO), [DictSub(ONE), TWO[1]], [{StrSub(k): StrSub(v) for k, v in ONE.items()}, TWO[1]],
     Claims(TWO, 2**62), Claims(TWO, 0), Claims(TWO, ValueError("no length")), Claims(TWO, 2**63)],
    ids=["list", "tuple", "dict-subclass", "str-subclass", "len-2**62", "len-0", "len-raises", "len-overflows"],
)
def test_accepted_sequences(data):
    obj = JsonHl7(data)
    assert obj.json_data == [{"1": "x", "segment_name": "A"}, {"segment_name": "B"}]
    assert obj.hl7_string == "A|x\nB"


@pytest.mark.parametrize(
    ("data", "expected"),
    [
        ("[]", "str"), (StrSub("x"), "str"),
        ({"segment_name": "A"}, "Sequence"), ({"a", "b"}, "Sequence"), ((d for d in TWO), "Sequence"),
        (iter(TWO), "Sequence"), (None, "Sequence"), (5, "Sequence"),
        ([ONE, 5], "dict"), ([[("segment_name", "A")]], "dict"),
        ([{"segment_name": "A", 3: "x"}], "str"), ([{"segment_name": None}], "str"),
        ([{"segment_name": b"A"}], "str"), ([ONE, {"1": 1}], "str"),
    ],
)
def test_refused_json_data(data, expected):
    with pytest.raises(TypeError, match="json_data") as info:
        JsonHl7(data)
    assert expected in str(info.value)


def test_lone_surrogate_raises_the_encoding_error():
    for record in ({"segment_name": "\ud800"}, {"\udfff": "x"}):
        with pytest.raises(UnicodeEncodeError):
            JsonHl7([ONE, record])


def raise_boom(*args):
    raise Boom


class NextRaises(list):
    def __iter__(self):
        yield ONE
        raise Boom


@pytest.mark.parametrize(
    "data",
    [type("IterRaises", (list,), {"__iter__": raise_boom})(),
     type("GetitemRaises", (), {"__getitem__": lambda self, i: ONE if i == 0 else raise_boom()})(),
     NextRaises()],
)
def test_exception_from_the_callers_sequence_propagates(data):
    with pytest.raises(Boom):
        JsonHl7(data)


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [((), {}), (([], []), {}), ((), {"json_data": [], "extra": 1}), (([],), {"json_data": []})],
)
def test_constructor_argument_matching(args, kwargs):
    with pytest.raises(TypeError):
        JsonHl7(*args, **kwargs)
    assert JsonHl7(json_data=[ONE]).hl7_string == "A|x"


def test_json_data_is_a_fresh_copy_in_byte_order():
    source = [{"segment_name": "PID", "3": "x", "10": "y", "2[0]": "z", "2.1": "w", "é": "", "z": ""}]
    obj = JsonHl7(source)
    first = obj.json_data
    assert [list(d) for d in first] == [["10", "2.1", "2[0]", "3", "segment_name", "z", "é"]]
    before = obj.hl7_string
    source[0]["3"] = "changed"
    source.append({"segment_name": "NEW"})
    first[0]["3"] = "changed too"
    first.append({})
    second = obj.json_data
    assert second == [{"segment_name": "PID", "3": "x", "10": "y", "2[0]": "z", "2.1": "w", "é": "", "z": ""}]
    assert second is not first and second[0] is not first[0]
    assert obj.hl7_string == before


@pytest.mark.parametrize(
    ("args", "message"),
    [((None,), "escape"), ((1,), "escape"), ((0,), "escape"), (("yes",), "escape"),
     ((), "missing"), ((True, True), "positional")],
)
def test_convert_takes_one_bool(args, message):
    with pytest.raises(TypeError, match=message):
        JsonHl7([ONE])._convert_json_to_hl7(*args)


# --------------------------------------------------------------- from_file


@pytest.fixture
def write(tmp_path):
    def write_file(content: str | bytes) -> str:
        path = tmp_path / "records.json"
        path.write_bytes(content.encode() if isinstance(content, str) else content)
        return str(path)

    return write_file


def exception_text(call) -> str:
    with pytest.raises(Exception) as info:
        call()
    assert type(info.value) is Exception and len(info.value.args) == 1
    return info.value.args[0]


def test_from_file_reads_records(write):
    path = write('[{"segment_name": "PID", "3": "x", "3": "later"}, {}, {"1": "\\u00e9\\ud83d\\ude00"}]')
    obj = JsonHl7.from_file(path)
    assert obj.json_data == [{"3": "later", "segment_name": "PID"}, {}, {"1": "é😀"}]
    assert obj.hl7_string_unescaped == "PID|||later\n\né😀"
    assert JsonHl7.from_file(path=StrSub(path)).json_data == obj.json_data
    records = [{"segment_name": "MSH", "1": "^~\\&", "2": "A B"}, {"segment_name": "PID", "5.1": "Doe"}]
    assert JsonHl7.from_file(write(json.dumps(records))).hl7_string == JsonHl7(records).hl7_string


@pytest.mark.parametrize("content", ["[]", " [ ]\n", "\t[]\r\n  "])
def test_from_file_empty_array(write, content):
    obj = JsonHl7.from_file(write(content))
    assert obj.json_data == [] and obj.hl7_string == ""


@pytest.mark.parametrize("content", ["", " ", "\n\r\t ", "\u00a0", "\u2003\u3000\u2028", "\u0085 \u000b\u000c"])
def test_from_file_blank_is_empty_message(write, content):
    assert exception_text(lambda: JsonHl7.from_file(write(content))) == "HL7 message is empty"


@pytest.mark.parametrize(
    ("content", "fragment"),
    [
        ("\ufeff[]", "byte-order mark"),
        ("\ufeff" + '[{"segment_name": "A"}]', "byte-order mark"),
        ('["\\ud800"]', "line 1, column"),
        ('[{"a": "\\ud800"}]', "surrogate"),
        ('[{"a": "\\udc00x"}]', "surrogate"),
        ("[] x", "end of input"), ("[]]", "end of input"), ("[][]", "end of input"),
        ('[{"a": "b"}', "line 1, column"),
        ('[{"a": "b"},]', "line 1, column"),
        ('[\n{"a": "b"}\n,,]', "line 3, column"),
        ("[{'a': 'b'}]", "line 1, column"),
        ("[/* c */]", "line 1, column"),
        ('{"segment_name": "A"}', "top-level value must be an array"),
        ('"text"', "top-level value must be an array"),
        ("[1]", "element 0 of the array must be an object, found a number"),
        ("[{}, [], {}]", "element 1 of the array must be an object, found an array"),
        ('[{"a": "b"}, "c"]', "element 1 of the array must be an object, found a string"),
        ('[{"a": 5}]', 'the value of key "a" in element 0 must be a string, found a number'),
        ('[{"a": "b"}, {"x": null}]', 'the value of key "x" in element 1 must be a string, found null'),
        ('[{"a": true}]', "found a boolean"), ('[{"a": 1.5}]', "found a number"),
        ('[{"a": ["b"]}]', "found an array"), ('[{"a": {"b": "c"}}]', "found an object"),
        ('[{"a\\nb": 0}]', 'key "a<0A>b"'),
        # NUL is the parser's end of input: after the array it is refused all
        # the same, at its place.
        ("[{}]\x00", "line 1, column 5"),
        ('[{"a": "b"}]\x00[{"c": "d"}]', "line 1, column 13"),
        ("[]\n  \x00 ", "line 2, column 3"),
        ("[\x00]", "line 1, column 2"),
        # The parser stops inside a multi-byte character and quotes what it
        # read so far; the text must still be the library's Exception, not a
        # decoding error of the message itself.
        ("\u00a0[]", "last read: '<C2>'"),
        ("[\u20ac]", "last read: '[<E2>'"),
        ('[{"a": "b"}] \U0001f600', "<F0>"),
        ('{"\u00e9": 1}', "found an object"),
    ],
)
def test_from_file_invalid_json(write, content, fragment):
    text = exception_text(lambda: JsonHl7.from_file(write(content)))
    assert text.startswith("HL7 invalid format: Invalid JSON: ")
    assert fragment in text


@pytest.mark.parametrize(
    "content",
    [
        '["' + "x" * 5_000_000,  # unterminated string: the whole token is "last read"
        '[{"a": "' + "\u00e9" * 100_000 + '\u0001"}]',
        '[{"' + "k" * 100_000 + '": 1}]',
    ],
)
def test_from_file_error_text_is_bounded(write, content):
    text = exception_text(lambda: JsonHl7.from_file(write(content)))
    assert text.startswith("HL7 invalid format: Invalid JSON: ")
    assert len(text) < 700 and "(cut: " in text


def test_from_file_io_errors(tmp_path):
    missing = exception_text(lambda: JsonHl7.from_file(str(tmp_path / "missing.json")))
    assert re.fullmatch(r"I/O error: .+ \(os error 2\)", missing)
    assert re.fullmatch(r"I/O error: .+ \(os error \d+\)", exception_text(lambda: JsonHl7.from_file(str(tmp_path))))
    nul = exception_text(lambda: JsonHl7.from_file("a\0b.json"))
    assert nul == "I/O error: file name contained an unexpected NUL byte"
    latin1 = tmp_path / "latin1.json"
    latin1.write_bytes('[{"a": "é"}]'.encode("latin-1"))
    assert exception_text(lambda: JsonHl7.from_file(str(latin1))) == "I/O error: stream did not contain valid UTF-8"


def test_from_file_path_must_be_str(write, tmp_path):
    write("[]")
    for path in (None, 5, b"records.json", tmp_path / "records.json"):
        with pytest.raises(TypeError, match="path"):
            JsonHl7.from_file(path)


# ------------------------------------------------------------ the class


def test_class_surface():
    assert segmorph.__all__ == ["Hl7Json", "JsonHl7"]
    assert (JsonHl7.__module__, JsonHl7.__qualname__) == ("builtins", "JsonHl7")
    public = {name for name in dir(JsonHl7) if not name.startswith("__")}
    assert public == {"from_file", "json_data", "hl7_string", "hl7_string_unescaped", "_convert_json_to_hl7"}
    assert JsonHl7.__text_signature__ == "(json_data)"
    assert str(inspect.signature(JsonHl7)) == "(json_data)"
    assert JsonHl7.from_file.__text_signature__ == "($cls, path)"
    assert str(inspect.signature(JsonHl7.from_file)) == "(path)"
    assert JsonHl7._convert_json_to_hl7.__text_signature__ == "($self, escape)"
    assert str(inspect.signature(JsonHl7([])._convert_json_to_hl7)) == "(escape)"
    with pytest.raises(TypeError):
        type("Sub", (JsonHl7,), {})
    with pytest.raises(AttributeError):
        JsonHl7([]).extra = 1


@pytest.mark.parametrize("name", ["json_data", "hl7_string", "hl7_string_unescaped"])
def test_properties_are_read_only(name):
    obj = JsonHl7([ONE])
    before = getattr(obj, name)
    with pytest.raises(AttributeError):
        setattr(obj, name, before)
    with pytest.raises(AttributeError):
        delattr(obj, name)
    assert getattr(obj, name) == before
