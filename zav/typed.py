"""Typed records: a schema of Python types writes objects as plain records and reads
them back as the objects they were.

    schema = Schema(Package, rename={"installed_size": "Installed-Size"})
    record = schema.dump(package)          # bytes: a map record
    package == schema.load(record)         # True
    schema.write_stream(file, packages)    # -> bytes written
    for package in schema.read_stream(file): ...

Every value is written as the plain writers write it (the UTF-8 of str(value)), so a
record of scalar fields is byte for byte what `_serialize_dict` writes; reading it back
parses each field's text as its type does: int(text), float(text), Decimal(text),
UUID(text), T.fromisoformat(text). A Schema is compiled once into a plan of codecs, one
per field; the native module zav._typed runs the plan of a record class.
"""

from __future__ import annotations

import dataclasses
import datetime
import decimal
import enum
import functools
import sys
import types
import typing
import uuid
from collections.abc import Callable, Iterable, Iterator, Mapping
from typing import Any, Generic, NotRequired, Required, TypeVar, Union

from zav import stream
from zav.serializer import _deserialize_dict, _deserialize_list, _serialize_dict, _serialize_list

try:
    from zav import _typed
except ImportError:  # a build without the native part: the plans run in Python
    _typed = None  # type: ignore[assignment]

__all__ = ["Schema"]

T = TypeVar("T")

# How the native reader parses a field's text; Codec.load is the model of each.
KIND_STR, KIND_BYTES, KIND_INT, KIND_FLOAT, KIND_BOOL, KIND_OTHER, KIND_ENUM, KIND_TEXT = range(8)
# What a field absent from a record becomes.
ABSENT_REQUIRED, ABSENT_NONE, ABSENT_DEFAULT, ABSENT_FACTORY, ABSENT_LEFT_OUT = range(5)
# How an object is made from its fields' values.
MAKE_DICT_CLASS, MAKE_SLOTS_CLASS, MAKE_TUPLE_CLASS, MAKE_TYPEDDICT = range(4)

Written = str | bytes | int | float  # what the plain writers take for a value


# ---------------------------------------------------------------------------
# Codecs: one type's text


class Codec:
    """Writes values of one type as what the plain writers take, and reads their text."""

    kind = KIND_OTHER
    name = "?"

    def dump(self, value: Any) -> Written:
        raise NotImplementedError

    def load(self, raw: bytes) -> Any:
        raise NotImplementedError

    def refuse(self, value: object) -> TypeError:
        return TypeError(f"expected {self.name}, got {type(value).__name__}")

    @property
    def native_parse(self) -> Any:
        """What the native reader takes to parse a text of this kind."""
        return self.load


class StrCodec(Codec):
    kind, name = KIND_STR, "str"

    def dump(self, value: Any) -> Written:
        if type(value) is not str:
            raise self.refuse(value)
        return value

    def load(self, raw: bytes) -> Any:
        return raw.decode("utf-8")


class BytesCodec(Codec):
    kind, name = KIND_BYTES, "bytes"

    def dump(self, value: Any) -> Written:
        if type(value) is not bytes:
            raise self.refuse(value)
        return value

    def load(self, raw: bytes) -> Any:
        return raw


class IntCodec(Codec):
    kind, name = KIND_INT, "int"

    def dump(self, value: Any) -> Written:
        if type(value) is not int:  # a bool reads back as an int
            raise self.refuse(value)
        return value

    def load(self, raw: bytes) -> Any:
        return int(raw.decode("utf-8"))


class FloatCodec(Codec):
    kind, name = KIND_FLOAT, "float"

    def dump(self, value: Any) -> Written:
        if type(value) is float:
            return value
        if type(value) is int:  # taken as the float it reads back as
            return float(value)
        raise self.refuse(value)

    def load(self, raw: bytes) -> Any:
        return float(raw.decode("utf-8"))


