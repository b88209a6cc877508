"""Properties of the map and list records over generated contents."""
from __future__ import annotations

from typing import Any

from hypothesis import given, settings
from hypothesis import strategies as st

import zav.serializer as serializer

# Text that has a UTF-8 form (no lone surrogates), and the kinds of object a record holds.
text = st.text(st.characters(codec="utf-8"), max_size=12)
scalars = st.one_of(text, text.map(str.encode), st.integers(), st.floats())
payloads = st.one_of(scalars, st.binary(max_size=200))  # long enough for two-byte prefixes

# Uniform random bytes nearly always declare a length past their end; runs of small
# lengths, varnum bytes and short payloads make records that parse, nearly parse, or
# hold malformed UTF-8.
chunks = st.one_of(
    st.integers(0, 4).map(lambda n: bytes([n])),
    st.sampled_from([b"\x80", b"\x81", b"\xff", b"\xc3", b"\xc3\xa9"]),
    st.binary(max_size=3),
)
byte_strings = st.one_of(st.binary(max_size=48), st.lists(chunks, max_size=16).map(b"".join))

CORRUPT_MAP = {"corrupt key, refusing to process", "corrupt value, refusing to process"}
CORRUPT_LIST = {"corrupt array item, refusing to process"}

examples = settings(max_examples=150, deadline=None)


def text_form(obj: Any) -> str:
    return obj.decode() if isinstance(obj, bytes) else str(obj)


def byte_form(obj: Any) -> bytes:
    return obj if isinstance(obj, bytes) else str(obj).encode()


def expected_map(pairs: list[tuple[Any, Any]], deserialize: bool) -> dict[str, Any]:
    """Later pairs with the same key text replace the value but keep the first place."""
    result: dict[str, Any] = {}
    for key, value in pairs:
        result[text_form(key)] = text_form(value) if deserialize else byte_form(value)
    return result


@examples
@given(st.dictionaries(scalars, scalars, max_size=8))
def test_map_round_trip_to_text(d: dict[Any, Any]) -> None:
    read = serializer._deserialize_dict(serializer._serialize_dict(d))
    assert list(read.items()) == list(expected_map(list(d.items()), True).items())


@examples
@given(st.dictionaries(scalars, payloads, max_size=8))
def test_map_is_its_pairs_back_to_back(d: dict[Any, Any]) -> None:
    record = serializer._serialize_dict(d)
    assert record == b"".join(serializer._serialize_dict({k: v}) for k, v in d.items())
    assert serializer._deserialize_dict(record, False) == expected_map(list(d.items()), False)


@examples
@given(st.lists(scalars, max_size=8), st.lists(payloads, max_size=8))
def test_list_round_trip(items: list[Any], more: list[Any]) -> None:
    assert serializer._deserialize_list(serializer._serialize_list(items)) == [text_form(i) for i in items]
    record = serializer._serialize_list(items + more)
    assert record == serializer._serialize_list(items) + serializer._serialize_list(more)
    assert serializer._deserialize_list(record, False) == [byte_form(i) for i in items + more]


def read_or_refusal(reader: Any, data: bytes, deserialize: bool) -> Any:
    """The reader's result, the message of its refusal, or UnicodeDecodeError."""
    try:
        return reader(data, deserialize)
    except UnicodeDecodeError:
        return UnicodeDecodeError
    except ValueError as exc:
        return str(exc)


def refused(read: Any, messages: set[str]) -> bool:
    return isinstance(read, str) and read in messages


@examples
@given(byte_strings, st.booleans())
def test_arbitrary_bytes_parse_or_are_refused(data: bytes, deserialize: bool) -> None:
    as_map = read_or_refusal(serializer._deserialize_dict, data, deserialize)
    value_type = str if deserialize else bytes
    assert (
        as_map is UnicodeDecodeError
        or refused(as_map, CORRUPT_MAP)
        or all(type(k) is str and type(v) is value_type for k, v in as_map.items())
    )
    as_list = read_or_refusal(serializer._deserialize_list, data, deserialize)
    assert (
        as_list is UnicodeDecodeError and deserialize  # nothing is decoded otherwise
        or refused(as_list, CORRUPT_LIST)
        or all(type(i) is value_type for i in as_list)
    )


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
            assert refused(read, CORRUPT_LIST)


@examples
@given(st.dictionaries(scalars, payloads, max_size=6))
def test_map_prefixes(d: dict[Any, Any]) -> None:
    pairs = list(d.items())
    entries = [serializer._serialize_dict(dict([pair])) for pair in pairs]
    record = b"".join(entries)
    for j in range(len(pairs) + 1):
        start = sum(map(len, entries[:j]))
        assert serializer._deserialize_dict(record[:start], False) == expected_map(pairs[:j], False)
        for cut in range(start + 1, start + len(entries[j]) if j < len(pairs) else start):
            read = read_or_refusal(serializer._deserialize_dict, record[:cut], False)
            if cut == start + 1 and record[start] == 0:
                # Cut after an empty key's length: the missing value length reads as 0.
                assert read == expected_map(pairs[:j] + [("", b"")], False)
            else:
                assert refused(read, CORRUPT_MAP)
