"""Records taken from dicts whose entries outgrow the store's room part way
through a record: every way of adding an entry (a key known by its code or
kept as text, an ASCII value or any other), the segment name placed before
or after the store grows, values of every short length, and sequences that
tell the store nothing of their size.  The file reader is the reference."""

from __future__ import annotations

import json

import pytest

from segmorph import JsonHl7


def via_file(records, tmp_path):
    path = tmp_path / "records.json"
    path.write_text(json.dumps(records), encoding="utf-8")
    return JsonHl7.from_file(str(path)).hl7_string


def long_record(name_at: int, extra: dict[str, str]) -> dict[str, str]:
    # Values of 0 to 40 bytes (each side of the eight- and sixteen-byte
    # copies), among keys the store knows by code and keys it keeps as text.
    items = []
    for n in range(300):
        items.append((f"{n % 40 + 1}[{n // 40}].{n % 3 + 1}", "v" * (n % 41)))
        if n % 7 == 0:
            items.append((f"note{n}", "t" * (n % 23)))
    items.insert(name_at, ("segment_name", "ZLG"))
    record = dict(items)
    record.update(extra)
    return record


@pytest.mark.parametrize("name_at", [0, 150, 342])
@pytest.mark.parametrize(
    "extra",
    [
        {},
        {"41": "é|ü" * 30, "42": "after"},    # the general path part way through
        {"note é": "x" * 50, "43": "a" * 9},  # a key with no code, not ASCII
    ],
    ids=["ascii", "value-not-ascii", "key-not-ascii"],
)
@pytest.mark.parametrize("shape", [list, tuple], ids=["list", "tuple"])
def test_records_that_outgrow_the_store(name_at, extra, shape, tmp_path):
    records = [{"segment_name": "MSH", "1": "|", "2": "^~\\&"}, long_record(name_at, extra)] * 3
    want = via_file(records, tmp_path)
    assert JsonHl7(shape(records)).hl7_string == want
    assert JsonHl7(shape(json.loads(json.dumps(records)))).hl7_string == want
    # The records held are the same too, and read alike a second time.
    made = JsonHl7(shape(records))
    assert made.json_data == JsonHl7.from_file(str(tmp_path / "records.json")).json_data
    assert JsonHl7(made.json_data).hl7_string == want
