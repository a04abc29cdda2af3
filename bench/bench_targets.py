"""Benchmark: segmorph against orjson over the whole corpus, one figure per
kind of work, as ratios measured in the same run.

Each row times a loop over every corpus message (or one small message, for
the fixed cost).  The contenders of a row are timed interleaved, round by
round, each round starting with a different one, and the median of the
rounds is kept; so a burst of load on a busy machine hits all of them alike.

  parse       Hl7Json(text).hl7_json  /  orjson.loads of the same records
  assemble    JsonHl7(records).hl7_string (construction included)  /
              orjson.dumps(records); and the same of the records loaded
              back with orjson.loads and json.loads (what users hold when
              they keep records as JSON), against orjson.dumps of those
  natural     the same assembly with keys in natural order ("1", "2", ...,
              "10") / with keys in byte order ("1", "10", "2", ...); and
              orjson.dumps of the same two sets, for comparison
  from_file   JsonHl7.from_file(p).hl7_string  /
              orjson.loads(p.read_bytes()) + JsonHl7(r).hl7_string
  one segment Hl7Json(t).hl7_json on a one-segment message, microseconds
              per call (orjson.loads of its record beside it), and on the
              message "A" alone: the fixed cost of a call
  validation  Hl7Json(text, validation_enabled=True).hl7_json / the same
              without validation

Run:  python bench/bench_targets.py [--corpus DIR] [--rounds N]
"""

from __future__ import annotations

import argparse
import json
import re
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import common  # noqa: E402

try:
    import segmorph
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise SystemExit(f"cannot import segmorph ({exc}); install it first: pip install .")
try:
    import orjson
except ImportError:  # pragma: no cover
    raise SystemExit("orjson is needed: pip install orjson")

ONE_SEGMENT = "PID|1||12345^^^HOSP^MR||DOE^JOHN^A||19800101|M"


def interleaved(fns: dict, rounds: int, target: float = 0.05) -> dict:
    """Median seconds per call of each callable, timed round-robin."""
    numbers = {}
    for name, fn in fns.items():
        fn()
        t0 = time.perf_counter()
        fn()
        once = time.perf_counter() - t0
        numbers[name] = max(1, int(target / once)) if once > 0 else 1000
    samples = {name: [] for name in fns}
    names = list(fns)
    for r in range(rounds):
        for k in range(len(names)):
            name = names[(r + k) % len(names)]
            fn, n = fns[name], numbers[name]
            t0 = time.perf_counter()
            for _ in range(n):
                fn()
            samples[name].append((time.perf_counter() - t0) / n)
    return {name: statistics.median(s) for name, s in samples.items()}


_POSITION = re.compile(r"^(\d+)(?:\[(\d+)\])?(?:\.(\d+))?$")


def natural_key(key: str):
    m = _POSITION.match(key)
    if not m:
        return (1 << 30, 0, 0, key)  # segment_name and the like last
    f, r, c = m.groups()
    return (int(f), int(r or 0), int(c or 0), key)


