"""Differential tests of the writers and readers against a small reference model.

Whatever way the module takes through a record (straight from the container into a
native buffer, or through a stream's write and getvalue; for exact types or for any
object), a caller sees the same thing: the same bytes, or the same exception with the
same text and traceback entries, after the same calls into the caller's objects in the
same order. The caller's objects stay as they were: no str is left holding a UTF-8 copy
(`sys.getsizeof` unchanged). The readers give each str exactly as `bytes.decode()`
makes it (same value, same storage width and size), or its exact UnicodeDecodeError.

The model below states the general behaviour in plain Python; every generated input goes
through the standard io (native buffer), a BytesIO subclass (stream) and the model.
"""
from __future__ import annotations

import ctypes
import enum
import io
import itertools
import math
import os
import platform
import random
import string
import struct
import subprocess
import sys
from collections import deque
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field, replace
from typing import Any

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zav.serializer as serializer
from conftest import StandInIO, module_entries

DICT, LIST = serializer._serialize_dict, serializer._serialize_list
MAP_READER, LIST_READER = serializer._deserialize_dict, serializer._deserialize_list

examples = settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
few_examples = settings(examples, max_examples=20)


# ---------------------------------------------------------------------------
# The caller's objects. Every call a writer may make into them is logged, so that the
# calls and their order can be compared between the paths and the model.

LOG: list[str] = []


class Shown:
    """An object with a string form, optionally changing a container first (once) or
    failing; `text` may be anything, a str subclass or not a str at all."""

    def __init__(self, name: str, text: Any = None, action: Callable[[], Any] | None = None,
                 fails: bool = False) -> None:
        self.name, self.text, self.action, self.fails = name, name if text is None else text, action, fails

    def __str__(self) -> Any:
        LOG.append(f"str {self.name}")
        action, self.action = self.action, None
        if action is not None:
            action()
        if self.fails:
            raise ArithmeticError(f"{self.name} has no text")
        return self.text

    def __repr__(self) -> str:
        return f"Shown({self.name!r})"


class StoredText(str):
    """Written as the characters it holds: its own string form is never asked for."""

    def __str__(self) -> str:
        LOG.append(f"str StoredText {str.__repr__(self)}")
        return "not the stored text"


class RawBytes(bytes):
    """Written as the bytes it holds."""

    def __str__(self) -> str:
        LOG.append(f"str RawBytes {bytes.__repr__(self)}")
        return "not the stored bytes"


class Counted(int):
    """An int whose own __str__ gives its text."""

    def __str__(self) -> str:
        LOG.append(f"str Counted {int.__repr__(self)}")
        return f"#{int.__repr__(self)}"


class Reprinted(int):
    """An int whose own __repr__ gives its text (str() of an int asks repr)."""

    def __repr__(self) -> str:
        LOG.append(f"repr Reprinted {int.__repr__(self)}")
        return f"Reprinted({int.__repr__(self)})"


class Flag(int):
    """An int subclass without a string form of its own: Flag(1) is written as 1, not True."""


class Switch(int):
    """An int subclass that spells itself as a bool."""

    def __str__(self) -> str:
        LOG.append(f"str Switch {int.__repr__(self)}")
        return "True" if self else "False"


class Toggle(enum.IntEnum):
    OFF = 0
    ON = 1


class Measured(float):
    """A float whose own __repr__ gives its text."""

    def __repr__(self) -> str:
        LOG.append(f"repr Measured {float.__repr__(self)}")
        return f"{float.__repr__(self)} m"


class KeyText(str):
    """A str subclass key with its own hash and equality, which dict lookups call."""

    def __hash__(self) -> int:
        LOG.append(f"hash KeyText {str.__repr__(self)}")
        return str.__hash__(self)

    def __eq__(self, other: object) -> bool:
        LOG.append(f"eq KeyText {str.__repr__(self)}")
        return str.__eq__(self, other)


class Collider:
    """A key with the hash of a str key. While the dict is built it equals only itself;
    armed afterwards, it answers == as told: 'equal', 'unequal' or 'raises'."""

    def __init__(self, name: str, hash_value: int, answer: str) -> None:
        self.name, self.hash_value, self.answer, self.armed = name, hash_value, answer, False

    def __hash__(self) -> int:
        LOG.append(f"hash {self.name}")
        return self.hash_value

    def __eq__(self, other: object) -> bool:
        LOG.append(f"eq {self.name}")
        if self.armed and self.answer == "raises":
            raise LookupError(f"{self.name} cannot be compared")
        return self is other or (self.armed and self.answer == "equal")

    def __str__(self) -> str:
        LOG.append(f"str {self.name}")
        return self.name

    def __repr__(self) -> str:
        return f"Collider({self.name!r})"


class LoggedList(list[Any]):
    """A list subclass whose own __getitem__ the list writer must use."""

    def __getitem__(self, i: Any) -> Any:
        LOG.append(f"getitem {i}")
        return list.__getitem__(self, i)


class LoggedSequence:
    """A sequence that is no list or tuple: only __len__ and __getitem__."""

    def __init__(self, items: list[Any]) -> None:
        self.items = items

    def __len__(self) -> int:
        LOG.append("len")
        return len(self.items)

    def __getitem__(self, i: int) -> Any:
        LOG.append(f"getitem {i}")
        return self.items[i]

    def __repr__(self) -> str:
        return f"LoggedSequence({self.items!r})"


# ---------------------------------------------------------------------------
# Strategies: text of every storage width, as runs so that a str mixes long ASCII
# stretches with wider characters at any offset (and across any block boundary).

def characters(first: int, last: int) -> st.SearchStrategy[str]:
    return st.integers(first, last).map(chr)


ASCII = characters(0x00, 0x7F)
LATIN1 = characters(0x80, 0xFF)
BMP = st.one_of(characters(0x100, 0x7FF), characters(0x800, 0xD7FF), characters(0x4E00, 0x9FFF),
                characters(0xE000, 0xFFFF))
ASTRAL = st.one_of(characters(0x10000, 0x10FFFF), characters(0x1F300, 0x1FAFF))
HIGH_SURROGATE, LOW_SURROGATE = characters(0xD800, 0xDBFF), characters(0xDC00, 0xDFFF)


# A printable ASCII stretch of any length costs one draw; random and repeated characters
# of each alphabet go between such stretches.
FILLER = "".join(map(chr, range(0x20, 0x7F))) * 2


def runs_of(*alphabets: st.SearchStrategy[str]) -> st.SearchStrategy[str]:
    run = st.one_of(
        st.integers(0, len(FILLER)).map(lambda n: FILLER[:n]),
        *(st.text(alphabet, max_size=6) for alphabet in alphabets),
        *(st.tuples(st.text(alphabet, min_size=1, max_size=3), st.integers(2, 30)).map(lambda t: t[0] * t[1])
          for alphabet in alphabets),
    )
    return st.lists(run, max_size=4).map("".join)


ascii_texts = runs_of(ASCII)
latin1_texts = runs_of(ASCII, LATIN1)
bmp_texts = runs_of(ASCII, LATIN1, BMP)
astral_texts = runs_of(ASCII, LATIN1, BMP, ASTRAL)
texts = st.one_of(ascii_texts, latin1_texts, bmp_texts, astral_texts)

# Text without a UTF-8 form: a lone surrogate anywhere, or a high and a low surrogate side
# by side. Those are two lone surrogates in a str (one of 2 bytes per character unless
# astral characters widen it), never one character.
surrogates = st.one_of(HIGH_SURROGATE, LOW_SURROGATE, st.tuples(HIGH_SURROGATE, LOW_SURROGATE).map("".join))
surrogate_texts = st.tuples(texts, surrogates, texts).map("".join)


# ---------------------------------------------------------------------------
# Strategies: numbers, exact and subclassed.

