"""Typed records against their peers: each cell's time per object, as a ratio to the
fastest peer timed in the same run (below 1 is faster than every peer).

Each run times every codec of a cell in interleaved rounds (one loop of each in turn,
the best round kept); the table shows the median of 3 runs. The reference row is what
a user writes without schemas: plain records, then int() and float() in Python.

Peers: the record cells and the list[int] cells take msgspec (msgpack, and JSON for
the lists), pickle, marshal and orjson where they apply. The list[float] cells take
only the peers that read and write decimal text (orjson, msgspec's JSON, json): the
binary peers copy eight bytes per float, which the format rules out.

Floors (bench/bounds.cpp, timed in the same rounds): for the list loads, reading the
record's texts by the fastest code known (ints sixteen digits at a time with SSSE3,
floats by fast_float) into a list made at its size, told the count; where that has no
build (not x86-64), making the ints from a C array alone; for the list dumps,
writing each number's text after a one-byte length with our own digit routines into a
bytes object made large enough at once (`digits_floor`). What no reader or writer of
the format can do without.

    ./dev run python3.14 bench/typed_bench.py [--runs 3] [--rounds 7]
"""
from __future__ import annotations

import argparse
import dataclasses
import datetime
import decimal
import enum
import json
import marshal
import pickle
import random
import statistics
import struct
import sys
import time
import typing
import uuid
from collections.abc import Callable
from pathlib import Path
from typing import Any, TypedDict

import msgspec
import orjson

from zav import serializer
from zav.typed import Schema

Call = Callable[[], Any]


@dataclasses.dataclass
class Mixed10:
    id: int
    name: str
    price: float
    count: int
    ok: bool
    city: str
    score: float
    rank: int
    code: str
    weight: float


Mixed20 = dataclasses.make_dataclass(
    "Mixed20", [(f"{name}{i}", hint) for i in (1, 2) for name, hint in typing.get_type_hints(Mixed10).items()])


class Order(TypedDict):
    id: int
    customer: str
    total: float
    paid: bool
    note: str


@dataclasses.dataclass
class Package:
    package: str
    status: str
    priority: str
    section: str
    maintainer: str
    architecture: str
    version: str
    description: str
    installed_size: int
    depends: str


PACKAGE_KEYS = {f.name: f.name.replace("_", "-").title() for f in dataclasses.fields(Package)}


class Kind(enum.Enum):
    SALE = "sale"
    REFUND = "refund"
    TRANSFER = "transfer"


@dataclasses.dataclass
class Event:
    id: int
    at: datetime.datetime
    day: datetime.date
    key: uuid.UUID
    amount: decimal.Decimal
    kind: Kind
    note: str


def event(rng: random.Random) -> Event:
    at = datetime.datetime(2024, 1, 1) + datetime.timedelta(seconds=rng.randrange(10**8), microseconds=rng.randrange(10**6))
    return Event(rng.randrange(10**9), at, at.date(), uuid.UUID(int=rng.getrandbits(128)),
                 decimal.Decimal(rng.randrange(10**7)) / 100, rng.choice(list(Kind)), "card")


def event_plain(d: dict[str, str]) -> Event:
    return Event(int(d["id"]), datetime.datetime.fromisoformat(d["at"]), datetime.date.fromisoformat(d["day"]),
                 uuid.UUID(d["key"]), decimal.Decimal(d["amount"]), Kind(d["kind"]), d["note"])


def mixed10(rng: random.Random) -> Mixed10:
    return Mixed10(rng.randrange(10**9), f"user{rng.randrange(999)}", round(rng.uniform(0, 1000), 2),
                   rng.randrange(100), rng.random() < 0.5, rng.choice(["Oslo", "Lyon", "Porto"]),
                   rng.random(), rng.randrange(-50, 50), f"C{rng.randrange(10**6):06d}", rng.uniform(1, 90))


def mixed20(rng: random.Random) -> Any:
    a, b = mixed10(rng), mixed10(rng)
    return Mixed20(*dataclasses.astuple(a), *dataclasses.astuple(b))


