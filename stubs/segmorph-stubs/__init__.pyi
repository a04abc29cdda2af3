"""HL7 v2 messages to lists of flat ``str -> str`` records, and back.

``Hl7Json`` turns message text into one dict per line; ``JsonHl7`` turns such
dicts back into message text.  Every library error is raised as the built-in
``Exception`` itself, carrying the error's text.
"""

from collections.abc import Sequence
from typing import final

__all__ = ["Hl7Json", "JsonHl7"]

@final
class Hl7Json:
    """An HL7 v2 message and the options for converting it to records.

    The text is stored with every line break turned into ``"\\n"``; nothing is
    parsed until a conversion is asked for, and every conversion is computed
    afresh.
    """

    def __new__(
        cls,
        hl7_string: str,
        validation_enabled: bool | None = None,
        strict_validation: bool | None = None,
        escaping_enabled: bool | None = None,
    ) -> Hl7Json:
        """Store a message.  ``None`` means the default: validation off,
        strict validation off, escape decoding on."""

    @classmethod
    def from_file(
        cls,
        path: str,
        validation_enabled: bool | None = None,
        strict_validation: bool | None = None,
        escaping_enabled: bool | None = None,
    ) -> Hl7Json:
        """Read a whole UTF-8 file as one message.

        Raises ``Exception("I/O error: ...")`` for a file that cannot be read
        or is not UTF-8, and ``Exception("HL7 message is empty")`` for a blank
        one.
        """

    @property
    def hl7_json(self) -> list[dict[str, str]]:
        """A new list with one dict per line of the message, empty lines
        included.  Keys: ``"N"``, ``"N.j"``, ``"N[r]"``, ``"N[r].j"`` and
        ``"segment_name"``.  Validates first when ``validation_enabled``."""

    @property
    def hl7_string(self) -> str:
        """The stored text, line breaks normalised to ``"\\n"``."""

    validation_enabled: bool
    """Validate before every conversion (only ``True``/``False`` accepted)."""
    strict_validation: bool
    """Also check the version and message type when validating."""
    escaping_enabled: bool
    """Decode HL7 escape sequences (``\\F\\``, ``\\S\\``, ...) in values."""

    def validate(self, strict_mode: bool | None, validate_required_fields: bool | None) -> None:
        """Check the message; raises the first failing rule's error.

        ``None`` means the object's ``strict_validation`` and ``True``
        respectively.
        """

    def _convert_hl7_to_json(self) -> list[dict[str, str]]:
        """The same as reading ``hl7_json``."""

    def _split_hl7_seg_to_json(self, seg: str) -> dict[str, str]:
        """One segment line to one dict, escapes kept as they are."""

    def _split_hl7_seg_to_json_with_escaping(self, seg: str) -> dict[str, str]:
        """One segment line to one dict, escapes decoded."""

@final
class JsonHl7:
    """Records (one dict per segment) and their assembly into HL7 text."""

    def __new__(cls, json_data: Sequence[dict[str, str]]) -> JsonHl7:
        """Copy the records: any sequence but ``str`` of dicts whose keys and
        values are ``str``."""

    @classmethod
    def from_file(cls, path: str) -> JsonHl7:
        """Read a UTF-8 file holding a JSON array of objects with string
        values.  Raises ``Exception("HL7 invalid format: Invalid JSON: ...")``
        for anything else."""

    @property
    def json_data(self) -> list[dict[str, str]]:
        """A fresh copy of the records."""

    @property
    def hl7_string(self) -> str:
        """The message text with every value escaped, segments joined by
        ``"\\n"``."""

    @property
    def hl7_string_unescaped(self) -> str:
        """The message text with values written as they are."""

    def _convert_json_to_hl7(self, escape: bool) -> str:
        """``hl7_string`` when ``escape`` is true, else
        ``hl7_string_unescaped``."""
