"""Hostile objects for the writers of zav.serializer, run by the libFuzzer target
fuzz/fuzz_objects.cpp (one call of `run` per input), or by hand to replay inputs:

    python3.14 fuzz/objects_driver.py [--show] FILE...

An input is a recipe, read one byte at a time: a choice among n options takes the next
byte modulo n, and past the end every byte reads as 0, the plainest option, so that
every input is a recipe and a short one a small case. The first choice is the call:
`_serialize_dict`, `_serialize_list` or `encode`; then the argument:

- dict: exact dict (or a dict subclass, or None), the number of pairs (0-8), then key
  and value for each pair;
- list: the container (list, tuple, str, bytes, a dict indexed by position, objects
  that are no sequence, and sequences of our own: a plain class or a list or tuple
  subclass, with or without their own __len__ and __getitem__), the number of items
  (0-8) and the items; for our own sequences then the plans of __len__ and __getitem__
  and the exception that ends them past their real items;
- encode: one value.

A value or key is a kind (text of 1-, 2- or 4-byte width or with lone surrogates,
bytes, int and float edges, bool, None, subclasses of str, bytes, int and float with or
without their own __str__, objects whose __str__, __hash__ and __eq__ follow plans, an
earlier object again, a tuple) and that kind's bytes. A plan is a list of what the
method does on its first, second, ... call (the last repeating): optionally a change to
the container being written (grow, shrink, clear, replace, refill, remove the object
itself, ...), then a result: text, a str subclass, a non-str, an exception, a lying
length, an equality that holds, fails or raises, a truth value that raises.

Each case is built three times from the same recipe: for the reference model below, for
the writer with the standard io (record built natively) and with a BytesIO subclass
bound as the module's io (record written through the stream). All three must agree on
the record or the exception (type and message) and on the calls made into the objects,
in order. Where a dict is changed in a way whose outcome the model leaves open, the two
writer paths must still agree, a record must be well formed, and an exception must be
one the writers document or one the objects raised. A SystemError, an exception without
the module's traceback entry, or a result returned with an exception pending (checked
by the target) is always a finding, as is Python code entered with an exception pending.
"""
from __future__ import annotations

import ctypes
import io
import math
import os
import struct
import sys
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any, NoReturn, TypeVar

import zav.serializer as serializer


def stop(message: str) -> NoReturn:
    """Ends the process at once: the module is in a state that no outcome can show, and
    may keep calling into the objects until memory runs out."""
    sys.stderr.write(f"objects_driver: {message}\n")
    sys.stderr.flush()
    os.abort()


try:
    # call(fn, arg) calls fn through its vectorcall slot and aborts when it returns a
    # result with an exception pending or fails without one; guard() aborts when Python
    # code is entered with an exception pending.
    from _objfuzz import call, guard  # type: ignore[import-not-found]
except ImportError:  # replayed under a plain interpreter, or run by the test suite

    def call(fn: Callable[[Any], Any], arg: Any) -> Any:
        return fn(arg)

    # ctypes raises the pending exception when a Python API function returns with one.
    pending = ctypes.pythonapi.PyErr_Occurred
    pending.restype = ctypes.c_void_p

    def guard() -> None:
        try:
            pending()
        except BaseException as exc:  # noqa: BLE001 - any exception is the finding
            stop(f"Python code entered with an exception pending: {exc!r}")


T = TypeVar("T")


class Finding(AssertionError):
    """The module did something that neither the model nor its documentation allows."""


# ---------------------------------------------------------------------------
# The recipe


class Recipe:
    def __init__(self, data: bytes) -> None:
        self.data, self.pos = data, 0

    def byte(self) -> int:
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def below(self, n: int) -> int:
        return self.byte() % n

    def pick(self, options: Sequence[T]) -> T:
        return options[self.below(len(options))]

    def take(self, n: int) -> bytes:
        return bytes(self.byte() for _ in range(n))


# ---------------------------------------------------------------------------
# The world of one case: the container being written, the calls into its objects


class Boom(Exception):
    pass


class Abort(BaseException):
    """Not an Exception: passes every `except Exception`."""


RAISED: tuple[type[BaseException], ...] = (
    Boom, IndexError, KeyError, TypeError, RuntimeError, MemoryError, ValueError,
    StopIteration, UnicodeError, Abort,
)
ACTIONS = ("grow", "shrink", "drop_first", "drop_self", "swap_self", "replace", "refill",
           "clear", "rotate")
