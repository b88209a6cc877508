"""Argument binding of the seven functions, in both call forms: the ordinary call (the
vectorcall protocol, keyword names in a tuple) and `func.__call__(...)` (the call slot,
keywords in a dict). Both bind alike and fail with the same messages."""
from __future__ import annotations

import collections
from collections.abc import Callable
from typing import Any

import pytest

import zav.serializer as serializer
from conftest import Incomparable, module_entries, vectorcall

Call = Callable[..., Any]


def direct(func: Call, *args: Any, **kwargs: Any) -> Any:
    return func(*args, **kwargs)


def through_call_slot(func: Call, *args: Any, **kwargs: Any) -> Any:
    return func.__call__(*args, **kwargs)


both_forms = pytest.mark.parametrize("form", [direct, through_call_slot], ids=["vector", "dict"])


@both_forms
@pytest.mark.parametrize("name, args, kwargs, message", [
    ("decode", (), {}, "decode() takes exactly 1 positional argument (0 given)"),
    ("encode", (1, 2), {}, "encode() takes exactly 1 positional argument (2 given)"),
    ("_deserialize_list", (), {}, "_deserialize_list() takes at least 1 positional argument (0 given)"),
    ("_deserialize_dict", (b"", True, None), {}, "_deserialize_dict() takes at most 2 positional arguments (3 given)"),
    ("_deserialize_dict", (), {"deserialize": False}, "_deserialize_dict() takes at least 1 positional argument (0 given)"),
    # The positional count is tested before any keyword is looked at.
    ("decode", (1, 2), {"obj": 3}, "decode() takes exactly 1 positional argument (2 given)"),
    ("_deserialize_list", (b"", True, None), {"x": 1}, "_deserialize_list() takes at most 2 positional arguments (3 given)"),
    ("encode", (1,), {"obj": 2}, "encode() got multiple values for keyword argument 'obj'"),
    ("_deserialize_dict", (b"", True), {"deserialize": False},
     "_deserialize_dict() got multiple values for keyword argument 'deserialize'"),
    ("decode", (), {"x": 1}, "decode() got an unexpected keyword argument 'x'"),
    ("decode", (), {"obj": b"", "x": 1}, "decode() got an unexpected keyword argument 'x'"),
    ("_deserialize_dict", (b"",), {"Deserialize": 0}, "_deserialize_dict() got an unexpected keyword argument 'Deserialize'"),
    ("_serialize_list", (), {"d": []}, "_serialize_list() got an unexpected keyword argument 'd'"),
])
def test_refused_call(form: Call, name: str, args: tuple, kwargs: dict, message: str) -> None:
    with pytest.raises(TypeError) as failure:
        form(getattr(serializer, name), *args, **kwargs)
    assert str(failure.value) == message
    assert module_entries(failure.value) == [f"zav.serializer.{name}"]


@both_forms
@pytest.mark.parametrize("name, args, kwargs, expected", [
    ("encode", (), {"obj": "é"}, b"\xc3\xa9"),
    ("decode", (), {"".join(["ob", "j"]): b"q"}, "q"),  # equal text, not the same object
    ("_serialize_dict", (), {"d": {"a": "bc"}}, b"\x01\x02abc"),
    ("_serialize_list", (), {"l": ["a"]}, b"\x01a"),
    ("_deserialize_list", (b"\x01a",), {"deserialize": False}, [b"a"]),
    ("_deserialize_list", (), {"deserialize": 0, "raw_data": b"\x01a"}, [b"a"]),
    ("_deserialize_dict", (), {"raw_data": b"\x01\x02abc"}, {"a": "bc"}),
    ("_deserialize_dict", (b"\x01\x02abc",), {}, {"a": "bc"}),
    ("_deserialize_dict", (b"\x01\x02abc", None), {}, {"a": b"bc"}),
])
def test_arguments_bind_by_position_and_keyword(form: Call, name: str, args: tuple, kwargs: dict, expected: Any) -> None:
    assert form(getattr(serializer, name), *args, **kwargs) == expected


