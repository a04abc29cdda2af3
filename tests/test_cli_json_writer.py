"""The command's JSON text for values of every length, with a byte that JSON
escapes (or a non-ASCII character) at every place: the writer tests and
copies values many bytes at a time and must find each such byte wherever it
falls.  Keys are written from their numbers, up to three digits and past."""

import json
import subprocess

import pytest

from segmorph import Hl7Json
from conftest import COMMAND, ENV

HEADER = "MSH|^~\\&|APP|FAC|RAPP|RFAC|20240101||ADT^A01^ADT_A01|1|P|2.5|2.5"


def to_json(text, *options):
    done = subprocess.run([str(COMMAND), "to-json", *options], input=text.encode(), capture_output=True,
                          timeout=60, env=ENV)
    assert done.returncode == 0, done.stderr.decode(errors="replace")
    return done.stdout.decode()


@pytest.mark.parametrize("special", ['"', "\\", "\t", "\x01", "\x1f", "\x7f", "é", "\u2028"])
def test_values_of_every_length(special):
    # In plain mode "\" is data, not the start of an escape sequence.
    lines = [HEADER]
    for length in range(1, 41):
        for at in {0, length // 2, length - 1}:
            lines.append("ZZZ|" + "a" * at + special + "b" * (length - at - 1))
    text = "\r".join(lines)
    out = to_json(text, "--no-escaping")
    records = Hl7Json(text, escaping_enabled=False).hl7_json
    assert json.loads(out)["records"] == records
    # The exact text too: json.dumps writes these bytes as the command does.
    assert json.dumps(records, ensure_ascii=False, separators=(",", ":")) in out


def test_long_keys_and_decoded_values():
    text = "\r".join([HEADER, "ZZZ|" + "|" * 1000 + "x^" * 1000 + "x|" + "y~" * 12 + "\\T\\\\X09\\"])
    out = json.loads(to_json(text))
    assert out["records"] == Hl7Json(text).hl7_json
    assert out["records"][1]["1001.1001"] == "x" and out["records"][1]["1002[12]"] == "&\t"
