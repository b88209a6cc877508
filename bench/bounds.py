"""How fast any reader could load a dict of str pairs, a list of short strs or a list of
records here, and any writer write numbers as text: lower bounds, timed in one run with
our load (dump) and the other serializers' loads (dumps) of the same data.

The bounds come from loaders built for this (bounds.cpp). Each is handed every text
prepared in advance, untimed: its UTF-8, its characters at the width of its str, and
its length and width; and the size of each run of `transcoded`, which a reader would
sum as it counts.

- `floor` makes every str from its prepared characters and puts the pairs in a
  presized dict. This is what CPython's own objects cost any reader.
- `transcoded` makes the strs from their UTF-8 instead. It gathers the texts into one
  run per str width, has simdutf validate and transcode each run at once, and copies
  the characters into the strs.
- for a list workload, `floor` makes every item's str as above and puts them in a
  presized list; the items are the workload's as our reader gives them back (an int
  as its text), and the peers load the workload's own items.
- for a records or rows workload, every loader is called once per record, each record
  in turn as bench.py times it, and times are per record. `floor` makes a presized
  dict (a list, for rows) and every value's str as above, values as text; a record's
  keys are strs made once for all records, their hashes made, and only inserted, as a
  reader may keep the keys of earlier records (ours keeps short ones).

A real reader must also parse its record, count each text's characters and find its
width; none of the loaders does. Their times thus bound from below the time of any reader
built on CPython's str and dict, and, for `transcoded`, on simdutf's kernels.

With --dump, the bounds are writers of a list or dict of numbers, bools and short ASCII
strs, timed with our dump and the other serializers' dumps. Each writes every item's
text (every key's and value's) after a one-byte length into a bytes object made large
enough at once: no check of room, no record head, no fallback for items that need one.

- `floor` makes the numbers' texts with our own routines (src/numbers.h), as str()
  gives them, and reads the entries of a dict in place, as our writer does.
- `std-floor` reads each int by CPython's API and makes the texts with std::to_chars
  (the shortest text that reads back, for a double).

For a list of strs (list-1000-unicode), the bound is `floor`, text_floor in bounds.cpp:
every str warm, holding its UTF-8 copy as the peers' dumps leave it, it sums their
sizes, makes the bytes object of the record's size and copies every str's UTF-8 after
its length, with no check of room: our record, by the least work a writer of warm
strs does.

Our format writes numbers as decimal text, and the time a writer spends on their digits
is what separates it from a writer of binary numbers (msgpack's); the bounds show that
time, and ours against the faster of them is what our writer adds. They bound writers
that make digits no faster than the faster of the two routines: ours took 0.28 to 0.70
of std::to_chars' time on the workloads measured (bench/README.md).

    ./dev run python3.14 bench/bounds.py                     # dict-100-unicode
    ./dev run python3.14 bench/bounds.py --workload dict-1000
    ./dev run python3.14 bench/bounds.py --workload list-1000-codes
    ./dev run python3.14 bench/bounds.py --workload mid-records   # or records, locales
    ./dev run python3.14 bench/bounds.py --workload locale-rows   # or code-rows-distinct
    ./dev run python3.14 bench/bounds.py --dump --workload list-1000-int64   # or -mixed
    ./dev run python3.14 bench/bounds.py --dump --workload list-1000-unicode

It builds the loaders into build/bounds/ first. This is a measurement: it asserts no
time. It does check that every loader gives back the workload's data, record by
record, and times with the garbage collector off, as bench.py does.
"""
from __future__ import annotations

import argparse
import gc
import importlib.util
import pickle
import shutil
import struct
import subprocess
import sys
import sysconfig
from pathlib import Path
from types import ModuleType
from typing import Any

import bench
from bench import (Case, EachInTurn, SameArgument, calls_of, dump_arguments, format_time,
                   load_arguments, measure, our_codec, peer_codecs)
from callgrind import CXXFLAGS, dragonbox_includes
from workloads import COLD_SUFFIX, WORKLOADS, Workload, as_text, make_workload

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
BUILD = ROOT / "build" / "bounds"

