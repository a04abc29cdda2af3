"""segmorph_batch: framing, validation and Arrow batches of many messages,
checked against the module's classes and the command."""
import gc
import subprocess
from pathlib import Path

import pyarrow as pa
import pytest

import segmorph_batch as sb
from conftest import COMMAND, ENV
from segmorph import Hl7Json, JsonHl7

CORPUS = Path(__file__).parent / "fixtures" / "corpus"
CORPUS_FILES = sorted(CORPUS.rglob("*.hl7"))

HEADER = "MSH|^~\\&|APP|FAC|RAPP|RFAC|20240101||ADT^A01^ADT_A01|CTRL1|P|2.5|2.5"
PID = "PID|1||123^^^HOSP^MR||Doe^John"


def rows(data, **options):
    return pa.table(sb.to_arrow(data, **options)).to_pylist()


def records(row):
    return None if row["segments"] is None else [dict(m) for m in row["segments"]]


@pytest.mark.parametrize("escaping", [True, False])
def test_corpus_rows_hold_the_records_of_hl7json(escaping):
    for path in CORPUS_FILES:
        data = path.read_bytes()
        pieces = [(s, e) for kind, s, e in sb.frame(data) if kind == "message"]
        got = rows(data, source=str(path), escaping=escaping)
        assert [(r["offset"], r["index"]) for r in got] == [(s, i) for i, (s, _) in enumerate(pieces)]
        for row, (start, end) in zip(got, pieces):
            text = data[start:end].decode()
            want = Hl7Json(text, escaping_enabled=escaping).hl7_json
            # Same keys, values and order.
            assert [list(r.items()) for r in records(row)] == [list(r.items()) for r in want], path
            assert row["source"] == str(path) and row["error"] is None
            header = text.splitlines()[0].split("|")
            assert (row["message_type"], row["control_id"]) == (header[8], header[9])


def test_a_failed_message_is_a_row_with_the_commands_error_text(tmp_path):
    bad_header = "MSH|^~\\&|APP|FAC|RAPP|RFAC|20240101||ADT|CTRL2|P|2.5|2.5"
    data = "\n".join([HEADER, PID, bad_header, PID, HEADER.replace("CTRL1", "CTRL3")]).encode()
    data += b"\nPID|1||\xff\xfe"
    got = rows(data, validate="standard", source="feed")
    assert [r["control_id"] for r in got] == ["CTRL1", "CTRL2", None]
    assert [r["segments"] is None for r in got] == [False, True, True]
    assert got[0]["error"] is None
    # The texts the command reports for the same messages.
    file = tmp_path / "feed.hl7"
    file.write_bytes(data)
    done = subprocess.run([str(COMMAND), "to-json", "--validate", "-q", str(file)], capture_output=True, timeout=60, env=ENV)
    reported = done.stderr.decode()
    for n, row in enumerate(got):
        if row["error"] is not None:
            assert f"message {n}: {row['error']}" in reported
    # Without validation only the bytes that are not UTF-8 fail.
    assert [r["error"] is None for r in rows(data)] == [True, True, False]


@pytest.mark.parametrize("rules", ["standard", "seed"])
@pytest.mark.parametrize("strict", [False, True])
def test_validate_gives_the_commands_verdicts(tmp_path, rules, strict):
    files = CORPUS_FILES[:40] + [Path(__file__).parent / "fixtures" / "ADT-A01-01.hl7"]
    args = [str(COMMAND), "validate", "--rules", rules, *(["--strict"] if strict else []), *map(str, files)]
    done = subprocess.run(args, capture_output=True, timeout=120, env=ENV)
    verdicts = dict(line.split(": ", 1) for line in done.stdout.decode().splitlines())
    checked = 0
    for path in files:
        data = path.read_bytes()
        for n, (kind, s, e) in enumerate(p for p in sb.frame(data) if p[0] == "message"):
            expected = verdicts[f"{path}:{n}"]
            try:
                sb.validate(data[s:e], rules, strict)
                got = "ok"
            except Exception as error:  # the module's exception type, as segmorph raises
                assert type(error) is Exception
                got = str(error)
            assert got == expected
            checked += 1
    assert checked > 40


@pytest.mark.parametrize("data", [
    # a batch file with envelopes, CRLF and a byte-order mark in front
    b"\xef\xbb\xbfFHS|^~\\&|F\r\nBHS|^~\\&|B\r\n" + b"".join(
        f"{HEADER.replace('CTRL1', str(i))}\r\n{PID}\r\n\r\n".encode() for i in range(6)) + b"BTS|6\r\nFTS|1\r\n",
    # an MLLP capture, two messages in one block
    b"".join(f"\x0b{HEADER}\r{PID}\r{HEADER}\r\x1c\r".encode() for _ in range(4)),
    # LF lines, a message without MSH after an envelope, text with no MSH at all
    f"junk\n{HEADER}\nBHS|x\nEVN|A01\n{PID}\nBTS|1\n \n{HEADER}\n{PID}\n".encode(),
])
def test_ranges_cut_at_message_starts_frame_as_the_whole(data):
    whole = sb.frame(data)
    for pos in range(len(data) + 1):
        cut = sb.next_message_start(data, pos)
        assert pos <= cut <= len(data) or (pos > len(data) and cut == len(data))
        before = sb.frame(data[:cut])
        after = [(k, s + cut, e + cut) for k, s, e in sb.frame(data[cut:])]
        assert before + after == whole, pos
    # The same rows, read in ranges of a few bytes each (offsets and indices
    # carried on), as read whole.
    expected = rows(data)
    got, start = [], 0
    while start < len(data):
        stop = sb.next_message_start(data, start + 7)
        got += rows(memoryview(data)[start:stop], base_offset=start, base_index=len(got))
        start = stop
    assert got == expected