def from_bits(bits: int) -> float:
    result: float = struct.unpack("<d", struct.pack("<Q", bits))[0]
    return result


INT_LIMIT = sys.get_int_max_str_digits()  # 4300 unless the interpreter was told otherwise
EDGE_INTS = [0, 1, -1, 9, 10, -10, 2**31 - 1, -(2**31), 2**53 + 1, 10**18, 10**19 - 1, 10**19, -(10**19),
             2**63 - 1, -(2**63), 2**63, -(2**63) - 1, 2**64 - 1, 2**64, -(2**64), 2**64 + 1, 2**128,
             10**(INT_LIMIT - 1), -(10**(INT_LIMIT - 1))]
EDGE_FLOATS = [math.nan, -math.nan, from_bits(0xFFF8000000000000), from_bits(0x7FF0000000000001), math.inf,
               -math.inf, -0.0, 0.0, 1e16, 9999999999999998.0, 1e15, 1e-7, 1e-5, 1e-4, 0.1, 1 / 3, 2.5, 1e22,
               1e23, 5e-324, -5e-324, 2.2250738585072014e-308, 2.225073858507201e-308,
               1.7976931348623157e308, float(2**53 + 1), 123456789012345678.0]

ints = st.one_of(
    st.sampled_from(EDGE_INTS),
    st.tuples(st.sampled_from([2**31, 2**32, 2**63, -(2**63), 2**64, -(2**64), 10**19]), st.integers(-2, 2)).map(sum),
    st.integers(),
    st.integers(-(2**65), 2**65),
    st.integers(20, INT_LIMIT).map(lambda digits: 10 ** (digits - 1) + 7),  # up to the digit limit
)
over_limit_ints = st.tuples(st.integers(INT_LIMIT + 1, INT_LIMIT + 60), st.sampled_from([1, -1])).map(
    lambda t: t[1] * 10 ** (t[0] - 1))
floats = st.one_of(st.sampled_from(EDGE_FLOATS), st.floats(), st.integers(0, 2**64 - 1).map(from_bits),
                   st.integers(-(2**60), 2**60).map(float))


# ---------------------------------------------------------------------------
# Strategies: keys, values and items.

# Exact str, bytes, int, float and bool: what the writers may take without running any
# Python code.
exact_scalars = st.one_of(texts, st.binary(max_size=160), ints, floats, st.booleans())

# Subclasses and other objects, which take the general way through str().
objects = st.one_of(
    texts.map(StoredText), st.binary(max_size=40).map(RawBytes),
    st.integers().map(Counted), st.integers().map(Reprinted),
    st.sampled_from([Flag(0), Flag(1), Switch(0), Switch(1), Toggle.OFF, Toggle.ON]),
    floats.map(Measured), texts.map(Shown), texts.map(lambda t: Shown("stored", StoredText(t))),
)

# What fails: None, text without UTF-8 form (held or given by __str__), ints beyond the
# digit limit (exact or with their own __str__), a raising __str__, a non-str __str__.
failing = st.one_of(
    st.none(), surrogate_texts, surrogate_texts.map(lambda t: Shown("surrogates", t)),
    over_limit_ints, over_limit_ints.map(Counted),
    st.just(Shown("failing", fails=True)), st.just(Shown("non-str", 5)),
)
anything = st.one_of(exact_scalars, objects)


@st.composite
def with_one_failing(draw: st.DrawFn, entries: st.SearchStrategy[list[Any]],
                     bad: st.SearchStrategy[Any]) -> list[Any]:
    """The entries, and in half the cases one failing entry among them at any place."""
    drawn = draw(entries)
    if draw(st.booleans()):
        drawn.insert(draw(st.integers(0, len(drawn))), draw(bad))
    return drawn


pairs_lists = with_one_failing(
    st.one_of(st.lists(st.tuples(texts, exact_scalars), max_size=10),
              st.lists(st.tuples(st.one_of(texts, exact_scalars, objects), anything), max_size=10)),
    st.one_of(st.tuples(failing, exact_scalars), st.tuples(texts, failing)))
items_lists = with_one_failing(st.one_of(st.lists(exact_scalars, max_size=12), st.lists(anything, max_size=12)),
                               failing)

SEQUENCE_TYPES: dict[str, Callable[[list[Any]], Sequence[Any]]] = {
    "list": list, "tuple": tuple, "list subclass": LoggedList, "tuple subclass": type("Tuple", (tuple,), {}),
    "deque": deque, "sequence": LoggedSequence,  # type: ignore[dict-item]
}


# ---------------------------------------------------------------------------
# Strategies: UTF-8 payloads for the readers, well-formed and malformed.

def truncated(char: str, cut: int) -> bytes:
    encoded = char.encode()
    return encoded[: max(1, len(encoded) - cut)]


MALFORMED = [
    b"\x80", b"\xbf", b"\xc0\xaf", b"\xc1\xbf", b"\xe0\x80\xaf", b"\xe0\x9f\xbf", b"\xf0\x80\x80\xaf",
    b"\xf0\x8f\xbf\xbf",  # overlong forms
    b"\xed\xa0\x80", b"\xed\xbf\xbf", b"\xed\xa0\xbd\xed\xb8\x80",  # encoded surrogates, alone and paired
    b"\xf4\x90\x80\x80", b"\xf5\x80\x80\x80", b"\xf7\xbf\xbf\xbf", b"\xf8\x88\x80\x80\x80",  # past U+10FFFF
    b"\xfe", b"\xff", b"\xc3", b"\xe2\x82", b"\xf0\x9f\x98",  # impossible bytes, cut sequences
]
malformations = st.one_of(
    st.sampled_from(MALFORMED),
    st.tuples(st.one_of(LATIN1, BMP, ASTRAL), st.integers(1, 3)).map(lambda t: truncated(*t)),
    st.integers(0x80, 0xBF).map(lambda b: bytes([b])),  # stray continuation bytes
    st.binary(min_size=1, max_size=4),
)
valid_payloads = texts.map(str.encode)
corrupted_payloads = st.tuples(valid_payloads, malformations, valid_payloads).map(b"".join)
payloads = st.one_of(valid_payloads, corrupted_payloads)
payload_pairs = st.tuples(valid_payloads, valid_payloads)
corrupted_pairs = st.one_of(st.tuples(corrupted_payloads, valid_payloads), st.tuples(valid_payloads, corrupted_payloads),
                            st.tuples(corrupted_payloads, corrupted_payloads))


# ---------------------------------------------------------------------------
# The reference model.

class Raised(Exception):
    """An exception raised inside one of the module's inner routines (_encode, _decode),
    which add a traceback entry of their own."""

    def __init__(self, routine: str, error: Exception) -> None:
        self.routine, self.error = routine, error


def model_encode(obj: Any) -> bytes | None:
    """The module's encode: the stored characters of any str, any bytes as they are, None,
    else the UTF-8 of str(obj)."""
    try:
        if issubclass(type(obj), str):
            return str.encode(obj)
        if issubclass(type(obj), bytes) or obj is None:
            return obj  # type: ignore[no-any-return]
        return str.encode(str(obj))
    except Exception as exc:  # noqa: BLE001 - carried to the caller with its routine
        raise Raised("_encode", exc) from None


def model_decode(data: bytes) -> str:
    try:
        return data.decode()
    except UnicodeDecodeError as exc:
        raise Raised("_decode", exc) from None


def varnum(n: int) -> bytes:
    groups = [n & 0x7F]
    while n := n >> 7:
        groups.append(n & 0x7F | 0x80)
    return bytes(reversed(groups))


def measured(payload: bytes | None) -> bytes:
    if payload is None:
        raise TypeError("expected bytes, NoneType found")
    return payload