class BoolCodec(Codec):
    kind, name = KIND_BOOL, "bool"

    def dump(self, value: Any) -> Written:
        if type(value) is not bool:
            raise self.refuse(value)
        return "True" if value else "False"

    def load(self, raw: bytes) -> Any:
        if raw == b"True":
            return True
        if raw == b"False":
            return False
        raise ValueError(f"invalid literal for bool: {raw.decode('utf-8')!r}; a bool is True or False")


class TextCodec(Codec):
    """A type that reads its own str() back: Decimal, UUID and the datetime types."""

    kind = KIND_TEXT

    def __init__(self, tp: type, parse: Callable[[str], Any], native_parse: Callable[[str], Any] | None = None) -> None:
        self.tp: Any = tp
        self.parse, self.name = parse, tp.__name__
        # The native reader calls the type's own parser with the text as a str, and this
        # codec's load where that fails, for the model's error; the native writer writes
        # a naive datetime, date or time and a UUID itself, and calls str() of a Decimal.
        form = {datetime.datetime: 1, datetime.date: 2, datetime.time: 3, uuid.UUID: 4}.get(tp, 0)  # which the writer formats
        made = ("int", "is_safe", uuid.SafeUUID.unknown) if tp is uuid.UUID else None  # as UUID._from_int
        self._native_parse = (tp, native_parse or parse, self.load, form, made)

    @property
    def native_parse(self) -> Any:
        return self._native_parse

    def dump(self, value: Any) -> Written:
        if type(value) is not self.tp:  # a datetime is a date, but reads back as none
            raise self.refuse(value)
        return str(value)

    def load(self, raw: bytes) -> Any:
        return self.parse(raw.decode("utf-8"))


def parse_decimal(text: str) -> decimal.Decimal:
    try:
        return decimal.Decimal(text)
    except decimal.InvalidOperation:
        # Its ArithmeticError says only which signal it was.
        raise ValueError(f"invalid literal for Decimal: {text!r}") from None


class EnumCodec(Codec):
    kind = KIND_ENUM

    def __init__(self, tp: type[enum.Enum], where: str) -> None:
        kinds = {type(member.value) for member in tp}
        if kinds not in ({int}, {str}):
            raise TypeError(f"{where}: the values of enum {tp.__name__} must be all int or all str")
        self.tp: Any = tp
        self.name = tp.__name__
        self.of_ints = kinds == {int}
        # The member each value's text names, found without calling the class: what
        # tp(value) gives for the text of a member's value. Other texts ("01", a flag's
        # combination, one its _missing_ takes) go through tp itself.
        self.members: dict[bytes, Any] = {}
        for member in tp:
            try:
                self.members[str(member.value).encode()] = member
            except UnicodeEncodeError:  # a surrogate: the plain writers refuse it
                pass

    @property
    def native_parse(self) -> Any:
        return tuple(self.members), tuple(self.members.values()), self.load

    def values_of(self, members: Iterable[Any]) -> list[Written]:
        """The values of members of the class (their types checked), which the plain
        writers write as the texts that dump gives."""
        return [member._value_ for member in members]

    def dump(self, value: Any) -> Written:
        if type(value) is not self.tp:
            raise self.refuse(value)
        member_value: Written = value.value
        return member_value

    def load(self, raw: bytes) -> Any:
        member = self.members.get(raw, _ABSENT)
        if member is not _ABSENT:
            return member
        text = raw.decode("utf-8")
        return self.tp(int(text) if self.of_ints else text)