def test_from_arrow_gives_the_text_of_jsonhl7_for_every_layout():
    data = b"".join(p.read_bytes() + b"\n" for p in CORPUS_FILES[:30])
    batch = sb.to_arrow(data)
    table = pa.table(batch)
    texts = [JsonHl7(records(r)).hl7_string.encode() + b"\n" for r in table.to_pylist()]
    expected = b"".join(texts)
    assert sb.from_arrow(batch, escape="full") == expected
    assert sb.from_arrow(pa.record_batch(batch), escape="full") == expected
    # A slice has offsets of its own at every level.
    assert sb.from_arrow(table.slice(3, 5), escape="full") == b"".join(texts[3:8])
    assert sb.from_arrow(batch, escaping=False) == b"".join(
        JsonHl7(records(r)).hl7_string_unescaped.encode() + b"\n" for r in table.to_pylist())
    # Read back, the text gives the same records.
    assert [records(r) for r in rows(sb.from_arrow(batch))] == [records(r) for r in table.to_pylist()]
    polars = pytest.importorskip("polars")
    assert sb.from_arrow(polars.from_arrow(table), escape="full") == expected


def test_large_and_view_string_layouts_are_read():
    segments = [[{"1": "a^b", "segment_name": "MSH"}, {"3": "x", "segment_name": "PID"}], None, []]
    for string in (pa.string(), pa.large_string(), pa.string_view()):
        for list_of in (pa.list_, pa.large_list):
            table = pa.table({"segments": pa.array(
                [None if s is None else [list(r.items()) for r in s] for s in segments],
                type=list_of(pa.map_(string, string)))})
            assert sb.from_arrow(table) == (JsonHl7(segments[0]).hl7_string + "\n").encode()


@pytest.mark.parametrize("value, error, text", [
    (object(), TypeError, "__arrow_c_stream__ or __arrow_c_array__"),
    (pa.table({"other": [1]}), ValueError, 'no column named "segments"'),
    (pa.table({"segments": [1]}), ValueError, "must be a list of maps"),
    (pa.table({"segments": pa.array([[[("1", "a"), ("1", "b")]]], type=pa.list_(pa.map_(pa.string(), pa.string())))}),
     ValueError, 'has the key "1" twice'),
    (pa.table({"segments": pa.array([[[("1", None)]]], type=pa.list_(pa.map_(pa.string(), pa.string())))}),
     ValueError, "null key or value"),
])
def test_from_arrow_refuses_what_it_cannot_read(value, error, text):
    with pytest.raises(error, match=text.replace("(", r"\(")):
        sb.from_arrow(value)


def test_the_batch_is_shared_not_copied_and_outlives_its_object():
    data = b"\n".join(p.read_bytes() for p in CORPUS_FILES[:10])
    batch = sb.to_arrow(data)
    first, second = pa.table(batch), pa.record_batch(batch)
    keys = [t.column("segments").chunks[0].values.keys if isinstance(t, pa.Table) else t.column("segments").values.keys
            for t in (first, second)]
    assert keys[0].buffers()[2].address == keys[1].buffers()[2].address
    expected = first.to_pylist()
    del batch, second
    gc.collect()
    assert first.to_pylist() == expected
    assert len(sb.to_arrow(b"")) == 0 and pa.table(sb.to_arrow(b"")).num_rows == 0


@pytest.mark.parametrize("call, error", [
    (lambda: sb.to_arrow(b"", ""), TypeError),
    (lambda: sb.to_arrow(b"", validate="loose"), ValueError),
    (lambda: sb.to_arrow(b"", base_offset=-1), ValueError),
    (lambda: sb.to_arrow(12), TypeError),
    (lambda: sb.next_message_start(b"", -1), ValueError),
    (lambda: sb.from_arrow(pa.table({"segments": [None]}), True), TypeError),
])
def test_arguments_are_checked(call, error):
    with pytest.raises(error):
        call()


def test_the_dask_recipe_of_the_readme_runs():
    pytest.importorskip("dask.dataframe")
    pytest.importorskip("fsspec")
    readme = (Path(__file__).parent.parent / "README.md").read_text()
    recipe = next(block.split("```")[0] for block in readme.split("```python\n")[1:]
                  if "import segmorph_dask" in block.split("```")[0])
    recipe = recipe.replace('"s3://lake/hl7/"', repr(str(CORPUS)))
    names = {"__name__": "__main__"}
    exec(compile(recipe, "README.md", "exec"), names)
    assert int(names["counts"].sum()) == sum(len(sb.to_arrow(p.read_bytes())) for p in CORPUS_FILES)
