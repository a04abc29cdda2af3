"""Check: time grows linearly with input size, and peak memory of a
conversion stays close to the size of the objects it returns.

For each size from 1 KB to 50 MB (the corpus repeated), a fresh interpreter
converts the text with Hl7Json(text).hl7_json and assembles it back with
JsonHl7(records).hl7_string, and reports:

  - microseconds per kilobyte for each direction (flat across sizes when
    time is linear);
  - the growth of the peak resident memory during the conversion, against
    the memory the result objects themselves take (list, dicts, keys once,
    values), as a ratio.

The largest sizes are measured again with non-ASCII text (every "a" of the
corpus made "ä"): a str that is not ASCII holds no UTF-8 bytes of its own,
so the conversion works on a UTF-8 form of it.

Run:  python bench/scaling.py [--corpus DIR] [--max-mb N]
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import common  # noqa: E402

CHILD = r"""
import gc, json, resource, sys, time
import segmorph
text = open(sys.argv[1], encoding="utf-8", newline="").read()
gc.collect()
def rss():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
base = rss()
t0 = time.perf_counter()
records = segmorph.Hl7Json(text).hl7_json
t_parse = time.perf_counter() - t0
peak_parse = rss() - base
# The result's own size: the list, each dict, each distinct str once (keys
# are shared, and so are the interpreter's cached empty and one-character
# texts).
seen = set()
size = sys.getsizeof(records)
for d in records:
    size += sys.getsizeof(d)
    for s in d.items():
        for o in s:
            if id(o) not in seen:
                seen.add(id(o))
                size += sys.getsizeof(o)
del seen
t0 = time.perf_counter()
out = segmorph.JsonHl7(records).hl7_string
t_assemble = time.perf_counter() - t0
print(json.dumps({"parse": t_parse, "assemble": t_assemble, "peak_parse": peak_parse, "result": size}))
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    common.add_common_args(parser)
    parser.add_argument("--max-mb", type=float, default=50)
    args = parser.parse_args()
    texts = [t for _, t in common.load_corpus(common.corpus_dir(args.corpus))]
    unit = "\n".join(common.lines_of("\n".join(texts)))
    sizes = [(s, False) for s in (1e3, 1e4, 1e5, 1e6, 1e7, args.max_mb * 1e6)]
    sizes += [(s, True) for s in (1e7, args.max_mb * 1e6)]
    rows = []
    tmp = Path(common.REPO_ROOT / "build" / "scaling")
    tmp.mkdir(parents=True, exist_ok=True)
    for size, non_ascii in sizes:
        n = int(size)
        text = (unit * (n // len(unit) + 1))[:n]
        if non_ascii:
            text = text.replace("a", "\u00e4")
        text = text[: text.rfind("\n")] if "\n" in text[1:] else text  # whole segments only
        path = tmp / "input.hl7"
        path.write_text(text, encoding="utf-8", newline="")
        got = json.loads(subprocess.run([sys.executable, "-c", CHILD, str(path)], check=True,
                                        capture_output=True, text=True).stdout)
        kb = len(text.encode()) / 1e3
        rows.append((f"{kb:,.0f} kB" + (" non-ASCII" if non_ascii else ""), f"{got['parse'] / kb * 1e6:.2f}", f"{got['assemble'] / kb * 1e6:.2f}",
                     f"{got['result'] / 1e6:.1f}", f"{got['peak_parse'] / 1e6:.1f}",
                     f"{got['peak_parse'] / got['result']:.2f}x"))
    common.print_table(["input", "parse us/kB", "assemble us/kB", "result MB", "peak growth MB", "peak/result"],
                       rows)
    print("\n(peak growth at small sizes is dominated by the interpreter's own allocations)")


if __name__ == "__main__":
    main()
