"""Leak check: every public entry point of segmorph, on its success path and
its error paths, called 100,000 times; the process may not grow by 1 MB or
more after a warm-up.  A leak of even a few bytes per call shows up as
hundreds of kilobytes here, which a timed test could not afford to look for.

    python scripts/leak_check.py [--calls N] [--only SUBSTRING]

Exits 1 and names the cases that grew.  Run by scripts/test.sh.
"""

from __future__ import annotations

import argparse
import gc
import os
import sys
import tempfile

from segmorph import Hl7Json, JsonHl7

LIMIT = 1 << 20  # bytes of resident memory a case may add after its warm-up
PAGE = os.sysconf("SC_PAGE_SIZE")

MSG = "MSH|^~\\&|APP|FAC|RAPP|RFAC|20240101120000||ADT^A01^ADT_A01|1|P|2.5|2.5\rPID|1||12345^^^H^MR||Doe^John~Roe\\F\\x"
RECORDS = [{"segment_name": "MSH", "1": "^~\\&", "2": "APP"},
           {"segment_name": "PID", "3[0].1": "12345", "3[1]": "a|b", "5": "Doe^John", "+7": "x", "9[99999]": "y"}]


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def expect(exc_type, fn, *args):
    """A call that must fail with exactly `exc_type`."""
    def call():
        try:
            fn(*args)
        except exc_type:
            return
        raise AssertionError(f"{fn!r}{args!r} did not raise {exc_type.__name__}")
    return call


def cases(files: dict[str, str]) -> dict[str, callable]:
    obj = Hl7Json(MSG)
    bad = Hl7Json("MSH|^~", validation_enabled=True)
    long_name = Hl7Json(MSG + "\r" + "Q" * 500)  # its error text quotes a cut name
    rec = JsonHl7(RECORDS)

    class Seq:  # a sequence whose iteration fails half way
        def __len__(self):
            return 2

        def __getitem__(self, i):
            if i:
                raise ValueError("boom")
            return {"segment_name": "PID"}

    def set_flag():
        obj.escaping_enabled = False
        obj.escaping_enabled = True

    return {
        # Hl7Json
        "Hl7Json()": lambda: Hl7Json(MSG, validation_enabled=None, strict_validation=False, escaping_enabled=True),
        "Hl7Json() wrong type": expect(TypeError, Hl7Json, MSG, 1),
        "Hl7Json() surrogate": expect(UnicodeEncodeError, Hl7Json, "MSH|\udc80"),
        "Hl7Json() arguments": expect(TypeError, Hl7Json, MSG, None, None, None, None),
        "Hl7Json.from_file": lambda: Hl7Json.from_file(files["hl7"], escaping_enabled=False),
        "Hl7Json.from_file missing": expect(Exception, Hl7Json.from_file, files["missing"]),
        "Hl7Json.from_file blank": expect(Exception, Hl7Json.from_file, files["blank"]),
        "Hl7Json.from_file not utf-8": expect(Exception, Hl7Json.from_file, files["latin1"]),
        "Hl7Json.from_file nul in path": expect(Exception, Hl7Json.from_file, "a\0b"),
        "Hl7Json.from_file wrong type": expect(TypeError, Hl7Json.from_file, b"path"),
        "hl7_json": lambda: obj.hl7_json,
        "hl7_json validation error": expect(Exception, getattr, bad, "hl7_json"),
        "_convert_hl7_to_json": lambda: obj._convert_hl7_to_json(),
        "_split_hl7_seg_to_json": lambda: obj._split_hl7_seg_to_json("PID|1|a^b~c"),
        "_split_hl7_seg_to_json wrong type": expect(TypeError, obj._split_hl7_seg_to_json, 5),
        "_split_hl7_seg_to_json_with_escaping": lambda: obj._split_hl7_seg_to_json_with_escaping(seg="PID|\\F\\"),
        "_split_hl7_seg_to_json_with_escaping surrogate":
            expect(UnicodeEncodeError, obj._split_hl7_seg_to_json_with_escaping, "\ud800"),
        "validate": lambda: obj.validate(False, True),
        "validate error": expect(Exception, bad.validate, None, None),
        "validate long name": expect(Exception, long_name.validate, False, False),
        "validate wrong type": expect(TypeError, obj.validate, 1, None),
        "hl7_string": lambda: obj.hl7_string,
        "flags": lambda: (obj.validation_enabled, obj.strict_validation, obj.escaping_enabled),
        "flag setters": set_flag,
        "flag setter wrong type": expect(TypeError, setattr, obj, "strict_validation", 0),
        "flag deleter": expect(AttributeError, delattr, obj, "validation_enabled"),
        # JsonHl7
        "JsonHl7()": lambda: JsonHl7(RECORDS),
        "JsonHl7() tuple": lambda: JsonHl7(tuple(RECORDS)),
        "JsonHl7() str": expect(TypeError, JsonHl7, "text"),
        "JsonHl7() not a sequence": expect(TypeError, JsonHl7, {"a": "b"}),
        "JsonHl7() bad item": expect(TypeError, JsonHl7, [RECORDS[0], 5]),
        "JsonHl7() bad value": expect(TypeError, JsonHl7, [{"segment_name": "PID", "1": None}]),
        "JsonHl7() surrogate key": expect(UnicodeEncodeError, JsonHl7, [{"\udc80": "x"}]),
        "JsonHl7() failing iteration": expect(ValueError, JsonHl7, Seq()),
        "JsonHl7.from_file": lambda: JsonHl7.from_file(files["json"]),
        "JsonHl7.from_file invalid": expect(Exception, JsonHl7.from_file, files["bad_json"]),
        "JsonHl7.from_file nul after array": expect(Exception, JsonHl7.from_file, files["nul_json"]),
        "JsonHl7.from_file non-ascii error": expect(Exception, JsonHl7.from_file, files["nbsp_json"]),
        "JsonHl7.from_file missing": expect(Exception, JsonHl7.from_file, files["missing"]),
        "json_data": lambda: rec.json_data,
        "JsonHl7.hl7_string": lambda: rec.hl7_string,
        "hl7_string_unescaped": lambda: rec.hl7_string_unescaped,
        "_convert_json_to_hl7": lambda: rec._convert_json_to_hl7(escape=True),
        "_convert_json_to_hl7 wrong type": expect(TypeError, rec._convert_json_to_hl7, None),
    }


