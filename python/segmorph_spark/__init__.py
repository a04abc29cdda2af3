"""A Spark data source for HL7 v2 files, format ``"hl7"``.

    import segmorph_spark
    segmorph_spark.register(spark)
    df = spark.read.format("hl7").load("/data/hl7")

Reading gives one row per message with the columns of
``segmorph_batch.to_arrow``; files larger than ``splitSize`` are cut into
byte ranges at message starts, so one file is read by several tasks.  The
rows reach Spark as Arrow batches built in C++, never as Python objects.
Writing (``df.write.format("hl7").mode("overwrite").save(path)``) gives one
HL7 file per partition from the ``segments`` column.

Options: ``validate`` (``standard``, ``seed`` or ``none``, the default),
``strict`` and ``escaping`` (``true``/``false``), ``splitSize`` (bytes,
default 128 MB).  Paths are local (or ``file:``) paths that every executor
can read, such as a shared mount.
"""

from __future__ import annotations

import mmap
import os
import uuid
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from pyspark.sql.datasource import (
    DataSource,
    DataSourceArrowWriter,
    DataSourceReader,
    InputPartition,
    WriterCommitMessage,
)

import segmorph_batch

if TYPE_CHECKING:
    import pyarrow  # type: ignore[import-untyped]
    from pyspark.sql import SparkSession
    from pyspark.sql.types import StructType

__all__ = ["HL7DataSource", "register", "SCHEMA"]

SCHEMA = (
    "source string, offset bigint, index bigint, message_type string, control_id string, "
    "segments array<map<string, string>>, error string"
)

DEFAULT_SPLIT_SIZE = 128 * 1024 * 1024
# A split is converted in pieces of about this size, so Spark takes in one
# batch while the next is built and memory stays bounded by the piece.
_PIECE_SIZE = 16 * 1024 * 1024


def register(spark: SparkSession) -> None:
    """Make the format ``"hl7"`` known to ``spark``."""
    spark.dataSource.register(HL7DataSource)


def _flag(options: dict[str, str], name: str, default: bool) -> bool:
    value = options.get(name)
    if value is None:
        return default
    text = str(value).strip().lower()
    if text in ("true", "1", "yes"):
        return True
    if text in ("false", "0", "no"):
        return False
    raise ValueError(f"option {name}: expected true or false, not {value!r}")


def _options(options: Any) -> dict[str, str]:
    """Spark's option names ignore case: they are looked up in lower case."""
    return {str(k).lower(): str(v) for k, v in dict(options).items()}


def _local_path(path: str) -> str:
    return path[len("file:") :].replace("///", "/", 1) if path.startswith("file:") else path


def _is_hl7(path: str) -> bool:
    """Whether a file's first bytes, past a byte-order mark and white space,
    are those of HL7: an MSH, FHS or BHS segment or an MLLP block."""
    try:
        with open(path, "rb") as f:
            head = f.read(64 * 1024)
    except OSError:
        return True  # reading it reports why
    head = head.removeprefix(b"\xef\xbb\xbf").lstrip(b" \t\r\n\f")
    return head[:1] == b"\x0b" or head[:3] in (b"MSH", b"FHS", b"BHS")


def _files(root: str) -> list[str]:
    """The files the command reads for ``root``: the file itself, or the
    files under the directory whose content is HL7, whatever their names,
    in byte order of their names; hidden names (".") and links to
    directories are left out, as are FIFOs, sockets and devices."""
    if os.path.isfile(root):
        return [root]
    if not os.path.isdir(root):
        raise FileNotFoundError(f"hl7: no such file or directory: {root}")
    found = []

    def walk(folder: str) -> None:
        for name in sorted(os.listdir(folder), key=os.fsencode):
            path = os.path.join(folder, name)
            if name.startswith("."):
                continue
            if os.path.isdir(path):
                if not os.path.islink(path):
                    walk(path)
            elif os.path.isfile(path) and _is_hl7(path):
                found.append(path)

    walk(root)
    return found


@dataclass(frozen=True)
class _Range:
    path: str
    start: int  # nominal: the messages that begin in [start, end) are this range's
    end: int
    size: int


class _Split(InputPartition):
    def __init__(self, ranges: list[_Range]) -> None:
        super().__init__(ranges)
        self.ranges = ranges


def plan_splits(paths: Sequence[str], split_size: int) -> list[list[_Range]]:
    """Byte ranges of the files, grouped into splits of about ``split_size``:
    a larger file is cut into several ranges, smaller files share a split."""
    splits: list[list[_Range]] = []
    current: list[_Range] = []
    current_bytes = 0
    for path in paths:
        size = os.path.getsize(path)
        for start in range(0, max(size, 1), split_size):
            piece = _Range(path, start, min(start + split_size, size), size)
            if current and current_bytes + (piece.end - piece.start) > split_size:
                splits.append(current)
                current, current_bytes = [], 0
            current.append(piece)
            current_bytes += piece.end - piece.start
    if current:
        splits.append(current)
    return splits


