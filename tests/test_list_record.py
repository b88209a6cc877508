"""The list record: _serialize_list and _deserialize_list.

An entry is the item's length followed by its bytes. Any object with a length and
integer indexing can be written; items come back as text, or as bytes on request.
What both readers share (the truth of `deserialize`, input that is not exactly bytes)
is tested at the end, for both.
"""
from __future__ import annotations

from typing import Any

import pytest

import zav.serializer as serializer
from conftest import Meddler, module_entries

SERIALIZE = "zav.serializer._serialize_list"
DESERIALIZE = "zav.serializer._deserialize_list"


class StoredText(str):
    """The stored characters are written, not this string form."""

    def __str__(self) -> str:
        return "other"


class Doubling(list[Any]):
    """A list subclass: its own __getitem__ is the one used."""

    def __getitem__(self, i: Any) -> Any:
        return super().__getitem__(i) * 2


@pytest.mark.parametrize(
    ("items", "record"),
    [
        ([], ""),
        (["a", "bc", ""], "01 61 02 62 63 00"),
        (["é"], "02 c3 a9"),
        ([StoredText("ab")], "02 61 62"),
        ([1, 2.5, True], "01 31 03 32 2e 35 04 54 72 75 65"),
        ([b"\xff", b"\x00"], "01 ff 01 00"),
        ("abc", "01 61 01 62 01 63"),
        ((1,), "01 31"),
        (b"ab", "02 39 37 02 39 38"),  # one entry per byte value, as decimal text
        (range(3), "01 30 01 31 01 32"),
        ({0: "a", 1: "b"}, "01 61 01 62"),  # indexed through its mapping subscript
        (Doubling(["a", 1]), "02 61 61 01 32"),
        (set(), ""),
        ({}, ""),
    ],
)
def test_written_bytes(writer_path: str, items: Any, record: str) -> None:
    assert serializer._serialize_list(items) == bytes.fromhex(record)


@pytest.mark.parametrize(
    ("record", "deserialize", "result"),
    [
        (b"", True, []),
        ("", False, []),
        (b"\x01a\x02bc\x00", True, ["a", "bc", ""]),
        (b"\x01a\x02bc\x00", False, [b"a", b"bc", b""]),
        (b"\x00", True, [""]),
        (b"\x80\x80\x01a", True, ["a"]),
        (b"\x01\xff", False, [b"\xff"]),
        (b"\x03a\x00b", True, ["a\x00b"]),
        ("\x01a", True, ["a"]),  # text is read as its UTF-8
        ("\x02é", False, [b"\xc3\xa9"]),
        (b"\x01a", 0, [b"a"]),
        (b"\x01a", "", [b"a"]),
        (b"\x01a", None, [b"a"]),
        (b"\x01a", [1], ["a"]),
    ],
)
def test_read_records(record: bytes | str, deserialize: Any, result: list[Any]) -> None:
    assert serializer._deserialize_list(record, deserialize) == result


@pytest.mark.parametrize(
    "record", ["01", "05 61 62", "81", "01 61 05", "ff ff ff ff ff ff ff ff ff ff 7f 61"]
)
def test_corrupt_records(record: str) -> None:
    for deserialize in (True, False):
        with pytest.raises(ValueError, match="^corrupt array item, refusing to process$") as caught:
            serializer._deserialize_list(bytes.fromhex(record), deserialize)
        assert module_entries(caught.value) == [DESERIALIZE]


def test_malformed_utf8_fails_only_when_decoding() -> None:
    with pytest.raises(UnicodeDecodeError) as caught:
        serializer._deserialize_list(b"\x01a\x01\xff")
    assert module_entries(caught.value) == [DESERIALIZE, "zav.serializer._decode"]
    assert serializer._deserialize_list(b"\x01a\x01\xff", False) == [b"a", b"\xff"]


def test_long_items_in_any_order() -> None:
    items = [b"x" * 2000, b"y" * 1500, b"z" * 3000, b"w"]
    assert serializer._deserialize_list(serializer._serialize_list(items), False) == items


class Unprintable:
    def __str__(self) -> str:
        raise LookupError("no text")


@pytest.mark.parametrize(
    ("items", "error", "message", "entries"),
    [
        ([None], TypeError, "expected bytes, NoneType found", [SERIALIZE]),
        (["a", None], TypeError, "expected bytes, NoneType found", [SERIALIZE]),
        (5, TypeError, "object of type 'int' has no len()", [SERIALIZE]),
        ({1}, TypeError, "'set' object is not subscriptable", [SERIALIZE]),
        ({1: "a"}, KeyError, "0", [SERIALIZE]),
        (["\ud800"], UnicodeEncodeError, None, [SERIALIZE, "zav.serializer._encode"]),
        ([b"", Unprintable()], LookupError, "no text", [SERIALIZE, "zav.serializer._encode"]),
    ],
)
def test_writer_failures(writer_path: str, items: Any, error: type[Exception], message: str | None, entries: list[str]) -> None:
    with pytest.raises(error) as caught:
        serializer._serialize_list(items)
    if message is not None:
        assert str(caught.value) == message
    assert module_entries(caught.value) == entries


