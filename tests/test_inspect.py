"""The record inspector: its reports, its command line, and its agreement with the readers."""

import io
import subprocess
import sys
from collections.abc import Callable
from pathlib import Path

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import zav.serializer as serializer
from zav import stream
from zav.inspect import first_not_utf8, inspect_list, inspect_map, inspect_stream, parse_hex, render

LONG_KEY = "81 48 00" + " 61" * 200  # a 200-byte key, prefixed 81 48, and an empty value


@pytest.mark.parametrize(("kind", "record", "expected"), [
    ("map", "01 02 61 62 63", ["pair 0 at 0: key length 1 (1 byte), value length 2 (1 byte)",
                               "    key   at 2: 'a'", "    value at 3: 'bc'", "ok: 1 pair in 5 bytes"]),
    ("map", LONG_KEY, ["key length 200 (2 bytes)", f"'{'a' * 40}' ... (200 bytes)",
                       "value at 203: ''"]),
    ("map", "01 01 31 61 01 01 31 62", ["pair 1 at 4:", "    value at 7: 'b'",
                                        "ok: 2 pairs in 8 bytes (1 distinct key;"]),
    ("map", "00 80", ["value length 0 (1 byte, cut short by the end of input)"]),
    ("map", "80", ["key length 0 (1 byte, cut short by the end of input), "
                   "value length 0 (absent: end of input)"]),
    ("map", "01 01 ff 61", ["key   at 2: hex ff (not UTF-8)",
                            "note: the key of pair 0 is not UTF-8"]),
    ("list", "01 61 02 62 63 00", ["item 1 at 2: length 2 (1 byte): 'bc'",
                                   "item 2 at 5: length 0 (1 byte): ''", "ok: 3 items in 6 bytes"]),
    ("list", "80 80 01 61", ["item 0 at 0: length 1 (3 bytes, longer than needed): 'a'"]),
    ("list", "14" + " ff" * 20, ["hex" + " ff" * 16 + " ... (20 bytes) (not UTF-8)"]),
])
def test_good_record(kind: str, record: str, expected: list[str]) -> None:
    data = parse_hex(record)
    report = inspect_map(data) if kind == "map" else inspect_list(data)
    output = render(report)
    assert report.ok
    for line in expected:
        assert line in output


@pytest.mark.parametrize(("kind", "record", "index", "offset", "expected"), [
    ("map", "05", 0, 0, "pair 0 at offset 0: key overrun: key needs 5 bytes, 0 follow the key length"),
    ("map", "01 05 61", 0, 0, "value overrun: key and value need 6 bytes, 1 follow the value length"),
    ("map", "01 00 61 03 00 62", 1, 3, "pair 1 at offset 3: key overrun: key needs 3 bytes, 2 follow"),
    ("map", "ff " * 9 + "7f", 0, 0, f"key overrun: key needs {2**64 - 1} bytes, 0 follow"),
    ("map", "00 81", 0, 0, "value overrun: key and value need 1 byte, 0 follow"),
    ("list", "01", 0, 0, "item 0 at offset 0: item overrun: item needs 1 byte, 0 follow its length"),
    ("list", "01 61 05", 1, 2, "item 1 at offset 2: item overrun: item needs 5 bytes, 0 follow"),
    ("list", "ff " * 10 + "7f 61", 0, 0, f"item overrun: item needs {2**64 - 1} bytes, 1 follow"),
])
def test_corrupt_record(kind: str, record: str, index: int, offset: int, expected: str) -> None:
    data = parse_hex(record)
    report = inspect_map(data) if kind == "map" else inspect_list(data)
    read = serializer._deserialize_dict if kind == "map" else serializer._deserialize_list
    assert report.fault is not None
    assert (report.fault.index, report.fault.offset) == (index, offset)
    assert expected in render(report)
    with pytest.raises(ValueError) as raised:
        read(data, False)
    assert str(raised.value) == report.fault.message


def run_inspector(*args: str, stdin: bytes = b"") -> subprocess.CompletedProcess[bytes]:
    return subprocess.run([sys.executable, "-m", "zav.inspect", *args], input=stdin,
                          capture_output=True, check=False)


