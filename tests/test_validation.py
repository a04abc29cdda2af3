"""Message validation: each rule, its exact text, and which rule wins."""

import pytest

from conftest import EVN, PID, Hl7Json, header, message, raises_hl7

VERSIONS = ["2.1", "2.2", "2.3", "2.4", "2.5", "2.5.1", "2.6", "2.7", "2.8", "2.9"]
VERSION_LIST = ", ".join(VERSIONS)
LIMIT = 65536

NO_MSH = "Missing required segment: MSH (Message Header)"
NO_PID = "Missing required segment: PID (Patient Identification)"
SHORT_HEADER = "HL7 validation failed: MSH segment must have at least 12 fields"
BAD_TYPE = ("HL7 validation failed: Message type (field 8) must have at least 3 components: "
            "event^structure^version")


separators = "Invalid field separators: {} (must be exactly 4 characters)".format
version = ("HL7 version not supported: {} (supported versions: " + VERSION_LIST + ")").format
bad_name = "Invalid segment name: {} (must be exactly 3 alphabetic characters)".format
empty_name = "HL7 validation failed: Segment {} has empty segment name".format
too_long = ("Field value exceeds maximum length: {} > %d characters" % LIMIT).format


def check(text, strict, required, expected):
    obj = Hl7Json(text)
    if expected is None:
        assert obj.validate(strict, required) is None
    else:
        with raises_hl7(expected):
            obj.validate(strict, required)


# (text, error in non-strict mode, error in strict mode); the PID rule is off.
HEADER_CASES = {
    "empty text": ("", NO_MSH, NO_MSH),
    "PID first": (message("PID|1", header()), NO_MSH, NO_MSH),
    "lower-case msh": (message(header().lower(), PID), NO_MSH, NO_MSH),
    "bare MSH": ("MSH", SHORT_HEADER, SHORT_HEADER),
    "11 fields": (header(count=11), SHORT_HEADER, SHORT_HEADER),
    "11 fields, bad separators": (header(count=11, f1="#"), SHORT_HEADER, SHORT_HEADER),
    "trailing bar gives 12": (header(count=11) + "|", None, version("")),
    "20 fields": (header(count=20), None, None),
    "separators too long": (header(f1="^~\\&#"), separators("^~\\&#"), separators("^~\\&#")),
    "separators empty": (header(f1=""), separators(""), separators("")),
    "separators one 2-byte char": (header(f1="é"), separators("é"), separators("é")),
    "separators 4 bytes": (header(f1="éé"), None, None),
    "separators other text": (header(f1="a^b~"), None, None),
    "separators beat version strict": (header(f1="#", f12="9.9"), separators("#"), separators("#")),
    "version 2.3.1": (header(f12="2.3.1"), None, version("2.3.1")),
    "version empty": (header(f12=""), None, version("")),
    "version padded": (header(f12="2.5 "), None, version("2.5 ")),
    "version with component": (header(f12="2.5^x"), None, version("2.5^x")),
    "version read from field 12": (header(f11="bogus", f12="2.4"), None, None),
    "field 11 ignored": (header(f11="2.5", f12="x"), None, version("x")),
    "version beats type": (header(f8="ADT", f12="3.0"), None, version("3.0")),
    "type two parts": (header(f8="ADT^A01"), None, BAD_TYPE),
    "type empty": (header(f8=""), None, BAD_TYPE),
    "type escaped separators": (header(f8="A\\S\\B\\S\\C"), None, BAD_TYPE),
    "type with repetition": (header(f8="ADT^A01~B"), None, BAD_TYPE),
    "type carets only": (header(f8="^^"), None, None),
    "type four parts": (header(f8="A^B^C^D"), None, None),
    "type across repetitions": (header(f8="ADT~A01^X^Y"), None, None),
}


@pytest.mark.parametrize("text,loose,strict", HEADER_CASES.values(), ids=HEADER_CASES.keys())
def test_header_rules(text, loose, strict):
    check(text, False, False, loose)
    check(text, True, False, strict)


@pytest.mark.parametrize("value", VERSIONS)
def test_every_supported_version_passes_strict(value):
    check(message(header(f12=value), PID), True, True, None)


