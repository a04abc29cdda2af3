"""The segmorph command, run as a subprocess the way a shell user runs it."""

import json
import os
import pty
import re
import select
import subprocess
from pathlib import Path

import pytest

from conftest import COMMAND, ENV
from segmorph import Hl7Json, JsonHl7

CORPUS = Path(__file__).parent / "fixtures" / "corpus"
CORPUS_FILES = sorted(CORPUS.rglob("*.hl7"))

HEADER = "MSH|^~\\&|APP|FAC|RAPP|RFAC|20240101||ADT^A01^ADT_A01|1|P|2.5|2.5"
PID = "PID|1||123^^^HOSP^MR||Doe^John"


def run(*args, input=b"", check_status=None):
    done = subprocess.run([str(COMMAND), *map(str, args)], input=input, capture_output=True, timeout=120,
                          env=ENV)
    if check_status is not None:
        assert done.returncode == check_status, done.stderr.decode(errors="replace")
    return done


def jsonl(data):
    return [json.loads(line) for line in data.decode().splitlines()]


def reference_parts(data: bytes):
    """What the command should make of a file, framed independently here:
    ("message", text) and ("envelope", line) in order."""
    text = data.decode().removeprefix("\ufeff")
    lines = text.replace("\r\n", "\n").replace("\n\r", "\n").replace("\r", "\n").split("\n")
    parts, current = [], None
    for line in lines:
        name = re.match(r"(\ufeff)?([A-Za-z0-9]*)", line).group(2)
        if not line.strip(" \t"):
            if current is not None:
                current.append(line)
        elif name in ("FHS", "BHS", "BTS", "FTS"):
            current = None
            parts.append(("envelope", line))
        elif current is None or name == "MSH":
            current = [line.removeprefix("\ufeff")]
            parts.append(("message", current))
        else:
            current.append(line)
    out = []
    for kind, body in parts:
        if kind == "message":
            while not body[-1].strip(" \t"):
                body.pop()
            body = "\n".join(body)
        out.append((kind, body))
    return out


def test_command_is_installed_beside_the_interpreter():
    assert COMMAND.exists(), "pip install . must put the command into the scripts folder"
    assert run("--version", check_status=0).stdout.startswith(b"segmorph ")


# ------------------------------------------------ same answers as the module

@pytest.mark.parametrize("escaping", [True, False])
def test_every_corpus_message_gives_the_records_of_the_module(escaping):
    args = ["to-json", CORPUS] + ([] if escaping else ["--no-escaping"])
    items = jsonl(run(*args, check_status=0).stdout)
    got = {}
    for item in items:
        got.setdefault(item["source"], []).append(item)
    assert sorted(got) == [str(p) for p in CORPUS_FILES]
    for path in CORPUS_FILES:
        expected, index = [], 0
        for kind, text in reference_parts(path.read_bytes()):
            records = Hl7Json(text, escaping_enabled=escaping).hl7_json
            if kind == "message":
                expected.append({"source": str(path), "index": index, "records": records})
                index += 1
            else:
                expected.append({"source": str(path), "envelope": records[0]})
        assert got[str(path)] == expected, path


@pytest.mark.parametrize("unescaped", [False, True])
def test_every_corpus_message_assembles_to_the_text_of_the_module(tmp_path, unescaped):
    # (--escape full is hl7_string; the default, minimal, is tested in test_to_hl7.py.)
    messages = [Hl7Json(text).hl7_json for path in CORPUS_FILES
                for kind, text in reference_parts(path.read_bytes()) if kind == "message"]
    source = tmp_path / "all.jsonl"
    source.write_text("".join(json.dumps({"records": m}) + "\n" for m in messages), encoding="utf-8")
    args = ["to-hl7", source, "--segment-end", "lf", "--mllp"] + (["--unescaped"] if unescaped else ["--escape=full"])
    out = run(*args, check_status=0).stdout.decode()
    frames = out.split("\x1c\r")
    assert frames.pop() == ""
    assert len(frames) == len(messages)
    for frame, records in zip(frames, messages):
        made = JsonHl7(records)
        assert frame == "\x0b" + (made.hl7_string_unescaped if unescaped else made.hl7_string) + "\n"


