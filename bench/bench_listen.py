"""Benchmark: `segmorph listen` against python-hl7's asyncio MLLP server.

Both receivers do the same work per message on loopback: receive it in an
MLLP frame, turn it into its records (the listener natively; python-hl7's
server with `Hl7Json(text).hl7_json`), write one JSON line to a file and
flush it, and answer with an ACK (python-hl7's `create_ack`).  Clients are
separate processes, each holding one connection and sending the sample
messages (segments ended by CR) one at a time, waiting for each ACK, for
--seconds; every client records the time from sending a message to having
its whole ACK.

Rows: segmorph listen, segmorph listen --sync (an fsync per line, shared by
lines written meanwhile) and python-hl7, each with 1 and 4 connections.  The
contenders take turns within each of --repeat rounds, and each figure is the
median over the rounds: the machine is shared, and a round that met a busy
moment should not decide.  msg/s counts ACKs received per second of wall
time; latency is the median and 99th percentile of all ACKs of a round.

Run:  python bench/bench_listen.py [--corpus DIR] [--repeat N] [--seconds S]
"""

from __future__ import annotations

import argparse
import multiprocessing as mp
import os
import select
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import common  # noqa: E402
from bench_cli import command  # noqa: E402

SB, EB, CR = b"\x0b", b"\x1c", b"\r"
BATCH_LINES = ("FHS", "BHS", "BTS", "FTS")


def corpus_frames(corpus: Path) -> list[bytes]:
    """Every sample message in an MLLP frame, segments ended by CR."""
    out = []
    for _, text in common.load_corpus(corpus):
        current: list[str] = []
        for line in common.lines_of(text):
            if line.startswith(BATCH_LINES):
                continue
            if line.startswith("MSH") and current:
                out.append(current)
                current = []
            current.append(line)
        if current:
            out.append(current)
    return [SB + ("\r".join(m) + "\r").encode() + EB + CR for m in out]


# -- the python-hl7 receiver --------------------------------------------------

def python_hl7_server(path: str, ready) -> None:
    """python-hl7's asyncio MLLP server doing the listener's work."""
    import asyncio

    import hl7
    import hl7.mllp

    from segmorph import Hl7Json

    try:
        import orjson

        def dumps(obj):
            return orjson.dumps(obj) + b"\n"
    except ImportError:
        import json

        def dumps(obj):
            return (json.dumps(obj, ensure_ascii=False, separators=(",", ":")) + "\n").encode()

    out = open(path, "ab", buffering=0)

    async def handle(reader, writer):
        peer = "%s:%d" % writer.get_extra_info("peername")[:2]
        index = 0
        try:
            while True:
                block = (await reader.readblock()).decode()
                records = Hl7Json(block).hl7_json
                out.write(dumps({"source": peer, "index": index, "records": records}))
                index += 1
                writer.writemessage(hl7.parse(block).create_ack())
                await writer.drain()
        except (asyncio.IncompleteReadError, ConnectionError):
            writer.close()

    async def main():
        server = await hl7.mllp.start_hl7_server(handle, "127.0.0.1", 0, encoding="utf-8")
        ready.send(server.sockets[0].getsockname()[1])
        async with server:
            await server.serve_forever()

    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    asyncio.run(main())


class Receiver:
    """One contender, started afresh for each measurement."""

    def __init__(self, name: str, args: list[str] | None):
        self.name, self.args = name, args

    def start(self, path: str) -> int:
        if self.args is None:
            parent, child = mp.Pipe()
            self.proc = mp.Process(target=python_hl7_server, args=(path, child), daemon=True)
            self.proc.start()
            if not parent.poll(30):
                raise SystemExit("python-hl7's server did not start")
            return parent.recv()
        self.proc = subprocess.Popen([command(), "listen", "--bind", "127.0.0.1:0", "--output", path, *self.args],
                                     stderr=subprocess.PIPE)
        ready, _, _ = select.select([self.proc.stderr], [], [], 30)
        line = self.proc.stderr.readline().decode() if ready else ""
        if "listening on" not in line:
            raise SystemExit(f"segmorph listen did not start: {line!r}")
        return int(line.rsplit(":", 1)[1])

    def stop(self) -> None:
        if isinstance(self.proc, subprocess.Popen):
            self.proc.send_signal(signal.SIGTERM)
            self.proc.wait(timeout=60)
        else:
            self.proc.terminate()
            self.proc.join(timeout=60)


