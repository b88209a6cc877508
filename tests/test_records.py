"""The map record (key length, value length, key bytes, value bytes per pair) and the
list record (length, bytes per item): their writers and readers."""
from __future__ import annotations

import ctypes
import math
import random
import struct
import sys
from typing import Any

import pytest

import zav.serializer as serializer
from conftest import Spelled, module_entries

DICT, LIST = serializer._serialize_dict, serializer._serialize_list
MAP_READER, LIST_READER = serializer._deserialize_dict, serializer._deserialize_list


class StoredText(str):
    """The stored characters are written, not this string form."""

    def __str__(self) -> str:
        return "other"


class Doubling(list[Any]):
    """A list subclass: its own __getitem__ is the one used (likewise below for tuple)."""

    def __getitem__(self, i: Any) -> Any:
        return list.__getitem__(self, i) * 2


class DoublingTuple(tuple[Any, ...]):
    def __getitem__(self, i: Any) -> Any:
        return tuple.__getitem__(self, i) * 2


@pytest.mark.parametrize("writer, argument, record", [
    (DICT, {}, ""),
    (DICT, {"a": "bc", "k": ""}, "01 02 61 62 63 01 00 6b"),
    (DICT, {1: 2.5}, "01 03 31 32 2e 35"),
    (DICT, {b"\x00k": "v\x00", "é": b"\xff"}, "02 02 00 6b 76 00 02 01 c3 a9 ff"),
    (DICT, {1: "x", "1": "y"}, "01 01 31 78 01 01 31 79"),  # two pairs with the key 31
    (DICT, {(1, 2): True}, "06 04 28 31 2c 20 32 29 54 72 75 65"),
    (LIST, [], ""),
    (LIST, ["a", "bc", "", "é"], "01 61 02 62 63 00 02 c3 a9"),
    (LIST, [StoredText("ab"), 1, True, b"\xff"], "02 61 62 01 31 04 54 72 75 65 01 ff"),
    (LIST, "ab", "01 61 01 62"),
    (LIST, (1,), "01 31"),
    (LIST, b"ab", "02 39 37 02 39 38"),  # one entry per byte value, as decimal text
    (LIST, {0: "a", 1: "b"}, "01 61 01 62"),  # indexed through its mapping subscript
    (LIST, Doubling(["a", 1]), "02 61 61 01 32"),
    (LIST, DoublingTuple(["a", 1]), "02 61 61 01 32"),
])
def test_written_bytes(writer_path: str, writer: Any, argument: Any, record: str) -> None:
    assert writer(argument) == bytes.fromhex(record)


def ordered(result: Any) -> Any:
    return list(result.items()) if isinstance(result, dict) else result


@pytest.mark.parametrize("reader, record, deserialize, result", [
    (MAP_READER, b"", True, {}),
    (MAP_READER, "\x01\x01ab", True, {"a": "b"}),  # text is read as its UTF-8
    (MAP_READER, b"\x01\x02abc\x00\x00", True, {"a": "bc", "": ""}),
    (MAP_READER, b"\x01\x02abc", False, {"a": b"bc"}),
    (MAP_READER, b"\x01\x01ax\x01\x01by\x01\x01az", True, {"a": "z", "b": "y"}),  # later wins, keeps its place
    (MAP_READER, b"\x02\x02\x00k\x00v", None, {"\x00k": b"\x00v"}),
    (MAP_READER, b"\x01\x01ab", 0, {"a": b"b"}),
    (MAP_READER, b"\x01\x01ab", [0], {"a": "b"}),
    (LIST_READER, b"", False, []),
    (LIST_READER, b"\x01a\x02bc\x00", True, ["a", "bc", ""]),
    (LIST_READER, b"\x01a\x02bc\x00", False, [b"a", b"bc", b""]),
    (LIST_READER, "\x02é", False, [b"\xc3\xa9"]),
    (LIST_READER, b"\x01a", "", [b"a"]),
    (LIST_READER, b"\x01a", [1], ["a"]),
])
def test_read_records(reader: Any, record: bytes | str, deserialize: Any, result: Any) -> None:
    read = reader(record, deserialize)
    assert type(read) is type(result) and ordered(read) == ordered(result)


