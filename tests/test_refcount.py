"""Every call releases what it takes: repeating a call, successful or failing, leaves the
interpreter's total reference count where it was. Runs under the debug interpreter only."""
from __future__ import annotations

import io
import sys
from types import ModuleType, SimpleNamespace
from collections.abc import Callable, Coroutine
from typing import Any

import pytest

import zav.serializer as serializer
from zav import _stream, stream
from conftest import Incomparable, RecordingStream, Spelled, slot_sharing_record, undecodable, vectorcall

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs the debug interpreter")

S = serializer
# A valid argument for each function, with a reference count of its own: a reference
# taken to an immortal object (True, an empty or one-character str or bytes) never shows.
SAMPLES: dict[str, Any] = {
    "encode": "é text", "decode": b"caf\xc3\xa9", "safe_decode": b"\xff\xfe",
    "_serialize_dict": {"a": "bc", 1: 2.5, b"k": "é"}, "_deserialize_dict": b"\x01\x02abc\x00\x00",
    "_serialize_list": ["a", 1, b"x", "é"], "_deserialize_list": b"\x01a\x02bc\x00",
}
FIRST = {"encode": "obj", "decode": "obj", "safe_decode": "obj", "_serialize_dict": "d",
         "_deserialize_dict": "raw_data", "_serialize_list": "l", "_deserialize_list": "raw_data"}


def case(case_id: str, call: Callable[[], Any], raises: type[BaseException] | None = None,
         setup: dict[str, Any] | None = None) -> Any:
    return pytest.param(call, raises, setup or {}, id=case_id)


def binding_cases(name: str) -> list[Any]:
    """Binding by keyword and every way binding fails, for one function of each family."""
    f, a, k = getattr(serializer, name), SAMPLES[name], FIRST[name]
    return [
        case(f"{name}-keyword", lambda: f(**{k: a})),
        case(f"{name}-keyword-dict", lambda: f.__call__(**{k: a})),
        case(f"{name}-too-many", lambda: f(a, 2, 3), TypeError),
        case(f"{name}-too-few", lambda: f(), TypeError),
        case(f"{name}-unexpected", lambda: f(**{k: a}, bogus=1), TypeError),
        case(f"{name}-unexpected-dict", lambda: f.__call__(**{k: a}, bogus=1), TypeError),
        case(f"{name}-multiple", lambda: f(a, **{k: a}), TypeError),
        case(f"{name}-multiple-dict", lambda: f.__call__(a, **{k: a}), TypeError),
        case(f"{name}-non-string-name", lambda: vectorcall(f, [a, 1], (1,)), TypeError),
        case(f"{name}-non-string-key-dict", lambda: f.__call__(**{1: 2}), TypeError),
        case(f"{name}-incomparable-name", lambda: f(**{Incomparable("x"): 1}), LookupError),
        case(f"{name}-incomparable-name-dict", lambda: f.__call__(**{Incomparable(k): a}), LookupError),
    ]


def write_changing_dict(make_key: Callable[[dict[Any, Any]], Any]) -> None:
    d: dict[Any, Any] = {}
    d[make_key(d)] = "value"
    try:
        serializer._serialize_dict(d)
    finally:
        d.clear()  # the key refers to the dict: break the cycle


class FailingStream:
    def write(self, data: bytes) -> None:
        raise OSError("disk full")


def refuse(raw: Any) -> bytes:
    raise OSError("no encode")


class Unprintable:
    def __init__(self, make_error: Callable[[], BaseException]) -> None:
        self.make_error = make_error

    def __str__(self) -> str:
        raise self.make_error()


class BytesSubclass(bytes):
    pass


class Undecidable:
    def __bool__(self) -> bool:
        raise ValueError("no truth")


LONG_LIST = S._serialize_list(["a" * 2000, "b" * 1500])
LONG_DICT = S._serialize_dict({"k" * 300: "v" * 3000, "x": "y"})
KEPT_KEYS = S._serialize_dict({"id": "1", "zoë": "é", "😀 emoji": "x" * 200, "k" * 40: "long key"})
SLOT_SHARING = slot_sharing_record()
SHAPED = S._serialize_dict({f"field{i}": f"value {i} \xe9" for i in range(6)})
RECORDING_IO = {"io": SimpleNamespace(BytesIO=RecordingStream)}
SUBCLASS_IO = {"io": SimpleNamespace(BytesIO=type("Stream", (io.BytesIO,), {}))}
FAILING_IO = {"io": SimpleNamespace(BytesIO=FailingStream)}
OTHER_MODULE_IO = {"io": ModuleType("other_io")}
OTHER_MODULE_IO["io"].BytesIO = io.BytesIO  # the standard class, in a module whose dict is not watched

