"""HL7 v2 files in Spark: readers, field access, a text-column parser and a
writer, all converting in C++ (``segmorph_batch``) and handing Spark Arrow
batches, never Python objects per value.

Reading, with Spark's own file layer (every filesystem the cluster knows:
s3a, abfss, gs, hdfs, file; globs, lists of paths, partition folders)::

    import segmorph_spark
    df = segmorph_spark.read(spark, "s3a://lake/hl7/*/", mode="DROPMALFORMED")
    stream = segmorph_spark.read_stream(spark, "s3a://lake/incoming/")

or, for local and shared-mount paths, the ``"hl7"`` format, which cuts large
files into splits read by several tasks::

    segmorph_spark.register(spark)
    df = spark.read.format("hl7").load("/mnt/hl7")

Both give the same rows for the same files.  Fields by HL7's numbering:
``df.select(segmorph_spark.field("PID-3.1"), segmorph_spark.fields("OBX-5"))``;
a column of message texts (Kafka's ``value``): ``segmorph_spark.parse(col)``.
"""

from __future__ import annotations

import json
import mmap
import os
import uuid
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal

from pyspark.sql import Column
from pyspark.sql import functions as F
from pyspark.sql.datasource import (
    DataSource,
    DataSourceArrowWriter,
    DataSourceReader,
    DataSourceStreamReader,
    InputPartition,
    WriterCommitMessage,
)

import segmorph_batch

from _segmorph_lake import SPARK_FILE_OPTIONS, SPARK_STREAM_OPTIONS, ReadOptions, apply_mode, flag, lower_keys, read_options

if TYPE_CHECKING:
    import pyarrow  # type: ignore[import-untyped]
    from pyspark.sql import DataFrame, SparkSession
    from pyspark.sql.types import StructType

__all__ = ["HL7DataSource", "register", "read", "read_stream", "field", "fields", "parse", "SCHEMA"]

SCHEMA = read_options({}).schema()

# Spark's defaults for its file sources: a partition holds about this much,
# and a file costs as much as this many bytes to open.
DEFAULT_SPLIT_SIZE = 128 * 1024 * 1024
_OPEN_COST = 4 * 1024 * 1024
# A split is converted in pieces of about this size, so Spark takes in one
# batch while the next is built and memory stays bounded by the piece.
_PIECE_SIZE = 16 * 1024 * 1024


def register(spark: SparkSession) -> None:
    """Make the format ``"hl7"`` known to ``spark`` (local and shared-mount
    paths; ``read`` reaches every filesystem Spark has)."""
    spark.dataSource.register(HL7DataSource)


# ---------------------------------------------------------------- conversion


def _rows(data: Any, source: str, options: ReadOptions, **where: Any) -> pyarrow.RecordBatch:
    """The rows of ``data`` (the bytes of one file, or a range of it) as the
    readers give them: to_arrow's, without ``index`` (not a key once files
    are cut), failed rows as ``mode`` says."""
    return _tidy(segmorph_batch.to_arrow(data, source=source, **where, **options.to_arrow_keywords()), options)


def _convert_files(options: ReadOptions, partition_columns: list[str]) -> Any:
    """The mapInArrow function: batches of Spark's binaryFile rows (path,
    modificationTime, length, content, partition columns) in, the rows of
    the files whose content is HL7 out, one batch per file."""

    def convert(batches: Iterator[pyarrow.RecordBatch]) -> Iterator[pyarrow.RecordBatch]:
        import pyarrow

        for files in batches:
            paths = files.column("path")
            contents = files.column("content")
            for i in range(files.num_rows):
                content = contents[i].as_buffer()
                # Chosen by content, as the command chooses files in a folder.
                if content is None or not segmorph_batch.is_hl7(content):
                    continue
                source = paths[i].as_py()
                # A large file is converted a piece at a time, so that the
                # batches handed to Spark stay small whatever the file.
                pieces = ([_rows(content, source, options)] if len(content) <= _PIECE_SIZE or _is_gzip_data(content)
                          else _pieces(memoryview(content), source, options, 0, len(content)))
                for rows in pieces:
                    if partition_columns:
                        values = [pyarrow.repeat(files.column(name)[i], rows.num_rows) for name in partition_columns]
                        rows = pyarrow.RecordBatch.from_arrays(
                            rows.columns + values, names=rows.schema.names + partition_columns)
                    yield rows

    return convert


