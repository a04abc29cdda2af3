"""Records read by the one-pass reader of JSON as segmorph writes it, and by
the full reader where that one gives up, must be the same records: to-hl7
and JsonHl7.from_file agree with JsonHl7 built from what Python's json
reads, whichever way the text took."""

import json
import subprocess

import pytest

from conftest import COMMAND, ENV
from segmorph import JsonHl7

MSH = '{"1":"^~\\\\&","2":"A","9.1":"ADT","segment_name":"MSH"}'

# Items in the plain forms the one-pass reader takes, and in forms it leaves
# to the full reader, each with a value or key that matters to one of them.
ITEMS = [
    # plain, as to-json writes them
    '{"source":"a.hl7","index":0,"records":[' + MSH + ',{"1":"1","3[0].1":"x","3[1].1":"y","segment_name":"PID"}]}',
    '[' + MSH + ',{"1":"","2":"","segment_name":"PID"}]',
    # escapes: the short ones, "\/" and "\u"
    '{"records":[' + MSH + ',{"1":"a\\"b\\\\c\\/d\\te","2":"\\u00e9\\u0041\\ud83d\\ude00","segment_name":"NTE"}]}',
    # beyond ASCII, as is; long keys and values
    '{"records":[' + MSH + ',{"1":"\u00e9t\u00e9 \u20ac","00000012":"k8","000000013":"k9",'
    '"3":"' + "v" * 40 + '","segment_name":"NTE"}]}',
    # white space anywhere JSON allows it
    '{ "records" : [ ' + MSH + ' , { "1" : "a" ,\t"2":"b" } ] , "index" : 3 }',
    # keys out of order, repeated (the later wins), and with no code
    '{"records":[' + MSH + ',{"segment_name":"PID","2":"b","1":"a","2":"c","x":"free","07":"z"}]}',
    # "records" twice: the later wins; members of every kind around it
    '{"records":[{"1":"old","segment_name":"ZZZ"}],"n":1.5e3,"o":{"p":[true,null]},"records":[' + MSH + ']}',
    # an envelope segment, and a number the reader leaves alone
    '{"source":"b","index":1234567890123456789,"envelope":{"1":"^~\\\\&","segment_name":"BHS"}}',
    '{"index":-0,"envelope":{"1":"^~\\\\&","segment_name":"FHS"}}',
]


def records_of(item):
    value = json.loads(item)
    if isinstance(value, list):
        return value
    return value["records"] if "records" in value else [value["envelope"]]


@pytest.mark.parametrize("item", ITEMS)
def test_both_readers_read_the_same_records(item, tmp_path):
    records = records_of(item)
    want = JsonHl7(records).hl7_string
    # (hl7_string escapes fully.)
    done = subprocess.run([str(COMMAND), "to-hl7", "--escape", "full"], input=item.encode(), capture_output=True,
                          timeout=60, env=ENV)
    assert (done.returncode, done.stderr) == (0, b"")
    assert done.stdout.decode() == want.replace("\n", "\r") + "\r"
    path = tmp_path / "records.json"
    path.write_text(json.dumps(records, ensure_ascii=False) if item.startswith("{") else item, encoding="utf-8")
    loaded = JsonHl7.from_file(str(path))
    assert loaded.hl7_string == want
    assert loaded.json_data == JsonHl7(records).json_data


