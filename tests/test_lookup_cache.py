"""The writers find `io.BytesIO` and the readers `encode` as if looked up at every call,
though the answers are kept between calls: after many calls (so that an answer is
kept), rebinding, deleting or restoring any link of a lookup changes the very next call.
Which way a writer took cannot be seen when the class is the standard BytesIO, so each
case ends with a binding whose effect can be seen."""
from __future__ import annotations

import builtins
import io
import types
from collections.abc import Callable
from typing import Any

import pytest

import zav.serializer as serializer
from conftest import Spelled, StandInIO, module_entries
from test_module import CollidesWith, run_python

DICT, RECORD = {"a": "bc"}, b"\x01\x02abc"


def warm(times: int = 200) -> None:
    """Many calls of each function under the bindings of the moment."""
    for _ in range(times):
        try:
            serializer._serialize_dict(DICT)
            serializer._deserialize_dict(RECORD)
        except Exception:  # noqa: BLE001 - a binding under test may make every call fail
            pass


def write() -> bytes:
    return serializer._serialize_dict(DICT)


def uses(stand_in: StandInIO) -> bool:
    """Whether the next write goes through the stand-in, and gives the right record."""
    before = len(stand_in.streams)
    record = write()
    return record == RECORD and len(stand_in.streams) == before + 1


def raises_name_error(call: Callable[[], Any], name: str) -> bool:
    with pytest.raises(NameError) as failure:
        call()
    return str(failure.value) == f"name '{name}' is not defined" and len(module_entries(failure.value)) == 1


def test_module_io_rebound_deleted_and_restored(module_globals: dict[str, Any], monkeypatch: pytest.MonkeyPatch) -> None:
    warm()
    stand_in = module_globals["io"] = StandInIO()
    assert uses(stand_in)
    del module_globals["io"]
    assert raises_name_error(write, "io")
    from_builtins = StandInIO()
    monkeypatch.setattr(builtins, "io", from_builtins, raising=False)
    assert uses(from_builtins)
    # The real module, reached through the builtins, with the answer worked out afresh.
    monkeypatch.setattr(builtins, "io", io)
    module_globals["io"] = io
    del module_globals["io"]
    warm()
    assert write() == RECORD
    monkeypatch.setattr(builtins, "io", from_builtins)
    assert uses(from_builtins)
    monkeypatch.delattr(builtins, "io")
    assert raises_name_error(write, "io")
    module_globals["io"] = io
    warm()
    # An equal name that is another str object rebinds the same entry.
    module_globals["".join(["i", "o"])] = stand_in
    assert uses(stand_in)
    module_globals["io"] = io
    assert write() == RECORD and len(stand_in.streams) == 2


class LoggingBytesIO(io.BytesIO):
    made = 0

    def __init__(self) -> None:
        super().__init__()
        LoggingBytesIO.made += 1


def test_bytesio_of_the_io_module_replaced_deleted_and_restored(monkeypatch: pytest.MonkeyPatch) -> None:
    warm()
    monkeypatch.setattr(io, "BytesIO", LoggingBytesIO)
    made = LoggingBytesIO.made
    assert write() == RECORD and LoggingBytesIO.made == made + 1
    monkeypatch.delattr(io, "BytesIO")
    with pytest.raises(AttributeError, match="^module 'io' has no attribute 'BytesIO'$"):
        write()
    monkeypatch.undo()
    warm()
    assert write() == RECORD and LoggingBytesIO.made == made + 1


def test_other_module_bound_as_io(module_globals: dict[str, Any]) -> None:
    other = types.ModuleType("other_io")
    other.BytesIO = io.BytesIO  # type: ignore[attr-defined]
    module_globals["io"] = other
    warm()
    other.BytesIO = LoggingBytesIO  # type: ignore[attr-defined]
    made = LoggingBytesIO.made
    assert write() == RECORD and LoggingBytesIO.made == made + 1


def module_class_with(name: str, value: Any) -> type[types.ModuleType]:
    return type("ModuleWithProperty", (types.ModuleType,), {name: property(lambda self: value)})


@pytest.mark.parametrize("link", ["io", "builtins"])
def test_module_class_changed(module_globals: dict[str, Any], monkeypatch: pytest.MonkeyPatch, link: str) -> None:
    # Assigning __class__ changes how a module answers getattr, without touching its dict.
    stand_in = StandInIO()
    module: types.ModuleType
    if link == "io":
        module, changed = io, module_class_with("BytesIO", stand_in.BytesIO)
    else:
        del module_globals["io"]
        monkeypatch.setattr(builtins, "io", io, raising=False)
        module, changed = builtins, module_class_with("io", stand_in)
    warm()
    module.__class__ = changed
    try:
        assert uses(stand_in)
    finally:
        module.__class__ = types.ModuleType
    warm()
    assert write() == RECORD and len(stand_in.streams) == 1