# The columns of Spark's binaryFile source, which a stream must be given.
_BINARY_FILE = "path string, modificationTime timestamp, length bigint, content binary"


def _binary_files(spark: SparkSession, stream: bool, paths: Any, options: dict[str, Any]) -> tuple[DataFrame, ReadOptions]:
    passed = dict(SPARK_FILE_OPTIONS, **(SPARK_STREAM_OPTIONS if stream else {}))
    checked = read_options(options, passed=passed)
    source = spark.readStream.format("binaryFile").schema(_BINARY_FILE) if stream else spark.read.format("binaryFile")
    for name, value in checked.passed.items():
        source = source.option(name, value)
    return source.load(paths), checked


def _as_rows(files: DataFrame, options: ReadOptions) -> DataFrame:
    standard = {"path", "modificationTime", "length", "content"}
    partition_columns = [f.name for f in files.schema.fields if f.name not in standard]
    ddl = options.schema()
    for f in files.schema.fields:
        if f.name in partition_columns:
            ddl += f", `{f.name.replace('`', '``')}` {f.dataType.simpleString()}"
    return files.mapInArrow(_convert_files(options, partition_columns), ddl)


def read(spark: SparkSession, path_or_paths: str | Sequence[str], **options: Any) -> DataFrame:
    """HL7 files as a DataFrame, listed and read by Spark's own file layer:
    every filesystem the cluster has configured, globs, a list of paths,
    partition columns from ``key=value`` folders, and Spark's file-source
    options ``pathGlobFilter``, ``recursiveFileLookup``, ``modifiedBefore``,
    ``modifiedAfter``, ``basePath``, ``ignoreCorruptFiles``,
    ``ignoreMissingFiles``.  Files whose content is not HL7 (gzip or not)
    give no rows.  A file is read whole (up to Spark's 2 GiB per file).

    Options: ``mode`` (``PERMISSIVE``: failed messages are rows with
    ``error`` and their text in ``columnNameOfCorruptRecord``, default
    ``_corrupt_record``; ``DROPMALFORMED``; ``FAILFAST``: the read fails
    naming the file and offset), ``layout`` (``messages``, one row per
    message; ``fields``, one row per value), ``validate`` (``standard``,
    ``seed``, ``none``), ``strict``, ``escaping``, ``encoding`` (``auto``,
    ``utf-8``, ``latin-1``, ``cp1252``).  Unknown options are errors."""
    paths = [path_or_paths] if isinstance(path_or_paths, str) else list(path_or_paths)
    if not paths:
        raise ValueError("hl7: give a path to read")
    files, checked = _binary_files(spark, False, paths, options)
    return _as_rows(files, checked)


def read_stream(spark: SparkSession, path: str, **options: Any) -> DataFrame:
    """A streaming DataFrame of the HL7 files that arrive in a folder (or
    glob): each new file becomes new rows, as Spark's file streams do.  The
    options of ``read``, and Spark's file-stream options
    (``maxFilesPerTrigger``, ``maxBytesPerTrigger``, ``latestFirst``,
    ``fileNameOnly``, ``maxFileAge``, ``cleanSource``, ``sourceArchiveDir``)."""
    files, checked = _binary_files(spark, True, path, options)
    return _as_rows(files, checked)


# ------------------------------------------------------------ field access


def _spec(spec: str) -> tuple[str, int, int | None]:
    """"PID-3.1" as ("PID", 3, 1); "OBX-5" as ("OBX", 5, None)."""
    name, dash, rest = spec.partition("-")
    parts = rest.split(".")
    if (not dash or len(name) != 3 or not name.isalnum() or not name.isupper() or len(parts) > 2
            or not all(p.isdigit() and int(p) > 0 for p in parts)):
        raise ValueError(f"field {spec!r}: expected SEG-F or SEG-F.C, as PID-3 or PID-3.1 (numbers from 1; "
                         "subcomponents are part of a component's value)")
    if name == "MSH" and parts[0] == "1":
        raise ValueError("field MSH-1 is the field separator, not a value of the records")
    return name, int(parts[0]), int(parts[1]) if len(parts) == 2 else None


