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


# to-json writes each line's record in one pass, in the line's order, and
# moves fields (and the items of fields with an index of ten or more) into
# key order afterwards; what a later byte changes -- a field's first "~",
# the exemption marker -- is mended by walking the field again.  Each case
# below takes one of those ways, and the command's text must be exactly the
# JSON of the module's records (whose dicts are in key order), in both modes.


def fields(n, value="v"):
    return "|".join(f"{value}{i}" for i in range(1, n + 1))


LINES = {
    "nine fields, in order as written": "ZZA|" + fields(9),
    "ten fields: 10 goes after 1": "ZZB|" + fields(10),
    "three-digit fields": "ZZC|" + fields(120),
    "ten components and twelve": "ZZD|" + "^".join("c" * i for i in range(10)) + "|" + "^".join("d" * 12),
    "a repeated field with two-digit relatives": "ZZE|a|b~c|" + fields(35),
    "a plain field with two-digit relatives": "ZZF|a|b|" + fields(35),
    "the first ~ after components": "ZZG|a^b^c~d^e|f",
    "the first ~ in a later block": "ZZH|" + "x" * 70 + "^" + "y" * 70 + "~z|w",
    "eleven repetitions, of ten components each": "ZZI|" + "~".join("^".join(str(c) for c in range(10)) for _ in range(11)),
    "the exemption marker inside a field": "ZZJ|a|b^~\\&c^d|e",
    "the exemption marker after a repetition": "ZZK|a~b^~\\&|c",
    "the exemption marker ending the line": "ZZL|a|x^~\\&",
    "escapes in a repeated field": "ZZM|a\\F\\b~c\\S\\d^e|f",
    "JSON escapes beside separators": 'ZZN|"^\t~\x01|\\|' + fields(12),
    "empty fields and components": "ZZO|||^^|~~|^~|" + "|" * 20,
    "long values, short keys": "ZZP|" + "|".join("v" * n for n in (15, 16, 17, 31, 32, 33, 64, 65, 200)),
    "no field at all": "ZZQ",
}


@pytest.mark.parametrize("escaping", [[], ["--no-escaping"]], ids=["escaping", "plain"])
@pytest.mark.parametrize("line", LINES.values(), ids=LINES.keys())
def test_records_in_key_order_as_the_module_gives_them(line, escaping):
    text = "\r".join([HEADER, line])
    records = Hl7Json(text, escaping_enabled=not escaping).hl7_json
    expected = json.dumps(records, ensure_ascii=False, separators=(",", ":"))
    assert f'"records":{expected}' in to_json(text, *escaping)


# What a later line or the input's end changes: values with nothing
# readable after them (copied the short way, and still whole); a line like
# the one before but with field 3 repeated, which is another shape ("3[0]"
# sorts after "39") than the one remembered; and a very long line, which
# takes the reference writer.
TEXTS = {
    **{
        f"values that end the input, {n} bytes": ["ZZR|" + "a" * n + "^" + "b" * n]
        for n in (0, 1, 15, 16, 17, 63, 64, 65)
    },
    "a shape seen again with other repetitions": ["ZZS|" + fields(40), "ZZS|a|b|c~d|" + fields(37), "ZZS|" + fields(40)],
    "a line too long for the scratch": [
        "ZZT|" + "|".join(["x" * 1000 + "^" + "y" * 1000] * 80) + "~" + fields(12),
        "ZZT|" + fields(12),
    ],
}


@pytest.mark.parametrize("lines", TEXTS.values(), ids=TEXTS.keys())
def test_texts_whose_end_or_earlier_lines_matter(lines):
    text = "\r".join([HEADER, *lines])
    records = Hl7Json(text).hl7_json
    assert json.dumps(records, separators=(",", ":")) in to_json(text)