# -- the clients --------------------------------------------------------------

def client(port: int, frames: list[bytes], start: float, seconds: float, result) -> None:
    """Sends frames one at a time until `seconds` after `start`; returns the
    latencies of all ACKs received."""
    latencies = []
    with socket.create_connection(("127.0.0.1", port)) as sock:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        while time.time() < start:
            time.sleep(0.001)
        end = start + seconds
        clock = time.perf_counter
        i, n = 0, len(frames)
        while time.time() < end:
            t0 = clock()
            sock.sendall(frames[i])
            got = sock.recv(65536)
            while not got.endswith(EB + CR):
                more = sock.recv(65536)
                if not more:
                    raise SystemExit("connection closed before the ACK")
                got += more
            latencies.append(clock() - t0)
            i = i + 1 if i + 1 < n else 0
    result.send(latencies)


def measure(receiver: Receiver, frames: list[bytes], connections: int, seconds: float, workdir: str) -> dict:
    path = os.path.join(workdir, "out.jsonl")
    if os.path.exists(path):
        os.unlink(path)
    port = receiver.start(path)
    try:
        start = time.time() + 0.5
        pipes, procs = [], []
        for _ in range(connections):
            parent, child = mp.Pipe()
            p = mp.Process(target=client, args=(port, frames, start, seconds, child))
            p.start()
            pipes.append(parent)
            procs.append(p)
        latencies = [x for parent in pipes for x in parent.recv()]
        for p in procs:
            p.join(timeout=60)
    finally:
        receiver.stop()
    latencies.sort()
    written = sum(1 for _ in open(path, "rb"))
    if written < len(latencies):
        raise SystemExit(f"{receiver.name}: {len(latencies)} ACKs but only {written} lines written")
    return {"rate": len(latencies) / seconds, "median": latencies[len(latencies) // 2],
            "p99": latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))]}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    common.add_common_args(parser)
    parser.add_argument("--seconds", type=float, default=3.0, help="sending time per measurement (default 3)")
    parser.add_argument("--dir", help="folder for the output files (default: a temporary folder)")
    args = parser.parse_args()
    repeat = 2 if args.quick else args.repeat
    seconds = 1.0 if args.quick else args.seconds
    frames = corpus_frames(common.corpus_dir(args.corpus))
    receivers = [Receiver("segmorph listen", []), Receiver("segmorph listen --sync", ["--sync"]),
                 Receiver("python-hl7 asyncio", None)]
    print(f"{len(frames)} sample messages, {seconds:g} s per measurement, median of {repeat} rounds; "
          f"{os.cpu_count()} processors, load average {os.getloadavg()[0]:.1f}")
    results: dict[tuple[str, int], list[dict]] = {}
    with tempfile.TemporaryDirectory(dir=args.dir) as workdir:
        for _ in range(repeat):
            for connections in (1, 4):
                for receiver in receivers:
                    r = measure(receiver, frames, connections, seconds, workdir)
                    results.setdefault((receiver.name, connections), []).append(r)

    def med(name, connections, key):
        return statistics.median(r[key] for r in results[(name, connections)])

    rows = []
    for connections in (1, 4):
        base = med("python-hl7 asyncio", connections, "rate")
        for receiver in receivers:
            rate = med(receiver.name, connections, "rate")
            rows.append([receiver.name, connections, f"{rate:,.0f}", common.fmt_us(med(receiver.name, connections, "median")),
                         common.fmt_us(med(receiver.name, connections, "p99")), common.fmt_ratio(rate, base)])
    common.print_table(["receiver", "conns", "msg/s", "median µs", "p99 µs", "vs python-hl7"], rows)


if __name__ == "__main__":
    mp.set_start_method("fork")
    main()
