"""The module frame: what import makes, the function objects, the module-global lookup of
`io` and `encode`, and traceback entries. What depends on the one-time initialisation
is observed in a fresh interpreter process."""
from __future__ import annotations

import builtins
import importlib
import inspect
import io
import json
import os
import platform
import subprocess
import sys
import textwrap
import traceback
from pathlib import Path
from typing import Any

import pytest

import zav.serializer as serializer
from conftest import RecordingStream, StandInIO, kernels_tool, module_entries

FUNCTIONS = ["encode", "decode", "safe_decode", "_serialize_dict", "_deserialize_dict",
             "_serialize_list", "_deserialize_list"]
INTERPRETER_CHANGE = ("Interpreter change detected - this module can only be loaded into one "
                      "interpreter per process.")

# Makes the next `import zav.serializer` in a fresh process fail while binding `io`.
REFUSE_IO = """
class RefuseIo:
    seen = []  # the module being initialised, as the import machinery registered it
    def find_spec(self, name, path=None, target=None):
        if name == "io":
            self.seen.append(sys.modules.get("zav.serializer"))
            raise ImportError("io is not available")
del sys.modules["io"]
sys.meta_path.insert(0, RefuseIo())
try:
    import zav.serializer
except ImportError as exc:
    failure = [str(exc), [f.name for f in traceback.extract_tb(exc.__traceback__)
                          if f.name.startswith("zav.serializer") or f.name == "init zav.serializer"]]
refused_module = RefuseIo.seen[0]
del sys.meta_path[0]
"""


