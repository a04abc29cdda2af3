"""Key order of flattened records with many fields, repetitions and
components: indices of two and three digits order as texts ("10" < "2",
"3[10]" < "3[1]"), and lines of different shapes in one message each get
their own order (flattening remembers the order of each shape)."""

from hypothesis import given, settings, strategies as st

from conftest import Hl7Json, plain_record


def line_of(shape):
    """A segment line from [(repetitions, components), ...], one per field."""
    fields = []
    for f, (reps, comps) in enumerate(shape, 1):
        occurrence = "^".join(f"v{f}c{c}" for c in range(max(comps, 1)))
        fields.append("~".join(occurrence.replace("v", f"r{r}v") for r in range(reps)) if reps else occurrence)
    return "|".join(["ZZZ", *fields])


counts = st.one_of(st.integers(0, 3), st.integers(9, 12), st.integers(99, 102))
shapes = st.lists(st.tuples(counts, counts), max_size=12).flatmap(
    lambda head: st.integers(0, 110).map(lambda extra: head + [(0, 0)] * extra))


@settings(max_examples=60, deadline=None)
@given(st.lists(shapes, min_size=1, max_size=4))
def test_records_match_the_reference(message_shapes):
    lines = [line_of(shape) for shape in message_shapes]
    expected = [list(plain_record(line).items()) for line in lines]
    for escaping in (False, True):
        records = Hl7Json("\n".join(lines), escaping_enabled=escaping).hl7_json
        assert [list(r.items()) for r in records] == expected


def test_three_digit_indices():
    record = Hl7Json(line_of([(0, 0)] * 99 + [(101, 0), (0, 101)])).hl7_json[0]
    keys = list(record)
    assert keys == sorted(keys, key=str.encode)
    assert keys.index("100[0]") < keys.index("100[100]") < keys.index("100[10]") < keys.index("100[1]")
    assert keys.index("101.1") < keys.index("101.10") < keys.index("101.100") < keys.index("101.101") < keys.index("101.11")