CASES = [case(f"{name}-positional", lambda f=getattr(S, name), a=sample: f(a)) for name, sample in SAMPLES.items()]
CASES += binding_cases("decode") + binding_cases("_serialize_dict") + binding_cases("_deserialize_list")
CASES += [
    case("serialize-dict-type-refused", lambda: S._serialize_dict([]), TypeError),
    # Codec
    case("encode-other-object", lambda: S.encode(Spelled("é"))),
    case("encode-surrogate", lambda: S.encode("a\ud800"), UnicodeEncodeError),
    case("encode-str-raises", lambda: S.encode(Unprintable(lambda: ValueError("x"))), ValueError),
    case("decode-malformed", lambda: S.decode(b"a\xff"), UnicodeDecodeError),
    case("decode-str-not-text", lambda: S.decode(Spelled(5)), TypeError),
    case("safe-decode-caught", lambda: S.safe_decode(Unprintable(undecodable))),
    case("safe-decode-str-raises", lambda: S.safe_decode(Unprintable(lambda: ValueError("x"))), ValueError),
    # Module-global lookup
    case("serialize-dict-no-io", lambda: S._serialize_dict({"a": "b"}), NameError, {"io": None}),
    case("serialize-list-no-io", lambda: S._serialize_list(["a"]), NameError, {"io": None}),
    case("deserialize-dict-no-encode", lambda: S._deserialize_dict(b"\x00\x00"), NameError, {"encode": None}),
    case("deserialize-list-no-encode", lambda: S._deserialize_list(b"\x00"), NameError, {"encode": None}),
    # Prefixes of one byte are shared objects; long entries take prefixes of their own.
    case("serialize-dict-stand-in-io", lambda: S._serialize_dict({"a": "b", "é": b"c" * 200, 1: 2}), None, RECORDING_IO),
    case("serialize-list-stand-in-io", lambda: S._serialize_list(["a", 1, "x" * 200]), None, RECORDING_IO),
    case("serialize-list-other-module-io", lambda: S._serialize_list(["a", 1]), None, OTHER_MODULE_IO),
    case("serialize-list-bytesio-subclass", lambda: S._serialize_list(["a", 1]), None, SUBCLASS_IO),
    case("serialize-dict-write-raises", lambda: S._serialize_dict({"a": "b"}), OSError, FAILING_IO),
    case("serialize-list-write-raises", lambda: S._serialize_list(["a"]), OSError, FAILING_IO),
    case("deserialize-dict-stand-in-encode", lambda: S._deserialize_dict("x"), None, {"encode": lambda raw: b"\x01\x01ab"}),
    case("deserialize-dict-encode-raises", lambda: S._deserialize_dict(b"\x00\x00"), OSError, {"encode": refuse}),
    case("deserialize-list-encode-raises", lambda: S._deserialize_list(b"\x00"), OSError, {"encode": refuse}),
    case("deserialize-list-encode-gives-text", lambda: S._deserialize_list(b"\x00"), TypeError,
         {"encode": lambda raw: "text"}),
    # Writers
    case("serialize-dict-size-changes",
         lambda: write_changing_dict(lambda d: Spelled("g", lambda: d.update(new=1))), RuntimeError),
    case("serialize-dict-key-removed",
         lambda: write_changing_dict(lambda d: (Spelled("v", lambda: d.clear() or d.update(o=1)),)), KeyError),
    case("serialize-dict-none", lambda: S._serialize_dict(None), TypeError),
    case("serialize-dict-none-value", lambda: S._serialize_dict({"a": "b", "c": None}), TypeError),
    case("serialize-dict-none-key", lambda: S._serialize_dict({None: "b"}), TypeError),
    case("serialize-dict-surrogate-value", lambda: S._serialize_dict({"a": "\ud800"}), UnicodeEncodeError),
    case("serialize-list-surrogate", lambda: S._serialize_list(["a", "\ud800"]), UnicodeEncodeError),
    case("serialize-list-none-item", lambda: S._serialize_list(["a", None]), TypeError),
    case("serialize-list-no-length", lambda: S._serialize_list(5), TypeError),
    case("serialize-list-missing-index", lambda: S._serialize_list({1: "a"}), KeyError),
    case("serialize-list-text", lambda: S._serialize_list("abc")),
    # Readers
    case("deserialize-dict-long", lambda: S._deserialize_dict(LONG_DICT, False)),
    # Short keys come from the key cache, which takes a slot over on a second miss.
    case("deserialize-dict-kept-keys", lambda: S._deserialize_dict(KEPT_KEYS)),
    case("deserialize-dict-keys-sharing-a-slot", lambda: S._deserialize_dict(SLOT_SHARING, False)),
    # Records of one schema are made as copies of their keys' dict once it is kept.
    case("deserialize-dict-kept-shape", lambda: S._deserialize_dict(SHAPED)),
    case("deserialize-dict-kept-shape-cut", lambda: S._deserialize_dict(SHAPED + b"\x05"), ValueError),
    case("deserialize-list-long", lambda: S._deserialize_list(LONG_LIST)),
    case("deserialize-dict-corrupt-key", lambda: S._deserialize_dict(b"\x01\x01ab\x05"), ValueError),
    case("deserialize-dict-corrupt-value", lambda: S._deserialize_dict(b"\x01\x05a"), ValueError),
    case("deserialize-list-corrupt-item", lambda: S._deserialize_list(b"\x01a\x05"), ValueError),
    case("deserialize-dict-malformed-key", lambda: S._deserialize_dict(b"\x01\x01\xffa"), UnicodeDecodeError),
    case("deserialize-dict-malformed-value", lambda: S._deserialize_dict(b"\x01\x01a\xff"), UnicodeDecodeError),
    case("deserialize-list-malformed-item", lambda: S._deserialize_list(b"\x01a\x01\xff"), UnicodeDecodeError),
    case("deserialize-dict-truth-raises", lambda: S._deserialize_dict(b"\x00\x00", Undecidable()), ValueError),
    case("deserialize-list-truth-raises", lambda: S._deserialize_list(b"\x00", Undecidable()), ValueError),
    case("deserialize-dict-none", lambda: S._deserialize_dict(None), TypeError),
    case("deserialize-list-bytes-subclass", lambda: S._deserialize_list(BytesSubclass(b"")), TypeError),
]