# A change to the container is made this many times per case at most, which bounds the
# items that a growing container adds to a sequence that lies about its length.
CHANGES = 8
# Far more calls into the objects than any case makes with a writer that follows the
# model; more means a writer that does not stop.
MAX_CALLS = 10_000
MISSING = object()

Plan = tuple[str | None, str, Any]  # (change or None, verb, what)


class World:
    def __init__(self) -> None:
        self.armed = False  # hostile only once the argument is built
        self.log: list[tuple[Any, ...]] = []
        self.target: Any = None
        self.labels = 0
        self.changes = CHANGES
        self.raised: list[BaseException] = []
        self.objects: list[Any] = []
        self.keys: list[Any] = []

    def label(self, kind: str) -> str:
        self.labels += 1
        return f"{kind}#{self.labels}"

    def fresh(self) -> str:
        self.labels += 1
        return f"new{self.labels}"

    def note(self, *event: Any) -> None:
        self.log.append(event)
        if len(self.log) > MAX_CALLS:
            stop(f"more than {MAX_CALLS} calls into the objects, the last {event}")

    def step(self, owner: Any, method: str, plans: list[Plan], *args: Any) -> tuple[str, Any]:
        """One call of a planned method: logs it, makes its change, raises or gives the
        verb and its argument. The last plan repeats, but for __getitem__, which
        behaves plainly after its plans, so that a sequence ends past its real items.
        ("plain", None) while the argument is being built."""
        if not self.armed:
            return "plain", None
        self.note(method, owner.label, *args)
        calls = owner.calls[method] = owner.calls.get(method, 0) + 1
        if method == "getitem" and calls > len(plans):
            return "plain", None
        change, verb, what = plans[min(calls, len(plans)) - 1]
        if change is not None:
            self.change(change, owner)
        if verb == "raise":
            exc = what(f"{owner.label}.{method} call {calls}")
            self.raised.append(exc)
            raise exc
        return verb, what

    # Changes to the container, made through the built-in methods only, so that none
    # calls back into a sequence's own __len__ or __getitem__.
    def change(self, action: str, owner: Any) -> None:
        if self.changes == 0:
            self.note("no more changes")
            return
        self.changes -= 1
        self.note("change", action)
        target = self.target
        if type(target) is dict:
            change_dict(target, action, owner, self.fresh())
        elif isinstance(target, list):
            change_list(target, action, owner, self.fresh())
        elif isinstance(target, Unindexable):
            change_list(target.items, action, owner, self.fresh())


def change_dict(d: dict[Any, Any], action: str, owner: Any, fresh: str) -> None:
    if action == "grow":
        d[fresh] = "grown"
    elif not d:
        return
    elif action == "shrink":
        d.popitem()
    elif action == "drop_first":
        del d[next(iter(d))]
    elif action == "drop_self":
        d.pop(owner, None)
    elif action == "swap_self":  # the size stays: the next step finds no size change
        if d.pop(owner, MISSING) is not MISSING:
            d[fresh] = "swapped"
    elif action == "replace":
        d[next(reversed(d))] = fresh
    elif action == "refill":
        items = list(d.items())
        d.clear()
        d.update(items)
    elif action == "clear":
        d.clear()
    elif action == "rotate":
        key = next(iter(d))
        d[key] = d.pop(key)


def change_list(items: list[Any], action: str, owner: Any, fresh: str) -> None:
    size = list.__len__(items)
    if action == "grow":
        items.append(fresh)
    elif size == 0:
        return
    elif action == "shrink":
        items.pop()
    elif action == "drop_first":
        del items[0]
    elif action in ("drop_self", "swap_self"):
        for i, item in enumerate(items):
            if item is owner:
                if action == "drop_self":
                    del items[i]
                else:
                    items[i] = fresh
                break
    elif action == "replace":
        items[-1] = fresh
    elif action == "refill":
        items[:] = list.copy(items)
    elif action == "clear":
        items.clear()
    elif action == "rotate":
        items.append(items.pop(0))


# ---------------------------------------------------------------------------
# Hostile objects. Every method that the writers may reach calls guard() first.


def label_repr(self: Any) -> str:
    return str(self.label)


# Hashes never come from an object's address: where two keys land in a dict's table
# decides which comparisons a lookup makes, and every build of a case must make the same.
def label_hash(self: Any) -> int:
    guard()
    return hash(self.label)


