"""segmorph listen against many, slow, silent, oversized or unwelcome
peers, and what it tells an operator: loopback only, bounded time."""

import json
import resource
import signal
import socket
import subprocess
import threading
import time
import urllib.request

import pytest

from test_cli import COMMAND, ENV
from test_listen import EB, CR, SB, ack_of, frame, listening, message, msa


@pytest.fixture
def many_files():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and hard < 5000:
        pytest.skip("the descriptor limit is too low for thousands of connections")
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard if hard != resource.RLIM_INFINITY else 65536, hard))
    yield
    resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


def timed_exchange(port, count, prefix):
    """Sends `count` messages on a new connection; the slowest ACK's time."""
    slowest = 0.0
    with socket.create_connection(("127.0.0.1", port), timeout=5) as sock:
        for i in range(count):
            start = time.monotonic()
            sock.sendall(frame(message(f"{prefix}{i}")))
            assert msa(ack_of(sock.recv(65536))) == ("AA", f"{prefix}{i}")
            slowest = max(slowest, time.monotonic() - start)
    return slowest


def trickle(socks, byte, stop, every=0.2):
    while not stop.wait(every):
        for s in socks:
            try:
                s.send(byte)
            except OSError:
                pass


def closed_by_peer(sock, within=5.0):
    sock.settimeout(within)
    try:
        return sock.recv(65536) == b""
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


def test_silent_and_trickling_peers_lock_no_one_out(tmp_path, many_files):
    with listening(tmp_path, "--frame-timeout", "1.5") as listener:
        idle = [socket.create_connection(("127.0.0.1", listener.port), timeout=10) for _ in range(2000)]
        outside = [socket.create_connection(("127.0.0.1", listener.port), timeout=10) for _ in range(32)]
        inside = [socket.create_connection(("127.0.0.1", listener.port), timeout=10) for _ in range(32)]
        for s in inside:
            s.sendall(SB + b"MSH|")  # a message begun, never ended
        stop = threading.Event()
        threads = [threading.Thread(target=trickle, args=(outside, b"x", stop)),
                   threading.Thread(target=trickle, args=(inside, b"y", stop))]
        for t in threads:
            t.start()
        try:
            assert timed_exchange(listener.port, 50, "N") < 1.0
            time.sleep(1.0)
            assert timed_exchange(listener.port, 50, "M") < 1.0
            # a message begun must end within --frame-timeout, trickle or not;
            # bytes outside frames hold nothing up and are not timed as one
            assert all(closed_by_peer(s) for s in inside)
            assert not closed_by_peer(outside[0], within=0.3)
            assert not closed_by_peer(idle[0], within=0.1)
        finally:
            stop.set()
            for t in threads:
                t.join()
            for s in idle + outside + inside:
                s.close()
        rc, err = listener.stop()
    assert rc == 0
    assert err.count("did not end within 1.5 s (--frame-timeout)") == 32
    assert "100 messages (100 AA, 0 AE, 0 AR)" in err


def test_bytes_outside_frames_do_not_reset_the_idle_timeout(tmp_path):
    with listening(tmp_path, "--idle-timeout", "1") as listener:
        with socket.create_connection(("127.0.0.1", listener.port), timeout=10) as sock:
            start = time.monotonic()
            stop = threading.Event()
            t = threading.Thread(target=trickle, args=([sock], b"z", stop, 0.1))
            t.start()
            try:
                assert closed_by_peer(sock, within=5)
            finally:
                stop.set()
                t.join()
            assert time.monotonic() - start < 3
        rc, err = listener.stop()
    assert "closed after 1 s without a message (--idle-timeout)" in err


def test_at_the_limit_the_longest_idle_makes_room(tmp_path):
    with listening(tmp_path, "--max-connections", "100") as listener:
        silent = [socket.create_connection(("127.0.0.1", listener.port), timeout=10) for _ in range(100)]
        try:
            assert timed_exchange(listener.port, 5, "L") < 1.0
            assert closed_by_peer(silent[0], within=2)  # the oldest went
            assert not closed_by_peer(silent[-1], within=0.1)
        finally:
            for s in silent:
                s.close()
        rc, err = listener.stop()
    assert "closed to admit" in err


def test_an_oversize_frame_is_refused_as_it_passes_the_limit(tmp_path):
    with listening(tmp_path, "--max-message-bytes", "4000") as listener:
        with socket.create_connection(("127.0.0.1", listener.port), timeout=10) as sock:
            sock.sendall(SB + message("BIG", "NTE|1||" + "x" * 5000).encode())
            # answered before the frame ends
            code, control_id = msa(ack_of(sock.recv(65536)))
            assert (code, control_id) == ("AR", "BIG")
            for _ in range(64):  # the rest is dropped as it comes
                sock.sendall(b"y" * 65536)
            sock.sendall(EB + CR + frame(message("NEXT")))
            assert msa(ack_of(sock.recv(65536))) == ("AA", "NEXT")
        rc, err = listener.stop()
        lines = listener.lines()
    assert [line["records"][0]["9"] for line in lines] == ["NEXT"]
    assert "more than 4000 bytes (--max-message-bytes): refused after" in err


