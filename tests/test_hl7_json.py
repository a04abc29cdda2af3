"""The Hl7Json class: options, recomputed results, files, validate()."""

import errno
import os

import pytest

from conftest import EVN, PID, Hl7Json, header, message, raises_hl7

OPTIONS = ("validation_enabled", "strict_validation", "escaping_enabled")
DEFAULTS = (False, False, True)


def options(obj):
    return tuple(getattr(obj, name) for name in OPTIONS)


class TestOptions:
    @pytest.mark.parametrize("index", range(3))
    @pytest.mark.parametrize("value", [True, False, None])
    def test_constructor_and_from_file_store_each_option(self, tmp_path, index, value):
        (tmp_path / "m").write_text("X|1")
        expected = list(DEFAULTS)
        expected[index] = expected[index] if value is None else value
        kwargs = {OPTIONS[index]: value}
        for obj in (Hl7Json("X|1", **kwargs), Hl7Json.from_file(str(tmp_path / "m"), **kwargs)):
            assert options(obj) == tuple(expected)
        assert options(Hl7Json("X", True, True, False)) == (True, True, False)

    @pytest.mark.parametrize("name", OPTIONS)
    def test_setter(self, name):
        obj = Hl7Json("X")
        for value in (True, False, True):
            setattr(obj, name, value)
            assert getattr(obj, name) is value
        for bad in (1, 0, "True", None, 1.0, [True]):
            with pytest.raises(TypeError, match=name):
                setattr(obj, name, bad)
        with pytest.raises(AttributeError, match="^property has no deleter$"):
            delattr(obj, name)
        assert getattr(obj, name) is True


class TestRecomputed:
    def test_each_read_is_a_new_equal_list(self):
        obj = Hl7Json(message())
        first, second, third = obj.hl7_json, obj.hl7_json, obj._convert_hl7_to_json()
        assert first == second == third
        assert first is not second and first[0] is not second[0]
        first[1]["1"] = "changed"
        first.append({})
        assert obj.hl7_json == third

    def test_option_changes_affect_next_read(self):
        obj = Hl7Json(message(header(f12="9"), PID, "ZXY|a\\F\\b"))
        assert obj.hl7_json[-1] == {"1": "a|b", "segment_name": "ZXY"}
        obj.escaping_enabled = False
        assert obj.hl7_json[-1] == {"1": "a\\F\\b", "segment_name": "ZXY"}
        obj.validation_enabled = True
        assert len(obj.hl7_json) == 3
        obj.strict_validation = True
        with pytest.raises(Exception, match="not supported: 9"):
            obj.hl7_json


class TestFromFile:
    def write(self, tmp_path, data):
        path = tmp_path / "msg.hl7"
        path.write_bytes(data if isinstance(data, bytes) else data.encode())
        return str(path)

    @pytest.mark.parametrize("content,lines", [
        ("MSH|^~\\&|APP\r", 2), ("MSH|a\r\nPID|b\r\n", 3), ("MSH|a\nPID|b", 2),
        ("\x1c\x1d", 1),  # information separators are not Unicode white space
        ("\u200b", 1), ("\ufeff\ufeffMSH|a\r", 2),  # nor are zero-width space and a second byte-order mark
    ])
    def test_reads_whole_text(self, tmp_path, content, lines):
        obj = Hl7Json.from_file(self.write(tmp_path, content))
        content = content.removeprefix("\ufeff")
        assert obj.hl7_string == content.replace("\r\n", "\n").replace("\r", "\n")
        result = obj.hl7_json
        assert len(result) == lines and result[0]["segment_name"] == content.split("|")[0].strip("\r\n")
        assert content[-1] not in "\r\n" or result[-1] == {"segment_name": ""}

    def test_large_file_with_multibyte_characters_across_reads(self, tmp_path):
        content = "PID|" + "é" * 70000 + "|" + "日" * 50000 + "\n" + "A|" + "😀" * 40000
        obj = Hl7Json.from_file(self.write(tmp_path, content), escaping_enabled=False)
        assert obj.hl7_string == content and obj.hl7_json[1]["1"] == "😀" * 40000

    @pytest.mark.skipif(not os.path.exists("/proc/version"), reason="needs /proc")
    def test_file_whose_size_is_unknown(self):
        with open("/proc/version", encoding="utf-8") as f:
            assert Hl7Json.from_file("/proc/version").hl7_string == f.read()

    @pytest.mark.parametrize("content", ["", " ", "\r\n\r\n", "\t\x0b\x0c", "\u00a0\u2003\n", "\x85",
                                         "\u1680\u2000\u200a\u2028\u2029\u202f\u205f\u3000"])
    def test_blank_file_is_empty_message(self, tmp_path, content):
        with raises_hl7("HL7 message is empty"):
            Hl7Json.from_file(self.write(tmp_path, content))

    @pytest.mark.parametrize("data", [b"\xff", b"MSH|\xc3", b"ABCDEFGHIJKLMNOP\x80", b"\xed\xa0\x80",
                                      b"x" * 100000 + b"\xfe"])
    def test_invalid_utf8(self, tmp_path, data):
        with raises_hl7("I/O error: stream did not contain valid UTF-8"):
            Hl7Json.from_file(self.write(tmp_path, data))

    @pytest.mark.parametrize("name,code", [
        ("missing", errno.ENOENT), ("dir", errno.EISDIR), ("file/", errno.ENOTDIR), ("missing/x", errno.ENOENT),
    ])
    def test_os_errors(self, tmp_path, name, code):
        (tmp_path / "dir").mkdir()
        (tmp_path / "file").write_text("X")
        with raises_hl7(f"I/O error: {os.strerror(code)} (os error {code})"):
            Hl7Json.from_file(f"{tmp_path}/{name}")

    def test_nul_in_path(self, tmp_path):
        with raises_hl7("I/O error: file name contained an unexpected NUL byte"):
            Hl7Json.from_file(self.write(tmp_path, "X") + "\0")