def refcount_growth(call: Callable[[], Any], rounds: int = 200) -> int:
    """Growth of the interpreter's total refcount over many calls, after a warm-up long
    enough for the interpreter's own caches: a record that fails after another was
    written fills one for some 200 calls, while a leak grows in every round."""
    for _ in range(300):
        call()
    before = sys.gettotalrefcount()  # type: ignore[attr-defined]
    for _ in range(rounds):
        call()
    return sys.gettotalrefcount() - before  # type: ignore[attr-defined]


class WouldBlock(io.RawIOBase):
    """A raw file that takes 3 bytes, then would block."""

    def __init__(self) -> None:
        self.taken = 0

    def writable(self) -> bool:
        return True

    def write(self, data: Any) -> int | None:
        if self.taken >= 3:
            return None
        self.taken += 3
        return 3


class Drained:
    def write(self, data: bytes) -> None:
        pass

    async def drain(self) -> None:
        pass


class AsyncBytes:
    def __init__(self, data: bytes) -> None:
        self.file = io.BytesIO(data)

    async def read(self, n: int) -> bytes:
        return self.file.read(min(n, 5))


def at_once(coroutine: Coroutine[Any, Any, Any]) -> Any:
    """The result of a coroutine that never waits, without an event loop's caches."""
    try:
        coroutine.send(None)
    except StopIteration as done:
        return done.value
    raise AssertionError("the coroutine waited")


async def read_all(data: bytes) -> list[dict[str, str]]:
    return [record async for record in stream.aread_dicts(AsyncBytes(data))]


# Streams of records, through the native loops of zav.stream: whole, cut, corrupt, and
# with a record that fails to write (batches of 8 bytes, so that every record flushes).
STREAM = S._serialize_list([S._serialize_dict({"a": "bc"}), S._serialize_dict({"k": "é" * 40})])
CASES += [
    case("stream-read", lambda: list(stream.read_dicts(io.BytesIO(STREAM)))),
    case("stream-read-cut", lambda: list(stream.read_dicts(io.BytesIO(STREAM[:-3]))), ValueError),
    case("stream-read-corrupt", lambda: list(stream.read_dicts(io.BytesIO(STREAM + b"\x02\x05\x01"))), ValueError),
    case("stream-write", lambda: _stream.write_records(io.BytesIO().write, [{"a": "bc"}] * 3, S._serialize_dict,
                                                       S._serialize_list, 8, False)),
    case("stream-write-fails", lambda: _stream.write_records(io.BytesIO().write, [{"a": "bc"}, {"a": None}],
                                                             S._serialize_dict, S._serialize_list, 8, False), TypeError),
    case("stream-write-blocked", lambda: stream.write_dicts(WouldBlock(), [{"a": "bc"}] * 3), BlockingIOError),
    case("stream-aread", lambda: at_once(read_all(STREAM))),
    case("stream-aread-cut", lambda: at_once(read_all(STREAM[:-3])), ValueError),
    case("stream-awrite-fails", lambda: at_once(stream.awrite_dicts(Drained(), [{"a": "bc"}, {"a": None}])),
         TypeError),
]


@pytest.mark.parametrize("call, raises, setup", CASES)
def test_repeated_calls_leave_reference_counts_unchanged(
    module_globals: dict[str, Any], call: Callable[[], Any], raises: type[BaseException] | None, setup: dict[str, Any],
) -> None:
    for name, value in setup.items():  # None: the name is deleted
        if value is None:
            del module_globals[name]
        else:
            module_globals[name] = value

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
