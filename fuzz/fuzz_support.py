"""Shared parts of the Python fuzz harnesses: the exceptions the README
documents, the checks every call goes through, the seed corpus and the
atheris entry point.

A harness defines `test_one(data: bytes)` and calls `main(test_one, seeds)`.
Every call into segmorph goes through `attempt`, which lets a documented
exception through as a result and turns anything else into a crash that
atheris reports with the input that caused it.
"""

from __future__ import annotations

import json
import os
import pathlib
import re
import sys

REPO = pathlib.Path(__file__).resolve().parent.parent
SAMPLES = sorted((REPO / "tests" / "fixtures").glob("*.hl7")) + sorted((REPO / "examples").glob("*.hl7"))

# The first words of every library error text.  An error is the built-in
# Exception itself, carrying one of these.
ERROR_STARTS = (
    "I/O error: ", "HL7 invalid format: ", "HL7 message is empty", "HL7 invalid segment: ",
    "HL7 parsing error at line ", "HL7 validation error: ", "HL7 validation failed: ",
    "HL7 field error in segment ", "HL7 component error in segment ", "Invalid escape sequence: ",
    "Field value exceeds maximum length: ", "Component value exceeds maximum length: ",
    "Missing required segment: ", "Invalid segment name: ", "Invalid field separators: ", "JSON parsing error: ",
    "HL7 version not supported: ", "HL7 encoding error: ", "Configuration error: ",
)
# No error text quotes more than a couple of hundred bytes of input; with
# its own words around the quote it stays well below this.
MAX_ERROR_TEXT = 1000


class Undocumented(AssertionError):
    """A call raised something the README does not promise."""


def check_library_error(e: BaseException) -> str:
    if type(e) is not Exception or len(e.args) != 1 or not isinstance(e.args[0], str):
        raise Undocumented(f"not a library error: {e!r}") from e
    text = e.args[0]
    if not text.startswith(ERROR_STARTS):
        raise Undocumented(f"unknown error text: {text[:300]!r}") from e
    if len(text) > MAX_ERROR_TEXT:
        raise Undocumented(f"error text of {len(text)} characters: {text[:300]!r}") from e
    text.encode("utf-8")  # valid text: no lone surrogates
    return text


def attempt(fn, *args, allowed=()):
    """(result, None) or (None, exception) for a documented exception:
    a library error (checked) or one of `allowed` (TypeError for a wrong
    argument, UnicodeEncodeError for a lone surrogate, ...).  MemoryError is
    documented for every call."""
    try:
        return fn(*args), None
    except MemoryError as e:
        return None, e
    except Exception as e:
        if type(e) is Exception:
            check_library_error(e)
            return None, e
        if allowed and isinstance(e, allowed):
            return None, e
        raise Undocumented(f"{getattr(fn, '__name__', fn)!s} raised {e!r}") from e


# The error of records that would write more separators than a message may.
SEPARATOR_BOUND = re.compile(r'HL7 invalid format: record \d+: key ".*" would write \d+( or more)? separators, '
                             r"but only \d+ are left of the \d+ a message may write \(1,000,000 plus 16 per value\)",
                             re.S)


def has_surrogate(text: str) -> bool:
    return any("\ud800" <= c <= "\udfff" for c in text)


def normalise_line_breaks(text: str) -> str:
    return text.replace("\r\n", "\n").replace("\n\r", "\n").replace("\r", "\n")


def sample_texts() -> list[bytes]:
    return [p.read_bytes() for p in SAMPLES]


def sample_json_files() -> list[bytes]:
    """The sample messages as JSON record files, as a program would save
    them."""
    import segmorph

    out = []
    for data in sample_texts():
        records = segmorph.Hl7Json(data.decode("utf-8"), escaping_enabled=False).hl7_json
        out.append(json.dumps(records, ensure_ascii=False, indent=1).encode())
    return out


def main(test_one, seeds) -> None:
    """Runs atheris over `test_one`.  Corpus folders named on the command
    line that are empty get the seeds first, so a fresh run starts from the
    sample messages."""
    import atheris

    for arg in sys.argv[1:]:
        if not arg.startswith("-") and os.path.isdir(arg) and not os.listdir(arg):
            for i, data in enumerate(seeds()):
                pathlib.Path(arg, f"seed-{i:03d}").write_bytes(data)
    atheris.Setup(sys.argv, test_one)
    atheris.Fuzz()