# The widths PyUnicode_New takes for each storage of a str, by its largest character,
# with the encoding of its characters and the run its UTF-8 goes to.
WIDTHS = ((0x7F, "latin-1", 0), (0xFF, "latin-1", 0), (0xFFFF, "utf-16-le", 1),
          (0x10FFFF, "utf-32-le", 2))


def build() -> ModuleType:
    """Compiles bounds.cpp with the release flags and imports it."""
    BUILD.mkdir(parents=True, exist_ok=True)
    target = BUILD / f"bounds{sysconfig.get_config_var('EXT_SUFFIX')}"
    cxx = shutil.which("c++") or shutil.which("g++") or "c++"
    includes = [sysconfig.get_path("include"), *dragonbox_includes()]
    subprocess.run([cxx, *CXXFLAGS, *(f"-isystem{path}" for path in includes),
                    "-I", str(ROOT / "src"), str(HERE / "bounds.cpp"), str(ROOT / "src" / "numbers.cpp"),
                    str(ROOT / "src" / "kernels.cpp"), "-lsimdutf", "-ldragonbox_to_chars", "-o", str(target)], check=True)
    spec = importlib.util.spec_from_file_location("bounds", target)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def texts_of(data: dict[str, str] | list[str]) -> list[str]:
    """The texts in the order the loaders make them: key, value, key, ... or the items."""
    return [t for pair in data.items() for t in pair] if isinstance(data, dict) else list(data)


def prepare(texts: list[str]) -> bytes:
    """The texts as bounds.cpp takes them: their number and the UTF-8 bytes and
    characters of each run (Latin-1, UCS-2, UCS-4); an entry per text (offset and size
    of its UTF-8, offset and length of its characters, width); then the UTF-8 and the
    characters."""
    entries: list[tuple[int, int, int, int, int]] = []
    run_bytes, run_chars = [0, 0, 0], [0, 0, 0]
    area = bytearray()
    for text in texts:
        largest = max(map(ord, text), default=0)
        width, encoding, run = next(w for w in WIDTHS if largest <= w[0])
        utf8 = text.encode()
        entries.append((len(area), len(utf8), len(area) + len(utf8), len(text), width))
        run_bytes[run] += len(utf8)
        run_chars[run] += len(text)
        area += utf8 + text.encode(encoding)
    head = struct.pack("<7Q", len(entries), *run_bytes, *run_chars)
    return head + b"".join(struct.pack("<5Q", *e) for e in entries) + bytes(area)


def same_strs(got: Any, expected: dict[str, str] | list[str]) -> bool:
    """Equal, with every str as large as the one CPython's decoder makes."""
    fresh = [t.encode().decode() for t in texts_of(expected)]
    return got == expected and [sys.getsizeof(t) for t in texts_of(got)] == list(map(sys.getsizeof, fresh))


def shared_key(keys: dict[str, str], key: str) -> str:
    """The str of a key, made once for all records as a reader that keeps the keys of
    earlier records would have it: as CPython's decoder makes it, its hash made."""
    if key not in keys:
        keys[key] = key.encode().decode()
        hash(keys[key])
    return keys[key]


def record_argument(keys: dict[str, str], record: dict[str, str]) -> tuple[tuple[str, ...], bytes]:
    """What record_floor takes for one record: its keys, shared through keys, and its
    values prepared."""
    return tuple(shared_key(keys, key) for key in record), prepare(list(record.values()))


def floor_cases(bounds: ModuleType, workload: Workload) -> list[Case]:
    """The bounds of the workload, on what our reader gives back: every value as its
    text. A records or rows workload is loaded a record per call, as bench.py loads it."""
    texts = as_text(workload.data)
    if workload.kind == "dict":
        prepared = SameArgument(prepare(texts_of(texts)))
        return [Case("floor", bounds.floor, prepared), Case("transcoded", bounds.transcoded, prepared)]
    if workload.kind == "list":
        prepared = SameArgument(prepare(texts))
        return [Case("floor", bounds.list_floor, prepared), Case("shared-floor", bounds.shared_list_floor, prepared)]
    if workload.kind == "rows":
        return [Case("floor", bounds.list_floor, EachInTurn([prepare(row) for row in texts]))]
    keys: dict[str, str] = {}
    return [Case("floor", bounds.record_floor, EachInTurn([record_argument(keys, r) for r in texts]))]