def order(rng: random.Random) -> Order:
    return Order(id=rng.randrange(10**6), customer=f"c{rng.randrange(999)}", total=round(rng.uniform(1, 500), 2),
                 paid=rng.random() < 0.5, note="leave at the door")


def packages() -> list[Package]:
    rows = json.loads((Path(__file__).parent / "data" / "packages.json").read_text())
    return [Package(**{name: (int(row[key]) if name == "installed_size" else row.get(key, ""))
                       for name, key in PACKAGE_KEYS.items()}) for row in rows if row["Installed-Size"]]


class Cell:
    """One workload: the objects, and for each codec a load and a dump of all of them."""

    def __init__(self, name: str, tp: Any, objects: list[Any], schema: Schema[Any], plain: Callable[[Any], Any]):
        self.name, self.objects = name, objects
        records = [schema.dump(obj) for obj in objects]
        assert [schema.load(r) for r in records] == objects
        self.load: dict[str, Call] = {"zav.typed": lambda: [schema.load(r) for r in records]}
        self.dump: dict[str, Call] = {"zav.typed": lambda: [schema.dump(o) for o in objects]}
        decoder, packed = msgspec.msgpack.Decoder(tp), [msgspec.msgpack.encode(o) for o in objects]
        self.load["msgspec"] = lambda: [decoder.decode(p) for p in packed]
        self.dump["msgspec"] = lambda: [msgspec.msgpack.encode(o) for o in objects]
        pickled = [pickle.dumps(o, 5) for o in objects]
        self.load["pickle"] = lambda: [pickle.loads(p) for p in pickled]
        self.dump["pickle"] = lambda: [pickle.dumps(o, 5) for o in objects]
        self.reference: dict[str, Call] = {"load": lambda: [plain(serializer._deserialize_dict(r)) for r in records]}


def dataclass_plain(tp: Any) -> Callable[[dict[str, str]], Any]:
    """What a user writes: each field converted by its type in Python."""
    fields = list(typing.get_type_hints(tp).items())
    return lambda d: tp(**{name: (d[name] == "True" if t is bool else t(d[name])) for name, t in fields})


def number_cells(rng: random.Random, bounds: Any) -> list[tuple[str, dict[str, Call], Call]]:
    ints = [rng.randrange(-(2**63), 2**63) for _ in range(1000)]
    floats = [rng.uniform(-1e6, 1e6) for _ in range(1000)]
    cells = []
    for name, values, tp, code in (("list[int] x1000", ints, list[int], "q"), ("list[float] x1000", floats, list[float], "d")):
        schema: Schema[Any] = Schema(tp)
        record, packed, as_json = schema.dump(values), msgspec.msgpack.encode(values), orjson.dumps(values)
        decoder, json_decoder, as_text = msgspec.msgpack.Decoder(tp), msgspec.json.Decoder(tp), json.dumps(values)
        assert schema.load(record) == values
        load = {"zav.typed": lambda s=schema, r=record: s.load(r), "msgspec json": lambda d=json_decoder, j=as_json: d.decode(j),
                "orjson": lambda j=as_json: orjson.loads(j), "json": lambda t=as_text: json.loads(t)}
        dump = {"zav.typed": lambda s=schema, v=values: s.dump(v), "msgspec json": lambda v=values: msgspec.json.encode(v),
                "orjson": lambda v=values: orjson.dumps(v), "json": lambda v=values: json.dumps(v)}
        if tp == list[int]:  # the binary peers read no decimal text: they join the int cells only
            marshalled, pickled = marshal.dumps(values), pickle.dumps(values, 5)
            load |= {"msgspec": lambda d=decoder, p=packed: d.decode(p), "marshal": lambda m=marshalled: marshal.loads(m),
                     "pickle": lambda p=pickled: pickle.loads(p)}
            dump |= {"msgspec": lambda v=values: msgspec.msgpack.encode(v), "marshal": lambda v=values: marshal.dumps(v),
                     "pickle": lambda v=values: pickle.dumps(v, 5)}
        read_texts = getattr(bounds, "int_text_floor", None) if code == "q" else bounds.float_text_floor
        if read_texts is not None:  # our record's texts read by the fastest code known
            assert read_texts(record, len(values)) == values
            floor: Call = lambda f=read_texts, r=record, n=len(values): f(r, n)
        else:  # the objects alone, made from a C array
            array = struct.pack(f"<{len(values)}{code}", *values)
            assert bounds.int_list_floor(array) == values
            floor = lambda a=array: bounds.int_list_floor(a)
        cells.append((f"{name} load", load, floor))
        cells.append((f"{name} dump", dump, lambda f=bounds.digits_floor, v=values: f(v)))
    return cells


