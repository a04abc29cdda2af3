"""Framing and the standard rules find line breaks a block of bytes at a
time: lines of every length around the block sizes, with every kind of
break, blank lines and stray control bytes, must cut and count exactly as
reading them byte by byte does."""

import itertools
import subprocess

import pytest

from conftest import COMMAND, ENV

HEADER = "MSH|^~\\&|APP|FAC|RAPP|RFAC|20240101||ADT^A01^ADT_A01|1|P|2.5|2.5"
LENGTHS = [0, 1, 14, 15, 16, 17, 46, 47, 48, 59, 60, 61, 62, 63, 64, 65, 127, 128, 129, 200]
BREAKS = ["\r", "\n", "\r\n", "\n\r"]


def run(*args, input):
    return subprocess.run([str(COMMAND), *args], input=input, capture_output=True, timeout=120, env=ENV)


def message(length, brk, bad_last):
    """A header, two segments of `length` bytes of data (with a tab and a
    form feed, which are not breaks), blank lines between them, and a last
    segment whose name the rules refuse when `bad_last`."""
    data = ("x\t" * length)[:length].replace("x\t", "x\f", 1)
    lines = [HEADER, "PID|" + data, "", " \t", "OBX|1|" + data, "\x0b", "obx|1" if bad_last else "NTE|1"]
    return brk.join(lines) + brk


@pytest.mark.parametrize("length, brk", list(itertools.product(LENGTHS, BREAKS)))
def test_segments_are_counted_past_long_lines_and_blank_lines(length, brk):
    good = run("validate", "-", input=message(length, brk, False).encode())
    assert good.stdout == b"-:0: ok\n"
    bad = run("validate", "-", input=message(length, brk, True).encode())
    # Blank lines are not segments: the refused one is the fourth.
    assert bad.stdout.decode().startswith('-:0: HL7 validation failed: segment 4 has the name "obx"')


@pytest.mark.parametrize("length", LENGTHS)
def test_messages_begin_at_every_header_whatever_the_line_lengths(length):
    # Headers after lines of every length, so that they fall at every place
    # of a block; an envelope line, and lines that start like a header.
    segments = []
    for shift in range(0, 70, 7):
        segments += [HEADER.replace("|1|P|", f"|{shift}|P|"), "PID|" + "y" * (length + shift), "MSA|AA|1"]
    text = "\r".join(segments[:15] + ["BTS|5"] + segments[15:]) + "\r"
    checked = run("validate", "-", input=text.encode()).stdout.decode().splitlines()
    assert checked == [f"-:{n}: ok" for n in range(10)]
    converted = run("to-json", "-", input=text.encode())
    assert converted.returncode == 0
    assert converted.stdout.count(b'"envelope"') == 1
    # Each MSA line stays a segment of the message it is in.
    assert converted.stdout.count(b'"segment_name":"MSA"') == 10
    assert converted.stdout.count(b'"index":') == 10


@pytest.mark.parametrize("text, ok", [
    # Bytes that are not ASCII at every place of a long line: valid UTF-8
    # passes, a byte that is not (and no declared character set) fails.
    *[(HEADER + "\rPID|" + "a" * n + "é" + "b" * (70 - n), True) for n in range(0, 70, 3)],
    *[(HEADER + "\rPID|" + "a" * n + "\udcff" + "b" * (70 - n), False) for n in range(0, 70, 3)],
])
def test_the_utf8_check_finds_a_bad_byte_anywhere(text, ok):
    done = run("validate", "-", input=text.encode("utf-8", "surrogateescape"))
    assert (done.stdout == b"-:0: ok\n") == ok
    if not ok:
        assert b"byte 0xFF at offset" in done.stdout
