"""Small helpers shared by the benchmark scripts in this folder.

Kept deliberately small and stable: locating and loading the sample corpus,
timing a callable (min of several repeats), and printing aligned tables.
"""

from __future__ import annotations

import argparse
import os
import timeit
from pathlib import Path
from typing import Callable, Iterable, Mapping, Sequence

REPO_ROOT = Path(__file__).resolve().parent.parent
DEFAULT_CORPUS = REPO_ROOT.parent / "shared" / "corpus"
CORPUS_ENV = "SEGMORPH_CORPUS"


# -- corpus ------------------------------------------------------------------

def corpus_dir(override: str | os.PathLike | None = None) -> Path:
    """The corpus folder: `override`, else $SEGMORPH_CORPUS, else ../shared/corpus."""
    for candidate in (override, os.environ.get(CORPUS_ENV)):
        if candidate:
            return Path(candidate).expanduser().resolve()
    return DEFAULT_CORPUS


def load_corpus(directory: Path, pattern: str = "*.hl7") -> list[tuple[str, str]]:
    """(name relative to `directory`, text) for every matching file, sorted by name.

    Files are read as UTF-8 with any byte-order mark dropped and line ends kept
    exactly as stored (CR, LF or CRLF).
    """
    if not directory.is_dir():
        raise SystemExit(
            f"corpus folder not found: {directory} (pass --corpus DIR or set {CORPUS_ENV})")
    out = []
    for path in sorted(directory.rglob(pattern)):
        with open(path, encoding="utf-8-sig", newline="") as f:
            out.append((path.relative_to(directory).as_posix(), f.read()))
    if not out:
        raise SystemExit(f"no {pattern} files under {directory}")
    return out


def lines_of(text: str) -> list[str]:
    """The non-empty lines of an HL7 text, whatever its line ends."""
    return [ln for ln in text.replace("\r\n", "\n").replace("\r", "\n").split("\n") if ln]


def segment_count(text: str) -> int:
    return len(lines_of(text))


def to_cr(text: str) -> str:
    """The text as most HL7 libraries want it: segments joined by CR, no blank lines."""
    return "\r".join(lines_of(text))


# -- timing ------------------------------------------------------------------

def best_time(fn: Callable[[], object], repeat: int = 5, target: float = 0.002,
              budget: float = 1.0) -> float:
    """Seconds per call of `fn`: the minimum over `repeat` runs of a loop sized
    so that one run lasts about `target` seconds (at least one call).

    A slow `fn` whose `repeat` single calls would exceed `budget` seconds gets
    as many single calls as fit in the budget (at least one); one whose single
    call exceeds `target` gets up to 3 * `repeat` single calls within the
    budget, to damp noise on a busy machine.  Exceptions from `fn` propagate
    out of the first call.
    """
    timer = timeit.Timer(fn)
    first = timer.timeit(number=1)
    if first * repeat > budget:
        extra = min(repeat, int(budget / first)) - 1 if first > 0 else 0
        return min([first] + (timer.repeat(repeat=extra, number=1) if extra > 0 else []))
    once = min(first, timer.timeit(number=1))
    number = max(1, int(target / once)) if once > 0 else 1000
    if number == 1:
        repeat = max(repeat, min(3 * repeat, int(budget / once)))
    return min(timer.repeat(repeat=repeat, number=number)) / number


def best_times(fns: Mapping[str, Callable[[], object]], repeat: int = 5, target: float = 0.002,
               budget: float | Mapping[str, float] = 1.0) -> dict[str, float | Exception]:
    """`best_time` for several callables on the same input, timed round-robin
    (one run of each per round) so that a burst of load on a busy machine hits
    all of them alike.  Each timed run of a callable that fits its budget is
    preceded by one untimed call, so that it starts warm rather than in the
    state the previous callable left (caches, allocator).  `budget` may be
    given per name.  Returns, per name, seconds per call, or the exception
    that its first call raised."""
    results: dict[str, float | Exception] = {}
    plan = {}  # name -> [timer, number, runs left, warm-up callable or None]
    for name, fn in fns.items():
        limit = budget[name] if isinstance(budget, Mapping) else budget
        timer = timeit.Timer(fn)
        try:
            first = timer.timeit(number=1)
        except Exception as exc:  # noqa: BLE001 - reported to the caller
            results[name] = exc
            continue
        results[name] = first
        if first * repeat > limit:
            runs = min(repeat, int(limit / first)) - 1 if first > 0 else 0
            plan[name] = [timer, 1, runs, None]
            continue
        once = min(first, timer.timeit(number=1))
        results[name] = once
        number = max(1, int(target / once)) if once > 0 else 1000
        runs = max(repeat, min(3 * repeat, int(limit / once))) if number == 1 else repeat
        plan[name] = [timer, number, runs, fn]
    names = list(plan)
    rounds = 0
    while any(p[2] > 0 for p in plan.values()):
        # Each round starts with a different callable, so that none always
        # runs right after the same other one.
        for k in range(len(names)):
            name = names[(rounds + k) % len(names)]
            p = plan[name]
            if p[2] > 0:
                p[2] -= 1
                if p[3] is not None:
                    p[3]()
                results[name] = min(results[name], p[0].timeit(number=p[1]) / p[1])
        rounds += 1
    return results


def add_common_args(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--corpus", metavar="DIR",
                        help=f"corpus folder (default: ${CORPUS_ENV} or {DEFAULT_CORPUS})")
    parser.add_argument("--repeat", type=int, default=5,
                        help="repeats per measurement; the minimum is kept (default 5)")
    parser.add_argument("--quick", action="store_true",
                        help="fewer repeats and shorter loops, for a smoke run")


# -- output ------------------------------------------------------------------

def fmt_us(seconds: float | None) -> str:
    if seconds is None:
        return "-"
    us = seconds * 1e6
    return f"{us:,.1f}" if us < 1000 else f"{us:,.0f}"


def fmt_ratio(num: float | None, den: float | None) -> str:
    if not num or not den:
        return "-"
    return f"{num / den:.2f}x"


def print_table(headers: Sequence[str], rows: Iterable[Sequence[object]],
                align: str | None = None) -> None:
    """Print rows under headers; `align` holds one of 'l'/'r' per column
    (default: first column left, the rest right)."""
    rows = [[str(c) for c in r] for r in rows]
    align = align or "l" + "r" * (len(headers) - 1)
    widths = [max(len(str(h)), *(len(r[i]) for r in rows)) if rows else len(str(h))
              for i, h in enumerate(headers)]

    def line(cells):
        return "  ".join(c.ljust(w) if a == "l" else c.rjust(w)
                         for c, w, a in zip(cells, widths, align)).rstrip()

    print(line([str(h) for h in headers]))
    print("  ".join("-" * w for w in widths))
    for r in rows:
        print(line(r))
