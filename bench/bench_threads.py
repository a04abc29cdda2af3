"""Work that runs without the interpreter: two threads on two cores.

For each size of message (bytes of record keys and values), times one call of
`JsonHl7.hl7_string` and `Hl7Json.validate`, then the same two calls done by
one thread one after the other against two threads doing one each at once.
Below the size at which the binding detaches from the interpreter the two
threads take turns and gain nothing; above it they overlap, and on two free
cores the pair takes about as long as one call.

"cores" is the CPU time of the two-thread run over its wall time: above 1,
both threads computed at once, whatever else the machine was doing.

The per-call figures also show where detaching starts to pay: re-attaching
while another thread runs Python can wait up to the interpreter's switch
interval (5 ms), so detaching only pays for calls that last long enough for a
wait to be small against the parallel work; see kDetachMinBytes and
kDetachMinValidationBytes in src/lib_support.hpp.

    python bench/bench_threads.py [--repeat N]
"""

from __future__ import annotations

import argparse
import os
import statistics
import threading
import time

import segmorph


def records_of(total_bytes: int) -> list[dict[str, str]]:
    """Records of a plausible shape whose keys and values add up to about
    `total_bytes` bytes."""
    rec = {"segment_name": "OBX", "1": "1", "2": "ST", "3.1": "8310-5", "3.2": "Body temperature",
           "3.3": "LN", "5": "37.2 (C)", "6.1": "Cel", "11": "F", "14": "20240101120000"}
    size = sum(len(k) + len(v) for k, v in rec.items())
    fields = ["^~\\&", "APP", "FAC", "RAPP", "RFAC", "20240101120000", "", "ORU^R01^ORU_R01", "1", "P", "2.5",
              "2.5"]
    header = {"segment_name": "MSH", **{str(n): v for n, v in enumerate(fields, 1)}}
    return [header] + [dict(rec, **{"1": str(i)}) for i in range(max(1, total_bytes // size))]


def timed(fn, repeat: int) -> tuple[float, float]:
    """Median wall time of `repeat` runs of `fn`, and the median ratio of
    the process's CPU time to wall time (above 1: more than one core busy)."""
    times, cores = [], []
    for _ in range(repeat):
        c0, t0 = time.process_time(), time.perf_counter()
        fn()
        wall = time.perf_counter() - t0
        times.append(wall)
        cores.append((time.process_time() - c0) / wall)
    return statistics.median(times), statistics.median(cores)


def one_then_other(a, b):
    a()
    b()


def both_at_once(a, b):
    ts = [threading.Thread(target=a), threading.Thread(target=b)]
    for t in ts:
        t.start()
    for t in ts:
        t.join()


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--repeat", type=int, default=15)
    args = ap.parse_args()

    # Other processes on the machine take cores away from the two threads.
    print("load average: %.2f %.2f %.2f" % os.getloadavg())
    print(f"{'work':<12} {'bytes':>9} {'one call':>10} {'1 thread x2':>12} {'2 threads':>10} {'ratio':>6} "
          f"{'cores':>6}")
    for size in (4 << 10, 16 << 10, 64 << 10, 256 << 10, 1 << 20, 8 << 20):
        records = records_of(size)
        a, b = segmorph.JsonHl7(records), segmorph.JsonHl7(records)
        text = a.hl7_string_unescaped
        h1, h2 = segmorph.Hl7Json(text), segmorph.Hl7Json(text)
        loops = max(1, (8 << 20) // size)  # each measured run well above thread start-up and wake-up delays
        cases = {
            "assembly": (lambda: [a.hl7_string for _ in range(loops)], lambda: [b.hl7_string for _ in range(loops)]),
            "validation": (lambda: [h1.validate(False, False) for _ in range(loops)],
                           lambda: [h2.validate(False, False) for _ in range(loops)]),
        }
        for name, (fa, fb) in cases.items():
            one = timed(fa, args.repeat)[0] / loops
            serial = timed(lambda: one_then_other(fa, fb), args.repeat)[0]
            parallel, cores = timed(lambda: both_at_once(fa, fb), args.repeat)
            print(f"{name:<12} {size:>9} {one * 1e6:>8.1f}us {serial * 1e3:>10.2f}ms {parallel * 1e3:>8.2f}ms "
                  f"{serial / parallel:>6.2f} {cores:>6.2f}")


if __name__ == "__main__":
    main()
