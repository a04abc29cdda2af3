"""Benchmark: records -> HL7 v2 text, `JsonHl7(records).hl7_string`.

The records are those `Hl7Json(text).hl7_json` makes from the corpus
messages (escape decoding on, the default).  Contenders, each on the same
records, prepared outside the timed code:

  In memory (list of dicts -> text):
    JsonHl7(r).hl7_string     copy the records in, assemble with escaping
    obj.hl7_string            assembly alone, on an object built beforehand
    obj.hl7_string_unescaped  the same without escaping
    json.dumps(r)             the standard library writing the records as JSON
    orjson.dumps(r)           orjson doing the same

  From a file (the records written as a JSON array to a temporary file):
    JsonHl7.from_file(p).hl7_string   read, parse, assemble
    json.load(open(p))                the standard library reading the records
    orjson.loads(read_bytes(p))       orjson reading them

Sizes: the corpus files grouped by segment count (small <= 8, medium 9-99,
large >= 100) and one synthetic "huge" message made by concatenating
single-message corpus files to a few thousand segments.  Each figure is the
sum over a group of the best time per file; ratios are segmorph's time over
the peer's (below 1 means segmorph is faster).

Sizes (--sizes MB,MB,...): the cost per megabyte of HL7 of building the
store from records and of assembling it, and of JsonHl7.from_file of the
same records, each size in a fresh interpreter and timed once, split into
user and system time with the page faults per megabyte: where the cost per
megabyte grows with the size, the split says whether the work grew or the
fresh memory it fills (a fault per 4 KB page, whose price the system sets).

Run:  python bench/bench_json_hl7.py [--corpus DIR] [--repeat N] [--quick]
      python bench/bench_json_hl7.py --sizes 1,10,50,200 [--corpus DIR]
"""

from __future__ import annotations

import argparse
import json
import platform
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

sys.path.insert(0, str(Path(__file__).resolve().parent))
import common  # noqa: E402

try:
    import segmorph
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise SystemExit(f"cannot import segmorph ({exc}); install it first: pip install .")

try:
    import orjson
except ImportError:
    orjson = None

SMALL_MAX = 8
MEDIUM_MAX = 99
HUGE_SEGMENTS = 3000
SIZES = ("small", "medium", "large", "huge")


@dataclass
class Item:
    name: str
    size: str
    segments: int
    records: list
    path: Path | None = None


def size_of(segments: int) -> str:
    if segments <= SMALL_MAX:
        return "small"
    if segments <= MEDIUM_MAX:
        return "medium"
    return "large"


def load_items(corpus: Path) -> list[Item]:
    items = []
    for name, text in common.load_corpus(corpus):
        records = segmorph.Hl7Json(text).hl7_json
        items.append(Item(name, size_of(len(records)), len(records), records))
    # One long message: every single-message file, in turn, until the
    # concatenation holds HUGE_SEGMENTS lines.
    singles = [it.records for it in items
               if sum(r.get("segment_name") == "MSH" for r in it.records) == 1]
    huge: list = []
    i = 0
    while len(huge) < HUGE_SEGMENTS:
        huge.extend(singles[i % len(singles)])
        i += 1
    items.append(Item(f"huge ({i} messages)", "huge", len(huge), huge))
    return items


def memory_contenders() -> dict[str, Callable[[Item], Callable[[], object]]]:
    def construct(it):
        records, cls = it.records, segmorph.JsonHl7
        return lambda: cls(records).hl7_string

    def escaped(it):
        obj = segmorph.JsonHl7(it.records)
        return lambda: obj.hl7_string

    def unescaped(it):
        obj = segmorph.JsonHl7(it.records)
        return lambda: obj.hl7_string_unescaped

    def dumps(it):
        records, f = it.records, json.dumps
        return lambda: f(records)

    out = {
        "JsonHl7(r).hl7_string": construct,
        "obj.hl7_string": escaped,
        "obj.hl7_string_unescaped": unescaped,
        "json.dumps(r)": dumps,
    }
    if orjson is not None:
        def odumps(it):
            records, f = it.records, orjson.dumps
            return lambda: f(records)
        out["orjson.dumps(r)"] = odumps
    return out


def file_contenders() -> dict[str, Callable[[Item], Callable[[], object]]]:
    def from_file(it):
        path, cls = str(it.path), segmorph.JsonHl7
        return lambda: cls.from_file(path).hl7_string

    def load(it):
        path, f = it.path, json.load

        def run():
            with open(path, encoding="utf-8") as fh:
                return f(fh)
        return run

    out = {"JsonHl7.from_file(p).hl7_string": from_file, "json.load(open(p))": load}
    if orjson is not None:
        def oload(it):
            path, f = it.path, orjson.loads
            return lambda: f(path.read_bytes())
        out["orjson.loads(read_bytes(p))"] = oload
    return out


