"""Untidy real feeds through the segmorph command: declared delimiters,
legacy character sets, control bytes, stray 0x0B lines and directories
holding more than messages, each with the answer a user must get."""

import json
import os
import subprocess

import pytest

from segmorph import Hl7Json
from test_cli import COMMAND, ENV

HEADER = "MSH|^~\\&|APP|FAC|RAPP|RFAC|20240101||ADT^A01^ADT_A01|1|P|2.5|2.5"
# The same header declaring "#" fields, "!" components, "@" repetitions,
# "$" escapes and "%" subcomponents.
DECLARED = "MSH#!@$%#APP#FAC#RAPP#RFAC#20240101##ADT!A01!ADT_A01#1#P#2.5#2.5"


def run(*args, input=b""):
    return subprocess.run([str(COMMAND), *map(str, args)], input=input, capture_output=True, timeout=60, env=ENV)


def records(done):
    return [item["records"] for item in map(json.loads, done.stdout.decode().splitlines()) if "records" in item]


def module_records(text):
    return Hl7Json(text).hl7_json


def latin1_header(charset):
    return f"{HEADER}|||||{charset}"  # MSH-18 after MSH-13 to MSH-17


# ------------------------------------------------------- to-json answers

# input, options, the records the user must get (as the module gives them
# for this standard text)
CONVERTED = [
    # Declared delimiters: "|^~\&" in the data are text, not cuts, and an
    # escape names the message's own delimiter ("$F$" is "#").
    ((DECLARED + "\rPID#1##123!!!H@456##Doe!John|x^y\\z~w&v$F$\r").encode(), [],
     f"{HEADER}\rPID|1||123^^^H~456||Doe^John\\F\\x\\S\\y\\E\\z\\R\\w\\T\\v#"),
    # The batch envelope declares them too; its trailers are cut by its "#".
    (("FHS#!@$%#A\rBHS#!@$%#B\r" + DECLARED + "\rBTS#1\rFTS#1\r").encode(), [], HEADER),
    # Character sets: MSH-18 names the set of bytes that are not UTF-8.
    (f"{latin1_header('8859/1')}\rPID|1||x||M\xfcller".encode("latin-1"), [],
     f"{latin1_header('8859/1')}\rPID|1||x||Müller"),
    (f"{latin1_header('ISO IR100')}\rPID|1||x||Gr\xe5".encode("latin-1"), [],
     f"{latin1_header('ISO IR100')}\rPID|1||x||Grå"),
    (f"{HEADER}\rPID|1||x||M\xfcller".encode("latin-1"), ["--encoding", "latin-1"], f"{HEADER}\rPID|1||x||Müller"),
    (f"{HEADER}\rNTE|1||\x80 5".encode("latin-1"), ["--encoding", "cp1252"], f"{HEADER}\rNTE|1||€ 5"),
    (f"{HEADER}\rNTE|1||\x80 5".encode("latin-1"), ["--encoding", "latin-1"], f"{HEADER}\rNTE|1||\x80 5"),
    # Valid UTF-8 wins over a declaration of Latin-1 in auto mode.
    (f"{latin1_header('8859/1')}\rPID|1||x||Müller".encode(), [], f"{latin1_header('8859/1')}\rPID|1||x||Müller"),
    # Both at once: declared delimiters in a Latin-1 message.
    ((DECLARED + "#####8859/1\rPID#1##x##M\xfcller!J").encode("latin-1"), [],
     f"{HEADER}|||||8859/1\rPID|1||x||Müller^J"),
    # Lines of white space, 0x0B and form feeds are never records.
    (f"{HEADER}\r\x0b\r\x0c\rPID|1\r \x0b\t\r".encode(), [], f"{HEADER}\rPID|1"),
]


@pytest.mark.parametrize("data, options, standard_text", CONVERTED)
def test_untidy_messages_convert_to_the_records_of_their_standard_form(data, options, standard_text):
    done = run("to-json", *options, input=data)
    assert done.returncode == 0, done.stderr
    assert records(done) == [module_records(standard_text)]


def test_each_declaring_header_starts_a_message():
    done = run("to-json", input=(DECLARED + "\rPID#1\n" + DECLARED + "\rPID#2\r").encode())
    assert [r[1] for r in records(done)] == [{"1": "1", "segment_name": "PID"}, {"1": "2", "segment_name": "PID"}]


def test_declared_delimiters_pass_both_rule_sets_and_come_back_standard(tmp_path):
    message = (DECLARED + "\rEVN#A01\rPID#1##123!!!H##Doe!John\r").encode()
    for rules in ["standard", "seed"]:
        assert run("validate", "--rules", rules, input=message).stdout == b"-:0: ok\n"
    back = run("to-hl7", input=run("to-json", input=message).stdout)
    assert back.stdout.decode().split("\r")[:3] == [HEADER, "EVN|A01", "PID|1||123^^^H||Doe^John"]