def _number(key: Column, pattern: str, default: int) -> Column:
    found = F.regexp_extract(key, pattern, 1)
    return F.when(found == "", F.lit(default)).otherwise(found.cast("int"))


def _field_values(spec: str, segments: Column) -> Column:
    """The values of a field spec in every segment of that name, in order
    of segment and repetition: one per repetition (the component asked, or
    the repetition's components joined by "^")."""
    name, number, component = _spec(spec)
    key_field = number - 1 if name == "MSH" else number  # MSH's keys start at MSH-2
    # Keys take four shapes: 3, 3.1, 3[0], 3[0].1; a plain value is
    # repetition 1, component 1.
    if component is None:
        pattern = rf"^{key_field}(\[\d+\])?(\.\d+)?$"
    elif component == 1:
        pattern = rf"^{key_field}(\[\d+\])?(\.1)?$"
    else:
        pattern = rf"^{key_field}(\[\d+\])?\.{component}$"

    def rep(e: Column) -> Column:
        return _number(e["key"], r"\[(\d+)\]", 0)

    def comp(e: Column) -> Column:
        return _number(e["key"], r"\.(\d+)$", 1)

    def order(a: Column, b: Column) -> Column:
        by_rep = rep(a) - rep(b)
        return F.when(by_rep != 0, by_rep).otherwise(comp(a) - comp(b))

    def per_segment(s: Column) -> Column:
        entries = F.array_sort(F.filter(F.map_entries(s), lambda e: e["key"].rlike(pattern)), order)
        if component is not None:
            return F.transform(entries, lambda e: e["value"])
        reps = F.array_distinct(F.transform(entries, rep))
        return F.transform(reps, lambda r: F.array_join(
            F.transform(F.filter(entries, lambda e: rep(e) == r), lambda e: e["value"]), "^"))

    mine = F.filter(segments, lambda s: s["segment_name"] == F.lit(name))
    return F.flatten(F.transform(mine, per_segment))


def fields(spec: str, segments: str | Column = "segments") -> Column:
    """Every value of ``spec`` ("OBX-5", "PID-3.1": HL7's numbering, so
    MSH-9.1 is the message code) over the message's segments and
    repetitions, as an array<string>; a field without a component gives
    each repetition whole (components joined by "^").  A Spark SQL
    expression over the ``segments`` column, no Python UDF."""
    column = F.col(segments) if isinstance(segments, str) else segments
    return _field_values(spec, column).alias(spec)


def field(spec: str, segments: str | Column = "segments") -> Column:
    """The first value of ``spec`` ("PID-3.1") in the message, or null: the
    first element of ``fields(spec)``."""
    column = F.col(segments) if isinstance(segments, str) else segments
    return F.try_element_at(_field_values(spec, column), F.lit(1)).alias(spec)


# ---------------------------------------------------------------- parsing


def parse(column: str | Column, **options: Any) -> Column:
    """A column of HL7 message texts (string or binary: Kafka's ``value``, a
    table of raw messages) as a struct of the message columns
    (``message_type``, ``control_id``, ``file_control_id``,
    ``batch_control_id``, ``segments``, ``error``), one message per value,
    converted in C++ from Arrow batches.  Options: ``validate``, ``strict``,
    ``escaping``, ``encoding``, and ``columnNameOfCorruptRecord`` (the
    struct then holds each failed value's text under that name)."""
    lowered = lower_keys(options)
    corrupt = lowered.pop("columnnameofcorruptrecord", None)
    checked = read_options(lowered)
    keywords = dict(checked.convert)
    columns = [("message_type", "string"), ("control_id", "string"), ("file_control_id", "string"),
               ("batch_control_id", "string"), ("segments", "array<map<string, string>>"), ("error", "string")]
    if corrupt is not None:
        keywords["corrupt_record_column"] = corrupt
        columns.append((corrupt, "string"))
    names = [name for name, _ in columns]

    def convert(values: pyarrow.Array) -> pyarrow.Array:
        import pyarrow

        batch = pyarrow.record_batch(segmorph_batch.parse(values, **keywords))
        return pyarrow.StructArray.from_arrays([batch.column(n) for n in names], names=names)

    import pyarrow

    # Spark tells an Arrow UDF's kind by its type hints, which it needs as
    # types (this module's annotations are strings).
    convert.__annotations__ = {"values": pyarrow.Array, "return": pyarrow.Array}
    struct = "struct<" + ", ".join(f"`{n.replace('`', '``')}`: {t}" for n, t in columns) + ">"
    udf = F.arrow_udf(convert, struct)  # type: ignore[call-overload]  # the kind comes from the hints set above
    return udf(F.col(column) if isinstance(column, str) else column)


