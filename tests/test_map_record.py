"""The map record: _serialize_dict and _deserialize_dict.

A pair is the key length, the value length, the key bytes and the value bytes; keys and
values are stored as the UTF-8 of their text (bytes unchanged) and read back as text.
"""
from __future__ import annotations

from typing import Any

import pytest

import zav.serializer as serializer
from conftest import Meddler, module_entries

SERIALIZE = "zav.serializer._serialize_dict"
DESERIALIZE = "zav.serializer._deserialize_dict"
ENCODE = "zav.serializer._encode"


@pytest.mark.parametrize(
    ("d", "record"),
    [
        ({}, ""),
        ({"a": "bc"}, "01 02 61 62 63"),
        ({"k": ""}, "01 00 6b"),
        ({"": ""}, "00 00"),
        ({1: 2.5}, "01 03 31 32 2e 35"),
        ({b"\x00k": "v\x00", "é": b"\xff"}, "02 02 00 6b 76 00 02 01 c3 a9 ff"),
        ({1: "x", "1": "y"}, "01 01 31 78 01 01 31 79"),  # two pairs with the key 31
        ({(1, 2): True}, "06 04 28 31 2c 20 32 29 54 72 75 65"),
    ],
)
def test_written_bytes(writer_path: str, d: dict[Any, Any], record: str) -> None:
    assert serializer._serialize_dict(d) == bytes.fromhex(record)


@pytest.mark.parametrize(
    ("record", "deserialize", "result"),
    [
        (b"", True, {}),
        ("", True, {}),
        (b"\x01\x02abc", True, {"a": "bc"}),
        (b"\x01\x02abc", False, {"a": b"bc"}),
        (b"\x01\x00k\x00\x00", True, {"k": "", "": ""}),
        (b"\x01\x011x\x01\x011y", True, {"1": "y"}),  # the later pair wins
        (b"\x01\x01ax\x01\x01by\x01\x01az", True, {"a": "z", "b": "y"}),  # and keeps its place
        (b"\x02\x02\x00k\x00v", False, {"\x00k": b"\x00v"}),
        ("\x01\x01ab", True, {"a": "b"}),  # text is read as its UTF-8
        (b"\x01\x01ab", 0, {"a": b"b"}),
        (b"\x01\x01ab", "", {"a": b"b"}),
        (b"\x01\x01ab", [], {"a": b"b"}),
        (b"\x01\x01ab", None, {"a": b"b"}),
        (b"\x01\x01ab", [0], {"a": "b"}),
    ],
)
def test_read_records(record: bytes | str, deserialize: Any, result: dict[str, Any]) -> None:
    read = serializer._deserialize_dict(record, deserialize)
    assert list(read.items()) == list(result.items())


@pytest.mark.parametrize(
    ("record", "message"),
    [
        ("05", "corrupt key"),
        ("01", "corrupt key"),
        ("01 05 61", "corrupt value"),
        ("02 00 61", "corrupt value"),  # the key overruns once the value length is counted
        ("01 02 61 62 63 05", "corrupt key"),  # a good pair first: nothing is returned
        ("01 02 61 62 63 01 01 61", "corrupt value"),
    ],
)
def test_corrupt_records(record: str, message: str) -> None:
    for deserialize in (True, False):
        with pytest.raises(ValueError, match=f"^{message}, refusing to process$") as caught:
            serializer._deserialize_dict(bytes.fromhex(record), deserialize)
        assert module_entries(caught.value) == [DESERIALIZE]


def test_malformed_utf8() -> None:
    # A key must always decode; a value only when asked to.
    for deserialize in (True, False):
        with pytest.raises(UnicodeDecodeError) as caught:
            serializer._deserialize_dict(b"\x01\x01\xffa", deserialize)
        assert module_entries(caught.value) == [DESERIALIZE, "zav.serializer._decode"]
    assert serializer._deserialize_dict(b"\x01\x01a\xff", False) == {"a": b"\xff"}
    # With both malformed, the value is decoded first and its error is the one raised.
    with pytest.raises(UnicodeDecodeError) as caught:
        serializer._deserialize_dict(b"\x01\x01\xff\xfe")
    assert caught.value.object == b"\xfe"
    with pytest.raises(UnicodeDecodeError) as caught:
        serializer._deserialize_dict(b"\x01\x01\xff\xfe", False)
    assert caught.value.object == b"\xff"


class Logged:
    """A value whose string form logs that it was taken."""

    def __init__(self, log: list[str]) -> None:
        self.log = log

    def __str__(self) -> str:
        self.log.append("str")
        return "v"


def test_none_key_or_value(writer_path: str) -> None:
    # A None key fails only once its value has been looked up and encoded.
    log: list[str] = []
    d = {"a": "b", None: Logged(log)}
    with pytest.raises(TypeError, match="^expected bytes, NoneType found$") as caught:
        serializer._serialize_dict(d)
    assert log == ["str"]
    assert module_entries(caught.value) == [SERIALIZE]
    assert list(d) == ["a", None]
    with pytest.raises(TypeError, match="^expected bytes, NoneType found$"):
        serializer._serialize_dict({"a": None})


@pytest.mark.parametrize(
    ("d", "error", "entries"),
    [
        ({"\ud800": "v"}, UnicodeEncodeError, [SERIALIZE, ENCODE]),
        ({"k": "a\udfff"}, UnicodeEncodeError, [SERIALIZE, ENCODE]),
        (None, TypeError, [SERIALIZE]),
    ],
)
def test_writer_failures(writer_path: str, d: Any, error: type[Exception], entries: list[str]) -> None:
    with pytest.raises(error) as caught:
        serializer._serialize_dict(d)
    assert module_entries(caught.value) == entries
    if d is None:
        assert str(caught.value) == "'NoneType' object is not iterable"


def test_key_growing_the_dict(writer_path: str) -> None:
    d: dict[Any, Any] = {}
    d[Meddler("g", lambda: d.update(new=1))] = "v"
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$") as caught:
        serializer._serialize_dict(d)
    assert module_entries(caught.value) == [SERIALIZE]


def test_key_removed_by_its_own_string_form(writer_path: str) -> None:
    # The key's string form removes it and adds another key, so the size stays the same.
    d: dict[Any, Any] = {}
    key = (Meddler("m", lambda: (d.clear(), d.update(other="x"))),)
    d[key] = "v"
    with pytest.raises(KeyError) as caught:
        serializer._serialize_dict(d)
    assert caught.value.args == (key,)  # the tuple itself, not its items
    assert module_entries(caught.value) == [SERIALIZE]


def test_value_is_looked_up_after_the_key_is_encoded(writer_path: str) -> None:
    d: dict[Any, Any] = {}
    key = Meddler("k", lambda: d.update({key: "new"}))
    d[key] = "old"
    assert serializer._serialize_dict(d) == b"\x01\x03knew"
