"""Benchmark: `segmorph listen` against python-hl7's asyncio MLLP server.

Both receivers do the same work per message on loopback: receive it in an
MLLP frame, turn it into its records (the listener natively; python-hl7's
server with `Hl7Json(text).hl7_json`), write one JSON line to a file and
flush it, and answer with an ACK (python-hl7's `create_ack`).  Clients are
separate processes (at most 4; 64 connections are 16 per process, each
process waiting on all of its connections at once), each connection
sending the sample messages (segments ended by CR) one at a time and
waiting for each ACK, for --seconds; every ACK's time from sending its
message to having it whole is recorded.

Rows: segmorph listen, with --sync (an fsync per line, shared by lines
written meanwhile), over TLS (a certificate made with the openssl command;
each client process's later connections resume the session of its first),
python-hl7, and with --before PATH an earlier segmorph command as well;
each with 1, 4 and 64 connections.  The contenders take turns within each
of --repeat rounds, and each figure is the median over the rounds: the
machine is shared, and a round that met a busy moment should not decide.
msg/s counts ACKs received per second of wall time; latency is the median
and 99th percentile of all ACKs of a round.

Run:  python bench/bench_listen.py [--corpus DIR] [--repeat N] [--seconds S]
                                   [--before PATH] [--connections 1,4,64]
"""

from __future__ import annotations

import argparse
import multiprocessing as mp
import os
import select
import selectors
import shutil
import signal
import socket
import ssl
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
    """One contender, started afresh for each measurement; `tls` is the
    CA file its clients trust when it serves TLS."""

    def __init__(self, name: str, args: list[str] | None, program: str | None = None, tls: str | None = None):
        self.name, self.args, self.program, self.tls = name, args, program, tls

    def start(self, path: str) -> int:
        if self.args is None:
            parent, child = mp.Pipe()
            self.proc = mp.Process(target=python_hl7_server, args=(path, child), daemon=True)
            self.proc.start()
            if not parent.poll(30):
                raise SystemExit("python-hl7's server did not start")
            return parent.recv()
        self.proc = subprocess.Popen([self.program or command(), "listen", "--bind", "127.0.0.1:0", "--output", path,
                                      *self.args], stderr=subprocess.PIPE)
        ready, _, _ = select.select([self.proc.stderr], [], [], 30)
        line = self.proc.stderr.readline().decode() if ready else ""
        if "listening on" not in line:
            raise SystemExit(f"segmorph listen did not start: {line!r}")
        return int(line.split()[3].rsplit(":", 1)[1])

    def stop(self) -> None:
        if isinstance(self.proc, subprocess.Popen):
            self.proc.send_signal(signal.SIGTERM)
            self.proc.wait(timeout=60)
        else:
            self.proc.terminate()
            self.proc.join(timeout=60)


# -- the clients --------------------------------------------------------------

def client(port: int, frames: list[bytes], start: float, seconds: float, count: int, tls: str | None,
           result) -> None:
    """Holds `count` connections, each sending frames one at a time until
    `seconds` after `start`; returns the latencies of all ACKs received and
    how many TLS connections resumed a session."""
    ctx = ssl.create_default_context(cafile=tls) if tls else None
    socks, session, resumed = [], None, 0
    for _ in range(count):
        sock = socket.create_connection(("127.0.0.1", port))
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if ctx:
            sock = ctx.wrap_socket(sock, server_hostname="localhost", session=session)
            resumed += sock.session_reused
            if session is None:
                # A TLS 1.3 session ticket comes after the handshake: one
                # exchange, not timed, fetches it.
                sock.sendall(frames[0])
                while not sock.recv(65536).endswith(EB + CR):
                    pass
                session = sock.session
        socks.append(sock)
    sel = selectors.DefaultSelector()
    state = {}
    latencies = []
    clock = time.perf_counter
    while time.time() < start:
        time.sleep(0.001)
    end = start + seconds
    n = len(frames)
    for k, sock in enumerate(socks):
        state[sock] = [k % n, clock(), b""]
        sock.sendall(frames[k % n])
        sel.register(sock, selectors.EVENT_READ)
    while state:
        ready = [s for s in state if ctx and s.pending()] or [key.fileobj for key, _ in sel.select(1.0)]
        for sock in ready:
            st = state[sock]
            more = sock.recv(65536)
            if not more:
                raise SystemExit("connection closed before the ACK")
            st[2] += more
            if not st[2].endswith(EB + CR):
                continue
            latencies.append(clock() - st[1])
            if time.time() >= end:
                sel.unregister(sock)
                del state[sock]
                continue
            st[0] = st[0] + 1 if st[0] + 1 < n else 0
            st[1], st[2] = clock(), b""
            sock.sendall(frames[st[0]])
    for sock in socks:
        sock.close()
    result.send((latencies, resumed))


