"""Headers as real senders write them: encoding characters left out, and
escapes that name a message's own declared delimiters.  Each reading is
checked against python-hl7's reading of the same message where the two
readers agree on what the sender meant."""

import json
import subprocess

import hl7
import pyarrow as pa
import pytest

import segmorph_batch as sb
from conftest import COMMAND, ENV

TAIL = "APP|FAC|RAPP|RFAC|20240101||ADT^A01|7|P|2.5"
BODY = "PID|1||123^^^H~456&x&y||Doe^John"


def run(*args, input=b""):
    return subprocess.run([str(COMMAND), *map(str, args)], input=input, capture_output=True, timeout=60, env=ENV)


def converted(text):
    done = run("to-json", input=text.encode())
    assert done.returncode == 0, done.stderr
    return [json.loads(line)["records"] for line in done.stdout.decode().splitlines()]


def standard_records(header_fields):
    """The records of the same message with the usual header, MSH-2 as given."""
    (records,) = converted(f"MSH|^~\\&|{TAIL}\r{BODY}")
    records[0]["1"] = header_fields
    return records


@pytest.mark.parametrize("header", [
    "MSH|^~&|",      # the escape character left out: the commonest
    "MSH|^\\&|",     # the repetition character left out
    "MSH|^~\\|",     # the subcomponent character left out
    "MSH|~\\&|",     # the component character left out
    "MSH|^~|",
    "MSH||",
])
def test_short_usual_encoding_characters_read_with_the_usual_delimiters(header):
    assert converted(header + TAIL + "\r" + BODY) == [standard_records(header[4:-1])]
    # The standard rules still call the header a defect; conversion with
    # them fails for it, and only then.
    verdict = run("validate", input=(header + TAIL).encode()).stdout.decode()
    assert "MSH-2 (encoding characters)" in verdict
    assert run("to-json", "--validate", input=(header + TAIL).encode()).returncode == 1


def test_python_hl7_reads_the_commonest_short_header_alike():
    text = f"MSH|^~&|{TAIL}\r{BODY}"
    pid = hl7.parse(text).segment("PID")
    (records,) = converted(text)
    assert [str(pid[3][0][0]), str(pid[3][0][3]), str(pid[3][1]), str(pid[5][0][1])] == \
        [records[1]["3[0].1"], records[1]["3[0].4"], records[1]["3[1]"], records[1]["5.2"]]


def test_envelope_headers_with_short_characters_are_read():
    text = f"FHS|^~&|F\rBHS|^~&|B\rMSH|^~&|{TAIL}\r{BODY}\rBTS|1\rFTS|1\r"
    done = run("to-json", input=text.encode())
    assert done.returncode == 0, done.stderr
    items = [json.loads(line) for line in done.stdout.decode().splitlines()]
    assert [item["envelope"]["1"] for item in items if "envelope" in item] == ["^~&", "^~&", "1", "1"]
    assert [item["records"] for item in items if "records" in item] == [standard_records("^~&")]


@pytest.mark.parametrize("header, body, meant", [
    # Declared characters by position; a role left out takes its usual
    # character when it is free.
    ("MSH#!@#", "PID#1#a!b@c\\F\\d", {"2[0].1": "a", "2[0].2": "b", "2[1]": "c#d"}),
    ("MSH#!@$#", "PID#1#a$S$b", {"2": "a!b"}),
    # A usual short set under a declared field separator.
    ("MSH*^~&*", "PID*1*a|b\\F\\c", {"2": "a|b*c"}),
])
def test_short_declared_headers_read_by_position(header, body, meant):
    (records,) = converted(header + TAIL.replace("|", header[3]) + "\r" + body)
    assert {k: v for k, v in records[1].items() if k.startswith("2")} == meant


# ----------------------------------------------- escapes under declared ones

DECLARED = [
    # header, field separator's escape, the data the escapes stand for
    ("MSH*^~\\&*", "a\\F\\b", "a*b"),
    ("MSH#!@$%#", "1$F$2$S$3$R$4$E$5$T$6", "1#2!3@4$5%6"),
    ("MSH|~^\\&|", "a\\S\\b\\R\\c", "a~b^c"),
    # Other escapes keep their meaning, as in a message with the usual ones.
    ("MSH#!@$%#", "$X41$ $H$x$N$", "\\X41\\ \\H\\x\\N\\"),
]


@pytest.mark.parametrize("header, value, meant", DECLARED)
def test_escapes_name_the_messages_own_delimiters(header, value, meant):
    sep = header[3]
    text = header + TAIL.replace("|", sep).replace("^", header[4]) + "\r" + f"NTE{sep}1{sep}{sep}{value}"
    (records,) = converted(text)
    assert records[1]["3"] == meant
    # The same records come out of the batch reader, whose steps are the
    # command's.
    (row,) = pa.table(sb.to_arrow(text.encode())).to_pylist()
    assert dict(row["segments"][1]) == records[1]


@pytest.mark.parametrize("header, value, meant", DECLARED[:3])
def test_python_hl7_unescapes_declared_escapes_alike(header, value, meant):
    sep = header[3]
    message = hl7.parse(header + "A\r" + f"NTE{sep}1{sep}{sep}{value}")
    assert message.unescape(str(message.segment("NTE")[3])) == meant


def test_declared_escapes_come_back_as_the_usual_message():
    text = "MSH*^~\\&*" + TAIL.replace("|", "*") + "\rNTE*1**a\\F\\b|c"
    back = run("to-hl7", input=run("to-json", input=text.encode()).stdout)
    assert back.returncode == 0
    assert back.stdout.decode().split("\r")[1] == "NTE|1||a*b\\F\\c"


# ------------------------------------------------------- acknowledgements

@pytest.mark.parametrize("type_, verdict", [
    ("ACK", "ok"),
    ("ACK^", "ok"),
    ("ACK^A01", "ok"),
    ("ADT", "MSH-9 (message type) \"ADT\" must have at least 2 components"),
    ("ADT^", "MSH-9.2 (trigger event) is empty"),
    ("^A01", "MSH-9.1 (message code) is empty"),
])
def test_a_general_acknowledgement_needs_no_trigger_event(type_, verdict):
    text = f"MSH|^~\\&|A|B|C|D|20240101||{type_}|1|P|2.5\rMSA|AA|1"
    out = run("validate", input=text.encode()).stdout.decode()
    assert out.startswith("-:0: ok" if verdict == "ok" else "-:0: HL7 validation failed: segment 1 (MSH): " + verdict)
