"""Hl7Json's own copy of the caller's text: a str that is not ASCII is
encoded without leaving a UTF-8 form behind with the str, and the object
neither depends on nor keeps a reference to the str, whatever the text
(ASCII or not, line breaks to normalise or not)."""

import gc
import sys

import pytest

from segmorph import Hl7Json

TEXTS = [
    "MSH|^~\\&|A|B\nPID|1||Doe^John",
    "MSH|^~\\&|Ä|B\nPID|1||Dö^Jöhn~日本\\F\\",
    "MSH|^~\\&|A|B\rPID|1||Doe^John\r\n",
    "MSH|^~\\&|Ä|B\r\nPID|1||Dö^😀",
]


@pytest.mark.parametrize("template", TEXTS)
def test_object_independent_of_the_str(template):
    text = "".join(list(template))  # a str of its own, not a shared constant
    before = sys.getrefcount(text)
    obj = Hl7Json(text)
    assert sys.getrefcount(text) == before
    expected_string = template.replace("\r\n", "\n").replace("\r", "\n")
    expected_records = Hl7Json(template).hl7_json
    del text
    gc.collect()
    assert obj.hl7_string == expected_string
    assert obj.hl7_json == expected_records
    assert obj._split_hl7_seg_to_json_with_escaping(expected_string.split("\n")[1]) == expected_records[1]


def test_lone_surrogate_and_argument_order():
    with pytest.raises(UnicodeEncodeError):
        Hl7Json("MSH|é\ud800")
    # The text is checked before the options, as for an ASCII text.
    with pytest.raises(UnicodeEncodeError):
        Hl7Json("MSH|é\ud800", validation_enabled=1)
    with pytest.raises(TypeError, match="validation_enabled"):
        Hl7Json("MSH|é", validation_enabled=1)