@pytest.mark.parametrize("reader, record, message", [
    (MAP_READER, "05", "corrupt key"),
    (MAP_READER, "01 05 61", "corrupt value"),
    (MAP_READER, "02 00 61", "corrupt value"),  # the key overruns once the value length is counted
    (MAP_READER, "05 00 61", "corrupt key"),
    (MAP_READER, "01 81 00 61", "corrupt value"),  # a two-byte value length
    (MAP_READER, "81 00 00 61", "corrupt key"),  # a two-byte key length
    (MAP_READER, "01 02 61 62 63 05", "corrupt key"),  # a good pair first: nothing is returned
    (MAP_READER, "01 02 61 62 63 01 01 61", "corrupt value"),
    (LIST_READER, "01", "corrupt array item"),
    (LIST_READER, "05 61 62", "corrupt array item"),
    (LIST_READER, "01 61 05", "corrupt array item"),
])
@pytest.mark.parametrize("deserialize", [True, False])
def test_corrupt_records(reader: Any, record: str, message: str, deserialize: bool) -> None:
    with pytest.raises(ValueError) as caught:
        reader(bytes.fromhex(record), deserialize)
    assert type(caught.value) is ValueError and str(caught.value) == f"{message}, refusing to process"
    assert module_entries(caught.value) == [f"zav.serializer.{reader.__name__}"]


# A key must always decode, a value or item only when asked to; with both malformed, the
# value is decoded first and its error is the one raised.
@pytest.mark.parametrize("reader, record, deserialize, outcome", [
    (MAP_READER, b"\x01\x01\xffa", True, b"\xff"),
    (MAP_READER, b"\x01\x01\xffa", False, b"\xff"),
    (MAP_READER, b"\x01\x01a\xff", False, {"a": b"\xff"}),
    (MAP_READER, b"\x01\x01\xff\xfe", True, b"\xfe"),
    (MAP_READER, b"\x01\x01\xff\xfe", False, b"\xff"),
    (LIST_READER, b"\x01a\x01\xff", True, b"\xff"),
    (LIST_READER, b"\x01a\x01\xff", False, [b"a", b"\xff"]),
])
def test_malformed_utf8(reader: Any, record: bytes, deserialize: bool, outcome: Any) -> None:
    if not isinstance(outcome, bytes):
        assert reader(record, deserialize) == outcome
        return
    with pytest.raises(UnicodeDecodeError) as caught:
        reader(record, deserialize)
    assert caught.value.object == outcome
    assert module_entries(caught.value) == [f"zav.serializer.{reader.__name__}", "zav.serializer._decode"]


def test_long_entries_in_any_order(writer_path: str) -> None:
    items = [b"x" * 2000, b"y" * 1500, "é" * 3000, b"w"]
    assert LIST_READER(LIST(items), False) == [b"x" * 2000, b"y" * 1500, "é".encode() * 3000, b"w"]
    d = {"k" * 300: "v" * 3000, "é": b"\xff" * 200, "x": "y"}
    assert MAP_READER(DICT(d), False) == {"k" * 300: b"v" * 3000, "é": b"\xff" * 200, "x": b"y"}


@pytest.mark.parametrize("items", [[b"x" * 70_000] * 16, [f"{i:09d}".encode() * (1 + i % 5) for i in range(20_000)]],
                         ids=["few long items", "many short items"])
def test_large_record_ends_at_its_size(items: list[bytes]) -> None:
    """A large record is handed over in a block with room to spare: the bytes object
    still ends at the record's size, with the zero byte every bytes object ends in.
    A longer record of other bytes is written first, whose block the record may reuse."""
    LIST([b"\xff" * (len(x) + 9) for x in items])
    record = LIST(items)
    assert LIST_READER(record, False) == items
    assert sys.getsizeof(record) == sys.getsizeof(b"") + len(record)
    assert ctypes.string_at(id(record) + bytes.__basicsize__ - 1 + len(record), 1) == b"\0"


