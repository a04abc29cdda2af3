"""Benchmark: HL7 v2 text -> list of flat dicts, `Hl7Json(text).hl7_json`.

Contenders, each given the input in the form it wants (prepared outside the
timed code):

  segmorph            Hl7Json(text).hl7_json, escape decoding on (the default)
  segmorph esc off    Hl7Json(text, escaping_enabled=False).hl7_json
  json.loads          the same list of dicts, decoded from JSON text
  orjson.loads        the same, from the JSON bytes orjson itself writes
  hl7.parse           the `hl7` package on the CR-separated text
  hl7apy              hl7apy.parser.parse_message (tolerant validation,
                      find_groups=False), one call per MSH message: a batch
                      or a multi-message stream is cut at each MSH and its
                      FHS/BHS/BTS/FTS lines are dropped

A peer that is not installed is skipped with a note; a text a peer cannot
parse is left out of that peer's figures (and said so), and its ratio to
segmorph is taken over the texts it did parse.

Sizes: the corpus files grouped by segment count (small <= 8, medium 9-99,
large >= 100, the batch files) and one synthetic "huge" stream made by
concatenating single-message corpus files to a few thousand segments.

Run:  python bench/bench_hl7_json.py [--corpus DIR] [--repeat N] [--quick]
"""

from __future__ import annotations

import argparse
import gc
import json
import platform
import sys
import time
import warnings
from dataclasses import dataclass, field
from importlib import metadata
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
try:
    import hl7
except ImportError:
    hl7 = None
try:
    from hl7apy.consts import VALIDATION_LEVEL
    from hl7apy.parser import parse_message as hl7apy_parse_message
except ImportError:
    hl7apy_parse_message = None

SMALL_MAX = 8      # segments
MEDIUM_MAX = 99
HUGE_SEGMENTS = 3000
SIZES = ("small", "medium", "large", "huge")
BATCH_LINES = ("FHS", "BHS", "BTS", "FTS")


class Skip(Exception):
    """The contender cannot take this text."""


@dataclass
class Item:
    name: str
    text: str
    size: str
    segments: int
    in_corpus: bool = True
    records: list = field(default_factory=list)


@dataclass
class Contender:
    label: str
    prepare: Callable[[Item], Callable[[], object]]  # raises Skip
    budget: float = 1.0  # seconds of timing per text at most (see common.best_time)
    # Contenders of like speed are timed round-robin on each text; the slow
    # peers are timed on their own, then their garbage is collected, so that
    # their heap churn does not land in the others' runs.
    round_robin: bool = True
    times: dict = field(default_factory=dict)       # item name -> seconds per call
    skipped: dict = field(default_factory=dict)     # item name -> reason


# -- contenders ---------------------------------------------------------------

def prep_segmorph(item: Item):
    text = item.text
    return lambda: segmorph.Hl7Json(text).hl7_json


def prep_segmorph_noesc(item: Item):
    text = item.text
    return lambda: segmorph.Hl7Json(text, escaping_enabled=False).hl7_json


def prep_json(item: Item):
    data = json.dumps(item.records, ensure_ascii=False)
    if json.loads(data) != item.records:
        raise Skip("round trip differs")
    loads = json.loads
    return lambda: loads(data)


def prep_orjson(item: Item):
    data = orjson.dumps(item.records)
    if orjson.loads(data) != item.records:
        raise Skip("round trip differs")
    loads = orjson.loads
    return lambda: loads(data)


def prep_hl7(item: Item):
    cr = common.to_cr(item.text)
    parse = hl7.parse
    return lambda: parse(cr)


def split_messages(text: str) -> list[str]:
    """CR-separated messages, one per MSH; batch header/trailer lines dropped."""
    messages: list[list[str]] = []
    for line in common.lines_of(text):
        if line.startswith(BATCH_LINES):
            continue
        if line.startswith("MSH") or not messages:
            messages.append([])
        messages[-1].append(line)
    return ["\r".join(m) for m in messages]