def batch_cases() -> dict[str, callable]:
    """segmorph_batch, and its Arrow exports consumed or dropped unused."""
    import pyarrow as pa

    import segmorph_batch as sb

    data = (MSG + "\r\r").encode() * 3 + b"MSH|^~\rPID|\xff"
    batch = sb.to_arrow(data)
    dup = pa.table({"segments": pa.array([[[("1", "a"), ("1", "b")]]], type=pa.list_(pa.map_(pa.string(), pa.string())))})
    return {
        "to_arrow": lambda: sb.to_arrow(data, source="s", base_offset=1, validate="standard", strict=True),
        "to_arrow wrong type": expect(TypeError, sb.to_arrow, 5),
        "to_arrow bad rules": expect(ValueError, lambda: sb.to_arrow(data, validate="x")),
        "__arrow_c_stream__ dropped": lambda: batch.__arrow_c_stream__(),
        "__arrow_c_array__ dropped": lambda: batch.__arrow_c_array__(),
        "pyarrow.table(batch)": lambda: pa.table(batch),
        "pyarrow.record_batch(batch)": lambda: pa.record_batch(batch),
        "from_arrow": lambda: sb.from_arrow(batch),
        "from_arrow record batch": lambda: sb.from_arrow(pa.record_batch(batch), escaping=False),
        "from_arrow duplicate key": expect(ValueError, sb.from_arrow, dup),
        "from_arrow wrong type": expect(TypeError, sb.from_arrow, 5),
        "frame": lambda: sb.frame(data),
        "next_message_start": lambda: sb.next_message_start(data, 10),
        "validate": lambda: sb.validate(MSG, "seed"),
        "validate error": expect(Exception, sb.validate, b"MSH|^~"),
    }


def write_files(folder: str) -> dict[str, str]:
    contents = {
        "hl7": MSG.encode(), "blank": b" \r\n", "latin1": "MSH|é".encode("latin-1"),
        "json": b'[{"segment_name": "PID", "1": "a", "2.1": "b"}]', "bad_json": b'[{"a": 5}]',
        "nul_json": b"[{}]\x00[]", "nbsp_json": "\u00a0[]".encode(),
    }
    files = {"missing": os.path.join(folder, "missing")}
    for name, data in contents.items():
        files[name] = os.path.join(folder, name)
        with open(files[name], "wb") as f:
            f.write(data)
    return files


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--calls", type=int, default=100_000)
    ap.add_argument("--only", default="")
    args = ap.parse_args()
    warm_up = max(1, args.calls // 10)
    failed = []
    with tempfile.TemporaryDirectory() as folder:
        for name, call in {**cases(write_files(folder)), **batch_cases()}.items():
            if args.only not in name:
                continue
            for _ in range(warm_up):
                call()
            gc.collect()
            before = rss()
            for _ in range(args.calls):
                call()
            gc.collect()
            grown = rss() - before
            verdict = "ok" if grown < LIMIT else "LEAK"
            print(f"{verdict:4} {name:<50} {grown / 1024:+8.0f} KiB after {args.calls} calls", flush=True)
            if grown >= LIMIT:
                failed.append(name)
    if failed:
        print("grew by 1 MB or more:", ", ".join(failed))
        return 1
    print(f"leak check: {args.calls} calls of each case, none grew by 1 MB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