class ListCodec(Codec):
    """list, tuple, set or frozenset of one item type: a list record."""

    def __init__(self, tp: type, item: Codec) -> None:
        self.tp: Any = tp
        self.item, self.name = item, f"{tp.__name__}[{item.name}]"
        if _typed is not None:
            # Natively: a list of one plain type goes to the plain writer as it is; the
            # items of a record are parsed without a Python call each.
            plain = PLAIN_ITEMS.get(item.kind)
            if plain is not None:
                self.dump = functools.partial(  # type: ignore[method-assign]
                    _typed.dump_items, tp, plain, _serialize_list, self.dump_model)
            elif isinstance(item, EnumCodec):
                self.dump = functools.partial(  # type: ignore[method-assign]
                    _typed.dump_items, tp, item.tp, lambda members: _serialize_list(item.values_of(members)),
                    self.dump_model)
            else:
                self.dump = functools.partial(  # type: ignore[method-assign]
                    _typed.dump_each, tp, item.dump, _serialize_list, self.dump_model)
            self.load = functools.partial(  # type: ignore[method-assign]
                _typed.load_items, tp, item.kind, item.native_parse, self.load_model)

    def dump(self, value: Any) -> Written:
        return self.dump_model(value)

    def dump_model(self, value: Any) -> bytes:
        """The record of a value, as the native writer writes it."""
        if type(value) is not self.tp:
            raise self.refuse(value)
        plain = PLAIN_ITEMS.get(self.item.kind)
        if plain is not None and type(value) in (list, tuple) and all(type(item) is plain for item in value):
            return _serialize_list(value)  # every item written as it is
        dump = self.item.dump
        items = []
        for index, item in enumerate(value):
            try:
                items.append(dump(item))
            except Exception as error:
                _note(error, f"in item {index}")
                raise
        return _serialize_list(items)

    def load(self, raw: bytes) -> Any:
        items = self.load_model(raw)
        return items if self.tp is list else self.tp(items)

    def load_model(self, raw: bytes) -> list[Any]:
        """The items of a list record, as the native reader reads them."""
        load = self.item.load
        items = _deserialize_list(raw, False)
        if self.item.kind == KIND_BYTES:
            return items
        for index, item in enumerate(items):
            try:
                items[index] = load(item)
            except Exception as error:
                _note(error, f"in item {index}")
                raise
        return items


# The kinds whose values the plain writers write as they are.
PLAIN_ITEMS: dict[int, type] = {KIND_STR: str, KIND_BYTES: bytes, KIND_INT: int, KIND_FLOAT: float, KIND_BOOL: bool}


class DictCodec(Codec):
    """dict[str, T]: a map record."""

    def __init__(self, value: Codec) -> None:
        self.value, self.name = value, f"dict[str, {value.name}]"
        if _typed is not None:
            # Natively: a dict of str keys and values of one plain type goes to the plain
            # writer as it is; the values of a record are parsed without a Python call each.
            plain = PLAIN_ITEMS.get(value.kind)
            if plain is not None:
                self.dump = functools.partial(  # type: ignore[method-assign]
                    _typed.dump_pairs, plain, _serialize_dict, self.dump_model)
            elif isinstance(value, EnumCodec):
                self.dump = functools.partial(  # type: ignore[method-assign]
                    _typed.dump_pairs, value.tp,
                    lambda pairs: _serialize_dict(dict(zip(pairs, value.values_of(pairs.values())))),
                    self.dump_model)
            if value.kind != KIND_OTHER:
                self.load = functools.partial(  # type: ignore[method-assign]
                    _typed.load_pairs, value.kind, value.native_parse, self.load_model)

    def dump(self, value: Any) -> Written:
        return self.dump_model(value)

    def dump_model(self, value: Any) -> bytes:
        """The record of a value, as the native writer writes it."""
        if type(value) is not dict:
            raise self.refuse(value)
        dump = self.value.dump
        pairs = {}
        for key, item in value.items():
            if type(key) is not str:
                raise TypeError(f"a key of a {self.name} must be str, not {type(key).__name__}")
            try:
                pairs[key] = dump(item)
            except Exception as error:
                _note(error, f"in the value of key {key!r}")
                raise
        return _serialize_dict(pairs)

    def load(self, raw: bytes) -> Any:
        return self.load_model(raw)

    def load_model(self, raw: bytes) -> dict[str, Any]:
        """The pairs of a map record, as the native reader reads them."""
        load = self.value.load
        pairs = _deserialize_dict(raw, False)
        for key, item in pairs.items():
            try:
                pairs[key] = load(item)
            except Exception as error:
                _note(error, f"in the value of key {key!r}")
                raise
        return pairs


