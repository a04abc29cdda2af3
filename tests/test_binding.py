"""The module and class surface seen from Python, and argument matching."""

import importlib
import inspect
import pathlib
import pickle
import sys
import types
import weakref

import pytest

import segmorph
from conftest import Hl7Json, raises_hl7

JsonHl7 = segmorph.JsonHl7


class TestModule:
    def test_exports(self):
        assert segmorph.__all__ == ["Hl7Json", "JsonHl7"]
        assert segmorph.__doc__ == ""
        assert {name for name in vars(segmorph) if not name.startswith("__")} == {"Hl7Json", "JsonHl7"}

    def test_reimport_gives_new_module_with_same_classes(self):
        original = sys.modules.pop("segmorph")
        try:
            again = importlib.import_module("segmorph")
            assert again is not original and again.__all__ is not original.__all__
            assert again.Hl7Json is original.Hl7Json and again.JsonHl7 is original.JsonHl7
            assert again.__all__ == ["Hl7Json", "JsonHl7"]
            assert again.Hl7Json("X|1").hl7_json == [{"1": "1", "segment_name": "X"}]
        finally:
            sys.modules["segmorph"] = original

    @pytest.mark.parametrize("cls", [Hl7Json, JsonHl7])
    def test_classes(self, cls):
        assert cls.__module__ == "builtins" and cls.__bases__ == (object,)
        assert cls.__qualname__ == cls.__name__ in ("Hl7Json", "JsonHl7")
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
        cls.extra_attribute = 1  # the class objects are not frozen
        del cls.extra_attribute


class TestSignatures:
    def test_class(self):
        assert Hl7Json.__text_signature__ == \
            "(hl7_string, validation_enabled=None, strict_validation=None, escaping_enabled=None)"
        params = inspect.signature(Hl7Json).parameters.values()
        assert [(p.name, p.default, p.kind) for p in params] == [
            (name, default, inspect.Parameter.POSITIONAL_OR_KEYWORD) for name, default in
            [("hl7_string", inspect.Parameter.empty), ("validation_enabled", None),
             ("strict_validation", None), ("escaping_enabled", None)]]

    @pytest.mark.parametrize("name,text", [
        ("from_file", "($cls, path, validation_enabled=None, strict_validation=None, escaping_enabled=None)"),
        ("_split_hl7_seg_to_json", "($self, seg)"),
        ("_split_hl7_seg_to_json_with_escaping", "($self, seg)"),
        ("_convert_hl7_to_json", "($self)"),
        ("validate", "($self, strict_mode, validate_required_fields)"),
    ])
    def test_methods(self, name, text):
        method = getattr(Hl7Json, name)
        assert method.__text_signature__ == text and not method.__doc__
        bound = inspect.signature(getattr(Hl7Json("x"), name))
        assert [str(p) for p in bound.parameters.values()] == [p.strip() for p in text[1:-1].split(",")][1:]

    def test_members(self):
        props = {"hl7_json", "hl7_string", "validation_enabled", "strict_validation", "escaping_enabled"}
        assert {n for n in vars(Hl7Json) if not n.startswith("__")} == props | {
            "from_file", "_split_hl7_seg_to_json", "_split_hl7_seg_to_json_with_escaping",
            "_convert_hl7_to_json", "validate"}
        for name in props:
            assert type(vars(Hl7Json)[name]) is types.GetSetDescriptorType and vars(Hl7Json)[name].__doc__ is None
        assert Hl7Json.from_file.__self__ is Hl7Json


class TestInstances:
    def test_no_dict_weakref_or_pickle(self):
        obj = Hl7Json("X|1")
        assert not hasattr(obj, "__dict__")
        for attempt in (lambda: setattr(obj, "other", 1), lambda: weakref.ref(obj), lambda: pickle.dumps(obj)):
            with pytest.raises((AttributeError, TypeError)):
                attempt()

    def test_properties(self):
        obj = Hl7Json("X|1")
        with pytest.raises(TypeError, match="not callable"):
            obj.hl7_json()
        for name in ("hl7_json", "hl7_string"):
            with pytest.raises(AttributeError):
                setattr(obj, name, "Y|2")
            with pytest.raises(AttributeError):
                delattr(obj, name)
        assert obj.hl7_string == "X|1"

    def test_from_file_through_instance(self, tmp_path):
        (tmp_path / "m").write_text("A|1")
        made = Hl7Json("other").from_file(str(tmp_path / "m"))
        assert type(made) is Hl7Json and made.hl7_string == "A|1"


