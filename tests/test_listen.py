"""segmorph listen and segmorph send, over loopback, against python-hl7's
own MLLP client and asyncio MLLP server."""

import asyncio
import json
import os
import select
import signal
import socket
import subprocess
import threading
import time
from contextlib import contextmanager

import hl7
import hl7.mllp
import pytest
from hl7.client import MLLPClient

from conftest import SANITIZED
from test_cli import COMMAND, CORPUS, CORPUS_FILES, ENV, jsonl, reference_parts, run

SB, EB, CR = b"\x0b", b"\x1c", b"\r"
MSH = "MSH|^~\\&|SENDAPP|SENDFAC|RECVAPP|RECVFAC|20240101120000||ADT^A01^ADT_A01|{id}|P|2.5"
PID = "PID|1||123^^^HOSP^MR||Doe^John"


def message(control_id="MSG1", *segments):
    return "\r".join([MSH.format(id=control_id), PID, *segments]) + "\r"


def frame(text):
    return SB + (text.encode() if isinstance(text, str) else text) + EB + CR


def wire(text):
    """A framed message's text with carriage returns as segment ends."""
    return text.replace("\n", "\r") + "\r"


class Listener:
    def __init__(self, proc, port, output):
        self.proc, self.port, self.output = proc, port, output

    def client(self):
        return MLLPClient("127.0.0.1", self.port)

    def stop(self, sig=signal.SIGTERM):
        """Stops the listener; its exit status and standard error."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            rc = self.proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            raise
        return rc, self.proc.stderr.read().decode()

    def lines(self):
        return jsonl(self.output.read_bytes())


@contextmanager
def listening(tmp_path, *args):
    output = tmp_path / "out.jsonl"
    proc = subprocess.Popen([str(COMMAND), "listen", "--bind", "127.0.0.1:0", "--output", str(output), *args],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=ENV,
                            bufsize=0)  # unbuffered: select() sees every line not yet read
    try:
        before = ""  # what the listener said before it listened (a repaired output)
        for _ in range(5):
            ready, _, _ = select.select([proc.stderr], [], [], 10)
            assert ready, "the listener did not say where it listens"
            first = proc.stderr.readline().decode()
            if "listening on" in first:
                break
            before += first
        if first.startswith("{"):  # --log-format json
            first = "segmorph: " + json.loads(first)["message"]
        assert first.startswith("segmorph: listening on 127.0.0.1:"), first
        listener = Listener(proc, int(first.split()[3].rsplit(":", 1)[1]), output)
        listener.before = before
        yield listener
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait(timeout=10)


def ack_of(raw):
    assert raw.startswith(SB) and raw.endswith(EB + CR), raw
    return hl7.parse(raw[1:-2].decode())


def msa(ack):
    return str(ack.segment("MSA")[1]), str(ack.segment("MSA")[2])


# ------------------------------------------------------------------ listen

def test_every_corpus_message_is_accepted_and_written_as_to_json_writes_it(tmp_path):
    expected, sent = [], []
    for path in CORPUS_FILES:
        items = [i for i in jsonl(run("to-json", path, check_status=0).stdout) if "records" in i]
        texts = [body for kind, body in reference_parts(path.read_bytes()) if kind == "message"]
        assert len(items) == len(texts)
        expected += items
        sent += texts
    with listening(tmp_path) as listener:
        with listener.client() as client:
            for text in sent:
                ack = ack_of(client.send_message(wire(text)))
                control_id = text.split("\n")[0].split(text[3])[9]
                assert msa(ack) == ("AA", control_id)
                assert str(ack.segment("MSH")[9]).startswith("ACK")
        rc, err = listener.stop()
        assert rc == 0, err
        assert f"{len(sent)} messages ({len(sent)} AA, 0 AE, 0 AR)" in err
        lines = listener.lines()
    assert [line["index"] for line in lines] == list(range(len(sent)))
    assert len({line["source"] for line in lines}) == 1
    assert [line["records"] for line in lines] == [item["records"] for item in expected]


def test_the_ack_answers_in_the_messages_own_terms(tmp_path):
    text = "MSH#*!@%#A#B#C#D#20240101##ADT*A04*ADT_A01#X1|Y#P#2.4\rPID#1\r"
    with listening(tmp_path, "--rules", "none") as listener, listener.client() as client:
        raw = client.send_message(text)
    fields = raw[1:-2].decode().split("\r")[0].split("#")
    assert fields[:6] == ["MSH", "*!@%", "C", "D", "A", "B"]
    assert fields[8] == "ACK*A04*ACK" and fields[9] and fields[9] != "X1|Y"
    assert fields[10:12] == ["P", "2.4"]
    assert raw[1:-2].decode().split("\r")[1] == "MSA#AA#X1|Y"


@pytest.mark.parametrize("payload, code, written, reason", [
    # the rules fail: kept with the reason, answered AE
    (message("E1").replace("|P|2.5", "|P|"), "AE", True, "MSH-12"),
    # not HL7, not UTF-8, empty: nothing written, answered AR
    (b"hello there", "AR", False, "not an HL7 message"),
    (message("R2").encode().replace(b"Doe", b"D\xffe"), "AR", False, "UTF-8"),
    (b"  \r\n", "AR", False, "empty"),
    # too large: answered AR from its header, the rest never kept
    (message("R3", "NTE|1||" + "x" * 5000), "AR", False, "--max-message-bytes"),
    # no control ID: still answered, with an empty MSA-2
    (message(""), "AA", True, None),
    # blank, form-feed and 0x0B lines before the header: skipped by the
    # converter and the ACK alike
    (b"\x0c\r \x0b\r" + message("F1").encode(), "AA", True, None),
    (b"\x0c\r" + message("F2").replace("|P|2.5", "|P|").encode(), "AE", True, "MSH-12"),
])
def test_verdicts(tmp_path, payload, code, written, reason):
    with listening(tmp_path, "--max-message-bytes", "4000") as listener:
        with listener.client() as client:
            raw = client.send_message(payload)
            # the connection stays usable after any verdict
            assert msa(ack_of(client.send_message(message("NEXT")))) == ("AA", "NEXT")
        ack = ack_of(raw)
        data = payload.encode() if isinstance(payload, str) else payload
        header = data.lstrip(b"\x0c\x0b\r ")
        assert msa(ack) == (code, header.split(b"|")[9].decode() if header.startswith(b"MSH") else "")
        rc, err = listener.stop()
        lines = listener.lines()
    assert rc == 0
    assert [line["index"] for line in lines] == ([0, 1] if written else [1])
    if reason is None:
        assert "error" not in lines[0] and len(ack) == 2
    else:
        err_segment = ack.segment("ERR")
        assert reason in str(err_segment[8]) and str(err_segment[4]) == "E"
        assert (reason in lines[0]["error"]) if written else (reason in err)


@pytest.mark.parametrize("payload", [
    # a legacy character set declared in MSH-18
    "MSH|^~\\&|A|B|C|D|2024||ADT^A01|L1|P|2.5||||||8859/1\rPID|1||1||M\xfcller^J\xf6rg\r".encode("latin-1"),
    # delimiters of its own
    b"MSH#*!@%#A#B#C#D#2024##ADT*A01#D1#P#2.5\rPID#1##1*2!3##Doe*John\r",
])
def test_messages_are_read_as_to_json_reads_them(tmp_path, payload):
    with listening(tmp_path) as listener:
        with listener.client() as client:
            assert msa(ack_of(client.send_message(payload)))[0] == "AA"
        listener.stop()
        lines = listener.lines()
    expected = jsonl(run("to-json", input=payload, check_status=0).stdout)
    assert [line["records"] for line in lines] == [item["records"] for item in expected]


def test_frames_split_joined_or_wrapped_in_noise(tmp_path):
    with listening(tmp_path) as listener:
        with socket.create_connection(("127.0.0.1", listener.port), timeout=10) as sock:
            data = b"noise\r\n" + frame(message("A")) + frame(message("B")) + b"??" + frame(message("C"))
            for i in range(0, len(data), 7):  # a frame over many reads
                sock.sendall(data[i:i + 7])
                time.sleep(0.001)
            got = b""
            while got.count(EB) < 3:
                chunk = sock.recv(65536)
                assert chunk
                got += chunk
        acks = [hl7.parse(part.strip(SB + CR).decode()) for part in got.split(EB)[:3]]
        assert [msa(a) for a in acks] == [("AA", "A"), ("AA", "B"), ("AA", "C")]
        rc, err = listener.stop()
    assert rc == 0 and "skipped 9 bytes outside frames" in err


def test_a_connection_cut_mid_frame_loses_nothing_acknowledged_and_writes_nothing_else(tmp_path):
    with listening(tmp_path) as listener:
        with socket.create_connection(("127.0.0.1", listener.port), timeout=10) as sock:
            for i in range(3):
                sock.sendall(frame(message(f"OK{i}")))
                assert msa(ack_of(sock.recv(65536))) == ("AA", f"OK{i}")
            sock.sendall(frame(message("CUT"))[:-30])
        rc, err = listener.stop()
        lines = listener.lines()
    assert rc == 0 and "connection ended inside a message" in err
    assert [line["records"][0]["9"] for line in lines] == ["OK0", "OK1", "OK2"]


def test_sigterm_under_load_leaves_a_whole_output(tmp_path):
    acked = []
    stop = threading.Event()

    def client(n, port):
        with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
            for i in range(100000):
                if stop.is_set():
                    return
                sock.sendall(frame(message(f"C{n}-{i}")))
                got = sock.recv(65536)
                if not got:
                    return
                acked.append(msa(ack_of(got))[1])

    with listening(tmp_path) as listener:
        threads = [threading.Thread(target=client, args=(n, listener.port)) for n in range(4)]
        for t in threads:
            t.start()
        time.sleep(1.0)
        rc, err = listener.stop()  # one SIGTERM: a second one ends the process at once
        stop.set()
        for t in threads:
            t.join(timeout=20)
        lines = listener.lines()  # every line whole JSON
    assert rc == 0, err
    written = [line["records"][0]["9"] for line in lines]
    assert len(written) == len(set(written)) > 0
    assert set(acked) <= set(written)
    assert f"{len(written)} messages ({len(written)} AA" in err


def test_sync_shares_fsyncs_between_connections_and_loses_nothing(tmp_path):
    def client(n, port, acked):
        with socket.create_connection(("127.0.0.1", port), timeout=20) as sock:
            for i in range(40):
                sock.sendall(frame(message(f"S{n}-{i}")))
                acked.append(msa(ack_of(sock.recv(65536))))

    acked = []
    with listening(tmp_path, "--sync") as listener:
        threads = [threading.Thread(target=client, args=(n, listener.port, acked)) for n in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=60)
        rc, err = listener.stop()
        lines = listener.lines()
    assert rc == 0, err
    assert sorted(acked) == sorted(("AA", f"S{n}-{i}") for n in range(4) for i in range(40))
    assert sorted(line["records"][0]["9"] for line in lines) == sorted(control_id for _, control_id in acked)


def test_an_output_that_cannot_be_written_gets_no_ack_and_stops_the_listener(tmp_path):
    proc = subprocess.Popen([str(COMMAND), "listen", "--bind", "127.0.0.1:0", "--output", "/dev/full"],
                            stderr=subprocess.PIPE, env=ENV)
    try:
        port = int(proc.stderr.readline().decode().rsplit(":", 1)[1])
        with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
            sock.sendall(frame(message()))
            assert sock.recv(65536) == b""
        assert proc.wait(timeout=20) == 1
        assert "cannot write output" in proc.stderr.read().decode()
    finally:
        proc.kill()
        proc.wait()


def test_limits_refuse_and_disconnect_politely(tmp_path):
    with listening(tmp_path, "--max-connections", "1", "--idle-timeout", "0.5") as listener:
        with socket.create_connection(("127.0.0.1", listener.port), timeout=10) as first:
            first.sendall(frame(message("X")))
            assert msa(ack_of(first.recv(65536))) == ("AA", "X")
            first.sendall(SB + b"MSH|")  # a message under way: not idle
            time.sleep(0.2)
            with socket.create_connection(("127.0.0.1", listener.port), timeout=10) as second:
                assert second.recv(65536) == b""  # refused at once
            first.sendall(message("Y").encode()[4:] + EB + CR)
            assert msa(ack_of(first.recv(65536))) == ("AA", "Y")
            # idle now: closed to admit the next one, which is served
            with socket.create_connection(("127.0.0.1", listener.port), timeout=10) as third:
                assert first.recv(65536) == b""
                third.sendall(frame(message("Z")))
                assert msa(ack_of(third.recv(65536))) == ("AA", "Z")
                assert third.recv(65536) == b""  # then closed when idle
        rc, err = listener.stop()
    assert rc == 0 and "refused: already 1 connections, none idle" in err
    assert "closed to admit" in err and "without a message" in err


@pytest.mark.parametrize("args, text", [
    (["--bind", "127.0.0.1"], "is not HOST:PORT"),
    (["--bind", "127.0.0.1:99999"], "is not a port number"),
    (["--rules", "loose"], "standard, seed or none"),
    (["--sync", "--output", "-"], "--sync needs the output to be a file"),
    (["somefile"], "listen takes no PATH"),
    (["--log-format", "xml"], "text or json"),
    (["--allow", "300.1.1.1"], "is not an address or ADDRESS/BITS"),
    (["--allow", "10.0.0.0/33"], "no prefix length from 0 to 32"),
    (["--metrics", "9100"], "is not HOST:PORT"),
    (["--tls-key", "key.pem"], "TLS needs both --tls-cert and --tls-key"),
])
def test_listen_usage_errors(args, text):
    done = run("listen", *args, check_status=None)
    assert done.returncode == 2 and text in done.stderr.decode()


# -------------------------------------------------------------------- send

@contextmanager
def hl7_server(answer):
    """python-hl7's asyncio MLLP server in a thread; answer(message) gives the
    ACK code for each, or None to stay silent.  Yields (port, received)."""
    received = []
    loop = asyncio.new_event_loop()
    started = threading.Event()
    state = {}

    async def handle(reader, writer):
        try:
            while not writer.is_closing():
                block = (await reader.readblock()).decode()
                received.append(block)
                msg = hl7.parse(block)
                code = answer(msg)
                if code is not None:
                    writer.writemessage(msg.create_ack(ack_code=code))
                    await writer.drain()
        except asyncio.IncompleteReadError:
            writer.close()

    async def main():
        server = await hl7.mllp.start_hl7_server(handle, "127.0.0.1", 0, encoding="utf-8")
        state["port"] = server.sockets[0].getsockname()[1]
        state["server"] = server
        started.set()
        try:
            async with server:
                await server.serve_forever()
        except asyncio.CancelledError:
            pass

    thread = threading.Thread(target=lambda: loop.run_until_complete(main()), daemon=True)
    thread.start()
    assert started.wait(10)
    try:
        yield state["port"], received
    finally:
        loop.call_soon_threadsafe(state["server"].close)
        thread.join(timeout=10)


def send(port, *args, timeout=60):
    return subprocess.run([str(COMMAND), "send", f"127.0.0.1:{port}", *map(str, args)], capture_output=True,
                          timeout=timeout, env=ENV)


def test_send_delivers_every_corpus_message_to_python_hl7(tmp_path):
    with hl7_server(lambda msg: "AA") as (port, received):
        done = send(port, CORPUS)
    assert done.returncode == 0, done.stderr.decode()
    expected = [wire(body) for path in CORPUS_FILES for kind, body in reference_parts(path.read_bytes())
                if kind == "message"]
    assert received == expected


def test_send_reports_each_message_not_accepted(tmp_path):
    path = tmp_path / "three.hl7"
    path.write_text(message("M0") + message("M1") + message("M2"))
    codes = {"M0": "AA", "M1": "AE", "M2": "AR"}
    with hl7_server(lambda msg: codes[str(msg.segment("MSH")[10])]) as (port, received):
        done = send(port, path)
    err = done.stderr.decode()
    assert done.returncode == 1 and len(received) == 3
    assert f"{path}: message 1: AE" in err and f"{path}: message 2: AR" in err and "message 0" not in err


def test_send_retries_a_silent_receiver_then_reports_no_answer(tmp_path):
    path = tmp_path / "one.hl7"
    path.write_text(message("Q"))
    with hl7_server(lambda msg: None) as (port, received):
        done = send(port, "--timeout", "0.3", "--retries", "2", path)
    assert done.returncode == 1 and len(received) == 3
    assert f"{path}: message 0: no answer within the timeout (3 attempts)" in done.stderr.decode()


def test_send_stops_on_sigterm_while_waiting_for_an_ack(tmp_path):
    path = tmp_path / "one.hl7"
    path.write_text(message("W"))
    with hl7_server(lambda msg: None) as (port, received):
        proc = subprocess.Popen([str(COMMAND), "send", f"127.0.0.1:{port}", str(path)], stderr=subprocess.PIPE,
                                env=ENV)
        deadline = time.monotonic() + 10
        while not received and time.monotonic() < deadline:
            time.sleep(0.05)
        proc.send_signal(signal.SIGTERM)
        try:
            rc = proc.wait(timeout=10)  # not the 30 s of --timeout
        finally:
            proc.kill()
        err = proc.stderr.read().decode()
    assert rc == 128 + signal.SIGTERM and "message 0: stopped before the answer came" in err


def test_send_stops_when_the_receiver_cannot_be_reached(tmp_path):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]  # bound, never listening: refused
        path = tmp_path / "two.hl7"
        path.write_text(message("A") + message("B"))
        done = send(port, "--retries", "1", path)
    err = done.stderr.decode()
    assert done.returncode == 1 and "message 0: cannot connect" in err and "message 1" not in err


def test_send_and_listen_together(tmp_path):
    with listening(tmp_path) as listener:
        done = send(listener.port, CORPUS_FILES[0])
        rc, _ = listener.stop()
        lines = listener.lines()
    assert done.returncode == 0 and rc == 0
    expected = [i["records"] for i in jsonl(run("to-json", CORPUS_FILES[0]).stdout) if "records" in i]
    assert [line["records"] for line in lines] == expected


def feed_send(port, writes, *args, timeout=60):
    """segmorph send reading standard input, fed by `writes` (bytes, or
    functions to call in between) while it runs.  Returns (returncode,
    stderr, its peak resident kilobytes before its input ended)."""
    proc = subprocess.Popen([str(COMMAND), "send", *map(str, args), f"127.0.0.1:{port}", "-"], stdin=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=ENV)
    peak = []

    def write():
        try:
            for item in writes:
                if callable(item):
                    item()
                else:
                    proc.stdin.write(item)
                    proc.stdin.flush()
            with open(f"/proc/{proc.pid}/status") as status:
                peak.extend(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
        finally:
            proc.stdin.close()

    writer = threading.Thread(target=write, daemon=True)
    writer.start()
    timer = threading.Timer(timeout, proc.kill)  # bounded, whatever happens
    timer.start()
    try:
        err = proc.stderr.read().decode()
        proc.wait()
    finally:
        timer.cancel()
        proc.kill()
    writer.join(timeout=10)
    return proc.returncode, err, peak[0] if peak else None


def test_send_hands_on_a_message_from_a_pipe_once_the_next_begins():
    # The first message is longer than the second, so a reader waiting for
    # a round as long as what it carries would hold it until the pipe closed.
    first = message("LONG", *[f"OBX|{i}|ST|CODE||{'v' * 40}" for i in range(100)])

    def wait_for_first():
        deadline = time.monotonic() + 10
        while not received and time.monotonic() < deadline:
            time.sleep(0.05)
        seen.append(list(received))

    seen = []
    with hl7_server(lambda msg: "AA") as (port, received):
        rc, err, _ = feed_send(port, [first.encode(), lambda: time.sleep(0.3), message("NEXT").encode(),
                                      wait_for_first])
    assert rc == 0, err
    assert seen == [[first]]  # while the writer was still open
    assert received == [first, message("NEXT")]


def test_send_skips_a_message_without_end_in_bounded_memory():
    head = message("A").encode()
    endless = [MSH.format(id="LONG").encode() + b"\rOBX|1|ST|"] + [b"x" * 1024] * 128 * 1024  # 128 MB unbroken
    writes = [head, *endless, b"\r" + message("B").encode()]
    with hl7_server(lambda msg: "AA") as (port, received):
        rc, err, peak_kb = feed_send(port, writes, "--max-message-bytes", "64K")
    assert rc == 1
    assert err.count("longer than") == 1
    assert f"-: message 1: at byte {len(head)}: longer than 65536 bytes (--max-message-bytes); skipped" in err
    assert received == [message("A"), message("B")]
    if not SANITIZED:  # the sanitizers' own memory would hide the figure
        assert peak_kb < 64 * 1024  # a few rounds, not the message


@pytest.mark.parametrize("accept", [False, True])
def test_send_reports_a_capture_cut_inside_a_block(tmp_path, accept):
    path = tmp_path / "cut.mllp"
    path.write_bytes(frame(message("A")) + frame(message("B"))[:-2])
    with hl7_server(lambda msg: "AA") as (port, received):
        done = send(port, *(["--accept-truncated"] if accept else []), path)
    assert len(received) == 2  # sent either way
    cut = f"{path}: message 1: the input ends inside an MLLP block (no 0x1C)"
    assert (done.returncode, cut in done.stderr.decode()) == ((0, False) if accept else (1, True))


@contextmanager
def scripted_receiver(answers):
    """A receiver on a raw socket: for the n-th frame it reads, sends the
    frames answers(n, text) gives (any number, each an ACK text)."""
    server = socket.create_server(("127.0.0.1", 0))
    port = server.getsockname()[1]
    received = []

    def serve():
        conn, _ = server.accept()
        with conn:
            conn.settimeout(20)
            buffer = b""
            while True:
                try:
                    data = conn.recv(65536)
                except OSError:
                    return
                if not data:
                    return
                buffer += data
                while EB + CR in buffer:
                    block, buffer = buffer.split(EB + CR, 1)
                    text = block.lstrip(SB).decode()
                    received.append(text)
                    conn.sendall(b"".join(frame(a) for a in answers(len(received) - 1, text)))

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    try:
        yield port, received
    finally:
        server.close()
        thread.join(timeout=10)


def ack(code, control_id):
    return f"MSH|^~\\&|R|R|S|S|20240101||ACK|A{control_id}|P|2.5\rMSA|{code}|{control_id}\r"


@pytest.mark.parametrize("with_ids", [True, False])
def test_send_pairs_acks_with_their_messages_and_reports_strays(tmp_path, with_ids):
    ids = ["M0", "M1", "M2"] if with_ids else ["", "", ""]
    path = tmp_path / "three.hl7"
    path.write_text("".join(message(i) for i in ids))
    codes = ["AA", "AR", "AA"]

    def answers(n, text):
        # message 0 gets its ACK twice; an ACK for a message never sent
        # comes before message 2's own
        out = [ack(codes[n], ids[n])]
        if n == 0:
            out.append(ack("AA", ids[0]))
        if n == 2 and with_ids:
            out.insert(0, ack("AA", "OTHER"))
        return out

    with scripted_receiver(answers) as (port, received):
        done = send(port, "--timeout", "5", path)
    err = done.stderr.decode()
    assert len(received) == 3
    assert done.returncode == 1, err  # message 1's AR is not masked by the doubled AA
    assert f"{path}: message 1: AR" in err and "message 0:" not in err and "message 2:" not in err
    assert err.count("answers no message sent was ignored") == (2 if with_ids else 1)


@pytest.mark.parametrize("target, status, lines", [
    ("127.0.0.1", 2, ["segmorph: '127.0.0.1' is not HOST:PORT", "Try 'segmorph send --help'."]),
    ("no-such-host.invalid:2575", 1, ["segmorph: cannot resolve 'no-such-host.invalid': "]),
])
def test_send_target_errors_are_plain_lines(tmp_path, target, status, lines):
    path = tmp_path / "one.hl7"
    path.write_text(message("Q"))
    done = subprocess.run([str(COMMAND), "send", target, str(path)], capture_output=True, timeout=60, env=ENV)
    err = done.stderr.decode().splitlines()
    assert done.returncode == status and "<0A>" not in done.stderr.decode()
    assert [e[:len(line)] for e, line in zip(err, lines)] == lines
