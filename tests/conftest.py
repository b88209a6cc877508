"""Helpers shared by the test suite."""
from __future__ import annotations

import ctypes
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
