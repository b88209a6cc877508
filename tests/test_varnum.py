"""Varnums: the length prefixes of the map and list records.

The writers use the shortest form, one to eight bytes of seven bits each, most
significant group first, 0x80 set on every byte but the last. The readers accept any
number of bytes, keep the low 64 bits, and treat a varnum cut off by the end of the
input as the groups read so far.
"""
from __future__ import annotations

from typing import Any

import pytest

import zav.serializer as serializer

# Lengths at both edges of each width that a test can hold in memory, with their prefix.
WRITTEN_PREFIXES = [
    (0, "00"),
    (1, "01"),
    (127, "7f"),
    (128, "81 00"),
    (200, "81 48"),
    (300, "82 2c"),
    (16383, "ff 7f"),
    (16384, "81 80 00"),
    (2097151, "ff ff 7f"),
    (2097152, "81 80 80 00"),
]


@pytest.mark.parametrize(("length", "prefix"), WRITTEN_PREFIXES, ids=[str(n) for n, _ in WRITTEN_PREFIXES])
def test_list_item_prefix(writer_path: str, length: int, prefix: str) -> None:
    item = b"x" * length
    record = serializer._serialize_list([item, "a"])
    assert record == bytes.fromhex(prefix) + item + b"\x01a"
    assert serializer._deserialize_list(record, False) == [item, b"a"]


@pytest.mark.parametrize(
    ("key_length", "key_prefix", "value_length", "value_prefix"),
    [(k, kp, v, vp) for (k, kp), (v, vp) in zip(WRITTEN_PREFIXES, reversed(WRITTEN_PREFIXES))],
    ids=[f"{k}-{v}" for (k, _), (v, _) in zip(WRITTEN_PREFIXES, reversed(WRITTEN_PREFIXES))],
)
def test_map_pair_prefixes(
    writer_path: str, key_length: int, key_prefix: str, value_length: int, value_prefix: str
) -> None:
    key, value = b"k" * key_length, b"v" * value_length
    record = serializer._serialize_dict({key: value})
    # Both lengths stand before both byte strings.
    assert record == bytes.fromhex(key_prefix) + bytes.fromhex(value_prefix) + key + value
    assert serializer._deserialize_dict(record, False) == {key.decode(): value}


@pytest.mark.parametrize(
    ("varnum", "length"),
    [
        ("80 80 05", 5),  # leading zero groups are accepted
        ("80 80 80 80 80 80 80 80 80 80 03", 3),  # eleven bytes, still a small value
        ("82 80 80 80 80 80 80 80 80 03", 3),  # 2**64 + 3: only the low 64 bits remain
        ("80 81 00", 128),
        ("ff ff 7f", 2097151),
    ],
)
def test_lenient_varnums_are_read(varnum: str, length: int) -> None:
    payload = b"p" * length
    record = bytes.fromhex(varnum) + payload
    assert serializer._deserialize_list(record, False) == [payload]
    assert serializer._deserialize_dict(b"\x00" + record, False) == {"": payload}
    assert serializer._deserialize_dict(bytes.fromhex(varnum) + b"\x00" + payload) == {payload.decode(): ""}


# Lengths of five to eight bytes (and wider) cannot be backed by test data: every one
# must be taken whole as a length larger than what follows it, however large it is.
DECLARED_TOO_LONG = [
    "81 80 80 80 00",  # 2**28
    "ff ff ff ff 7f",
    "81 80 80 80 80 00",  # 2**35
    "81 80 80 80 80 80 00",  # 2**42
    "81 80 80 80 80 80 80 00",  # 2**49
    "ff ff ff ff ff ff ff 7f",  # 2**56 - 1
    "ff ff ff ff ff ff ff ff ff 7f",  # 2**64 - 1 in ten bytes
    "ff ff ff ff ff ff ff ff ff ff 7f",  # 2**64 - 1 in eleven bytes
]


@pytest.mark.parametrize("varnum", DECLARED_TOO_LONG)
def test_lengths_beyond_the_input_are_refused(varnum: str) -> None:
    prefix = bytes.fromhex(varnum)
    tail = b"x" * 40
    with pytest.raises(ValueError, match="^corrupt array item, refusing to process$"):
        serializer._deserialize_list(prefix + tail, False)
    with pytest.raises(ValueError, match="^corrupt key, refusing to process$"):
        serializer._deserialize_dict(prefix + b"\x00" + tail, False)
    with pytest.raises(ValueError, match="^corrupt value, refusing to process$"):
        serializer._deserialize_dict(b"\x00" + prefix + tail, False)
    # A one-byte key and a value length of 2**64 - 1 must not wrap around to fit.
    with pytest.raises(ValueError, match="^corrupt value, refusing to process$"):
        serializer._deserialize_dict(b"\x01" + prefix + tail, False)


@pytest.mark.parametrize(
    ("reader", "record", "outcome"),
    [
        (serializer._deserialize_list, "80", [b""]),  # only 0x80 bytes: a complete zero
        (serializer._deserialize_list, "01 61 80 80", [b"a", b""]),
        (serializer._deserialize_list, "81", "corrupt array item"),  # the value 1, no byte left
        (serializer._deserialize_list, "01 61 82 2c", "corrupt array item"),
        (serializer._deserialize_dict, "80", {"": b""}),  # and no value length at all
        (serializer._deserialize_dict, "00 80", {"": b""}),
        (serializer._deserialize_dict, "81", "corrupt key"),
        (serializer._deserialize_dict, "00 81", "corrupt value"),
        (serializer._deserialize_dict, "01 82", "corrupt value"),
    ],
)
def test_truncated_varnums(reader: Any, record: str, outcome: Any) -> None:
    data = bytes.fromhex(record)
    if isinstance(outcome, str):
        with pytest.raises(ValueError, match=f"^{outcome}, refusing to process$"):
            reader(data, False)
    else:
        assert reader(data, False) == outcome