def float_hash(self: float) -> int:
    return float.__hash__(self) if self == self else 0  # NaN's own hash is its address


def planned_str(self: Any) -> Any:
    guard()
    verb, what = self.world.step(self, "str", self.str_plans)
    return self.label if verb == "plain" else what


class Spelled:
    __str__ = planned_str
    __repr__ = label_repr
    __hash__ = label_hash


def planned_repr(self: Any) -> Any:
    guard()
    verb, what = self.world.step(self, "repr", self.str_plans)
    return self.label if verb == "plain" else what


class Reprised:
    """Its string form is its repr, which follows plans: str() of a tuple holding it
    reaches it too."""

    __repr__ = planned_repr
    __hash__ = label_hash


class SpelledStr(str):  # its stored characters are written, never its __str__
    __str__ = planned_str
    __repr__ = label_repr


class SpelledBytes(bytes):
    __str__ = planned_str
    __repr__ = label_repr


class SpelledInt(int):
    __str__ = planned_str
    __repr__ = label_repr


class SpelledFloat(float):
    __str__ = planned_str
    __repr__ = label_repr
    __hash__ = float_hash


class PlainStr(str):
    pass


class PlainBytes(bytes):
    pass


class PlainInt(int):
    pass


class PlainFloat(float):
    __hash__ = float_hash


class PlainDict(dict[Any, Any]):
    pass


def planned_hash(self: Any) -> Any:
    guard()
    if not self.world.armed:
        return self.base_hash
    verb, what = self.world.step(self, "hash", self.hash_plans)
    return self.base_hash if verb == "same" else what


def planned_eq(self: Any, other: Any) -> Any:
    guard()
    if not self.world.armed:
        return other is self or (self.equal_text and type(other) is str and other == self.text)
    verb, what = self.world.step(self, "eq", self.eq_plans, describe(other))
    if verb == "text":
        return self.equal_text and type(other) is str and other == self.text
    return what


class Key:
    """A key whose hash and equality follow plans; its hash may be that of a text key."""

    __str__ = planned_str
    __repr__ = label_repr
    __hash__ = planned_hash
    __eq__ = planned_eq


class StrKey(str):
    __str__ = planned_str
    __repr__ = label_repr
    __hash__ = planned_hash
    __eq__ = planned_eq


class Truth:
    """An equality result whose truth follows a plan."""

    world: World
    bool_plans: list[Plan]

    def __bool__(self) -> bool:
        guard()
        verb, what = self.world.step(self, "bool", self.bool_plans)
        return verb == "plain" or bool(what)

    __repr__ = label_repr
    __hash__ = label_hash


class Index:
    """A length given through __index__."""

    world: World
    index_plans: list[Plan]

    def __index__(self) -> int:
        guard()
        verb, what = self.world.step(self, "index", self.index_plans)
        return 0 if verb == "plain" else what

    __repr__ = label_repr
    __hash__ = label_hash


def describe(obj: Any) -> str:
    """A deterministic name for an object the writers compare with."""
    label = getattr(obj, "__dict__", {}).get("label")
    if label is not None:
        return str(label)
    if type(obj) in (str, bytes, int, bool, type(None)):
        return repr(obj)[:40]
    return type(obj).__name__


# Sequences of our own. real_len and real_item read their real contents without calling
# their own methods; past the real items, __getitem__ raises the planned exception.


def planned_len(self: Any) -> Any:
    guard()
    verb, what = self.world.step(self, "len", self.len_plans)
    if verb == "plain":
        return self.real_len()
    if verb == "real":
        return self.real_len() + what
    return what


def planned_getitem(self: Any, i: Any) -> Any:
    guard()
    verb, what = self.world.step(self, "getitem", self.item_plans, describe(i))
    if verb == "give":
        return what
    if type(i) is int and 0 <= i < self.real_len():
        return self.real_item(i)
    exc = self.end_error(f"{self.label} has no item {describe(i)}")
    self.world.raised.append(exc)
    raise exc


class Unindexable:
    """A length and no indexing; its items in a list that changes may reach."""

    items: list[Any]

    __len__ = planned_len
    __repr__ = label_repr
    __hash__ = label_hash

    def real_len(self) -> int:
        return len(self.items)

    def real_item(self, i: int) -> Any:
        return self.items[i]


