"""HL7 escape sequences, seen through the converters.

Decoding is observed as field 1 of a segment parsed in escaping mode, encoding
as field 1 of an assembled message.  Field 1 of «X|» + raw is exactly the
decoded raw text as long as raw holds no "|" and no "~" (those cut fields and
repetitions before any decoding); a raw "^" cuts the value into components
before decoding, which `decode` joins back.
"""

from __future__ import annotations

import bisect
import importlib.metadata
import pathlib
import re

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import segmorph

BACKSLASH = "\\"
# Characters that encoding replaces; none of them may survive in its output.
ENCODED = "|^~&\\\t\n\r "

TABLE_HEADER = pathlib.Path(__file__).resolve().parent.parent / "src" / "unicode_table.hpp"


def value_of_field_1(record: dict[str, str]) -> str:
    """Field 1 of a record, with components joined back by "^"."""
    record = dict(record)
    assert record.pop("segment_name") == "X"
    if "1" in record:
        assert list(record) == ["1"]
        return record["1"]
    components = {int(key.removeprefix("1.")): value for key, value in record.items()}
    assert sorted(components) == list(range(1, len(components) + 1)), record
    return "^".join(components[j] for j in sorted(components))


def decode(raw: str) -> str:
    assert "|" not in raw and "~" not in raw
    record = segmorph.Hl7Json("")._split_hl7_seg_to_json_with_escaping("X|" + raw)
    return value_of_field_1(record)


def encode(text: str) -> str:
    line = segmorph.JsonHl7([{"segment_name": "X", "1": text}]).hl7_string
    assert line.startswith("X|")
    return line[2:]


def load_table(name: str) -> list[tuple[int, int]]:
    text = TABLE_HEADER.read_text(encoding="utf-8")
    body = re.search(rf"{name}\[\] = \{{(.*?)\n\}};", text, re.S)
    assert body, f"{name} not found in {TABLE_HEADER}"
    return [(int(a, 16), int(b, 16))
            for a, b in re.findall(r"\{0x([0-9A-F]+), 0x([0-9A-F]+)\}", body.group(1))]


def in_table(table: list[tuple[int, int]], cp: int) -> bool:
    i = bisect.bisect_right(table, (cp, 0x10FFFF))
    return i > 0 and table[i - 1][0] <= cp <= table[i - 1][1]


# --- encoding ---------------------------------------------------------------

@pytest.mark.parametrize(
    ("text", "encoded"),
    [
        ("", ""),
        ("a|b^c~d&e\\f", r"a\F\b\S\c\R\d\T\e\E\f"),
        ("\t", r"\X09" "\\"),
        ("\n", r"\X0A" "\\"),
        ("\r", r"\X0D" "\\"),
        (" ", r"\X20" "\\"),
        # CR LF is two characters and two sequences, never \X0D0A\.
        ("x\r\ny", r"x\X0D\\X0A\y"),
        ("A B", r"A\X20\B"),
        # The escape character is written as \E\, which every reader
        # knows (some drop a doubled one as an empty sequence)...
        ("\\", r"\E" "\\"),
        ("\\\\", r"\E\\E" "\\"),
        (r"\E\ ", r"\E\E\E\\X20" "\\"),
        # ...except where it opens an unknown sequence closed by the escape
        # character: decoding keeps such a sequence as it stands, and so does
        # encoding, so formatting reaches other readers unchanged.
        (r"\.br" "\\", r"\.br" "\\"),
        (r"a\.br\\.br\b", r"a\.br\\.br\b"),
        (r"\H\bold\N" "\\", r"\H\bold\N" "\\"),
        (r"\X41\\X0d0a" "\\", r"\X41\\X0d0a" "\\"),
        ("\\é\\", "\\é\\"),
        # A known sequence, or one that is not closed, or one whose first
        # character must be encoded, is data.
        (r"\F" "\\", r"\E\F\E" "\\"),
        (r"\X0D0A" "\\", r"\E\X0D0A\E" "\\"),
        (r"\.br", r"\E\.br"),
        (r"\.br x" "\\", r"\E\.br\X20\x\E" "\\"),
        ("\\ \\", r"\E\\X20\\E" "\\"),
        ("\\^\\", r"\E\\S\\E" "\\"),
        ("\\\\.br\\", r"\E\\.br" "\\"),
        # Other white space and control characters pass unchanged.
        ("\x0b\x0c\x00\x7f", "\x0b\x0c\x00\x7f"),
        ("\u00a0\u2028\u3000\x85", "\u00a0\u2028\u3000\x85"),
        ("Müller€😀中", "Müller€😀中"),
        # Texts that look like escape codes are ordinary text.
        ("FSRETX0D", "FSRETX0D"),
    ],
)
def test_escape(text, encoded):
    assert encode(text) == encoded
    converter = segmorph.JsonHl7([{"segment_name": "X", "1": text}])
    assert converter.hl7_string_unescaped == "X|" + text


