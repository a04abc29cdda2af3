"""segmorph to-hl7: escaping modes, the round trip of the sample files, JSON
errors in the command's words, and arrays read element by element."""

import json
import re
import subprocess
import sys
from collections import defaultdict
from pathlib import Path

import pytest

from conftest import COMMAND, ENV, SANITIZED

CORPUS = Path(__file__).parent / "fixtures" / "corpus"

# Sample files whose text does not come back as it was, and why.  Any other
# difference is a fault.
#  - "\T\" for a literal "&": records hold it and a subcomponent separator
#    alike as "&", which goes out as "&" (counted, not listed: every file
#    holding "\T\").
#  - A lone "\" that opens no escape sequence is data, and goes out as
#    "\E\", which means the same.
LONE_ESCAPE = {"sample_unix.hl7", "sample_win.hl7"}


def run(*args, input=b""):
    return subprocess.run([str(COMMAND), *map(str, args)], input=input, capture_output=True, timeout=120, env=ENV)


def segments(text):
    lines = re.split(r"\r\n|\r|\n", text.removeprefix("\ufeff"))
    return [line.strip("\x0b\x1c") for line in lines if line.strip(" \t\x0b\x1c")]


def test_sample_files_come_back_as_they_were():
    items = run("to-json", CORPUS).stdout
    done = run("to-hl7", "--segment-end", "lf", input=items)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.decode().split("\n")
    assert lines.pop() == ""
    back = defaultdict(list)
    for raw in items.splitlines():
        item = json.loads(raw)
        n = len(item["records"]) if "records" in item else 1
        back[item["source"]] += lines[:n]
        del lines[:n]
    assert not lines
    exceptions = 0
    for path in sorted(CORPUS.rglob("*.hl7")):
        text = path.read_bytes().decode()
        want, got = segments(text), back[str(path)]
        if "\\T\\" in text or path.name in LONE_ESCAPE:
            exceptions += 1
            want = [line.replace("\\T\\", "&") for line in want]
            if path.name in LONE_ESCAPE:
                got = [line.replace("\\E\\", "\\") for line in got]
        assert got == want, path
    # The README gives this count.
    assert exceptions == 73


@pytest.mark.parametrize("args, expected", [
    ([], "MSH|^~\\&|A b\tc&d\r" "PID|1|x\\F\\y\\S\\z\\R\\w\\E\\v\\X0D\\\\X0A\\u \\.br\\ t\r"),
    (["--escape", "minimal"], "MSH|^~\\&|A b\tc&d\r" "PID|1|x\\F\\y\\S\\z\\R\\w\\E\\v\\X0D\\\\X0A\\u \\.br\\ t\r"),
    (["--escape=full"], "MSH|^~\\&|A\\X20\\b\\X09\\c\\T\\d\r"
                        "PID|1|x\\F\\y\\S\\z\\R\\w\\E\\v\\X0D\\\\X0A\\u\\X20\\\\.br\\\\X20\\t\r"),
    # (A line feed in a value is a segment end like any other.)
    (["--escape", "none"], "MSH|^~\\&|A b\tc&d\r" "PID|1|x|y^z~w\\v\r\ru \\.br\\ t\r"),
    (["--unescaped"], "MSH|^~\\&|A b\tc&d\r" "PID|1|x|y^z~w\\v\r\ru \\.br\\ t\r"),
])
def test_escape_modes(args, expected):
    records = [{"segment_name": "MSH", "1": "^~\\&", "2": "A b\tc&d"},
               {"segment_name": "PID", "1": "1", "2": "x|y^z~w\\v\r\nu \\.br\\ t"}]
    done = run("to-hl7", *args, input=json.dumps(records).encode())
    assert (done.returncode, done.stderr) == (0, b"")
    assert done.stdout.decode() == expected


def test_escape_takes_only_its_three_modes():
    done = run("to-hl7", "--escape", "some", input=b"[]")
    assert done.returncode == 2 and "invalid escape 'some' (minimal, full or none)" in done.stderr.decode()


@pytest.mark.parametrize("text, expected", [
    # JSON Lines: the line and column in the file, whatever run of lines a
    # job was given.
    ('{"records": [{"1": "a"}]}\n\n  {"records": [}\n',
     "line 3, column 16: invalid JSON: expected a JSON value, found '}'"),
    ('{"records": [{"1": "a"}]}\n{"records": [{"1": "b"', "line 2, column 23: invalid JSON: the text ends before the value is complete"),
    ('{"records": [{"1": "\u00e9", "2": null}]}', 'line 1, column 25: record 0 has the value of key "2" not a string but null'),
    ('{"records": [{"1": "\\x"}]}', "line 1, column 22: invalid JSON: invalid escaped character in string"),
    ('{"records": [{"1": "a"}] "more": 1}',
     "line 1, column 26: invalid JSON: expected a comma or a closing brace, found '\"'"),
    # An array of to-json's items: each element on its own.
    ('[{"records": [{"1": "a"}]},\n {"records": 5}]',
     'line 2, column 2: element 1 of the array: "records" must be an array, found a number'),
    ('[{"records": [{"1": "a"}]} {"records": []}]',
     "line 1, column 28: invalid JSON: expected ',' or ']' after element 0 of the array, found '{'"),
])
def test_json_errors_say_where_and_what_was_expected(text, expected):
    done = run("to-hl7", input=text.encode())
    assert done.returncode == 1
    errors = done.stderr.decode().splitlines()
    assert errors[0] == "segmorph: -: " + expected
    assert "json.exception" not in done.stderr.decode()


def test_an_array_of_items_converts_as_its_lines_do(tmp_path):
    items = run("to-json", CORPUS).stdout
    array = run("to-json", "--format", "json", CORPUS).stdout
    assert run("to-hl7", input=array).stdout == run("to-hl7", input=items).stdout


@pytest.mark.skipif(SANITIZED, reason="the sanitizers' own memory hides the figure")
def test_an_array_of_items_is_read_element_by_element(tmp_path):
    # About 86 MB of items: read whole, the array cost several times its size.
    one = json.dumps({"source": "x", "index": 0, "records": [
        {"segment_name": "MSH", "1": "^~\\&", "8.1": "ADT", "9": "1"},
        {"segment_name": "OBX", "1": "1", "5": "v" * 2000}]})
    path = tmp_path / "big.json"
    with path.open("w") as f:
        f.write("[\n" + ",\n".join([one] * 40000) + "\n]\n")
    size = path.stat().st_size
    probe = ("import resource, subprocess, sys; "
             "done = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL); "
             "print(done.returncode, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
    out = subprocess.run([sys.executable, "-c", probe, str(COMMAND), "to-hl7", str(path)], capture_output=True,
                         timeout=120, env=ENV, check=True).stdout.split()
    status, peak_kib = int(out[0]), int(out[1])
    assert status == 0
    assert peak_kib * 1024 < size / 2, (peak_kib, size)
