"""The "hl7" Spark data source on local[2]: what it reads must be what the
command converts, however the files are cut into splits, and what it writes
must read back the same.

The test script sets SEGMORPH_REQUIRE_SPARK for the one interpreter that
runs these tests: there a missing pyspark or Java fails them instead of
skipping them."""
import gzip
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
    # Rows say where their message is (source, offset); the n-th offset of
    # a file is its message n.
    by_file = {}
    for r in sorted(rows, key=lambda r: r["offset"]):
        by_file.setdefault(r["source"], []).append(records_of(r))
    got = [(source, n, records) for source, items in by_file.items()
           for n, records in enumerate(items)]
    expected = [("file:" + str(Path(source).absolute()), n, records) for source, n, records in expected]
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


# ------------------------------------------------- Spark's own file layer

CORPUS_FILES = sorted(CORPUS.rglob("*.hl7"))


def command_messages(*paths):
    done = subprocess.run([str(COMMAND), "to-json", "-q", *map(str, paths)], capture_output=True, timeout=120, env=ENV)
    return [i for i in map(json.loads, done.stdout.decode().splitlines()) if "records" in i]


def keyed(rows):
    return sorted((r["source"].rsplit("/", 1)[-1], r["offset"], json.dumps(sorted(r["segments"][0].items())))
                  for r in rows)


def test_read_goes_through_sparks_file_layer(spark, tmp_path):
    import segmorph_spark

    count = len(command_messages(CORPUS))
    folders = sorted({p.parent for p in CORPUS_FILES})
    cases = {
        "nested": segmorph_spark.read(spark, str(CORPUS), recursiveFileLookup=True),
        "glob": segmorph_spark.read(spark, f"{CORPUS}/*/*.hl7"),
        "list": segmorph_spark.read(spark, [str(f) for f in folders]),
        "format list": spark.read.format("hl7").load([str(f) for f in folders]),
    }
    for name, frame in cases.items():
        assert frame.count() == count, name
    # The same rows as the "hl7" format gives for the same files.
    via_format = spark.read.format("hl7").load(str(CORPUS)).collect()
    assert keyed(cases["nested"].collect()) == keyed(via_format)
    # gzip copies (whatever their names), partition folders, Spark's filters.
    lake = tmp_path / "lake"
    for n, path in enumerate(CORPUS_FILES[:30]):
        folder = lake / f"day={n % 3}"
        folder.mkdir(parents=True, exist_ok=True)
        data = path.read_bytes()
        (folder / path.name).write_bytes(gzip.compress(data) if n % 2 else data)
    (lake / "day=0" / "notes.txt").write_text("not a feed")
    rows = segmorph_spark.read(spark, str(lake)).collect()
    assert len(rows) == len(command_messages(*CORPUS_FILES[:30]))
    assert {r["day"] for r in rows} == {0, 1, 2}
    assert keyed(rows) == keyed(segmorph_spark.read(spark, [str(p) for p in CORPUS_FILES[:30]]).collect())
    only = segmorph_spark.read(spark, str(lake), pathGlobFilter=CORPUS_FILES[1].name).collect()
    assert len(only) == len(command_messages(CORPUS_FILES[1])) and only[0]["day"] == 1
    assert segmorph_spark.read(spark, str(lake), modifiedAfter="2999-01-01T00:00:00").count() == 0
    for options, text in [({"bogus": "1"}, "unknown option: bogus"), ({"mode": "lenient"}, "option mode"),
                          ({"encoding": "ebcdic"}, "option encoding")]:
        with pytest.raises(ValueError, match=text):
            segmorph_spark.read(spark, str(lake), **options)
    with pytest.raises(Exception, match="unknown option"):
        spark.read.format("hl7").option("bogus", "1").load(str(CORPUS)).collect()


def test_read_stream_turns_new_files_into_new_rows(spark, tmp_path):
    import segmorph_spark

    incoming = tmp_path / "incoming"
    incoming.mkdir()
    for path in CORPUS_FILES[:5]:
        (incoming / path.name).write_bytes(path.read_bytes())
    stream = segmorph_spark.read_stream(spark, str(incoming), mode="DROPMALFORMED")

    once = stream.writeStream.format("memory").queryName("once").trigger(availableNow=True).start()
    once.awaitTermination(120)
    assert spark.table("once").count() == len(command_messages(*CORPUS_FILES[:5]))
    live = stream.writeStream.format("memory").queryName("live").start()
    try:
        live.processAllAvailable()
        before = spark.table("live").count()
        (incoming / CORPUS_FILES[5].name).write_bytes(gzip.compress(CORPUS_FILES[5].read_bytes()))
        live.processAllAvailable()
        rows = spark.table("live").collect()
    finally:
        live.stop()
    new = [r for r in rows if r["source"].endswith("/" + CORPUS_FILES[5].name)]
    assert len(rows) - before == len(new) == len(command_messages(CORPUS_FILES[5]))
    # The "hl7" format cannot stream, and says what to use instead.
    with pytest.raises(Exception, match="read_stream"):
        query = (spark.readStream.format("hl7").load(str(incoming)).writeStream.format("memory")
                 .queryName("never").start())
        query.processAllAvailable()


