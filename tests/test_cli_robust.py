"""The segmorph command under an operator's faults: signals, live and
stalled pipes, a full disk, inputs without message ends, cut captures."""

import json
import os
import select
import signal
import subprocess
import time
from pathlib import Path

import pytest

from test_cli import COMMAND, CORPUS_FILES, ENV, HEADER, PID, jsonl, run

MESSAGE = f"{HEADER}\r{PID}\r".encode()
TIMEOUT = 60


def start(*args, stdin=subprocess.PIPE, stdout=subprocess.PIPE):
    return subprocess.Popen([str(COMMAND), *map(str, args)], stdin=stdin, stdout=stdout, stderr=subprocess.PIPE,
                            env=ENV)


def wait_until(condition, what):
    deadline = time.monotonic() + TIMEOUT
    while not condition():
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.01)


def readable(stream, seconds=TIMEOUT):
    return bool(select.select([stream], [], [], seconds)[0])


@pytest.fixture(scope="module")
def big_feed(tmp_path_factory):
    """About 25 MB of real messages: many output pieces, a run of a second or so."""
    path = tmp_path_factory.mktemp("feed") / "big.hl7"
    corpus = b"".join(p.read_bytes() for p in CORPUS_FILES)
    path.write_bytes(corpus * (25_000_000 // len(corpus) + 1))
    return path


# ------------------------------------------------------------------ signals

def assert_whole_lines(data):
    assert data.endswith(b"\n")
    for line in data.splitlines():
        json.loads(line)


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
@pytest.mark.parametrize("after_bytes", [1, 3_000_000, 12_000_000])
def test_a_signal_during_a_large_conversion_leaves_whole_lines(tmp_path, big_feed, sig, after_bytes):
    out = tmp_path / "out.jsonl"
    with out.open("wb") as sink:
        proc = start("to-json", big_feed, stdout=sink)
    try:
        wait_until(lambda: out.stat().st_size >= after_bytes or proc.poll() is not None, "output")
        assert proc.poll() is None, "the run ended before the signal; make the feed larger"
        proc.send_signal(sig)
        assert proc.wait(TIMEOUT) == 128 + sig
    finally:
        proc.kill()
    assert_whole_lines(out.read_bytes())
    assert f"stopped by {sig.name}: ".encode() in proc.stderr.read()


def test_a_signal_while_the_output_is_blocked_finishes_the_piece_begun(big_feed):
    # A reader that stalls keeps the command inside a write; the piece it
    # began is finished once the reader goes on, then the run stops.
    proc = start("to-json", "--format", "json", big_feed)
    try:
        head = proc.stdout.read(100_000)
        time.sleep(0.3)  # the pipe fills, the command waits in a write
        proc.send_signal(signal.SIGTERM)
        rest = proc.stdout.read()
        assert proc.wait(TIMEOUT) == 128 + signal.SIGTERM
    finally:
        proc.kill()
    items = json.loads(head + rest)  # a whole array
    assert items and all("source" in i for i in items)


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
@pytest.mark.parametrize("jobs", ["-j1", "-j2"])
def test_a_signal_while_waiting_for_input_ends_the_stream_and_a_second_kills(big_feed, sig, jobs):
    # The last message of a live stream is held until the next one shows
    # where it ends; a stop is that end: it is written, then the run stops.
    proc = start("to-json", jobs)
    try:
        proc.stdin.write(MESSAGE * 2)
        proc.stdin.flush()
        assert readable(proc.stdout)
        proc.send_signal(sig)
        assert proc.wait(TIMEOUT) == 128 + sig
        assert [i["index"] for i in jsonl(proc.stdout.read())] == [0, 1]
    finally:
        proc.kill()
    if sig != signal.SIGINT or jobs != "-j1":
        return
    # A reader that never reads: the first signal cannot finish the piece
    # begun, the second ends the process by the signal itself.
    proc = start("to-json", big_feed)
    try:
        time.sleep(0.5)
        proc.send_signal(signal.SIGTERM)
        time.sleep(0.2)
        assert proc.poll() is None
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(TIMEOUT) == -signal.SIGTERM
    finally:
        proc.kill()
        proc.wait()


def test_a_reader_that_goes_away_stops_the_run_with_the_sigpipe_status(big_feed):
    proc = start("to-json", big_feed)
    try:
        assert proc.stdout.read(1000)
        proc.stdout.close()
        assert proc.wait(TIMEOUT) == 128 + signal.SIGPIPE
    finally:
        proc.kill()
    assert b"stopped, output closed: " in proc.stderr.read()


# ------------------------------------------------------------- live streams

@pytest.mark.parametrize("jobs", ["1", "2"])
@pytest.mark.parametrize("first, second", [
    # The next MSH line ends a plain message.
    (MESSAGE + b"MSH|^~\\&|NEXT\r", b"PID|2\r"),
    # So does the start of one, before its line ends.
    (MESSAGE, b"MSH|^~\\&|NEXT"),
    # An MLLP frame in two writes goes out with its end byte.
    (b"\x0b" + MESSAGE[:30], MESSAGE[30:] + b"\x1c\r"),
])
def test_a_message_whose_end_is_known_goes_out_while_the_writer_is_open(jobs, first, second):
    proc = start("to-json", "-j", jobs)
    try:
        proc.stdin.write(first)
        proc.stdin.flush()
        time.sleep(0.2)
        proc.stdin.write(second)
        proc.stdin.flush()
        assert readable(proc.stdout), "the first message waited for more input"
        assert json.loads(proc.stdout.readline())["index"] == 0
        proc.stdin.close()
        assert proc.wait(TIMEOUT) == 0
    finally:
        proc.kill()


# ---------------------------------------------------------- failed writes

@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="no /dev/full")
@pytest.mark.parametrize("args", [
    ["to-json", "--format", "json", "{empty}"],
    ["to-json", "{feed}"],
    ["validate", "{feed}"],
    ["to-hl7", "{records}"],
    ["--help"],
])
def test_a_full_disk_fails_the_run(tmp_path, args):
    (tmp_path / "empty").mkdir()
    (tmp_path / "feed.hl7").write_bytes(MESSAGE)
    (tmp_path / "records.jsonl").write_text('[{"segment_name": "MSH", "1": "^~\\\\&"}]\n')
    names = {"empty": tmp_path / "empty", "feed": tmp_path / "feed.hl7", "records": tmp_path / "records.jsonl"}
    with open("/dev/full", "wb") as full:
        done = subprocess.run([str(COMMAND), *(a.format(**names) for a in args)], stdout=full,
                              stderr=subprocess.PIPE, timeout=TIMEOUT, env=ENV)
    assert done.returncode == 1
    assert b"segmorph: cannot write output: No space left on device" in done.stderr


# ----------------------------------------------------------------- memory

def peak_kib(pid):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
    raise AssertionError("no VmHWM")


def test_an_input_without_message_ends_is_reported_and_skipped_in_bounded_memory():
    proc = start("to-json", "--max-message-bytes", "1M", "/dev/zero", stdin=subprocess.DEVNULL)
    try:
        assert readable(proc.stderr)
        assert proc.stderr.readline() == (b"segmorph: /dev/zero: message 0: at byte 0: longer than 1048576 bytes"
                                          b" (--max-message-bytes); skipped\n")
        time.sleep(1)  # zeros go on being read and dropped
        assert peak_kib(proc.pid) < 100_000
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(TIMEOUT) == 128 + signal.SIGTERM
    finally:
        proc.kill()


def test_a_json_input_without_an_end_stops_at_the_limit():
    done = subprocess.run([str(COMMAND), "to-hl7", "--max-message-bytes", "1M", "/dev/zero"], capture_output=True,
                          timeout=TIMEOUT, env=ENV)
    assert done.returncode == 1
    assert done.stderr.startswith(b"segmorph: /dev/zero: at byte 0: a message longer than 1048576 bytes")


def test_a_message_over_the_limit_fails_and_the_next_ones_go_on():
    long = MESSAGE + b"NTE|" + b"x" * 3000 + b"\r"
    # Over the limit when complete, and without an end for longer than a
    # read round, its last line still open when the next message begins.
    feed = MESSAGE + long + MESSAGE + MESSAGE[:-1] + b"\0" * 9_000_000 + b"\n" + MESSAGE
    done = run("to-json", "--max-message-bytes", "2K", input=feed)
    assert done.returncode == 1
    assert [i["index"] for i in jsonl(done.stdout)] == [0, 2, 4]
    assert done.stderr.decode().splitlines() == [
        f"segmorph: -: message 1: at byte {len(MESSAGE)}: longer than 2048 bytes (--max-message-bytes); skipped",
        f"segmorph: -: message 3: at byte {2 * len(MESSAGE) + len(long)}: longer than 2048 bytes"
        " (--max-message-bytes); skipped",
        "segmorph: 2 failures, 5 messages read",
    ]


@pytest.mark.parametrize("from_file", [False, True])
def test_a_message_before_a_header_line_without_an_end_is_kept(tmp_path, from_file):
    # The open header line is over the limit long before it ends, and longer
    # than a read round; the complete message before it must not be given up
    # with it.
    head = b"MSH|^~\\&|A|B|||||ADT^A01|1|P|2.5\rPID|1\r"
    feed = head + b"MSH|^~\\&|" + b"x" * 9_000_000 + b"\rPID|2\r" + head
    source = "-"
    if from_file:
        source = tmp_path / "feed.hl7"
        source.write_bytes(feed)
    done = run("to-json", "--max-message-bytes", "64K", source, input=feed)
    assert done.returncode == 1
    assert [(i["index"], i["records"][0]["9"]) for i in jsonl(done.stdout)] == [(0, "1"), (2, "1")]
    assert done.stderr.decode().splitlines() == [
        f"segmorph: {source}: message 1: at byte {len(head)}: longer than 65536 bytes (--max-message-bytes); skipped",
        "segmorph: 1 failure, 3 messages read",
    ]


@pytest.mark.parametrize("size", ["0", "2T", "12Q", "-5", "", "1 M", "1MiBB"])
def test_max_message_bytes_needs_a_size(size):
    done = run("to-json", "--max-message-bytes", size, "-")
    assert done.returncode == 2 and b"invalid size" in done.stderr


@pytest.mark.parametrize("size", ["1M", "1m", "1MB", "1mb", "1MiB", "1048576", "1024K", "1024KB"])
@pytest.mark.parametrize("command", [["to-json"], ["validate"], ["to-hl7"]])
def test_sizes_take_units_in_every_subcommand(size, command):
    # One megabyte however it is written: a message of 1 MiB + 1 byte is
    # too long, one of a byte less is not.
    body = f"{HEADER}\rNTE|1||".encode()
    for n, status in [(1 << 20, 0), ((1 << 20) + 1, 1)]:
        message = body + b"x" * (n - len(body))
        if command == ["to-hl7"]:
            message = run("to-json", input=message).stdout
            if status:
                continue  # a JSON line's size is not the message's; the unit is what is checked
        done = run(*command, "--max-message-bytes", size, "-", input=message)
        assert done.returncode == status, done.stderr


def test_jobs_are_capped_at_two_threads_per_processor():
    proc = start("to-json", "-j", "1024")
    try:
        proc.stdin.write(MESSAGE * 2)
        proc.stdin.flush()
        assert readable(proc.stdout)
        threads = int(next(line.split()[1] for line in Path(f"/proc/{proc.pid}/status").read_text().splitlines()
                           if line.startswith("Threads:")))
        assert threads <= 2 * os.cpu_count() + 1
        proc.stdin.close()
        assert proc.wait(TIMEOUT) == 0
    finally:
        proc.kill()


# ------------------------------------------------------- cut MLLP captures

@pytest.mark.parametrize("in_rounds", [False, True])
def test_a_cut_last_mllp_block_is_converted_and_fails_the_run(in_rounds):
    capture = [b"\x0b" + MESSAGE + b"\x1c\r", b"\x0b" + MESSAGE[:20], MESSAGE[20:]]
    proc = start("to-json")
    try:
        for piece in capture:
            proc.stdin.write(piece)
            proc.stdin.flush()
            if in_rounds:
                time.sleep(0.2)
        proc.stdin.close()
        assert proc.wait(TIMEOUT) == 1
        assert [i["index"] for i in jsonl(proc.stdout.read())] == [0, 1]
        assert proc.stderr.read().decode().splitlines() == [
            "segmorph: -: message 1: the input ends inside an MLLP block (no 0x1C); converted as it is",
            "segmorph: 1 failure, 2 messages read",
        ]
    finally:
        proc.kill()
    done = run("validate", "--accept-truncated", input=b"".join(capture), check_status=0)
    assert done.stdout == b"-:0: ok\n-:1: ok\n" and done.stderr == b""
    # Text after the last end byte is no cut block.
    run("to-json", input=capture[0] + b"MSH|trailing\r", check_status=0)


# ------------------------------------------------------- input that is not HL7

@pytest.mark.parametrize("data, options", [
    (b"hello\n", []),
    (b"a,b,c\n1,2,3\n", []),
    (bytes(range(256)) * 40, ["--encoding", "latin-1"]),  # a binary file read as Latin-1
    (b"\x0bnot hl7\x1c\r", []),                             # an MLLP block of something else
])
def test_input_with_no_message_header_is_a_failure_and_writes_nothing(tmp_path, data, options):
    path = tmp_path / "input.txt"
    path.write_bytes(data)
    for source, kwargs in [(str(path), {}), ("-", {"input": data})]:
        done = run("to-json", *options, source, **kwargs)
        assert (done.returncode, done.stdout) == (1, b"")
        assert f"segmorph: {source}: no HL7 message found".encode() in done.stderr


def test_text_before_the_first_header_is_still_converted_as_before():
    done = run("to-json", input=b"hello\r" + MESSAGE)
    assert done.returncode == 0
    assert [item["records"][0]["segment_name"] for item in jsonl(done.stdout)] == ["hello", "MSH"]
    # validate reports on each message as it is
    assert run("validate", input=b"hello\n").stdout.startswith(b"-:0: HL7 validation failed: segment 1 is \"hello\"")