class Unprintable:
    def __str__(self) -> str:
        raise LookupError("no text")


ENCODE_ENTRY = "zav.serializer._encode"


@pytest.mark.parametrize("writer, argument, error, message, inner", [
    (DICT, {"a": None}, TypeError, "expected bytes, NoneType found", []),
    (DICT, {"\ud800": "v"}, UnicodeEncodeError, None, [ENCODE_ENTRY]),
    (DICT, {"k": "a\udfff"}, UnicodeEncodeError, None, [ENCODE_ENTRY]),
    (LIST, ["a", None], TypeError, "expected bytes, NoneType found", []),
    (LIST, 5, TypeError, "object of type 'int' has no len()", []),
    (LIST, {1}, TypeError, "'set' object is not subscriptable", []),
    (LIST, {1: "a"}, KeyError, "0", []),
    (LIST, ["\ud800"], UnicodeEncodeError, None, [ENCODE_ENTRY]),
    (LIST, [b"", Unprintable()], LookupError, "no text", [ENCODE_ENTRY]),
])
def test_writer_failures(writer_path: str, writer: Any, argument: Any, error: type[Exception],
                         message: str | None, inner: list[str]) -> None:
    with pytest.raises(error) as caught:
        writer(argument)
    assert message is None or str(caught.value) == message
    assert module_entries(caught.value) == [f"zav.serializer.{writer.__name__}"] + inner


def test_none_key_fails_after_its_value_is_encoded(writer_path: str) -> None:
    log: list[str] = []
    d = {"a": "b", None: Spelled("v", lambda: log.append("str"))}
    with pytest.raises(TypeError, match="^expected bytes, NoneType found$"):
        DICT(d)
    assert log == ["str"] and list(d) == ["a", None]


def test_key_growing_the_dict(writer_path: str) -> None:
    d: dict[Any, Any] = {}
    d[Spelled("g", lambda: d.update(new=1))] = "v"
    with pytest.raises(RuntimeError) as caught:
        DICT(d)
    assert str(caught.value) == "dictionary changed size during iteration"
    assert module_entries(caught.value) == ["zav.serializer._serialize_dict"]


def test_key_removed_by_its_own_string_form(writer_path: str) -> None:
    d: dict[Any, Any] = {}
    key = (Spelled("m", lambda: (d.clear(), d.update(other="x"))),)  # the size stays the same
    d[key] = "v"
    with pytest.raises(KeyError) as caught:
        DICT(d)
    assert caught.value.args == (key,)  # the tuple itself, not its items
    assert module_entries(caught.value) == ["zav.serializer._serialize_dict"]


def test_value_is_looked_up_after_the_key_is_encoded(writer_path: str) -> None:
    d: dict[Any, Any] = {"a": "b"}
    key = Spelled("k", lambda: d.update({key: "new"}))
    d[key] = "old"
    assert DICT(d) == b"\x01\x01ab\x01\x03knew"


def test_list_changing_while_written(writer_path: str) -> None:
    # The length is taken once: a shrunk list fails at the first missing index...
    items: list[Any] = []
    items += [Spelled("s", items.clear), "b"]
    with pytest.raises(IndexError, match="^list index out of range$") as caught:
        LIST(items)
    assert module_entries(caught.value) == ["zav.serializer._serialize_list"]
    # ...and items appended while it is written are left out.
    items = []
    items += [Spelled("p", lambda: items.append("late")), "b"]
    assert LIST(items) == b"\x01p\x01b" and len(items) == 3


class Alternating:
    """A deserialize flag that is true, false, true, ... and counts how often it is asked."""

    def __init__(self) -> None:
        self.asked = 0

    def __bool__(self) -> bool:
        self.asked += 1
        return self.asked % 2 == 1


