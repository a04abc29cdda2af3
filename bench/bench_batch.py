"""Benchmark: segmorph_batch and the hl7 Spark source.

Three measures, each on the sample corpus repeated into one buffer or file
(messages ended by CR as on the wire, one message after another):

  to_arrow      segmorph_batch.to_arrow on about --size MB (default 100),
                on one core: MB/s of HL7 input per CPU second (median of
                --repeat runs)
  table         pyarrow.table(to_arrow(data)) against the same rows built in
                Python: Hl7Json per message and pyarrow.Table.from_pylist,
                on about --table-size MB (default 10), ratio in the same run
  spark         spark.read.format("hl7") of about --spark-size MB (default
                200) on local[2], written to Spark's "noop" sink so every
                row is made, against `segmorph to-json --jobs 2` of the same
                file to /dev/null: CPU seconds of every process involved
                (the driver, the JVM, the Python workers; Spark's start is
                left out), medians of --spark-repeat runs

The machine may be shared: figures are medians, and each ratio compares
figures measured in the same run.

Run:  python bench/bench_batch.py [--corpus DIR] [--only to_arrow,table,spark]
"""

from __future__ import annotations

import argparse
import os
import resource
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import common  # noqa: E402

import segmorph_batch  # noqa: E402
from segmorph import Hl7Json  # noqa: E402

COMMAND = Path(sysconfig.get_path("scripts")) / "segmorph"


def feed(corpus: Path, megabytes: float) -> bytes:
    messages = [common.to_cr(text).encode() for _, text in common.load_corpus(corpus)]
    one = b"".join(m if m.endswith(b"\r") else m + b"\r" for m in messages)
    return one * max(1, round(megabytes * 1e6 / len(one)))


def median_time(fn, repeat: int) -> float:
    """Median CPU seconds of this process (all on one core: nothing here
    runs on other threads), which a machine shared with other work does not
    stretch as it does wall time."""
    times = []
    for _ in range(repeat):
        start = time.process_time()
        fn()
        times.append(time.process_time() - start)
    return statistics.median(times)


def bench_to_arrow(corpus: Path, size: float, repeat: int) -> None:
    data = feed(corpus, size)
    seconds = median_time(lambda: segmorph_batch.to_arrow(data), repeat)
    rows = len(segmorph_batch.to_arrow(data))
    print(f"to_arrow: {len(data) / 1e6:.1f} MB, {rows} messages: median {seconds:.3f} s, "
          f"{len(data) / 1e6 / seconds:.0f} MB/s")


def bench_table(corpus: Path, size: float, repeat: int) -> None:
    import pyarrow as pa

    data = feed(corpus, size)
    schema = pa.schema(pa.table(segmorph_batch.to_arrow(b"")).schema)

    def from_dicts():
        rows = []
        for index, (kind, start, end) in enumerate(p for p in segmorph_batch.frame(data) if p[0] == "message"):
            text = data[start:end].decode()
            header = text.split("\r", 1)[0].split("|")
            rows.append({"source": "", "offset": start, "index": index, "message_type": header[8],
                         "control_id": header[9], "segments": Hl7Json(text).hl7_json, "error": None})
        return pa.Table.from_pylist(rows, schema=schema)

    native = median_time(lambda: pa.table(segmorph_batch.to_arrow(data)), repeat)
    python = median_time(from_dicts, repeat)
    assert from_dicts().column("segments").to_pylist()[:50] == \
        pa.table(segmorph_batch.to_arrow(data)).column("segments").to_pylist()[:50]
    print(f"pyarrow.Table of {len(data) / 1e6:.1f} MB: to_arrow {native:.3f} s, "
          f"Hl7Json + Table.from_pylist {python:.3f} s: {python / native:.1f}x faster (medians, same run)")