# input, options, the error the user must get (on standard error for
# to-json, after "-:0: " for validate)
REFUSED = [
    (f"{HEADER}\rPID|1||x||M\xfcller".encode("latin-1"), [],
     "HL7 encoding error: byte 0xFC at offset {at} is not UTF-8 and MSH-18 declares no character set; say which "
     "character set the feed is in with --encoding latin-1, cp1252 or utf-8"),
    (f"{latin1_header('UNICODE UTF-8')}\rPID|1||x||M\xfcller".encode("latin-1"), [],
     "HL7 encoding error: byte 0xFC at offset {at} is not UTF-8, which MSH-18 declares; say which"),
    (f"{latin1_header('ASCII')}\rPID|1||x||M\xfcller".encode("latin-1"), [],
     "HL7 encoding error: byte 0xFC at offset {at} is not ASCII, which MSH-18 declares"),
    (f"{latin1_header('KOI8')}\rPID|1||x||M\xfcller".encode("latin-1"), [],
     "HL7 encoding error: byte 0xFC at offset {at} is not UTF-8 and MSH-18 declares KOI8, which is not read here"),
    (f"{HEADER}\rPID|1||x||M\xfcller".encode("latin-1"), ["--encoding", "utf-8"],
     "HL7 encoding error: byte 0xFC at offset {at} is not UTF-8 (--encoding utf-8)"),
    (f"{HEADER}\rNTE|1||\x81".encode("latin-1"), ["--encoding", "cp1252"],
     "HL7 encoding error: byte 0x81 at offset {at} is not a Windows-1252 character"),
    (b"MSH\rPID#1", [], "HL7 invalid format: the header MSH is too short to declare its delimiters"),
    (b"MSH#!@!%#A", [], "HL7 invalid format: the header MSH declares \"!\" as two different delimiters"),
]


@pytest.mark.parametrize("data, options, error", REFUSED)
def test_messages_that_cannot_be_read_are_refused_with_the_reason(data, options, error):
    error = error.replace("{at}", str(max(data.find(b"\xfc"), data.find(b"\x81"))))
    done = run("to-json", *options, input=data)
    assert done.returncode == 1 and done.stdout == b""
    assert done.stderr.decode().startswith(f"segmorph: -: message 0: {error}")
    checked = run("validate", *options, input=data)
    assert checked.returncode == 1 and checked.stdout.decode().startswith(f"-:0: {error}")


# ------------------------------------------------------------- safe texts

def test_control_bytes_in_error_texts_are_shown_not_sent():
    data = f"{HEADER}\r{{}}|1\rPID|1".format("\x1b[31mP\x0bV\x85").encode()
    for args, stream in [(["validate", "--rules", "seed"], "stdout"),
                         (["to-json", "--validate", "--rules", "seed"], "stderr")]:
        text = getattr(run(*args, input=data), stream).decode()
        assert "<1B>[31mP<0B>V<C2><85>" in text
        assert not any(ord(c) < 0x20 and c not in "\t\n" or 0x7F <= ord(c) < 0xA0 for c in text)
    assert run("to-json", "--x\x1b[31m").stderr.startswith(b"segmorph: unknown option '--x<1B>[31m'")


def test_file_names_with_control_bytes_are_shown_safely(tmp_path):
    name = tmp_path / "evil\x1b]0;title\x07.hl7"
    name.write_bytes(b"PID|1\r" + f"{HEADER}\rPV1|1".encode())
    done = run("validate", "--rules", "seed", name)
    assert b"\x1b" not in done.stdout and b"evil<1B>]0;title<07>.hl7:0: " in done.stdout


# ----------------------------------------------------------- choosing files

def make_feed_dir(root):
    (root / "sub").mkdir()
    (root / "capture.mllp").write_bytes(f"\x0b{HEADER}\rPID|1\r\x1c\r".encode())
    (root / "feed.msg").write_bytes(f"\ufeff \n{HEADER}\rPID|2\r".encode())
    (root / "sub" / "batch.dat").write_bytes(f"FHS|^~\\&\r{HEADER}\rFTS|1\r".encode())
    (root / "README.txt").write_text("Feeds of the lab\n")
    (root / "empty.hl7").write_bytes(b"")
    (root / ".hidden.hl7").write_text(HEADER)
    (root / ".cache").mkdir()
    (root / ".cache" / "old.hl7").write_text(HEADER)


def sources(done, root):
    return [os.path.relpath(json.loads(line)["source"], root) for line in done.stdout.decode().splitlines()
            if "records" in json.loads(line)]


@pytest.mark.parametrize("options, taken, summary", [
    ([], ["capture.mllp", "feed.msg", "sub/batch.dat"], ["segmorph: 2 files skipped: not HL7"]),
    (["--hidden"], [".cache/old.hl7", ".hidden.hl7", "capture.mllp", "feed.msg", "sub/batch.dat"],
     ["segmorph: 2 files skipped: not HL7"]),
    (["-q"], ["capture.mllp", "feed.msg", "sub/batch.dat"], []),
    (["--glob", "*.msg", "--glob", "sub/*"], ["feed.msg", "sub/batch.dat"], []),
])
def test_directories_take_hl7_files_by_content_and_count_the_rest(tmp_path, options, taken, summary):
    make_feed_dir(tmp_path)
    done = run("to-json", *options, tmp_path)
    assert done.returncode == 0
    assert sources(done, tmp_path) == taken
    assert done.stderr.decode().splitlines() == summary