def model_map_record(d: dict[Any, Any]) -> bytes:
    """Pairs in the dict's order. The size is checked before every step; each key is
    encoded before its value is looked up (so a key's __str__ may change it), and a
    changed dict is followed where it stands. The model follows it by count, which holds
    while no entry before the current one is removed."""
    size, taken, record = len(d), 0, bytearray()
    while True:
        if len(d) != size:
            raise RuntimeError("dictionary changed size during iteration")
        keys = list(d)
        if taken == len(keys):
            return bytes(record)
        key = keys[taken]
        taken += 1
        key_bytes = model_encode(key)
        value_bytes = model_encode(d[key])
        key_bytes, value_bytes = measured(key_bytes), measured(value_bytes)
        record += varnum(len(key_bytes)) + varnum(len(value_bytes))
        record += key_bytes
        record += value_bytes


def model_list_record(sequence: Sequence[Any]) -> bytes:
    """Items 0 to len-1 as the sequence gives them when asked, the length taken once."""
    record = bytearray()
    for i in range(len(sequence)):
        item = measured(model_encode(sequence[i]))
        record += varnum(len(item))
        record += item
    return bytes(record)


def list_record(payloads: Iterable[bytes]) -> bytes:
    return b"".join(varnum(len(p)) + p for p in payloads)


def map_record(pairs: Iterable[tuple[bytes, bytes]]) -> bytes:
    return b"".join(varnum(len(k)) + varnum(len(v)) + k + v for k, v in pairs)


def model_read_list(payloads: list[bytes], deserialize: bool) -> list[Any]:
    return [model_decode(p) if deserialize else p for p in payloads]


def model_read_map(pairs: list[tuple[bytes, bytes]], deserialize: bool) -> dict[str, Any]:
    """Keys always decode; a value when asked to, and before its key."""
    result: dict[str, Any] = {}
    for key, value in pairs:
        if deserialize:
            text = model_decode(value)
            result[model_decode(key)] = text
        else:
            result[model_decode(key)] = value
    return result


# ---------------------------------------------------------------------------
# Calling the module and the model.

@dataclass(frozen=True)
class Outcome:
    """What a caller sees of one call: the result (its type, its value and, for text, its
    size) or the exception, and the calls made into the caller's objects."""
    result: Any = None
    error: tuple[Any, ...] | None = None
    log: tuple[str, ...] = field(default_factory=tuple)


def described(result: Any) -> Any:
    """A result with the type and size of every str and bytes in it."""
    if isinstance(result, dict):
        return ("dict", [(described(k), described(v)) for k, v in result.items()])
    if isinstance(result, list):
        return ("list", [described(x) for x in result])
    if isinstance(result, (str, bytes)):
        return type(result), result, sys.getsizeof(result)
    return type(result), result


def failure(exc: Exception, entries: list[str]) -> tuple[Any, ...]:
    details: tuple[Any, ...] = ()
    if isinstance(exc, (UnicodeEncodeError, UnicodeDecodeError)):
        details = (exc.encoding, exc.object, exc.start, exc.end, exc.reason)
    return type(exc), str(exc), details, tuple(entries)


def outcome_of(func: Callable[[Any], Any], argument: Any) -> Outcome:
    LOG.clear()
    try:
        result = func(argument)
    except Exception as exc:  # noqa: BLE001 - the exception is the outcome compared
        return Outcome(error=failure(exc, module_entries(exc)), log=tuple(LOG))
    return Outcome(result=described(result), log=tuple(LOG))


def model_outcome(model: Callable[[Any], Any], routine: str, argument: Any) -> Outcome:
    """The model's outcome, with the traceback entries the module adds for `routine`."""
    outer = f"zav.serializer.{routine}"
    LOG.clear()
    try:
        result = model(argument)
    except Raised as raised:
        return Outcome(error=failure(raised.error, [outer, f"zav.serializer.{raised.routine}"]), log=tuple(LOG))
    except Exception as exc:  # noqa: BLE001 - the exception is the outcome compared
        return Outcome(error=failure(exc, [outer]), log=tuple(LOG))
    return Outcome(result=described(result), log=tuple(LOG))


BytesIOSubclass = type("BytesIOSubclass", (io.BytesIO,), {})


def streamed(run: Callable[[], Outcome]) -> Outcome:
    """Runs with a BytesIO subclass as the stream class, so that the record goes through
    the stream's write and getvalue."""
    namespace = vars(serializer)
    saved, stand_in = namespace["io"], StandInIO(BytesIOSubclass)
    namespace["io"] = stand_in
    try:
        outcome = run()
    finally:
        namespace["io"] = saved
    assert len(stand_in.streams) == 1, "the stream path was not taken"
    return outcome


MODELS: dict[Callable[[Any], Any], Callable[[Any], Any]] = {DICT: model_map_record, LIST: model_list_record}


def assert_paths_agree(writer: Callable[[Any], Any], build: Callable[[], Any]) -> Outcome:
    """Native path, stream path and model, each on a fresh argument from `build`."""
    expected = model_outcome(MODELS[writer], writer.__name__, build())
    assert outcome_of(writer, build()) == expected
    assert streamed(lambda: outcome_of(writer, build())) == expected
    return expected


def held_texts(objects: Iterable[Any]) -> list[str]:
    """Every str among the objects and every str an object gives as its string form."""
    found = []
    for obj in objects:
        if isinstance(obj, str):
            found.append(obj)
        elif isinstance(obj, Shown) and isinstance(obj.text, str):
            found.append(obj.text)
    return found


def sizes(strings: list[str]) -> list[int]:
    return [sys.getsizeof(s) for s in strings]


# ---------------------------------------------------------------------------
# Writers: native path, stream path and model on mixed contents.

@examples
@given(pairs_lists)
def test_map_writer(pairs: list[tuple[Any, Any]]) -> None:
    d = dict(pairs)
    strings = held_texts(x for pair in d.items() for x in pair)
    before = sizes(strings)
    assert_paths_agree(DICT, lambda: d)
    assert sizes(strings) == before  # no UTF-8 copy left inside any str written


@examples
@given(items_lists, st.sampled_from(sorted(SEQUENCE_TYPES)))
def test_list_writer(items: list[Any], sequence_type: str) -> None:
    strings = held_texts(items)
    before = sizes(strings)
    assert_paths_agree(LIST, lambda: SEQUENCE_TYPES[sequence_type](items))
    assert sizes(strings) == before


@examples
@given(st.one_of(anything, failing))
def test_encode(obj: Any) -> None:
    strings = held_texts([obj])
    before = sizes(strings)
    expected = model_outcome(model_encode, "encode", obj)
    assert outcome_of(serializer.encode, obj) == expected
    assert sizes(strings) == before


# Values at each shortcut's edges, in named groups so that a failure says which.
# Every non-ASCII width at every offset around 16-, 32- and 64-byte blocks, in the block
# after, and in the tail.
BLOCK_TEXTS = ["x" * n + c + "y" * (n % 5) for c in ("\xe9", "\u20ac", "\U0001f600") for n in range(0, 140, 3)]
ALPHANUMERIC = string.ascii_letters + string.digits

