"""The shortcuts of the conversions give what the plain rules give: keys in
byte order from their numbers (also past the shared key table), records in
any key order, record files read by either JSON reader, and conversions on
several threads at once sharing keys."""

from __future__ import annotations

import json
import threading

import pytest

from conftest import plain_record
from segmorph import Hl7Json, JsonHl7


def wide_line(fields: int, reps: int, comps: int) -> str:
    """A segment whose last field repeats `reps` times with `comps` components."""
    rep = "^".join(f"c{k}" for k in range(1, comps + 1))
    return "|".join(["ZZZ"] + [f"v{n}" for n in range(1, fields)] + ["~".join([rep] * reps)])


@pytest.mark.parametrize(
    "line",
    [
        wide_line(9, 1, 1),
        wide_line(10, 1, 1),
        wide_line(12, 11, 1),       # repetitions past ten: "12[10]" before "12[1]"
        wide_line(3, 2, 12),        # components past ten: "3[0].10" before "3[0].2"
        wide_line(21, 1, 12),
        wide_line(130, 1, 1),       # fields past the shared key table
        wide_line(5, 9, 1),         # repetitions past it
        wide_line(5, 1, 40),        # components past it
        wide_line(101, 12, 33),
        "ZZZ|a~b|" + "|".join("x" * n for n in range(30)) + "|c^d",  # field 1 repeated, after 10 to 19
    ],
)
def test_keys_come_from_numbers_in_byte_order(line):
    got = Hl7Json(line, escaping_enabled=False).hl7_json[0]
    want = plain_record(line)
    assert got == want
    assert list(got) == list(want) == sorted(want, key=lambda k: (k == "segment_name", k.encode()))
    # Held again, the shared keys are kept by their numbers and written back
    # (the second time every one of them is known).
    for _ in range(2):
        held = JsonHl7([got]).json_data
        assert held == [want] and list(held[0]) == list(want)


def natural(record: dict[str, str]) -> dict[str, str]:
    def position(key: str):
        digits = "".join(c if c.isdigit() else " " for c in key).split()
        return [int(d) for d in digits] or [1 << 30]
    return dict(sorted(record.items(), key=lambda kv: position(kv[0])))


@pytest.mark.parametrize(
    "records",
    [
        [plain_record(wide_line(25, 3, 14)), {"segment_name": "P", "1": "a", "10": "b", "2": "c"}],
        # two keys for one position, and keys that are no position
        [{"segment_name": "Q", "1": "x", "1[0]": "y", "01": "z", "+2": "w", "x": "ignored", "2.0": "v"}],
        [{"10": "a", "9": "b", "1": "c"}],
    ],
)
def test_key_order_of_the_records_does_not_change_the_text(records, tmp_path):
    byte_order = [dict(sorted(r.items())) for r in records]
    reversed_order = [dict(reversed(list(r.items()))) for r in records]
    texts = {JsonHl7(rs).hl7_string for rs in (byte_order, reversed_order, [natural(r) for r in records])}
    assert len(texts) == 1
    # The same records from a file, whatever the order of their keys.
    for rs in (byte_order, reversed_order):
        path = tmp_path / "records.json"
        path.write_text(json.dumps(rs), encoding="utf-8")
        from_file = JsonHl7.from_file(str(path))
        assert from_file.hl7_string in texts
        assert from_file.json_data == byte_order


@pytest.mark.parametrize(
    ("text", "records"),
    [
        ('[{"1":"a","1":"b"}]', [{"1": "b"}]),  # the later of two equal keys wins
        ('[{"2":"a","1":"b","2":"c"}]', [{"1": "b", "2": "c"}]),
        ('[{"1":"\\ud83d\\ude00\\u0000"}]', [{"1": "\U0001F600\x00"}]),
        ("[]", []),
        ("[{}]", [{}]),
    ],
)
def test_record_file_duplicates_and_escapes(tmp_path, text, records):
    path = tmp_path / "r.json"
    path.write_text(text, encoding="utf-8")
    assert JsonHl7.from_file(str(path)).json_data == records


def test_threads_converting_at_once_agree():
    texts = [wide_line(n, n % 4 + 1, n % 13 + 1) for n in range(1, 60)]
    want = [Hl7Json(t).hl7_json for t in texts]
    want_text = [JsonHl7(records).hl7_string for records in want]
    failures = []

    def work():
        for _ in range(20):
            if [Hl7Json(t).hl7_json for t in texts] != want:
                failures.append("differs")
            if [JsonHl7(records).hl7_string for records in want] != want_text:
                failures.append("text differs")

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures


class Text(str):
    """A str subclass: its text is not stored inline like a plain str's."""


def hostile_records():
    long_value = "a" * 16 + "|" + "b" * 20 + "^~" + "c\\d&e" + " "
    return [
        {"segment_name": "MSH", "1": "^~\\&", "2": long_value, "3.1": "é|ü", "3.2": ""},
        {"segment_name": "ZF1", **{str(f): f"v{f}" for f in range(1, 200)}},  # fields past 127
        {"segment_name": "ZC", **{f"5.{k}": str(k) for k in range(60, 0, -1)}},  # far out of order
        {"segment_name": "ZR", **{f"4[{r}].{k}": "x" * r for r in range(14) for k in (1, 12, 2)}},
        {"segment_name": "ZD", "2": "a", "2.0": "b", "02": "c", "3": "d"},  # one position, three keys
        {"segment_name": "ZZ", "0": "never", "00": "written", "0.1": "at all", "1": "12345678"},
        # About 200k separators each: together close to what a message may
        # write; one more would pass it.
        *[{"1.99999": "gap", "99999": "end"}] * 4,
        {"segment_name": "PID", "1": "after", "3": "the|gaps"},
        {"segment_name": "ZW", "1": "a", f"2[{2**17}]": "wide", "3": "b"},  # an index too large to pack
        {"segment_name": "ZL", **{f"2[{r}].1": "y" for r in range(9000)}},  # a very long record
        {Text("segment_name"): Text("ZS"), Text("1"): Text("sub|class"), "2": "ok"},
        {"segment_name": "ZE", "1": "", "2.3": "", "2": "whole", "7": "12345678901234567"},
    ]


def shared_key_records():
    """Records made of the module's own key objects (those Hl7Json gives, as
    a feed's records have them): shapes alike but for the name (a header's
    field 1 is never escaped), shapes that share their first keys and size
    but part later, and values off the fast path in a known shape."""
    keys = {k: k for k in Hl7Json("ZZZ|a|b^c|d~e|f~g^h|i").hl7_json[0]}

    def record(name, **values):
        return {keys["segment_name"]: name, **{keys[k.replace("_", ".")]: v for k, v in values.items()}}

    return [
        record("MSH", **{"1": "^~|", "2_1": "a b"}),
        record("PID", **{"1": "^~|", "2_1": "a b"}),  # the same positions, not a header
        record("ZA", **{"1": "a", "2_1": "b", "3[0]": "c"}),
        record("ZB", **{"1": "a", "2_2": "b", "3[1]": "c"}),  # parts at the second key
        record("ZC", **{"1": "a", "2_1": "b", "3[1]": "c"}),  # parts at the third
        record("ZD", **{"1": "a", "2_1": Text("b|"), "3[0]": "é"}),  # values off the fast path
        {keys["1"]: "x", "99": "a key of its own", keys["2.1"]: "y"},
    ]


@pytest.mark.parametrize("records", [({"": ""},), ({"": "", "1": "a"},), ({"1": ""}, {"": "x"})])
def test_empty_texts_first_in_a_store_without_a_size_hint(records):
    # Not a list: nothing is reserved before the first, empty, texts arrive.
    assert JsonHl7(records).hl7_string in ("", "a", "\n")


@pytest.mark.parametrize("unescaped", [False, True])
def test_assembly_agrees_with_the_rules_by_key_order(tmp_path, unescaped):
    """The command, a fresh process, writes each record of a shape the first
    time it meets it; here the class writes them from the layouts it
    remembered.  Both must give the same text, also for records that need the
    rules by key order.  (The fuzz target records_fuzz compares both with the
    oracle, which writes every record by those rules.)"""
    import test_cli

    records = shared_key_records() + hostile_records()
    for order in (lambda r: r, lambda r: dict(sorted(r.items())), lambda r: dict(reversed(list(r.items())))):
        ordered = [order(r) for r in records]
        source = tmp_path / "records.json"
        source.write_text(json.dumps([{str(k): str(v) for k, v in r.items()} for r in records]), encoding="utf-8")
        args = ["to-hl7", source, "--segment-end", "lf"] + (["--unescaped"] if unescaped else ["--escape", "full"])
        want = test_cli.run(*args, check_status=0).stdout.decode()
        # Every shape is first met alone, and so remembered; then the message is written from what was
        # remembered, twice.
        for record in ordered:
            JsonHl7([record]).hl7_string_unescaped
        for _ in range(2):
            held = JsonHl7(ordered)
            assert (held.hl7_string_unescaped if unescaped else held.hl7_string) + "\n" == want
