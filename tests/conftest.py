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
