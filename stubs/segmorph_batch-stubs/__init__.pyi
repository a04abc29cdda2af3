"""Many HL7 v2 messages at a time, as Arrow data.

The command's framing and rule sets, and the records ``Hl7Json`` gives, with
the records handed over as one Arrow record batch through the Arrow PyCapsule
interface (``__arrow_c_stream__``, ``__arrow_c_array__``): pyarrow, polars,
DuckDB and Spark take them without a copy.  Failed messages are rows with an
``error``; ``validate`` raises the built-in ``Exception`` with the same texts.
Data is bytes-like, or a str read as its UTF-8 bytes: positions and offsets
are always byte positions.
"""

from typing_extensions import Buffer
from typing import Literal, Protocol, final, type_check_only

__all__ = ["MessageBatch", "frame", "next_message_start", "validate", "to_arrow", "from_arrow"]

@type_check_only
class _ArrowStream(Protocol):
    def __arrow_c_stream__(self, requested_schema: object | None = None, /) -> object: ...

@type_check_only
class _ArrowArray(Protocol):
    def __arrow_c_array__(self, requested_schema: object | None = None, /) -> tuple[object, object]: ...

@final
class MessageBatch:
    """One record batch of messages, with the columns ``source``, ``offset``,
    ``index``, ``message_type``, ``control_id``, ``segments``
    (``list<map<utf8, utf8>>``) and ``error``.  Made by ``to_arrow`` only."""

    def __len__(self) -> int:
        """The number of rows (messages)."""
    def __arrow_c_schema__(self) -> object:
        """The schema as an ``arrow_schema`` PyCapsule."""
    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]:
        """The schema and the batch as ``arrow_schema`` and ``arrow_array``
        PyCapsules, sharing the batch's memory."""
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        """A stream of this one batch as an ``arrow_array_stream`` PyCapsule."""

def frame(data: Buffer | str) -> list[tuple[Literal["message", "envelope"], int, int]]:
    """The pieces of ``data`` under the command's framing rules: each one's
    kind and its byte range ``(start, end)``."""

def next_message_start(data: Buffer | str, pos: int) -> int:
    """Where the next message or envelope line (in an MLLP capture, block)
    begins at or after ``pos``, or ``len(data)``.  ``data`` is the whole
    input; the ranges between such places frame exactly as the whole does."""

def validate(text: Buffer | str, rules: Literal["standard", "seed"] = "standard", strict: bool = False) -> None:
    """Check one message with one of the command's rule sets; raises
    ``Exception`` with the rule's text when it fails."""

def to_arrow(
    data: Buffer | str,
    *,
    source: str = "",
    base_offset: int = 0,
    base_index: int = 0,
    escaping: bool = True,
    validate: Literal["standard", "seed"] | None = None,
    strict: bool = False,
) -> MessageBatch:
    """The messages framed in ``data`` as one Arrow record batch, one row per
    message.  ``base_offset`` and ``base_index`` are added to each row's
    ``offset`` and ``index`` (where ``data`` lies in its file); with
    ``validate`` each message is first checked with that rule set
    (``strict`` as in ``validate``), and one that fails is a row with an
    ``error`` and null ``segments``."""

def from_arrow(table_or_stream: _ArrowStream | _ArrowArray, *, escaping: bool = True) -> bytes:
    """The messages of a ``segments`` column (``list<map<utf8, utf8>>``) back
    as HL7 text, one line per record, each line ended by ``"\\n"``; rows
    whose ``segments`` are null are left out.  Raises ``ValueError`` when the
    data has no such column."""