# ---------------------------------------------------------------------------
# Record classes: dataclasses, NamedTuples and TypedDicts as map records


@dataclasses.dataclass(frozen=True, slots=True)
class Field:
    name: str  # the attribute or dict key
    key: str  # the record's key for it
    codec: Codec
    absent: int  # ABSENT_*
    optional: bool  # None is written as the key's absence
    default: Any = None  # the default, or the default factory


class RecordModel:
    """How a class's fields lie in a map record; its load is the plan run in Python,
    the model of the native reader, which hands it any record out of the ordinary."""

    def __init__(self, tp: type, fields: list[Field], make: int, forbid_unknown: bool) -> None:
        self.tp: Any = tp
        self.fields, self.make, self.name = tuple(fields), make, tp.__name__
        self.forbid_unknown = forbid_unknown
        self.index = {field.key: position for position, field in enumerate(fields)}
        post_init = getattr(tp, "__post_init__", None) if make in (MAKE_DICT_CLASS, MAKE_SLOTS_CLASS) else None
        self.post_init: Callable[[Any], None] | None = post_init

    def load(self, raw: bytes) -> Any:
        pairs = _deserialize_dict(raw, False)
        if self.forbid_unknown:
            for key in pairs:
                if key not in self.index:
                    raise ValueError(f"{self.name} has no field for the record's key {key!r}")
        values: list[Any] = []
        for field in self.fields:
            item = pairs.get(field.key, _ABSENT)
            if item is not _ABSENT:
                try:
                    item = field.codec.load(item)
                except Exception as error:
                    _note(error, f"in field {field.name!r} of {self.name}")
                    raise
            elif field.absent == ABSENT_REQUIRED:
                raise ValueError(f"the record lacks the required field {field.name!r} of {self.name}")
            elif field.absent == ABSENT_DEFAULT:
                item = field.default
            elif field.absent == ABSENT_FACTORY:
                item = field.default()
            elif field.absent == ABSENT_NONE:
                item = None
            values.append(item)
        return self._made(values)

    def _made(self, values: list[Any]) -> Any:
        if self.make == MAKE_TYPEDDICT:
            return {field.name: item for field, item in zip(self.fields, values, strict=True) if item is not _ABSENT}
        if self.make == MAKE_TUPLE_CLASS:
            return tuple.__new__(self.tp, values)
        obj = object.__new__(self.tp)
        for field, item in zip(self.fields, values, strict=True):
            object.__setattr__(obj, field.name, item)  # past a frozen class's __setattr__
        if self.post_init is not None:
            self.post_init(obj)
        return obj