def test_bad_records_as_sparks_sources_treat_them(spark, tmp_path):
    import segmorph_spark

    for path in CORPUS_FILES[:4]:
        (tmp_path / path.name).write_bytes(path.read_bytes())
    bad = b"MSH|^~\\&|APP|FAC|R|RF|20240101||ADT^A01|BAD1|P|2.5\rPID|1||caf\xe9"
    good = CORPUS_FILES[0].read_bytes()
    (tmp_path / "broken.hl7").write_bytes(good.rstrip() + b"\r" + bad + b"\r")
    good_count = len(command_messages(*CORPUS_FILES[:4])) + 1
    readers = {
        "read": lambda **o: segmorph_spark.read(spark, str(tmp_path), **o),
        "format": lambda **o: spark.read.format("hl7").options(**o).load(str(tmp_path)),
    }
    for name, reader in readers.items():
        with pytest.raises(Exception, match=r"FAILFAST.*broken\.hl7 at offset \d+: HL7 encoding error"):
            reader(mode="FAILFAST").collect()
        assert reader(mode="DROPMALFORMED").count() == good_count, name
        rows = reader(columnNameOfCorruptRecord="raw").collect()
        failed = [r for r in rows if r["error"] is not None]
        assert len(rows) == good_count + 1 and len(failed) == 1
        assert failed[0]["raw"] == bad.decode("latin-1").replace("\xe9", "\ufffd") and failed[0]["segments"] is None
        assert reader(encoding="latin-1").where("error is not null").count() == 0


def test_field_access_in_hl7_numbering(spark):
    import segmorph_spark
    from segmorph_spark import field, fields

    df = segmorph_spark.read(spark, str(CORPUS), recursiveFileLookup=True)
    rows = df.select("segments", field("PID-3.1"), field("MSH-9.1"), fields("OBX-5"), fields("OBX-5.2"),
                     field("PID-5")).collect()

    def values(records, name, number, component=None):
        out = []
        for r in (r for r in records if r["segment_name"] == name):
            keys = [k for k in r if k.split("[")[0].split(".")[0] == str(number)]
            reps = sorted({int(k.split("[")[1].split("]")[0]) if "[" in k else 0 for k in keys})
            for rep in reps:
                mine = [k for k in keys if (int(k.split("[")[1].split("]")[0]) if "[" in k else 0) == rep]
                comps = {int(k.rsplit(".", 1)[1]) if "." in k else 1: r[k] for k in mine}
                if component is None:
                    out.append("^".join(comps[c] for c in sorted(comps)))
                elif component in comps:
                    out.append(comps[component])
        return out

    checked = 0
    for row in rows:
        records = [dict(s) for s in row["segments"]]
        first = lambda v: v[0] if v else None  # noqa: E731
        assert row["PID-3.1"] == first(values(records, "PID", 3, 1))
        # MSH's keys are one below HL7's numbering: MSH-9 is key 8.
        assert row["MSH-9.1"] == first(values(records, "MSH", 8, 1))
        assert row["OBX-5"] == values(records, "OBX", 5)
        assert row["OBX-5.2"] == values(records, "OBX", 5, 2)
        assert row["PID-5"] == first(values(records, "PID", 5))
        checked += bool(row["OBX-5"])
    assert checked > 50
    with pytest.raises(ValueError, match="SEG-F"):
        field("PID3")
    # The field layout: "all PID-3 identifiers" is one WHERE.
    long = segmorph_spark.read(spark, str(CORPUS), recursiveFileLookup=True, layout="fields")
    ids = long.where("segment_name = 'PID' and field = 3 and component = 1").count()
    assert ids == sum(len(values([dict(s) for s in r["segments"]], "PID", 3, 1)) for r in rows)
    assert long.count() == spark.read.format("hl7").option("layout", "fields").load(str(CORPUS)).count()


def test_parse_a_column_of_texts(spark):
    import segmorph_spark

    texts = [p.read_bytes() for p in CORPUS_FILES[:20] if len(sb_frame_messages(p.read_bytes())) == 1]
    frame = spark.createDataFrame([(t,) for t in texts] + [(None,), (b"",)], "value binary")
    parsed = frame.select(segmorph_spark.parse("value").alias("m")).select(
        "m.control_id", "m.segments", "m.error", segmorph_spark.field("PID-3.1", "m.segments").alias("pid")).collect()
    import pyarrow as pa
    import segmorph_batch

    want = pa.table(segmorph_batch.to_arrow(b"".join(t.rstrip() + b"\n" for t in texts))).to_pylist()
    assert [r["control_id"] for r in parsed[:-2]] == [w["control_id"] for w in want]
    assert [records_of(r) for r in parsed[:-2]] == [[dict(s) for s in w["segments"]] for w in want]
    assert parsed[-2]["segments"] is None and "empty" in parsed[-1]["error"]


