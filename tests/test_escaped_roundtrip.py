"""HL7 text -> records -> HL7 text with escaping on both sides.

The records of a message, parsed with escape decoding, assemble with
escaping into a text that parses back into the same records; that text is
standard HL7 that another reader (python-hl7) takes to the same values.
"""

from __future__ import annotations

import pathlib
import re

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from conftest import messages_of
from segmorph import Hl7Json, JsonHl7

CORPUS = pathlib.Path(__file__).resolve().parent / "fixtures" / "corpus"
CORPUS_FILES = sorted(CORPUS.rglob("*.hl7"))


def escaped_round_trip(records: list[dict[str, str]]) -> list[dict[str, str]]:
    return Hl7Json(JsonHl7(records).hl7_string).hl7_json


def test_corpus_is_present():
    assert len(CORPUS_FILES) >= 150


@pytest.mark.parametrize("path", CORPUS_FILES, ids=lambda p: f"{p.parent.name}/{p.name}")
def test_corpus_messages_read_back(path):
    text = path.read_bytes().decode("utf-8")
    records = Hl7Json(text).hl7_json
    assert escaped_round_trip(records) == records
    from_file = Hl7Json.from_file(str(path)).hl7_json
    assert escaped_round_trip(from_file) == from_file
    assert from_file[0]["segment_name"] in ("MSH", "BHS", "FHS")


# Pieces that steer the parser and the codec: separators, known and unknown
# sequences (closed, unclosed, with line breaks inside), spaces, the header
# names and the encoding characters in their usual and malformed forms.
TOKENS = [
    "|", "^", "~", "\\", "&", " ", "\t", "A", "b7", "é", "€", "😀",
    "\\F\\", "\\S\\", "\\R\\", "\\T\\", "\\E\\", "\\\\", "\\X0D0A\\", "\\X20\\", "\\X0A\\",
    "\\.br\\", "\\H\\", "\\N\\", "\\X41\\", "\\Xe9\\", "\\x0a\\", "\\Zz9\\", "\\ \\", "\\é\\",
    "\\F", "\\.br", "\\X0", "D\\", "\\X0D\n\\", "\\.b\rr\\",
    "MSH|", "BHS|", "FHS|", "msh|", "^~\\&", "^~\\\\&", "^~\\&#",
]
LINE = st.lists(st.sampled_from(TOKENS), max_size=14).map("".join)


@settings(max_examples=600, deadline=None)
@given(messages_of(LINE, 6))
@example("MSH|^~\\\\&|A\\.br\\\\.br\\B^C\\S\\D")
@example("X|\\.br\\\\.br\\|\\\\.br\\|\\E\\.br\\E\\")
@example("X|\\H\\N\\|a\\Zz9\\F\\")
@example("X|\\E\\F\\E\\|\\E\\\\E\\.br\\E\\|\\E\\X0D\\E\\")
@example("BHS|~|a~b\nFHS|\\F\\")
def test_generated_messages_read_back(text):
    records = Hl7Json(text).hl7_json
    assert escaped_round_trip(records) == records


@pytest.mark.parametrize("name", ["MSH", "BHS", "FHS"])
@pytest.mark.parametrize("key", ["1", "1.2", "1[0]", "1[1].2", "+01", "01.1"])
def test_header_field_1_is_written_verbatim(name, key):
    records = [{"segment_name": name, key: "^~\\&", "2": "^~\\&"}]
    line = JsonHl7(records).hl7_string
    assert line.endswith("^~\\&|\\S\\\\R\\\\E\\\\T\\")
    assert "^~\\&" not in line.removesuffix("^~\\&|\\S\\\\R\\\\E\\\\T\\")


@pytest.mark.parametrize("name", ["msh", "MSH ", "\ufeffMSH", "MSHX", "PID", ""])
def test_other_segments_escape_field_1(name):
    assert JsonHl7([{"segment_name": name, "1": "^~\\&"}]).hl7_string == name + "|\\S\\\\R\\\\E\\\\T\\"


