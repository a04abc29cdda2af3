"""The options every segmorph reader takes (Spark's two, Dask's), checked
in one place so that the same option means the same thing in each."""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from typing import Any

import segmorph_batch

MODES = ("PERMISSIVE", "DROPMALFORMED", "FAILFAST")
LAYOUTS = ("messages", "fields")

# Options of Spark's own file sources, handed to the binaryFile source that
# lists and reads the files for read() and read_stream().
SPARK_FILE_OPTIONS = {
    "pathglobfilter": "pathGlobFilter",
    "recursivefilelookup": "recursiveFileLookup",
    "modifiedbefore": "modifiedBefore",
    "modifiedafter": "modifiedAfter",
    "basepath": "basePath",
    "ignorecorruptfiles": "ignoreCorruptFiles",
    "ignoremissingfiles": "ignoreMissingFiles",
}
SPARK_STREAM_OPTIONS = {
    "maxfilespertrigger": "maxFilesPerTrigger",
    "maxbytespertrigger": "maxBytesPerTrigger",
    "latestfirst": "latestFirst",
    "filenameonly": "fileNameOnly",
    "maxfileage": "maxFileAge",
    "cleansource": "cleanSource",
    "sourcearchivedir": "sourceArchiveDir",
}


def flag(options: Mapping[str, str], name: str, default: bool) -> bool:
    value = options.get(name)
    if value is None:
        return default
    text = str(value).strip().lower()
    if text in ("true", "1", "yes"):
        return True
    if text in ("false", "0", "no"):
        return False
    raise ValueError(f"option {name}: expected true or false, not {value!r}")


def lower_keys(options: Mapping[str, Any]) -> dict[str, str]:
    """Spark's option names ignore case: they are looked up in lower case.
    Python values are written as Spark writes them (True as "true")."""
    out = {}
    for key, value in dict(options).items():
        text = str(value).lower() if isinstance(value, bool) else str(value)
        out[str(key).lower()] = text
    return out


@dataclass(frozen=True)
class ReadOptions:
    """What a reader was asked for, checked."""

    convert: dict[str, Any]  # keywords of segmorph_batch.to_arrow
    layout: str = "messages"
    mode: str = "PERMISSIVE"
    corrupt_column: str = "_corrupt_record"
    split_size: int | None = None
    passed: dict[str, str] = field(default_factory=dict)  # Spark's own file-source options

    @property
    def keeps_corrupt(self) -> bool:
        return self.mode == "PERMISSIVE"

    def to_arrow_keywords(self) -> dict[str, Any]:
        keywords = dict(self.convert, layout=self.layout)
        if self.keeps_corrupt:
            keywords["corrupt_record_column"] = self.corrupt_column
        return keywords

    def schema(self) -> str:
        """The rows' columns as a Spark DDL string."""
        if self.layout == "fields":
            ddl = ("source string, offset bigint, segment bigint, segment_name string, field bigint, "
                   "repetition bigint, component bigint, value string, error string")
        else:
            ddl = ("source string, offset bigint, message_type string, control_id string, "
                   "file_control_id string, batch_control_id string, segments array<map<string, string>>, "
                   "error string")
        if self.keeps_corrupt:
            ddl += f", `{self.corrupt_column.replace('`', '``')}` string"
        return ddl


def read_options(given: Mapping[str, Any], *, extra: Iterable[str] = (), passed: Mapping[str, str] = {}) -> ReadOptions:
    """Checks the options of a reader: those of the conversion, those named
    in ``extra`` (the reader's own, returned as they are in ``passed``) and
    the Spark file-source options in ``passed``.  An option that none of
    them knows is an error, never ignored."""
    options = lower_keys(given)
    rules = options.pop("validate", "none").lower()
    if rules not in ("none", "standard", "seed"):
        raise ValueError(f"option validate: expected standard, seed or none, not {rules!r}")
    encoding = options.pop("encoding", "auto")
    layout = options.pop("layout", "messages").lower()
    if layout not in LAYOUTS:
        raise ValueError(f"option layout: expected messages or fields, not {layout!r}")
    mode = options.pop("mode", "PERMISSIVE").upper()
    if mode not in MODES:
        raise ValueError(f"option mode: expected PERMISSIVE, DROPMALFORMED or FAILFAST, not {mode!r}")
    corrupt = options.pop("columnnameofcorruptrecord", "_corrupt_record")
    if not corrupt:
        raise ValueError("option columnNameOfCorruptRecord: give a column name")
    convert: dict[str, Any] = {
        "escaping": flag(options, "escaping", True),
        "validate": None if rules == "none" else rules,
        "strict": flag(options, "strict", False),
        "encoding": encoding,
    }
    options.pop("escaping", None)
    options.pop("strict", None)
    try:
        segmorph_batch.to_arrow(b"", encoding=encoding)
    except ValueError as error:
        raise ValueError(f"option encoding: {error}") from None
    split_size = None
    if "splitsize" in options and "splitsize" in extra:
        try:
            split_size = segmorph_batch.parse_size(options.pop("splitsize"))
        except ValueError as error:
            raise ValueError(f"option splitSize: {error}") from None
    kept = {}
    for name in list(options):
        if name in passed:
            kept[passed[name]] = options.pop(name)
        elif name in extra:
            options.pop(name)
    if options:
        names = ", ".join(sorted(options))
        raise ValueError(f"unknown option{'s' if len(options) > 1 else ''}: {names}")
    return ReadOptions(convert, layout, mode, corrupt, split_size, kept)


def apply_mode(batch: Any, options: ReadOptions) -> Any:
    """A pyarrow RecordBatch of a reader's rows as ``mode`` wants it:
    failed rows kept (PERMISSIVE), dropped (DROPMALFORMED) or the read
    failing with the first one's place and reason (FAILFAST)."""
    import pyarrow.compute as pc

    if options.mode == "PERMISSIVE" or batch.num_rows == 0:
        return batch
    failed = pc.is_valid(batch.column("error"))
    if options.mode == "DROPMALFORMED":
        return batch.filter(pc.invert(failed)) if pc.any(failed).as_py() else batch
    first = pc.index(failed, True).as_py()
    if first >= 0:
        row = batch.slice(first, 1).to_pylist()[0]
        raise ValueError(f"hl7 (mode FAILFAST): {row['source']} at offset {row['offset']}: {row['error']}")
    return batch