def sb_frame_messages(data):
    import segmorph_batch

    return [p for p in segmorph_batch.frame(data) if p[0] == "message"]


def test_writes_escape_as_to_hl7_and_refuse_what_they_cannot_do(spark, tmp_path):
    source = spark.read.format("hl7").load(str(CORPUS))
    out = tmp_path / "out"
    source.coalesce(1).write.format("hl7").mode("append").save(str(out))
    (written,) = out.glob("part-*.hl7")
    text = written.read_bytes()
    records = [records_of(r) for r in source.collect()]
    (tmp_path / "records.jsonl").write_text("".join(json.dumps(r) + "\n" for r in records))
    done = subprocess.run([str(COMMAND), "to-hl7", str(tmp_path / "records.jsonl")], capture_output=True,
                          timeout=60, env=ENV)
    # Spark's maps keep no key order, so lines are compared as sets of fields.
    canon = lambda data: sorted(data.replace(b"\r", b"\n").split(b"\n"))  # noqa: E731
    assert b"\\X20\\" not in text and canon(text) == canon(done.stdout)
    back = spark.read.format("hl7").load(str(out)).collect()
    assert sorted(json.dumps(records_of(r), sort_keys=True) for r in back) == \
           sorted(json.dumps(r, sort_keys=True) for r in records)
    source.coalesce(1).write.format("hl7").mode("overwrite").option("escape", "full").save(str(out))
    assert b"\\X20\\" in next(out.glob("part-*.hl7")).read_bytes()
    with pytest.raises(Exception, match="Append|Overwrite"):
        source.write.format("hl7").save(str(tmp_path / "no-mode"))
    with pytest.raises(Exception, match="escape"):
        source.write.format("hl7").mode("overwrite").option("escape", "some").save(str(out))


@pytest.mark.parametrize("sizes, parallelism, at_least", [
    ([256 << 20], 16, 16),           # one large file spread over every task
    ([1 << 20] * 40, 2, 2),          # small files packed, still two tasks
    ([10 << 30], 4, 80),             # never more than Spark's 128 MB a split
])
def test_splits_are_sized_as_sparks_file_sources(sizes, parallelism, at_least, tmp_path):
    _spark_or_skip()
    from segmorph_spark import plan_splits, split_size_for

    size = split_size_for(sizes, 128 << 20, parallelism)
    assert 4 << 20 <= size <= 128 << 20
    splits = -(-sum(s + (4 << 20) for s in sizes) // size)
    assert splits >= at_least
    if len(sizes) == 1 and sizes[0] <= 256 << 20:
        path = tmp_path / "big.hl7"
        with open(path, "wb") as f:
            f.truncate(sizes[0])
        assert len(plan_splits([str(path)], size)) >= at_least


def test_a_large_file_from_sparks_layer_is_converted_in_pieces(monkeypatch):
    _spark_or_skip()
    import pyarrow as pa

    import segmorph_spark
    from _segmorph_lake import read_options

    parts = [b"FHS|^~\\&|F||||||||FILE9\rBHS|^~\\&|B||||||||BATCH4\r"]
    plain = [p.read_bytes() for p in CORPUS_FILES]
    parts += [d.rstrip() + b"\r" for d in plain if not any(n in d for n in (b"FHS|", b"BHS|", b"BTS|", b"FTS|"))]
    data = b"".join(parts) + b"BTS|1\rFTS|1\r"
    files = pa.record_batch({"path": ["file:/lake/day=3/x.hl7", "file:/lake/day=3/y.txt"], "modificationTime": [0, 0],
                             "length": [len(data), 4], "content": [data, b"junk"], "day": [3, 3]})
    convert = segmorph_spark._convert_files(read_options({}), ["day"])
    whole = list(convert(iter([files])))
    monkeypatch.setattr(segmorph_spark, "_PIECE_SIZE", len(data) // 9)
    pieces = list(convert(iter([files])))
    assert len(whole) == 1 and len(pieces) >= 9
    assert pa.Table.from_batches(pieces).to_pylist() == pa.Table.from_batches(whole).to_pylist()
    rows = pa.Table.from_batches(pieces).to_pylist()
    assert {(r["file_control_id"], r["batch_control_id"], r["day"]) for r in rows} == {("FILE9", "BATCH4", 3)}
