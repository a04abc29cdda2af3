"""Benchmark: the data-lake readers against the command, and the field
layout against the map layout in a query engine.

  spark   CPU seconds of every process (driver, JVM, Python workers;
          Spark's start left out) to read about --size MB (default 200, in
          8 files) into Spark's "noop" sink, so every row is made: through
          segmorph_spark.read (Spark's binaryFile source) and through
          format("hl7"), each in the message and the field layout, against
          `segmorph to-json --jobs 2` of the same folder to /dev/null;
          medians of --repeat runs on local[2]
  query   "all PID-3 identifiers" in DuckDB over the Arrow batches of
          about --query-size MB (default 50): the field layout's WHERE
          against the map layout's unnest of segments and entries with a
          key pattern; medians of --repeat runs, and the row counts, which
          must agree

Run:  python bench/bench_lake.py [--corpus DIR] [--only spark,query]
(needs the spark and dask extras; duckdb for the query)
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import common  # noqa: E402
from bench_batch import command_cpu, feed, spark_read_cpu  # noqa: E402

import segmorph_batch  # noqa: E402

VARIANTS = ["read/messages", "read/fields", "format/messages", "format/fields"]

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
def run(p, variant):
    reader, layout = variant.split("/")
    if reader == "read":
        df = segmorph_spark.read(spark, p, layout=layout)
    else:
        df = spark.read.format("hl7").option("layout", layout).load(p)
    df.write.format("noop").mode("overwrite").save()
for variant in sys.argv[3:]:
    run(warm, variant)
for line in sys.stdin:
    word = line.split()
    print("ready", flush=True) if word[0] == "ready?" else (run(path, word[1]), print("done", flush=True))
"""


def bench_spark(corpus: Path, size: float, repeat: int) -> None:
    data = feed(corpus, size / 8)
    with tempfile.TemporaryDirectory() as tmp:
        folder, warm = Path(tmp, "lake"), Path(tmp, "warm")
        folder.mkdir()
        warm.mkdir()
        for n in range(8):
            (folder / f"feed-{n}.hl7").write_bytes(data)
        (warm / "warm.hl7").write_bytes(feed(corpus, 1))
        child = subprocess.Popen([sys.executable, "-c", SPARK_CHILD, str(folder), str(warm), *VARIANTS],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        runs: dict[str, list[float]] = {v: [] for v in VARIANTS + ["command"]}
        try:
            for _ in range(repeat):
                for variant in VARIANTS:
                    runs[variant].append(spark_read_cpu(child, f"go {variant}"))
                runs["command"].append(command_cpu(str(folder)))
        finally:
            child.stdin.close()
            child.wait(timeout=120)
    native = statistics.median(runs["command"])
    print(f"{8 * len(data) / 1e6:.0f} MB in 8 files, local[2], CPU seconds of all processes (medians of {repeat}):")
    print(f"  segmorph to-json --jobs 2: {native:.2f} ({', '.join(f'{x:.2f}' for x in runs['command'])})")
    for variant in VARIANTS:
        m = statistics.median(runs[variant])
        print(f"  {variant:16s} {m:6.2f} = {m / native:.1f}x ({', '.join(f'{x:.2f}' for x in runs[variant])})")


def median_wall(fn, repeat: int) -> tuple[float, object]:
    times, result = [], None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def bench_query(corpus: Path, size: float, repeat: int) -> None:
    import duckdb
    import pyarrow as pa

    data = feed(corpus, size)
    messages = pa.table(segmorph_batch.to_arrow(data, source="feed"))
    hl7_fields = pa.table(segmorph_batch.to_arrow(data, source="feed", layout="fields"))
    db = duckdb.connect()
    db.execute("SET threads = 1")
    db.register("messages", messages)
    db.register("hl7_fields", hl7_fields)
    long_sql = ("SELECT source, \"offset\", value FROM hl7_fields "
                "WHERE segment_name = 'PID' AND field = 3 AND component = 1")
    map_sql = ("SELECT source, \"offset\", e.value FROM ("
               "  SELECT source, \"offset\", unnest(segments) AS s FROM messages) m, "
               "  unnest(map_entries(m.s)) AS t(e) "
               "WHERE m.s['segment_name'] = 'PID' AND regexp_matches(e.key, '^3(\\[\\d+\\])?(\\.1)?$')")
    long_s, long_rows = median_wall(lambda: db.sql(long_sql).to_arrow_table().num_rows, repeat)
    map_s, map_rows = median_wall(lambda: db.sql(map_sql).to_arrow_table().num_rows, repeat)
    print(f"DuckDB (1 thread), all PID-3.1 of {len(data) / 1e6:.0f} MB ({messages.num_rows} messages): "
          f"field layout {long_s * 1000:.0f} ms ({long_rows} rows), map layout {map_s * 1000:.0f} ms "
          f"({map_rows} rows): {map_s / long_s:.1f}x")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--corpus", default=None)
    parser.add_argument("--size", type=float, default=200)
    parser.add_argument("--query-size", type=float, default=50)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--only", default="spark,query")
    args = parser.parse_args()
    corpus = common.corpus_dir(args.corpus)
    only = set(args.only.split(","))
    if "query" in only:
        bench_query(corpus, args.query_size, args.repeat)
    if "spark" in only:
        bench_spark(corpus, args.size, args.repeat)


if __name__ == "__main__":
    main()
