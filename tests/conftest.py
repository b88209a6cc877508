"""Helpers shared by the test suite."""
from __future__ import annotations

import ctypes
import functools
import importlib.util
import io
import os
import traceback
from collections.abc import Callable, Iterator
from pathlib import Path
from types import ModuleType
from typing import Any

import pytest

import zav.serializer as serializer


def module_entries(exc: BaseException) -> list[str]:
    """Names of the module's traceback entries, outermost first."""
    names = [frame.name for frame in traceback.extract_tb(exc.__traceback__)]
    return [name for name in names if name.startswith("zav.serializer.") or name == "init zav.serializer"]


@pytest.fixture
def module_globals() -> Iterator[dict[str, Any]]:
    """The module's namespace; whatever the test rebinds or deletes is put back after it."""
    namespace = vars(serializer)
    saved = dict(namespace)
    yield namespace
    namespace.clear()
    namespace.update(saved)


@pytest.fixture(params=["standard-io", "bytesio-subclass"])
def writer_path(request: pytest.FixtureRequest, module_globals: dict[str, Any]) -> str:
    """Runs a test with the standard io (record built natively) and with a BytesIO
    subclass (record built through the stream's write and getvalue)."""
    if request.param == "bytesio-subclass":
        module_globals["io"] = StandInIO(type("BytesIOSubclass", (io.BytesIO,), {}))
    return request.param


class RecordingStream:
    """A stand-in output stream that keeps every object passed to write."""

    def __init__(self) -> None:
        self.writes: list[Any] = []

    def write(self, data: Any) -> int:
        self.writes.append(data)
        return len(data)

    def getvalue(self) -> bytes:
        return b"".join(self.writes)


class StandInIO:
    """Stands in for the io module; remembers the streams it made."""

    def __init__(self, stream_class: type = RecordingStream) -> None:
        self.stream_class = stream_class
        self.streams: list[Any] = []

    def BytesIO(self) -> Any:  # noqa: N802 - the name the writers look up
        self.streams.append(self.stream_class())
        return self.streams[-1]


def vectorcall(func: Callable[..., Any], args: list[Any], kwnames: tuple[Any, ...] = ()) -> Any:
    """Calls `func` through the vectorcall protocol as C code does, with keyword names
    that Python's call syntax would refuse (such as non-strings)."""
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    call.restype = ctypes.py_object
    values = (ctypes.py_object * max(1, len(args)))(*args)
    return call(func, values, len(args) - len(kwnames), kwnames)


class Spelled:
    """An object whose string form is `text`, after running `action` once if given:
    a way to change a container while a writer converts its contents."""

    def __init__(self, text: Any, action: Callable[[], Any] | None = None) -> None:
        self.text, self.action = text, action

    def __str__(self) -> Any:
        if self.action is not None:
            self.action, action = None, self.action
            action()
        return self.text

    __repr__ = __str__


class StrRaises:
    """An object whose string form raises a new exception each time; `raised` is the latest."""

    def __init__(self, make_error: Callable[[], BaseException]) -> None:
        self.make_error = make_error
        self.raised: BaseException | None = None

    def __str__(self) -> str:
        self.raised = self.make_error()
        raise self.raised


def undecodable() -> UnicodeDecodeError:
    return UnicodeDecodeError("utf-8", b"\xff", 0, 1, "invalid start byte")


class Incomparable(str):
    """A keyword name whose comparison raises."""

    def __eq__(self, other: object) -> bool:
        raise LookupError("cannot compare keyword names")

    __hash__ = str.__hash__


def read_key(key: bytes) -> Any:
    """The str the map reader gives for `key` (of fewer than 128 bytes), in a record
    of its own."""
    (text,) = serializer._deserialize_dict(bytes([len(key), 1]) + key + b"v")
    return text


@functools.cache
def colliding_keys(count: int = 3) -> tuple[bytes, ...]:
    """Short keys that share one slot of the map reader's key cache, found by what the
    cache does: a key read twice in a row takes its slot over, so a kept key that comes
    back as a new object was pushed out by the key read twice in between."""
    base, found = b"collide-base", [b"collide-base"]
    for i in range(200_000):
        read_key(base)
        kept = read_key(base)
        assert read_key(base) is kept, "a key read twice in a row is not kept"
        candidate = f"collide-{i}".encode()
        read_key(candidate)
        read_key(candidate)
        if read_key(base) is not kept:
            found.append(candidate)
            if len(found) == count:
                return tuple(found)
    raise AssertionError("no keys share a slot")


def slot_sharing_record() -> bytes:
    """A map record in which each of two keys that share a slot of the key cache comes
    twice in a row: every read of it misses four times and takes the slot over twice."""
    a, b = colliding_keys(2)
    return b"".join(bytes([len(k), 1]) + k + v for k, v in [(a, b"1"), (a, b"2"), (b, b"3"), (b, b"4")])


# Allocation-failure points that tests/test_nomemory.py exercised, by kind of fault.
FAULT_POINTS = pytest.StashKey[dict[str, int]]()


def kernels_tool() -> ModuleType:
    """tools/kernels.py, which tells the simdutf kernels this process runs."""
    spec = importlib.util.spec_from_file_location("kernels", Path(__file__).resolve().parents[1] / "tools" / "kernels.py")
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def pytest_terminal_summary(terminalreporter: Any, config: pytest.Config) -> None:
    # Which kernels the run took, for the runs per kernel level (tools/commands.sh).
    forced = os.environ.get("SIMDUTF_FORCE_IMPLEMENTATION")
    terminalreporter.write_line(f"simdutf kernels: {kernels_tool().active_kernels()}"
                                + (f" (SIMDUTF_FORCE_IMPLEMENTATION={forced})" if forced is not None else ""))
    points = config.stash.get(FAULT_POINTS, {})
    if points:
        kinds = ", ".join(f"{kind} {count}" for kind, count in points.items())
        terminalreporter.write_line(f"allocation-failure points exercised: {sum(points.values())} ({kinds})")
