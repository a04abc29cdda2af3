"""HL7 text -> records -> HL7 text gives back the text, line breaks aside.

With escape decoding off on the way in and escaping off on the way out, the
records of a parsed message carry every character of every line, and the
assembly puts them back in place.
"""

from __future__ import annotations

import json
import pathlib

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from conftest import messages_of
from segmorph import Hl7Json, JsonHl7

FIXTURES = pathlib.Path(__file__).resolve().parent / "fixtures"
SAMPLES = sorted(FIXTURES.glob("*.hl7"))


def normalise_line_breaks(text: str) -> str:
    return text.replace("\r\n", "\n").replace("\n\r", "\n").replace("\r", "\n")


def round_trip(text: str) -> str:
    records = Hl7Json(text, escaping_enabled=False).hl7_json
    return JsonHl7(records).hl7_string_unescaped


def test_fixtures_are_present():
    assert len(SAMPLES) >= 5


@pytest.mark.parametrize("path", SAMPLES, ids=lambda p: p.name)
def test_sample_messages(path, tmp_path):
    text = path.read_bytes().decode("utf-8")
    expected = normalise_line_breaks(text)
    assert round_trip(text) == expected

    # the same through a JSON file, and through Hl7Json.from_file, which
    # drops a byte-order mark
    records = Hl7Json.from_file(str(path), escaping_enabled=False).hl7_json
    target = tmp_path / "records.json"
    target.write_text(json.dumps(records, ensure_ascii=False), encoding="utf-8")
    assert JsonHl7.from_file(str(target)).hl7_string_unescaped == expected.removeprefix("\ufeff")


@pytest.mark.parametrize("path", SAMPLES, ids=lambda p: p.name)
def test_sample_messages_with_other_line_breaks(path):
    lines = normalise_line_breaks(path.read_bytes().decode("utf-8")).split("\n")
    for sep in ("\r", "\r\n"):
        assert round_trip(sep.join(lines)) == "\n".join(lines)


@pytest.mark.parametrize("path", SAMPLES, ids=lambda p: p.name)
def test_sample_records_survive_json_data(path):
    records = Hl7Json(path.read_bytes().decode("utf-8"), escaping_enabled=False).hl7_json
    obj = JsonHl7(records)
    assert obj.json_data == records
    assert [list(r) for r in obj.json_data] == [sorted(r, key=str.encode) for r in records]


# Messages are built from the characters that steer the parser, a few
# letters and some non-ASCII text, so that separators, empty pieces and the
# "^~\&" marker show up often.
PIECE = st.text(alphabet=st.sampled_from(list("|^~\\&AB1 ") + ["é", "€", "😀", "\t"]), max_size=12)
LINE = st.lists(
    st.one_of(PIECE, st.just("^~\\&"), st.sampled_from(["MSH", "PID", "OBX", ""])), max_size=8
).map("".join)


@settings(max_examples=400, deadline=None)
@given(messages_of(LINE, 8))
@example("")
@example("\n")
@example("MSH|^~\\&|APP|FAC\nPID|1||Doe^John^^^Dr|a~b^c~|\n")
@example("X|a^~\\&b~c|~|^|~^~")
@example("|||\n\n|")
def test_generated_messages(text):
    assert round_trip(text) == normalise_line_breaks(text)


@settings(max_examples=200, deadline=None)
@given(st.lists(st.dictionaries(st.text(max_size=6), st.text(max_size=6), max_size=6), max_size=4))
def test_any_records_assemble(records):
    """Arbitrary keys and values always assemble, one line per record when
    no text holds a line break (escaping turns those in values into
    sequences, so only the name can add lines then)."""
    obj = JsonHl7(records)
    plain = obj.hl7_string_unescaped
    escaped = obj.hl7_string
    assert obj._convert_json_to_hl7(False) == plain
    lines = max(len(records) - 1, 0)
    if not any("\n" in r.get("segment_name", "") for r in records):
        assert escaped.count("\n") == lines
        if not any("\n" in v for r in records for v in r.values()):
            assert plain.count("\n") == lines
