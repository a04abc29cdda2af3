"""Shared helpers for the segmorph test suite."""

import contextlib
import os
import sysconfig
from pathlib import Path

import pytest
from hypothesis import strategies as st

import segmorph

Hl7Json = segmorph.Hl7Json

# The command installed beside the interpreter, and the environment to run it
# in.  When the suite runs in an interpreter with a sanitizer runtime
# preloaded, that runtime must not reach the command: a sanitized build of
# it carries its own, and two runtimes in one process abort at start.
COMMAND = Path(sysconfig.get_path("scripts")) / "segmorph"
ENV = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
# True under that run, where memory figures of the command do not hold.
SANITIZED = bool(os.environ.get("LD_PRELOAD"))

# A header that passes every validation rule, strict or not.  Field 1 holds
# the encoding characters, field 8 the message type and field 12 the version
# that the validator reads.
HEADER_FIELDS = ["^~\\&", "APP", "FAC", "RAPP", "RFAC", "20240101120000", "", "ADT^A01^ADT_A01", "MSG00001", "P",
                 "2.5", "2.5"]


def header(count=12, **fields):
    """An MSH line with `count` fields; f<N>=text replaces field N."""
    values = dict(enumerate(HEADER_FIELDS, 1))
    values.update((int(name[1:]), text) for name, text in fields.items())
    return "|".join(["MSH"] + [values.get(n, "") for n in range(1, count + 1)])


PID = "PID|1||12345^^^HOSP^MR||Doe^John^^^Dr"


@st.composite
def messages_of(draw, line, max_lines):
    """Messages of 1 to `max_lines` lines drawn from `line`, joined by any of
    the line breaks segmorph reads."""
    lines = draw(st.lists(line, min_size=1, max_size=max_lines))
    text = lines[0]
    for more in lines[1:]:
        text += draw(st.sampled_from(["\n", "\r", "\r\n"])) + more
    return text
EVN = "EVN|A01|20240101120000"


def message(*lines, sep="\n"):
    """Joins segment lines; with no lines, a valid header plus PID and EVN."""
    return sep.join(lines or (header(), PID, EVN))


def plain_record(line):
    """The record of one segment line in plain mode, built from the rules of
    the record format; its items are in byte-wise key order."""
    name, *fields = line.split("|")
    record = {"segment_name": name}

    def single(key, text, exempt):
        if not exempt and "^" in text:
            for j, comp in enumerate(text.split("^"), 1):
                record[f"{key}.{j}"] = comp
        else:
            record[key] = text

    for n, text in enumerate(fields, 1):
        exempt = "^~\\&" in text
        if text and not exempt and "~" in text:
            for r, rep in enumerate(text.split("~")):
                single(f"{n}[{r}]", rep, False)
        else:
            single(str(n), text, exempt)
    return dict(sorted(record.items(), key=lambda kv: kv[0].encode()))


@contextlib.contextmanager
def raises_hl7(text):
    """Expects a library error: exactly Exception, carrying `text` alone."""
    with pytest.raises(Exception) as info:
        yield info
    assert type(info.value) is Exception, repr(info.value)
    assert info.value.args == (text,)


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: converts very large inputs")