def test_list_changing_while_written(writer_path: str) -> None:
    # The length is taken once: a shrunk list fails at the first missing index...
    items: list[Any] = []
    items += [Meddler("s", items.clear), "b"]
    with pytest.raises(IndexError, match="^list index out of range$") as caught:
        serializer._serialize_list(items)
    assert module_entries(caught.value) == [SERIALIZE]
    # ...and items appended while it is written are left out.
    items = []
    items += [Meddler("p", lambda: items.append("late")), "b"]
    assert serializer._serialize_list(items) == b"\x01p\x01b"
    assert len(items) == 3


# --- Behaviour shared by both readers ---------------------------------------------


class Alternating:
    """A deserialize flag that is true, false, true, ... and counts how often it is asked."""

    def __init__(self) -> None:
        self.asked = 0

    def __bool__(self) -> bool:
        self.asked += 1
        return self.asked % 2 == 1


LIST, MAP = serializer._deserialize_list, serializer._deserialize_dict


@pytest.mark.parametrize(
    ("reader", "record", "result", "asked"),
    [
        (LIST, b"", [], 0),
        (LIST, b"\x01a\x01b\x01c", ["a", b"b", "c"], 3),
        (LIST, b"\x01a\x05", ValueError, 1),  # asked for the good entry only
        (LIST, b"\x05", ValueError, 0),
        (MAP, b"", {}, 0),
        (MAP, b"\x01\x01ax\x01\x01by\x01\x01cz", {"a": "x", "b": b"y", "c": "z"}, 3),
        (MAP, b"\x01\x01ax\x05", ValueError, 1),
        (MAP, b"\x05", ValueError, 0),
    ],
)
def test_deserialize_truth_is_asked_per_entry(reader: Any, record: bytes, result: Any, asked: int) -> None:
    flag = Alternating()
    if isinstance(result, type):
        with pytest.raises(result):
            reader(record, flag)
    else:
        assert reader(record, flag) == result
    assert flag.asked == asked


class Undecidable:
    def __bool__(self) -> bool:
        raise ZeroDivisionError("no truth")


@pytest.mark.parametrize(
    ("reader", "records"),
    # The truth is asked before anything is decoded, so it fails ahead of malformed UTF-8.
    [(LIST, [b"\x00", b"\x01\xff"]), (MAP, [b"\x00\x00", b"\x01\x01\xff\xfe"])],
)
def test_raising_truth_fails_only_a_non_empty_record(reader: Any, records: list[bytes]) -> None:
    assert not reader(b"", Undecidable())
    for record in records:
        with pytest.raises(ZeroDivisionError, match="no truth") as caught:
            reader(record, Undecidable())
        assert module_entries(caught.value) == [f"zav.serializer.{reader.__name__}"]


class BytesSubclass(bytes):
    pass


@pytest.mark.parametrize("reader", [LIST, MAP])
@pytest.mark.parametrize(
    ("converted", "message"),
    [
        (BytesSubclass(b""), "Expected bytes, got BytesSubclass"),
        ("", "Expected bytes, got str"),
        (bytearray(b""), "Expected bytes, got bytearray"),
        (None, "expected bytes, NoneType found"),
    ],
)
def test_input_that_is_not_exactly_bytes(
    module_globals: dict[str, Any], reader: Any, converted: Any, message: str
) -> None:
    """The readers parse what the module's `encode` returns, which must be exactly bytes."""
    entries = [f"zav.serializer.{reader.__name__}"]
    if isinstance(converted, bytes | None):  # what the module's own encode returns for it
        with pytest.raises(TypeError) as caught:
            reader(converted)
        assert (str(caught.value), module_entries(caught.value)) == (message, entries)
    module_globals["encode"] = lambda raw: converted
    with pytest.raises(TypeError) as caught:
        reader(b"")
    assert (str(caught.value), module_entries(caught.value)) == (message, entries)


@pytest.mark.parametrize("reader", [LIST, MAP])
def test_input_that_cannot_be_encoded(reader: Any) -> None:
    with pytest.raises(UnicodeEncodeError) as caught:
        reader("\ud800")
    assert module_entries(caught.value) == [
        f"zav.serializer.{reader.__name__}", "zav.serializer.encode", "zav.serializer._encode"
    ]
