"""Shared helpers for the test suite."""
from __future__ import annotations

import sys
import traceback
from collections.abc import Callable, Iterator
from typing import Any

import pytest

import zav.serializer as serializer

MODULE_PREFIX = "zav.serializer."

debug_only = pytest.mark.skipif(
    not hasattr(sys, "gettotalrefcount"), reason="needs the debug interpreter"
)


def module_entries(exc: BaseException) -> list[str]:
    """Names of the module's traceback entries, outermost first."""
    names = [frame.name for frame in traceback.extract_tb(exc.__traceback__)]
    return [name for name in names if name.startswith(MODULE_PREFIX) or name == "init zav.serializer"]


def refcount_growth(call: Callable[[], Any], rounds: int = 200) -> int:
    """Growth of the interpreter's total refcount over many calls, after a warm-up."""
    for _ in range(20):
        call()
    before = sys.gettotalrefcount()  # type: ignore[attr-defined]
    for _ in range(rounds):
        call()
    return sys.gettotalrefcount() - before  # type: ignore[attr-defined]


@pytest.fixture
def module_globals() -> Iterator[dict[str, Any]]:
    """The module's namespace; names the test rebinds or deletes are put back after it."""
    namespace = vars(serializer)
    saved = dict(namespace)
    yield namespace
    namespace.clear()
    namespace.update(saved)


import io as _io  # noqa: E402  (the helpers below were added after the ones above)


class _SubclassStreamIO:
    """Stands in for the io module with a BytesIO subclass, so the writers go through
    the stream's own write and getvalue methods rather than building the record natively."""

    class BytesIO(_io.BytesIO):
        pass


@pytest.fixture(params=["standard-io", "bytesio-subclass"])
def writer_path(request: pytest.FixtureRequest, module_globals: dict[str, Any]) -> str:
    """Runs a test once with the standard io module and once with a BytesIO subclass."""
    if request.param == "bytesio-subclass":
        module_globals["io"] = _SubclassStreamIO
    return request.param


def vectorcall(func: Callable[..., Any], args: list[Any], kwnames: tuple[Any, ...] = ()) -> Any:
    """Calls `func` through the vectorcall protocol as C code does: `args` holds the
    positional arguments followed by the values of `kwnames`, which may hold names that
    Python's own call syntax would refuse (such as non-strings)."""
    import ctypes

    call = ctypes.pythonapi.PyObject_Vectorcall
    call.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    call.restype = ctypes.py_object
    values = (ctypes.py_object * max(1, len(args)))(*args)
    return call(func, values, len(args) - len(kwnames), kwnames)


class Meddler:
    """An object whose string form (and repr, as inside a tuple) first runs `action`, once:
    a way to change a container while a writer is converting its contents."""

    def __init__(self, text: str, action: Callable[[], Any]) -> None:
        self.text = text
        self.action: Callable[[], Any] | None = action

    def __str__(self) -> str:
        if self.action is not None:
            self.action, action = None, self.action
            action()
        return self.text

    __repr__ = __str__
