"""Type-checked with mypy --strict by the test script: a typical use of
segmorph_batch must need no casts or ignores."""

import segmorph_batch


def round_trip(data: bytes) -> bytes:
    batch = segmorph_batch.to_arrow(data, source="feed.hl7", validate="standard", strict=False)
    rows: int = len(batch)
    assert rows >= 0
    for kind, start, end in segmorph_batch.frame(data):
        if kind == "message":
            segmorph_batch.validate(data[start:end], "seed")
    cut: int = segmorph_batch.next_message_start(memoryview(data), len(data) // 2)
    assert cut <= len(data)
    return segmorph_batch.from_arrow(batch, escaping=False)


def lake(data: bytes, folder: str) -> tuple[int, bytes]:
    files: list[str] = [p for p in segmorph_batch.list_files(folder, hidden=False) if not segmorph_batch.is_hidden(p)]
    assert all(segmorph_batch.is_hl7(open(p, "rb").read(4096), complete=False) for p in files)
    batch = segmorph_batch.to_arrow(data, layout="fields", encoding="latin-1", start=0, stop=len(data) // 2,
                                    corrupt_record_column="_corrupt_record")
    after: bytes = batch.envelope_after
    rest = segmorph_batch.to_arrow(data, start=len(data) // 2, envelope=after)
    return len(rest) + segmorph_batch.parse_size("64MB"), segmorph_batch.from_arrow(rest, escape="minimal")
