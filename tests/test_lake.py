"""Files as a data lake holds them, without Spark: gzip files, envelopes,
failed messages and their text, the field layout, parsing a column of
texts, the file choice and sizes the command uses, and the Dask reader."""
import gzip
import json
import subprocess
from pathlib import Path

import pyarrow as pa
import pytest

import segmorph_batch as sb
from conftest import COMMAND, ENV

CORPUS = Path(__file__).parent / "fixtures" / "corpus"
CORPUS_FILES = sorted(CORPUS.rglob("*.hl7"))
HEADER = "MSH|^~\\&|APP|FAC|RAPP|RFAC|20240101||ADT^A01^ADT_A01|{}|P|2.5"
PID = "PID|1||123^^^HOSP^MR~456||Doe^John"


def table(data, **options):
    return pa.table(sb.to_arrow(data, **options))


def to_json(*paths, args=()):
    done = subprocess.run([str(COMMAND), "to-json", "-q", *args, *map(str, paths)], capture_output=True, timeout=120,
                          env=ENV)
    return done, [json.loads(line) for line in done.stdout.decode().splitlines()]


def batch_file(control_ids=("F7", "B3")):
    file_id, batch_id = control_ids
    return "\r".join([
        f"FHS|^~\\&|F||||||||{file_id}", f"BHS|^~\\&|B||||||||{batch_id}",
        HEADER.format("C1"), PID, HEADER.format("C2"), PID, "BTS|2",
        HEADER.format("C3"), PID, "FTS|1", HEADER.format("C4"), ""]).encode()


def test_gzip_files_read_as_their_text_everywhere(tmp_path):
    plain, packed = tmp_path / "plain", tmp_path / "packed"
    plain.mkdir(), packed.mkdir()
    for path in CORPUS_FILES[:40]:
        (plain / path.name).write_bytes(path.read_bytes())
        # Named without .gz: the first bytes decide.
        (packed / path.name).write_bytes(gzip.compress(path.read_bytes()))
    # Two members one after another read as one text, as gzip -d reads them.
    data = batch_file()
    (plain / "batch.hl7").write_bytes(data)
    (packed / "batch.hl7").write_bytes(gzip.compress(data[:50]) + gzip.compress(data[50:]))
    _, want = to_json(plain)
    done, got = to_json(packed)
    assert done.returncode == 0 and len(got) > 40
    assert [json.dumps({**i, "source": Path(i["source"]).name}) for i in got] == \
           [json.dumps({**i, "source": Path(i["source"]).name}) for i in want]
    assert sb.list_files(str(packed)) == sorted(map(str, packed.iterdir()), key=lambda p: p.encode())
    for name in ("batch.hl7", CORPUS_FILES[0].name):
        assert table((packed / name).read_bytes()).to_pylist() == table((plain / name).read_bytes()).to_pylist()


@pytest.mark.parametrize("cut", [10, 60, -8])
def test_a_cut_gzip_file_fails_clearly(tmp_path, cut):
    packed = gzip.compress(batch_file())[:cut]
    (tmp_path / "cut.hl7").write_bytes(packed)
    done, _ = to_json(tmp_path / "cut.hl7")
    assert done.returncode != 0 and b"gzip data is cut short" in done.stderr
    rows = table(packed, corrupt_record_column="bad").to_pylist()
    assert "gzip data is cut short" in rows[-1]["error"] and rows[-1]["segments"] is None
    assert all(r["error"] is None for r in rows[:-1])


def test_rows_carry_their_file_and_batch_control_ids_in_every_range():
    data = batch_file()
    whole = table(data).to_pylist()
    ids = [(r["control_id"], r["file_control_id"], r["batch_control_id"]) for r in whole]
    assert ids == [("C1", "F7", "B3"), ("C2", "F7", "B3"), ("C3", "F7", None), ("C4", None, None)]
    # Read in ranges as a split reader does: looked up before the first
    # range, carried on from one range to the next.
    for step in (1, 13, 64):
        got, start, envelope = [], 0, None
        while start < len(data):
            stop = min(len(data), start + step)
            batch = sb.to_arrow(data, start=start, stop=stop, envelope=envelope)
            got += pa.table(batch).to_pylist()
            envelope, start = batch.envelope_after, stop
        # (index counts from each call's first message)
        assert [dict(r, index=0) for r in got] == [dict(r, index=0) for r in whole]
        assert pa.table(sb.to_arrow(data, start=0, stop=None)).to_pylist() == whole
        alone = [dict(r, index=0) for s in range(0, len(data), step)
                 for r in pa.table(sb.to_arrow(data, start=s, stop=s + step)).to_pylist()]
        assert alone == [dict(r, index=0) for r in whole]