def read_range(piece: _Range, options: dict[str, Any]) -> Iterator[segmorph_batch.MessageBatch]:
    """The messages that begin in the range, as batches of about _PIECE_SIZE."""
    if piece.size == 0:
        return
    with open(piece.path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        view = memoryview(mapped)
        try:
            start = segmorph_batch.next_message_start(view, piece.start)
            end = piece.size if piece.end >= piece.size else segmorph_batch.next_message_start(view, piece.end)
            index = 0
            while start < end:
                stop = end if end - start <= _PIECE_SIZE else segmorph_batch.next_message_start(view, start + _PIECE_SIZE)
                stop = min(stop, end)
                batch = segmorph_batch.to_arrow(
                    view[start:stop], source=piece.path, base_offset=start, base_index=index, **options
                )
                index += len(batch)
                yield batch
                start = stop
        finally:
            view.release()


class _Reader(DataSourceReader):
    def __init__(self, options: dict[str, str]) -> None:
        root = options.get("path")
        if not root:
            raise ValueError("hl7: give a path to load")
        self.root = _local_path(root)
        try:
            self.split_size = int(options.get("splitsize", DEFAULT_SPLIT_SIZE))
        except ValueError:
            raise ValueError(f"option splitSize: expected a number of bytes, not {options['splitsize']!r}") from None
        if self.split_size <= 0:
            raise ValueError("option splitSize: must be a positive number of bytes")
        rules = str(options.get("validate", "none")).lower()
        if rules not in ("none", "standard", "seed"):
            raise ValueError(f"option validate: expected standard, seed or none, not {rules!r}")
        self.convert = {
            "escaping": _flag(options, "escaping", True),
            "validate": None if rules == "none" else rules,
            "strict": _flag(options, "strict", False),
        }

    def partitions(self) -> Sequence[InputPartition]:
        return [_Split(ranges) for ranges in plan_splits(_files(self.root), self.split_size)]

    def read(self, partition: InputPartition) -> Iterator[pyarrow.RecordBatch]:
        import pyarrow

        assert isinstance(partition, _Split)
        for piece in partition.ranges:
            for batch in read_range(piece, self.convert):
                yield pyarrow.record_batch(batch)


class _CommitMessage(WriterCommitMessage):
    def __init__(self, path: str | None) -> None:
        self.path = path


class _Writer(DataSourceArrowWriter):
    def __init__(self, options: dict[str, str], overwrite: bool) -> None:
        root = options.get("path")
        if not root:
            raise ValueError("hl7: give a path to save to")
        self.root = _local_path(root)
        self.escaping = _flag(options, "escaping", True)
        if overwrite and os.path.isdir(self.root):
            for name in os.listdir(self.root):
                if name.endswith(".hl7") or name == "_SUCCESS":
                    os.remove(os.path.join(self.root, name))
        os.makedirs(self.root, exist_ok=True)

    def write(self, iterator: Iterator[pyarrow.RecordBatch]) -> _CommitMessage:
        from pyspark import TaskContext

        context = TaskContext.get()
        partition = context.partitionId() if context is not None else 0
        path = os.path.join(self.root, f"part-{partition:05d}-{uuid.uuid4().hex}.hl7")
        written = False
        with open(path + ".tmp", "wb") as out:
            for batch in iterator:
                text = segmorph_batch.from_arrow(batch, escaping=self.escaping)
                out.write(text)
                written = written or bool(text)
        if not written:
            os.remove(path + ".tmp")
            return _CommitMessage(None)
        os.replace(path + ".tmp", path)
        return _CommitMessage(path)

    def commit(self, messages: list[WriterCommitMessage | None]) -> None:
        with open(os.path.join(self.root, "_SUCCESS"), "wb"):
            pass

    def abort(self, messages: list[WriterCommitMessage | None]) -> None:
        for message in messages:
            if isinstance(message, _CommitMessage) and message.path is not None and os.path.exists(message.path):
                os.remove(message.path)


class HL7DataSource(DataSource):
    """The ``"hl7"`` format: HL7 v2 files in, one row per message."""

    @classmethod
    def name(cls) -> str:
        return "hl7"

    def schema(self) -> str:
        return SCHEMA

    def reader(self, schema: StructType) -> DataSourceReader:
        return _Reader(_options(self.options))

    def writer(self, schema: StructType, overwrite: bool) -> DataSourceArrowWriter:
        return _Writer(_options(self.options), overwrite)
