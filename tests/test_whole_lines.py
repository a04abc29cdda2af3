"""Outputs of lines hold whole lines only: a write that fails (here a file
size limit, which fails write() with EFBIG as a full disk fails it with
ENOSPC) is taken back, and a file found ending inside a line is repaired
before anything is appended to it."""

import json
import resource
import signal
import socket
import subprocess

import pytest

from test_cli import COMMAND, CORPUS_FILES, ENV, jsonl, run
from test_listen import ack_of, frame, listening, message, msa


def limited(size):
    """A child whose files cannot grow past `size` bytes, and which is not
    killed by SIGXFSZ for trying (an ignored signal survives exec)."""
    def apply():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))
    return apply


def whole_lines(data):
    assert data == b"" or data.endswith(b"\n")
    return [json.loads(line) for line in data.splitlines()]


INPUT = max(CORPUS_FILES, key=lambda p: p.stat().st_size)


@pytest.mark.parametrize("mode", ["wb", "ab"])
@pytest.mark.parametrize("limit", [1000, 5000, 20000])
def test_to_json_onto_a_full_file_leaves_whole_lines(tmp_path, mode, limit):
    out = tmp_path / "out.jsonl"
    out.write_bytes(b'{"earlier":1}\n')
    with open(out, mode) as f:
        done = subprocess.run([str(COMMAND), "to-json", "-", INPUT], stdout=f, stderr=subprocess.PIPE,
                              preexec_fn=limited(limit), env=ENV,
                              input=b"".join(p.read_bytes() for p in CORPUS_FILES[:20]), timeout=60)
    assert done.returncode == 1
    assert b"cannot write output" in done.stderr
    data = out.read_bytes()
    assert len(data) <= limit
    lines = whole_lines(data)
    if mode == "ab":
        assert lines[0] == {"earlier": 1}


def test_to_json_appending_to_a_cut_line_moves_it_aside(tmp_path):
    out = tmp_path / "out.jsonl"
    out.write_bytes(b'{"a":1}\n{"b":')
    with open(out, "ab") as f:
        done = subprocess.run([str(COMMAND), "to-json", INPUT], stdout=f, stderr=subprocess.PIPE, env=ENV,
                              timeout=60)
    assert done.returncode == 0, done.stderr
    assert f"{out} ended inside a line: its last 5 bytes were moved to {out}.partial".encode() in done.stderr
    assert (tmp_path / "out.jsonl.partial").read_bytes() == b'{"b":\n'
    lines = whole_lines(out.read_bytes())
    assert lines[0] == {"a": 1} and lines[1:] == jsonl(run("to-json", INPUT, check_status=0).stdout)


def test_listen_on_a_full_disk_keeps_whole_lines_and_a_restart_appends_cleanly(tmp_path):
    out = tmp_path / "out.jsonl"
    proc = subprocess.Popen([str(COMMAND), "listen", "--bind", "127.0.0.1:0", "--output", str(out)],
                            stderr=subprocess.PIPE, env=ENV, preexec_fn=limited(3000))
    acked = []
    try:
        port = int(proc.stderr.readline().decode().rsplit(":", 1)[1])
        with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
            for i in range(100):
                sock.sendall(frame(message(f"F{i}", "NTE|1||" + "x" * (100 + 37 * i))))
                raw = sock.recv(65536)
                if not raw:
                    break
                acked.append(msa(ack_of(raw))[1])
        assert proc.wait(timeout=20) == 1
        assert "cannot write output" in proc.stderr.read().decode()
    finally:
        proc.kill()
        proc.wait()
    assert 0 < len(acked) < 100
    assert [line["records"][0]["9"] for line in whole_lines(out.read_bytes())] == acked

    # an earlier crash left a cut line: moved aside, then appended to cleanly
    with open(out, "ab") as f:
        f.write(b'{"source":"127.0.0.1:1","index":7,"rec')
    with listening(tmp_path) as listener:
        with listener.client() as client:
            assert msa(ack_of(client.send_message(message("AFTER")))) == ("AA", "AFTER")
        rc, err = listener.stop()
        before = listener.before
    assert rc == 0, err
    assert f"{out} ended inside a line: its last 38 bytes were moved to {out}.partial" in before
    assert (tmp_path / "out.jsonl.partial").read_bytes() == b'{"source":"127.0.0.1:1","index":7,"rec\n'
    ids = [line["records"][0]["9"] for line in whole_lines(out.read_bytes())]
    assert ids == acked + ["AFTER"]
