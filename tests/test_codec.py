"""The text codec: encode() gives UTF-8 bytes, decode() text, and safe_decode() its
argument back where that is not UTF-8."""
from __future__ import annotations

import re
import sys
from collections.abc import Callable
from typing import Any

import pytest

import zav.serializer as serializer
from conftest import Spelled, StrRaises, module_entries, undecodable


class Bytes(bytes):
    def __str__(self) -> str:
        return "ignored"


class Text(str):
    def __str__(self) -> str:
        return "ignored"


decoders = pytest.mark.parametrize("decoder", [serializer.decode, serializer.safe_decode])


@pytest.mark.parametrize("obj, expected", [
    ("", b""),
    ("€\U0001f600", b"\xe2\x82\xac\xf0\x9f\x98\x80"),
    (Text("stored"), b"stored"),  # the characters held, not the subclass's __str__
    (42, b"42"),
    (bytearray(b"ab"), b"bytearray(b'ab')"),  # its string form, not its contents
    (Spelled("é"), b"\xc3\xa9"),
])
def test_encode(obj: Any, expected: bytes) -> None:
    result = serializer.encode(obj)
    assert type(result) is bytes and result == expected


@decoders
@pytest.mark.parametrize("obj, expected", [
    (b"", ""),
    (b"\xe2\x82\xac\xf0\x9f\x98\x80", "€\U0001f600"),
    (Bytes(b"\xc3\xa9"), "é"),  # the contents, not the subclass's __str__
    (42, "42"),
    (Spelled("é"), "é"),
])
def test_decode(decoder: Callable[[Any], Any], obj: Any, expected: str) -> None:
    result = decoder(obj)
    assert type(result) is str and result == expected


@pytest.mark.parametrize("func, obj", [
    (serializer.encode, b"xyz"), (serializer.encode, Bytes(b"q")), (serializer.encode, None),
    (serializer.decode, "text"), (serializer.decode, Text("t")), (serializer.decode, None),
    (serializer.safe_decode, Text("t")), (serializer.safe_decode, None),
])
def test_argument_itself_is_returned(func: Callable[[Any], Any], obj: Any) -> None:
    assert func(obj) is obj


@pytest.mark.parametrize("obj", ["a\ud800", Text("\udc80"), Spelled("\ud800")])
def test_lone_surrogate_cannot_be_encoded(obj: Any) -> None:
    with pytest.raises(UnicodeEncodeError) as failure:
        serializer.encode(obj)
    assert failure.value.encoding == "utf-8"
    assert module_entries(failure.value) == ["zav.serializer.encode", "zav.serializer._encode"]


@pytest.mark.parametrize("data", [b"\xff", b"a\xc3", Bytes(b"\xff")])
def test_malformed_utf8(data: bytes) -> None:
    with pytest.raises(UnicodeDecodeError) as failure:
        serializer.decode(data)
    assert failure.value.encoding == "utf-8"
    assert module_entries(failure.value) == ["zav.serializer.decode", "zav.serializer._decode"]
    assert serializer.safe_decode(data) is data


@pytest.mark.parametrize("error_type", [UnicodeDecodeError, type("OddDecodeError", (UnicodeDecodeError,), {})])
def test_string_form_raising_unicode_decode_error(error_type: type[UnicodeDecodeError]) -> None:
    obj = StrRaises(lambda: error_type(*undecodable().args))
    for func, routine in ((serializer.decode, "_decode"), (serializer.encode, "_encode")):
        with pytest.raises(UnicodeDecodeError) as failure:
            func(obj)
        assert failure.value is obj.raised
        assert module_entries(failure.value) == [f"zav.serializer.{func.__name__}", f"zav.serializer.{routine}"]
    assert serializer.safe_decode(obj) is obj


@pytest.mark.parametrize("func, routine", [
    (serializer.encode, "_encode"), (serializer.decode, "_decode"), (serializer.safe_decode, "_decode"),
])
def test_other_string_form_failures_propagate(func: Callable[[Any], Any], routine: str) -> None:
    obj = StrRaises(lambda: ValueError("no string form"))
    with pytest.raises(ValueError) as failure:
        func(obj)
    assert failure.value is obj.raised
    assert module_entries(failure.value) == [f"zav.serializer.{func.__name__}", f"zav.serializer.{routine}"]
    with pytest.raises(TypeError) as refused:
        str(Spelled(5))  # the interpreter's own wording, which differs between versions
    with pytest.raises(TypeError, match=re.escape(str(refused.value))):
        func(Spelled(5))


@pytest.mark.parametrize("obj, outcome", [
    (b"\xc3\xa9", "é"), (b"\xff", b"\xff"), (StrRaises(lambda: ValueError("no string form")), ValueError),
], ids=["decoded", "caught", "failed"])
def test_safe_decode_keeps_the_exception_being_handled(obj: Any, outcome: Any) -> None:
    try:
        raise KeyError("being handled")
    except KeyError as handled:
        if outcome is ValueError:
            with pytest.raises(ValueError):
                serializer.safe_decode(obj)
        else:
            assert serializer.safe_decode(obj) == outcome
        assert sys.exc_info()[1] is handled and sys.exception() is handled