def prep_hl7apy(item: Item):
    messages = split_messages(item.text)
    level = VALIDATION_LEVEL.TOLERANT
    parse = hl7apy_parse_message

    def run():
        for m in messages:
            parse(m, validation_level=level, find_groups=False)

    return run


def make_contenders() -> tuple[list[Contender], list[str]]:
    out = [Contender("segmorph", prep_segmorph),
           Contender("segmorph esc off", prep_segmorph_noesc)]
    missing = []
    out.append(Contender("json.loads", prep_json))
    if orjson is not None:
        out.append(Contender("orjson.loads", prep_orjson))
    else:
        missing.append("orjson")
    if hl7 is not None:
        out.append(Contender("hl7.parse", prep_hl7, round_robin=False))
    else:
        missing.append("hl7")
    if hl7apy_parse_message is not None:
        # Hundreds of times slower than the rest: fewer repeats keep the run short.
        out.append(Contender("hl7apy", prep_hl7apy, budget=0.1, round_robin=False))
    else:
        missing.append("hl7apy")
    return out, missing


# -- workloads ----------------------------------------------------------------

def size_of(segments: int) -> str:
    if segments <= SMALL_MAX:
        return "small"
    if segments <= MEDIUM_MAX:
        return "medium"
    return "large"


def build_huge(items: list[Item]) -> Item:
    """Single-message corpus files (first line MSH, one MSH, standard encoding
    characters "^~\\&", no PRT segment, so that every peer takes every part)
    joined by LF, cycling until the stream holds HUGE_SEGMENTS segments."""
    parts = []
    for it in items:
        lines = common.lines_of(it.text)
        if (lines[0].startswith("MSH|^~\\&|")
                and sum(ln.startswith("MSH") for ln in lines) == 1
                and not any(ln.startswith("PRT") for ln in lines)):
            parts.append(lines)
    if not parts:
        raise SystemExit("no single-message files in the corpus to build the huge stream")
    out: list[str] = []
    i = 0
    while len(out) < HUGE_SEGMENTS:
        out.extend(parts[i % len(parts)])
        i += 1
    return Item(f"huge ({i} messages concatenated)", "\n".join(out), "huge",
                len(out), in_corpus=False)


# -- reporting ----------------------------------------------------------------

def report_size(size: str, items: list[Item], contenders: list[Contender]) -> None:
    base = contenders[0]
    segs = [it.segments for it in items]
    kb = sum(len(it.text.encode()) for it in items) / len(items) / 1024
    if len(items) == 1:
        print(f"\n== {size}: {items[0].name}, {segs[0]} segments, {kb:.1f} KiB")
    else:
        print(f"\n== {size}: {len(items)} texts, {min(segs)}-{max(segs)} segments "
              f"(mean {sum(segs) / len(segs):.0f}), mean {kb:.1f} KiB")
    rows, ratios = [], []
    for c in contenders:
        ok = [it for it in items if it.name in c.times]
        if not ok:
            rows.append([c.label, f"0/{len(items)}", "-", "-"])
            continue
        total = sum(c.times[it.name] for it in ok)
        base_total = sum(base.times[it.name] for it in ok)
        ratio = common.fmt_ratio(total, base_total)
        rows.append([c.label, f"{len(ok)}/{len(items)}", common.fmt_us(total / len(ok)), ratio])
        if c is not base:
            ratios.append(f"{c.label}/segmorph = {ratio}")
    common.print_table(["contender", "texts", "us/text", "vs segmorph"], rows)
    print("  " + "; ".join(ratios))


def report_total(items: list[Item], contenders: list[Contender]) -> None:
    base = contenders[0]
    n = len(items)
    print(f"\n== whole corpus: {n} files, {sum(it.segments for it in items)} segments, "
          f"{sum(len(it.text.encode()) for it in items) / 1024:.0f} KiB, one pass")
    rows = []
    for c in contenders:
        ok = [it for it in items if it.name in c.times]
        total = sum(c.times[it.name] for it in ok)
        base_total = sum(base.times[it.name] for it in ok)
        rows.append([c.label, f"{len(ok)}/{n}", f"{total * 1e3:,.2f}",
                     common.fmt_ratio(total, base_total)])
    common.print_table(["contender", "files", "total ms", "vs segmorph (same files)"], rows)