class RecordCodec(Codec):
    """A class whose fields are a map record's pairs."""

    def __init__(self, model: RecordModel) -> None:
        self.tp: Any = model.tp
        self.model, self.fields, self.name = model, model.fields, model.name
        self.names = frozenset(field.name for field in model.fields)
        self.plan = None if _typed is None else self._plan(model, self._check_keys)
        if self.plan is not None:
            self.load = self.plan.load  # type: ignore[method-assign]
            self.dump = self.plan.dump  # type: ignore[method-assign]

    @staticmethod
    def _plan(model: RecordModel, check_keys: Callable[[dict[str, Any]], None]) -> Any:
        fields = model.fields
        return _typed.Plan(
            model.tp, model.make, tuple(field.name for field in fields),
            tuple(field.key.encode() for field in fields), tuple(field.codec.kind for field in fields),
            tuple(field.codec.native_parse for field in fields), tuple(field.absent for field in fields),
            tuple(field.default for field in fields), model.post_init, model.forbid_unknown, model.load,
            tuple(field.codec.dump for field in fields), tuple(field.optional for field in fields),
            dict if model.make == MAKE_TYPEDDICT else model.tp, check_keys)

    def dump(self, value: Any) -> Written:
        make = self.model.make
        if type(value) is not (dict if make == MAKE_TYPEDDICT else self.tp):
            raise self.refuse(value)
        if make == MAKE_TYPEDDICT:
            self._check_keys(value)
        return self.dump_model(value)

    def dump_model(self, value: Any) -> bytes:
        """The record of a value of the class (its type and keys checked), as the native
        writer writes it."""
        make = self.model.make
        if make == MAKE_TYPEDDICT:
            # Every value taken at once, where the keys were checked: a field's writer
            # that changes the dict cannot leave a required key out of the record.
            taken = [value.get(field.name, _ABSENT) for field in self.fields]
        pairs: dict[str, Written] = {}
        for position, field in enumerate(self.fields):
            if make == MAKE_TYPEDDICT:
                item = taken[position]
                if item is _ABSENT:
                    continue
            elif make == MAKE_TUPLE_CLASS:
                item = value[position]
            else:
                item = getattr(value, field.name)
            if item is None and field.optional:
                continue
            try:
                pairs[field.key] = field.codec.dump(item)
            except Exception as error:
                _note(error, f"in field {field.name!r} of {self.name}")
                raise
        return _serialize_dict(pairs)

    def _check_keys(self, value: dict[str, Any]) -> None:
        for field in self.fields:
            if field.absent == ABSENT_REQUIRED and field.name not in value:
                raise TypeError(f"{self.name} lacks its required key {field.name!r}")
        if not value.keys() <= self.names:
            unknown = next(key for key in value if key not in self.names)
            raise TypeError(f"{self.name} has no key {unknown!r}")

    def load(self, raw: bytes) -> Any:
        return self.model.load(raw)


_ABSENT: Any = object()


# ---------------------------------------------------------------------------
# Compiling a type into its codec


SCALARS: dict[Any, Callable[[], Codec]] = {
    str: StrCodec, bytes: BytesCodec, int: IntCodec, float: FloatCodec, bool: BoolCodec,
    decimal.Decimal: lambda: TextCodec(decimal.Decimal, parse_decimal, decimal.Decimal),
    uuid.UUID: lambda: TextCodec(uuid.UUID, uuid.UUID),
    datetime.datetime: lambda: TextCodec(datetime.datetime, datetime.datetime.fromisoformat),
    datetime.date: lambda: TextCodec(datetime.date, datetime.date.fromisoformat),
    datetime.time: lambda: TextCodec(datetime.time, datetime.time.fromisoformat),
}
SEQUENCES = {list: list, tuple: tuple, set: set, frozenset: frozenset}


def compile_type(tp: Any, where: str, forbid_unknown: bool, rename: Mapping[str, str] | None = None,
                 within: tuple[type, ...] = ()) -> Codec:
    """The codec of tp; TypeError naming where (the field) for a type it cannot handle.
    within: the record classes being compiled around tp, of which a record cannot hold
    one: its record would hold itself without end."""
    if tp in SCALARS:
        return SCALARS[tp]()
    if isinstance(tp, type) and issubclass(tp, enum.Enum):
        return EnumCodec(tp, where)
    origin, args = typing.get_origin(tp), typing.get_args(tp)
    if origin in SEQUENCES and (origin is not tuple or (len(args) == 2 and args[1] is Ellipsis)) and args:
        return ListCodec(SEQUENCES[origin], compile_item(args[0], f"{where}[item]", forbid_unknown, within))
    if origin is dict and len(args) == 2 and args[0] is str:
        return DictCodec(compile_item(args[1], f"{where}[value]", forbid_unknown, within))
    if isinstance(tp, type) and (dataclasses.is_dataclass(tp) or _is_named_tuple(tp) or typing.is_typeddict(tp)):
        if tp in within:
            raise TypeError(f"{where}: {tp.__name__} holds a {tp.__name__} of its own: "
                            "a recursive type has no record of bounded depth here")
        return compile_record(tp, forbid_unknown, rename or {}, within + (tp,))
    raise TypeError(f"{where}: cannot read or write a field of type {_type_name(tp)}")