class Paging(Unindexable):
    """A sequence of its own."""

    __getitem__ = planned_getitem


class ListBased(list[Any]):
    def real_len(self) -> int:
        return list.__len__(self)

    def real_item(self, i: int) -> Any:
        return list.__getitem__(self, i)

    __repr__ = label_repr


class TupleBased(tuple[Any, ...]):
    def real_len(self) -> int:
        return tuple.__len__(self)

    def real_item(self, i: int) -> Any:
        return tuple.__getitem__(self, i)

    __repr__ = label_repr


def sequence_class(base: type, own_len: bool, own_getitem: bool) -> type:
    methods: dict[str, Any] = {}
    if own_len:
        methods["__len__"] = planned_len
    if own_getitem:
        methods["__getitem__"] = planned_getitem
    return type(f"{base.__name__}{'Len' * own_len}{'Item' * own_getitem}", (base,), methods)


SEQUENCE_CLASSES = {
    (base, own_len, own_getitem): sequence_class(base, own_len, own_getitem)
    for base in (ListBased, TupleBased) for own_len in (False, True) for own_getitem in (False, True)
}


def dress(obj: T, world: World, kind: str, **attributes: Any) -> T:
    obj.__dict__.update(world=world, label=world.label(kind), calls={}, **attributes)
    return obj


# ---------------------------------------------------------------------------
# Building a case from the recipe

POOLS = {
    "ascii": "abk 09\x00\x7f~",
    "latin1": "é\x80\xff",
    "ucs2": "Ā€中\ufffd\uffff",
    "ucs4": "😀\U00010000\U0010ffff",
    "surrogate": "\ud800\udbff\udc00\udfff",
}
WIDTHS = tuple(POOLS)
LENGTHS = (1, 0, 2, 3, 4, 5, 8, 127, 128, 200, 16383, 16384)
KNOWN_TEXTS = ("k", "a", "", "é", "\ud800", "k2")
HUGE_INT = 10**5000  # more digits than str() gives: ValueError
INTS = (0, 1, -1, 7, 127, 128, 2**31 - 1, 2**31, 2**32, 2**53 + 1, 2**63 - 1, 2**63, -(2**63),
        -(2**63) - 1, 2**64 - 1, 2**64, 10**30, -(10**40), 2**300, HUGE_INT)
FLOATS = (0.0, -0.0, 1.5, math.nan, -math.nan, math.inf, -math.inf, 5e-324, 2.225073858507201e-308,
          2.2250738585072014e-308, 1.7976931348623157e308, 0.1, 1e16, 1e22)
LYING_LENGTHS: tuple[Any, ...] = (2**31, 2**32, 2**62, sys.maxsize, 2**63, 2**64, -1, -(2**63) - 1,
                                  0, 1, True, 1.5, "3", None)
ODD_RESULTS: tuple[Any, ...] = (b"bytes", 7, None, 1.5, ["list"], ("t",))