def well_formed(bounds: ModuleType, case: Case) -> bool:
    """Whether every argument of a bound is what bounds.cpp takes."""
    return all(bounds.check_record(arg) if isinstance(arg, tuple) else bounds.check(arg)
               for arg in case.arguments.make(case.arguments.unit))


def cases(bounds: ModuleType, workload: Workload) -> list[Case]:
    """Our load, the peers' loads and the bounds, each checked first on every record."""
    result = floor_cases(bounds, workload)
    if not all(well_formed(bounds, case) for case in result):
        raise SystemExit("the prepared data is not what bounds.cpp takes")
    for codec in [our_codec(workload.container), *peer_codecs()]:
        dumped = [codec.dump(data) for data in calls_of(workload)]
        result.append(Case(codec.name, codec.load, load_arguments(workload, dumped)))
    for case in result:
        if not gives_back(case, workload):
            raise SystemExit(f"{case.codec} does not give back the {workload.kind}")
    return result


def gives_back(case: Case, workload: Workload) -> bool:
    """Whether every call of the case gives back its record: ours and the bounds the
    record as text, with strs as CPython's decoder makes them; the peers the record
    itself (their strs are not ours to check beyond equality)."""
    ours = case.codec in ("floor", "shared-floor", "transcoded", bench.OURS)
    calls = zip(case.arguments.make(case.arguments.unit), calls_of(workload), strict=True)
    return all(same_strs(case.func(arg), as_text(data)) if ours else case.func(arg) == data
               for arg, data in calls)


# ---------------------------------------------------------------------------
# Writers

WRITER_BOUNDS: tuple[str, ...] = ("floor", "std-floor", "fastest-floor")


def writable(item: Any) -> bool:
    """Whether the bound writers take the item: an exact int within 64 bits, float or
    bool, or an exact ASCII str of at most 48 characters."""
    if type(item) is int:
        return -2**63 <= item < 2**63
    if type(item) is str:
        return item.isascii() and len(item) <= 48
    return type(item) in (float, bool)


def items_of(data: dict[str, Any] | list[Any]) -> list[Any]:
    return [x for pair in data.items() for x in pair] if isinstance(data, dict) else list(data)


def texts_written(record: bytes) -> list[str]:
    """The texts the bound writers wrote, each after its one-byte length."""
    texts, at = [], 0
    while at < len(record):
        texts.append(record[at + 1:at + 1 + record[at]].decode("ascii"))
        at += 1 + record[at]
    return texts


def reads_back(text: str, item: Any) -> bool:
    """Whether a text of std-floor's is the item's: a number's reads back as it."""
    if type(item) in (int, float):
        return type(item)(text) == item
    return text == str(item)


def wrote(case: Case, workload: Workload) -> bool:
    """Whether every call of a bound writer wrote its record's texts: `floor` str() of
    every item, `std-floor` texts that read back as the items."""
    calls = zip(case.arguments.make(case.arguments.unit), calls_of(workload), strict=True)
    for arg, data in calls:
        texts, items = texts_written(case.func(arg)), items_of(data)
        same = (texts == list(map(str, items)) if case.codec == "floor"
                else len(texts) == len(items) and all(map(reads_back, texts, items)))
        if not same:
            return False
    return True


def text_dump_cases(bounds: ModuleType, workload: Workload) -> list[Case]:
    """Our dump, the peers' dumps and text_floor, for a list of strs held warm: each
    str holds its UTF-8 copy, as the peers leave it after their first call."""
    for text in workload.data:
        pickle.dumps(text)  # CPython keeps the UTF-8 copy pickle asks for
    arguments = dump_arguments(workload)
    if bounds.text_floor(workload.data) != our_codec("list").dump(workload.data):
        raise SystemExit("text_floor does not write the record of the list")
    result = [Case("floor", bounds.text_floor, arguments)]
    for codec in [our_codec(workload.container), *peer_codecs()]:
        result.append(Case(codec.name, codec.dump, arguments))
    return result


