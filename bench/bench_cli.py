"""Benchmark: the `segmorph` command on a large feed, against a Python loop.

Builds one HL7 file of about --size MB (default 100) by repeating the sample
messages (byte-order marks dropped, segments ended by CR as on the wire),
then times, as whole processes writing to /dev/null:

  segmorph to-json FILE --jobs N   for N = 1, 2, ... up to the processors
  python loop                      this script with --python-loop: read the
                                   file, cut it at each MSH, and for every
                                   message orjson.dumps(Hl7Json(t).hl7_json)
  segmorph to-hl7 FILE.jsonl       the same messages back (the JSON Lines
                                   that to-json wrote), one job, timed in
                                   turn with to-json --jobs 1: the ratio
                                   to-hl7 / to-json of their medians

Each figure is the minimum wall time of --repeat runs; MB/s is of HL7 input.

Run:  python bench/bench_cli.py [--corpus DIR] [--size MB] [--repeat N]
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import common  # noqa: E402

BATCH_LINES = ("FHS", "BHS", "BTS", "FTS")


def command() -> str:
    found = Path(sysconfig.get_path("scripts")) / "segmorph"
    if found.exists():
        return str(found)
    on_path = shutil.which("segmorph")
    if on_path is None:
        raise SystemExit("the segmorph command is not installed: pip install .")
    return on_path


def feed(corpus: Path, megabytes: float) -> bytes:
    """The corpus messages, each file's segments ended by CR, repeated."""
    one = b"".join(("\r".join(common.lines_of(text)) + "\r").encode() for _, text in common.load_corpus(corpus))
    return one * max(1, round(megabytes * 1e6 / len(one)))


def messages_of(data: bytes) -> list[str]:
    """The messages of a feed built by feed(): a new one at each MSH line,
    batch envelope lines left out."""
    lines = [ln for ln in data.decode().split("\r") if ln and not ln.startswith(BATCH_LINES)]
    out, current = [], []
    for line in lines:
        if line.startswith("MSH") and current:
            out.append("\r".join(current))
            current = []
        current.append(line)
    if current:
        out.append("\r".join(current))
    return out


def python_loop(path: str) -> None:
    import orjson
    from segmorph import Hl7Json

    messages = messages_of(Path(path).read_bytes())
    start = time.perf_counter()
    with open(os.devnull, "wb") as out:
        for text in messages:
            out.write(orjson.dumps(Hl7Json(text).hl7_json))
            out.write(b"\n")
    print(f"{len(messages)} messages, loop alone {time.perf_counter() - start:.2f} s", file=sys.stderr)


def best_wall(argv: list[str], repeat: int) -> float:
    times = []
    with open(os.devnull, "wb") as sink:
        for _ in range(repeat):
            start = time.perf_counter()
            subprocess.run(argv, stdout=sink, check=True)
            times.append(time.perf_counter() - start)
    return min(times)


def paired_medians(a: list[str], b: list[str], repeat: int) -> tuple[float, float]:
    """Median wall times of two commands run in turn, so that load on a
    shared machine hits both alike."""
    ta, tb = [], []
    with open(os.devnull, "wb") as sink:
        for i in range(max(3, repeat)):
            for argv, times in ((a, ta), (b, tb)) if i % 2 == 0 else ((b, tb), (a, ta)):
                start = time.perf_counter()
                subprocess.run(argv, stdout=sink, check=True)
                times.append(time.perf_counter() - start)
    return statistics.median(ta), statistics.median(tb)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    common.add_common_args(parser)
    parser.add_argument("--size", type=float, default=100, help="feed size in MB (default 100)")
    parser.add_argument("--python-loop", metavar="FILE", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.python_loop:
        python_loop(args.python_loop)
        return

    repeat = 1 if args.quick else args.repeat
    data = feed(common.corpus_dir(args.corpus), args.size / 10 if args.quick else args.size)
    exe = command()
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "feed.hl7"
        path.write_bytes(data)
        mb = len(data) / 1e6
        print(f"feed: {mb:.1f} MB, {len(messages_of(data))} messages; {os.cpu_count()} processors; "
              f"best of {repeat}")
        rows = []
        single = None
        jobs = 1
        while jobs <= max(2, os.cpu_count() or 1):
            t = best_wall([exe, "to-json", "--jobs", str(jobs), str(path)], repeat)
            single = single or t
            rows.append([f"segmorph to-json --jobs {jobs}", f"{t:.2f}", f"{mb / t:.0f}", f"{single / t:.2f}x"])
            jobs *= 2
        try:
            import orjson  # noqa: F401
        except ImportError:
            print("orjson is not installed: the Python loop is skipped")
        else:
            t = best_wall([sys.executable, __file__, "--python-loop", str(path)], min(repeat, 3))
            rows.append(["python loop (Hl7Json + orjson)", f"{t:.2f}", f"{mb / t:.0f}", f"{single / t:.2f}x"])
        common.print_table(["contender", "seconds", "MB/s", "speed vs --jobs 1"], rows)

        # The way back: the same messages as to-json's JSON Lines.
        jsonl = Path(tmp) / "feed.jsonl"
        with jsonl.open("wb") as out:
            subprocess.run([exe, "to-json", str(path)], stdout=out, check=True)
        to_hl7, to_json = paired_medians([exe, "to-hl7", "--jobs", "1", str(jsonl)],
                                         [exe, "to-json", "--jobs", "1", str(path)], repeat)
        print(f"\nto-hl7 --jobs 1 of the same messages ({jsonl.stat().st_size / 1e6:.0f} MB of JSON Lines): "
              f"{to_hl7:.2f} s, {mb / to_hl7:.0f} MB/s of HL7; to-json {to_json:.2f} s; "
              f"ratio to-hl7 / to-json {to_hl7 / to_json:.2f} (medians of {max(3, repeat)} runs in turn)")


if __name__ == "__main__":
    main()
