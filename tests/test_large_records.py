"""Records of any size: a message that segmorph parsed assembles back
whatever its indices (fields, repetitions, components far past 100,000),
in the module and through the command; and records that ask for more
separators than a message may write fail, naming the record and key,
rather than losing values."""

import json
import re
import subprocess

import pytest

from conftest import COMMAND, ENV
from segmorph import Hl7Json, JsonHl7

N = 200_000  # past the 100,000 once taken as the largest index, and past 2**17

MSH = "MSH|^~\\&|APP|FAC|RAPP|RFAC|20240101||ADT^A01|1|P|2.5"


def big_messages():
    values = [f"v{i}" for i in range(N)]
    return {
        "repetitions": MSH + "\nPID|1||" + "~".join(values) + "\nPV1|1",
        "fields": MSH + "\nZFL|" + "|".join(values),
        "components": MSH + "\nOBX|1|ST|" + "^".join(values) + "|x",
        "empty repetitions": MSH + "\nPID|1|" + "~" * N + "end",
        "empty components": MSH + "\nPID|1|" + "^" * N,
        # every kind at once in one segment, and many such segments
        "mixed": MSH + ("\nZMX|" + "~".join(["^".join(["c"] * 300)] * 300) + "|" * 1000 + "z") * 3,
    }


MESSAGES = big_messages()


def run(*args, input=b""):
    return subprocess.run([str(COMMAND), *map(str, args)], input=input, capture_output=True, timeout=300, env=ENV)


@pytest.mark.parametrize("name", MESSAGES)
def test_parsed_message_assembles_back_in_the_module(name, tmp_path):
    text = MESSAGES[name]
    records = Hl7Json(text, escaping_enabled=False).hl7_json
    assert JsonHl7(records).hl7_string_unescaped == text
    # and from a file, read by the module's JSON readers
    path = tmp_path / "records.json"
    path.write_text(json.dumps(records), encoding="utf-8")
    assert JsonHl7.from_file(str(path)).hl7_string_unescaped == text


@pytest.mark.parametrize("name", MESSAGES)
def test_parsed_message_assembles_back_through_the_command(name, tmp_path):
    text = MESSAGES[name]
    source = tmp_path / "big.hl7"
    source.write_bytes(text.encode())
    items = run("to-json", source)
    assert items.returncode == 0, items.stderr
    back = run("to-hl7", "--segment-end", "lf", input=items.stdout)
    assert (back.returncode, back.stderr) == (0, b"")
    assert back.stdout.decode() == text + "\n"
    # An array of records, one message, read whole.
    array = tmp_path / "records.json"
    array.write_text(json.dumps(json.loads(items.stdout)["records"]), encoding="utf-8")
    back = run("to-hl7", "--segment-end", "lf", array)
    assert (back.returncode, back.stdout.decode()) == (0, text + "\n"), back.stderr


BOUND_TEXT = ('record 1: key "1[999999999]" would write 1000000000 separators, but only 1000063 are left '
              "of the 1000064 a message may write (1,000,000 plus 16 per value)")
HUGE = [{"segment_name": "MSH", "1": "^~\\&"}, {"segment_name": "PID", "1[999999999]": "x"}]
GOOD = [{"segment_name": "MSH", "1": "^~\\&", "2": "ok"}]


@pytest.mark.parametrize(
    ("layout", "where"),
    [
        ("lines", "line 2, column 1: "),
        # (the element is placed where it starts, after "[" and the first one)
        ("items", f"line 1, column {len(json.dumps([{'records': GOOD}])) + 2}: element 1 of the array: "),
        ("records", "line 1, column 1: "),
    ],
)
def test_the_command_fails_the_item_asking_for_a_huge_gap(layout, where, tmp_path):
    # That item fails with the error and counts as a failure; the other
    # items are written.
    if layout == "lines":
        data = "\n".join(json.dumps({"records": r}) for r in (GOOD, HUGE, GOOD)) + "\n"
    elif layout == "items":
        data = json.dumps([{"records": r} for r in (GOOD, HUGE, GOOD)])
    else:
        data = json.dumps(HUGE)
    path = tmp_path / "in.json"
    path.write_text(data, encoding="utf-8")
    done = run("to-hl7", "--segment-end", "lf", path)
    assert done.returncode == 1
    assert done.stderr.decode().splitlines()[0] == f"segmorph: {path}: {where}{BOUND_TEXT}"
    assert done.stdout.decode() == ("" if layout == "records" else "MSH|^~\\&|ok\n" * 2)
    # The same records in the module fail where they are read.
    with pytest.raises(Exception, match="^" + re.escape("HL7 invalid format: " + BOUND_TEXT) + "$"):
        JsonHl7(HUGE)


@pytest.mark.parametrize("records", [9, 1000])
def test_output_stays_bounded(records):
    # Each record asks for a gap of 100,000 "~" with two entries: records
    # are written while the separators of all fit, and a message of more
    # fails as a whole.
    held = [{"segment_name": "G", "1[100000]": "x"}] * records
    allowed = 1_000_000 + 16 * 2 * records
    if 100_001 * records > allowed:
        with pytest.raises(Exception, match=f"^HL7 invalid format: record {allowed // 100_001}: "):
            JsonHl7(held)
        return
    text = JsonHl7(held).hl7_string_unescaped
    assert len(text) <= allowed + 3 * records
