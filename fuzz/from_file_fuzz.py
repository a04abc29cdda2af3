"""Fuzz harness for the two from_file readers on mutated bytes.

Each input is written to a file and read by Hl7Json.from_file (with options
from the first byte) and by JsonHl7.from_file.  Checks, besides "no
undocumented exception" (fuzz_support.attempt):
  - content that is not UTF-8 is an I/O error, blank content (Unicode white
    space only) is "HL7 message is empty", for both readers;
  - Hl7Json keeps the text with its line breaks normalised;
  - JsonHl7 accepts exactly what Python's json module reads as a list of
    objects with str values (no lone surrogates, no byte-order mark), with
    the same records, or fails them as JsonHl7 does when they would write
    more separators than a message may; everything else is "Invalid JSON".

    python fuzz/from_file_fuzz.py [CORPUS_DIR] [-max_total_time=SECONDS] ...
"""

import json
import os
import sys
import tempfile

from fuzz_support import (SEPARATOR_BOUND, attempt, has_surrogate, main, normalise_line_breaks, sample_json_files,
                          sample_texts)

from segmorph import Hl7Json, JsonHl7

FILE = os.path.join(tempfile.mkdtemp(prefix="segmorph-fuzz-"), "input")
# Unicode White_Space: what a blank file may hold.
WHITE_SPACE = set("\t\n\x0b\x0c\r \x85\xa0\u1680\u2028\u2029\u202f\u205f\u3000") | {chr(c) for c in range(0x2000, 0x200B)}
BOM = "\ufeff"


def python_records(text: str):
    """The records Python's json module reads from `text`, or None."""
    try:
        value = json.loads(text)
    except ValueError:
        return None
    if not isinstance(value, list) or not all(isinstance(r, dict) for r in value):
        return None
    for r in value:
        for k, v in r.items():
            if not isinstance(v, str) or has_surrogate(k) or has_surrogate(v):
                return None
    return value


def error_text(err) -> str:
    assert err is not None and type(err) is Exception, err
    return err.args[0]


def test_one(data: bytes) -> None:
    with open(FILE, "wb") as f:
        f.write(data)
    opts = data[0] if data else 0
    obj, hl7_err = attempt(Hl7Json.from_file, FILE, (None, False, True)[opts % 3], None, bool(opts & 4))
    records, json_err = attempt(JsonHl7.from_file, FILE)

    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        assert error_text(hl7_err) == error_text(json_err) == "I/O error: stream did not contain valid UTF-8"
        return
    if all(c in WHITE_SPACE for c in text):
        assert error_text(hl7_err) == error_text(json_err) == "HL7 message is empty"
        return

    if hl7_err is not None:
        # A file holding a byte-order mark and white space may count as empty.
        assert text.startswith(BOM) and error_text(hl7_err) == "HL7 message is empty", hl7_err
    else:
        stored = obj.hl7_string
        assert stored == normalise_line_breaks(text) or (text.startswith(BOM) and stored == normalise_line_breaks(text[1:]))

    expected = python_records(text)
    if expected is None:
        assert error_text(json_err).startswith("HL7 invalid format: Invalid JSON: "), json_err
    elif json_err is not None:
        # Records that would write more separators than a message may.
        assert SEPARATOR_BOUND.fullmatch(error_text(json_err)), json_err
        _, err = attempt(JsonHl7, expected)
        assert err is not None and err.args == json_err.args, err
    else:
        assert records.json_data == [dict(sorted(r.items(), key=lambda kv: kv[0].encode())) for r in expected]


if __name__ == "__main__":
    main(test_one, lambda: sample_texts() + sample_json_files())