class TestValidate:
    NO_PID = "Missing required segment: PID (Patient Identification)"
    BAD_TYPE = "HL7 validation failed: Message type (field 8) must have at least 3 components: event^structure^version"

    @pytest.mark.parametrize("strict_option,args,error", [
        (False, (None, None), NO_PID),  # non-strict, PID rule on
        (True, (None, None), BAD_TYPE),  # strict from the option
        (False, (True, False), BAD_TYPE),  # strict, PID rule off
        (True, (False, None), NO_PID),  # explicit non-strict wins
        (True, (False, False), None),
    ])
    def test_flag_defaults(self, strict_option, args, error):
        obj = Hl7Json(message(header(f8="ADT^A01"), EVN), strict_validation=strict_option)
        if error is None:
            assert obj.validate(*args) is None
            assert obj.validate(validate_required_fields=args[1], strict_mode=args[0]) is None
        else:
            with raises_hl7(error):
                obj.validate(*args)
        assert obj.strict_validation is strict_option

    def test_empty_text(self):
        with raises_hl7("Missing required segment: MSH (Message Header)"):
            Hl7Json("").validate(None, None)

    def test_validation_reads_raw_text(self):
        # Decoded, the field is short; measured raw, it is too long.
        obj = Hl7Json(message(header(), PID, "ZZZ|" + "\\F\\" * 21846))
        with raises_hl7("Field value exceeds maximum length: 65538 > 65536 characters"):
            obj.validate(False, False)
        assert obj.hl7_json[-1]["1"] == "|" * 21846


class TestConversionWithValidation:
    def test_failure_raises_on_every_read_but_split_works(self):
        obj = Hl7Json(message(header(count=11), PID), validation_enabled=True)
        for read in (lambda: obj.hl7_json, obj._convert_hl7_to_json, lambda: obj.hl7_json):
            with raises_hl7("HL7 validation failed: MSH segment must have at least 12 fields"):
                read()
        assert obj._split_hl7_seg_to_json("X|1") == {"1": "1", "segment_name": "X"}

    def test_pid_never_required_strict_from_option(self):
        obj = Hl7Json(message(header(f12="2.3.1"), EVN), validation_enabled=True)
        assert len(obj.hl7_json) == 2
        obj.strict_validation = True
        with raises_hl7("HL7 version not supported: 2.3.1 (supported versions: "
                        "2.1, 2.2, 2.3, 2.4, 2.5, 2.5.1, 2.6, 2.7, 2.8, 2.9)"):
            obj.hl7_json

    @pytest.mark.parametrize("ending", ["\n", "\r", "\r\n", "\n\n"])
    def test_trailing_line_break_fails(self, ending):
        text = message(header(), PID, EVN)
        with raises_hl7("HL7 validation failed: Segment 4 has empty segment name"):
            Hl7Json(text + ending, validation_enabled=True).hl7_json
        assert len(Hl7Json(text, validation_enabled=True).hl7_json) == 3