@pytest.mark.parametrize(("args", "stdin", "status", "expected"), [
    (["--hex"], b"01 02\n61 62 63\n", 0, "ok: 1 pair in 5 bytes"),
    ([], b"\x01\x02abc", 0, "value at 3: 'bc'"),
    (["--list", "--hex", "-"], b"01 61 05", 1, "item 1 at offset 2: item overrun"),
    (["--map", "--hex"], b"01 05 61", 1, "corrupt value, refusing to process"),
    (["--help"], b"", 0, "list record  items back to back"),
    (["--hex"], b"01 0g", 2, "'g' at character 5 is not a hex digit"),
    (["--hex"], b"012", 2, "odd number of hex digits (3)"),
    (["--hex"], "01 é".encode(), 2, "byte 4 is not ASCII"),
    (["no-such-record.bin"], b"", 2, "cannot read no-such-record.bin: No such file or directory"),
    (["--map", "--list"], b"", 2, "not allowed with argument"),
])
def test_command(args: list[str], stdin: bytes, status: int, expected: str) -> None:
    result = run_inspector(*args, stdin=stdin)
    assert result.returncode == status
    assert expected in (result.stdout if status < 2 else result.stderr).decode()
    assert b"Traceback" not in result.stderr


def test_command_reads_file(tmp_path: Path) -> None:
    record = tmp_path / "items.bin"
    record.write_bytes(serializer._serialize_list(["a", "é"]))
    result = run_inspector("--list", str(record))
    assert result.returncode == 0
    assert "item 1 at 2: length 2 (1 byte): 'é'" in result.stdout.decode()


# Property: on any input, the inspector calls a record corrupt exactly when the reader
# refuses it, with the reader's message, at the entry where the reader stops.

texts = st.text(max_size=8) | st.text(alphabet="é", min_size=64, max_size=80)


def damaged(record: bytes) -> st.SearchStrategy[bytes]:
    """The record itself, cut short anywhere, or with one byte replaced."""
    cut = st.integers(0, len(record)).map(lambda end: record[:end])
    if not record:
        return cut
    replaced = st.tuples(st.integers(0, len(record) - 1), st.integers(0, 255)).map(
        lambda change: record[:change[0]] + bytes([change[1]]) + record[change[0] + 1:])
    return st.just(record) | cut | replaced


def varnum(value: int, padding: int) -> bytes:
    """A length prefix with `padding` extra zero groups in front."""
    groups = [value >> shift & 0x7F for shift in range(0, max(value.bit_length(), 1), 7)][::-1]
    groups = [0] * padding + groups
    return bytes(group | 0x80 for group in groups[:-1]) + bytes(groups[-1:])


# A payload, how far its declared length is off, and how many zero groups pad the prefix.
fields = st.tuples(st.binary(max_size=10), st.sampled_from([0, 0, 0, 1, -1]), st.integers(0, 1))


def prefix(field: tuple[bytes, int, int]) -> bytes:
    payload, off_by, padding = field
    return varnum(max(len(payload) + off_by, 0), padding)


def assembled_pair(key: tuple[bytes, int, int], value: tuple[bytes, int, int]) -> bytes:
    return prefix(key) + prefix(value) + key[0] + value[0]


def records[T](write: Callable[[T], bytes], values: st.SearchStrategy[T],
               entry: st.SearchStrategy[bytes]) -> st.SearchStrategy[bytes]:
    """Written records, damaged; records put together from near-right lengths; noise."""
    return (values.map(write).flatmap(damaged)
            | st.lists(entry, max_size=5).map(b"".join)
            | st.binary(max_size=40))


@settings(deadline=None, max_examples=300)
@given(records(serializer._serialize_list, st.lists(texts, max_size=6),
               fields.map(lambda item: prefix(item) + item[0])))
@example(parse_hex("81" + " 80" * 9 + " 00 01 61"))  # 2**70 keeps its low 64 bits: 0
def test_list_verdict_matches_reader(data: bytes) -> None:
    report = inspect_list(data)
    items = [entry.item.data for entry in report.entries]
    if report.fault is None:
        assert serializer._deserialize_list(data, False) == items
        return
    for refused in (data, data[report.fault.offset:]):
        with pytest.raises(ValueError) as raised:
            serializer._deserialize_list(refused, False)
        assert str(raised.value) == report.fault.message
    good_part = serializer._deserialize_list(data[:report.fault.offset], False)
    assert good_part == items and len(good_part) == report.fault.index