VALUE_GROUPS: dict[str, list[Any]] = {
    "ints": EDGE_INTS,
    "floats": EDGE_FLOATS,
    "bools and look-alikes": [True, False, Flag(0), Flag(1), Switch(0), Switch(1), Toggle.OFF, Toggle.ON],
    "number subclasses": [Counted(7), Counted(2**64), Reprinted(-3), Measured(0.5), Measured(math.nan)],
    "texts across blocks": BLOCK_TEXTS,
    "texts of every width": ["", "a", "\x00", "\x7f\x80", "\xff" * 64 + "\u0100", "\u4e2d\u6587" * 50,
                             "\u07ff\u0800\uffff\U00010000\U0010ffff", "\U0001f600" * 33, "x" * 300],
    # 4-byte texts are transcoded in blocks of 512 characters on some processors.
    "long 4-byte texts": ["\U0001f600" * n + "\u03b1" * (n % 3) + "x" for n in (510, 511, 512, 1023, 1024)]
                         + ["\U0010ffffa\u03b1\u4e2d\xe9" * 300],
    # Written before their length is known: lengths narrower than their largest size.
    "texts shorter than they might be": ["\xe9" + "x" * 99, "\u0101" + "x" * 60, "\U0001f600" + "x" * 40,
                                          "\u20ac" + "x" * 6000, "\xe9" * 63 + "\u0101", "\u20ac" * 42],
    "stored texts and bytes": [StoredText("\xe9\u20ac"), StoredText(""), RawBytes(b"\xff"), b"", b"\x80" * 200],
    # Short contents are copied in overlapping words: no two bytes alike, so that a
    # word out of place shows.
    "every short length": [ALPHANUMERIC[:n] for n in range(41)] + [bytes(range(1, n + 1)) for n in range(41)],
}


@pytest.mark.parametrize("values", list(VALUE_GROUPS.values()), ids=list(VALUE_GROUPS))
def test_value_groups(values: list[Any]) -> None:
    """Each group as list and tuple items, as dict values and as dict keys."""
    strings = held_texts(values)
    before = sizes(strings)
    assert_paths_agree(LIST, lambda: values)
    assert_paths_agree(LIST, lambda: tuple(values))
    assert_paths_agree(DICT, lambda: {f"k{i}": v for i, v in enumerate(values)})
    assert_paths_agree(DICT, lambda: dict.fromkeys(values, "v"))
    for value in values:
        assert outcome_of(serializer.encode, value) == model_outcome(model_encode, "encode", value)
    assert sizes(strings) == before


FAILING_VALUES: dict[str, Any] = {
    "two-byte text with a high and a low surrogate": "\u20ac\ud83d\ude00",
    "the same after a long ASCII run": "x" * 70 + "\ud83d\ude00" + "\u20ac" * 40,
    "four-byte text with a high and a low surrogate": "\U0001f600\ud83d\ude00",
    "latin-1 text with a lone surrogate at the end": "\xe9" * 65 + "\udfff",
    "int beyond the digit limit": 10**INT_LIMIT,
    "negative int beyond the digit limit": -(10**INT_LIMIT),
    "int subclass beyond the digit limit": Counted(10**INT_LIMIT),
    "None": None,
}


@pytest.mark.parametrize("value", list(FAILING_VALUES.values()), ids=list(FAILING_VALUES))
def test_failing_values(value: Any) -> None:
    """Each as a key, a value and an item, behind entries that take the shortcuts."""
    head = {"a": "b", "\xe9": 1, "\u20ac": 2.5}
    assert_paths_agree(DICT, lambda: head | {value: "v"})
    assert_paths_agree(DICT, lambda: head | {"k": value})
    assert_paths_agree(LIST, lambda: [*head, value])
    assert outcome_of(serializer.encode, value) == model_outcome(model_encode, "encode", value)


# A surrogate at every offset around the 16- and 32-unit blocks that the search for one
# in a 2- or 4-byte str goes through, and in the tail, among characters of that width.
SURROGATE_AT_EVERY_OFFSET = [c * n + s + c * (n % 3) for c in ("\u20ac", "\U0001f600")
                             for s in ("\ud800", "\udfff") for n in range(0, 70, 3)]


def test_surrogate_at_every_offset() -> None:
    for text in SURROGATE_AT_EVERY_OFFSET:
        assert_paths_agree(LIST, lambda: ["\u20ac", text])
        assert outcome_of(serializer.encode, text) == model_outcome(model_encode, "encode", text)


def test_failures_stated_without_the_model() -> None:
    """Two of the failures above as they are, not as the model derives them."""
    with pytest.raises(UnicodeEncodeError) as caught:
        LIST(["\u20ac\ud83d\ude00"])
    assert (caught.value.start, caught.value.end) == (1, 3)
    assert str(caught.value).endswith("can't encode characters in position 1-2: surrogates not allowed")
    with pytest.raises(ValueError, match="Exceeds the limit"):
        DICT({"k": 10**INT_LIMIT})


# ---------------------------------------------------------------------------
# The list writer's number path against str(): every item's record entry is the UTF-8
# of str(item) behind its length, with str() called on exactly the objects that have
# a string form of their own, in order.

class Permission(enum.IntFlag):
    READ = 4
    WRITE = 2
    RUN = 1


class Priced(float):
    """A float whose own __str__ gives its text."""

    def __str__(self) -> str:
        LOG.append(f"str Priced {float.__repr__(self)}")
        return f"{float.__repr__(self)} EUR"


def around(n: int) -> list[int]:
    return [n - 1, n, n + 1, -n + 1, -n, -n - 1]


# Up to beyond 2**256, where the writer's own digits stop and str() takes over.
POWER_INTS = sorted({x for k in range(261) for x in around(2**k)} | {x for k in range(81) for x in around(10**k)})
SUBNORMALS = [from_bits(bits) for bits in (1, 2, 0x000FFFFFFFFFFFFF, 0x0008000000000000, 0x0000000100000000)]
NUMBER_ITEMS: dict[str, list[Any]] = {
    "ints around powers of two and ten": POWER_INTS,
    "floats": EDGE_FLOATS + SUBNORMALS + [-x for x in SUBNORMALS] + [-1e16, -1e-5, 0.5, -123.456],
    "bools": [True, False, False, True, True],
    "subclasses": [Counted(5), Counted(2**70), Priced(2.5), Measured(-0.0), Flag(7), Switch(1),
                   Toggle.ON, Toggle.OFF, Permission.READ, Permission.READ | Permission.WRITE, Permission(0)],
}


def str_record(items: Sequence[Any]) -> tuple[bytes, list[str]]:
    """The record as str() of every item gives it, and the calls str() made."""
    LOG.clear()
    entries = [str(x).encode() for x in items]
    return b"".join(varnum(len(e)) + e for e in entries), list(LOG)


def assert_written_as_str(items: list[Any]) -> None:
    for sequence in (items, tuple(items)):
        expected = str_record(sequence)
        LOG.clear()
        assert (LIST(sequence), LOG) == expected


def interleaved(items: list[Any], texts: list[str]) -> list[Any]:
    return [x for pair in zip(items, itertools.cycle(texts)) for x in pair]


@pytest.mark.parametrize("group", list(NUMBER_ITEMS), ids=list(NUMBER_ITEMS))
def test_numbers_written_as_str(group: str) -> None:
    """Each item alone, the group as one run, and every item between texts."""
    items = NUMBER_ITEMS[group]
    for item in items:
        assert_written_as_str([item])
    assert_written_as_str(items)
    assert_written_as_str(interleaved(items, ["", "a", "\xe9t\xe9", "\U0001f600", "x" * 200]))


def ints_of_every_length(seed: int = 20261208) -> list[int]:
    rng = random.Random(seed)
    return [rng.choice((1, -1)) * rng.getrandbits(bits) for bits in range(1, 300) for _ in range(200)]


@pytest.mark.parametrize("items", [range(10**6 + 2), range(10**8 - 10**6, 10**8 + 2), range(0, 10**8, 997),
                                   ints_of_every_length()],
                         ids=["every int below 10**6", "the last 10**6 below 10**8", "a stride below 10**8",
                              "random ints of 1 to 299 bits"])
def test_ints_written_as_str(items: Sequence[int]) -> None:
    """The digits of ints come from rounded reciprocals, whose error grows with the
    int, and those of long ints from divisions by one."""
    assert LIST(list(items)) == str_record(items)[0]


