"""Faults found in use: batch envelopes in a legacy character set, a stop
signal against a stalled reader, memory near --max-message-bytes."""

import subprocess
import time

import pytest

from test_cli import COMMAND, ENV, jsonl, run

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