def test_allow_closes_other_addresses_at_once(tmp_path):
    with listening(tmp_path, "--allow", "127.0.0.1/32", "--allow", "::1") as listener:
        with socket.socket() as other:
            other.bind(("127.0.0.2", 0))
            other.settimeout(5)
            other.connect(("127.0.0.1", listener.port))
            assert closed_by_peer(other)
        assert timed_exchange(listener.port, 1, "A") < 1.0
        rc, err = listener.stop()
    assert "127.0.0.2:" in err and "not in --allow" in err
    assert "1 message (1 AA" in err


def scrape(port):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=5) as r:
        assert r.headers["Content-Type"].startswith("text/plain")
        text = r.read().decode()
    values = {}
    for line in text.splitlines():
        if line and not line.startswith("#"):
            name, value = line.rsplit(" ", 1)
            values[name] = float(value)
    return values


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_metrics_count_what_was_sent_and_json_logs_each_event(tmp_path):
    port = free_port()
    with listening(tmp_path, "--metrics", f"127.0.0.1:{port}", "--log-format", "json",
                   "--max-message-bytes", "4000", "--allow", "127.0.0.1") as listener:
        with socket.create_connection(("127.0.0.1", listener.port), timeout=10) as sock:
            for payload in [message("A1"), message("A2"), message("E1").replace("|P|2.5", "|P|"),
                            b"not hl7", message("R2", "NTE|1||" + "x" * 5000)]:
                sock.sendall(frame(payload))
                sock.recv(65536)
            sock.sendall(b"junk")
            m = scrape(port)
        with socket.socket() as other:
            other.bind(("127.0.0.2", 0))
            other.connect(("127.0.0.1", listener.port))
            closed_by_peer(other)
        time.sleep(0.2)
        after = scrape(port)
        rc, err = listener.stop()
    assert m['segmorph_messages_total{code="AA"}'] == 2
    assert m['segmorph_messages_total{code="AE"}'] == 1
    assert m['segmorph_messages_total{code="AR"}'] == 2
    assert m["segmorph_frames_refused_total"] == 1
    assert m["segmorph_connections_open"] == 1
    assert m['segmorph_write_seconds_count'] == 3
    assert m['segmorph_write_seconds_bucket{le="+Inf"}'] == 3
    assert m["segmorph_received_bytes_total"] > 5000
    assert after["segmorph_connections_open"] == 0 and after["segmorph_connections_denied_total"] == 1
    assert after["segmorph_skipped_bytes_total"] == 4
    events = [json.loads(line) for line in err.splitlines()]
    names = [e["event"] for e in events]
    assert names[-1] == "stopped"
    assert names.count("opened") == 1 and names.count("denied") == 1
    acks = [(e["index"], e["ack"]) for e in events if e["event"] == "message"]
    assert acks == [("0", "AA"), ("1", "AA"), ("2", "AE"), ("3", "AR"), ("4", "AR")]
    assert all(e["time"].endswith("Z") and e.get("peer", "127.0.0.1").startswith("127.0.0.") for e in events)


def test_a_peer_that_never_reads_its_acks_is_dropped(tmp_path):
    with listening(tmp_path) as listener:
        with socket.socket() as sock:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            sock.connect(("127.0.0.1", listener.port))
            sock.settimeout(0.5)
            burst = frame(message("P")) * 100
            start = time.monotonic()
            dropped = False
            while not dropped and time.monotonic() - start < 40:
                try:
                    sock.sendall(burst)
                except socket.timeout:
                    pass  # the listener reads no more until its ACKs are taken
                except OSError:
                    dropped = True
            assert dropped
            assert time.monotonic() - start < 30
        assert timed_exchange(listener.port, 1, "Q") < 1.0
        rc, err = listener.stop()
    assert "did not take its ACK within 10 s" in err


def test_a_low_descriptor_limit_lowers_the_connection_limit(tmp_path):
    output = tmp_path / "out.jsonl"
    proc = subprocess.Popen([str(COMMAND), "listen", "--bind", "127.0.0.1:0", "--output", str(output)],
                            stderr=subprocess.PIPE, env=ENV,
                            preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (128, 128)))
    try:
        first = proc.stderr.readline().decode()
        assert "--max-connections 10000 lowered to 64: the process may open 128 files" in first
        port = int(proc.stderr.readline().decode().split()[3].rsplit(":", 1)[1])
        silent = [socket.create_connection(("127.0.0.1", port), timeout=10) for _ in range(100)]
        try:
            assert timed_exchange(port, 3, "D") < 1.0
        finally:
            for s in silent:
                s.close()
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=20) == 0
        assert "closed to admit" in proc.stderr.read().decode()
    finally:
        proc.kill()
        proc.wait()
