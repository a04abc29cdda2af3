"""HL7 v2 files as a Dask DataFrame, through fsspec (local paths, s3://,
gs://, abfs://, memory://, globs)::

    import segmorph_dask
    df = segmorph_dask.read_hl7("s3://lake/hl7/**", mode="DROPMALFORMED")

Each partition is one Arrow batch built in C++ by ``segmorph_batch.to_arrow``
(Arrow-backed pandas columns, no Python object per value), with the columns
and options of ``segmorph_spark.read``.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import segmorph_batch
from _segmorph_lake import ReadOptions, apply_mode, read_options

if TYPE_CHECKING:
    import dask.dataframe  # type: ignore[import-untyped]

__all__ = ["read_hl7"]

DEFAULT_SPLIT_SIZE = 128 * 1024 * 1024
_HEAD = 64 * 1024  # the bytes that decide what a file holds
_PROBE = 1024 * 1024  # read past a range's end this much at a time to find the next message


@dataclass(frozen=True)
class _Part:
    path: str
    start: int
    end: int
    size: int


def _files(fs: Any, paths: Sequence[str], hidden: bool) -> list[str]:
    """The files the command reads for each path: a file as it is; below a
    folder, the files whose content is HL7 (gzip or not), not hidden ones,
    in byte order of their names."""
    found: list[str] = []
    for path in paths:
        if not fs.isdir(path):
            found.append(path)
            continue
        root = path.rstrip("/")
        below = sorted(fs.find(root), key=lambda p: p.encode())
        for file in below:
            relative = file[len(root):].lstrip("/")
            if not hidden and segmorph_batch.is_hidden(relative):
                continue
            with fs.open(file, "rb") as f:
                head = f.read(_HEAD)
            if segmorph_batch.is_hl7(head, complete=len(head) < _HEAD):
                found.append(file)
    return found


def _parts(fs: Any, files: list[str], split_size: int) -> list[_Part]:
    parts = []
    for path in files:
        size = fs.size(path)
        with fs.open(path, "rb") as f:
            gzip = f.read(3) == b"\x1f\x8b\x08"
        step = max(size, 1) if gzip else split_size  # a gzip file is read whole
        parts += [_Part(path, start, min(start + step, size), size) for start in range(0, max(size, 1), step)]
    return parts


def _message_start(fs: Any, part: _Part, pos: int, head: bytes) -> int:
    """The file offset of the first message starting at or after ``pos``, by
    the command's framing (``next_message_start``), reading only around it:
    the file's head (which decides an MLLP capture) followed by the bytes
    from ``pos - 1`` on (so the byte before ``pos`` is the file's own)."""
    if pos <= 0:
        return 0
    if pos >= part.size:
        return part.size
    window = b""
    while True:
        window += fs.cat_file(part.path, pos - 1 + len(window), min(part.size, pos - 1 + len(window) + _PROBE))
        data = head + window
        found = segmorph_batch.next_message_start(data, len(head) + 1)
        if found < len(data) or pos - 1 + len(window) >= part.size:
            return pos - 1 + found - len(head)


def _read_part(part: _Part, source: str, fs: Any, options: ReadOptions) -> Any:
    import pandas as pd
    import pyarrow

    if part.start == 0 and part.end >= part.size:
        data = fs.cat_file(part.path)
        batch = segmorph_batch.to_arrow(data, source=source, **options.to_arrow_keywords())
    else:
        head = fs.cat_file(part.path, 0, min(part.size, _HEAD))
        start = _message_start(fs, part, part.start, head)
        stop = _message_start(fs, part, part.end, head)
        data = fs.cat_file(part.path, start, stop) if stop > start else b""
        batch = segmorph_batch.to_arrow(data, source=source, base_offset=start, ends_input=stop >= part.size,
                                        **options.to_arrow_keywords())
    rows = pyarrow.record_batch(batch)
    if options.layout == "messages":
        rows = rows.drop_columns(["index"])
    rows = apply_mode(rows, options)
    return rows.to_pandas(types_mapper=pd.ArrowDtype)


def read_hl7(urlpath: str | Sequence[str], *, storage_options: dict[str, Any] | None = None,
             hidden: bool = False, **options: Any) -> dask.dataframe.DataFrame:
    """HL7 files as a Dask DataFrame: files (a path, folder, glob or list of
    them, anything fsspec opens) chosen as the command chooses them, larger
    files than ``splitSize`` (default 128 MB; "64MB" and the like) cut at
    message starts, one Arrow batch per partition.  The options of
    ``segmorph_spark.read``: ``mode``, ``columnNameOfCorruptRecord``,
    ``layout``, ``validate``, ``strict``, ``escaping``, ``encoding``;
    unknown options are errors.  Ranges of a cut file carry no envelope
    columns for messages whose FHS/BHS lies in an earlier range."""
    import dask.dataframe as dd
    import fsspec
    import pandas as pd
    import pyarrow

    checked = read_options(options, extra=("splitsize",))
    split_size = checked.split_size or DEFAULT_SPLIT_SIZE
    fs, _, paths = fsspec.core.get_fs_token_paths(urlpath, storage_options=storage_options)
    protocol = fs.protocol if isinstance(fs.protocol, str) else fs.protocol[0]
    files = _files(fs, paths, hidden)
    if not files:
        raise FileNotFoundError(f"hl7: no HL7 files at {urlpath!r}")
    parts = _parts(fs, files, split_size)
    meta = pyarrow.record_batch(segmorph_batch.to_arrow(b"", **checked.to_arrow_keywords()))
    if checked.layout == "messages":
        meta = meta.drop_columns(["index"])
    empty = meta.to_pandas(types_mapper=pd.ArrowDtype)
    # Paths come back from fsspec without their protocol: rows name the file
    # as the user would open it again.
    sources = [p.path if protocol in ("file", "local") else f"{protocol}://{p.path}" for p in parts]
    return dd.from_map(_read_part, parts, sources, fs=fs, options=checked, meta=empty, enforce_metadata=False)