def test_verbose_names_every_file_left_out(tmp_path):
    make_feed_dir(tmp_path)
    lines = run("to-json", "-v", tmp_path).stderr.decode().splitlines()
    assert lines == [f"segmorph: skipped {tmp_path}/README.txt: not HL7",
                     f"segmorph: skipped {tmp_path}/empty.hl7: not HL7",
                     f"segmorph: skipped {tmp_path}/.cache: hidden (--hidden reads it)",
                     f"segmorph: skipped {tmp_path}/.hidden.hl7: hidden (--hidden reads it)",
                     "segmorph: 2 files skipped: not HL7"]


def test_a_directory_with_nothing_to_convert_says_so(tmp_path):
    (tmp_path / "notes.txt").write_text("nothing here")
    done = run("to-json", tmp_path)
    assert done.returncode == 1
    assert done.stderr.decode().splitlines() == ["segmorph: 1 file skipped: not HL7",
                                                 "segmorph: no HL7 file found to convert"]
    assert run("to-hl7", tmp_path).stderr.decode().splitlines()[-1] == "segmorph: no JSON file found to convert"


def test_to_hl7_takes_json_files_by_content(tmp_path):
    (tmp_path / "out.data").write_text(run("to-json", input=HEADER.encode()).stdout.decode())
    (tmp_path / "list").write_text(json.dumps([{"segment_name": "MSH", "1": "^~\\&", "2": "B"}]))
    (tmp_path / "notes.txt").write_text("MSH|^~\\&")
    done = run("to-hl7", tmp_path)
    assert done.returncode == 0
    assert done.stdout.decode().split("\r")[:-1] == ["MSH|^~\\&|B", HEADER]
    assert done.stderr == b"segmorph: 1 file skipped: not JSON\n"


def test_links_and_fifos_in_a_directory_are_reported_as_unreadable(tmp_path):
    (tmp_path / "good.hl7").write_text(HEADER)
    (tmp_path / "dangling.hl7").symlink_to(tmp_path / "nowhere")
    (tmp_path / "loop.hl7").symlink_to(tmp_path / "loop.hl7")
    (tmp_path / "up").symlink_to(tmp_path)
    os.mkfifo(tmp_path / "pipe.hl7")
    done = run("to-json", tmp_path)  # a FIFO opened would wait for a writer
    assert done.returncode == 1
    assert sources(done, tmp_path) == ["good.hl7"]
    assert done.stderr.decode().splitlines() == [
        f"segmorph: {tmp_path}/dangling.hl7: skipped: a link that leads nowhere",
        f"segmorph: {tmp_path}/loop.hl7: skipped: a link that loops",
        f"segmorph: {tmp_path}/pipe.hl7: skipped: a FIFO, not a file",
        "segmorph: 3 files skipped: could not be read",
        "segmorph: 1 file skipped: a link to a directory, not followed",
        "segmorph: 3 failures, 1 message read",
    ]


# ---------------------------------------------------------- the command line

def test_fail_fast_counts_what_it_read():
    text = f"{HEADER}\rPID|1\r{HEADER}\rPV1|1\r{HEADER}\rPID|1".encode()
    done = run("to-json", "--validate", "--rules", "seed", "--fail-fast", input=text)
    assert done.stderr.decode().splitlines()[-1] == "segmorph: 1 failure, 2 messages read"


@pytest.mark.parametrize("args, status, stdout_start", [
    (["to-json", "-qj2", "-"], 0, b'{"source"'),
    (["validate", "-vqj", "2", "-"], 0, b"-:0: ok"),
    (["to-json", "-", "--version"], 0, b"segmorph "),
    (["-q", "--version"], 0, b"segmorph "),
    (["validate", "-", "-h"], 0, b"usage: segmorph validate"),
    (["--help", "to-json"], 0, b"usage: segmorph <command>"),
    (["to-json", "-qx"], 2, b""),
])
def test_options_work_in_any_position_and_short_ones_combine(args, status, stdout_start):
    done = run(*args, input=HEADER.encode())
    assert done.returncode == status, done.stderr
    assert done.stdout.startswith(stdout_start)


def test_fields_have_no_length_limit_unless_asked():
    document = "^AP^PDF^Base64^" + "QUJD" * 18000  # 72 KB, as embedded PDFs come
    text = f"{HEADER}\rPID|1\rOBX|1|ED|||{document}".encode()
    assert run("validate", input=text).stdout == b"-:0: ok\n"
    limited = run("validate", "--max-field-bytes", "65536", input=text)
    assert limited.stdout.decode() == (f"-:0: HL7 validation failed: segment 3 (OBX): OBX-5 is {len(document)} bytes"
                                       " long, over the limit of 65536\n")
    assert b"exceeds maximum length" in run("validate", "--rules", "seed", input=text).stdout