@pytest.mark.parametrize("reader, record, result, asked", [
    (LIST_READER, b"", [], 0),
    (LIST_READER, b"\x01a\x01b\x01c", ["a", b"b", "c"], 3),
    (LIST_READER, b"\x01a\x05", ValueError, 1),  # asked for the good entry only
    (MAP_READER, b"", {}, 0),
    (MAP_READER, b"\x01\x01ax\x01\x01by\x01\x01cz", {"a": "x", "b": b"y", "c": "z"}, 3),
    (MAP_READER, b"\x01\x01ax\x05", ValueError, 1),
])
def test_deserialize_truth_is_asked_per_entry(reader: Any, record: bytes, result: Any, asked: int) -> None:
    flag = Alternating()
    if result is ValueError:
        with pytest.raises(ValueError):
            reader(record, flag)
    else:
        assert reader(record, flag) == result
    assert flag.asked == asked


class Undecidable:
    def __bool__(self) -> bool:
        raise ZeroDivisionError("no truth")


# The truth is asked before anything is decoded, so it fails ahead of malformed UTF-8.
@pytest.mark.parametrize("reader, record", [(LIST_READER, b"\x01\xff"), (MAP_READER, b"\x01\x01\xff\xfe")])
def test_raising_truth_fails_only_a_non_empty_record(reader: Any, record: bytes) -> None:
    assert not reader(b"", Undecidable())
    with pytest.raises(ZeroDivisionError, match="no truth") as caught:
        reader(record, Undecidable())
    assert module_entries(caught.value) == [f"zav.serializer.{reader.__name__}"]


class BytesSubclass(bytes):
    pass


@pytest.mark.parametrize("reader", [LIST_READER, MAP_READER])
@pytest.mark.parametrize("converted, message", [
    (BytesSubclass(b""), "Expected bytes, got BytesSubclass"),
    ("", "Expected bytes, got str"),
    (None, "expected bytes, NoneType found"),
])
def test_input_that_is_not_exactly_bytes(module_globals: dict[str, Any], reader: Any, converted: Any,
                                         message: str) -> None:
    """The readers parse what the module's `encode` returns, which must be exactly bytes."""
    outcomes = []
    if not isinstance(converted, str):  # what the module's own encode returns as it is
        outcomes.append(pytest.raises(TypeError, reader, converted))
    module_globals["encode"] = lambda raw: converted
    outcomes.append(pytest.raises(TypeError, reader, b""))
    for caught in outcomes:
        assert (str(caught.value), module_entries(caught.value)) == (message, [f"zav.serializer.{reader.__name__}"])


@pytest.mark.parametrize("reader", [LIST_READER, MAP_READER])
def test_input_that_cannot_be_encoded(reader: Any) -> None:
    with pytest.raises(UnicodeEncodeError) as caught:
        reader("\ud800")
    assert module_entries(caught.value) == [
        f"zav.serializer.{reader.__name__}", "zav.serializer.encode", "zav.serializer._encode"]


class Paging:
    """A sequence that reports `reported` items but gives only the first `real`, as a
    paging or streaming sequence may."""

    def __init__(self, reported: int, real: int) -> None:
        self.reported, self.real = reported, real
        self.asked: list[int] = []

    def __len__(self) -> int:
        return self.reported

    def __getitem__(self, i: int) -> str:
        self.asked.append(i)
        if i >= self.real:
            raise IndexError(f"page {i} is not there")
        return "x" * i


@pytest.mark.parametrize("reported", [2**31, 2**32, 2**62, sys.maxsize])
def test_sequence_reporting_more_items_than_it_has(writer_path: str, reported: int) -> None:
    # The reported length sizes nothing: the writer asks for items in order and fails
    # with the sequence's own exception at the first one that is not there.
    sequence = Paging(reported, 3)
    with pytest.raises(IndexError, match="^page 3 is not there$") as caught:
        LIST(sequence)
    assert sequence.asked == [0, 1, 2, 3]
    assert module_entries(caught.value) == ["zav.serializer._serialize_list"]