@pytest.mark.parametrize("text, expected", [
    # Wrong in ways the one-pass reader sees first: the full reader words them.
    ('{"records":[{"1":"a\x01"}]}', "line 1, column 20: invalid JSON: unexpected control character in string"),
    (b'{"records":[{"1":"a\xc3"}]}'.decode("latin-1"), "line 1, column 20: invalid JSON: invalid UTF-8 encoding in string"),
    ('{"records":[{"1":"a"}],"index":01}', "line 1, column 32: invalid JSON: number with leading zero is not allowed"),
    ('{"records":[{"1":"a","2":5}]}', 'line 1, column 22: record 0 has the value of key "2" not a string but a number'),
    ('{"records":[{"1":"a"}],"envelope":{"1":"b"}}',
     'line 1, column 1: expected an object with either "records" or "envelope", or an array of records'),
])
def test_what_the_one_pass_reader_leaves_is_worded_by_the_full_reader(text, expected):
    data = text.encode("latin-1") if "\xc3" in text else text.encode()
    done = subprocess.run([str(COMMAND), "to-hl7"], input=data, capture_output=True, timeout=60, env=ENV)
    assert done.returncode == 1
    assert done.stderr.decode(errors="replace").splitlines()[0] == "segmorph: -: " + expected


def test_lines_read_in_one_pass_end_at_their_line_break(tmp_path):
    # Lines as to-json writes them are read without first finding their end:
    # the reader must stop at each line break (an item cut over two lines is
    # two bad lines, not one item), take CR LF and blank lines, and keep the
    # line numbers of the lines after them.
    item = '{"records":[' + MSH + ']}'
    text = (item + "\r\n" + "\n"
            + '{"records":[' + MSH + ",\n" + '{"1":"a","segment_name":"PID"}]}\n'
            + item + " x\n"
            + " \t\r\n"
            + '{"index":1,"records":[' + MSH + ',{"1":"b","segment_name":"PID"}]}')
    path = tmp_path / "lines.jsonl"
    path.write_bytes(text.encode())
    done = subprocess.run([str(COMMAND), "to-hl7", str(path)], capture_output=True, timeout=60, env=ENV)
    assert done.returncode == 1
    msh = "MSH|^~\\&|A|||||||ADT\r"
    assert done.stdout.decode() == msh + msh + "PID|b\r"
    assert [line.split(": ", 2)[2] for line in done.stderr.decode().splitlines()[:3]] == [
        "line 3, column 68: invalid JSON: the text ends before the value is complete",
        "line 4, column 31: invalid JSON: expected nothing but white space after the value, found ']'",
        "line 5, column 70: invalid JSON: expected nothing but white space after the value, found 'x'",
    ]


def test_more_key_sequences_than_the_reader_keeps(tmp_path):
    # The one-pass reader foresees each record's next key from the key
    # sequences it has met, and starts afresh once it has met too many:
    # records of 40,000 different sequences must still read as they are.
    # (Their keys lie in field 0, stored but never written: the message
    # stays within the separators it may write.)
    records = [{"0." + str(10 + i % 200): "b", f"0[{300 + i // 200}]": "c", "1": f"a{i}", "segment_name": "ZZZ"}
               for i in range(40_000)]
    path = tmp_path / "many.json"
    path.write_text(json.dumps(records, sort_keys=True), encoding="utf-8")
    loaded = JsonHl7.from_file(str(path))
    assert loaded.json_data == records
    assert loaded.hl7_string == JsonHl7(records).hl7_string


# Values at the edges of the 16-byte blocks the common way copies and looks
# at (up to four of them, then the general way), each with a byte that only
# the general way takes -- an escape, a control byte written as an escape,
# a byte beyond ASCII -- or DEL, which is plain, placed at the value's start,
# its end, or on a block's edge.  Many records of one shape come first, so
# that every key is foreseen when the odd value comes.
EDGE_LENGTHS = [0, 1, 14, 15, 16, 17, 31, 32, 33, 47, 48, 63, 64, 65, 80]
ODD_BYTES = ['"', "\\", "\t", "\u00e9", "\u20ac", "\x7f"]


def edge_records():
    plain = [{"1": "x" * n, "2": "y", "3.1": "z" * (80 - n), "segment_name": "ZZZ"} for n in EDGE_LENGTHS]
    odd = []
    for n in EDGE_LENGTHS[1:]:
        for c in ODD_BYTES:
            for at in sorted({0, n - 1, min(15, n - 1), min(16, n - 1)}):
                value = "v" * at + c + "v" * (n - at - 1)
                odd.append({"1": value, "2": "y", "3.1": value, "segment_name": "ZZZ"})
    return plain * 3 + odd