def in_order(records: list, key) -> list:
    """The records with their entries sorted by `key`, each value a new str
    made in that order.

    Walking a dict is faster when its values lie in memory in the order of
    its entries, as they do in records loaded from a JSON file written in
    that order; the values of Hl7Json's records were made in byte order, so
    reusing them would make every other order look slower than it is, for
    orjson as much as for segmorph.
    """
    def fresh(v: str) -> str:
        return (v + ".")[:-1]  # a new object with the same text (beyond one character)

    return [[{k: fresh(v) for k, v in sorted(d.items(), key=key)} for d in r] for r in records]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    common.add_common_args(parser)
    parser.add_argument("--rounds", type=int, default=15, help="interleaved rounds per row (default 15)")
    args = parser.parse_args()
    rounds = 5 if args.quick else args.rounds

    texts = [t for _, t in common.load_corpus(common.corpus_dir(args.corpus))]
    records = [segmorph.Hl7Json(t).hl7_json for t in texts]
    blobs = [orjson.dumps(r) for r in records]
    byte_order = in_order(records, lambda kv: kv[0])
    natural = in_order(records, lambda kv: natural_key(kv[0]))
    total_bytes = sum(len(t.encode()) for t in texts)
    print(f"segmorph {getattr(segmorph, '__version__', '?')}, orjson {orjson.__version__}, "
          f"Python {sys.version.split()[0]}; {len(texts)} messages, {total_bytes / 1e3:.0f} kB; "
          f"median of {rounds} interleaved rounds")

    Hl7Json, JsonHl7 = segmorph.Hl7Json, segmorph.JsonHl7
    loads, dumps = orjson.loads, orjson.dumps
    rows = []

    t = interleaved({
        "segmorph": lambda: [Hl7Json(x).hl7_json for x in texts],
        "orjson": lambda: [loads(b) for b in blobs],
        "json": lambda: [json.loads(b) for b in blobs],
    }, rounds)
    rows.append(("Hl7Json(text).hl7_json / orjson.loads", t["segmorph"], t["orjson"]))
    rows.append(("Hl7Json(text).hl7_json / json.loads", t["segmorph"], t["json"]))

    # Only the messages that validate: a refused one stops early.
    valid = []
    for x in texts:
        try:
            Hl7Json(x, validation_enabled=True).hl7_json
            valid.append(x)
        except Exception:  # noqa: BLE001 - refused by validation
            pass
    t = interleaved({
        "plain": lambda: [Hl7Json(x).hl7_json for x in valid],
        "validating": lambda: [Hl7Json(x, validation_enabled=True).hl7_json for x in valid],
    }, rounds)
    rows.append((f"  with validation_enabled / without ({len(valid)} msgs)", t["validating"], t["plain"]))

    # Records as users hold them after storing them as JSON: every key and
    # value a str of the JSON library's making.
    from_orjson = [loads(b) for b in blobs]
    from_json = [json.loads(b) for b in blobs]
    t = interleaved({
        "segmorph": lambda: [JsonHl7(r).hl7_string for r in byte_order],
        "orjson": lambda: [dumps(r) for r in byte_order],
        "json": lambda: [json.dumps(r, ensure_ascii=False) for r in byte_order],
        "natural": lambda: [JsonHl7(r).hl7_string for r in natural],
        "orjson natural": lambda: [dumps(r) for r in natural],
        "loaded orjson": lambda: [JsonHl7(r).hl7_string for r in from_orjson],
        "dumps loaded orjson": lambda: [dumps(r) for r in from_orjson],
        "loaded json": lambda: [JsonHl7(r).hl7_string for r in from_json],
        "dumps loaded json": lambda: [dumps(r) for r in from_json],
    }, rounds)
    rows.append(("JsonHl7(records).hl7_string / orjson.dumps", t["segmorph"], t["orjson"]))
    rows.append(("JsonHl7(records).hl7_string / json.dumps", t["segmorph"], t["json"]))
    rows.append(("  records from orjson.loads: JsonHl7 / orjson.dumps", t["loaded orjson"], t["dumps loaded orjson"]))
    rows.append(("  records from json.loads: JsonHl7 / orjson.dumps", t["loaded json"], t["dumps loaded json"]))
    rows.append(("  keys in natural order / byte order", t["natural"], t["segmorph"]))
    # The same two sets of records walked by orjson: what the order costs
    # any walk of these dicts, the key handling aside.
    rows.append(("  orjson.dumps, natural order / byte order", t["orjson natural"], t["orjson"]))

    with tempfile.TemporaryDirectory() as tmp:
        paths = []
        for i, b in enumerate(blobs):
            p = Path(tmp) / f"m{i}.json"
            p.write_bytes(b)
            paths.append(str(p))
        t = interleaved({
            "segmorph": lambda: [JsonHl7.from_file(p).hl7_string for p in paths],
            "orjson": lambda: [JsonHl7(loads(Path(p).read_bytes())).hl7_string for p in paths],
            "json": lambda: [JsonHl7(json.loads(Path(p).read_bytes())).hl7_string for p in paths],
        }, rounds)
        rows.append(("JsonHl7.from_file(p).hl7_string / orjson.loads + JsonHl7", t["segmorph"], t["orjson"]))
        rows.append(("JsonHl7.from_file(p).hl7_string / json.loads + JsonHl7", t["segmorph"], t["json"]))

    one = segmorph.Hl7Json(ONE_SEGMENT).hl7_json
    one_blob = orjson.dumps(one)
    tiny_blob = orjson.dumps(Hl7Json("A").hl7_json)
    t = interleaved({
        "segmorph": lambda: Hl7Json(ONE_SEGMENT).hl7_json,
        "orjson": lambda: loads(one_blob),
        "tiny": lambda: Hl7Json("A").hl7_json,
        "tiny orjson": lambda: loads(tiny_blob),
    }, rounds, target=0.02)

    common.print_table(["work", "segmorph ms", "peer ms", "ratio"],
                       [(name, f"{a * 1e3:.2f}", f"{b * 1e3:.2f}", f"{a / b:.2f}x") for name, a, b in rows])
    print()
    print(f"one-segment message: Hl7Json(t).hl7_json {t['segmorph'] * 1e6:.2f} us per call, "
          f"orjson.loads {t['orjson'] * 1e6:.2f} us")
    # The fixed cost of a call: a message of one segment name and nothing else.
    print(f"fixed cost per call: Hl7Json('A').hl7_json {t['tiny'] * 1e6:.2f} us, "
          f"orjson.loads of its record {t['tiny orjson'] * 1e6:.2f} us")


if __name__ == "__main__":
    main()