def takes_texts(workload: Workload) -> bool:
    """Whether text_floor takes the workload: a list of strs of under 2**14 bytes."""
    return workload.kind == "list" and all(type(x) is str and len(x.encode()) < 2**14
                                           for x in workload.data)


def dump_cases(bounds: ModuleType, workload: Workload) -> list[Case]:
    """Our dump, the peers' dumps and the bound writers, the writers checked on every
    record."""
    if takes_texts(workload):
        return text_dump_cases(bounds, workload)
    if not all(writable(x) for data in calls_of(workload) for x in items_of(data)):
        raise SystemExit(f"{workload.name} holds items the bound writers do not take")
    arguments = dump_arguments(workload)
    result = [Case("floor", bounds.digits_floor, arguments), Case("std-floor", bounds.std_floor, arguments),
              Case("fastest-floor", bounds.fastest_floor, arguments)]
    if not all(wrote(case, workload) for case in result):
        raise SystemExit("a bound writer does not write the texts of the items")
    for codec in [our_codec(workload.container), *peer_codecs()]:
        result.append(Case(codec.name, codec.dump, arguments))
    return result


def report(result: list[Case], role: str, bounds: tuple[str, ...]) -> list[str]:
    """The cases by median time, with ours against the fastest of the named bounds."""
    peers = [c for c in result if c.codec not in ("floor", "shared-floor", "transcoded", *WRITER_BOUNDS, bench.OURS)]
    fastest = min(peers, key=lambda c: c.median)
    lines = [f"{role:<16} {'median':>10}  {'(min-max)':<22} ratio to {fastest.codec}"]
    for case in sorted(result, key=lambda c: c.median):
        span = f"({format_time(min(case.times))}-{format_time(max(case.times))})"
        lines.append(f"{case.codec:<16} {format_time(case.median):>10}  {span:<22} "
                     f"{case.median / fastest.median:.2f}")
    ours = next(c for c in result if c.codec == bench.OURS)
    floor = min((c for c in result if c.codec in bounds), key=lambda c: c.median)
    lines.append(f"{bench.OURS} against {floor.codec}: {ours.median / floor.median:.2f} by median, "
                 f"{min(ours.times) / min(floor.times):.2f} by min")
    return lines


def measure_without_gc(result: list[Case], repeats: int, target: float) -> None:
    """Times the cases as bench.py does, with the garbage collector off."""
    was_enabled = gc.isenabled()
    gc.collect()
    gc.disable()
    try:
        measure(result, repeats, target)
    finally:
        if was_enabled:
            gc.enable()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workload", default="dict-100-unicode",
                        choices=[n for n in WORKLOADS if not n.endswith(COLD_SUFFIX)])
    parser.add_argument("--dump", action="store_true",
                        help="bound the writers of a workload of numbers and short text")
    parser.add_argument("--repeat", type=int, default=9)
    parser.add_argument("--target-ms", type=float, default=25.0)
    args = parser.parse_args(argv)
    workload = make_workload(args.workload)
    if args.dump:
        result, direction, role, bounds = dump_cases(build(), workload), "dumps", "writer", WRITER_BOUNDS
    else:
        if workload.kind == "dict" and not all(isinstance(t, str) for t in texts_of(workload.data)):
            raise SystemExit(f"{args.workload} holds values that are not str")
        result, direction, role, bounds = cases(build(), workload), "loads", "loader", ("floor", "shared-floor")
    measure_without_gc(result, args.repeat, args.target_ms / 1000)
    per = f"per record of {len(workload.data)}" if workload.one_call_each else "per call"
    print(f"{direction} of {args.workload}, {args.repeat} repeats of about {args.target_ms:g} ms, "
          f"times {per}")
    print("\n".join(report(result, role, bounds)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
