"""The command's threads: on a feed many times longer than a read round and
than the results that may wait for the output, every number of jobs gives
the output, reports and stop of one job."""

import pytest

from test_cli import CORPUS_FILES, HEADER, PID, run

BAD = b"MSH|^~\\&|\xff\r"  # not UTF-8, declares no character set: a failure


@pytest.fixture(scope="module")
def mixed_feed(tmp_path_factory):
    """About 12 MB of real messages with a failing one every 400 kB or so,
    so that failures fall in many tasks and rounds, at no fixed place."""
    corpus = b"".join(p.read_bytes().removeprefix(b"\xef\xbb\xbf") for p in CORPUS_FILES)
    good = f"{HEADER}\r{PID}\r".encode()
    chunks, size, n = [], 0, 0
    while size < 12_000_000:
        chunk = corpus[: 1 + n * 7919 % len(corpus)]
        # Cut after a segment end, so the failing message starts a line.
        chunk = chunk[: chunk.rfind(b"\r") + 1] or good
        chunks += [chunk, good * (n % 3), BAD]
        size += len(chunk)
        n += 1
    path = tmp_path_factory.mktemp("jobs") / "mixed.hl7"
    path.write_bytes(b"".join(chunks))
    return path


@pytest.mark.parametrize("args", [[], ["--format", "json"], ["--fail-fast"], ["--fail-fast", "--format", "json"]])
def test_any_number_of_jobs_gives_the_output_of_one(mixed_feed, args):
    one = run("to-json", mixed_feed, "--jobs", "1", *args, check_status=1)
    assert one.stderr.count(b"is not UTF-8") == (1 if "--fail-fast" in args else one.stderr.count(b"\n") - 1)
    if "--fail-fast" not in args:
        assert one.stderr.count(b"\n") > 20
    for jobs in ("2", "5"):
        many = run("to-json", mixed_feed, "--jobs", jobs, *args)
        assert (many.returncode, many.stdout, many.stderr) == (one.returncode, one.stdout, one.stderr)


def test_a_failure_deep_in_the_feed_stops_every_number_of_jobs_at_one_place(tmp_path, mixed_feed):
    # The first failure lies megabytes in, behind many tasks already running.
    data = mixed_feed.read_bytes().replace(BAD, b"")
    cut = data.find(b"\rMSH|", len(data) // 2) + 1
    path = tmp_path / "late.hl7"
    path.write_bytes(data[:cut] + BAD + data[cut:])
    one = run("to-json", path, "--fail-fast", "--jobs", "1", check_status=1)
    assert one.stderr.startswith(f"segmorph: {path}: message ".encode())
    assert b"is not UTF-8" in one.stderr and len(one.stdout) > len(data) // 2
    for jobs in ("2", "5"):
        many = run("to-json", path, "--fail-fast", "--jobs", jobs)
        assert (many.returncode, many.stdout, many.stderr) == (one.returncode, one.stdout, one.stderr)