def record_cells(rng: random.Random) -> list[tuple[str, dict[str, Call], Call | None]]:
    made = [
        Cell("dataclass 10 fields", Mixed10, [mixed10(rng) for _ in range(200)], Schema(Mixed10), dataclass_plain(Mixed10)),
        Cell("dataclass 20 fields", Mixed20, [mixed20(rng) for _ in range(200)], Schema(Mixed20), dataclass_plain(Mixed20)),
        Cell("TypedDict", Order, [order(rng) for _ in range(200)], Schema(Order),
             lambda d: Order(id=int(d["id"]), customer=d["customer"], total=float(d["total"]), paid=d["paid"] == "True",
                             note=d["note"])),
        Cell("dataclass of dates, UUID, enum", Event, [event(rng) for _ in range(200)], Schema(Event), event_plain),
        Cell("dict[str, int] x1000", dict[str, int], [{f"k{i}": rng.randrange(-(10**9), 10**9) for i in range(1000)}],
             Schema(dict[str, int]), lambda d: {key: int(value) for key, value in d.items()}),
        Cell("dpkg status, renamed", Package, packages(), Schema(Package, rename=PACKAGE_KEYS),
             lambda d: Package(**{name: (int(d[key]) if name == "installed_size" else d[key])
                                  for name, key in PACKAGE_KEYS.items()})),
    ]
    cells: list[tuple[str, dict[str, Call], Call | None]] = []
    for cell in made:
        cells.append((f"{cell.name} load", cell.load, cell.reference["load"]))
        cells.append((f"{cell.name} dump", cell.dump, None))
    return cells


def best_rounds(calls: dict[str, Call], rounds: int, per_call: int) -> dict[str, float]:
    best = dict.fromkeys(calls, float("inf"))
    for _ in range(rounds):
        for name, call in calls.items():  # interleaved: each codec once per round
            start = time.perf_counter()
            for _ in range(per_call):
                call()
            best[name] = min(best[name], (time.perf_counter() - start) / per_call)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    sys.path.insert(0, str(Path(__file__).parent))
    import bounds as bounds_source
    bounds = bounds_source.build()
    rng = random.Random(7)
    cells = [(name, calls, None, floor) for name, calls, floor in number_cells(rng, bounds)]
    cells += [(name, calls, reference, None) for name, calls, reference in record_cells(rng)]
    print(f"{'cell':32} {'zav.typed':>10} {'fastest peer':>22} {'ratio':>6} {'reference':>10} {'floor':>9} {'/floor':>6}")
    for name, calls, reference, floor in cells:
        timed = dict(calls) | ({"reference": reference} if reference else {}) | ({"floor": floor} if floor else {})
        runs = [best_rounds(timed, args.rounds, 20) for _ in range(args.runs)]
        median = {codec: statistics.median(run[codec] for run in runs) for codec in timed}
        peers = {codec: t for codec, t in median.items() if codec not in ("zav.typed", "reference", "floor")}
        fastest = min(peers, key=peers.__getitem__)
        ours = median["zav.typed"]
        ref = f"{median['reference'] / peers[fastest]:9.2f}x" if reference else ""
        bound = f"{median['floor'] * 1e6:7.1f}us {ours / median['floor']:5.2f}x" if floor else ""
        print(f"{name:32} {ours * 1e6:8.1f}us {fastest:>12} {peers[fastest] * 1e6:7.1f}us "
              f"{ours / peers[fastest]:5.2f}x {ref:>10} {bound}", flush=True)
        print("    ours / each peer: " + ", ".join(f"{codec} {ours / t:.2f}x" for codec, t in sorted(peers.items())))


if __name__ == "__main__":
    main()