@pytest.mark.parametrize("call", [
    lambda: serializer.decode.__call__(**{1: 2}),
    lambda: serializer.decode.__call__(b"x", b"y", **{"obj": 1, 2: 3}),  # even with too many positionals
])
def test_keyword_dict_with_non_string_key_is_refused_before_binding(call: Callable[[], Any]) -> None:
    with pytest.raises(TypeError) as failure:
        call()
    assert str(failure.value) == "keywords must be strings"
    assert module_entries(failure.value) == []


@pytest.mark.parametrize("name, args, kwnames, message", [
    ("encode", [1], (1,), "encode() keywords must be strings"),
    ("_deserialize_dict", [b"", False], (b"deserialize",), "_deserialize_dict() keywords must be strings"),
    ("decode", [1, 2, 3], (3,), "decode() takes exactly 1 positional argument (2 given)"),
])
def test_non_string_keyword_name_in_vector_call(name: str, args: list, kwnames: tuple, message: str) -> None:
    with pytest.raises(TypeError) as failure:
        vectorcall(getattr(serializer, name), args, kwnames)
    assert str(failure.value) == message
    assert module_entries(failure.value) == [f"zav.serializer.{name}"]


class CaseBlind(str):
    """A keyword name equal to every spelling of itself that differs only in case."""

    def __eq__(self, other: object) -> bool:
        return isinstance(other, str) and other.lower() == self.lower()

    __hash__ = str.__hash__


def test_str_subclass_keyword_name_binds_by_equality() -> None:
    assert serializer.encode(**{CaseBlind("OBJ"): 5}) == b"5"
    assert serializer._deserialize_list(b"\x01a", **{CaseBlind("DESERIALIZE"): False}) == [b"a"]
    plain = type("Plain", (str,), {})("obj")
    assert serializer.decode(**{plain: b"q"}) == "q"
    assert serializer.decode.__call__(**{plain: b"q"}) == "q"


@pytest.mark.parametrize("text", ["obj", "other"])
@pytest.mark.parametrize("via_call_slot", [False, True], ids=["vector", "dict"])
def test_keyword_name_whose_comparison_raises(text: str, via_call_slot: bool) -> None:
    # Called here, not through a helper taking **kwargs, whose binding would compare first.
    keywords = {Incomparable(text): b"q"}
    with pytest.raises(LookupError, match="cannot compare keyword names") as failure:
        if via_call_slot:
            serializer.decode.__call__(**keywords)
        else:
            serializer.decode(**keywords)
    assert module_entries(failure.value) == ["zav.serializer.decode"]


@pytest.mark.parametrize("argument, message, entries", [
    ([], "Argument 'd' has incorrect type (expected dict, got list)", []),
    (type("DictSubclass", (dict,), {})(a=1), "Argument 'd' has incorrect type (expected dict, got DictSubclass)", []),
    (collections.defaultdict(list), "Argument 'd' has incorrect type (expected dict, got collections.defaultdict)", []),
    (None, "'NoneType' object is not iterable", ["zav.serializer._serialize_dict"]),
])
@pytest.mark.parametrize("by_keyword", [False, True])
def test_serialize_dict_argument_type(argument: Any, message: str, entries: list[str], by_keyword: bool) -> None:
    with pytest.raises(TypeError) as failure:
        serializer._serialize_dict(d=argument) if by_keyword else serializer._serialize_dict(argument)
    assert str(failure.value) == message
    assert module_entries(failure.value) == entries


@pytest.mark.parametrize("func, record, decoded", [
    (serializer._deserialize_dict, b"\x01\x02abc", {"a": "bc"}),
    (serializer._deserialize_list, b"\x02bc", ["bc"]),
])
def test_default_of_deserialize_is_true_and_stays(func: Any, record: bytes, decoded: Any) -> None:
    assert func.__defaults__ == (True,) and func.__defaults__[0] is True
    with pytest.raises(AttributeError):
        func.__defaults__ = (False,)
    assert func(record) == func(raw_data=record) == decoded