def measure(receiver: Receiver, frames: list[bytes], connections: int, seconds: float, workdir: str) -> dict:
    path = os.path.join(workdir, "out.jsonl")
    if os.path.exists(path):
        os.unlink(path)
    port = receiver.start(path)
    try:
        start = time.time() + 0.5
        pipes, procs = [], []
        processes = min(connections, 4)
        for i in range(processes):
            parent, child = mp.Pipe()
            count = connections // processes + (i < connections % processes)
            p = mp.Process(target=client, args=(port, frames, start, seconds, count, receiver.tls, child))
            p.start()
            pipes.append(parent)
            procs.append(p)
        got = [parent.recv() for parent in pipes]
        latencies = [x for lat, _ in got for x in lat]
        resumed = sum(r for _, r in got)
        for p in procs:
            p.join(timeout=60)
    finally:
        receiver.stop()
    latencies.sort()
    written = sum(1 for _ in open(path, "rb"))
    if written < len(latencies):
        raise SystemExit(f"{receiver.name}: {len(latencies)} ACKs but only {written} lines written")
    return {"rate": len(latencies) / seconds, "median": latencies[len(latencies) // 2],
            "p99": latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))], "resumed": resumed}


def make_certificate(workdir: str) -> tuple[str, str]:
    """A self-signed certificate for localhost; its file is also the CA."""
    cert, key = os.path.join(workdir, "cert.pem"), os.path.join(workdir, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                    "-keyout", key, "-out", cert, "-subj", "/CN=localhost", "-days", "2",
                    "-addext", "subjectAltName=DNS:localhost"], check=True, capture_output=True)
    return cert, key


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    common.add_common_args(parser)
    parser.add_argument("--seconds", type=float, default=3.0, help="sending time per measurement (default 3)")
    parser.add_argument("--dir", help="folder for the output files (default: a temporary folder)")
    parser.add_argument("--before", metavar="PATH", help="an earlier segmorph command to measure as well")
    parser.add_argument("--connections", default="1,4,64", help="connection counts (default 1,4,64)")
    parser.add_argument("--only", help="comma-separated receiver names to run (default: all)")
    args = parser.parse_args()
    repeat = 2 if args.quick else args.repeat
    seconds = 1.0 if args.quick else args.seconds
    counts = [int(c) for c in args.connections.split(",")]
    frames = corpus_frames(common.corpus_dir(args.corpus))
    print(f"{len(frames)} sample messages, {seconds:g} s per measurement, median of {repeat} rounds; "
          f"{os.cpu_count()} processors, load average {os.getloadavg()[0]:.1f}")
    results: dict[tuple[str, int], list[dict]] = {}
    with tempfile.TemporaryDirectory(dir=args.dir) as workdir:
        receivers = [Receiver("segmorph listen", []), Receiver("segmorph listen --sync", ["--sync"])]
        if shutil.which("openssl"):
            cert, key = make_certificate(workdir)
            receivers.append(Receiver("segmorph listen TLS", ["--tls-cert", cert, "--tls-key", key], tls=cert))
        if args.before:
            receivers.insert(0, Receiver("segmorph listen (before)", [], program=args.before))
        receivers.append(Receiver("python-hl7 asyncio", None))
        if args.only:
            receivers = [r for r in receivers if r.name in args.only.split(",")]
        for _ in range(repeat):
            for connections in counts:
                for receiver in receivers:
                    r = measure(receiver, frames, connections, seconds, workdir)
                    results.setdefault((receiver.name, connections), []).append(r)

    def med(name, connections, key):
        return statistics.median(r[key] for r in results[(name, connections)])

    rows = []
    base_name = "python-hl7 asyncio" if any(r.name == "python-hl7 asyncio" for r in receivers) else receivers[0].name
    for connections in counts:
        base = med(base_name, connections, "rate")
        for receiver in receivers:
            rate = med(receiver.name, connections, "rate")
            rows.append([receiver.name, connections, f"{rate:,.0f}", common.fmt_us(med(receiver.name, connections, "median")),
                         common.fmt_us(med(receiver.name, connections, "p99")), common.fmt_ratio(rate, base)])
    common.print_table(["receiver", "conns", "msg/s", "median µs", "p99 µs", f"vs {base_name}"], rows)
    # Ratios within each round (the same moment of a shared machine).
    plain, tls = "segmorph listen", "segmorph listen TLS"
    for connections in counts:
        if (plain, connections) in results and (tls, connections) in results:
            ratios = [p["rate"] / t["rate"] for p, t in zip(results[(plain, connections)], results[(tls, connections)])]
            resumed = results[(tls, connections)][0]["resumed"]
            print(f"TLS cost at {connections} connections: plain/TLS msg/s {statistics.median(ratios):.2f}x "
                  f"(per round: {', '.join(f'{r:.2f}' for r in ratios)}; {resumed} connections resumed a session)")


if __name__ == "__main__":
    mp.set_start_method("fork")
    main()