def test_escape_leaves_printable_ascii_alone_except_the_delimiters():
    printable = "".join(chr(c) for c in range(0x21, 0x7F) if chr(c) not in ENCODED)
    assert encode(printable) == printable


@settings(deadline=None)
@given(st.text().map(lambda t: t.replace("\\", "")), st.text().map(lambda t: t.replace("\\", "")))
def test_escape_works_character_by_character(a, b):
    # Only the escape character needs a look at what follows it.
    assert encode(a + b) == encode(a) + encode(b)


# --- decoding ---------------------------------------------------------------

@pytest.mark.parametrize(
    ("raw", "decoded"),
    [
        ("", ""),
        ("plain text & more", "plain text & more"),
        (r"\F\\S\\R\\E\\T" "\\", "|^~\\&"),
        (r"a\S\b", "a^b"),
        (r"\X0D0A" "\\", "\r\n"),
        (r"\X0D\\X0A" "\\", "\r\n"),
        (r"\X20\\X09" "\\", " \t"),
        # Two escape characters stand for one.
        (r"\\", "\\"),
        (r"\\F", r"\F"),
        (r"\\\\", r"\\"),
        ("\\\\\\", "\\\\"),
        # A lone escape character at the end stays.
        ("\\", "\\"),
        ("abc\\", "abc\\"),
        # A recognised sequence needs no closing escape character; the
        # character that ends it is kept, whatever it is.
        (r"\F", "|"),
        (r"\F x", "| x"),
        (r"\F^x", "|^x"),
        (r"\F&", "|&"),
        (r"\X0D0A", "\r\n"),
        (r"\F\S", "|S"),
        (r"\F\\F" "\\", "||"),
        # The sequence text runs on through letters and digits.
        (r"\Fx" "\\", r"\Fx" "\\"),
        (r"\X0D0" "\\", r"\X0D0" "\\"),
        (r"\FF" "\\", r"\FF" "\\"),
        # Unknown sequences closed by the escape character are kept whole,
        # and the closing one opens nothing.
        (r"\H\text\N" "\\", r"\H\text\N" "\\"),
        (r"\.br" "\\", r"\.br" "\\"),
        (r"\.br\\.br" "\\", r"\.br\\.br" "\\"),
        (r"\X41" "\\", r"\X41" "\\"),
        (r"\Zz9" "\\", r"\Zz9" "\\"),
        (r"\Zz9\F" "\\", r"\Zz9\F" "\\"),
        (r"\Zz9\\F" "\\", r"\Zz9\|"),
        # Unterminated ones lose nothing either.
        (r"\X41", r"\X41"),
        (r"\.br.", r"\.br."),
        # Keys are matched exactly, case included.
        (r"\x0a" "\\", r"\x0a" "\\"),
        (r"\X0a" "\\", r"\X0a" "\\"),
        (r"\f" "\\", r"\f" "\\"),
        # The first character after the escape character always starts the
        # sequence text, even when it is not alphanumeric.
        ("\\ \\", "\\ \\"),
        (r"\.F" "\\", r"\.F" "\\"),
        (r"\&" "\\", r"\&" "\\"),
        # \E\ and \\ both give one escape character.
        (r"\E" "\\", "\\"),
        (r"\E\\E" "\\", "\\\\"),
        (r"\E\E" "\\", r"\E" "\\"),
    ],
)
def test_unescape(raw, decoded):
    assert decode(raw) == decoded


def test_a_raw_field_separator_ends_a_sequence():
    # «\F|x»: the "|" ends the sequence and is kept, which at segment level
    # means it separates fields 1 and 2.
    record = segmorph.Hl7Json("")._split_hl7_seg_to_json_with_escaping("X|\\F|x")
    assert record == {"1": "|", "2": "x", "segment_name": "X"}


