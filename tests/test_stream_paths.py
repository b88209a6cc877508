"""The writers' output stream. With the standard io.BytesIO the record is built natively;
with any other stream class the writers call `io.BytesIO()`, pass every length prefix and
payload to its `write` and return its `getvalue()`. Callers must not tell them apart."""
from __future__ import annotations

import io
from collections.abc import Callable
from typing import Any

import pytest

import zav.serializer as serializer
from conftest import RecordingStream, Spelled, StandInIO, module_entries

DICT, LIST = serializer._serialize_dict, serializer._serialize_list


class BytesSubclass(bytes):
    pass


KEY, VALUE, ITEM = b"k\x00", BytesSubclass(b"v" * 200), b"x" * 128


@pytest.mark.parametrize("writer, argument, writes, same", [
    (DICT, {KEY: VALUE, "é": 7}, [b"\x02", b"\x81\x48", KEY, VALUE, b"\x02", b"\x01", "é".encode(), b"7"],
     {2: KEY, 3: VALUE}),
    (LIST, ["a", ITEM, 3], [b"\x01", b"a", b"\x81\x00", ITEM, b"\x01", b"3"], {3: ITEM}),
], ids=["dict", "list"])
def test_writes_in_order(module_globals: dict[str, Any], writer: Any, argument: Any, writes: list[bytes],
                         same: dict[int, bytes]) -> None:
    stand_in = module_globals["io"] = StandInIO()
    record = writer(argument)
    (stream,) = stand_in.streams
    assert stream.writes == writes and record == b"".join(writes)
    # bytes keys, values and items are handed over as the very objects in the container.
    assert all(stream.writes[i] is obj for i, obj in same.items())
    assert all(type(w) is bytes for i, w in enumerate(stream.writes) if i not in same)


class FailingStream(RecordingStream):
    def write(self, data: Any) -> int:
        if data == b"boom":
            raise OSError("write failed")
        return super().write(data)


@pytest.mark.parametrize("writer, argument, error, writes", [
    (DICT, {"a": "b", "k": None}, TypeError, [b"\x01", b"\x01", b"a", b"b"]),
    (DICT, {"a": "boom", "b": ""}, OSError, [b"\x01", b"\x04", b"a"]),
    (DICT, None, TypeError, []),  # the stream is made before d is refused
    (LIST, ["a", None], TypeError, [b"\x01", b"a"]),
    (LIST, ["boom", "b"], OSError, [b"\x04"]),
])
def test_failing_entry_stops_the_writes(module_globals: dict[str, Any], writer: Any, argument: Any,
                                        error: type[Exception], writes: list[bytes]) -> None:
    stand_in = module_globals["io"] = StandInIO(FailingStream)
    with pytest.raises(error) as caught:
        writer(argument)
    (stream,) = stand_in.streams
    assert stream.writes == writes
    assert module_entries(caught.value) == [f"zav.serializer.{writer.__name__}"]


# --- The same inputs through both paths -------------------------------------------


class Logged:
    """An object that logs every call the writers may make into it."""

    def __init__(self, name: str, log: list[str], text: Any = None, hash_value: int = 0, fail: bool = False) -> None:
        self.name, self.log, self.text, self.hash_value, self.fail = name, log, text, hash_value, fail

    def __str__(self) -> Any:
        self.log.append(f"str {self.name}")
        if self.fail:
            raise ArithmeticError(f"{self.name} has no text")
        return self.name if self.text is None else self.text

    def __hash__(self) -> int:
        self.log.append(f"hash {self.name}")
        return self.hash_value

    def __eq__(self, other: object) -> Any:
        self.log.append(f"eq {self.name}")
        return Truth(self.log, self is other)

    def __repr__(self) -> str:
        return f"Logged({self.name})"


class Truth:
    def __init__(self, log: list[str], value: bool) -> None:
        self.log, self.value = log, value

    def __bool__(self) -> bool:
        self.log.append(f"bool {self.value}")
        return self.value