@pytest.mark.parametrize("separators", [(",", ":"), (", ", ": ")], ids=["compact", "spaced"])
@pytest.mark.parametrize("tail", [0, 1, 40, 100])
def test_values_at_block_edges_read_as_python_reads_them(tmp_path, tail, separators):
    # `tail` records follow the odd ones, so that the odd ones come at
    # different distances from the text's end, where the common way stops
    # short and leaves the last entries to the general way.  The text is
    # as segmorph writes it, or with a space after each ":" and ",", as
    # Python's json.dump writes it by default.
    records = edge_records()
    records += records[:tail]
    messages = [records[i:i + 7] for i in range(0, len(records), 7)]
    lines = [json.dumps({"records": m}, ensure_ascii=False, separators=separators) for m in messages]
    want = "".join(JsonHl7(m).hl7_string.replace("\n", "\r") + "\r" for m in messages)
    path = tmp_path / "edges.jsonl"
    path.write_text("\n".join(lines), encoding="utf-8")
    done = subprocess.run([str(COMMAND), "to-hl7", "--escape", "full", str(path)], capture_output=True, timeout=60,
                          env=ENV)
    assert (done.returncode, done.stderr) == (0, b"")
    assert done.stdout.decode() == want
    array = tmp_path / "edges.json"
    array.write_text(json.dumps(records, ensure_ascii=False, separators=separators), encoding="utf-8")
    loaded = JsonHl7.from_file(str(array))
    assert loaded.json_data == JsonHl7(records).json_data
    assert loaded.hl7_string == JsonHl7(records).hl7_string


def test_zero_bytes_where_a_key_is_foreseen(tmp_path):
    # A state of the key sequences with one key met after it keeps "no
    # guess" as its second: sixteen zero bytes, which the text here holds
    # where that key should be.  The full reader words what is wrong.
    record = '{"1":"a","2":"b","3":"c","segment_name":"ZZZ"}'
    good = '{"records":[' + ",".join([record] * 20) + "]}"
    bad = '{"records":[' + ",".join([record] * 5) + ',{"1":"a",' + "\0" * 20 + '"2":"b","segment_name":"ZZZ"}]}'
    path = tmp_path / "zeros.jsonl"
    path.write_text("\n".join([good, bad, good]) + "\n", encoding="utf-8")
    done = subprocess.run([str(COMMAND), "to-hl7", str(path)], capture_output=True, timeout=60, env=ENV)
    assert done.returncode == 1
    assert done.stdout.decode() == 2 * ("ZZZ|a|b|c\r" * 20)
    assert done.stderr.decode().splitlines()[0].endswith(
        "line 2, column 257: invalid JSON: expected a string for object key, found <00>")


def test_a_key_after_the_name_once_the_name_is_foreseen(tmp_path):
    # The name's key is the last a record holds in to-json's byte order,
    # and where the common way looks for it; a key after it ("t" sorts
    # after "segment_name") must still leave the name where it is, in a
    # record whose keys are foreseen up to the name.
    warm = {"1": "a", "2": "b", "segment_name": "PID"}
    odd = {"1": "a", "2": "b", "segment_name": "PID", "t": "x"}
    messages = [[warm] * 5, [warm, odd, warm], [odd] * 3]
    path = tmp_path / "after_name.jsonl"
    path.write_text("\n".join(json.dumps({"records": m}, separators=(",", ":")) for m in messages), encoding="utf-8")
    done = subprocess.run([str(COMMAND), "to-hl7", "--escape", "full", str(path)], capture_output=True, timeout=60,
                          env=ENV)
    assert (done.returncode, done.stderr) == (0, b"")
    assert done.stdout.decode() == "".join(JsonHl7(m).hl7_string.replace("\n", "\r") + "\r" for m in messages)