def compile_item(tp: Any, where: str, forbid_unknown: bool, within: tuple[type, ...]) -> Codec:
    if _optional_of(tp) is not None:
        raise TypeError(f"{where}: an item cannot be None: a list or map record has no place for its absence")
    return compile_type(tp, where, forbid_unknown, within=within)


def compile_record(tp: type, forbid_unknown: bool, rename: Mapping[str, str], within: tuple[type, ...]) -> RecordCodec:
    hints = typing.get_type_hints(tp, include_extras=True)
    if dataclasses.is_dataclass(tp):
        fields, make = _dataclass_fields(tp, hints), MAKE_SLOTS_CLASS if "__slots__" in vars(tp) else MAKE_DICT_CLASS
    elif _is_named_tuple(tp):
        fields, make = _named_tuple_fields(tp, hints), MAKE_TUPLE_CLASS
    else:
        fields, make = _typed_dict_fields(tp, hints), MAKE_TYPEDDICT
    unknown = set(rename) - {name for name, *_ in fields}
    if unknown:
        raise ValueError(f"rename names no field of {tp.__name__}: {', '.join(sorted(unknown))}")
    compiled = []
    for name, hint, absent, default in fields:
        where = f"field {name!r} of {tp.__name__}"
        inner = _optional_of(hint)
        if inner is not None and absent != ABSENT_LEFT_OUT:
            absent = ABSENT_NONE  # whatever its default: None is written as the key's absence
        codec = compile_type(hint if inner is None else inner, where, forbid_unknown, within=within)
        # Interned, as the names of attributes and of a class body's fields are: the
        # lookups of a field then find its key by identity, where a name made at run
        # time (make_dataclass, a TypedDict's functional form) was compared byte by byte.
        name = sys.intern(name)
        compiled.append(Field(name, rename.get(name, name), codec, absent, inner is not None, default))
    keys = [field.key for field in compiled]
    if len(set(keys)) != len(keys):
        raise ValueError(f"two fields of {tp.__name__} are written under one key")
    return RecordCodec(RecordModel(tp, compiled, make, forbid_unknown))


FieldSpec = tuple[str, Any, int, Any]  # name, type, ABSENT_*, default


def _dataclass_fields(tp: type, hints: dict[str, Any]) -> list[FieldSpec]:
    if any(isinstance(hint, dataclasses.InitVar) for hint in hints.values()):
        raise TypeError(f"{tp.__name__}: an InitVar has no place in a record")
    specs = []
    for field in dataclasses.fields(tp):
        if field.default is not dataclasses.MISSING:
            specs.append((field.name, hints[field.name], ABSENT_DEFAULT, field.default))
        elif field.default_factory is not dataclasses.MISSING:
            specs.append((field.name, hints[field.name], ABSENT_FACTORY, field.default_factory))
        else:
            specs.append((field.name, hints[field.name], ABSENT_REQUIRED, None))
    return specs


def _named_tuple_fields(tp: type, hints: dict[str, Any]) -> list[FieldSpec]:
    defaults: dict[str, Any] = getattr(tp, "_field_defaults")
    fields: tuple[str, ...] = getattr(tp, "_fields")
    return [(name, hints[name], ABSENT_DEFAULT if name in defaults else ABSENT_REQUIRED, defaults.get(name))
            for name in fields]


def _typed_dict_fields(tp: type, hints: dict[str, Any]) -> list[FieldSpec]:
    # From the hints themselves: __required_keys__ misses Required[...] written as a string.
    total: bool = getattr(tp, "__total__", True)
    specs = []
    for name, hint in hints.items():
        required = total
        while typing.get_origin(hint) in (Required, NotRequired):
            required = typing.get_origin(hint) is Required
            hint = typing.get_args(hint)[0]
        specs.append((name, hint, ABSENT_REQUIRED if required else ABSENT_LEFT_OUT, None))
    return specs