# ------------------------------------------------------ the "hl7" format


def _uri(path: str) -> str:
    """A local path as Spark's file layer names it (``file:/abs/path``), so
    that both readers give the same ``source``."""
    return "file:" + os.path.abspath(path)


def _local_path(path: str) -> str:
    return path[len("file:") :].replace("///", "/", 1) if path.startswith("file:") else path


@dataclass(frozen=True)
class _Range:
    path: str
    start: int  # nominal: the messages that begin in [start, end) are this range's
    end: int
    size: int
    whole: bool = False  # a gzip file: read whole, never cut


class _Split(InputPartition):
    def __init__(self, ranges: list[_Range]) -> None:
        super().__init__(ranges)
        self.ranges = ranges


def _is_gzip_data(head: Any) -> bool:
    return bytes(memoryview(head)[:3]) == b"\x1f\x8b\x08"


def _is_gzip(path: str) -> bool:
    with open(path, "rb") as f:
        return _is_gzip_data(f.read(3))


def split_size_for(sizes: Sequence[int], max_bytes: int, parallelism: int) -> int:
    """The bytes a split holds, as Spark sizes its own file sources: at
    most ``max_bytes`` (maxPartitionBytes), and small enough that the data
    fills ``parallelism`` tasks when it can (but no smaller than the cost
    of opening a file)."""
    total = sum(size + _OPEN_COST for size in sizes)
    return max(1, min(max_bytes, max(_OPEN_COST, total // max(1, parallelism))))


def plan_splits(paths: Sequence[str], split_size: int) -> list[list[_Range]]:
    """Byte ranges of the files, grouped into splits of about ``split_size``:
    a larger file is cut into several ranges (a gzip file never is), smaller
    files share a split."""
    splits: list[list[_Range]] = []
    current: list[_Range] = []
    current_bytes = 0
    for path in paths:
        size = os.path.getsize(path)
        whole = size > 0 and _is_gzip(path)
        step = max(size, 1) if whole else split_size
        for start in range(0, max(size, 1), step):
            piece = _Range(path, start, min(start + step, size), size, whole)
            if current and current_bytes + (piece.end - piece.start) > split_size:
                splits.append(current)
                current, current_bytes = [], 0
            current.append(piece)
            current_bytes += piece.end - piece.start + _OPEN_COST * (start == 0)
    if current:
        splits.append(current)
    return splits


def read_range(piece: _Range, options: ReadOptions) -> Iterator[pyarrow.RecordBatch]:
    """The rows of the messages that begin in the range, in batches of
    about _PIECE_SIZE; each piece carries on the envelope of the one before."""
    if piece.size == 0:
        return
    with open(piece.path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        view = memoryview(mapped)
        try:
            if piece.whole:
                yield _rows(view, _uri(piece.path), options)
            else:
                yield from _pieces(view, _uri(piece.path), options, piece.start, piece.end)
        finally:
            view.release()


def _pieces(view: Any, source: str, options: ReadOptions, start: int, end: int) -> Iterator[pyarrow.RecordBatch]:
    """The rows of the messages that begin in [start, end) of a whole file's
    bytes, one batch per _PIECE_SIZE or so, each piece carrying on the
    envelope of the one before (the first looks it up before ``start``)."""
    size = len(view)
    start = segmorph_batch.next_message_start(view, start)
    end = size if end >= size else segmorph_batch.next_message_start(view, end)
    envelope = None
    while start < end:
        stop = min(end, segmorph_batch.next_message_start(view, min(start + _PIECE_SIZE, end)))
        batch = segmorph_batch.to_arrow(view, source=source, start=start, stop=stop, envelope=envelope,
                                        **options.to_arrow_keywords())
        envelope = batch.envelope_after
        yield _tidy(batch, options)
        start = stop


def _tidy(batch: Any, options: ReadOptions) -> pyarrow.RecordBatch:
    import pyarrow

    rows = pyarrow.record_batch(batch)
    if options.layout == "messages":
        rows = rows.drop_columns(["index"])
    return apply_mode(rows, options)


class _Reader(DataSourceReader):
    def __init__(self, options: dict[str, str]) -> None:
        # load(path) gives "path"; load([a, b]) gives "paths", a JSON list.
        roots = [options.pop("path")] if options.get("path") else json.loads(options.pop("paths", "[]"))
        options.pop("path", None)
        if not roots:
            raise ValueError("hl7: give a path to load (segmorph_spark.read also takes globs)")
        self.roots = [_local_path(root) for root in roots]
        self.options = read_options(options, extra=("splitsize", "parallelism"))
        self.max_split = self.options.split_size or DEFAULT_SPLIT_SIZE
        try:
            self.parallelism = int(options.get("parallelism") or os.cpu_count() or 1)
        except ValueError:
            raise ValueError(f"option parallelism: expected a number, not {options['parallelism']!r}") from None

    def partitions(self) -> Sequence[InputPartition]:
        paths = [path for root in self.roots for path in segmorph_batch.list_files(root)]
        split = self.max_split if self.options.split_size else split_size_for(
            [os.path.getsize(p) for p in paths], self.max_split, self.parallelism)
        return [_Split(ranges) for ranges in plan_splits(paths, split)]

    def read(self, partition: InputPartition) -> Iterator[pyarrow.RecordBatch]:
        assert isinstance(partition, _Split)
        for piece in partition.ranges:
            yield from read_range(piece, self.options)


class _CommitMessage(WriterCommitMessage):
    def __init__(self, path: str | None) -> None:
        self.path = path


def _escape_mode(options: dict[str, str]) -> Literal["minimal", "full", "none"]:
    if "escape" in options:
        modes: dict[str, Literal["minimal", "full", "none"]] = {"minimal": "minimal", "full": "full", "none": "none"}
        if options["escape"].lower() in modes:
            return modes[options["escape"].lower()]
        raise ValueError(f"option escape: expected minimal, full or none, not {options['escape']!r}")
    if "escaping" in options:  # the older spelling
        return "full" if flag(options, "escaping", True) else "none"
    return "minimal"


class _Writer(DataSourceArrowWriter):
    def __init__(self, options: dict[str, str], overwrite: bool) -> None:
        root = options.pop("path", None)
        if not root:
            raise ValueError("hl7: give a path to save to")
        partitioned = options.pop("__partition_columns", None)
        if partitioned and json.loads(partitioned):
            raise ValueError("hl7: partitionBy is not supported: HL7 files have no partition columns; "
                             "write each group with its own save(path)")
        self.escape = _escape_mode(options)
        unknown = set(options) - {"escape", "escaping"}
        if unknown:
            raise ValueError(f"unknown option{'s' if len(unknown) > 1 else ''}: {', '.join(sorted(unknown))}")
        self.root = _local_path(root)
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
                text = segmorph_batch.from_arrow(batch, escape=self.escape)
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
    """The ``"hl7"`` format: HL7 v2 files of local or shared-mount paths in,
    one row per message (or per value with ``layout`` ``fields``), large
    files cut into splits; HL7 files out, one per partition."""

    @classmethod
    def name(cls) -> str:
        return "hl7"

    def schema(self) -> str:
        options = lower_keys(self.options)
        options.pop("path", None)
        options.pop("paths", None)
        return read_options(options, extra=("splitsize", "parallelism", "escape")).schema()

    def reader(self, schema: StructType) -> DataSourceReader:
        return _Reader(lower_keys(self.options))

    def streamReader(self, schema: StructType) -> DataSourceStreamReader:
        raise ValueError("hl7: the format cannot stream; use segmorph_spark.read_stream(spark, path, **options), "
                         "which reads new files through Spark's file stream")

    def writer(self, schema: StructType, overwrite: bool) -> DataSourceArrowWriter:
        return _Writer(lower_keys(self.options), overwrite)