class Text(str):
    pass


H, h = Hl7Json, Hl7Json("x")


class TestArguments:
    @pytest.mark.parametrize("func,args,kwargs,param", [
        (H, (), {}, "hl7_string"), (H, ("a", None, None, None, None), {}, None),
        (H, ("a",), {"hl7_string": "b"}, "hl7_string"), (H, ("a", None), {"validation_enabled": None}, None),
        (H, ("a",), {"unknown": None}, "unknown"), (H, (1,), {}, "hl7_string"), (H, (None,), {}, "hl7_string"),
        (H, (b"X|1",), {}, "hl7_string"), (H, (1,), {"validation_enabled": 1}, "hl7_string"),
        (H, ("x",), {"validation_enabled": 1}, "validation_enabled"), (H, ("x", None, "yes"), {}, "strict_validation"),
        (H, ("x",), {"escaping_enabled": 0}, "escaping_enabled"),
        (H.from_file, (), {}, "path"), (H.from_file, ("p", None, None, None, None), {}, None),
        (H.from_file, ("p",), {"path": "p"}, "path"), (H.from_file, ("p",), {"seg": "x"}, "seg"),
        (H.from_file, (b"/tmp",), {}, "path"), (H.from_file, (pathlib.Path("/tmp"),), {}, "path"),
        (H.from_file, ("/nonexistent",), {"escaping_enabled": 1}, "escaping_enabled"),
        (h._split_hl7_seg_to_json, (), {}, "seg"), (h._split_hl7_seg_to_json, ("a", "b"), {}, None),
        (h._split_hl7_seg_to_json, ("a",), {"seg": "b"}, "seg"), (h._split_hl7_seg_to_json, (None,), {}, "seg"),
        (h._split_hl7_seg_to_json_with_escaping, (), {"line": "a"}, "line"),
        (h._split_hl7_seg_to_json_with_escaping, (["X|1"],), {}, "seg"),
        (h._convert_hl7_to_json, (None,), {}, None),
        (h.validate, (), {}, "strict_mode"), (h.validate, (None,), {}, "validate_required_fields"),
        (h.validate, (None, None, None), {}, None), (h.validate, (None,), {"strict_mode": None}, "strict_mode"),
        (h.validate, (None, None), {"strict": True}, "strict"), (h.validate, (None, 1), {}, "validate_required_fields"),
        (h.validate, (1, 1), {}, "strict_mode"), (h.validate, (None, "yes"), {}, "validate_required_fields"),
    ])
    def test_type_errors(self, func, args, kwargs, param):
        with pytest.raises(TypeError, match=param):
            func(*args, **kwargs)

    def test_keywords_everywhere(self, tmp_path):
        (tmp_path / "m").write_text("X|a\\F\\b")
        obj = Hl7Json(escaping_enabled=False, hl7_string="X|a\\F\\b", strict_validation=None)
        assert obj.hl7_json[0]["1"] == "a\\F\\b"
        assert Hl7Json.from_file(escaping_enabled=True, path=str(tmp_path / "m")).hl7_json[0]["1"] == "a|b"
        assert obj._split_hl7_seg_to_json_with_escaping(seg="X|\\S\\") == {"1": "^", "segment_name": "X"}
        with raises_hl7("Missing required segment: MSH (Message Header)"):
            obj.validate(validate_required_fields=False, strict_mode=None)

    def test_str_subclass_accepted(self):
        obj = Hl7Json(Text("X|1\rY|2"))
        assert obj.hl7_string == "X|1\nY|2" and type(obj.hl7_string) is str
        record = obj._split_hl7_seg_to_json(Text("A|b^c"))
        assert record == {"1.1": "b", "1.2": "c", "segment_name": "A"}
        assert all(type(k) is str and type(v) is str for k, v in record.items())

    @pytest.mark.parametrize("func", [H, H.from_file, h._split_hl7_seg_to_json, h._split_hl7_seg_to_json_with_escaping])
    def test_lone_surrogate(self, func):
        for text in ("X|\ud800", "\udfff", "a\udcff|b"):
            with pytest.raises(UnicodeEncodeError):
                func(text)
