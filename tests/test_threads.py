"""Other threads run while a call blocks on a file or works long on its own
data, and a signal still reaches the interpreter while a file read blocks."""

import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from conftest import EVN, PID, Hl7Json, header, message

pytestmark = pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs FIFOs")

HL7 = "MSH|^~\\&|A\rPID|1||Doe^John"


def run_script(tmp_path, body, timeout=60):
    """Runs `body` in a fresh interpreter with `fifo` naming a new FIFO: a
    read that held the interpreter would hang it, and the timeout turns that
    into a failure instead of a hung test run."""
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    script = "import os, signal, sys, threading, time\nimport segmorph\n" + f"fifo = {str(fifo)!r}\n"
    script += textwrap.dedent(body)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.mark.parametrize(
    ("reader", "data", "check"),
    [
        ("segmorph.Hl7Json.from_file(fifo).hl7_json", HL7, "[r['segment_name'] for r in result] == ['MSH', 'PID']"),
        ("segmorph.JsonHl7.from_file(fifo).hl7_string", '[{"segment_name": "PID", "2": "x"}]', "result == 'PID||x'"),
    ],
)
def test_reader_thread_does_not_block_writer(tmp_path, reader, data, check):
    out = run_script(tmp_path, f"""
        box = []
        t = threading.Thread(target=lambda: box.append({reader}))
        t.start()
        time.sleep(0.2)  # the reader is now blocked opening the FIFO
        with open(fifo, "w") as w:  # this thread must still run to get here
            w.write({data[:10]!r})
            w.flush()
            time.sleep(0.1)  # the reader now waits in read()
            w.write({data[10:]!r})
        t.join()
        result = box[0]
        print({check})
    """)
    assert out.strip() == "True"


@pytest.mark.parametrize("cls", ["Hl7Json", "JsonHl7"])
def test_ctrl_c_stops_a_blocked_read(tmp_path, cls):
    out = run_script(tmp_path, f"""
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
        start = time.monotonic()
        try:
            segmorph.{cls}.from_file(fifo)
        except KeyboardInterrupt:
            print("interrupted", time.monotonic() - start < 5)
    """)
    assert out.strip() == "interrupted True"


def test_signal_handler_that_returns_lets_the_read_go_on(tmp_path):
    # The handler runs with the interpreter; as it raises nothing, the read
    # is taken up again and ends with what the writer sends.
    out = run_script(tmp_path, f"""
        seen = []
        signal.signal(signal.SIGUSR1, lambda *a: seen.append(1))

        def writer():
            time.sleep(0.5)
            with open(fifo, "w") as w:
                w.write({HL7!r})

        threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGUSR1)).start()
        threading.Thread(target=writer).start()
        obj = segmorph.Hl7Json.from_file(fifo)
        print(seen, obj.hl7_json[1]["segment_name"])
    """)
    assert out.strip() == "[1] PID"


def test_setter_meets_a_long_validation_running_detached():
    # Validation of a large message runs without the interpreter, holding
    # the object's shared access: a setter on another thread meanwhile is
    # refused at once, never waits and never changes the flag under it.
    obj = Hl7Json(message(header(), *[PID, EVN] * 40000))
    stop, runs = threading.Event(), []

    def validate():
        while not stop.is_set():
            try:
                runs.append(obj.validate(None, None))
            except RuntimeError as e:  # only where threads truly run at once
                runs.append(str(e))

    t = threading.Thread(target=validate)
    t.start()
    outcomes = set()
    deadline = time.monotonic() + 20
    try:
        while "refused" not in outcomes and time.monotonic() < deadline:
            try:
                obj.strict_validation = not obj.strict_validation
                outcomes.add("done")
            except RuntimeError as e:
                assert str(e) == "Already borrowed"
                outcomes.add("refused")
    finally:
        stop.set()
        t.join()
    assert "refused" in outcomes
    assert None in runs and set(runs) <= {None, "Already mutably borrowed"}