def test_failed_messages_are_rows_with_their_text(tmp_path):
    good = f"{HEADER.format('C1')}\r{PID}\r"
    bad = f"{HEADER.format('C2')}\rPID|1||caf\xe9\r".encode("latin-1")
    capture = b"\x0b" + good.encode() + b"\x1c\r" + b"\x0b" + bad + b"\x1c\r\x0b" + good.encode()
    rows = table(capture, source="feed", corrupt_record_column="_corrupt_record").to_pylist()
    assert [r["error"] is None for r in rows] == [True, False, False]
    assert "byte 0xE9" in rows[1]["error"] and rows[1]["_corrupt_record"] == bad.decode("latin-1").replace("\xe9", "\ufffd").rstrip("\r")
    assert "ends inside an MLLP block" in rows[2]["error"] and rows[2]["_corrupt_record"] == good.rstrip("\r")
    # The command counts the same two as failures.
    (tmp_path / "feed").write_bytes(capture)
    done, _ = to_json(tmp_path / "feed")
    assert b"message 1: HL7 encoding error" in done.stderr and b"message 2: the input ends inside" in done.stderr
    # A range that stops before the end of the input is not cut.
    assert table(capture, ends_input=False).to_pylist()[2]["error"] is None
    # The encoding option reads the Latin-1 message, as --encoding does.
    assert table(capture, encoding="latin-1").to_pylist()[1]["error"] is None
    with pytest.raises(ValueError, match="encoding"):
        sb.to_arrow(b"", encoding="ebcdic")


def rebuild(rows):
    """Records from field rows: a repetition is named when the field has
    several, a component when its repetition has several."""
    messages = {}
    for r in rows:
        segs = messages.setdefault(r["offset"], {})
        segs.setdefault(r["segment"], (r["segment_name"], []))[1].append(r)
    out = []
    for offset in sorted(messages):
        records = []
        for number in sorted(messages[offset]):
            name, values = messages[offset][number]
            record = {}
            for v in values:
                f = v["field"] - (1 if name == "MSH" else 0)
                reps = {w["repetition"] for w in values if w["field"] == v["field"]}
                comps = {w["component"] for w in values if w["field"] == v["field"] and w["repetition"] == v["repetition"]}
                key = str(f) + (f"[{v['repetition'] - 1}]" if len(reps) > 1 else "") + \
                    (f".{v['component']}" if len(comps) > 1 else "")
                record[key] = v["value"]
            record["segment_name"] = name
            records.append(record)
        out.append(records)
    return out


def test_the_field_layout_rebuilds_the_records():
    data = b"".join(p.read_bytes().rstrip() + b"\n" for p in CORPUS_FILES)
    messages = table(data).to_pylist()
    fields = table(data, layout="fields").to_pylist()
    assert rebuild(fields) == [[dict(r) for r in m["segments"]] for m in messages]
    msh9 = [r["value"] for r in fields if r["segment_name"] == "MSH" and r["field"] == 9 and r["component"] == 1]
    assert msh9 == [m["message_type"].split("^")[0] for m in messages]
    # A failed message is one row with its error.
    failed = table(b"MSH|^~\\&|A\rPID|\xff", layout="fields", corrupt_record_column="raw").to_pylist()
    assert len(failed) == 1 and failed[0]["field"] is None and "0xFF" in failed[0]["error"] and failed[0]["raw"]


def test_parse_turns_a_column_of_texts_into_rows():
    texts = [f"{HEADER.format('C1')}\r{PID}", None, "", f"{HEADER.format('C2')}\n{HEADER.format('C3')}",
             f"\x0b{HEADER.format('C4')}\r\x1c\r"]
    for column in (pa.array(texts), pa.array([None if t is None else t.encode() for t in texts], pa.large_binary())):
        rows = pa.table(sb.parse(column, corrupt_record_column="raw")).to_pylist()
        assert [r["control_id"] for r in rows] == ["C1", None, None, "C2", "C4"]
        assert [r["error"] is not None for r in rows] == [False, False, True, True, False]
        assert rows[0]["segments"] == table(texts[0]).to_pylist()[0]["segments"]
        assert rows[3]["raw"] == texts[3] and rows[1]["segments"] is None
    with pytest.raises(ValueError, match="strings or binary"):
        sb.parse(pa.array([1, 2]))


@pytest.mark.parametrize("text, size", [("4096", 4096), ("64k", 65536), ("64KB", 65536), ("128m", 128 << 20),
                                        ("64MB", 64 << 20), ("1g", 1 << 30), ("2GiB", 2 << 30), (512, 512)])
def test_sizes_as_spark_writes_them(text, size):
    assert sb.parse_size(text) == size


@pytest.mark.parametrize("text", ["", "0", "64 MB", "1x", "-1", "2T0"])
def test_bad_sizes_are_refused_here_and_by_the_command(text):
    with pytest.raises(ValueError):
        sb.parse_size(text)
    done, _ = to_json(CORPUS_FILES[0], args=("--max-message-bytes", text))
    assert done.returncode == 2


def test_the_command_takes_spark_sizes():
    done, items = to_json(CORPUS_FILES[0], args=("--max-message-bytes", "64MB"))
    assert done.returncode == 0 and items


