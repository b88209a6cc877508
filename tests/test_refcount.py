"""Every call releases what it takes: repeating a call, successful or failing, leaves the
interpreter's total reference count where it was. Runs under the debug interpreter only.
"""
from __future__ import annotations

import inspect
import io
from collections.abc import Callable
from types import SimpleNamespace
from typing import Any

import pytest

import zav.serializer as serializer
from conftest import debug_only, refcount_growth, vectorcall

pytestmark = debug_only

Namespace = dict[str, Any]

# A valid argument for each function, and its parameter names. The arguments are objects
# with a reference count of their own: a reference taken to an immortal one (True, an
# empty or one-character text or bytes) could never show as growth.
SAMPLES: dict[str, Any] = {
    "encode": "é text",
    "decode": b"caf\xc3\xa9",
    "safe_decode": b"\xff\xfe",
    "_serialize_dict": {"a": "bc", 1: 2.5, b"k": "é"},
    "_deserialize_dict": b"\x01\x02abc\x00\x00",
    "_serialize_list": ["a", 1, b"x", "é"],
    "_deserialize_list": b"\x01a\x02bc\x00",
}
PARAMS = {name: list(inspect.signature(getattr(serializer, name)).parameters) for name in SAMPLES}


class StrRaises:
    def __init__(self, error_type: type[BaseException]) -> None:
        self.error_type = error_type

    def __str__(self) -> str:
        if self.error_type is UnicodeDecodeError:
            raise UnicodeDecodeError("utf-8", b"\xff", 0, 1, "invalid start byte")
        raise self.error_type("no string form")


class Spelled:
    def __init__(self, text: Any) -> None:
        self.text = text

    def __str__(self) -> Any:
        return self.text


class Incomparable(str):
    def __eq__(self, other: object) -> bool:
        raise LookupError("cannot compare keyword names")

    __hash__ = str.__hash__


class Falsy:
    def __bool__(self) -> bool:
        raise ValueError("no truth")


class BytesSubclass(bytes):
    pass


class Grower:
    """A key whose string form adds an entry to the dict being written."""

    def __init__(self, target: dict) -> None:
        self.target = target

    def __str__(self) -> str:
        self.target[len(self.target)] = "added"
        return "grower"


class Vanisher:
    """A key whose string form removes it from the dict being written."""

    def __init__(self, target: dict) -> None:
        self.target = target

    def __str__(self) -> str:
        del self.target[self]
        return "vanisher"


def write_changing_dict(key_type: type) -> None:
    d: dict[Any, Any] = {}
    d[key_type(d)] = "value"
    try:
        serializer._serialize_dict(d)
    finally:
        d.clear()  # the key refers to the dict: break the cycle


class RecordingStream:
    def __init__(self) -> None:
        self.parts: list[bytes] = []

    def write(self, data: bytes) -> None:
        self.parts.append(data)

    def getvalue(self) -> bytes:
        return b"".join(self.parts)


class FailingStream(RecordingStream):
    def write(self, data: bytes) -> None:
        raise OSError("disk full")


def refuse_encode(raw: Any) -> bytes:
    raise OSError("no encode")


def case(case_id: str, call: Callable[[], Any], raises: type[BaseException] | None = None,
         setup: Callable[[Namespace], None] | None = None) -> Any:
    return pytest.param(call, raises, setup, id=case_id)


