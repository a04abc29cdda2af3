"""How library errors reach Python: the built-in Exception itself, carrying
the error text as its only argument, never one of its subclasses."""

import errno
import os

import pytest

from conftest import PID, Hl7Json, header, message


def _from_file(tmp_path, data):
    (tmp_path / "m").write_bytes(data)
    return Hl7Json.from_file(str(tmp_path / "m"))


RAISERS = {
    "missing file": (lambda p: Hl7Json.from_file(str(p / "nope")),
                     f"I/O error: {os.strerror(errno.ENOENT)} (os error {errno.ENOENT})"),
    "nul in path": (lambda p: Hl7Json.from_file("a\0b"), "I/O error: file name contained an unexpected NUL byte"),
    "bad utf-8": (lambda p: _from_file(p, b"MSH|\xff"), "I/O error: stream did not contain valid UTF-8"),
    "blank file": (lambda p: _from_file(p, b" \r\n"), "HL7 message is empty"),
    "validate": (lambda p: Hl7Json(header()).validate(True, True),
                 "Missing required segment: PID (Patient Identification)"),
    "conversion": (lambda p: Hl7Json(header(f1="^~"), validation_enabled=True).hl7_json,
                   "Invalid field separators: ^~ (must be exactly 4 characters)"),
    "long field": (lambda p: Hl7Json(message(header(), PID, "ZZZ|" + "é" * 35000)).validate(False, True),
                   "Field value exceeds maximum length: 70000 > 65536 characters"),
}


@pytest.mark.parametrize("raiser,text", RAISERS.values(), ids=RAISERS.keys())
def test_raised_as_plain_exception(tmp_path, raiser, text):
    try:
        raiser(tmp_path)
    except (ValueError, OSError, LookupError, RuntimeError, TypeError) as wrong:
        pytest.fail(f"caught by a specific handler: {wrong!r}")
    except Exception as caught:
        assert type(caught) is Exception
        assert caught.args == (text,) and str(caught) == text
        assert caught.__cause__ is None and caught.__context__ is None
    else:
        pytest.fail("nothing raised")


def test_object_usable_after_errors():
    obj = Hl7Json(message(header(f12="x"), PID), validation_enabled=True, strict_validation=True)
    for _ in range(3):
        for call in (lambda: obj.hl7_json, lambda: obj.validate(None, None)):
            with pytest.raises(Exception, match="^HL7 version not supported: x "):
                call()
    obj.strict_validation = False
    assert obj.validate(None, None) is None
    assert [d["segment_name"] for d in obj.hl7_json] == ["MSH", "PID"]


# Errors that quote the input quote at most a couple of hundred characters of
# it, and say when they cut it.
LONG = "Q" * 100_000
BOUNDED = {
    "segment name": (lambda: Hl7Json(message(header(), PID, LONG + "|x")).validate(False, True),
                     "Invalid segment name: " + "Q" * 200 + "... (cut: 99800 more bytes) "),
    "separators": (lambda: Hl7Json(message(header(f1=LONG), PID)).validate(False, True),
                   "Invalid field separators: " + "Q" * 200 + "... (cut: 99800 more bytes) "),
    "version": (lambda: Hl7Json(message(header(f12=LONG), PID)).validate(True, True),
                "HL7 version not supported: " + "Q" * 200 + "... (cut: 99800 more bytes) "),
    # A character that straddles the limit is left out whole.
    "multi-byte": (lambda: Hl7Json(message(header(), PID, "Q" + "é" * 200)).validate(False, True),
                   "Invalid segment name: Q" + "é" * 99 + "... (cut: 202 more bytes) "),
}


@pytest.mark.parametrize("raiser,start", BOUNDED.values(), ids=BOUNDED.keys())
def test_quoted_input_is_bounded(raiser, start):
    with pytest.raises(Exception) as info:
        raiser()
    assert info.value.args[0].startswith(start)
    assert len(info.value.args[0]) < 400


def test_short_input_is_quoted_whole():
    with pytest.raises(Exception) as info:
        Hl7Json(message(header(), PID, "Q" * 200 + "|x")).validate(False, True)
    assert info.value.args[0] == "Invalid segment name: " + "Q" * 200 + " (must be exactly 3 alphabetic characters)"
