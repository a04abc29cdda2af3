"""Type-checked with mypy --strict by the test script: a typical use of both
classes must need no casts or ignores."""

from segmorph import Hl7Json, JsonHl7


def round_trip(text: str) -> str:
    message = Hl7Json(text, escaping_enabled=False)
    records: list[dict[str, str]] = message.hl7_json
    message.validation_enabled = True
    names = [record["segment_name"] for record in records]
    assert all(isinstance(name, str) for name in names)
    return JsonHl7(records).hl7_string_unescaped


def from_files(hl7_path: str, json_path: str) -> tuple[str, str]:
    message = Hl7Json.from_file(hl7_path, validation_enabled=True, strict_validation=None)
    message.validate(None, True)
    return message.hl7_string, JsonHl7.from_file(json_path).hl7_string


if __name__ == "__main__":
    print(round_trip("MSH|^~\\&|APP\rPID|1"))
