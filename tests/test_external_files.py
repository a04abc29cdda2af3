"""Untidy files from the test data of other public HL7 projects (see
fixtures/external/NOTICE.md): short and declared headers, stray framing,
mixed line breaks, fuzzer output.  Each converts, and its records survive
a round trip through to-hl7 unchanged."""

import json
import subprocess
from pathlib import Path

import pytest

from conftest import COMMAND, ENV

FILES = sorted(p for p in (Path(__file__).parent / "fixtures" / "external").iterdir() if p.name != "NOTICE.md")
# What a file needs beyond the defaults: the one raw cp1252 byte names no
# character set, so the command asks for one.
OPTIONS = {"python-hl7__cp1252_byte.hl7": ["--encoding", "cp1252"]}


def run(*args, input=b""):
    return subprocess.run([str(COMMAND), *map(str, args)], input=input, capture_output=True, timeout=60, env=ENV)


def records(jsonl):
    return [json.loads(line).get("records") for line in jsonl.decode().splitlines()]


@pytest.mark.parametrize("path", FILES, ids=lambda p: p.name)
def test_real_files_convert_and_come_back_as_the_same_records(path):
    options = OPTIONS.get(path.name, [])
    first = run("to-json", "--no-escaping", *options, path)
    assert first.returncode == 0, first.stderr.decode()
    assert any(records(first.stdout))
    back = run("to-hl7", "--escape", "none", input=first.stdout)
    assert back.returncode == 0, back.stderr.decode()
    again = run("to-json", "--no-escaping", input=back.stdout)
    assert [r for r in records(again.stdout) if r] == [r for r in records(first.stdout) if r]


def test_a_cp1252_file_without_a_declared_set_asks_for_one():
    done = run("to-json", Path(__file__).parent / "fixtures" / "external" / "python-hl7__cp1252_byte.hl7")
    assert done.returncode == 1 and b"--encoding latin-1, cp1252 or utf-8" in done.stderr