def test_key_that_runs_python_code_when_compared(module_globals: dict[str, Any],
                                                 monkeypatch: pytest.MonkeyPatch) -> None:
    del module_globals["io"]
    monkeypatch.setattr(builtins, "io", io, raising=False)
    warm()
    collision = CollidesWith("io")
    module_globals[collision] = None
    assert write() == RECORD and collision.compared  # the lookup went past the colliding key


def test_encode_rebound_deleted_and_restored(module_globals: dict[str, Any], monkeypatch: pytest.MonkeyPatch) -> None:
    own = module_globals["encode"]
    received: list[Any] = []

    def stand_in(raw: Any) -> bytes:
        received.append(raw)
        return RECORD

    def read() -> Any:
        return serializer._deserialize_dict("stand-in input")

    warm()
    module_globals["encode"] = stand_in
    assert read() == {"a": "bc"} and received == ["stand-in input"]
    del module_globals["encode"]
    assert raises_name_error(read, "encode")
    # Our own encode, reached through the builtins, with the answer worked out afresh.
    monkeypatch.setattr(builtins, "encode", own, raising=False)
    module_globals["encode"] = stand_in
    del module_globals["encode"]
    warm()
    assert serializer._deserialize_dict(RECORD) == {"a": "bc"} and len(received) == 1
    monkeypatch.setattr(builtins, "encode", stand_in)
    assert read() == {"a": "bc"} and len(received) == 2
    monkeypatch.delattr(builtins, "encode")
    assert raises_name_error(read, "encode")
    module_globals["encode"] = own
    warm()
    module_globals["encode"] = stand_in
    assert read() == {"a": "bc"} and len(received) == 3
    module_globals["encode"] = own
    assert serializer._deserialize_dict(RECORD) == {"a": "bc"} and len(received) == 3


@pytest.mark.parametrize("writer, make", [
    (serializer._serialize_dict, lambda action: {Spelled("k", action): "v"}),
    (serializer._serialize_list, lambda action: [Spelled("k", action), "v"]),
], ids=["dict", "list"])
def test_change_from_inside_a_write(module_globals: dict[str, Any], writer: Any, make: Any) -> None:
    warm()
    stand_in = StandInIO()
    expected = writer(make(None))
    # The call keeps the stream it started with; the next one sees the new binding.
    assert writer(make(lambda: module_globals.__setitem__("io", stand_in))) == expected
    assert stand_in.streams == [] and uses(stand_in)
    module_globals["io"] = io
    warm()
    assert writer(make(lambda: module_globals.pop("io"))) == expected
    assert raises_name_error(write, "io")


def test_change_from_inside_a_read(module_globals: dict[str, Any]) -> None:
    warm()
    received: list[Any] = []
    rebind = Spelled("\x01a", lambda: module_globals.__setitem__("encode", lambda raw: received.append(raw) or b"\x01b"))
    assert serializer._deserialize_list(rebind) == ["a"]  # our own encode took its str()
    assert serializer._deserialize_list(b"\x01a") == ["b"] and received == [b"\x01a"]


def test_import_when_every_dict_watcher_is_taken() -> None:
    observed = run_python("""
        import ctypes, io
        callback_type = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p)
        callback = callback_type(lambda *args: 0)  # never called: it watches no dict
        add_watcher = ctypes.pythonapi.PyDict_AddWatcher
        add_watcher.argtypes, add_watcher.restype = [callback_type], ctypes.c_int
        taken = 0
        while True:
            try:
                add_watcher(callback)
            except RuntimeError:  # no more dict watcher IDs available
                break
            taken += 1
        import zav.serializer as module
        for _ in range(200):
            module._serialize_dict({"a": "bc"}), module._deserialize_list(b"\\x01a")
        made = []
        module.io = type("StandIn", (), {"BytesIO": lambda self: made.append(io.BytesIO()) or made[-1]})()
        module.encode = lambda raw: b"\\x01b"
        print(json.dumps([taken > 0, module._serialize_dict({"a": "bc"}).hex(), len(made),
                          module._deserialize_list(b"\\x01a")]))
    """)
    assert observed == [True, "0102616263", 1, ["b"]]
