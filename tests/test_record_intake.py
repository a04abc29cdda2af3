"""Records handed to JsonHl7 as dicts of every make read as the same records:
dicts walked in place or not (deleted items, subclasses, instance dicts,
tables that once held other keys), entries that leave the fast path part way
through a dict, keys known by their text whatever object holds it (and never
mistaken for a key of the same bytes and another length), and the store's
blocks reused across calls, objects and threads."""

from __future__ import annotations

import json
import threading

import pytest

from segmorph import Hl7Json, JsonHl7

RECORD = {"segment_name": "PID", "1": "1", "3[0].1": "12345", "3[1]": "a|b", "5.2": "John", "8": "M"}
WANT = JsonHl7([dict(RECORD)]).hl7_string


def with_deleted_item():
    d = {"x": "gone", **RECORD, "7": "gone too"}
    del d["x"], d["7"]
    return d


def once_held_an_int_key():
    d = dict(RECORD)
    d[7] = "any"  # the table becomes a general one and stays so
    del d[7]
    return d


class Plain:
    pass


def instance_dict():
    o = Plain()
    o.__dict__.update(RECORD)
    return o.__dict__


class Sub(dict):
    pass


class Text(str):
    pass


@pytest.mark.parametrize(
    "make",
    [
        with_deleted_item,
        once_held_an_int_key,
        instance_dict,
        lambda: Sub(RECORD),
        lambda: json.loads(json.dumps(RECORD)),
        lambda: {Text(k): v for k, v in RECORD.items()},  # keys off the fast path from the first
        lambda: {k: (Text(v) if k == "3[1]" else v) for k, v in RECORD.items()},  # one value part way
    ],
)
def test_every_kind_of_dict_reads_alike(make):
    assert JsonHl7([make()]).hl7_string == WANT


def via_file(records, tmp_path):
    """The text of the records read by the record file reader instead."""
    path = tmp_path / "records.json"
    path.write_text(json.dumps(records), encoding="utf-8")
    return JsonHl7.from_file(str(path)).hl7_string


@pytest.mark.parametrize("value", ["é|ü", "\U0001f600", "a\x00b"])
def test_value_off_the_fast_path_part_way_through(value, tmp_path):
    # The entries after it are taken by the general path.
    record = {**RECORD, "9": value, "10": "after"}
    assert JsonHl7([record]).hl7_string == via_file([record], tmp_path)


@pytest.mark.parametrize(
    "key, placed",
    [
        ("1", True),
        ("1\x00", False),            # the bytes of "1" and one more
        ("\x001", False),
        ("00000012", True),          # eight digits, no code: read by the general rules
        ("100[2].10", True),         # nine bytes and more: two words
        ("100[2].100", True),
        ("1000[20].1000", True),
        ("1000[20].10000", True),    # sixteen
        ("10000[20].10000", True),   # seventeen: read each time
        ("segment_namf", False),
        ("segment_name ", False),
    ],
)
def test_keys_known_by_all_their_bytes(key, placed, tmp_path):
    # Keys of the same first bytes, one byte shorter or longer, or another
    # last byte, are met first; then the key itself, as a key object of its
    # own (a JSON library's) and once more.
    for probe in (key[:-1] or "0", key + "0", key[:-1] + "9", key[:-1] + "0"):
        JsonHl7([{"segment_name": "ZZZ", probe: "v"}]).hl7_string
    records = [{"segment_name": "ZZZ", key: "v"}]
    text = JsonHl7(json.loads(json.dumps(records))).hl7_string
    assert text == JsonHl7(records).hl7_string == via_file(records, tmp_path)
    assert (text != "ZZZ") == placed


def test_keys_of_loaded_records_match_the_module_s_own(tmp_path):
    messages = [
        "MSH|^~\\&|A|B|C|D|20240101||ADT^A01|1|P|2.5\rPID|1||12345^^^H^MR~678^^^H^PI||Doe^John||19800101|M",
        "MSH|^~\\&|A|B\rOBX|1|ST|1000^x||" + "~".join(f"r{n}^c" for n in range(12)),
    ]
    for text in messages:
        made = Hl7Json(text).hl7_json
        want = via_file(made, tmp_path)
        assert JsonHl7(made).hl7_string == want
        assert JsonHl7(json.loads(json.dumps(made))).hl7_string == want


def test_store_blocks_reused_across_sizes_and_held_objects():
    small = [dict(RECORD)]
    big = [{"segment_name": "ZL", **{f"2[{r}].{c}": f"v{r}.{c}" for r in range(2000) for c in (1, 2)}}] * 40
    big_text = JsonHl7(big).hl7_string
    # Blocks past the pool's bounds, then small ones, then more objects held
    # at once than the pool keeps blocks.
    for records in (big, small, big, small):
        assert JsonHl7(records).hl7_string == (big_text if records is big else WANT)
    held = [JsonHl7(big if n % 3 == 0 else small) for n in range(30)]
    assert [h.hl7_string for h in held] == [big_text if n % 3 == 0 else WANT for n in range(30)]
    del held
    assert JsonHl7(small).hl7_string == WANT


def test_threads_that_come_and_go():
    # Each thread leaves blocks in its own pool, freed when it ends.
    records = [dict(RECORD)] * 50
    want = JsonHl7(records).hl7_string
    results = []

    def work():
        held = JsonHl7(records)  # freed by the thread that made it
        results.append(held.hl7_string == want and JsonHl7(records).hl7_string == want)

    for _ in range(5):
        threads = [threading.Thread(target=work) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    # An object made on one thread and freed on another.
    made = []
    maker = threading.Thread(target=lambda: made.append(JsonHl7(records)))
    maker.start()
    maker.join()
    assert made.pop().hl7_string == want
    assert results == [True] * 40
