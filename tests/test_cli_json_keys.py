"""The command's keys: most are copied from a table of ready-made texts,
the rest (large numbers, repetitions) put together from their numbers; both
must give the module's keys, in its order, byte for byte, on each side of
the table's edges."""

import json
import subprocess

import pytest

from segmorph import Hl7Json
from conftest import COMMAND, ENV

HEADER = "MSH|^~\\&|APP|FAC|RAPP|RFAC|20240101||ADT^A01^ADT_A01|1|P|2.5|2.5"


def component_field(components):
    return "^".join(f"c{n}" for n in range(1, components + 1))


LINES = [
    # fields 1 to 102, each with one more component than the last, up to 22
    "ZZZ|" + "|".join(component_field(min(f, 22)) if f % 2 else f"v{f}" for f in range(1, 103)),
    # repetitions beside the table's fields and components
    "ZZZ|" + "|" * 97 + "a~b^c|" + "~".join(component_field(21) for _ in range(3)) + "||x",
    # empty values and components at every key of the table's last field
    "ZZZ|" + "|" * 98 + "^" * 25,
]


@pytest.mark.parametrize("escaping", [[], ["--no-escaping"]])
def test_keys_on_each_side_of_the_table_are_the_modules(escaping):
    text = "\r".join([HEADER, *LINES])
    done = subprocess.run([str(COMMAND), "to-json", *escaping], input=text.encode(), capture_output=True,
                          timeout=60, env=ENV)
    assert done.returncode == 0, done.stderr.decode(errors="replace")
    records = Hl7Json(text, escaping_enabled=not escaping).hl7_json
    assert {"99.20", "100", "99.19", "99[2].21", "98[1].1", "101.21"} <= set().union(*records)
    assert ('"records":' + json.dumps(records, ensure_ascii=False, separators=(",", ":")) + "}\n"
            in done.stdout.decode())