def run_python(*parts: str, **environment: str) -> Any:
    """Runs the script made of `parts` in a new interpreter, with more `environment`
    variables; its last output line is JSON."""
    root = str(Path(serializer.__file__).resolve().parents[1])
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [root, os.environ.get("PYTHONPATH")])),
               **environment)
    source = "import json, sys, traceback\n" + "".join(textwrap.dedent(part) for part in parts)
    done = subprocess.run([sys.executable, "-c", source], cwd=root, env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


@pytest.mark.parametrize("name, signature", [
    ("encode", "(obj)"), ("decode", "(obj)"), ("safe_decode", "(obj)"), ("_serialize_dict", "(d)"),
    ("_serialize_list", "(l)"), ("_deserialize_dict", "(raw_data, deserialize=True)"),
    ("_deserialize_list", "(raw_data, deserialize=True)"),
])
def test_function_object(name: str, signature: str) -> None:
    func = getattr(serializer, name)
    assert (func.__name__, func.__qualname__, func.__module__, func.__doc__) == (name, name, "zav.serializer", None)
    assert func.__globals__ is vars(serializer)
    assert str(inspect.signature(func)) == signature
    assert func.__defaults__ == ((True,) if "deserialize" in signature else None)


def test_namespace_after_import() -> None:
    namespace = vars(serializer)
    assert sys.modules["zav.serializer"] is serializer
    assert serializer.__name__ == "zav.serializer" and serializer.__doc__ is None
    assert serializer.__builtins__ is builtins and serializer.io is io
    assert type(serializer.__test__) is dict and serializer.__test__ == {}
    found = serializer.__spec__
    assert (serializer.__loader__, serializer.__file__, serializer.__package__) == (found.loader, found.origin, "zav")
    assert "__path__" not in namespace
    assert [name for name in namespace if name in FUNCTIONS + ["io", "__test__"]] == ["io"] + FUNCTIONS + ["__test__"]


def test_import_again_gives_the_same_module(module_globals: dict[str, Any], monkeypatch: pytest.MonkeyPatch) -> None:
    module_globals["__test__"] = {"kept": True}
    del module_globals["io"]
    monkeypatch.delitem(sys.modules, "zav.serializer")
    again = importlib.import_module("zav.serializer")
    assert again is serializer and again.__test__ == {"kept": True}
    assert "io" not in vars(again)  # nothing is made again


class ListValue(RecordingStream):
    def getvalue(self) -> Any:
        return self.writes


@pytest.mark.parametrize("writer, argument, writes", [
    (serializer._serialize_list, ["ab"], [b"\x02", b"ab"]),
    (serializer._serialize_dict, {"a": "bc"}, [b"\x01", b"\x02", b"a", b"bc"]),
], ids=["list", "dict"])
def test_writers_look_up_io_at_every_call(module_globals: dict[str, Any], writer: Any, argument: Any,
                                          writes: list[bytes]) -> None:
    del module_globals["io"]
    with pytest.raises(NameError) as failure:
        writer(argument)
    assert str(failure.value) == "name 'io' is not defined"
    assert module_entries(failure.value) == [f"zav.serializer.{writer.__name__}"]
    stand_in = module_globals["io"] = StandInIO(ListValue)
    result = writer(argument)
    assert result is stand_in.streams[0].writes and result == writes  # what getvalue gave
    module_globals["io"] = io
    assert writer(argument) == b"".join(writes)


@pytest.mark.parametrize("reader, record, expected", [
    (serializer._deserialize_list, b"\x02bc", ["bc"]),
    (serializer._deserialize_dict, b"\x01\x02abc", {"a": "bc"}),
], ids=["list", "dict"])
def test_readers_look_up_encode_at_every_call(module_globals: dict[str, Any], reader: Any, record: bytes,
                                              expected: Any) -> None:
    del module_globals["encode"]
    with pytest.raises(NameError) as failure:
        reader(record)
    assert str(failure.value) == "name 'encode' is not defined"
    assert module_entries(failure.value) == [f"zav.serializer.{reader.__name__}"]
    received = []
    module_globals["encode"] = lambda raw: received.append(raw) or record
    assert reader("stand-in input") == expected
    assert received == ["stand-in input"]


class CollidesWith:
    """A namespace key that hashes like `name` and cannot be compared."""

    def __init__(self, name: str) -> None:
        self.name, self.compared = name, 0

    def __hash__(self) -> int:
        return hash(self.name)

    def __eq__(self, other: object) -> bool:
        self.compared += 1
        raise LookupError("not comparable")


def test_lookup_falls_back_to_builtins(module_globals: dict[str, Any], monkeypatch: pytest.MonkeyPatch) -> None:
    del module_globals["io"]
    collision = CollidesWith("io")
    module_globals[collision] = None
    monkeypatch.setattr(builtins, "io", StandInIO(), raising=False)
    assert serializer._serialize_list(["ab"]) == b"\x02ab"
    assert collision.compared and len(builtins.io.streams) == 1  # the failing lookup counted as not found

    def refuse(name: str) -> Any:
        raise LookupError(f"no {name} here")

    monkeypatch.delattr(builtins, "io")
    monkeypatch.setattr(builtins, "__getattr__", refuse, raising=False)
    with pytest.raises(LookupError, match="no io here") as failure:
        serializer._serialize_list([])
    assert module_entries(failure.value) == ["zav.serializer._serialize_list"]


def test_traceback_entries_nest_like_calls() -> None:
    with pytest.raises(UnicodeDecodeError) as failure:
        serializer.decode(b"\xff")
    names = [entry.name for entry in traceback.extract_tb(failure.value.__traceback__)]
    assert names[-2:] == ["zav.serializer.decode", "zav.serializer._decode"]
    frames = [frame for frame, _ in traceback.walk_tb(failure.value.__traceback__)]
    assert all(frame.f_globals is vars(serializer) for frame in frames[-2:])


def test_failure_survives_when_its_entry_cannot_be_made() -> None:
    # Making an entry's frame looks up `__builtins__` in the module namespace; here that
    # lookup raises, so no entry can be made, but the failure must still arrive.
    observed = run_python("""
        import zav.serializer as module
        class CollidesWithBuiltins:
            def __hash__(self): return hash("__builtins__")
            def __eq__(self, other): raise LookupError("not comparable")
        namespace = vars(module)
        del namespace["__builtins__"]
        namespace[CollidesWithBuiltins()] = None
        try:
            module.decode(b"\\xff")
        except Exception as exc:
            names = [f.name for f in traceback.extract_tb(exc.__traceback__)]
            print(json.dumps([type(exc).__name__, str(exc), [n for n in names if n.startswith("zav.")]]))
    """)
    assert observed == ["UnicodeDecodeError", "'utf-8' codec can't decode byte 0xff in position 0: invalid start byte", []]


@pytest.mark.parametrize("first_import", ["import zav.serializer", REFUSE_IO], ids=["succeeded", "failed"])
def test_second_interpreter_is_refused(first_import: str) -> None:
    observed = run_python(first_import, """
        import _interpreters
        interp = _interpreters.create("legacy")
        failure = _interpreters.exec(interp, f"import sys; sys.path[:] = {sys.path!r}; import zav.serializer")
        _interpreters.destroy(interp)
        print(json.dumps([failure.type.__name__, failure.msg]))
    """)
    assert observed == ["ImportError", INTERPRETER_CHANGE]


def test_isolated_interpreter_is_refused_by_the_interpreter() -> None:
    # The low-level module, as concurrent.interpreters is missing before 3.14.
    observed = run_python("""
        import _interpreters
        interp = _interpreters.create("isolated")
        failure = _interpreters.exec(interp, f"import sys; sys.path[:] = {sys.path!r}; import zav.serializer")
        _interpreters.destroy(interp)
        print(json.dumps([failure.type.__name__, failure.msg]))
    """)
    assert observed[0] == "ImportError"
    assert "subinterpreters" in observed[1] and observed[1] != INTERPRETER_CHANGE


def test_failed_initialisation_is_started_afresh_by_the_next_import() -> None:
    observed = run_python(REFUSE_IO, """
        registered = "zav.serializer" in sys.modules
        import zav.serializer as module
        print(json.dumps({"failure": failure, "registered": registered, "new": module is not refused_module,
                          "io": module.io is sys.modules["io"], "decoded": module.decode(b"ok")}))
    """)
    assert observed == {"failure": ["io is not available", ["init zav.serializer"]], "registered": False,
                        "new": True, "io": True, "decoded": "ok"}


def test_loaded_under_another_name_then_no_second_module_object() -> None:
    observed = run_python("""
        import importlib, importlib.util
        found = importlib.util.spec_from_file_location("serializer", importlib.util.find_spec("zav.serializer").origin)
        first, second = importlib.util.module_from_spec(found), importlib.util.module_from_spec(found)
        found.loader.exec_module(first)
        seen = [first.__name__, first.encode.__module__, importlib.import_module("zav.serializer") is first]
        try:
            found.loader.exec_module(second)
        except RuntimeError as exc:
            names = [f.name for f in traceback.extract_tb(exc.__traceback__) if "serializer" in f.name]
            print(json.dumps(seen + [str(exc), names, sys.modules["zav.serializer"] is first]))
    """)
    assert observed == ["serializer", "zav.serializer", True,
                        "Module 'serializer' has already been imported. Re-initialisation is not supported.", [], True]


def test_import_refused_where_simdutf_cannot_run() -> None:
    """A kernel name simdutf does not know leaves it none that works: every conversion
    would fail and records would lose their text, so the import fails instead."""
    observed = run_python("""
        try:
            import zav.serializer
        except ImportError as exc:
            print(json.dumps([str(exc), "zav.serializer" in sys.modules]))
        else:
            print(json.dumps(["imported", zav.serializer._deserialize_list(zav.serializer._serialize_list(["é"]))]))
    """, SIMDUTF_FORCE_IMPLEMENTATION="no such kernels")
    if observed[0] == "imported" and platform.machine() != "x86_64":
        # A simdutf with one implementation only (aarch64: NEON) takes no orders.
        assert observed == ["imported", ["é"]]
        return
    assert observed == ["simdutf cannot convert text here: its active implementation 'unsupported' does not "
                        "run on this processor (see SIMDUTF_FORCE_IMPLEMENTATION)", False]


def test_forced_kernels_run() -> None:
    """The suite runs once per kernel level with SIMDUTF_FORCE_IMPLEMENTATION set
    (tools/commands.sh): simdutf must run the kernels it names, or those runs test the
    default kernels again."""
    forced = os.environ.get("SIMDUTF_FORCE_IMPLEMENTATION")
    if forced is None:
        pytest.skip("no kernels forced")
    assert kernels_tool().active_kernels() == forced


def test_version_mismatch_warns() -> None:
    # The interpreter's version word is patched for the import only.
    observed = run_python("""
        import ctypes, mmap, warnings
        version = ctypes.c_ulong.in_dll(ctypes.pythonapi, "Py_Version")
        libc = ctypes.CDLL(None)
        libc.mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
        page = ctypes.addressof(version) & ~(mmap.PAGESIZE - 1)
        if libc.mprotect(page, mmap.PAGESIZE, mmap.PROT_READ | mmap.PROT_WRITE) != 0:
            print("null")
            sys.exit()
        real, version.value = version.value, (3 << 24) | (12 << 16)
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("error", RuntimeWarning)
                try:
                    import zav.serializer
                except RuntimeWarning as exc:
                    as_error = [str(exc), [f.name for f in traceback.extract_tb(exc.__traceback__) if "serializer" in f.name]]
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                import zav.serializer as module
        finally:
            version.value = real
            libc.mprotect(page, mmap.PAGESIZE, mmap.PROT_READ)
        print(json.dumps([as_error, [(w.category.__name__, str(w.message)) for w in caught], module.decode(b"ok")]))
    """)
    if observed is None:
        pytest.skip("the interpreter's version word cannot be made writable here")
    # Each build is made against the headers of the interpreter that runs it.
    built = "{}.{}".format(*sys.version_info)
    message = f"compile time Python version {built} of module 'zav.serializer' does not match runtime version 3.12"
    assert observed == [[message, []], [["RuntimeWarning", message]], "ok"]
