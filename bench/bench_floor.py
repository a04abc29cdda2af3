"""Benchmark: the command against the floor of reading the same bytes, and
one build of it against another, all in one run.

On a feed of about 100 MB built from the sample messages (`--size MB`),
each round runs, in a rotating order:

  cat FEED, wc -l FEED, scan_floor FEED    the floor: copying the bytes out,
                                           counting lines, a read(2) + memchr
                                           loop over a reused buffer
  to-json FEED, to-json --jobs 2 FEED,     for each build given
  validate -q FEED, to-hl7 FEED.jsonl

and the median wall and CPU seconds of `--rounds` rounds (default 7) are
kept, so a burst of load on a shared machine hits every contender alike.
Prints MB/s of HL7 (to-hl7: of the HL7 it writes back), the ratio to the
first build (`--before`) and to the floor, and checks that the builds write
the same bytes.  `--instructions` also counts instructions per input byte
with callgrind on a 10 MB slice (exact, whatever the load; slow).

Run:  python bench/bench_floor.py --after build/rel/segmorph \\
          [--before OTHER/segmorph] [--scan build/rel/scan_floor]
(scan_floor and core_bench come from a CMake build with
-DSEGMORPH_BUILD_BENCH=ON; without --after, the installed command is used.)
"""

from __future__ import annotations

import argparse
import hashlib
import os
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import bench_cli  # noqa: E402
import common  # noqa: E402


def run(argv: list[str]) -> tuple[float, float]:
    """Wall and CPU seconds (user + system, children) of one run, its
    output thrown away."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    with open(os.devnull, "wb") as sink:
        subprocess.run(argv, stdout=sink, stderr=subprocess.DEVNULL, check=False)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def digest(argv: list[str]) -> str:
    out = subprocess.run(argv, capture_output=True, check=False)
    return hashlib.sha256(out.stdout + b"\0" + out.stderr + bytes([out.returncode & 255])).hexdigest()


def instructions(argv: list[str]) -> int | None:
    if shutil.which("valgrind") is None:
        return None
    out = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", *argv],
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, check=False)
    found = re.search(r"Collected\s*:\s*(\d+)", out.stderr)
    return int(found.group(1)) if found else None


def slice_at_message(data: bytes, size: int) -> bytes:
    """The first `size` bytes or so, ended before a message header."""
    cut = data.find(b"\rMSH|", size)
    return data if cut < 0 else data[: cut + 1]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", help="sample messages (default: ../shared/corpus)")
    parser.add_argument("--size", type=float, default=100, help="feed size in MB (default 100)")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--before", help="another segmorph build to compare with")
    parser.add_argument("--after", help="the segmorph build measured (default: the installed command)")
    parser.add_argument("--scan", help="scan_floor program (default: beside --after)")
    parser.add_argument("--instructions", action="store_true", help="also count instructions with callgrind")
    args = parser.parse_args()

    after = args.after or bench_cli.command()
    builds = {"before": args.before, "after": after} if args.before else {"after": after}
    scan = args.scan or str(Path(after).with_name("scan_floor"))
    data = bench_cli.feed(common.corpus_dir(args.corpus), args.size)
    mb = len(data) / 1e6
    with tempfile.TemporaryDirectory() as tmp:
        feed = Path(tmp) / "feed.hl7"
        feed.write_bytes(data)
        jsonl = Path(tmp) / "feed.jsonl"
        with jsonl.open("wb") as out:
            subprocess.run([after, "to-json", "-q", str(feed)], stdout=out, check=True)
        hl7_back = len(subprocess.run([after, "to-hl7", "-q", str(jsonl)], capture_output=True, check=True).stdout)

        works = {
            "to-json": lambda exe: [exe, "to-json", "-q", str(feed)],
            "to-json --jobs 2": lambda exe: [exe, "to-json", "-q", "--jobs", "2", str(feed)],
            "validate": lambda exe: [exe, "validate", "-q", str(feed)],
            "to-hl7": lambda exe: [exe, "to-hl7", "-q", str(jsonl)],
        }
        contenders: dict[str, list[str]] = {
            "cat": ["cat", str(feed)],
            "wc -l": ["wc", "-l", str(feed)],
        }
        if Path(scan).exists():
            contenders["scan (read + memchr)"] = [scan, str(feed)]
        for work, argv in works.items():
            for name, exe in builds.items():
                contenders[f"{work} [{name}]"] = argv(exe)

        if args.before:
            for work, argv in works.items():
                same = digest(argv(args.before)) == digest(argv(after))
                print(f"{work}: output {'identical' if same else 'DIFFERS'} between the builds")

        walls: dict[str, list[float]] = {k: [] for k in contenders}
        cpus: dict[str, list[float]] = {k: [] for k in contenders}
        names = list(contenders)
        for k in contenders.values():  # warm the page cache and the binaries
            run(k)
        for r in range(args.rounds):
            order = names[r % len(names):] + names[: r % len(names)]
            for name in order:
                wall, cpu = run(contenders[name])
                walls[name].append(wall)
                cpus[name].append(cpu)
        wall = {k: statistics.median(v) for k, v in walls.items()}
        cpu = {k: statistics.median(v) for k, v in cpus.items()}

        load = os.getloadavg()[0]
        print(f"\nfeed: {mb:.1f} MB; medians of {args.rounds} rounds; load average {load:.1f}; "
              f"{os.cpu_count()} processors")
        floor = wall.get("scan (read + memchr)", wall["cat"])
        rows = []
        for name in names:
            size = hl7_back / 1e6 if name.startswith("to-hl7") else mb
            row = [name, f"{wall[name]:.3f}", f"{cpu[name]:.3f}", f"{size / wall[name]:.0f}",
                   f"{wall[name] / wall['cat']:.1f}x", f"{wall[name] / floor:.1f}x"]
            before_name = name.replace("[after]", "[before]")
            row.append(f"{wall[before_name] / wall[name]:.2f}x" if "[after]" in name and before_name in wall else "")
            rows.append(row)
        common.print_table(["contender", "wall s", "CPU s", "MB/s", "vs cat", "vs scan", "speed vs before"], rows)
        for name in builds:
            one, two = f"to-json [{name}]", f"to-json --jobs 2 [{name}]"
            h7 = f"to-hl7 [{name}]"
            print(f"[{name}] --jobs 2 / one job: {wall[one] / wall[two]:.2f}x wall, "
                  f"{cpu[one] / cpu[two]:.2f}x CPU; to-hl7 / to-json wall {wall[h7] / wall[one]:.2f}")

        if args.instructions:
            part = Path(tmp) / "slice.hl7"
            part.write_bytes(slice_at_message(data, 10_000_000))
            part_json = Path(tmp) / "slice.jsonl"
            with part_json.open("wb") as out:
                subprocess.run([after, "to-json", "-q", str(part)], stdout=out, check=True)
            size = part.stat().st_size
            print(f"\ninstructions per input byte (callgrind, {size / 1e6:.1f} MB slice; to-hl7 per HL7 byte):")
            for work, argv in (("to-json", lambda e: [e, "to-json", "-q", str(part)]),
                               ("validate", lambda e: [e, "validate", "-q", str(part)]),
                               ("to-hl7", lambda e: [e, "to-hl7", "-q", str(part_json)])):
                counts = {name: instructions(argv(exe)) for name, exe in builds.items()}
                print("  " + work + ": " + ", ".join(
                    f"{name} {n / size:.1f}" if n else f"{name} n/a" for name, n in counts.items()))


if __name__ == "__main__":
    main()