@pytest.mark.parametrize("escaping", [True, False])
@pytest.mark.parametrize("header", ["^~\\\\&", "^~\\&#", "^", "~", "\\S\\", ""])
def test_malformed_header_survives(escaping, header):
    text = f"MSH|{header}|A\nPID|1"
    records = Hl7Json(text, escaping_enabled=escaping).hl7_json
    assert records[0] == {"1": header, "2": "A", "segment_name": "MSH"}
    assert JsonHl7(records).hl7_string == text
    assert JsonHl7(records).hl7_string_unescaped == text


class TestByteOrderMark:
    def write(self, tmp_path, text):
        path = tmp_path / "m.hl7"
        path.write_bytes(text.encode())
        return str(path)

    @pytest.mark.parametrize("escaping", [True, False])
    def test_dropped_by_hl7_file_reading(self, tmp_path, escaping):
        obj = Hl7Json.from_file(self.write(tmp_path, "\ufeffMSH|^~\\&|A\r"), escaping_enabled=escaping)
        assert obj.hl7_string == "MSH|^~\\&|A\n"
        assert obj.hl7_json[0] == {"1": "^~\\&", "2": "A", "segment_name": "MSH"}

    @pytest.mark.parametrize("text", ["\ufeff", "\ufeff \r\n\t", "\ufeff\u3000"])
    def test_mark_alone_is_empty(self, tmp_path, text):
        with pytest.raises(Exception, match="^HL7 message is empty$"):
            Hl7Json.from_file(self.write(tmp_path, text))

    def test_kept_by_the_constructor(self):
        assert Hl7Json("\ufeffMSH|a").hl7_json[0]["segment_name"] == "\ufeffMSH"

    def test_still_refused_in_json_files(self, tmp_path):
        with pytest.raises(Exception, match="byte-order mark"):
            JsonHl7.from_file(self.write(tmp_path, '\ufeff[{"segment_name": "A"}]'))


# --- another reader -----------------------------------------------------------

def normalised(text: str) -> str:
    text = text.removeprefix("\ufeff")
    return text.replace("\r\n", "\n").replace("\n\r", "\n").replace("\r", "\n")


def components_seen_by_python_hl7(text: str) -> dict[tuple[int, int, int, int], tuple[str, str]]:
    """(segment, field, repetition, component) -> (raw text, text decoded by
    python-hl7 itself), subcomponents joined; fields numbered as segmorph
    numbers them."""
    hl7 = pytest.importorskip("hl7")
    message = hl7.parse(text.replace("\n", "\r"))
    seen = {}
    for s, segment in enumerate(message):
        # python-hl7 counts a header's field separator as its field 1
        first = 2 if str(segment[0]) in HEADERS else 1
        for f, field in enumerate(segment[first:], 1):
            for r, rep in enumerate(field):
                for c, comp in enumerate([rep] if isinstance(rep, str) else rep, 1):
                    seen[s, f, r, c] = str(comp), message.unescape(str(comp))
    return seen


HEADERS = ("MSH", "BHS", "FHS")
KEY = re.compile(r"(\d+)(?:\[(\d+)\])?(?:\.(\d+))?")


def malformed(raw: str) -> bool:
    """An unclosed or empty sequence, which readers take each their own way."""
    return raw.count("\\") % 2 == 1 or "\\\\" in raw


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # python-hl7's own logging calls
@pytest.mark.parametrize("path", CORPUS_FILES, ids=lambda p: f"{p.parent.name}/{p.name}")
def test_python_hl7_reads_the_escaped_output(path):
    # python-hl7 strips white space around a whole message
    text = normalised(path.read_bytes().decode("utf-8")).strip()
    records = Hl7Json(text).hl7_json
    seen = components_seen_by_python_hl7(JsonHl7(records).hl7_string)
    original = components_seen_by_python_hl7(text)
    # The same structure and the same values as python-hl7 takes from the
    # original message, wherever that is well formed...
    assert seen.keys() == original.keys()
    for position, (raw, value) in original.items():
        if not malformed(raw):
            assert seen[position][1] == value, position
    # ...and segmorph's own values, wherever those hold no escape character
    # (a sequence kept whole, which python-hl7 reads as formatting).
    for s, record in enumerate(records):
        for key, value in record.items():
            if key == "segment_name" or "\\" in value:
                continue
            field, rep, comp = KEY.fullmatch(key).groups()
            assert seen[s, int(field), int(rep or 0), int(comp or 1)][1] == value, key
