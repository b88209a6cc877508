"""Arbitrary bytes through zav.typed's native readers, run by the libFuzzer target
fuzz/fuzz_typed.cpp (one call of `run` per input), or by hand to replay inputs:

    python3.14 fuzz/typed_driver.py FILE...

The first byte of an input picks a schema; the rest is read by its native plan and by
the plan's Python model (RecordModel.load, ListCodec.load_model), which must give the
same object, or the same exception type and message. Any difference raises
AssertionError.
"""
from __future__ import annotations

import dataclasses
import datetime
import decimal
import enum
import sys
import uuid
from collections.abc import Callable
from typing import Any, NamedTuple, NotRequired, TypedDict

from zav.typed import ListCodec, RecordCodec, Schema


class Kind(enum.Enum):
    A = "a"
    B = "b"


@dataclasses.dataclass(frozen=True, slots=True)
class Inner:
    n: int
    f: float = 0.5


@dataclasses.dataclass
class Record:
    i: int
    f: float
    b: bool
    s: str
    raw: bytes
    d: decimal.Decimal | None
    inner: Inner | None
    many: list[int] = dataclasses.field(default_factory=list)


class Pair(NamedTuple):
    when: datetime.date
    id: uuid.UUID | None = None


class Loose(TypedDict):
    kind: Kind
    values: NotRequired[dict[str, float]]


SCHEMAS: list[Schema[Any]] = [Schema(Record), Schema(Record, forbid_unknown=True), Schema(Pair), Schema(Loose),
                              Schema(list[float]), Schema(list[int])]


def model_of(schema: Schema[Any]) -> Callable[[bytes], Any]:
    codec = schema._codec
    if isinstance(codec, RecordCodec):
        return codec.model.load
    assert isinstance(codec, ListCodec)
    return codec.load_model


def outcome(call: Callable[[], Any]) -> tuple[Any, ...]:
    try:
        value = call()
    except Exception as error:
        return ("raised", type(error), str(error), getattr(error, "__notes__", None))
    return ("returned", type(value), repr(value))


def run(data: bytes) -> None:
    if not data:
        return
    schema = SCHEMAS[data[0] % len(SCHEMAS)]
    record = data[1:]
    native = outcome(lambda: schema.load(record))
    model = outcome(lambda: model_of(schema)(record))
    assert native == model, f"{schema!r} on {record!r}: native {native}, model {model}"


if __name__ == "__main__":
    for name in sys.argv[1:]:
        with open(name, "rb") as file:
            run(file.read())
    print(f"{len(sys.argv) - 1} inputs: native and model agree")