# The Spark side runs in a child process of its own, so that every process
# it starts (the JVM, the Python workers) is a descendant that can be found.
SPARK_CHILD = r"""
import os, sys
os.environ["PYSPARK_PYTHON"] = sys.executable
from pyspark.sql import SparkSession
import segmorph_spark
spark = (SparkSession.builder.master("local[2]").config("spark.ui.enabled", "false")
         .config("spark.driver.memory", "2g").getOrCreate())
spark.sparkContext.setLogLevel("ERROR")
segmorph_spark.register(spark)
path, warm = sys.argv[1], sys.argv[2]
def run(p):
    spark.read.format("hl7").load(p).write.format("noop").mode("overwrite").save()
run(warm)
for line in sys.stdin:
    print("ready", flush=True) if line.strip() == "ready?" else (run(path), print("done", flush=True))
"""


def tree_cpu(root: int) -> dict[int, float]:
    """CPU seconds (user + system) of `root` and every descendant alive."""
    tick = os.sysconf("SC_CLK_TCK")
    parents, cpu = {}, {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            fields = Path(f"/proc/{entry}/stat").read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue
        parents[int(entry)] = int(fields[1])
        cpu[int(entry)] = (int(fields[11]) + int(fields[12])) / tick
    mine = {root}
    changed = True
    while changed:
        changed = False
        for pid, parent in parents.items():
            if parent in mine and pid not in mine:
                mine.add(pid)
                changed = True
    return {pid: cpu[pid] for pid in mine if pid in cpu}


def spark_read_cpu(child: subprocess.Popen, command: str = "go") -> float:
    """CPU seconds of the child's whole process tree while it carries out
    `command` (its answer "done" ends the count)."""
    child.stdin.write("ready?\n")
    child.stdin.flush()
    assert child.stdout.readline().strip() == "ready"
    before = tree_cpu(child.pid)
    seen = dict(before)
    child.stdin.write(command + "\n")
    child.stdin.flush()
    # Watch the tree while it works, so a process that ends meanwhile still
    # counts with the last figure seen.
    import selectors

    sel = selectors.DefaultSelector()
    sel.register(child.stdout, selectors.EVENT_READ)
    while not sel.select(timeout=0.1):
        seen.update(tree_cpu(child.pid))
    assert child.stdout.readline().strip() == "done"
    seen.update(tree_cpu(child.pid))
    return sum(seen.values()) - sum(before.values())


def command_cpu(path: str) -> float:
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    with open(os.devnull, "wb") as null:
        subprocess.run([str(COMMAND), "to-json", "--jobs", "2", "-q", path], stdout=null, check=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def bench_spark(corpus: Path, size: float, repeat: int) -> None:
    data = feed(corpus, size)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "feed.hl7")
        warm = os.path.join(tmp, "warm.hl7")
        Path(path).write_bytes(data)
        Path(warm).write_bytes(feed(corpus, 1))
        child = subprocess.Popen([sys.executable, "-c", SPARK_CHILD, path, warm], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, text=True)
        try:
            spark, native = [], []
            for _ in range(repeat):
                spark.append(spark_read_cpu(child))
                native.append(command_cpu(path))
        finally:
            child.stdin.close()
            child.wait(timeout=120)
    s, n = statistics.median(spark), statistics.median(native)
    print(f"Spark read of {len(data) / 1e6:.0f} MB on local[2]: {s:.2f} CPU-s (runs: "
          f"{', '.join(f'{x:.2f}' for x in spark)}); segmorph to-json --jobs 2: {n:.2f} CPU-s (runs: "
          f"{', '.join(f'{x:.2f}' for x in native)}); ratio {s / n:.2f}x (medians, same run)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--corpus", default=None)
    parser.add_argument("--size", type=float, default=100)
    parser.add_argument("--table-size", type=float, default=10)
    parser.add_argument("--spark-size", type=float, default=200)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--spark-repeat", type=int, default=3)
    parser.add_argument("--only", default="to_arrow,table,spark")
    args = parser.parse_args()
    corpus = common.corpus_dir(args.corpus)
    only = set(args.only.split(","))
    if "to_arrow" in only:
        bench_to_arrow(corpus, args.size, args.repeat)
    if "table" in only:
        bench_table(corpus, args.table_size, args.repeat)
    if "spark" in only:
        bench_spark(corpus, args.spark_size, args.spark_repeat)


if __name__ == "__main__":
    main()