@pytest.mark.parametrize(
    ("raw", "decoded"),
    [
        # Non-ASCII letters and numbers continue a sequence text...
        ("\\Fé\\", "\\Fé\\"),
        ("\\Fé", "\\Fé"),
        ("\\F\u0663\\", "\\F\u0663\\"),  # ARABIC-INDIC DIGIT THREE, Nd
        ("\\F\u216b\\", "\\F\u216b\\"),  # ROMAN NUMERAL TWELVE, Nl
        ("\\F\u00bd\\", "\\F\u00bd\\"),  # VULGAR FRACTION ONE HALF, No
        ("\\F\u00b2", "\\F\u00b2"),  # SUPERSCRIPT TWO, No
        ("\\F\u4e2d\\", "\\F\u4e2d\\"),  # CJK ideograph, Lo
        ("\\F\U0001d7d8\\", "\\F\U0001d7d8\\"),  # double-struck digit zero
        ("\\F\u0345\\", "\\F\u0345\\"),  # a combining mark that is Alphabetic
        ("\\X0D\u00e9\\", "\\X0D\u00e9\\"),
        # ...and may start one.
        ("\\é\\", "\\é\\"),
        ("\\\u20acF\\", "\\\u20acF\\"),
        # Everything else ends it and is kept.
        ("\\F\u20ac\\", "|\u20ac\\"),  # EURO SIGN, Sc
        ("\\F\u0301x", "|\u0301x"),  # COMBINING ACUTE ACCENT is not Alphabetic
        ("\\F\u00a0x", "|\u00a0x"),  # NO-BREAK SPACE
        ("\\F\U0001f600", "|\U0001f600"),  # emoji, So
        ("\\F_x\\", "|_x\\"),  # underscore is a word character, not alphanumeric
        ("\\X0D\u3000", "\r\u3000"),
    ],
)
def test_unescape_with_non_ascii_text(raw, decoded):
    assert decode(raw) == decoded


@pytest.mark.parametrize(
    ("raw", "record"),
    [
        ("Doe^John", {"1.1": "Doe", "1.2": "John"}),
        ("a^^", {"1.1": "a", "1.2": "", "1.3": ""}),
        # An escaped separator is data inside its component.
        (r"Doe\S\John", {"1": "Doe^John"}),
        (r"\S\\S" "\\", {"1": "^^"}),
        (r"a\S\b^c\S\\T" "\\", {"1.1": "a^b", "1.2": "c^&"}),
        # Cutting comes first, so a sequence never spans a raw separator.
        (r"a\\^b", {"1.1": "a\\", "1.2": "b"}),
        (r"\F^x", {"1.1": "|", "1.2": "x"}),
        ("\\.br^\\", {"1.1": "\\.br", "1.2": "\\"}),
    ],
)
def test_raw_component_separators_cut_components(raw, record):
    got = segmorph.Hl7Json("")._split_hl7_seg_to_json_with_escaping("X|" + raw)
    assert got == {"segment_name": "X", **record}


def test_plain_mode_leaves_sequences_alone():
    raw = r"\F\\S\\X0D0A\\\x"
    record = segmorph.Hl7Json("")._split_hl7_seg_to_json("X|" + raw)
    assert record == {"1": raw, "segment_name": "X"}


# --- both directions ---------------------------------------------------------

# Texts rich in the characters that matter, mixed with arbitrary ones.
interesting_texts = st.text(
    alphabet=st.one_of(
        st.sampled_from(list(ENCODED + "FSRETX0AD9é\u0663\u20ac")),
        st.characters(codec="utf-8"),
    )
)


@settings(deadline=None)
@given(interesting_texts)
@example("\r\n")
@example("\\X0D0A\\")
@example("\\E\\")
@example("^~\\&")
def test_decoding_undoes_encoding(text):
    raw = encode(text)
    assert not set(raw) & set(ENCODED.replace("\\", ""))
    # Through a whole message: the encoded value holds no separators and no
    # line breaks, so it is one segment with one field, whatever the text.
    message = segmorph.JsonHl7([{"segment_name": "X", "1": text}]).hl7_string
    records = segmorph.Hl7Json(message).hl7_json
    assert len(records) == 1
    assert value_of_field_1(records[0]) == text


