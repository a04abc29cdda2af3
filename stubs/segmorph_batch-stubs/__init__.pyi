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

__all__ = [
    "MessageBatch",
    "frame",
    "next_message_start",
    "validate",
    "to_arrow",
    "parse",
    "from_arrow",
    "is_hl7",
    "is_hidden",
    "list_files",
    "parse_size",
]

@type_check_only
class _ArrowStream(Protocol):
    def __arrow_c_stream__(self, requested_schema: object | None = None, /) -> object: ...

@type_check_only
class _ArrowArray(Protocol):
    def __arrow_c_array__(self, requested_schema: object | None = None, /) -> tuple[object, object]: ...

@final
class MessageBatch:
    """One record batch of messages, with the columns ``source``, ``offset``,
    ``index``, ``message_type``, ``control_id``, ``file_control_id``,
    ``batch_control_id``, ``segments`` (``list<map<utf8, utf8>>``) and
    ``error`` (or, in the field layout, one row per value).  Made by
    ``to_arrow`` and ``parse`` only."""

    @property
    def envelope_after(self) -> bytes:
        """The FHS and BHS lines still open where the batch's text ends: pass
        it as ``to_arrow``'s ``envelope=`` to read on from there."""
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
    encoding: Literal["auto", "utf-8", "latin-1", "cp1252"] | str | None = "auto",
    layout: Literal["messages", "fields"] = "messages",
    start: int = 0,
    stop: int | None = None,
    envelope: Buffer | str | None = None,
    ends_input: bool = True,
    corrupt_record_column: str | None = None,
) -> MessageBatch:
    """The messages framed in ``data`` as one Arrow record batch; gzip data
    is inflated first (offsets are then the text's).

    ``layout="messages"``: one row per message; ``layout="fields"``: one row
    per value (``source``, ``offset``, ``segment``, ``segment_name``,
    ``field``, ``repetition``, ``component``, ``value``, ``error``) in HL7's
    numbering.  ``base_offset`` and ``base_index`` are added to each row's
    ``offset`` and ``index``; with ``validate`` each message is first
    checked with that rule set.  A failed message (rules, bytes not in the
    ``encoding``, an MLLP capture cut inside its last block when
    ``ends_input``) is a row with an ``error``, its text in the column
    ``corrupt_record_column`` names.  ``start``/``stop`` read only the
    messages that begin in that byte range of ``data`` (the whole file);
    ``envelope`` is a previous batch's ``envelope_after``."""

def parse(
    column: _ArrowArray,
    *,
    escaping: bool = True,
    validate: Literal["standard", "seed"] | None = None,
    strict: bool = False,
    encoding: Literal["auto", "utf-8", "latin-1", "cp1252"] | str | None = "auto",
    corrupt_record_column: str | None = None,
) -> MessageBatch:
    """The rows of a column of message texts (strings or binary values, one
    message each), one row per value in the message layout."""

def from_arrow(
    table_or_stream: _ArrowStream | _ArrowArray,
    *,
    escape: Literal["minimal", "full", "none"] = "minimal",
    escaping: bool | None = None,
) -> bytes:
    """The messages of a ``segments`` column (``list<map<utf8, utf8>>``) back
    as HL7 text, one line per record, each line ended by ``"\\n"``; rows
    whose ``segments`` are null are left out.  ``escape`` as the command's
    ``to-hl7 --escape``; the older ``escaping=True/False`` means full/none.
    Raises ``ValueError`` when the data has no such column."""

def is_hl7(head: Buffer | str, complete: bool = True) -> bool:
    """Whether a file whose first bytes are ``head`` is one the command
    reads from a folder (HL7 content, gzip or not)."""

def is_hidden(relative_path: str) -> bool:
    """Whether a path below a folder is one the command leaves out as
    hidden: one of its names starts with "."."""

def list_files(path: str, *, hidden: bool = False) -> list[str]:
    """The files the command reads for a local path."""

def parse_size(text: str | int) -> int:
    """A size in bytes as Spark and the command write it (64MB, 128m, 1g)."""