def per_function_cases() -> list[Any]:
    cases = []
    for name, sample in SAMPLES.items():
        f = getattr(serializer, name)
        first = PARAMS[name][0]
        cases += [
            case(f"{name}-positional", lambda f=f, a=sample: f(a)),
            case(f"{name}-keyword", lambda f=f, a=sample, k=first: f(**{k: a})),
            case(f"{name}-keyword-dict", lambda f=f, a=sample, k=first: f.__call__(**{k: a})),
            case(f"{name}-too-many", lambda f=f: f(1, 2, 3), TypeError),
            case(f"{name}-too-few", lambda f=f: f(), TypeError),
            case(f"{name}-unexpected", lambda f=f, a=sample: f(a, bogus=1), TypeError),
            case(f"{name}-unexpected-dict", lambda f=f, a=sample: f.__call__(a, bogus=1), TypeError),
            case(f"{name}-multiple", lambda f=f, a=sample, k=first: f(a, **{k: a}), TypeError),
            case(f"{name}-multiple-dict", lambda f=f, a=sample, k=first: f.__call__(a, **{k: a}), TypeError),
            case(f"{name}-non-string-name", lambda f=f, a=sample: vectorcall(f, [a, 1], (1,)), TypeError),
            case(f"{name}-non-string-key-dict", lambda f=f: f.__call__(**{1: 2}), TypeError),
            case(f"{name}-incomparable-name", lambda f=f: f(**{Incomparable("x"): 1}), LookupError),
            case(f"{name}-incomparable-name-dict", lambda f=f: f.__call__(**{Incomparable(first): 1}), LookupError),
        ]
    return cases


LONG_LIST = serializer._serialize_list(["a" * 2000, "b" * 1500])
LONG_DICT = serializer._serialize_dict({"k" * 300: "v" * 3000, "x": "y"})

