"""Fuzz harness for JsonHl7 built from generated records: keys of every
shape the assembly reads (and many it must ignore), with hostile indices,
and values of any text.

Checks, besides "no undocumented exception" (fuzz_support.attempt):
  - a key or value holding a lone surrogate is refused with
    UnicodeEncodeError; a list or a tuple of dicts is otherwise accepted;
  - json_data gives the records back, keys in byte-wise order;
  - the properties and _convert_json_to_hl7 agree;
  - the output stays within the documented bound on separators, and
    records that would pass it fail whole, at construction and from a
    file alike, naming the record and the key;
  - the same records saved as a JSON file read back equal.

    python fuzz/json_hl7_fuzz.py [CORPUS_DIR] [-max_total_time=SECONDS] ...
"""

import json
import os
import sys
import tempfile

import atheris

from fuzz_support import SEPARATOR_BOUND, attempt, has_surrogate, main, sample_texts

from segmorph import JsonHl7

HOSTILE = ["0", "1", "2", "12", "99999", "100000", "100001", "131071", "131072", "4294967296",
           "18446744073709551616", "99999999999999999999999", "+1", "+0", "++1", "-1", "01", "0001", " 1", "1 ",
           "", "\u0661", "\uff11", "1e3", "0x10", "1_0"]
FILE = os.path.join(tempfile.mkdtemp(prefix="segmorph-fuzz-"), "records.json")


def index(fdp) -> str:
    if fdp.ConsumeBool():
        return fdp.PickValueInList(HOSTILE)
    return str(fdp.ConsumeIntInRange(0, 200))


def key(fdp) -> str:
    shape = fdp.ConsumeIntInRange(0, 11)
    if shape == 0:
        return "segment_name"
    if shape == 1:
        return index(fdp)
    if shape == 2:
        return f"{index(fdp)}.{index(fdp)}"
    if shape == 3:
        return f"{index(fdp)}[{index(fdp)}]"
    if shape == 4:
        return f"{index(fdp)}[{index(fdp)}].{index(fdp)}"
    if shape == 5:
        a, b, c = index(fdp), index(fdp), index(fdp)
        return fdp.PickValueInList([f"{a}]{b}[", f"{a}[{b}", f"[{b}]", f"{a}[{b}].{c}.1", f"{a}..{c}", f"{a}.{b}.{c}",
                                    f"{a}[{b}]{c}", f"{a}[{b}][{c}]", f"{a}.", f".{a}", f"{a}[]", f"{a}[{b}]."])
    return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 12))


def records_of(fdp) -> list:
    out = []
    for _ in range(fdp.ConsumeIntInRange(0, 6)):
        rec = {}
        for _ in range(fdp.ConsumeIntInRange(0, 12)):
            rec[key(fdp)] = fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 16))
        out.append(rec)
    return out


def utf8_len(text: str) -> int:
    return len(text.encode("utf-8", "surrogatepass"))


def test_one(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    records = records_of(fdp)
    given = tuple(records) if fdp.ConsumeBool() else records
    obj, err = attempt(JsonHl7, given, allowed=(UnicodeEncodeError,))
    if any(has_surrogate(k) or has_surrogate(v) for r in records for k, v in r.items()):
        assert isinstance(err, UnicodeEncodeError), err
        return
    if err is not None:
        assert SEPARATOR_BOUND.fullmatch(err.args[0]), err
        with open(FILE, "w", encoding="utf-8") as f:
            json.dump(records, f)
        _, file_err = attempt(JsonHl7.from_file, FILE)
        assert file_err is not None and file_err.args == err.args, file_err
        return

    expected = [dict(sorted(r.items(), key=lambda kv: kv[0].encode())) for r in records]
    data_back = obj.json_data
    assert data_back == expected and [list(r) for r in data_back] == [list(r) for r in expected]

    plain, escaped = obj.hl7_string_unescaped, obj.hl7_string
    assert obj._convert_json_to_hl7(False) == plain and obj._convert_json_to_hl7(escape=True) == escaped
    entries = sum(len(r) for r in records)
    values = sum(utf8_len(v) for r in records for v in r.values())
    limit = 1_000_000 + 16 * entries + len(records)
    assert utf8_len(plain) <= values + limit
    assert utf8_len(escaped) <= 5 * values + limit

    with open(FILE, "w", encoding="utf-8") as f:
        json.dump(records, f, ensure_ascii=fdp.ConsumeBool())
    from_file, err = attempt(JsonHl7.from_file, FILE)
    assert err is None, err
    assert from_file.json_data == expected and from_file.hl7_string == escaped


if __name__ == "__main__":
    main(test_one, sample_texts)
