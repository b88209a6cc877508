"""Typed use of zav.serializer, checked by `mypy --strict` and run as a script.

Every annotated assignment states the type that the stubs give a call; the script
run asserts that the values really have those types. A `# type: ignore[...]` line
marks a call that the stubs must refuse: under --strict an ignore that is not needed
is itself an error, so each one proves a refusal.
"""

import dataclasses
import io
from collections.abc import Iterator
from typing import assert_type

from zav import serializer, stream
from zav.typed import Schema
from zav.serializer import (
    _deserialize_dict,
    _deserialize_list,
    _serialize_dict,
    _serialize_list,
    decode,
    encode,
    safe_decode,
)


def maybe_text(present: bool) -> str | None:
    return "v" if present else None


def codec() -> None:
    raw: bytes = encode("é")
    same: bytes = encode(b"\xff")
    number: bytes = encode(2.5)
    nothing: None = encode(None)
    optional = encode(maybe_text(False))
    assert_type(optional, bytes | None)
    assert (raw, same, number, nothing, optional) == (b"\xc3\xa9", b"\xff", b"2.5", None, None)

    text: str = decode(b"\xc3\xa9")
    passed: str = decode("x")
    shown: str = decode([1])
    no_text: None = decode(None)
    maybe = decode(maybe_text(True))
    assert_type(maybe, str | None)
    assert (text, passed, shown, no_text, maybe) == ("é", "x", "[1]", None, "v")

    kept = safe_decode(b"\xff")
    assert_type(kept, str | bytes)
    assert kept == b"\xff"
    decoded_text: str = safe_decode("x")
    as_text = safe_decode(7)
    assert_type(as_text, str | int)
    nothing_decoded: None = safe_decode(None)
    assert (decoded_text, as_text, nothing_decoded) == ("x", "7", None)


def records(flag: bool) -> None:
    record: bytes = _serialize_dict({"a": "bc", 1: b"2"})
    as_text: dict[str, str] = _deserialize_dict(record)
    also_text: dict[str, str] = _deserialize_dict(record, deserialize=True)
    as_bytes: dict[str, bytes] = _deserialize_dict(record, False)
    either = _deserialize_dict(record, flag)
    assert_type(either, dict[str, str] | dict[str, bytes])
    from_text: dict[str, str] = _deserialize_dict("\x01\x01ab")
    assert as_text == also_text == {"a": "bc", "1": "2"}
    assert as_bytes == {"a": b"bc", "1": b"2"}
    assert from_text == {"a": "b"}

    items: bytes = _serialize_list(["a", b"bc", 3])
    from_tuple: bytes = _serialize_list(("a",))
    from_str: bytes = _serialize_list("abc")
    from_map: bytes = _serialize_list({0: "x"})
    texts: list[str] = _deserialize_list(items)
    payloads: list[bytes] = _deserialize_list(items, deserialize=False)
    mixed = _deserialize_list(items, deserialize=flag)
    assert_type(mixed, list[str] | list[bytes])
    assert texts == ["a", "bc", "3"] and payloads == [b"a", b"bc", b"3"]
    assert (from_tuple, from_str, from_map) == (b"\x01a", b"\x01a\x01b\x01c", b"\x01x")


def refused() -> None:
    """Calls that fail at run time whatever the values, so the stubs reject them."""
    for call in (
        lambda: _serialize_dict(None),  # type: ignore[arg-type]
        lambda: _serialize_dict([("a", "b")]),  # type: ignore[arg-type]
        lambda: _serialize_list(5),  # type: ignore[arg-type]
        lambda: _deserialize_dict(None),  # type: ignore[call-overload]
        lambda: _deserialize_list(None, False),  # type: ignore[call-overload]
    ):
        try:
            call()
        except TypeError:
            continue
        raise AssertionError("expected TypeError")


def module_attributes() -> None:
    stream: io.BytesIO = serializer.io.BytesIO()
    tests: dict[str, object] = serializer.__test__
    assert stream.getvalue() == b"" and tests == {}


@dataclasses.dataclass(frozen=True)
class Row:
    n: int
    price: float


def typed_records() -> None:
    schema = Schema(Row)
    row = schema.load(schema.dump(Row(1, 2.5)))
    assert_type(row, Row)
    numbers = Schema(list[int]).load(b"\x011")
    assert_type(numbers, list[int])
    assert row == Row(1, 2.5) and numbers == [1]
    file = io.BytesIO()
    stream.write_dicts(file, [Row(2, 0.5)], schema=schema)
    rows = stream.read_dicts(io.BytesIO(file.getvalue()), schema=schema)
    assert_type(rows, Iterator[Row])
    assert list(rows) == [Row(2, 0.5)]
    schema.dump([1])  # type: ignore[arg-type]  # raises TypeError where it runs


if __name__ == "__main__":
    codec()
    records(True)
    records(False)
    refused()
    module_attributes()
    try:
        typed_records()
    except TypeError as error:
        assert "expected Row, got list" in str(error)
    else:
        raise AssertionError("dump took a list for a Row")
    print("typing example: ok")
