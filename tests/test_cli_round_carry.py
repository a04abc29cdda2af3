"""Reading a file in rounds: a message cut by a round's end is carried into
the next round.  Messages shorter and longer than a few kilobytes, than a
round and than several rounds, cut at every kind of place, must come out of
a file read by one job as from several jobs or from a pipe, and a message
too long is reported where it starts in the file."""

import pytest

from test_cli import HEADER, PID, run

ROUND = 512 * 1024


def long_message(n, size):
    """A message of about `size` bytes, numbered `n` in its control id."""
    head = HEADER.replace("|1|P|", f"|{n}|P|")
    obx = "OBX|1|TX|x||" + "y" * 2000 + "\r"
    return (f"{head}\r{PID}\r" + obx * max(1, size // len(obx))).encode()


@pytest.fixture(scope="module")
def uneven_feed(tmp_path_factory):
    """Short messages around messages just under and over 64 kB, a round,
    and several rounds, so that rounds end inside messages of every size."""
    short = f"{HEADER}\r{PID}\r".encode()
    sizes = [60_000, 70_000, 300_000, ROUND - 1000, ROUND + 1000, 3 * ROUND + 5000, 64 * 1024]
    parts = []
    for n, size in enumerate(sizes * 2):
        parts += [short * (1 + n * 37 % 101), long_message(n, size)]
    path = tmp_path_factory.mktemp("carry") / "uneven.hl7"
    path.write_bytes(b"".join(parts) + short)
    return path, parts


@pytest.mark.parametrize("args", [[], ["--format", "json"], ["--max-message-bytes", "400000"]])
def test_one_job_reads_a_file_as_several_jobs_and_a_pipe_do(uneven_feed, args):
    path, _ = uneven_feed
    one = run("to-json", path, "--jobs", "1", *args)
    two = run("to-json", path, "--jobs", "2", *args)
    assert (one.returncode, one.stdout, one.stderr) == (two.returncode, two.stdout, two.stderr)
    piped = run("to-json", *args, input=path.read_bytes())
    assert piped.stdout.replace(b'"source":"-"', f'"source":"{path}"'.encode()) == one.stdout
    assert piped.stderr.replace(b"segmorph: -:", f"segmorph: {path}:".encode()) == one.stderr


def test_a_message_too_long_is_reported_where_it_starts_across_rounds(uneven_feed):
    path, parts = uneven_feed
    starts, at, index = [], 0, 0
    for part in parts:
        count = part.count(b"MSH|")
        if len(part) > 400_000:
            starts.append(f"message {index}: at byte {at}:")
        index += count
        at += len(part)
    done = run("to-json", path, "--max-message-bytes", "400000", check_status=1)
    *lines, summary = done.stderr.decode().splitlines()
    assert [line.split(": ", 2)[2].split(" longer")[0] for line in lines] == starts
    assert summary == f"segmorph: {len(starts)} failures, {index + 1} messages read"  # and the last, short one


def test_records_longer_than_several_rounds_convert_back_to_the_file(tmp_path, uneven_feed):
    path, _ = uneven_feed
    records = run("to-json", path, check_status=0).stdout
    assert max(len(line) for line in records.splitlines()) > 3 * ROUND
    source = tmp_path / "records.jsonl"
    source.write_bytes(records)
    one = run("to-hl7", source, "--jobs", "1", check_status=0)
    assert one.stdout == path.read_bytes()
    assert run("to-hl7", source, "--jobs", "2").stdout == one.stdout