def _is_named_tuple(tp: type) -> bool:
    return issubclass(tp, tuple) and hasattr(tp, "_fields") and hasattr(tp, "_field_defaults")


def _optional_of(tp: Any) -> Any:
    """T for T | None (Optional[T]), else None."""
    if typing.get_origin(tp) not in (Union, types.UnionType):
        return None
    args = typing.get_args(tp)
    if type(None) not in args:
        return None
    rest = tuple(arg for arg in args if arg is not type(None))
    return rest[0] if len(rest) == 1 else Union[rest]  # noqa: UP007


def _type_name(tp: Any) -> str:
    return tp.__name__ if isinstance(tp, type) else repr(tp)


def _note(error: BaseException, note: str) -> None:
    # When memory is short the interpreter raises one MemoryError instance for every failure.
    if not isinstance(error, MemoryError):
        error.add_note(note)


# ---------------------------------------------------------------------------
# The schema


class Schema(Generic[T]):
    """Writes objects of tp as records and reads them back; immutable, and safe to use
    from many threads at once.

    dump(obj) -> bytes: the record of obj; TypeError naming the field for a value that
    would not read back equal.
    load(data) -> obj: the object of a record; ValueError naming the field for text its
    type does not parse."""

    # dump and load are the compiled codec's own, held by the instance: a call goes
    # straight to the native writer or reader.
    __slots__ = ("_codec", "_options", "_tp", "dump", "load")
    _codec: Codec
    _options: tuple[dict[str, str], bool]
    _tp: type[T]
    dump: Callable[[T], bytes]
    load: Callable[[bytes], T]

    def __init__(self, tp: type[T], *, rename: Mapping[str, str] | None = None, forbid_unknown: bool = False) -> None:
        codec = compile_type(tp, _type_name(tp), bool(forbid_unknown), dict(rename or {}))
        if not isinstance(codec, (RecordCodec, ListCodec, DictCodec)):
            raise TypeError(f"a schema is of a record class, dict[str, T], list[T] or tuple[T, ...], "
                            f"not {_type_name(tp)}")
        if rename and not isinstance(codec, RecordCodec):
            raise ValueError("rename is for the fields of a record class")
        object.__setattr__(self, "_tp", tp)
        object.__setattr__(self, "_codec", codec)
        object.__setattr__(self, "dump", codec.dump)
        object.__setattr__(self, "load", codec.load)
        object.__setattr__(self, "_options", (dict(rename or {}), bool(forbid_unknown)))

    def __reduce__(self) -> tuple[Any, ...]:
        # A schema goes to another process (a cluster's worker) as what it was made of,
        # and is compiled anew there.
        rename, forbid_unknown = self._options
        return _remade, (self._tp, rename, forbid_unknown)

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError("a Schema is immutable")

    def __delattr__(self, name: str) -> None:
        raise AttributeError("a Schema is immutable")

    def __repr__(self) -> str:
        return f"Schema({_type_name(self._tp)})"

    @property
    def type(self) -> type[T]:
        return self._tp

    def write_stream(self, file: stream.Writable, objects: Iterable[T]) -> int:
        """Write each object as one record of a stream; return the bytes written.

        An object that cannot be written raises what dump raises, with a note giving its
        index in objects; every record before it has been written, and no part of it."""
        return stream._write(file, objects, self.dump)

    def read_stream(self, file: stream.Readable) -> Iterator[T]:
        """The objects of a stream's records, each as load reads it."""
        load = self._codec.load
        return stream._read(file, lambda record, _: load(record), None)



def _remade(tp: type[T], rename: dict[str, str], forbid_unknown: bool) -> Schema[T]:
    return Schema(tp, rename=rename, forbid_unknown=forbid_unknown)