def doubles(count: int, seed: int) -> list[float]:
    """Doubles from every part of the range: random bit patterns, each power of two and
    its neighbours, the least subnormals, short decimals, and whole numbers."""
    rng = random.Random(seed)
    patterns = [rng.getrandbits(64) for _ in range(count)]
    for exponent in range(2047):
        patterns += [(exponent << 52) + delta for delta in (-1, 0, 1) if 0 <= (exponent << 52) + delta]
    patterns += range(1, 4096)
    values = [struct.unpack("<d", struct.pack("<Q", bits))[0] for bits in patterns]
    values += [rng.randrange(1, 10**rng.randint(1, 17)) / 10**rng.randint(0, 330) for _ in range(count // 4)]
    values += [float(rng.getrandbits(rng.randint(1, 70))) for _ in range(count // 4)]
    return [v for v in values if not math.isnan(v)]


def edge_doubles() -> list[float]:
    """Where the digits or the layout change: each power of ten and of two with the
    doubles beside it, whole numbers around 2**53, the largest subnormal and the least
    normal double, the least and the largest, and both zeros; each also negated."""
    powers = [float(f"1e{k}") for k in range(-323, 309)] + [math.ldexp(1.0, e) for e in range(-1074, 1024)]
    values = [v for x in powers for v in (math.nextafter(x, 0), x, math.nextafter(x, math.inf))]
    values += [float(2**53 + d) for d in range(-4, 5)] + [2.0**54 + 2 * d for d in range(-4, 5)]
    values += [2.225073858507201e-308, 5e-324, sys.float_info.max, 0.0]
    return values + [-x for x in values]


@pytest.mark.parametrize("writer", ["dict", "list"])
def test_edge_doubles_are_written_as_their_repr(writer: str) -> None:
    values = edge_doubles()
    if writer == "dict":
        written = list(MAP_READER(DICT({f"k{i}": v for i, v in enumerate(values)})).values())
    else:
        written = LIST_READER(LIST(values))
    assert written == [repr(v) for v in values]


def test_every_float_is_written_as_its_repr(writer_path: str) -> None:
    """The shortest digits that read back as the same double, nearest the double among
    them, in Python's layout; checked against float.__repr__ on both paths."""
    values = doubles(100_000 if writer_path == "standard-io" else 5_000, seed=11)
    written = LIST_READER(LIST(values))
    wrong = [(v, text) for v, text in zip(values, written) if text != repr(v)]
    assert wrong == []


@pytest.mark.parametrize("writer", ["dict", "list"])
def test_every_int_below_2_to_the_64_in_size_is_written_as_its_str(writer: str) -> None:
    rng = random.Random(12)
    edges = [sign * (10**k + d) for k in range(21) for d in (-1, 0, 1) for sign in (1, -1)]
    edges += [sign * (2**k + d) for k in (30, 60, 63, 64) for d in (-1, 0, 1) for sign in (1, -1)]
    values = edges + [rng.randrange(-(2**64), 2**64) >> rng.randrange(65) for _ in range(50_000)]
    if writer == "dict":
        written = list(MAP_READER(DICT({f"k{i}": v for i, v in enumerate(values)})).values())
    else:
        written = LIST_READER(LIST(values))
    assert written == [str(v) for v in values]


def test_many_keys_read_back() -> None:
    """Keys that differ only inside, keys of every short length and many keys in one
    record, read back as written, at the size CPython gives them."""
    keys = ([f"{'a' * 10}{c}{'b' * 10}" for c in "xyz0123"] + ["k" * n for n in range(66)]
            + [f"key{i}" for i in range(20_000)] + ["\xe9t\xe9", "a\x00b"])
    values = {k: str(i) for i, k in enumerate(keys)}
    record = DICT(values)
    for _ in range(2):
        read = MAP_READER(record)
        assert list(read.items()) == list(values.items())
        assert [sys.getsizeof(k) for k in read] == [sys.getsizeof(k) for k in values]
    assert [MAP_READER(DICT({k: ""})) for k in keys[:200]] == [{k: ""} for k in keys[:200]]
