"""Properties of the map and list records over generated contents."""
from __future__ import annotations

from typing import Any

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import zav.serializer as serializer

# Text with a UTF-8 form, the kinds of object a record holds, and payloads long enough
# for two-byte prefixes.
text = st.text(st.characters(codec="utf-8"), max_size=12)
scalars = st.one_of(text, text.map(str.encode), st.integers(), st.floats())
payloads = st.one_of(scalars, st.binary(max_size=200))

# Uniform random bytes nearly always declare a length past their end; runs of small
# lengths, varnum bytes and short payloads make records that parse, nearly parse, or
# hold malformed UTF-8.
chunks = st.one_of(st.integers(0, 4).map(lambda n: bytes([n])),
                   st.sampled_from([b"\x80", b"\x81", b"\xff", b"\xc3", b"\xc3\xa9"]), st.binary(max_size=3))
byte_strings = st.one_of(st.binary(max_size=48), st.lists(chunks, max_size=16).map(b"".join))

CORRUPT_MAP = ("corrupt key, refusing to process", "corrupt value, refusing to process")
CORRUPT_LIST = ("corrupt array item, refusing to process",)

examples = settings(max_examples=150, deadline=None)


def byte_form(obj: Any) -> bytes:
    return obj if isinstance(obj, bytes) else str(obj).encode()


def expected_map(pairs: list[tuple[Any, Any]]) -> dict[str, bytes]:
    """Later pairs with the same key text replace the value but keep the first place."""
    return {byte_form(key).decode(): byte_form(value) for key, value in pairs}


def is_utf8(data: bytes) -> bool:
    try:
        data.decode()
    except UnicodeDecodeError:
        return False
    return True


@examples
@given(st.dictionaries(scalars, payloads, max_size=8))
def test_map_round_trip(d: dict[Any, Any]) -> None:
    record = serializer._serialize_dict(d)
    assert record == b"".join(serializer._serialize_dict({k: v}) for k, v in d.items())
    expected = expected_map(list(d.items()))
    assert list(serializer._deserialize_dict(record, False).items()) == list(expected.items())
    if all(is_utf8(byte_form(v)) for v in d.values()):
        as_text = serializer._deserialize_dict(record)
        assert list(as_text.items()) == [(k, v.decode()) for k, v in expected.items()]
    else:
        with pytest.raises(UnicodeDecodeError):
            serializer._deserialize_dict(record)


@examples
@given(st.lists(payloads, max_size=8), st.lists(payloads, max_size=8))
def test_list_round_trip(items: list[Any], more: list[Any]) -> None:
    record = serializer._serialize_list(items + more)
    assert record == serializer._serialize_list(items) + serializer._serialize_list(more)
    as_bytes = [byte_form(i) for i in items + more]
    assert serializer._deserialize_list(record, False) == as_bytes
    if all(map(is_utf8, as_bytes)):
        assert serializer._deserialize_list(record) == [b.decode() for b in as_bytes]
    else:
        with pytest.raises(UnicodeDecodeError):
            serializer._deserialize_list(record)


def read_or_refusal(reader: Any, data: bytes, deserialize: bool) -> Any:
    """The reader's result, the message of its refusal, or UnicodeDecodeError."""
    try:
        return reader(data, deserialize)
    except UnicodeDecodeError:
        return UnicodeDecodeError
    except ValueError as exc:
        return str(exc)


@examples
@given(byte_strings, st.booleans())
def test_arbitrary_bytes_parse_or_are_refused(data: bytes, deserialize: bool) -> None:
    value_type = str if deserialize else bytes
    as_map = read_or_refusal(serializer._deserialize_dict, data, deserialize)
    assert (as_map is UnicodeDecodeError or as_map in CORRUPT_MAP
            or all(type(k) is str and type(v) is value_type for k, v in as_map.items()))
    as_list = read_or_refusal(serializer._deserialize_list, data, deserialize)
    assert (as_list is UnicodeDecodeError and deserialize  # nothing is decoded otherwise
            or as_list in CORRUPT_LIST or all(type(i) is value_type for i in as_list))


@examples
@given(st.lists(payloads, max_size=6))
def test_list_prefixes(items: list[Any]) -> None:
    entries = [serializer._serialize_list([item]) for item in items]
    record = b"".join(entries)
    ends = {sum(map(len, entries[:j])): j for j in range(len(items) + 1)}
    for cut in range(len(record) + 1):
        read = read_or_refusal(serializer._deserialize_list, record[:cut], False)
        if cut in ends:
            assert read == [byte_form(i) for i in items[: ends[cut]]]
        else:
            assert read in CORRUPT_LIST


@examples
@given(st.dictionaries(scalars, payloads, max_size=6))
def test_map_prefixes(d: dict[Any, Any]) -> None:
    pairs = list(d.items())
    entries = [serializer._serialize_dict(dict([pair])) for pair in pairs]
    record = b"".join(entries)
    for j in range(len(pairs) + 1):
        start = sum(map(len, entries[:j]))
        assert serializer._deserialize_dict(record[:start], False) == expected_map(pairs[:j])
        for cut in range(start + 1, start + len(entries[j]) if j < len(pairs) else start):
            read = read_or_refusal(serializer._deserialize_dict, record[:cut], False)
            if cut == start + 1 and record[start] == 0:
                # Cut after an empty key's length: the missing value length reads as 0.
                assert read == expected_map(pairs[:j] + [("", b"")])
            else:
                assert read in CORRUPT_MAP