CASES = per_function_cases() + [
    # Binding that fails after it has taken a keyword's value.
    case("bound-then-unexpected", lambda: serializer._deserialize_dict(raw_data=b"\x00\x00", bogus=1), TypeError),
    case("bound-then-unexpected-dict", lambda: serializer._deserialize_dict.__call__(raw_data=b"\x00\x00", bogus=1), TypeError),
    case("bound-then-multiple-dict",
         lambda: serializer._deserialize_list.__call__(b"\x00\x00", deserialize=[], raw_data=b"\x00"), TypeError),
    case("keywords-in-any-order", lambda: serializer._deserialize_list(deserialize=0, raw_data=b"\x01a")),
    case("serialize-dict-type-refused", lambda: serializer._serialize_dict([]), TypeError),
    # Codec
    case("encode-other-object", lambda: serializer.encode(Spelled("é"))),
    case("encode-surrogate", lambda: serializer.encode("a\ud800"), UnicodeEncodeError),
    case("encode-str-raises", lambda: serializer.encode(StrRaises(ValueError)), ValueError),
    case("decode-malformed", lambda: serializer.decode(b"a\xff"), UnicodeDecodeError),
    case("decode-str-not-text", lambda: serializer.decode(Spelled(5)), TypeError),
    case("safe-decode-str-raises-decode-error", lambda: serializer.safe_decode(StrRaises(UnicodeDecodeError))),
    case("safe-decode-str-raises", lambda: serializer.safe_decode(StrRaises(ValueError)), ValueError),
    # Module-global lookup
    case("serialize-dict-no-io", lambda: serializer._serialize_dict({"a": "b"}), NameError, lambda ns: ns.pop("io")),
    case("serialize-list-no-io", lambda: serializer._serialize_list(["a"]), NameError, lambda ns: ns.pop("io")),
    case("deserialize-dict-no-encode", lambda: serializer._deserialize_dict(b"\x00\x00"), NameError, lambda ns: ns.pop("encode")),
    case("deserialize-list-no-encode", lambda: serializer._deserialize_list(b"\x00\x00"), NameError, lambda ns: ns.pop("encode")),
    case("serialize-dict-stand-in-io", lambda: serializer._serialize_dict({"a": "b", "é": b"c"}), None,
         lambda ns: ns.update(io=SimpleNamespace(BytesIO=RecordingStream))),
    case("serialize-list-stand-in-io", lambda: serializer._serialize_list(["a", 1]), None,
         lambda ns: ns.update(io=SimpleNamespace(BytesIO=RecordingStream))),
    case("serialize-list-bytesio-subclass", lambda: serializer._serialize_list(["a", 1]), None,
         lambda ns: ns.update(io=SimpleNamespace(BytesIO=type("Stream", (io.BytesIO,), {})))),
    case("serialize-dict-write-raises", lambda: serializer._serialize_dict({"a": "b"}), OSError,
         lambda ns: ns.update(io=SimpleNamespace(BytesIO=FailingStream))),
    case("serialize-list-write-raises", lambda: serializer._serialize_list(["a"]), OSError,
         lambda ns: ns.update(io=SimpleNamespace(BytesIO=FailingStream))),
    case("deserialize-dict-stand-in-encode", lambda: serializer._deserialize_dict("x"), None,
         lambda ns: ns.update(encode=lambda raw: b"\x01\x01ab")),
    case("deserialize-dict-encode-raises", lambda: serializer._deserialize_dict(b"\x00\x00"), OSError,
         lambda ns: ns.update(encode=refuse_encode)),
    case("deserialize-list-encode-raises", lambda: serializer._deserialize_list(b"\x00\x00"), OSError,
         lambda ns: ns.update(encode=refuse_encode)),
    case("deserialize-list-encode-gives-text", lambda: serializer._deserialize_list(b"\x00\x00"), TypeError,
         lambda ns: ns.update(encode=lambda raw: "text")),
    # Writers
    case("serialize-dict-size-changes", lambda: write_changing_dict(Grower), RuntimeError),
    case("serialize-dict-key-removed", lambda: write_changing_dict(Vanisher), KeyError),
    case("serialize-dict-none", lambda: serializer._serialize_dict(None), TypeError),
    case("serialize-dict-none-value", lambda: serializer._serialize_dict({"a": "b", "c": None}), TypeError),
    case("serialize-dict-none-key", lambda: serializer._serialize_dict({None: "b"}), TypeError),
    case("serialize-dict-surrogate-value", lambda: serializer._serialize_dict({"a": "\ud800"}), UnicodeEncodeError),
    case("serialize-list-surrogate", lambda: serializer._serialize_list(["a", "\ud800"]), UnicodeEncodeError),
    case("serialize-list-none-item", lambda: serializer._serialize_list(["a", None]), TypeError),
    case("serialize-list-no-length", lambda: serializer._serialize_list(5), TypeError),
    case("serialize-list-text", lambda: serializer._serialize_list("abc")),
    # Readers
    case("deserialize-dict-long", lambda: serializer._deserialize_dict(LONG_DICT, False)),
    case("deserialize-list-long", lambda: serializer._deserialize_list(LONG_LIST)),
    case("deserialize-dict-corrupt-key", lambda: serializer._deserialize_dict(b"\x01\x01ab\x05"), ValueError),
    case("deserialize-dict-corrupt-value", lambda: serializer._deserialize_dict(b"\x01\x05a"), ValueError),
    case("deserialize-list-corrupt-item", lambda: serializer._deserialize_list(b"\x01a\x05"), ValueError),
    case("deserialize-dict-malformed-key", lambda: serializer._deserialize_dict(b"\x01\x01\xffa"), UnicodeDecodeError),
    case("deserialize-list-malformed-item", lambda: serializer._deserialize_list(b"\x01a\x01\xff"), UnicodeDecodeError),
    case("deserialize-dict-truth-raises", lambda: serializer._deserialize_dict(b"\x00\x00", Falsy()), ValueError),
    case("deserialize-list-truth-raises", lambda: serializer._deserialize_list(b"\x00", Falsy()), ValueError),
    case("deserialize-dict-none", lambda: serializer._deserialize_dict(None), TypeError),
    case("deserialize-list-bytes-subclass", lambda: serializer._deserialize_list(BytesSubclass(b"")), TypeError),
]


@pytest.mark.parametrize("call, raises, setup", CASES)
def test_repeated_calls_leave_reference_counts_unchanged(
    module_globals: Namespace, call: Callable[[], Any], raises: type[BaseException] | None,
    setup: Callable[[Namespace], None] | None,
) -> None:
    if setup is not None:
        setup(module_globals)

    def once() -> None:
        try:
            call()
        except Exception as exc:
            if raises is None or not isinstance(exc, raises):
                raise
            return
        if raises is not None:
            raise AssertionError(f"expected {raises.__name__}")

    # Even a call that does nothing reads 1: the integer refcount_growth keeps from its
    # first reading is still alive at the second. Only growth beyond that is the module's.
    assert refcount_growth(once) - refcount_growth(lambda: None) == 0
