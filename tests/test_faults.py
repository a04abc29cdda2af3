"""Faults found in use: batch envelopes in a legacy character set, a stop
signal against a stalled reader, memory near --max-message-bytes."""

import subprocess
import sys
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import segmorph_batch
from conftest import SANITIZED, Hl7Json
from test_cli import COMMAND, ENV, jsonl, run

pyarrow = pytest.importorskip("pyarrow")

TIMEOUT = 60

# ------------------------------------------------- envelope character sets

MSH_LATIN1 = "MSH|^~\\&|APP|FAC|R|RF|20240101||ADT^A01|1|P|2.5||||||8859/1"
MSH_PLAIN = "MSH|^~\\&|APP|FAC|R|RF|20240101||ADT^A01|1|P|2.5"
MSH_UTF8 = "MSH|^~\\&|APP|FAC|R|RF|20240101||ADT^A01|1|P|2.5||||||UNICODE UTF-8"
FHS = "FHS|^~\\&|Fäc"
BHS = "BHS|^~\\&|Bäc"
BTS = "BTS|1|Schön"
FTS = "FTS|1|Grüße"


def batch(*lines, charset="latin-1"):
    return "\r".join(lines).encode(charset) + b"\r"


def envelope_values(items):
    return [i["envelope"]["2"] for i in items if "envelope" in i]


@pytest.mark.parametrize("lines, values, error", [
    # A Latin-1 batch: its lines are read as its messages declare.
    ([FHS, BHS, MSH_LATIN1, "PID|1||1||Müller", BTS, FTS], ["Fäc", "Bäc", "Schön", "Grüße"], None),
    # Headers follow the message after them, trailers the one before.
    ([FHS, MSH_LATIN1, MSH_PLAIN, BTS], ["Fäc"],
     "envelope segment: HL7 encoding error: byte 0xF6 at offset 9 is not UTF-8 and MSH-18 of the message before it"
     " declares no character set"),
    ([BTS, MSH_LATIN1], [],
     "envelope segment: HL7 encoding error: byte 0xF6 at offset 9 is not UTF-8 and there is no message before it"
     " to declare a character set"),
    ([MSH_LATIN1, FHS], [],
     "envelope segment: HL7 encoding error: byte 0xE4 at offset 10 is not UTF-8 and there is no message after it"
     " to declare a character set"),
    ([FHS, MSH_UTF8], [],
     "envelope segment: HL7 encoding error: byte 0xE4 at offset 10 is not UTF-8, which MSH-18 of the message after"
     " it declares"),
])
@pytest.mark.parametrize("jobs", ["1", "2"])
def test_envelope_segments_are_read_in_the_character_set_of_their_messages(tmp_path, lines, values, error, jobs):
    path = tmp_path / "batch.hl7"
    path.write_bytes(batch(*lines))
    done = run("to-json", "-j", jobs, path, check_status=1 if error else 0)
    assert envelope_values(jsonl(done.stdout)) == values
    if error:
        assert f"segmorph: {path}: {error}".encode() in done.stderr
    # validate reads no envelope segment at all, whatever its bytes.
    run("validate", path, check_status=0)


def test_a_header_waits_for_its_message_on_a_stream():
    # The header arrives on its own; the message that declares its
    # character set comes later, and decides it all the same.
    proc = subprocess.Popen([str(COMMAND), "to-json"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=ENV)
    try:
        proc.stdin.write(batch(FHS, BHS))
        proc.stdin.flush()
        time.sleep(0.3)
        proc.stdin.write(batch(MSH_LATIN1, "PID|1", BTS))
        proc.stdin.close()
        assert proc.wait(TIMEOUT) == 0, proc.stderr.read()
        items = jsonl(proc.stdout.read())
    finally:
        proc.kill()
    assert envelope_values(items) == ["Fäc", "Bäc", "Schön"]
    assert [i.get("index") for i in items] == [None, None, 0, None]


# ------------------------------------------------- lines of a message

BREAKS = ["\r", "\n", "\r\n", "\n\r", "\r\r", "\n\n", "\r\n\r", "\n\r\n", "\r\r\n"]
LINES = ["PID|1|x^y~z", "OBX|1|a\\F\\b", "", " \t", "NTE|", "ZZZ"]


@settings(max_examples=300, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(BREAKS), st.sampled_from(LINES)), max_size=8))
def test_the_lines_of_a_message_with_mixed_breaks_are_those_of_hl7json(rest):
    # Every source of records walks a message's lines in place, whatever
    # mix of breaks it has; they must be the lines Hl7Json makes of it.
    text = "MSH|^~\\&|A" + "".join(brk + line for brk, line in rest)
    lines = [line for line in Hl7Json(text).hl7_string.split("\n") if line.strip(" \t\v\f")]
    expected = Hl7Json("\n".join(lines)).hl7_json
    segments = pyarrow.table(segmorph_batch.to_arrow(text.encode())).column("segments").to_pylist()[0]
    assert [dict(s) for s in segments] == expected
    done = run("to-json", "-", input=text.encode(), check_status=0)
    assert jsonl(done.stdout)[0]["records"] == expected


# ----------------------------------------------------------------- memory

def peak_kib_of(*args):
    """The command's peak resident memory: run from a fresh interpreter,
    whose only child it is."""
    script = ("import resource, subprocess, sys\n"
              "done = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL)\n"
              "print(done.returncode, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
    done = subprocess.run([sys.executable, "-c", script, str(COMMAND), *map(str, args)], capture_output=True,
                          timeout=TIMEOUT, env=ENV, check=True)
    status, kib = map(int, done.stdout.split())
    assert status == 0
    return kib


@pytest.mark.skipif(SANITIZED, reason="the sanitizers' own memory hides the figure")
@pytest.mark.parametrize("brk", [b"\r", b"\r\n"])
def test_a_message_near_the_limit_costs_about_its_size_twice(tmp_path, brk):
    # One 48 MB field (a document in OBX-5): the message is read in rounds
    # that grow to its size, and its JSON is as large again.  Nothing more
    # may stay behind: not the larger rounds before the last, not a copy to
    # mend its breaks.
    size = 48 << 20
    header = b"MSH|^~\\&|APP|FAC|R|RF|20240101||ORU^R01|1|P|2.5"
    path = tmp_path / "large.hl7"
    path.write_bytes(brk.join([header, b"PID|1", b"OBX|1|ED|PDF||" + b"A" * size, header, b""]))
    # The program's own footprint (its libraries, TLS among them) is
    # measured on a small message and not counted.
    small = tmp_path / "small.hl7"
    small.write_bytes(brk.join([header, b"PID|1", b""]))
    base = peak_kib_of("to-json", small)
    assert (peak_kib_of("to-json", "--max-message-bytes", "56M", path) - base) * 1024 < 2.4 * size