def test_jobs_change_nothing_but_speed():
    one = run("to-json", CORPUS, "--jobs", "1", check_status=0).stdout
    assert run("to-json", CORPUS, "--jobs", "3", check_status=0).stdout == one
    assert run("validate", CORPUS, "-j", "2").stdout == run("validate", CORPUS).stdout


# ------------------------------------------------------------------ framing

FRAMING = [
    # input, expected items as ("message", first segment name) / ("envelope", name)
    (b"\xef\xbb\xbfMSH|^~\\&|A\r\nPID|1\r\n", [("m", "MSH")]),
    (b"MSH|^~\\&|A\nPID|1\n\nMSH|^~\\&|B\rPID|2\r", [("m", "MSH"), ("m", "MSH")]),
    (b"FHS|^~\\&\rBHS|^~\\&\rMSH|^~\\&|A\rMSH|^~\\&|B\rBTS|2\rFTS|1\r",
     [("e", "FHS"), ("e", "BHS"), ("m", "MSH"), ("m", "MSH"), ("e", "BTS"), ("e", "FTS")]),
    (b"\x0bMSH|^~\\&|A\rPID|1\r\x1c\r\x0bMSH|^~\\&|B\r\x1c\r", [("m", "MSH"), ("m", "MSH")]),
    (b"PID|1\rMSH|^~\\&|A", [("m", "PID"), ("m", "MSH")]),
]


@pytest.mark.parametrize("data, expected", FRAMING)
def test_files_are_cut_into_messages_and_envelope_segments(data, expected):
    items = jsonl(run("to-json", input=data, check_status=0).stdout)
    shape = [("m", i["records"][0]["segment_name"]) if "records" in i else ("e", i["envelope"]["segment_name"])
             for i in items]
    assert shape == expected
    assert [i["index"] for i in items if "records" in i] == list(range(len(items) - sum(s == "e" for s, _ in shape)))
    # No message carries a blank line from its framing, nor a CR.
    assert all(r["segment_name"] for i in items if "records" in i for r in i["records"])


def test_feeds_longer_than_a_read_round_convert_like_short_ones():
    # Input is read a few megabytes at a time; messages cut by a round's end
    # must come out whole, with their indices running on, in both directions.
    one = (CORPUS / "cdc-prime-reportstream" / "sample-batch-pdi-20210608-0001.hl7").read_bytes()
    copies = 12_000_000 // len(one) + 1
    single = run("to-json", "-", input=one, check_status=0).stdout.splitlines()
    feed = run("to-json", "-", input=one * copies, check_status=0).stdout
    items, expected = jsonl(feed), [json.loads(line) for line in single] * copies
    assert [i.pop("index", None) for i in items if "records" in i] == list(range(sum("records" in i for i in items)))
    assert items == [{k: v for k, v in i.items() if k != "index"} for i in expected]
    hl7 = run("to-hl7", "-", input=b"\n".join(single), check_status=0).stdout
    assert run("to-hl7", "-", input=feed, check_status=0).stdout == hl7 * copies