def test_the_file_choice_is_the_commands(tmp_path):
    (tmp_path / "a").mkdir()
    (tmp_path / ".hidden").mkdir()
    files = {"a/one.txt": b"\xef\xbb\xbf\r\n MSH|^~\\&|X", "a/two": b"\x0bMSH|", "b.json": b"[{}]",
             ".hidden/c.hl7": b"MSH|^~\\&|X", "a/.d.hl7": b"BHS|", "e.gz": gzip.compress(b"\n\nFHS|^~\\&\rMSH|^~\\&|X"),
             "f.gz": gzip.compress(b"{}"), "g": b"   ", "h": b"MS"}
    for name, data in files.items():
        (tmp_path / name).write_bytes(data)
    listed = sb.list_files(str(tmp_path))
    done = subprocess.run([str(COMMAND), "validate", "-v", str(tmp_path)], capture_output=True, timeout=60, env=ENV)
    assert listed == [str(tmp_path / n) for n in ("a/one.txt", "a/two", "e.gz")]
    for name in files:
        mentioned = str(tmp_path / name) + ":" in done.stdout.decode()
        assert mentioned == (str(tmp_path / name) in listed) or name.startswith(".") or "/." in name, name
    assert [sb.is_hl7(files[n]) for n in ("a/one.txt", "b.json", "e.gz", "f.gz", "g", "h")] == \
           [True, False, True, False, False, False]
    assert sb.is_hl7(b"  ", complete=False) and sb.is_hl7(b"MS", complete=False)
    assert [sb.is_hidden(p) for p in ("a/.b/c", ".a", "a/b", "a./b")] == [True, True, False, False]
    assert len(sb.list_files(str(tmp_path), hidden=True)) == 5
    with pytest.raises(FileNotFoundError):
        sb.list_files(str(tmp_path / "missing"))


@pytest.mark.parametrize("escape", ["minimal", "full", "none"])
def test_from_arrow_escapes_as_to_hl7_does(tmp_path, escape):
    data = b"".join(p.read_bytes().rstrip() + b"\n" for p in CORPUS_FILES[:60])
    batch = sb.to_arrow(data)
    records = [[dict(r) for r in row["segments"]] for row in pa.table(batch).to_pylist()]
    (tmp_path / "in.jsonl").write_text("".join(json.dumps(r) + "\n" for r in records))
    done = subprocess.run([str(COMMAND), "to-hl7", "--escape", escape, str(tmp_path / "in.jsonl")],
                          capture_output=True, timeout=60, env=ENV)
    assert done.returncode == 0, done.stderr
    expected = done.stdout.replace(b"\r", b"\n")
    got = sb.from_arrow(batch, **({} if escape == "minimal" else {"escape": escape}))
    assert got.split() == expected.split()
    if escape == "minimal":
        assert b"\\X20\\" not in got and b"\\T\\" not in got


def test_dask_reads_folders_memory_and_cut_files(tmp_path):
    dask = pytest.importorskip("dask.dataframe")  # noqa: F841
    fsspec = pytest.importorskip("fsspec")
    import segmorph_dask

    _, items = to_json(CORPUS)
    count = sum("records" in i for i in items)
    assert len(segmorph_dask.read_hl7(str(CORPUS)).compute()) == count
    memory = fsspec.filesystem("memory")
    for path in CORPUS_FILES:
        memory.pipe(f"/lake-{id(tmp_path)}/{path.parent.name}/{path.name}", path.read_bytes())
    memory.pipe(f"/lake-{id(tmp_path)}/notes.txt", b"not a feed")
    frame = segmorph_dask.read_hl7(f"memory://lake-{id(tmp_path)}", mode="DROPMALFORMED").compute()
    assert len(frame) == count and frame["source"].str.startswith("memory://").all()
    # One file cut at message starts gives every message once.
    data = batch_file() + b"".join(p.read_bytes().rstrip() + b"\n" for p in CORPUS_FILES)
    (tmp_path / "big.hl7").write_bytes(gzip.compress(data))
    (tmp_path / "big2.hl7").write_bytes(data)
    cut = segmorph_dask.read_hl7([str(tmp_path / "big2.hl7"), str(tmp_path / "big.hl7")], splitSize=len(data) // 7)
    assert cut.npartitions == 8 + 1  # the gzip copy is read whole
    rows = cut.compute()
    whole = table(data).to_pylist()
    assert sorted(rows["offset"]) == sorted([r["offset"] for r in whole] * 2)
    with pytest.raises(ValueError, match="unknown option"):
        segmorph_dask.read_hl7(str(CORPUS), bogus=1)


@pytest.mark.parametrize("module", ["segmorph_batch", "segmorph_spark", "segmorph_dask"])
def test_public_functions_carry_help(module):
    mod = pytest.importorskip(module)
    assert mod.__doc__
    for name in mod.__all__:
        item = getattr(mod, name)
        if callable(item):
            doc = item.__doc__ or ""
            # A text past the signature line that help() shows.
            assert len(doc.split("--\n\n")[-1].strip()) > 30, f"{module}.{name}"
