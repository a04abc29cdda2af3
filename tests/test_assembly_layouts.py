"""A record of a shape met before is written from the remembered layout, in
a loop of its own (values copied and looked at sixteen bytes at a time, a
record with nothing to escape written with no look per value).  The same
records written the first time, by the general path, and again, by the
remembered one, must give the same text, escaped or not, at every length
around the blocks' edges."""

from __future__ import annotations

import json
import subprocess

import pytest

from conftest import COMMAND, ENV
from segmorph import Hl7Json, JsonHl7

BASE = "abcdefghijklmnopqrstuvwxyz0123456789" * 4


def values():
    for n in (1, 15, 16, 17, 31, 32, 33, 63, 64, 65, 80, 130):
        plain = BASE[:n]
        yield plain
        for at in sorted({0, n // 2, n - 1}):
            yield plain[:at] + "|" + plain[at + 1:]
    yield from ("", "a b", "x&y", "~^|", "\\.br\\", "a\\b", "tab\there", "line\nbreak", "cr\rx", " " * 40)
    # Long ones: many bytes to escape in a block, and kept sequences that
    # cross from one block of 16 into the next.
    yield from ("word " * 12, "x" * 14 + "\\.br\\" + "y" * 20, "z" * 15 + "\\H\\" + "|" * 20, "\\" * 40,
                "q" * 30 + "\\X0D\\" + "&" * 9, "a" * 15 + "\\")


@pytest.mark.parametrize("index, value", list(enumerate(values())))
def test_remembered_layout_writes_what_the_first_write_did(index, value):
    # A field of its own per case makes the shape new to this thread, so
    # the first write takes the general path.  The header's field 1 is
    # written as it is, also from the layout.
    records = [
        {"segment_name": "MSH", "1": "^~\\&", "2": value},
        {"segment_name": "ZQA", "1": value, "2.1": value, "2.2": "x", str(300 + index): "end"},
    ]
    for getter in ("hl7_string", "hl7_string_unescaped"):
        first, again = (getattr(JsonHl7(records), getter) for _ in range(2))
        assert again == first
    # Any value in a header's field 1 is written as it is, long ones too.
    header = [{"segment_name": "BHS", "1": value, "2": "y", str(300 + index): "z"}]
    first, again = (JsonHl7(header).hl7_string for _ in range(2))
    assert again == first and first.startswith("BHS|" + value + "|y|")
    text = JsonHl7(records).hl7_string
    back = Hl7Json(text).hl7_json
    assert back[0]["2"] == back[1]["1"] == value
    assert JsonHl7(records).hl7_string_unescaped.startswith("MSH|^~\\&|" + value + "\nZQA|" + value + "|")


def test_command_writes_every_copy_of_a_message_alike():
    # Minimal escaping (the command's default), where "&", spaces and tabs
    # stay as they are: the first copy goes the general way, the rest from
    # the layout, with and without anything to escape in the record.
    vals = list(values())
    message = [{"segment_name": "MSH", "1": "^~\\&", "2": "S"}]
    message += [{"segment_name": "ZQB", "1": v, "2": "plain", "3.2": v} for v in vals]
    message.append({"segment_name": "ZQC", "1": "nothing to escape", "2": BASE[:70]})
    line = json.dumps(message)
    out = subprocess.run([str(COMMAND), "to-hl7", "--segment-end", "lf", "-"], input=(line + "\n") * 3,
                         capture_output=True, text=True, timeout=60, env=ENV)
    assert out.returncode == 0, out.stderr
    segments = out.stdout.split("\n")[:-1]
    n = len(message)
    assert len(segments) == 3 * n
    assert segments[:n] == segments[n:2 * n] == segments[2 * n:]
    assert segments[1 + vals.index("x&y")] == "ZQB|x&y|plain|^x&y"
    assert segments[1 + vals.index("~^|")] == "ZQB|\\R\\\\S\\\\F\\|plain|^\\R\\\\S\\\\F\\"
