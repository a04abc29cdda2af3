"""Hl7Json keeps the caller's text without copying it where it can: it then
holds a reference to the str, which must outlive every use and be released
with the object (no leak), whatever the text (ASCII or not, line breaks to
normalise or not)."""

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
def test_text_outlives_the_callers_reference(template):
    text = "".join(list(template))  # a str of its own, not a shared constant
    expected_string = template.replace("\r\n", "\n").replace("\r", "\n")
    obj = Hl7Json(text)
    expected_records = Hl7Json(template).hl7_json
    del text
    gc.collect()
    assert obj.hl7_string == expected_string
    assert obj.hl7_json == expected_records
    assert obj._split_hl7_seg_to_json_with_escaping(expected_string.split("\n")[1]) == expected_records[1]


@pytest.mark.parametrize("template", TEXTS)
def test_reference_released_with_the_object(template):
    text = "".join(list(template))
    before = sys.getrefcount(text)
    for _ in range(100):
        obj = Hl7Json(text, escaping_enabled=False)
        obj.hl7_json
        assert sys.getrefcount(text) <= before + 1
        del obj
    assert sys.getrefcount(text) == before