@settings(deadline=None, max_examples=300)
@given(records(serializer._serialize_dict, st.dictionaries(texts, texts, max_size=5),
               st.builds(assembled_pair, fields, fields)))
@example(parse_hex("02 00 61"))  # the key overruns once the value varnum is counted
def test_map_verdict_matches_reader(data: bytes) -> None:
    # Keys are always decoded, so a key that is not UTF-8 stops the reader first.
    report = inspect_map(data)
    if first_not_utf8(report, values=False) is not None:
        with pytest.raises(UnicodeDecodeError):
            serializer._deserialize_dict(data, False)
        return
    pairs = {entry.key.data.decode(): entry.value.data for entry in report.entries}
    if report.fault is None:
        assert serializer._deserialize_dict(data, False) == pairs
        return
    for refused in (data, data[report.fault.offset:]):
        with pytest.raises(ValueError) as raised:
            serializer._deserialize_dict(refused, False)
        assert type(raised.value) is ValueError
        assert str(raised.value) == report.fault.message
    assert serializer._deserialize_dict(data[:report.fault.offset], False) == pairs


# Property: on any stream, the inspector counts as good exactly the records that the
# stream reader yields, and calls the stream good exactly when the reader finishes.

@given(st.lists(records(serializer._serialize_dict, st.dictionaries(texts, texts, max_size=3),
                        st.builds(assembled_pair, fields, fields)), max_size=4).map(serializer._serialize_list)
       .flatmap(damaged))
@settings(max_examples=150, deadline=None)
def test_stream_verdict_matches_reader(data: bytes) -> None:
    read: list[dict[str, str]] = []
    try:
        read.extend(stream.read_dicts(io.BytesIO(data)))
        finished = True
    except ValueError:  # corrupt or cut (UnicodeDecodeError included)
        finished = False
    report = inspect_stream(data)
    assert report.ok == finished
    good = len(report.records) if report.damaged is None else report.damaged.index
    assert len(read) == good


def test_stream_command(tmp_path: Path) -> None:
    path = tmp_path / "s"
    path.write_bytes(serializer._serialize_list([serializer._serialize_dict({"name": "x", "n": 1}), b"\x05\x01ab"])
                     + b"\x09\x01")
    result = run_inspector("--stream", str(path))
    assert result.returncode == 1
    assert result.stdout.decode().splitlines() == [
        "stream of map records, 19 bytes",
        "record 0 at 0: 11 bytes, 2 fields: 'name', 'n'",
        "record 1 at 12: 4 bytes, DAMAGED: corrupt: pair 0 at offset 0: key overrun: "
        "key needs 5 bytes, 3 follow the key length",
        "damaged: record 1 at byte offset 12; read_dicts yields the 1 record before it and raises there",
        "cut: the stream ends inside record 2 at byte offset 17: it has 1 of its 9 bytes and lacks 8",
    ]
    good = run_inspector("--stream", "--list", stdin=serializer._serialize_list([serializer._serialize_list([1, 2])]))
    assert good.returncode == 0 and good.stdout.decode().splitlines()[1:] == [
        "record 0 at 0: 4 bytes, 2 items", "ok: 1 record in 5 bytes"]


@pytest.mark.parametrize(("kind", "record"), [("map", b"\x01\x01a\xff\x05"), ("list", b"\x01\xff\x05")])
def test_stream_damage_is_the_first_the_reader_meets(kind: str, record: bytes) -> None:
    """Text that is not UTF-8 before a corrupt entry stops the reader there: that is
    the damage named, not the corrupt entry after it."""
    data = serializer._serialize_list([record])
    reader = stream.read_dicts if kind == "map" else stream.read_lists
    with pytest.raises(UnicodeDecodeError):
        list(reader(io.BytesIO(data)))
    damaged = inspect_stream(data, kind).damaged  # type: ignore[arg-type]
    assert damaged is not None and damaged.damage is not None
    assert damaged.damage.endswith("0 is not UTF-8 (UnicodeDecodeError)")