def measure(items, contenders, repeat, target):
    """{label: {size: seconds}} summed over the items of each size."""
    totals: dict[str, dict[str, float]] = {}
    for label, prepare in contenders.items():
        per_size = dict.fromkeys(SIZES, 0.0)
        for it in items:
            per_size[it.size] += common.best_time(prepare(it), repeat=repeat, target=target)
        totals[label] = per_size
    return totals


def report(title, totals, base, counts):
    print(f"\n{title}: microseconds per group (sum of best times per file)")
    headers = ["contender"] + [f"{s} ({counts[s]})" for s in SIZES]
    common.print_table(headers, [[label] + [common.fmt_us(t[s]) for s in SIZES]
                                 for label, t in totals.items()])
    print(f"\nratios: {base} / peer")
    rows = []
    for label, t in totals.items():
        if label == base:
            continue
        rows.append([label] + [common.fmt_ratio(totals[base][s], t[s]) for s in SIZES])
    common.print_table(["peer"] + list(SIZES), rows)


SIZES_CHILD = r"""
import json, resource, sys, time
import segmorph
text = open(sys.argv[1], encoding="utf-8", newline="").read()
records = segmorph.Hl7Json(text).hl7_json
del text
def now():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return [time.perf_counter(), r.ru_utime, r.ru_stime, r.ru_minflt]
def since(t):
    return [b - a for a, b in zip(t, now())]
t = now()
store = segmorph.JsonHl7(records)
build = since(t)
t = now()
out = store.hl7_string
assemble = since(t)
del store, out
with open(sys.argv[2], "w", encoding="utf-8") as f:
    json.dump(records, f, ensure_ascii=False)
del records
t = now()
out = segmorph.JsonHl7.from_file(sys.argv[2]).hl7_string
from_file = since(t)
print(json.dumps({"build": build, "assemble": assemble, "from_file": from_file}))
"""


def sizes(corpus: Path, mbs: list[float]) -> None:
    """The cost per MB of HL7 at each size, each in a fresh interpreter."""
    unit = "\n".join(common.lines_of("\n".join(t for _, t in common.load_corpus(corpus))))
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        hl7, records = Path(tmp) / "in.hl7", Path(tmp) / "records.json"
        for mb in mbs:
            n = int(mb * 1e6)
            text = (unit * (n // len(unit) + 1))[:n]
            text = text[: text.rfind("\n")]  # whole segments only
            hl7.write_text(text, encoding="utf-8", newline="")
            got = json.loads(subprocess.run([sys.executable, "-c", SIZES_CHILD, str(hl7), str(records)], check=True,
                                            capture_output=True, text=True).stdout)
            size = len(text.encode()) / 1e6
            for what in ("build", "assemble", "from_file"):
                wall, user, system, faults = got[what]
                rows.append([f"{size:,.0f} MB", what, f"{wall / size * 1e3:.2f}", f"{user / size * 1e3:.2f}",
                             f"{system / size * 1e3:.2f}", f"{faults / size:,.0f}"])
    common.print_table(["HL7", "step", "ms/MB", "user ms/MB", "system ms/MB", "faults/MB"], rows)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    common.add_common_args(parser)
    parser.add_argument("--sizes", help="MB of HL7, comma-separated: the cost per MB at each size instead")
    args = parser.parse_args()
    if args.sizes:
        sizes(common.corpus_dir(args.corpus), [float(x) for x in args.sizes.split(",")])
        return
    repeat = 2 if args.quick else args.repeat
    target = 0.0005 if args.quick else 0.002

    corpus = common.corpus_dir(args.corpus)
    items = load_items(corpus)
    counts = {s: sum(it.size == s for it in items) for s in SIZES}
    print(f"segmorph JsonHl7 benchmark -- Python {platform.python_version()}, {platform.machine()}")
    print(f"corpus: {corpus} ({len(items) - 1} files, plus one message of "
          f"{items[-1].segments} segments)")
    if orjson is None:
        print("orjson is not installed: its rows are left out (pip install orjson)")

    # Sanity: the records come back as the same message text.
    for it in items:
        assert segmorph.JsonHl7(it.records).json_data == it.records, it.name

    mem = measure(items, memory_contenders(), repeat, target)
    report("records -> text", mem, "JsonHl7(r).hl7_string", counts)

    with tempfile.TemporaryDirectory() as tmp:
        for n, it in enumerate(items):
            it.path = Path(tmp) / f"{n}.json"
            it.path.write_text(json.dumps(it.records, ensure_ascii=False), encoding="utf-8")
        files = measure(items, file_contenders(), repeat, target)
    report("JSON file -> text", files, "JsonHl7.from_file(p).hl7_string", counts)


if __name__ == "__main__":
    main()