# (text, required-segment check, error); strict and non-strict agree.
SEGMENT_CASES = {
    "valid": (message(), True, None),
    "lower-case names pass": (message(header(), PID, "evn|x", "zAb|1"), True, None),
    "PID last": (message(header(), EVN, EVN, PID), True, None),
    "no PID": (message(header(), EVN), True, NO_PID),
    "no PID, check off": (message(header(), EVN), False, None),
    "pid is not PID": (message(header(), "pid|1"), True, NO_PID),
    "PID with space": (message(header(), PID, "PID |1"), True, bad_name("PID ")),
    "no PID beats bad name": (message(header(), "Z01|1"), True, NO_PID),
    "no PID beats empty name": (message(header(), "", EVN), True, NO_PID),
    "no PID beats long field": (message(header(), "ZZZ|" + "a" * (LIMIT + 1)), True, NO_PID),
    "empty line in middle": (message(header(), "", PID), True, empty_name(2)),
    "empty name with fields": (message(header(), PID, "|x|y"), True, empty_name(3)),
    "trailing line break": (message() + "\n", True, empty_name(4)),
    "trailing CR LF": (message(sep="\r\n") + "\r\n", True, empty_name(4)),
    "first empty wins": (message(header(), PID, "", "Z1|x", ""), True, empty_name(3)),
    "two letters": (message(header(), PID, "PV|1"), True, bad_name("PV")),
    "four characters": (message(header(), PID, "PID1|1"), True, bad_name("PID1")),
    "digit": (message(header(), PID, "Z01|1"), True, bad_name("Z01")),
    "PV1 has a digit": (message(header(), PID, "PV1|1"), True, bad_name("PV1")),
    "non-ASCII letter": (message(header(), PID, "ÄBC|1"), True, bad_name("ÄBC")),
    "NUL": (message(header(), PID, "AB\0|1"), True, bad_name("AB<00>")),
    "name beats later long field": (
        message(header(), PID, "Z9Z|1", "ZZZ|" + "a" * (LIMIT + 1)), True, bad_name("Z9Z")),
    "long field beats later bad name": (
        message(header(), PID, "ZZZ|" + "a" * (LIMIT + 1), "Z9Z|1"), True, too_long(LIMIT + 1)),
    "long field in header": (message(header(f2="a" * (LIMIT + 2)), PID), True, too_long(LIMIT + 2)),
}


@pytest.mark.parametrize("text,required,error", SEGMENT_CASES.values(), ids=SEGMENT_CASES.keys())
def test_segment_rules(text, required, error):
    check(text, False, required, error)
    check(text, True, required, error)


# (field text, error): lengths are UTF-8 bytes of the verbatim field.
LENGTH_CASES = {
    "ascii at limit": ("a" * LIMIT, None),
    "ascii over": ("a" * (LIMIT + 1), too_long(LIMIT + 1)),
    "2-byte at limit": ("é" * (LIMIT // 2), None),
    "2-byte over": ("é" * (LIMIT // 2) + "a", too_long(LIMIT + 1)),
    "4-byte over": ("😀" * (LIMIT // 4 + 1), too_long(LIMIT + 4)),
    "components at limit": ("a" * (LIMIT - 2) + "^b", None),
    "long component": ("a" * (LIMIT + 1) + "^b", too_long(LIMIT + 3)),
    "repetitions measured whole": ("a" * 40000 + "~" + "b" * 40000, too_long(80001)),
    "short repetitions pass": ("a" * 30000 + "~" + "b^c" * 10000, None),
    "exempt field": ("^~\\&" + "a" * (LIMIT - 3), too_long(LIMIT + 1)),
    "escapes measured raw": ("\\X0D0A\\" * 9363, too_long(65541)),
}


@pytest.mark.parametrize("field,error", LENGTH_CASES.values(), ids=LENGTH_CASES.keys())
@pytest.mark.parametrize("strict", [False, True])
def test_value_lengths(field, error, strict):
    check(message(header(), PID, "ZZZ||" + field + "|x"), strict, True, error)


def test_long_segment_name_is_a_name_error():
    name = "A" * (LIMIT + 10)
    quoted = name[:200] + f"... (cut: {len(name) - 200} more bytes)"
    check(message(header(), PID, name + "|x"), False, True, bad_name(quoted))


def test_many_segments():
    text = message(header(), *([PID, EVN, "OBX|1|ST|x^y~z"] * 2000))
    check(text, True, True, None)
    check(text + "\nOB|1", True, True, bad_name("OB"))
