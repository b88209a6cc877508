"""The text codec: encode() turns any object into UTF-8 bytes, decode() turns bytes
into text, and safe_decode() gives back its argument when that is not UTF-8."""
from __future__ import annotations

import sys
from collections.abc import Callable
from typing import Any

import pytest

import zav.serializer as serializer
from conftest import module_entries


class Bytes(bytes):
    def __str__(self) -> str:
        return "ignored"


class Text(str):
    def __str__(self) -> str:
        return "something else"


class Spelled:
    """An object whose string form is the given text."""

    def __init__(self, text: Any) -> None:
        self.text = text

    def __str__(self) -> Any:
        return self.text


class StrRaises:
    """An object whose string form fails with a new exception each time; `raised` is
    the latest one."""

    def __init__(self, make_error: Callable[[], BaseException]) -> None:
        self.make_error = make_error
        self.raised: BaseException | None = None

    def __str__(self) -> str:
        self.raised = self.make_error()
        raise self.raised


class OddDecodeError(UnicodeDecodeError):
    pass


def undecodable(error_type: type[UnicodeDecodeError] = UnicodeDecodeError) -> UnicodeDecodeError:
    return error_type("utf-8", b"\xff", 0, 1, "invalid start byte")


decoders = pytest.mark.parametrize("decoder", [serializer.decode, serializer.safe_decode])


@pytest.mark.parametrize(
    "obj, expected",
    [
        ("", b""),
        ("é", b"\xc3\xa9"),
        ("a\x00b", b"a\x00b"),
        ("€\U0001f600", b"\xe2\x82\xac\xf0\x9f\x98\x80"),
        (Text("stored"), b"stored"),  # the characters held, not the subclass's __str__
        (42, b"42"),
        (1.5, b"1.5"),
        (True, b"True"),
        (bytearray(b"ab"), b"bytearray(b'ab')"),  # its string form, not its contents
        (Spelled("é"), b"\xc3\xa9"),
    ],
)
def test_encode(obj: Any, expected: bytes) -> None:
    result = serializer.encode(obj)
    assert type(result) is bytes and result == expected
    assert serializer.encode(obj=obj) == expected


@decoders
@pytest.mark.parametrize(
    "obj, expected",
    [
        (b"", ""),
        (b"\xc3\xa9", "é"),
        (b"a\x00b", "a\x00b"),
        (b"\xe2\x82\xac\xf0\x9f\x98\x80", "€\U0001f600"),
        (Bytes(b"\xc3\xa9"), "é"),  # the contents, not the subclass's __str__
        (42, "42"),
        (bytearray(b"ab"), "bytearray(b'ab')"),
        (Spelled("é"), "é"),
    ],
)
def test_decode(decoder: Callable[[Any], Any], obj: Any, expected: str) -> None:
    result = decoder(obj)
    assert type(result) is str and result == expected
    assert decoder(obj=obj) == expected


@pytest.mark.parametrize("obj", [b"", b"xyz", Bytes(b"q")])
def test_encode_returns_bytes_themselves(obj: bytes) -> None:
    assert serializer.encode(obj) is obj


@decoders
@pytest.mark.parametrize("obj", ["", "text", Text("text")])
def test_decode_returns_text_itself(decoder: Callable[[Any], Any], obj: str) -> None:
    assert decoder(obj) is obj


@pytest.mark.parametrize("func", [serializer.encode, serializer.decode, serializer.safe_decode])
def test_none_passes_through(func: Callable[[Any], Any]) -> None:
    assert func(None) is None
    assert func(obj=None) is None


@pytest.mark.parametrize("obj", ["\ud800", "a\udfffb", Text("\udc80"), Spelled("\ud800")])
def test_lone_surrogate_cannot_be_encoded(obj: Any) -> None:
    with pytest.raises(UnicodeEncodeError) as failure:
        serializer.encode(obj)
    assert failure.value.encoding == "utf-8"
    assert module_entries(failure.value) == ["zav.serializer.encode", "zav.serializer._encode"]


@pytest.mark.parametrize(
    "data",
    [
        b"\xff",
        b"\xc3",  # truncated sequence
        b"a\xffb",
        b"\xc0\x80",  # overlong form
        b"\xed\xa0\x80",  # encoded surrogate
        b"\xf4\x90\x80\x80",  # above U+10FFFF
        Bytes(b"\xff"),
    ],
)
def test_malformed_utf8(data: bytes) -> None:
    with pytest.raises(UnicodeDecodeError) as failure:
        serializer.decode(data)
    assert failure.value.encoding == "utf-8"
    assert module_entries(failure.value) == ["zav.serializer.decode", "zav.serializer._decode"]
    assert serializer.safe_decode(data) is data


@pytest.mark.parametrize(
    "make_error",
    [undecodable, lambda: undecodable(OddDecodeError)],
    ids=["UnicodeDecodeError", "subclass"],
)
def test_string_form_raising_unicode_decode_error(make_error: Callable[[], UnicodeDecodeError]) -> None:
    obj = StrRaises(make_error)
    for func, routine in ((serializer.decode, "_decode"), (serializer.encode, "_encode")):
        with pytest.raises(UnicodeDecodeError) as failure:
            func(obj)
        assert failure.value is obj.raised
        assert module_entries(failure.value) == [f"zav.serializer.{func.__name__}", f"zav.serializer.{routine}"]
    assert serializer.safe_decode(obj) is obj


@pytest.mark.parametrize("func", [serializer.encode, serializer.decode, serializer.safe_decode])
def test_other_string_form_failures_propagate(func: Callable[[Any], Any]) -> None:
    obj = StrRaises(lambda: ValueError("no string form"))
    with pytest.raises(ValueError) as failure:
        func(obj)
    assert failure.value is obj.raised
    routine = "_encode" if func is serializer.encode else "_decode"
    assert module_entries(failure.value) == [f"zav.serializer.{func.__name__}", f"zav.serializer.{routine}"]
    # A __str__ that returns something other than text fails as str() does.
    with pytest.raises(TypeError, match="__str__ returned non-string"):
        func(Spelled(5))


@pytest.mark.parametrize(
    "obj, outcome",
    [(b"\xc3\xa9", "é"), (b"\xff", "argument"), (StrRaises(lambda: ValueError("no string form")), ValueError)],
    ids=["decoded", "caught", "failed"],
)
def test_safe_decode_keeps_the_exception_being_handled(obj: Any, outcome: Any) -> None:
    try:
        raise KeyError("being handled")
    except KeyError as handled:
        if outcome is ValueError:
            with pytest.raises(ValueError):
                serializer.safe_decode(obj)
        else:
            result = serializer.safe_decode(obj)
            if outcome == "argument":
                assert result is obj
            else:
                assert result == outcome
        assert sys.exc_info()[1] is handled
        assert sys.exception() is handled
