"""Varnums, the length prefixes: written in the shortest form (7 bits a byte, most
significant group first, 0x80 on all but the last); read in any length, keeping the low
64 bits, with a varnum cut off by the end of the input worth the groups read so far."""
from __future__ import annotations

from typing import Any

import pytest

import zav.serializer as serializer

# Both edges of each width that a test can hold in memory, with their prefix.
WRITTEN = [(0, "00"), (127, "7f"), (128, "81 00"), (16383, "ff 7f"), (16384, "81 80 00"),
           (2097151, "ff ff 7f"), (2097152, "81 80 80 00")]


@pytest.mark.parametrize("length, prefix", WRITTEN, ids=[str(n) for n, _ in WRITTEN])
def test_list_item_prefix(writer_path: str, length: int, prefix: str) -> None:
    item = b"x" * length
    record = serializer._serialize_list([item, "a"])
    assert record == bytes.fromhex(prefix) + item + b"\x01a"
    assert serializer._deserialize_list(record, False) == [item, b"a"]


@pytest.mark.parametrize("key, value", list(zip(WRITTEN, reversed(WRITTEN))),
                         ids=[f"{k}-{v}" for (k, _), (v, _) in zip(WRITTEN, reversed(WRITTEN))])
def test_map_pair_prefixes(writer_path: str, key: tuple[int, str], value: tuple[int, str]) -> None:
    k, v = "k" * key[0], b"v" * value[0]
    record = serializer._serialize_dict({k: v})
    # Both lengths stand before both byte strings.
    assert record == bytes.fromhex(key[1]) + bytes.fromhex(value[1]) + k.encode() + v
    assert serializer._deserialize_dict(record, False) == {k: v}


@pytest.mark.parametrize("varnum, length", [
    ("80 80 05", 5),  # leading zero groups are accepted
    ("80 80 80 80 80 80 80 80 80 80 03", 3),  # eleven bytes, still a small value
    ("82 80 80 80 80 80 80 80 80 03", 3),  # 2**64 + 3: only the low 64 bits remain
    ("80 81 00", 128),
])
def test_lenient_varnums_are_read(varnum: str, length: int) -> None:
    payload = b"p" * length
    record = bytes.fromhex(varnum) + payload
    assert serializer._deserialize_list(record, False) == [payload]
    assert serializer._deserialize_dict(b"\x00" + record, False) == {"": payload}
    assert serializer._deserialize_dict(bytes.fromhex(varnum) + b"\x00" + payload) == {payload.decode(): ""}


# Lengths of five bytes and more cannot be backed by test data: each must be taken
# whole as a length larger than what follows it, however large it is.
@pytest.mark.parametrize("varnum", [
    "81 80 80 80 00",  # 2**28
    "ff ff ff ff ff ff ff 7f",  # 2**56 - 1
    "ff ff ff ff ff ff ff ff ff 7f",  # 2**64 - 1 in ten bytes
])
def test_lengths_beyond_the_input_are_refused(varnum: str) -> None:
    prefix, tail = bytes.fromhex(varnum), b"x" * 40
    for reader, record, message in [
        (serializer._deserialize_list, prefix + tail, "corrupt array item"),
        (serializer._deserialize_dict, prefix + b"\x00" + tail, "corrupt key"),
        (serializer._deserialize_dict, b"\x00" + prefix + tail, "corrupt value"),
        # A one-byte key and a value length of 2**64 - 1 must not wrap around to fit.
        (serializer._deserialize_dict, b"\x01" + prefix + tail, "corrupt value"),
    ]:
        with pytest.raises(ValueError, match=f"^{message}, refusing to process$"):
            reader(record, False)


@pytest.mark.parametrize("reader, record, outcome", [
    (serializer._deserialize_list, "80", [b""]),  # only 0x80 bytes: a complete zero
    (serializer._deserialize_list, "01 61 80 80", [b"a", b""]),
    (serializer._deserialize_list, "81", "corrupt array item"),  # the value 1, no byte left
    (serializer._deserialize_list, "01 61 82 2c", "corrupt array item"),
    (serializer._deserialize_dict, "80", {"": b""}),  # and no value length at all
    (serializer._deserialize_dict, "00 80", {"": b""}),
    (serializer._deserialize_dict, "81", "corrupt key"),
    (serializer._deserialize_dict, "00 81", "corrupt value"),
    (serializer._deserialize_dict, "01 82", "corrupt value"),
])
def test_truncated_varnums(reader: Any, record: str, outcome: Any) -> None:
    if isinstance(outcome, str):
        with pytest.raises(ValueError, match=f"^{outcome}, refusing to process$"):
            reader(bytes.fromhex(record), False)
    else:
        assert reader(bytes.fromhex(record), False) == outcome