class LoggedSequence:
    def __init__(self, items: list[Any], log: list[str]) -> None:
        self.items, self.log = items, log

    def __len__(self) -> int:
        self.log.append("len")
        return len(self.items)

    def __getitem__(self, i: int) -> Any:
        self.log.append(f"getitem {i}")
        return self.items[i]


class TextSubclass(str):
    def __str__(self) -> str:
        raise AssertionError("string form taken")


def grow(log: list[str]) -> dict[Any, Any]:
    d: dict[Any, Any] = {"a": 1}
    d[Spelled("g", lambda: d.update(new=2))] = "v"
    return d


def swap(log: list[str]) -> dict[Any, Any]:
    d: dict[Any, Any] = {}
    d[Spelled("s", lambda: (d.clear(), d.update(other=1)))] = "v"
    return d


def shrink(log: list[str]) -> list[Any]:
    items: list[Any] = []
    items += [Spelled("m", items.clear), "b"]
    return items


# Each builds a fresh argument for one writer call; the log records calls into it.
CASES: dict[str, tuple[Callable[[Any], Any], Callable[[list[str]], Any]]] = {
    "empty dict": (DICT, lambda log: {}),
    "text keys": (DICT, lambda log: {"a": "bc", "é": "ü" * 70, "k": b"\xff" * 130, "": b""}),
    "mixed keys": (DICT, lambda log: {"a": "bc", 1: 2.5, b"\x00": "é" * 70}),
    "logged key and value": (DICT, lambda log: {Logged("k", log): Logged("v", log, text="ü")}),
    "colliding hashes": (DICT, lambda log: {Logged("p", log, hash_value=5): Logged("x", log),
                                            Logged("q", log, hash_value=5): b"y"}),
    "text subclasses": (DICT, lambda log: {TextSubclass("t"): TextSubclass("\U0001f600")}),
    "dict None": (DICT, lambda log: None),
    "None key": (DICT, lambda log: {"a": 1, None: Logged("v", log)}),
    "None value": (DICT, lambda log: {Logged("k", log): None}),
    "surrogate key": (DICT, lambda log: {"ok": 1, "\udc80": Logged("v", log)}),
    "surrogate value": (DICT, lambda log: {"k": "é\ud800"}),
    "raising key": (DICT, lambda log: {Logged("k", log, fail=True): Logged("v", log)}),
    "raising value": (DICT, lambda log: {Logged("k", log): Logged("v", log, fail=True)}),
    "growing dict": (DICT, grow),
    "key swapped out": (DICT, swap),
    "empty list": (LIST, lambda log: []),
    "list of mixed types": (LIST, lambda log: ["a€", b"\xff" * 130, 3, 2.5, "", BytesSubclass(b"s")]),
    "logged sequence": (LIST, lambda log: LoggedSequence([Logged("i", log), "j"], log)),
    "text as list": (LIST, lambda log: "ab\U0001f600"),
    "list None item": (LIST, lambda log: [Logged("i", log), None]),
    "list surrogate": (LIST, lambda log: ["a", "\U0001f600\ud800"]),
    "list raising item": (LIST, lambda log: ["a", Logged("i", log, fail=True)]),
    "no length": (LIST, lambda log: 5),
    "shrinking list": (LIST, shrink),
}


def outcome(write: Callable[[Any], Any], build: Callable[[list[str]], Any]) -> tuple[Any, ...]:
    """What a caller can see of one call: the record or the exception, and the calls into its objects."""
    log: list[str] = []
    argument = build(log)
    log.clear()  # calls made while building the argument do not count
    try:
        result = write(argument)
    except Exception as exc:  # noqa: BLE001 - the exception is the outcome compared
        return type(exc), str(exc), module_entries(exc), log
    return result, log


@pytest.mark.parametrize("case", list(CASES))
def test_paths_agree(module_globals: dict[str, Any], case: str) -> None:
    write, build = CASES[case]
    native = outcome(write, build)
    stand_in = module_globals["io"] = StandInIO()
    streamed = outcome(write, build)
    assert len(stand_in.streams) == 1  # the stand-in stream was used
    module_globals["io"] = StandInIO(type("BytesIOSubclass", (io.BytesIO,), {}))
    assert streamed == native
    assert outcome(write, build) == native