def ints_of_every_digit_count(seed: int = 20261209) -> list[int]:
    """1 to 20 digits: the least and the largest of each count and random ones, 16 digits
    whose two halves of eight take their extremes (each half's digits come from rounded
    reciprocals, whose error grows with the half), the same behind every kind of top
    digits, and the edges of 64 bits; each with its negative."""
    rng = random.Random(seed)
    magnitudes = {m for count in range(1, 21) for m in (10 ** (count - 1), 10**count - 1,
                                                         *(rng.randrange(10 ** (count - 1), 10**count) for _ in range(40)))}
    halves = [0, 1, 10**7 - 1, 10**7, 10**8 - 1]
    sixteen = {high * 10**8 + low for high in halves for low in halves}
    magnitudes |= sixteen | {top * 10**16 + m for top in (1, 9, 10, 99, 100, 999, 1000, 1844) for m in sixteen}
    magnitudes |= {2**63 - 1, 2**63, 2**64 - 1, 2**64, 2**64 + 1}
    return [x for m in sorted(magnitudes) for x in (m, -m)]


def str_pairs(pairs: Iterable[tuple[Any, Any]]) -> bytes:
    return map_record((str(k).encode(), str(v).encode()) for k, v in pairs)


@pytest.mark.parametrize("where", ["list items", "dict values", "dict keys"])
def test_ints_of_every_digit_count_written_as_str(where: str) -> None:
    """Between bools, which switch the writers' runs of one number type."""
    numbers = ints_of_every_digit_count()
    if where == "dict keys":
        d = {n: "v" for n in numbers}
        assert DICT(d) == str_pairs(d.items())
        return
    items = interleaved(numbers, [True, False, True])
    if where == "list items":
        assert LIST(items) == str_record(items)[0]
    else:
        assert DICT({f"k{i}": x for i, x in enumerate(items)}) == str_pairs((f"k{i}", x) for i, x in enumerate(items))


def decimals_of_every_length() -> list[float]:
    """Decimals of 1 to 17 significant digits at every order from 1e-10 to 1e17, each
    with the doubles beside it and negated: short and full digits, both layouts and
    the switch between them."""
    values = []
    for order in range(-10, 18):
        for digits in range(1, 18):
            for significand in (10 ** (digits - 1), 10**digits - 1, 10 ** (digits - 1) * 7 + 3 * digits):
                x = float(f"{significand % 10**digits}e{order - digits + 1}")
                values += [x, math.nextafter(x, 0), math.nextafter(x, math.inf), -x]
    return values


def test_decimals_of_every_length_written_as_str() -> None:
    values = decimals_of_every_length()
    assert LIST(values) == str_record(values)[0]
    assert DICT({f"k{i}": x for i, x in enumerate(values)}) == b"".join(
        varnum(len(k)) + varnum(len(v)) + k + v for k, v in ((f"k{i}".encode(), str(x).encode())
                                                         for i, x in enumerate(values)))


def test_int_keys_written_as_str() -> None:
    """Int keys of every size before values that are their own contents, short and long."""
    values: list[str | bytes] = ["v", b"raw", "x" * 200, holding_utf8_copy("\u00e9t\u00e9"), "\u00e9t\u00e9"]
    # The smallest first: from the first key beyond 2**256 on, every pair takes the general way.
    d = {k: values[i % len(values)] for i, k in enumerate(sorted(POWER_INTS, key=abs))}
    expected = b"".join(varnum(len(k)) + varnum(len(v)) + k + v
                        for k, v in ((str(k).encode(), v if isinstance(v, bytes) else v.encode()) for k, v in d.items()))
    assert DICT(d) == expected


number_items = st.one_of(ints.filter(lambda n: abs(n) < 2**300), floats, st.booleans(), st.sampled_from(
    NUMBER_ITEMS["subclasses"]), st.integers().map(Counted), floats.map(Priced))


@examples
@given(st.lists(st.one_of(number_items, number_items, ascii_texts, texts), max_size=40))
def test_generated_numbers_written_as_str(items: list[Any]) -> None:
    assert_written_as_str(items)


# ---------------------------------------------------------------------------
# The caller's text: unchanged by any call, and one that holds CPython's UTF-8 copy
# already gives the same record as a fresh one.

def fresh_copy(text: str) -> str:
    """An equal str that is a new object (for two characters or more)."""
    return (text + "\x00")[:-1]


utf8_copy = ctypes.pythonapi.PyUnicode_AsUTF8AndSize
utf8_copy.argtypes = [ctypes.py_object, ctypes.c_void_p]
utf8_copy.restype = ctypes.c_void_p


def holding_utf8_copy(text: str) -> str:
    held = fresh_copy(text)
    before = sys.getsizeof(held)
    assert utf8_copy(held, None) is not None
    # An ASCII str is its own UTF-8; any other keeps a copy, which makes it larger.
    assert (sys.getsizeof(held) > before) == (not held.isascii())
    return held


long_enough_texts = texts.filter(lambda t: len(t) >= 2)


@few_examples
@given(st.lists(st.tuples(long_enough_texts, long_enough_texts), min_size=1, max_size=4),
       st.lists(exact_scalars, max_size=6), st.integers(0, 8))
def test_text_holding_a_utf8_copy(pairs: list[tuple[str, str]], others: list[Any], every: int) -> None:
    strings = [t for pair in pairs for t in pair]
    cached = [holding_utf8_copy(t) for t in strings]
    before = sizes(cached)
    # The texts in runs, an other item after every `every` of them, the rest at the end.
    items = cached[::-1]
    for k, other in enumerate(others):
        items.insert(min(len(items), (k + 1) * (every + 1) - 1), other)
    expected_list = model_outcome(model_list_record, "_serialize_list",
                                  [fresh_copy(x) if isinstance(x, str) else x for x in items])
    expected_map = model_outcome(model_map_record, "_serialize_dict", {fresh_copy(k): fresh_copy(v) for k, v in pairs})
    cached_map = dict(zip(cached[::2], cached[1::2]))
    for run in (lambda f: f(), streamed):
        assert run(lambda: outcome_of(LIST, items)) == expected_list
        assert run(lambda: outcome_of(DICT, cached_map)) == expected_map
    for text, held in zip(strings, cached):
        assert serializer.encode(held) == text.encode()
    assert sizes(cached) == before


# ---------------------------------------------------------------------------
# Every shape of dict table: the writer reads entries in place where it can


class Attributes:
    pass


def with_holes(d: dict[Any, Any], every: int) -> dict[Any, Any]:
    for key in list(d)[::every]:
        del d[key]
    return d


def instance_dict(n: int) -> dict[str, Any]:
    obj = Attributes()
    for i in range(n):
        setattr(obj, f"a{i}", i * 7)
    return vars(obj)