def test_a_live_mllp_stream_is_converted_as_it_arrives():
    # The first message must come out while the input is still open.
    proc = subprocess.Popen([str(COMMAND), "to-json"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=ENV)
    try:
        proc.stdin.write(f"\x0b{HEADER}\r{PID}\r\x1c\r".encode())
        proc.stdin.flush()
        ready, _, _ = select.select([proc.stdout], [], [], 30)
        assert ready, "no output before the input ended"
        assert json.loads(proc.stdout.readline())["index"] == 0
        proc.stdin.write(f"\x0b{HEADER}\r\x1c\r".encode())
        proc.stdin.close()
        assert json.loads(proc.stdout.read())["index"] == 1
    finally:
        proc.kill()
        proc.wait()


def test_directories_are_walked_for_hl7_files_by_content_in_name_order(tmp_path):
    (tmp_path / "b").mkdir()
    for name in ["b/z.hl7", "a.TXT", "b/a.hl7", "feed.msg"]:
        (tmp_path / name).write_text(HEADER)
    (tmp_path / "notes.md").write_text("# notes\n")
    (tmp_path / "c.json").write_text("{}")
    done = run("to-json", tmp_path, check_status=0)
    items = jsonl(done.stdout)
    assert [Path(i["source"]).relative_to(tmp_path).as_posix() for i in items] == [
        "a.TXT", "b/a.hl7", "b/z.hl7", "feed.msg"]
    assert done.stderr == b"segmorph: 2 files skipped: not HL7\n"


# ------------------------------------------------------------------- output

def test_json_text_escapes_what_json_requires_and_keeps_unicode():
    value = 'q"b\\s\x01\x1f\x7f\ttab é€𝄞 end'
    text = f"{HEADER}\rPID|{value}|x"
    out = run("to-json", "--no-escaping", input=text.encode(), check_status=0).stdout
    assert "é€𝄞".encode() in out  # UTF-8, not \u escapes
    assert json.loads(out)["records"] == Hl7Json(text, escaping_enabled=False).hl7_json


def test_format_json_is_one_array_that_to_hl7_reads_back(tmp_path):
    batch = CORPUS / "cdc-prime-reportstream" / "batch_message.hl7"
    out = run("to-json", "--format", "json", batch, check_status=0).stdout
    items = json.loads(out)
    assert [("envelope" in i) for i in items] == [True, True, False, False, True, True]
    assert all(line.endswith((b",", b"[", b"]", b"}")) for line in out.splitlines())
    back = tmp_path / "batch.json"
    back.write_bytes(out)
    hl7 = run("to-hl7", "--unescaped", back, check_status=0).stdout
    assert [line.split(b"|")[0] for line in hl7.split(b"\r")[:2]] == [b"FHS", b"BHS"]
    assert run("to-json", input=hl7, check_status=0).stdout == run("to-json", input=batch.read_bytes()).stdout
    assert json.loads(run("to-json", "--format=json", input=b"  \n", check_status=1).stdout) == []


@pytest.mark.parametrize("args, expected", [
    ([], b"MSH|A\rPID|1\r"),
    (["--segment-end", "crlf"], b"MSH|A\r\nPID|1\r\n"),
    (["--segment-end=lf", "--mllp"], b"\x0bMSH|A\nPID|1\n\x1c\r"),
])
def test_to_hl7_segment_ends_and_mllp(args, expected):
    records = json.dumps([{"1": "A", "segment_name": "MSH"}, {"1": "1", "segment_name": "PID"}])
    assert run("to-hl7", *args, input=records.encode(), check_status=0).stdout == expected


def test_validate_prints_a_verdict_per_message():
    text = f"{HEADER}\r{PID}\r{HEADER}\rPV1|1\r{PID}\r{HEADER.replace('|2.5|2.5', '|2.5|9.9')}\r{PID}"
    done = run("validate", "--rules", "seed", input=text.encode())
    assert done.returncode == 1
    assert done.stdout.decode().splitlines() == [
        "-:0: ok",
        "-:1: Invalid segment name: PV1 (must be exactly 3 alphabetic characters)",
        "-:2: ok",
    ]
    strict = run("validate", "--rules=seed", "--strict", input=text.encode()).stdout.decode().splitlines()
    assert strict[2] == ("-:2: HL7 version not supported: 9.9 "
                         "(supported versions: 2.1, 2.2, 2.3, 2.4, 2.5, 2.5.1, 2.6, 2.7, 2.8, 2.9)")


@pytest.mark.parametrize("strict", [[], ["--strict"]])
def test_every_sample_message_passes_the_standard_rules(strict):
    done = run("validate", CORPUS, *strict)
    verdicts = done.stdout.decode().splitlines()
    assert [v for v in verdicts if not v.endswith(": ok")] == []
    assert len(verdicts) == 201 and done.returncode == 0


STANDARD_FAILURES = [
    # message (segments joined by CR), strict, start of the error after "HL7 validation failed: "
    (f"PID|1\r{HEADER}", False, "segment 1 is \"PID\": the first segment must be MSH"),
    (HEADER.replace("^~\\&", "^~"), False, "segment 1 (MSH): MSH-2 (encoding characters) \"^~\" must be 4 or 5"),
    (HEADER.replace("ADT^A01^ADT_A01", "ADT"), False, "segment 1 (MSH): MSH-9 (message type) \"ADT\" must have"),
    ("MSH|^~\\&|APP|FAC|RAPP|RFAC|20240101||ADT^A01|1|P", False, "segment 1 (MSH): MSH-12 (version) is missing"),
    (HEADER.replace("|2.5|2.5", "|2.3.2"), True, "segment 1 (MSH): MSH-12 (version) \"2.3.2\" is not one of"),
    (f"{HEADER}\rPV1|1\rpid|1", False, "segment 3 has the name \"pid\""),
    (f"{HEADER}\rOBX|1|TX|||" + "x" * 65537, False, "segment 2 (OBX): OBX-5 is 65537 bytes long"),
]


@pytest.mark.parametrize("text, strict, error", STANDARD_FAILURES)
def test_standard_rules_report_the_first_failure(text, strict, error):
    args = ["--strict"] if strict else []
    if "bytes long" in error:  # fields have no limit unless one is given
        assert run("validate", input=text.encode()).stdout == b"-:0: ok\n"
        args = ["--max-field-bytes", "65536"]
    done = run("validate", *args, input=text.encode())
    assert done.returncode == 1
    assert done.stdout.decode().startswith("-:0: HL7 validation failed: " + error)
    if strict:  # a strict-only rule: the same message passes without --strict
        assert run("validate", input=text.encode()).stdout == b"-:0: ok\n"
    converted = run("to-json", "--validate", *args, input=text.encode())
    assert converted.returncode == 1 and 0 not in [m["index"] for m in jsonl(converted.stdout)]
    assert "HL7 validation failed: " + error in converted.stderr.decode()


def test_standard_rules_pass_what_the_seed_rules_refuse():
    text = f"{HEADER}\rPV1|1\rNK1|1\r{PID}\r"
    assert run("validate", input=text.encode()).returncode == 0
    assert run("validate", "--rules", "seed", input=text.encode()).returncode == 1
    assert run("validate", "--rules", "strict", input=text.encode()).returncode == 2


# -------------------------------------------------- bad input and exit codes

def test_failures_are_reported_and_the_rest_converted(tmp_path):
    good = tmp_path / "good.hl7"
    good.write_text(f"{HEADER}\r{PID}")
    mixed = tmp_path / "mixed.hl7"
    mixed.write_bytes(f"{HEADER}\r{PID}\r".encode() + b"MSH|^~\\&|\xff\r" + f"{HEADER}\rPV1|1\r{HEADER}".encode())
    done = run("to-json", "--validate", "--rules", "seed", mixed, tmp_path / "missing.hl7", good)
    assert done.returncode == 1
    assert [(i["source"], i["index"]) for i in jsonl(done.stdout)] == [(str(mixed), 0), (str(mixed), 3),
                                                                       (str(good), 0)]
    errors = done.stderr.decode().splitlines()
    assert errors[:3] == [
        f"segmorph: {mixed}: message 1: HL7 encoding error: byte 0xFF at offset 9 is not UTF-8 and MSH-18 declares"
        " no character set; say which character set the feed is in with --encoding latin-1, cp1252 or utf-8",
        f"segmorph: {mixed}: message 2: Invalid segment name: PV1 (must be exactly 3 alphabetic characters)",
        f"segmorph: {tmp_path / 'missing.hl7'}: I/O error: No such file or directory (os error 2)",
    ]


def test_fail_fast_stops_after_the_messages_before_the_first_failure():
    text = f"{HEADER}\r{PID}\r{HEADER}\rPV1|1\r{HEADER}\r{PID}"
    done = run("to-json", "--validate", "--rules", "seed", "--fail-fast", input=text.encode())
    assert done.returncode == 1
    assert [i["index"] for i in jsonl(done.stdout)] == [0]
    assert done.stderr.decode().startswith("segmorph: -: message 1: Invalid segment name: PV1")
    done = run("validate", "--rules", "seed", "--fail-fast", "-j", "2", input=text.encode())
    assert done.stdout.decode().splitlines() == [
        "-:0: ok", "-:1: Missing required segment: PID (Patient Identification)"]


def test_bad_json_lines_are_reported_by_line_and_the_rest_converted():
    lines = [json.dumps([{"segment_name": "MSH", "1": "A"}]), "{not json", '{"records": [{"1": 2}]}', "",
             json.dumps({"records": [{"segment_name": "PID"}]})]
    done = run("to-hl7", input="\n".join(lines).encode())
    assert done.returncode == 1
    assert done.stdout == b"MSH|A\rPID\r"
    errors = done.stderr.decode().splitlines()
    assert errors[0] == "segmorph: -: line 2, column 2: invalid JSON: expected a string for object key, found 'n'"
    assert errors[1] == 'segmorph: -: line 3, column 15: record 0 has the value of key "1" not a string but a number'


@pytest.mark.parametrize("line, expected", [
    # Members other than "records" and "envelope" are skipped, whatever they hold.
    ('{"source": {"records": 1}, "index": [1, {"a": [null]}], "records": [{"1": "a", "segment_name": "X"}]}',
     b"X|a\r"),
    ('{"records": [{"1": "a"}], "records": [{"1": "b", "1": "c", "segment_name": "Y"}]}', b"Y|c\r"),
    ('{"envelope": {"1": "2", "segment_name": "BTS"}}', b"BTS|2\r"),
    ('[{"segment_name": "Z"}, {}]', b"Z\r\r"),
    ('{"records": [], "envelope": {}}', "either"),
    ('{"records": {}}', '"records" must be an array, found an object'),
    ('{"envelope": {"1": 2}}', '"envelope" has the value of key "1" not a string but a number'),
    ('{"records": [{"1": "a"}, ["b"]]}', "record 1 must be an object, found an array"),
    ('{"records": [1]}', "record 0 must be an object, found a number"),
])
def test_json_lines_shapes(line, expected):
    done = run("to-hl7", input=line.encode())
    if isinstance(expected, bytes):
        assert (done.returncode, done.stdout, done.stderr) == (0, expected, b"")
    else:
        assert done.returncode == 1 and done.stdout == b""
        assert done.stderr.decode().startswith("segmorph: -: ") and expected in done.stderr.decode()


@pytest.mark.parametrize("document, expected", [
    ('[{"segment_name": 1}]', 'line 1, column 3: record 0 has the value of key "segment_name" not a string but a number'),
    ("[1]", "line 1, column 1: record 0 must be an object, found a number"),
    ('[{"1": "a"}] x', "line 1, column 14: invalid JSON: expected nothing but white space after the array, found 'x'"),
    ("\ufeff[]", "line 1, column 1: invalid JSON: a byte-order mark (U+FEFF) is not allowed before the JSON text"),
    ("[\n{", "line 2, column 2: invalid JSON: the text ends before the array is closed"),
])
def test_json_arrays_fail_in_the_commands_words(tmp_path, document, expected):
    path = tmp_path / "bad.json"
    path.write_text(document, encoding="utf-8")
    done = run("to-hl7", path)
    assert done.returncode == 1 and done.stdout == b""
    assert done.stderr.decode().splitlines()[0] == f"segmorph: {path}: {expected}"


@pytest.mark.parametrize("args", [
    [], ["frobnicate"], ["to-json", "--bogus"], ["to-json", "--jobs", "x"], ["to-json", "--format", "xml"],
    ["to-hl7", "--segment-end", "nl"], ["validate", "--no-escaping"], ["to-json", "--quiet=yes"],
])
def test_usage_errors_exit_2_and_name_the_problem(args):
    done = run(*args)
    assert done.returncode == 2
    assert done.stdout == b""
    assert done.stderr.startswith(b"segmorph: ") and b"--help" in done.stderr


@pytest.mark.parametrize("args", [["--help"], ["to-json", "--help"], ["to-hl7", "-h"], ["validate", "--help"]])
def test_help_goes_to_standard_output(args):
    done = run(*args, check_status=0)
    assert done.stdout.startswith(b"usage: segmorph") and done.stderr == b""


COMMANDS = ["to-json", "to-hl7", "validate", "listen", "send"]


def help_options(command):
    """The option names a subcommand's --help lists."""
    text = run(command, "--help", check_status=0).stdout.decode()
    names = re.findall(r"^ {2}(-\w), (--[\w-]+)|^ {6}(--[\w-]+)", text, re.M)
    return {name for match in names for name in match if name}


@pytest.mark.parametrize("command", COMMANDS)
def test_each_command_takes_exactly_the_options_its_help_lists(command):
    listed = help_options(command)
    everywhere = set().union(*(help_options(c) for c in COMMANDS))
    assert {"-h", "--help", "-V", "--version"} <= listed
    for name in sorted(everywhere):
        # The option, a value for it (or a PATH after a flag), then an
        # unknown option, so that nothing starts listening or reading.
        done = run(command, name, "1", "--bogus-option")
        unknown = f"unknown option '{name}' for {command}".encode()
        if name in listed:
            assert unknown not in done.stderr and done.returncode in (0, 2), (name, done.stderr)
        else:
            assert unknown in done.stderr and done.returncode == 2, name


@pytest.mark.parametrize("command, options", [
    ("send", ["--glob", "--hidden", "-v", "--verbose", "-q", "--fail-fast", "--max-message-bytes"]),
    ("listen", ["--version", "--encoding", "--max-field-bytes", "--rules", "--strict", "--max-connections"]),
    ("to-hl7", ["--escape", "--mllp", "-j", "--glob"]),
])
def test_help_shows_what_each_command_accepts(command, options):
    assert set(options) <= help_options(command)


@pytest.mark.parametrize("command", [None, *COMMANDS])
def test_help_lines_fit_a_terminal(command):
    text = run(*([command] if command else []), "--help", check_status=0).stdout.decode()
    assert all(len(line) <= 79 and line == line.rstrip() for line in text.splitlines())
    # One column for every option's help text.
    columns = {len(line) - len(line.lstrip()) for line in text.split("options:\n", 1)[1].splitlines()
               if line.startswith(" " * 6) and not line.lstrip().startswith("-")}
    assert len(columns) <= 1


@pytest.mark.parametrize("args, message", [
    (["to-json", "--format"], "option '--format' needs a value"),
    (["to-json", "--validate=yes"], "option '--validate' takes no value"),
    (["to-json", "-j"], "option '-j' needs a value"),
    (["to-json", "-qj", "many"], "invalid number of jobs 'many' (0 to 1024)"),
    (["send", "-j", "2", "127.0.0.1:1"], "unknown option '-j' for send"),
    (["listen", "--glob", "*.hl7"], "unknown option '--glob' for listen"),
    (["listen", "--rules", "loose"], "invalid rules 'loose' (standard, seed or none)"),
    (["validate", "--rules", "none"], "invalid rules 'none' (standard or seed)"),
    (["listen", "--max-message-bytes", "2G"], "invalid size '2G' (1 byte to 1G"),
    (["listen", "--max-message-bytes", "1M", "--max-field-bytes", "64Q"], "invalid size '64Q'"),
])
def test_option_errors_name_the_option(args, message):
    done = run(*args)
    assert done.returncode == 2 and message in done.stderr.decode()


def test_no_input_from_a_terminal_is_a_usage_error():
    leader, follower = pty.openpty()
    try:
        done = subprocess.run([str(COMMAND), "validate"], stdin=follower, capture_output=True, timeout=30,
                              env=ENV)
    finally:
        os.close(leader)
        os.close(follower)
    assert done.returncode == 2 and b"no input" in done.stderr


def test_quiet_success_on_a_pipe_writes_nothing_to_standard_error():
    # The glob takes the messages only, so no file is skipped.
    done = run("to-json", "--glob", "*.hl7", CORPUS, check_status=0)
    assert done.stderr == b""


# ------------------------------------------------------------ shipped examples

ROOT = Path(__file__).resolve().parent.parent


def run_in_root(*args):
    return subprocess.run([str(COMMAND), *args], capture_output=True, timeout=120, env=ENV, cwd=ROOT)


def test_the_shipped_record_file_is_what_to_json_writes_of_the_shipped_batch():
    done = run_in_root("to-json", "examples/batch.hl7")
    assert done.returncode == 0 and done.stdout == (ROOT / "examples" / "batch.jsonl").read_bytes()
    items = jsonl(done.stdout)
    assert [i["envelope"]["segment_name"] for i in items if "envelope" in i] == ["FHS", "BHS", "BTS", "FTS"]
    back = run_in_root("to-hl7", "--segment-end", "lf", "examples/batch.jsonl")
    assert back.returncode == 0 and back.stdout == (ROOT / "examples" / "batch.hl7").read_bytes()


def test_the_shipped_capture_is_an_mllp_stream_of_two_messages():
    data = (ROOT / "examples" / "capture.mllp").read_bytes()
    assert data.startswith(b"\x0b") and data.count(b"\x1c\r") == 2
    done = run_in_root("validate", "examples/capture.mllp")
    assert done.stdout == b"examples/capture.mllp:0: ok\nexamples/capture.mllp:1: ok\n"