def reference_unescape(raw: str, alphanumeric: set[str]) -> str:
    """The decoding rules, written out plainly, for a small alphabet."""
    table = {"F": "|", "S": "^", "R": "~", "E": "\\", "T": "&",
             "X0A": "\n", "X0D": "\r", "X0D0A": "\r\n", "X20": " ", "X09": "\t"}
    out: list[str] = []
    chars = iter(raw)
    for ch in chars:
        if ch != "\\":
            out.append(ch)
            continue
        d = next(chars, None)
        if d is None:
            out.append("\\")
            break
        if d == "\\":
            out.append("\\")
            continue
        sequence, terminator = d, None
        for c in chars:
            if c not in alphanumeric:
                terminator = c
                break
            sequence += c
        known = table.get(sequence)
        out.append("\\" + sequence if known is None else known)
        if terminator == "\\":
            if known is None:
                out.append("\\")
        elif terminator is not None:
            out.append(terminator)
    return "".join(out)


SMALL_ALPHANUMERIC = set("FSRETX0ADx9é\u0663\u00bd")
SMALL_OTHER = "\\^& .\r\n\u20ac\u0301\u00a0"


@settings(deadline=None)
@given(st.text(alphabet=sorted(SMALL_ALPHANUMERIC) + list(SMALL_OTHER), max_size=20))
@example("\\\\\\F\\")
@example("\\X0D0A0\\")
def test_unescape_matches_the_rules(raw):
    # Components are cut on the raw text first, then decoded one by one.
    expected = "^".join(reference_unescape(piece, SMALL_ALPHANUMERIC) for piece in raw.split("^"))
    assert decode(raw) == expected


# --- the Unicode table --------------------------------------------------------

def sample_code_points(table: list[tuple[int, int]]) -> list[int]:
    """ASCII, the edges of every range, and a spread over the rest."""
    points = set(range(0x80))
    for first, last in table:
        points.update((first - 1, first, last, last + 1))
    points.update(range(0x80, 0x110000, 997))
    return sorted(p for p in points if 0 <= p <= 0x10FFFF and not 0xD800 <= p <= 0xDFFF)


def test_sequence_text_continues_exactly_on_alphanumerics():
    alphanumeric = load_table("kAlphanumericRanges")
    wrong = []
    for cp in sample_code_points(alphanumeric):
        c = chr(cp)
        if c in "|~\\":
            continue
        expected = "\\F" + c + "\\" if in_table(alphanumeric, cp) else "|" + c + "\\"
        if decode("\\F" + c + "\\") != expected:
            wrong.append(f"U+{cp:04X}")
    assert not wrong


def regex_unicode_version() -> str | None:
    try:
        meta = importlib.metadata.metadata("regex")
    except importlib.metadata.PackageNotFoundError:
        return None
    text = str(meta.get_payload() or "") + str(meta.get("Description") or "")
    m = re.search(r"supports Unicode (\d+(?:\.\d+)+)", text)
    return m.group(1) if m else None


@pytest.mark.parametrize(
    ("name", "pattern"),
    [
        ("kAlphanumericRanges", r"[\p{Alphabetic}\p{Nd}\p{Nl}\p{No}]"),
        ("kWhiteSpaceRanges", r"\p{White_Space}"),
    ],
)
def test_table_agrees_with_the_unicode_database(name, pattern):
    regex = pytest.importorskip("regex")
    table = load_table(name)
    assert table, name
    assert all(first <= last for first, last in table)
    assert all(a[1] + 1 < b[0] for a, b in zip(table, table[1:])), "unsorted or unmerged"

    header = TABLE_HEADER.read_text(encoding="utf-8")
    generated_for = re.search(r'kUnicodeVersion = "([^"]*)"', header).group(1)
    installed = regex_unicode_version()
    if installed and generated_for not in ("unknown", installed):
        pytest.skip(f"table made for Unicode {generated_for}, regex has {installed}; "
                    "re-run tools/gen_unicode_table.py")

    matcher = regex.compile(pattern)
    wrong = [f"U+{cp:04X}" for cp in sample_code_points(table) + list(range(0x80, 0x3100))
             if in_table(table, cp) != bool(matcher.match(chr(cp)))]
    assert not wrong