def make_text(r: Recipe, width: str | None = None) -> str:
    pool = POOLS["ascii"] + POOLS[width or r.pick(WIDTHS)]
    n = r.pick(LENGTHS)
    pattern = "".join(r.pick(pool) for _ in range(min(n, 6)))
    return (pattern * (n // max(len(pattern), 1) + 1))[:n]


def make_int(r: Recipe) -> int:
    i = r.below(len(INTS) + 1)
    if i < len(INTS):
        return INTS[i]
    return int.from_bytes(r.take(r.below(12)), "little", signed=True)


def make_float(r: Recipe) -> float:
    i = r.below(len(FLOATS) + 1)
    if i < len(FLOATS):
        return FLOATS[i]
    value = float(struct.unpack("<d", r.take(8))[0])
    return value if value == value else math.nan  # one NaN object, whose hash is fixed


def read_plans(r: Recipe, read_outcome: Callable[[], tuple[str, Any]]) -> list[Plan]:
    plans: list[Plan] = []
    for _ in range(1 + r.below(2)):
        change = r.pick((None,) * len(ACTIONS) + ACTIONS)
        verb, what = read_outcome()
        plans.append((change, verb, what))
    return plans


def str_outcome(r: Recipe, w: World) -> tuple[str, Any]:
    verb = r.pick(("text", "text", "str_subclass", "non_str", "raise"))
    if verb == "raise":
        return "raise", r.pick(RAISED)
    if verb == "non_str":
        return "give", r.pick(ODD_RESULTS)
    text = make_text(r)
    if verb == "str_subclass":
        # Taken as it is: its own __str__ would raise, and show in the log.
        return "give", dress(SpelledStr(text), w, "result", str_plans=[(None, "raise", Boom)])
    return "give", text


def make_truth(r: Recipe, w: World) -> Truth:
    def outcome() -> tuple[str, Any]:
        return r.pick((("give", True), ("give", False), ("raise", r.pick(RAISED))))

    return dress(Truth(), w, "truth", bool_plans=read_plans(r, outcome))


def eq_outcome(r: Recipe, w: World) -> tuple[str, Any]:
    verb = r.pick(("text", "text", "always", "never", "raise", "odd", "not_implemented"))
    if verb == "raise":
        return "raise", r.pick(RAISED)
    if verb == "odd":
        return "give", make_truth(r, w)
    return verb, {"text": None, "always": True, "never": False, "not_implemented": NotImplemented}[verb]


def hash_outcome(r: Recipe) -> tuple[str, Any]:
    verb = r.pick(("same", "same", "same", "raise", "moved", "odd"))
    if verb == "raise":
        return "raise", r.pick(RAISED)
    if verb == "moved":
        return "give", r.pick((1, -1, 2**100, 12345))
    if verb == "odd":
        return "give", r.pick((1.5, "h", None))
    return "same", None


def spelled(r: Recipe, w: World, make: Callable[[], T]) -> T:
    obj = make()
    return dress(obj, w, type(obj).__name__, str_plans=read_plans(r, lambda: str_outcome(r, w)))


def make_key_object(r: Recipe, w: World) -> Any:
    text = r.pick(KNOWN_TEXTS)
    # The hash of a text key, the same for all such keys, or one of its own.
    base_hash = r.pick((hash(text), 7, hash(text) ^ 1))
    obj = StrKey(text) if r.below(2) else Key()
    return dress(obj, w, "key", text=text, base_hash=base_hash, equal_text=bool(r.below(2)),
                 str_plans=read_plans(r, lambda: str_outcome(r, w)),
                 hash_plans=read_plans(r, lambda: hash_outcome(r)),
                 eq_plans=read_plans(r, lambda: eq_outcome(r, w)))


def make_value(r: Recipe, w: World, depth: int = 0) -> Any:
    kind = r.below(18)
    if kind == 0:
        obj: Any = make_text(r, "ascii")
    elif kind == 1:
        obj = make_text(r)
    elif kind == 2:
        obj = make_text(r).encode("utf-8", "surrogatepass")
    elif kind == 3:
        obj = make_int(r)
    elif kind == 4:
        obj = make_float(r)
    elif kind == 5:
        obj = r.pick((True, False, None))
    elif kind == 6:
        text = make_text(r)
        obj = r.pick((PlainStr(text), PlainBytes(text.encode("utf-8", "surrogatepass"))))
    elif kind == 7:
        obj = r.pick((PlainInt(make_int(r)), PlainFloat(make_float(r))))
    elif kind == 8:
        obj = spelled(r, w, Spelled)
    elif kind == 9:
        obj = spelled(r, w, lambda: SpelledStr(make_text(r)))
    elif kind == 10:
        obj = spelled(r, w, lambda: SpelledBytes(make_text(r, "latin1").encode()))
    elif kind == 11:
        obj = spelled(r, w, lambda: SpelledInt(make_int(r)))
    elif kind == 12:
        obj = spelled(r, w, lambda: SpelledFloat(make_float(r)))
    elif kind == 13:
        obj = make_key_object(r, w)
    elif kind == 14 and depth == 0:
        obj = tuple(make_value(r, w, 1) for _ in range(r.below(4)))
    elif kind == 14:
        obj = spelled(r, w, Reprised)
    elif kind == 15 and w.objects:
        obj = r.pick(w.objects)
    elif kind == 16:
        obj = r.pick(KNOWN_TEXTS)
    else:
        obj = make_sequence(r, w, "paging") if depth == 0 else None
    w.objects.append(obj)
    return obj


def make_key(r: Recipe, w: World) -> Any:
    # Mostly text keys and keys that may collide with them.
    kind = r.below(13)
    if kind in (0, 9, 10):
        key: Any = r.pick(KNOWN_TEXTS)
    elif kind == 1:
        key = make_text(r)
    elif kind in (2, 11, 12):
        key = make_key_object(r, w)
    elif kind == 3 and w.keys:
        key = r.pick(w.keys)
    elif kind == 4:
        key = r.pick((None, True, math.nan, 0, 1.0))
    elif kind == 5:
        key = spelled(r, w, Spelled)
    elif kind == 6:
        key = spelled(r, w, lambda: SpelledStr(r.pick(KNOWN_TEXTS)))
    elif kind == 7:
        key = (r.pick(KNOWN_TEXTS), spelled(r, w, Reprised) if r.below(2) else make_int(r))
    else:
        value = make_value(r, w)
        key = value if is_hashable(value) else make_text(r)
    w.keys.append(key)
    return key


def is_hashable(obj: Any) -> bool:
    # A tuple may hold what has no hash.
    return type(obj) is not tuple and getattr(type(obj), "__hash__", None) is not None


def length_outcome(r: Recipe, w: World) -> tuple[str, Any]:
    verb = r.pick(("real", "real", "lie", "lie", "index", "raise"))
    if verb == "real":
        return "real", r.pick((0, 0, 1, -1))
    if verb == "raise":
        return "raise", r.pick(RAISED)
    value = r.pick(LYING_LENGTHS)
    if verb == "index":
        plans = read_plans(r, lambda: r.pick((("give", 2), ("give", value), ("raise", r.pick(RAISED)))))
        value = dress(Index(), w, "index", index_plans=plans)
    return "give", value


def item_outcome(r: Recipe, w: World) -> tuple[str, Any]:
    verb = r.pick(("item", "item", "give", "raise"))
    if verb == "raise":
        return "raise", r.pick(RAISED)
    if verb == "give":
        return "give", make_value(r, w, 1)
    return "item", None


def make_sequence(r: Recipe, w: World, shape: str) -> Any:
    items = [make_value(r, w, 1) for _ in range(r.below(9))]
    len_plans = read_plans(r, lambda: length_outcome(r, w))
    item_plans = read_plans(r, lambda: item_outcome(r, w))
    end_error = r.pick((IndexError, IndexError, Boom, StopIteration, KeyError, Abort))
    if shape in ("paging", "unindexable"):
        seq: Any = Paging() if shape == "paging" else Unindexable()
        seq.items = items
    else:
        base = ListBased if shape.startswith("list") else TupleBased
        seq = SEQUENCE_CLASSES[base, r.below(2) == 1, r.below(2) == 1](items)
    return dress(seq, w, shape, len_plans=len_plans, item_plans=item_plans, end_error=end_error)


def make_dict(r: Recipe, w: World) -> Any:
    shape = r.pick(("dict",) * 14 + ("subclass", "none"))
    d: dict[Any, Any] = {}
    for _ in range(r.below(9)):
        key = make_key(r, w)
        d[key] = make_value(r, w)
    return {"dict": d, "subclass": PlainDict(d), "none": None}[shape]


LIST_SHAPES = ("list",) * 4 + ("paging",) * 4 + ("list_subclass",) * 3 + ("tuple_subclass",) * 2 + (
    "tuple", "unindexable", "text", "bytes", "dict", "number", "set", "none")


def make_list(r: Recipe, w: World) -> Any:
    shape = r.pick(LIST_SHAPES)
    if shape in ("paging", "unindexable", "list_subclass", "tuple_subclass"):
        return make_sequence(r, w, shape)
    if shape == "text":
        return make_text(r)
    if shape == "bytes":
        return make_text(r, "latin1").encode()
    if shape in ("number", "set", "none"):
        return {"number": 5, "set": {1, 2}, "none": None}[shape]
    items = [make_value(r, w) for _ in range(r.below(9))]
    if shape == "dict":
        return dict(enumerate(items))
    return items if shape == "list" else tuple(items)


CALLS = ("_serialize_dict", "_serialize_list", "encode")


@dataclass
class Case:
    name: str
    world: World
    arg: Any


def build(data: bytes) -> Case:
    r = Recipe(data)
    w = World()
    name = r.pick(CALLS)
    make = {"_serialize_dict": make_dict, "_serialize_list": make_list, "encode": make_value}[name]
    arg = make(r, w)
    w.target = arg
    w.objects.clear()
    w.keys.clear()
    w.armed = True
    return Case(name, w, arg)


# ---------------------------------------------------------------------------
# The reference model: what the README documents for each function


class Unmodelled(Exception):
    """The dict changed while written in a way that the model leaves open."""


def varnum(n: int) -> bytes:
    groups = [n & 0x7F]
    n >>= 7
    while n:
        groups.append(0x80 | (n & 0x7F))
        n >>= 7
    return bytes(reversed(groups))


def model_encode(obj: Any) -> Any:
    """UTF-8 of text (a str subclass's stored characters), bytes and None as they are,
    else the UTF-8 of str(obj)."""
    if isinstance(obj, str):
        return str.encode(obj, "utf-8")
    if isinstance(obj, bytes) or obj is None:
        return obj
    return str.encode(str(obj), "utf-8")


def payload(encoded: Any) -> bytes:
    if encoded is None:
        raise TypeError("expected bytes, NoneType found")
    return bytes(encoded)


def model_dict(d: Any) -> bytes:
    """Pairs in the dict's order; each key encoded before its value is looked up again."""
    if d is None:
        raise TypeError("'NoneType' object is not iterable")
    if type(d) is not dict:
        raise TypeError(f"Argument 'd' has incorrect type (expected dict, got {type(d).__name__})")
    record = bytearray()
    keys = iter(d)
    while True:
        try:
            key = next(keys)
        except StopIteration:
            return bytes(record)
        except RuntimeError as exc:
            # The dict kept its size but holds more entries past the position than it had
            # in all: Python's iteration stops here, the writer's carries on.
            if str(exc) == "dictionary keys changed during iteration":
                raise Unmodelled from exc
            raise
        k = model_encode(key)
        v = model_encode(d[key])
        k, v = payload(k), payload(v)
        record += varnum(len(k)) + varnum(len(v)) + k + v


def model_list(seq: Any) -> bytes:
    """Items seq[i] for i in range(len(seq)), the length taken once."""
    record = bytearray()
    for i in range(len(seq)):
        item = payload(model_encode(seq[i]))
        record += varnum(len(item)) + item
    return bytes(record)


MODELS: dict[str, Callable[[Any], Any]] = {
    "_serialize_dict": model_dict, "_serialize_list": model_list, "encode": model_encode,
}
# What a writer may raise where the model leaves the outcome open, besides what the
# objects themselves raised.
DOCUMENTED: dict[str, tuple[type[BaseException], ...]] = {
    "_serialize_dict": (TypeError, RuntimeError, KeyError, UnicodeEncodeError, ValueError),
}


# ---------------------------------------------------------------------------
# Running and judging


@dataclass
class Outcome:
    result: Any = None
    error: BaseException | None = None
    log: list[tuple[Any, ...]] = field(default_factory=list)
    open: bool = False  # the model leaves it open

    def seen(self) -> tuple[Any, ...]:
        """What a caller can tell apart: the record or value, or the exception, and the
        calls into the objects."""
        if self.error is not None:
            error = self.error
            return ("raised", type(error).__name__, str(error), repr(error.args), self.log)
        return ("gave", type(self.result).__name__, self.result, self.log)


def outcome_of(fn: Callable[[Any], Any], case: Case) -> Outcome:
    try:
        result = fn(case.arg)
    except Unmodelled:
        return Outcome(open=True, log=case.world.log)
    except BaseException as exc:  # noqa: BLE001 - every exception is an outcome
        return Outcome(error=exc, log=case.world.log)
    finally:
        case.world.armed = False  # the objects are plain again when the outcome is shown
    return Outcome(result=result, log=case.world.log)


class StreamIO:
    """Stands in for the io module: BytesIO is a subclass, so the writers go through the
    stream's write and getvalue."""

    class BytesIO(io.BytesIO):
        pass


def on_stream_path(fn: Callable[[Any], Any]) -> Callable[[Any], Any]:
    def run(arg: Any) -> Any:
        namespace = vars(serializer)
        saved = namespace["io"]
        namespace["io"] = StreamIO
        try:
            return fn(arg)
        finally:
            namespace["io"] = saved

    return run


def module_outcomes(data: bytes, name: str) -> dict[str, tuple[Case, Outcome]]:
    fn = getattr(serializer, name)

    def direct(arg: Any) -> Any:
        return call(fn, arg)

    paths: dict[str, Callable[[Any], Any]] = {"native": direct}
    if name != "encode":
        paths["stream"] = on_stream_path(direct)
    outcomes = {}
    for path, run_path in paths.items():
        case = build(data)
        outcomes[path] = (case, outcome_of(run_path, case))
    return outcomes


def module_entries(exc: BaseException) -> list[str]:
    names = []
    tb = exc.__traceback__
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    return [name for name in names if name.startswith("zav.serializer.")]


def well_formed_map(record: bytes) -> bool:
    pos = 0
    while pos < len(record):
        lengths = []
        for _ in range(2):
            n = 0
            while pos < len(record) and record[pos] & 0x80:
                n = n << 7 | record[pos] & 0x7F
                pos += 1
            if pos == len(record):
                return False
            lengths.append(n << 7 | record[pos])
            pos += 1
        pos += sum(lengths)
    return pos == len(record)


def judge(data: bytes) -> list[str]:
    """The faults of the module on this input, as lines of a report; none when it is right."""
    model_case = build(data)
    name = model_case.name
    want = outcome_of(MODELS[name], model_case)
    got = module_outcomes(data, name)
    faults = []
    for path, (case, outcome) in got.items():
        exc = outcome.error
        if isinstance(exc, SystemError):
            faults.append(f"{path}: SystemError {exc}")
        # Every failure past the binding of the arguments names the function.
        refused = isinstance(exc, TypeError) and str(exc).startswith("Argument 'd' has incorrect type")
        if exc is not None and not refused and f"zav.serializer.{name}" not in module_entries(exc):
            faults.append(f"{path}: no traceback entry of the module: {module_entries(exc)}")
        if name == "encode" and isinstance(case.arg, bytes) and outcome.result is not case.arg:
            faults.append(f"{path}: bytes not given back as they are")
        if want.open:
            faults += open_faults(path, case, outcome)
        elif outcome.seen() != want.seen():
            faults.append(f"{path}: {show(outcome.seen())}\n  model: {show(want.seen())}")
    seen = {path: outcome.seen() for path, (case, outcome) in got.items()}
    if len(set(map(repr, seen.values()))) > 1:
        faults += [f"paths differ: {path}: {show(s)}" for path, s in seen.items()]
    for case, outcome in [(model_case, want), *got.values()]:
        dismantle(case, outcome)
    return faults


def dismantle(case: Case, outcome: Outcome) -> None:
    """Breaks the reference cycles of a case (objects and their world, exceptions and the
    frames that raised them), so that everything is freed when the input is done: the
    fuzzer's leak check runs after any input that leaves memory behind."""
    for exc in [outcome.error, *case.world.raised]:
        while exc is not None:
            exc.__traceback__ = None
            exc = exc.__context__
    vars(case.world).clear()


def open_faults(path: str, case: Case, outcome: Outcome) -> list[str]:
    exc = outcome.error
    if exc is None:
        return [] if well_formed_map(outcome.result) else [f"{path}: malformed record {outcome.result!r}"]
    if isinstance(exc, DOCUMENTED[case.name]) or any(exc is raised for raised in case.world.raised):
        return []
    return [f"{path}: undocumented {type(exc).__name__}: {exc}"]


def show(seen: tuple[Any, ...], limit: int = 600) -> str:
    text = repr(seen)
    return text if len(text) <= limit else text[:limit] + "..."


def call_text(data: bytes) -> str:
    """The call that the recipe makes, its objects shown plainly."""
    case = build(data)
    case.world.armed = False
    text = f"{case.name}({show((case.arg,))[1:-2]})"
    dismantle(case, Outcome())
    return text


def run(data: bytes) -> None:
    """Called by the fuzz target for each input; raises Finding with a report."""
    faults = judge(data)
    if faults:
        raise Finding(call_text(data) + "\n" + "\n".join(faults))


def main(argv: list[str]) -> int:
    show_all = "--show" in argv
    status = 0
    for path in (a for a in argv if a != "--show"):
        with open(path, "rb") as f:
            data = f.read()
        print(f"{path}: {call_text(data)}")
        if show_all:
            case = build(data)
            want = outcome_of(MODELS[case.name], case)
            print(f"  model: {'open' if want.open else show(want.seen())}")
            for p, (_, outcome) in module_outcomes(data, case.name).items():
                print(f"  {p}: {show(outcome.seen())}")
        faults = judge(data)
        for fault in faults:
            print(f"  FAULT {fault}")
        status |= bool(faults)
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
