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