def report_skips(contenders: list[Contender], missing: list[str]) -> None:
    for name in missing:
        print(f"note: {name} is not installed; skipped (pip install '.[bench]')")
    for c in contenders:
        if not c.skipped:
            continue
        print(f"note: {c.label} could not take {len(c.skipped)} text(s), left out of its figures:")
        by_reason: dict[str, list[str]] = {}
        for name, reason in c.skipped.items():
            by_reason.setdefault(reason, []).append(Path(name).name)
        for reason, names in sorted(by_reason.items(), key=lambda kv: -len(kv[1])):
            shown = ", ".join(names[:4]) + (f", +{len(names) - 4} more" if len(names) > 4 else "")
            print(f"    {len(names):3d} x {reason}  [{shown}]")


def version(dist: str) -> str:
    try:
        return metadata.version(dist)
    except metadata.PackageNotFoundError:
        return "?"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    common.add_common_args(parser)
    args = parser.parse_args(argv)
    repeat = 3 if args.quick else args.repeat
    target = 0.0005 if args.quick else 0.002
    warnings.simplefilter("ignore")  # hl7apy warns about tolerated problems

    started = time.perf_counter()
    corpus = common.corpus_dir(args.corpus)
    items = []
    for name, text in common.load_corpus(corpus):
        n = common.segment_count(text)
        items.append(Item(name, text, size_of(n), n))
    huge = build_huge(items)
    everything = items + [huge]
    for it in everything:
        it.records = segmorph.Hl7Json(it.text).hl7_json

    contenders, missing = make_contenders()
    print(f"Python {platform.python_version()} ({platform.machine()}), "
          f"segmorph {version('segmorph')}, orjson {version('orjson') if orjson else '-'}, "
          f"hl7 {version('hl7') if hl7 else '-'}, "
          f"hl7apy {version('hl7apy') if hl7apy_parse_message else '-'}")
    print(f"corpus: {corpus} ({len(items)} files); per text, min of {repeat}+ runs, each a loop "
          f"of ~{target * 1e3:g} ms or one call; segmorph, json and orjson round-robin")

    budgets = {c.label: c.budget for c in contenders}
    for it in everything:
        fns = {}
        for c in contenders:
            try:
                fns[c.label] = c.prepare(it)
            except Skip as exc:
                c.skipped[it.name] = str(exc)
        # A first call that raises means the peer cannot parse the text.
        results = common.best_times(
            {c.label: fns[c.label] for c in contenders if c.round_robin and c.label in fns},
            repeat=repeat, target=target, budget=budgets)
        for c in contenders:
            if c.round_robin or c.label not in fns:
                continue
            try:
                results[c.label] = common.best_time(fns[c.label], repeat=repeat, target=target,
                                                    budget=c.budget)
            except Exception as exc:  # noqa: BLE001
                results[c.label] = exc
            gc.collect()
        for c in contenders:
            r = results.get(c.label)
            if isinstance(r, Exception):
                c.skipped[it.name] = f"{type(r).__name__}: {str(r)[:60]}"
            elif r is not None:
                c.times[it.name] = r

    for size in SIZES:
        group = [it for it in everything if it.size == size]
        if group:
            report_size(size, group, contenders)
    report_total(items, contenders)

    seg = contenders[0]
    off = contenders[1]
    on_t = sum(seg.times.values())
    off_t = sum(off.times.values())
    print(f"\nsegmorph escaping on/off (all texts incl. huge): "
          f"{on_t * 1e3:.2f} ms vs {off_t * 1e3:.2f} ms = {common.fmt_ratio(on_t, off_t)}")
    print()
    report_skips(contenders, missing)
    print(f"\n(run took {time.perf_counter() - started:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
