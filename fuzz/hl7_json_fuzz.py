"""Fuzz harness for Hl7Json: any text with any options, then every member.

Checks, besides "no undocumented exception" (fuzz_support.attempt):
  - a text holding a lone surrogate is refused with UnicodeEncodeError, by
    the constructor and by both split methods;
  - the stored text is the input with its line breaks normalised;
  - a conversion gives one record per line, and fails only when validation
    is on; each record equals what the split method of its mode gives;
  - with escape decoding off, the records assemble back into the stored
    text through JsonHl7.hl7_string_unescaped;
  - the escaped direction and validation raise nothing undocumented.

    python fuzz/hl7_json_fuzz.py [CORPUS_DIR] [-max_total_time=SECONDS] ...

The last byte of an input picks the options, the rest is the text (bytes
that are not UTF-8 become lone surrogates when its top bit is set).
"""

import sys

from fuzz_support import attempt, has_surrogate, main, normalise_line_breaks, sample_texts

from segmorph import Hl7Json, JsonHl7


def flag(bits: int):
    return (None, False, True)[bits % 3]


def test_one(data: bytes) -> None:
    opts = data[-1] if data else 0
    text = data.decode("utf-8", "surrogateescape" if opts & 0x80 else "replace")
    validation, strict, escaping = flag(opts), flag(opts >> 2), flag(opts >> 4)

    obj, err = attempt(Hl7Json, text, validation, strict, escaping, allowed=(UnicodeEncodeError,))
    if has_surrogate(text):
        assert isinstance(err, UnicodeEncodeError), err
        probe = Hl7Json("")
        for split in (probe._split_hl7_seg_to_json, probe._split_hl7_seg_to_json_with_escaping):
            _, err = attempt(split, text, allowed=(UnicodeEncodeError,))
            assert isinstance(err, UnicodeEncodeError), err
        return
    assert err is None
    stored = obj.hl7_string
    assert stored == normalise_line_breaks(text)
    lines = stored.split("\n")

    records, err = attempt(lambda: obj.hl7_json)
    if err is not None:
        assert validation is True, err
    else:
        assert len(records) == len(lines)
        assert attempt(obj._convert_hl7_to_json)[0] == records
        pick = opts % len(lines)
        split = obj._split_hl7_seg_to_json if escaping is False else obj._split_hl7_seg_to_json_with_escaping
        assert split(lines[pick]) == records[pick]
        attempt(lambda: JsonHl7(records).hl7_string)
    attempt(obj.validate, flag(opts >> 1), flag(opts >> 3))

    obj.validation_enabled = False
    obj.escaping_enabled = False
    plain = obj.hl7_json
    assert JsonHl7(plain).hl7_string_unescaped == stored
    obj.escaping_enabled = True
    attempt(lambda: JsonHl7(obj.hl7_json).hl7_string)


if __name__ == "__main__":
    main(test_one, sample_texts)
