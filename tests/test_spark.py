"""The "hl7" Spark data source on local[2]: what it reads must be what the
command converts, however the files are cut into splits, and what it writes
must read back the same.

The test script sets SEGMORPH_REQUIRE_SPARK for the one interpreter that
runs these tests: there a missing pyspark or Java fails them instead of
skipping them."""
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import COMMAND, ENV

CORPUS = Path(__file__).parent / "fixtures" / "corpus"


def _spark_or_skip():
    missing = []
    try:
        import pyspark  # noqa: F401
    except ImportError:
        missing.append("pyspark")
    if shutil.which("java") is None and not os.environ.get("JAVA_HOME"):
        missing.append("Java")
    if missing:
        why = " and ".join(missing) + " not installed"
        if os.environ.get("SEGMORPH_REQUIRE_SPARK"):
            pytest.fail(why + " (SEGMORPH_REQUIRE_SPARK is set)")
        pytest.skip(why)


@pytest.fixture(scope="module")
def spark():
    _spark_or_skip()
    if os.environ.get("LD_PRELOAD"):
        pytest.skip("not under a preloaded sanitizer runtime: the JVM and its workers would load it too")
    os.environ["PYSPARK_PYTHON"] = sys.executable  # workers import segmorph from this environment
    from pyspark.sql import SparkSession

    import segmorph_spark

    session = (SparkSession.builder.master("local[2]").appName("segmorph-tests")
               .config("spark.ui.enabled", "false").config("spark.sql.shuffle.partitions", "2").getOrCreate())
    segmorph_spark.register(session)
    yield session
    session.stop()


def records_of(row):
    return [dict(m) for m in row["segments"]]


def test_reading_the_corpus_gives_the_records_of_to_json(spark):
    done = subprocess.run([str(COMMAND), "to-json", "-q", str(CORPUS)], capture_output=True, timeout=120, env=ENV)
    assert done.returncode == 0, done.stderr.decode()
    expected = [(i["source"], i["index"], i["records"])
                for i in map(json.loads, done.stdout.decode().splitlines()) if "records" in i]
    rows = spark.read.format("hl7").load(str(CORPUS)).collect()
    got = [(r["source"], r["index"], records_of(r)) for r in rows]
    assert sorted(got, key=lambda x: (x[0], x[1])) == sorted(expected, key=lambda x: (x[0], x[1]))
    # (Spark's maps keep no order of their own: the order is checked on
    # to_arrow's batches, which Spark takes in.)
    assert all(r["error"] is None for r in rows)


def test_a_file_cut_into_splits_gives_the_messages_read_whole(spark, tmp_path):
    # A batch file of every corpus message, in an envelope, CRLF lines.
    parts = [b"FHS|^~\\&|F\r\nBHS|^~\\&|B\r\n"]
    for path in sorted(CORPUS.rglob("*.hl7")):
        parts.append(path.read_bytes().replace(b"\r\n", b"\n").replace(b"\n", b"\r\n").rstrip() + b"\r\n")
    parts.append(b"BTS|1\r\nFTS|1\r\n")
    data = b"".join(parts) * 2
    (tmp_path / "batch.hl7").write_bytes(data)
    whole = spark.read.format("hl7").load(str(tmp_path)).collect()
    split = spark.read.format("hl7").option("splitSize", str(len(data) // 9)).load(str(tmp_path))
    assert split.rdd.getNumPartitions() >= 9
    cut = split.collect()
    assert len(whole) > 300
    key = lambda r: r["offset"]  # noqa: E731
    assert [(r["offset"], records_of(r)) for r in sorted(cut, key=key)] == \
           [(r["offset"], records_of(r)) for r in sorted(whole, key=key)]
    assert len({r["offset"] for r in cut}) == len(cut)


def test_write_then_read_back_is_lossless(spark, tmp_path):
    source = spark.read.format("hl7").option("validate", "none").load(str(CORPUS))
    out = tmp_path / "out"
    source.repartition(3).write.format("hl7").mode("overwrite").save(str(out))
    assert len(list(out.glob("part-*.hl7"))) == 3
    back = spark.read.format("hl7").load(str(out)).collect()
    canon = lambda rows: sorted(json.dumps(records_of(r)) for r in rows)  # noqa: E731
    assert canon(back) == canon(source.collect())
    # The columns segments and source alone are enough to write from.
    source.select("source", "segments").coalesce(1).write.format("hl7").mode("overwrite").save(str(out))
    assert canon(spark.read.format("hl7").load(str(out)).collect()) == canon(back)


@pytest.mark.parametrize("option, value", [("validate", "loose"), ("strict", "maybe"), ("splitSize", "0")])
def test_bad_options_are_refused(spark, option, value):
    with pytest.raises(Exception, match=option):
        spark.read.format("hl7").option(option, value).load(str(CORPUS)).collect()