def refilled(n: int) -> dict[Any, Any]:
    d = {f"k{i}": i for i in range(n)}
    d.clear()
    d.update((f"n{i}", -i) for i in range(n // 2))
    return d


@pytest.mark.parametrize("build", [
    lambda: {},
    lambda: with_holes({f"key{i}": f"v{i}" for i in range(40)}, 3),
    lambda: with_holes({i: 2.5 * i for i in range(40)}, 4),
    lambda: with_holes({(b"k%d" % i if i % 2 else 1.5 * i): str(i) for i in range(300)}, 5),
    lambda: with_holes({f"k{i}": i for i in range(70_000)}, 7),
    lambda: instance_dict(12),
    lambda: refilled(500),
], ids=["empty", "str keys, holes", "int keys, holes", "mixed keys, 2-byte indices", "4-byte indices",
        "split table", "cleared and refilled"])
def test_dict_tables(build: Callable[[], dict[Any, Any]]) -> None:
    """A record is its pairs one after another, each as a dict of one pair writes it."""
    d = build()
    assert DICT(d) == b"".join(DICT({key: value}) for key, value in d.items())


# ---------------------------------------------------------------------------
# Dicts whose keys are not all exact str: every value is what a lookup by its key finds
# at that moment, with the calls such a lookup makes, colliding hashes included.

@dataclass(frozen=True)
class Entry:
    """One pair of a dict built for a test.

    key: "text" (an exact str), "text subclass" (KeyText), "collider" (a Collider with the
    hash of entry `target`'s key, answering == with `answer`) or "changer" (an object whose
    __str__ makes `change` to entry `target`). With changing_value the value is the
    changer and the key is an exact str. Changes: "grow" (adds a key), "shrink" (removes
    the target), "replace" (gives the target a new value), "swap" (removes the target and
    adds a key: the size stays)."""
    text: str
    value: Any = "v"
    key: str = "text"
    answer: str = "unequal"
    change: str = ""
    target: int = 0
    changing_value: bool = False


def key_text(entries: Sequence[Entry], i: int) -> str:
    return f"{entries[i].text}#{i}"  # distinct for every entry


def changer(d: dict[Any, Any], keys: list[Any], i: int, entry: Entry) -> Callable[[], None]:
    def change() -> None:
        target = keys[entry.target]
        if entry.change == "grow":
            d[("added", i)] = "added"
        elif entry.change == "shrink":
            d.pop(target, None)
        elif entry.change == "replace":
            d[target] = f"replaced by {i} \xe9\u20ac\U0001f600"
        elif entry.change == "swap":
            d.pop(target, None)
            d[("swapped", i)] = "swapped"
    return change


def make_key(d: dict[Any, Any], keys: list[Any], entries: Sequence[Entry], i: int) -> Any:
    entry, name = entries[i], key_text(entries, i)
    if entry.key == "text subclass":
        return KeyText(name)
    if entry.key == "collider":
        return Collider(name, hash(key_text(entries, entry.target)), entry.answer)
    if entry.key == "changer":
        return Shown(name, action=changer(d, keys, i, entry))
    return name


def build_dict(entries: Sequence[Entry]) -> dict[Any, Any]:
    d: dict[Any, Any] = {}
    keys: list[Any] = []
    for i, entry in enumerate(entries):
        keys.append(make_key(d, keys, entries, i))
        if entry.changing_value:
            d[keys[i]] = Shown(f"value {key_text(entries, i)}", action=changer(d, keys, i, entry))
        else:
            d[keys[i]] = entry.value
    for key in keys:
        if isinstance(key, Collider):
            key.armed = True
    return d


# Exact-str-key entries around the special one: with text and bytes values only, and with
# values of every exact type.
PLAIN_DICTS = {
    "text values": [Entry("a", "bc"), Entry("\xe9", b"\xff" * 130), Entry("\u20ac", "\U0001f600" * 3),
                    Entry("\U0001f600", ""), Entry("b", b""), Entry("\u4e2d" * 40, "\xe9" * 70)],
    "exact values": [Entry("a", "bc"), Entry("\xe9", 2**63), Entry("\u20ac", 1e16), Entry("\U0001f600", True),
                     Entry("b", b"\xff" * 130), Entry("\u4e2d" * 40, "\U0001f600" * 3), Entry("c", -0.0)],
}

# Each gives the special entry for position p among n entries.
SPECIALS: dict[str, Callable[[int, int], Entry]] = {
    "text subclass key": lambda p, n: Entry("sub", "w", key="text subclass"),
    "collider equal to the next key": lambda p, n: Entry("c", "cv", key="collider", answer="equal", target=(p + 1) % n),
    "collider equal to the previous key": lambda p, n: Entry("c", "cv", key="collider", answer="equal",
                                                             target=(p - 1) % n),
    "collider unequal to the next key": lambda p, n: Entry("c", 7, key="collider", target=(p + 1) % n),
    "collider raising on the next key": lambda p, n: Entry("c", 7, key="collider", answer="raises", target=(p + 1) % n),
    "key growing the dict": lambda p, n: Entry("g", key="changer", change="grow"),
    "key removing the last entry": lambda p, n: Entry("s", key="changer", change="shrink", target=n - 1),
    "key removing itself": lambda p, n: Entry("s", key="changer", change="shrink", target=p),
    "key replacing the last value": lambda p, n: Entry("r", key="changer", change="replace", target=n - 1),
    "key replacing the first value": lambda p, n: Entry("r", key="changer", change="replace", target=0),
    "key replacing its own value": lambda p, n: Entry("r", key="changer", change="replace", target=p),
    "key swapping out the last entry": lambda p, n: Entry("w", key="changer", change="swap", target=n - 1),
    "value replacing the last value": lambda p, n: Entry("r", changing_value=True, change="replace", target=n - 1),
    "value growing the dict": lambda p, n: Entry("g", changing_value=True, change="grow"),
}


@pytest.mark.parametrize("plain", list(PLAIN_DICTS))
@pytest.mark.parametrize("special", list(SPECIALS))
def test_special_key_at_every_position(special: str, plain: str) -> None:
    entries = PLAIN_DICTS[plain]
    n = len(entries) + 1
    for p in range(n):
        assert_paths_agree(DICT, lambda: build_dict([*entries[:p], SPECIALS[special](p, n), *entries[p:]]))


def test_colliding_key_is_found_by_lookup() -> None:
    """What the model claims for an equal collider, stated without it: the str key that
    comes later is written with the collider's value."""
    entries = [Entry("c", "collider's", key="collider", answer="equal", target=1), Entry("a", "own")]
    assert DICT(build_dict(entries)) == b"\x03\nc#0collider's\x03\na#1collider's"


KEY_KINDS = ["text", "text", "text", "text subclass", "collider", "changer", "changing value"]
names = st.text(st.one_of(ASCII, LATIN1, BMP, ASTRAL), max_size=4)


@st.composite
def changing_dicts(draw: st.DrawFn) -> list[Entry]:
    """Entries of every kind in any order. A swap never removes an entry before the one
    being written (the model follows the dict by count), so it is not combined with a
    collider that is equal to another key."""
    n = draw(st.integers(1, 8))
    entries = []
    for i in range(n):
        kind = draw(st.sampled_from(KEY_KINDS))
        entry = Entry(draw(names), draw(exact_scalars))
        if kind in ("text subclass", "collider"):
            entry = replace(entry, key=kind, answer=draw(st.sampled_from(["equal", "unequal", "raises"])),
                            target=draw(st.integers(0, n - 1)))
        elif kind in ("changer", "changing value"):
            change = draw(st.sampled_from(["grow", "shrink", "replace", "swap"]))
            # A swap starts at the entry itself (its key then is gone) or after it.
            first = i + (kind == "changing value") if change == "swap" else 0
            if first >= n:
                change, first = "replace", 0
            entry = replace(entry, key="changer" if kind == "changer" else "text", change=change,
                            changing_value=kind == "changing value", target=draw(st.integers(first, n - 1)))
        entries.append(entry)
    if any(e.change == "swap" for e in entries):
        entries = [replace(e, answer="unequal") if e.answer == "equal" else e for e in entries]
    return entries


@examples
@given(changing_dicts())
def test_dicts_with_keys_of_every_kind(entries: list[Entry]) -> None:
    assert_paths_agree(DICT, lambda: build_dict(entries))


# ---------------------------------------------------------------------------
# Lists from any sequence, and lists that change while they are written.

def drop_after(items: list[Any] | deque[Any], p: int) -> None:
    while len(items) > p + 1:
        items.pop()


LIST_CHANGES: dict[str, Callable[[list[Any] | deque[Any], int], object]] = {
    "clear": lambda items, p: items.clear(),
    "drop the rest": drop_after,
    "drop the last": lambda items, p: items.pop(),
    "drop the first": lambda items, p: items.__delitem__(0),
    "append": lambda items, p: items.append("appended \u20ac"),
    "insert at the front": lambda items, p: items.insert(0, "inserted \U0001f600"),
    "replace the last": lambda items, p: items.__setitem__(len(items) - 1, "replaced \xe9"),
}
CHANGING_SEQUENCES = ["list", "list subclass", "deque", "sequence"]


def build_list(sequence_type: str, items: list[Any], p: int, change: str) -> Sequence[Any]:
    """The items with a changer at position p, in a sequence of the given type."""
    sequence = SEQUENCE_TYPES[sequence_type]([*items[:p], None, *items[p:]])
    contents: Any = sequence.items if isinstance(sequence, LoggedSequence) else sequence
    contents[p] = Shown(f"item {p}", action=lambda: LIST_CHANGES[change](contents, p))
    return sequence


PLAIN_ITEMS = ["a", "\xe9\xe9", 2**64, 0.1, False, b"\x00" * 129, "\U0001f600", -(2**63)]


@pytest.mark.parametrize("sequence_type", CHANGING_SEQUENCES)
@pytest.mark.parametrize("change", list(LIST_CHANGES))
def test_list_changing_at_every_position(sequence_type: str, change: str) -> None:
    for p in range(len(PLAIN_ITEMS) + 1):
        assert_paths_agree(LIST, lambda: build_list(sequence_type, PLAIN_ITEMS, p, change))


@few_examples
@given(st.lists(exact_scalars, max_size=8), st.data())
def test_changing_lists(items: list[Any], data: st.DataObject) -> None:
    sequence_type = data.draw(st.sampled_from(CHANGING_SEQUENCES))
    p = data.draw(st.integers(0, len(items)))
    change = data.draw(st.sampled_from(sorted(LIST_CHANGES)))
    assert_paths_agree(LIST, lambda: build_list(sequence_type, items, p, change))


@pytest.mark.parametrize("sequence", ["ab\xe9\u20ac\U0001f600", b"a\xff", range(3), bytearray(b"xy")],
                         ids=["str", "bytes", "range", "bytearray"])
def test_other_sequences(sequence: Any) -> None:
    assert_paths_agree(LIST, lambda: sequence)


# ---------------------------------------------------------------------------
# Readers: each str as bytes.decode() makes it, or its exact UnicodeDecodeError.

def assert_decoders_agree(payload: bytes) -> None:
    expected = model_outcome(model_decode, "decode", payload)
    assert outcome_of(serializer.decode, payload) == expected
    safe = serializer.safe_decode(payload)
    if expected.error:
        assert safe is payload
    else:
        assert described(safe) == expected.result


def assert_list_reader_agrees(items: list[bytes], deserialize: bool) -> None:
    expected = model_outcome(lambda p: model_read_list(p, deserialize), "_deserialize_list", items)
    assert outcome_of(lambda r: LIST_READER(r, deserialize), list_record(items)) == expected


def assert_map_reader_agrees(pairs: list[tuple[bytes, bytes]], deserialize: bool) -> None:
    expected = model_outcome(lambda p: model_read_map(p, deserialize), "_deserialize_dict", pairs)
    assert outcome_of(lambda r: MAP_READER(r, deserialize), map_record(pairs)) == expected


def test_texts_of_every_width() -> None:
    """Each width at every offset around the blocks, read back as the size CPython gives it."""
    encoded = [t.encode() for t in BLOCK_TEXTS + VALUE_GROUPS["texts of every width"]]
    for payload in encoded:
        assert_decoders_agree(payload)
    for deserialize in (True, False):
        assert_list_reader_agrees(encoded, deserialize)
        assert_map_reader_agrees(list(zip(encoded, reversed(encoded))), deserialize)


@pytest.mark.parametrize("bad", MALFORMED, ids=lambda bad: bad.hex())
def test_malformed_sequences(bad: bytes) -> None:
    """Each malformed sequence alone, in short text, after a long ASCII run and among
    wide characters; as an item, as a key, as a value, and as both (the value's error
    is the one raised)."""
    good = "\u20ac\xe9".encode()
    for payload in (bad, good + bad + b"x", b"x" * 70 + bad, good * 20 + bad + b"tail"):
        assert_decoders_agree(payload)
        for deserialize in (True, False):
            assert_list_reader_agrees([good, payload, b"after"], deserialize)
            for pair in ((payload, good), (good, payload), (payload, bad + b"\xff")):
                assert_map_reader_agrees([(good, good), pair], deserialize)


@examples
@given(payloads)
def test_decode_and_safe_decode(payload: bytes) -> None:
    assert_decoders_agree(payload)


@examples
@given(st.one_of(st.lists(valid_payloads, max_size=8),
                 with_one_failing(st.lists(valid_payloads, max_size=6), corrupted_payloads)),
       st.booleans())
def test_list_reader(items: list[bytes], deserialize: bool) -> None:
    assert_list_reader_agrees(items, deserialize)


# Items of 1 to 32 ASCII bytes are read in a loop of their own when deserialize is True;
# with any other true flag (1) every item takes the general path. Around them: items of
# every other short size, bytes above 0x7F, and the record cut by up to ten bytes.
short_ascii = st.text(string.ascii_letters + string.digits, max_size=33).map(str.encode)


def with_high_byte(text: bytes, at: int, byte: int) -> bytes:
    """text with the byte at `at` (modulo its size) replaced by one above 0x7F."""
    at %= max(1, len(text))
    return text[:at] + bytes([byte]) + text[at + 1:]


short_items = st.one_of(short_ascii, st.binary(max_size=33), valid_payloads,
                        st.builds(with_high_byte, short_ascii, st.integers(0, 32), st.integers(0x80, 0xFF)))


def assert_short_items_as_general_path(items: list[bytes]) -> None:
    record = list_record(items)
    expected = model_outcome(lambda p: model_read_list(p, True), "_deserialize_list", items)
    for cut in range(min(len(record), 10) + 1):
        cut_record = record[: len(record) - cut]
        shortcut = outcome_of(lambda r: LIST_READER(r, True), cut_record)
        assert shortcut == outcome_of(lambda r: LIST_READER(r, 1), cut_record)
        assert cut > 0 or shortcut == expected


@settings(examples, max_examples=200)
@given(st.lists(short_items, max_size=12))
def test_short_items_as_general_path(items: list[bytes]) -> None:
    assert_short_items_as_general_path(items)


# In a list of 64 items or more, short items that repeat are given the str made for the
# first of them: a few items, drawn again and again, with the others among them.
@settings(examples, max_examples=40)
@given(st.lists(short_items, min_size=1, max_size=5), st.lists(st.integers(0, 7), min_size=64, max_size=120))
def test_repeated_short_items_as_general_path(pool: list[bytes], picks: list[int]) -> None:
    assert_short_items_as_general_path([pool[i % len(pool)] for i in picks])


# In a list whose first items spell bools often (and repeat too seldom for the repeat
# cache), items that spell "True" or "False" are given the interned strs: spellings and
# near ones among distinct items.
SPELLINGS = [b"True", b"False"] * 3 + [b"Fals", b"Falsx", b"Falsee", b"Trux", b"Truee", b"TRUE", b"true", b"F", b"Tr"]


@settings(examples, max_examples=40)
@given(st.lists(st.sampled_from(SPELLINGS), min_size=22, max_size=40), st.integers(2, 3))
def test_bool_spellings_as_general_path(spellings: list[bytes], every: int) -> None:
    items = [spellings[i // every] if i % every == 0 else f"v{i}".encode() for i in range(len(spellings) * every)]
    assert_short_items_as_general_path(items)


def test_repeated_items_that_share_their_first_bytes() -> None:
    prefixes = [b"abcdefghijklmnopq"[:size] for size in range(2, 18)]
    last_differs = [b"x" * (size - 1) + end for size in range(2, 18) for end in (b"a", b"b")]
    items = prefixes + last_differs
    # Repeats first: the list's first items decide whether the cache is used at all.
    assert_short_items_as_general_path([b"ab", b"abc"] * 30 + items * 3 + items[::-1] * 3)


def test_repeats_after_distinct_items() -> None:
    # First items that do not repeat decide the list half way through its trial.
    distinct = [f"{i:03d}".encode() for i in range(40)]
    assert_short_items_as_general_path(distinct + [b"ab", b"cd"] * 40)


# The reader holds a list's items until the record ends, in room it sizes by the rate
# of items read so far: lists whose items grow or shrink past that guess, or repeat.
@pytest.mark.parametrize("items", [
    [b"ab"] * 64 + [b"x" * 300] * 70 + [b"c"] * 500,
    [b"x" * 5000] * 3 + [b"ab", b""] * 700,
    [b"ab", b"cd"] * 40 + ["é".encode() * 40] * 90 + [b"ab"] * 300,
    [f"{i}".encode() for i in range(3000)],
])
def test_lists_that_outgrow_the_room_guessed(items: list[bytes]) -> None:
    assert_short_items_as_general_path(items)


@pytest.mark.parametrize("size", range(2, 34))
def test_short_item_with_a_high_byte_at_every_offset(size: int) -> None:
    # Each offset lies in a different one of the words the ASCII test reads.
    for at in range(size - 1):
        for high in ("é".encode(), b"\xff\xfe"):
            record = list_record([b"ab", b"x" * at + high + b"y" * (size - 2 - at), b"cd"])
            assert outcome_of(lambda r: LIST_READER(r, True), record) == outcome_of(lambda r: LIST_READER(r, 1), record)


@examples
@given(st.one_of(st.lists(payload_pairs, max_size=8), with_one_failing(st.lists(payload_pairs, max_size=6),
                                                                       corrupted_pairs)),
       st.booleans())
def test_map_reader(pairs: list[tuple[bytes, bytes]], deserialize: bool) -> None:
    assert_map_reader_agrees(pairs, deserialize)


# Records of one schema, read one call each as programs read them, are made from the
# dict of their keys once those came twice running; a truth that is no bool (1 or 0)
# keeps a record on the general path, pair by pair. After records of keys of their own
# the cache rests, looking at one record in 16: it takes up to 33 reads to wake it.
OWN_KEYS = [map_record([(f"{field}.{i}".encode(), b"v") for field in "abcdef"]) for i in range(80)]
READS_TO_KEEP = 2 * 16 + 1
# Keys the dict of which is kept (short ASCII), and now and then one that keeps none.
schema_keys = st.tuples(
    st.lists(st.text(string.ascii_letters + "_.", min_size=2, max_size=32), min_size=3, max_size=70, unique=True),
    st.one_of(st.none(), st.sampled_from(["id", "zo\xeb", "k" * 40, "\U0001f600 key", ""])),
).map(lambda t: [k.encode() for k in t[0] + ([t[1]] if t[1] is not None else [])])


@examples
@given(schema_keys, st.lists(payloads, min_size=1, max_size=5), st.booleans(),
       st.sampled_from(["whole", "cut short", "overrun", "a key changed"]))
def test_records_made_from_kept_keys(keys: list[bytes], values: list[bytes], deserialize: bool, change: str) -> None:
    """The same outcome as the general path, order, errors and traceback included."""
    pairs = list(zip(keys, itertools.cycle(values)))
    record = map_record(pairs)
    for own in OWN_KEYS:
        MAP_READER(own, False)
    for _ in range(READS_TO_KEEP):
        MAP_READER(record, False)  # the keys come again and again: kept where they may be
    read = {"whole": record, "cut short": record[:-1], "overrun": record + b"\x05",
            "a key changed": map_record([(b"other", pairs[0][1]), *pairs[1:]])}[change]
    general = outcome_of(lambda r: MAP_READER(r, int(deserialize)), read)
    assert outcome_of(lambda r: MAP_READER(r, deserialize), read) == general


# Records with many non-ASCII texts are decoded ahead, a window of about 64 KiB of texts
# at a time; a text valid only together with its neighbours, a malformed text in a later
# window and texts too long to join a window must read as each text read alone does.
SPLIT = ["\xe9", "\u20ac", "\U0001f600"]
LONG_WINDOWS = [("\u4e2d\xe9x" * 400).encode() for _ in range(60)]  # about 3,000 bytes each
# Only a record with a good deal of non-ASCII text is decoded ahead: two of these at the
# end of a record of short texts make it one.
AHEAD = [LONG_WINDOWS[0], LONG_WINDOWS[0]]


def split_sequences() -> list[list[bytes]]:
    """Records in which one character is cut in two between neighbouring texts, among
    texts of its own width or of another: the joined bytes are well-formed, the texts
    are not. One record each, as one malformed text in a window may hide another."""
    records = []
    for c in SPLIT:
        for pad in (c * 20, "\xe9" * 20):
            for cut in range(1, len(c.encode())):
                halves = [pad.encode() + c.encode()[:cut], c.encode()[cut:] + pad.encode()]
                records.append([pad.encode()] * 4 + halves + [pad.encode()] * 4)
    return records


def malformed_among_widths() -> list[list[bytes]]:
    """Records of texts of all three widths, with one malformed text of each width in
    turn: the texts of the other widths are read as well-formed, the malformed one as
    alone."""
    widths = ["\xe9a" * 12, "\u20aca" * 12, "\U0001f600a" * 12]
    good = [w.encode() for w in widths] * 3
    return [good[:4] + [w.encode() + b"\xe2\x82"] + good[4:] for w in widths]


@pytest.mark.parametrize("case", ["split sequences", "malformed among widths", "malformed in a later window",
                                  "long and short"])
def test_texts_decoded_ahead(case: str) -> None:
    if case == "split sequences":
        records = [items + AHEAD for items in split_sequences()]
    elif case == "malformed among widths":
        records = [items + AHEAD for items in malformed_among_widths()]
    elif case == "malformed in a later window":
        records = [LONG_WINDOWS[:30] + [LONG_WINDOWS[0] + b"\xc3", LONG_WINDOWS[1]] + LONG_WINDOWS[30:]]
    else:
        records = [[("\u0101" * n).encode() for n in (1, 2, 1365, 1366, 2048, 5000)] + LONG_WINDOWS]
    for items in records:
        for deserialize in (True, False):
            assert_list_reader_agrees(items, deserialize)
            assert_map_reader_agrees(list(zip(items[::2], items[1::2])), deserialize)
            assert_map_reader_agrees(list(zip(items[1::2], items[::2])), deserialize)


# The tests above that reach code with a way of its own for AVX-512: the readers' count
# of characters and widths, the writers' search for surrogates and their transcoding of
# 4-byte text.
KERNEL_TESTS = ["test_texts_of_every_width", "test_malformed_sequences", "test_decode_and_safe_decode",
                "test_list_reader", "test_map_reader", "test_texts_decoded_ahead", "test_surrogate_at_every_offset",
                "test_failing_values", "test_value_groups"]


def test_with_the_portable_kernels() -> None:
    """The module takes its AVX-512 code where simdutf takes its AVX-512 kernels, else
    code for any processor. Those tests once more, in a process whose simdutf is told to
    take its scalar kernels, so both are tested on any machine that has AVX-512."""
    if platform.machine() != "x86_64":
        pytest.skip("the AVX-512 kernels are x86-64 code: elsewhere the suite runs the portable ones already")
    env = {**os.environ, "SIMDUTF_FORCE_IMPLEMENTATION": "fallback"}
    done = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", __file__,
                           "-k", " or ".join(KERNEL_TESTS)], env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    assert " passed" in done.stdout.splitlines()[-1]
    assert "simdutf kernels: fallback (" in done.stdout
