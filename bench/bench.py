"""Times the record functions of zav.serializer against other serializers.

Every serializer dumps and loads the same workloads in one run; the table gives the
time per call (median, min and max over the repeats) and its ratio to the fastest
other serializer, for dumping and loading separately, with the cold variant of a
workload (fresh str objects in every call) beside its warm one. The table is printed
and written to results.txt, and drawn as a bar chart in results.png. It also gives the
peak memory our writers trace while they write one record.

Before any timing, each serializer must give back every workload unchanged.
This is a benchmark: it reports times, it asserts none.
"""
from __future__ import annotations

import argparse
import functools
import gc
import itertools
import json
import marshal
import os
import pickle
import platform
import statistics
import subprocess
import sys
import time
import tracemalloc
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Protocol

from workloads import SEED, Workload, as_text, fresh_copy, make_workloads

import zav.serializer as serializer

OURS = "zav"
HERE = Path(__file__).resolve().parent
# The peers every cell of ours is also compared with on its own.
BASELINES = ("pickle-5", "marshal")
# The copies a cold case dumps are made in batches of about this many bytes: memory
# stays bounded however many loops a case takes, and a batch stays in the processor's
# cache, as data made just before a call would. Much larger batches send every
# serializer out to slower memory and blur what cold is to show: strings without a
# UTF-8 copy inside.
COPY_BATCH_BYTES = 1024 * 1024


@dataclass(frozen=True)
class Codec:
    name: str
    dump: Callable[[Any], Any]
    load: Callable[[Any], Any]
    version: str


def peer_codecs() -> list[Codec]:
    """The other serializers: the standard library's, then those that are installed."""
    # Called directly where the defaults are right, as a wrapper would add its own time.
    if pickle.DEFAULT_PROTOCOL == 5:
        pickle_dump: Callable[[Any], bytes] = pickle.dumps
    else:
        pickle_dump = functools.partial(pickle.dumps, protocol=5)
    peers = [
        Codec("pickle-5", pickle_dump, pickle.loads,
              f"default protocol {pickle.DEFAULT_PROTOCOL}"),
        Codec("marshal", marshal.dumps, marshal.loads, f"version {marshal.version}"),
        Codec("json", json.dumps, json.loads, "stdlib"),
    ]
    try:
        import msgpack  # type: ignore[import-untyped]
    except ImportError:
        pass
    else:
        peers.append(Codec("msgpack", msgpack.packb, msgpack.unpackb,
                           ".".join(map(str, msgpack.version))))
    try:
        import orjson
    except ImportError:
        pass
    else:
        peers.append(Codec("orjson", orjson.dumps, orjson.loads, orjson.__version__))
    try:
        import msgspec
    except ImportError:
        pass
    else:
        encoder = msgspec.msgpack.Encoder()
        decoder = msgspec.msgpack.Decoder()
        peers.append(Codec("msgspec.msgpack", encoder.encode, decoder.decode,
                           msgspec.__version__))
    return peers


def our_codec(container: str) -> Codec:
    if container == "dict":
        return Codec(OURS, serializer._serialize_dict, serializer._deserialize_dict, "")
    return Codec(OURS, serializer._serialize_list, serializer._deserialize_list, "")


# ---------------------------------------------------------------------------
# Round trip


def calls_of(workload: Workload) -> list[Any]:
    """What one call each dumps: the records of a records or rows workload, else its
    data."""
    return workload.data if workload.one_call_each else [workload.data]


def round_trip_problem(codec: Codec, workload: Workload) -> str | None:
    """What is wrong with loading what the codec dumped, or None when nothing is.
    Our records keep no types, so ours must give back every value as text: str(value)
    for a value that is not a str (as_text)."""
    for data in calls_of(workload):
        problem = one_round_trip_problem(codec, data)
        if problem:
            return problem
    return None


def one_round_trip_problem(codec: Codec, data: Any) -> str | None:
    expected = as_text(data) if codec.name == OURS else data
    try:
        back = codec.load(codec.dump(data))
    except Exception as exc:  # reported, then the run stops
        return f"raised {type(exc).__name__}: {exc}"
    if type(back) is not type(expected):
        return f"gave back a {type(back).__name__}"
    if codec.name == OURS:
        values = back.values() if isinstance(back, dict) else back
        strays = {type(v).__name__ for v in values if type(v) is not str}
        if strays:
            return f"gave back values of type {', '.join(sorted(strays))}, not str"
    if back != expected:
        return "gave back different data"
    return None


def members(data: Any) -> list[Any]:
    """The keys and values of a workload's dict, or the items of its list; those of
    every dict or list of a list of records or rows."""
    if isinstance(data, dict):
        return [x for pair in data.items() for x in pair]
    return [x for item in data for x in (members(item) if type(item) in (dict, list) else [item])]


def strings_of(data: Any) -> list[str]:
    return [x for x in members(data) if type(x) is str]


def fresh_copy_problem(workload: Workload) -> str | None:
    """What is wrong with the copies a cold case dumps, or None when nothing is: each
    must be equal to the data, every str in it a new object that holds no UTF-8 copy
    yet. pickle asks CPython for that copy, which grows a non-ASCII str that has none
    (sys.getsizeof); a str that does not grow already held one."""
    copy = fresh_copy(workload.data)
    if copy != workload.data:
        return "a fresh copy differs from the data"
    for original, new in zip(strings_of(workload.data), strings_of(copy), strict=True):
        if len(new) < 2:
            continue  # CPython shares the empty str and those of one Latin-1 character
        if new is original:
            return f"a fresh copy shares the str {original[:20]!r}"
        if new.isascii():
            continue  # an ASCII str is its own UTF-8
        size = sys.getsizeof(new)
        pickle.dumps(new)
        if sys.getsizeof(new) == size:
            return f"the fresh str {new[:20]!r} already held a UTF-8 copy"
    return None


def check_round_trips(workloads: list[Workload], peers: list[Codec]) -> list[str]:
    problems = []
    for workload in workloads:
        for codec in [our_codec(workload.container), *peers]:
            problem = round_trip_problem(codec, workload)
            if problem:
                problems.append(f"{codec.name} on {workload.name}: {problem}")
        if workload.cold:
            problem = fresh_copy_problem(workload)
            if problem:
                problems.append(f"{workload.name}: {problem}")
    return problems


# ---------------------------------------------------------------------------
# Timing


class Arguments(Protocol):
    """Where the argument of every timed call comes from. The arguments of a stretch
    of calls are made before its clock starts."""

    @property
    def unit(self) -> int:
        """Every number of loops is a multiple of this."""
        ...

    def stretches(self, loops: int) -> list[int]:
        """The numbers of calls timed in one go, `loops` in all."""
        ...

    def make(self, calls: int) -> Iterable[Any]:
        """The arguments of one stretch of `calls` calls."""
        ...


@dataclass(frozen=True)
class SameArgument:
    """Every call gets the same object: warm, as a call finds whatever an earlier one
    left inside it."""
    arg: Any
    unit: int = 1

    def stretches(self, loops: int) -> list[int]:
        return [loops]

    def make(self, calls: int) -> Iterable[Any]:
        return itertools.repeat(self.arg, calls)


@dataclass(frozen=True)
class FreshCopies:
    """Every call gets its own fresh copy of the data (cold). The copies are made in
    batches of `unit`, the same for every serializer, so that memory stays bounded and
    every serializer finds its copies as far away in the caches as the others do."""
    data: Any
    unit: int

    def stretches(self, loops: int) -> list[int]:
        return [self.unit] * (loops // self.unit)

    def make(self, calls: int) -> Iterable[Any]:
        return [fresh_copy(self.data) for _ in range(calls)]


@dataclass(frozen=True)
class EachInTurn:
    """Every call gets the next of a list of arguments, in stretches of one pass over
    them (one call per record): warm, as a call on a record finds whatever an earlier
    pass left inside it, or cold, a fresh copy of every record made a pass at a time."""
    args: list[Any]
    cold: bool = False

    @property
    def unit(self) -> int:
        return len(self.args)

    def stretches(self, loops: int) -> list[int]:
        return [self.unit] * (loops // self.unit)

    def make(self, calls: int) -> Iterable[Any]:
        if not self.cold:
            return self.args
        copies: list[Any] = fresh_copy(self.args)
        return copies


def run_loops(func: Callable[[Any], Any], args: Iterable[Any]) -> float:
    """Seconds taken by calling func once with every one of args."""
    start = time.perf_counter()
    for x in args:
        func(x)
    return time.perf_counter() - start


def time_calls(func: Callable[[Any], Any], arguments: Arguments, loops: int) -> float:
    """Seconds taken by `loops` calls of func, counting the calls only."""
    total = 0.0
    for calls in arguments.stretches(loops):
        args = arguments.make(calls)
        total += run_loops(func, args)
        del args  # frees a batch of copies before the next one is made
    return total


def calibrate(func: Callable[[Any], Any], arguments: Arguments, target: float) -> int:
    """The number of loops, unit times 1, 2, 5, 10, 20, 50, ..., that takes at least
    `target` seconds, as timeit's autorange picks it."""
    scale = arguments.unit
    while True:
        for base in (1, 2, 5):
            loops = base * scale
            if time_calls(func, arguments, loops) >= target:
                return loops
        scale *= 10


def footprint(data: Any) -> int:
    """Bytes held by a dict or list of a workload and the objects in it."""
    return sys.getsizeof(data) + sum(sys.getsizeof(x) for x in members(data))


def dump_arguments(workload: Workload) -> Arguments:
    if workload.one_call_each:
        return EachInTurn(workload.data, workload.cold)
    if not workload.cold:
        return SameArgument(workload.data)
    batch = max(1, COPY_BATCH_BYTES // footprint(fresh_copy(workload.data)))
    return FreshCopies(workload.data, batch)


@dataclass
class Case:
    """One serializer in one direction on one workload."""
    codec: str
    func: Callable[[Any], Any]
    arguments: Arguments
    loops: int = 0
    times: list[float] = field(default_factory=list)  # seconds per call, one per repeat

    @property
    def median(self) -> float:
        return statistics.median(self.times)


def measure(cases: list[Case], repeats: int, target: float) -> None:
    """Fills in the times. The repeats go round all cases in turn, so that a burst of
    load from elsewhere on the machine falls on all of them alike."""
    for case in cases:
        case.loops = calibrate(case.func, case.arguments, target)
    for _ in range(repeats):
        for case in cases:
            seconds = time_calls(case.func, case.arguments, case.loops)
            case.times.append(seconds / case.loops)


@dataclass
class Result:
    workload: Workload
    sizes: dict[str, int]  # codec name -> bytes (or characters, for json) dumped
    dump: list[Case]  # ours first
    load: list[Case]


def bench_workload(workload: Workload, peers: list[Codec], repeats: int,
                   target: float) -> Result:
    """Times every serializer on the workload. Loads share one record even when the
    workload is cold: a bytes object holds nothing a call could leave for the next, and
    every load makes new str objects anyway."""
    codecs = [our_codec(workload.container), *peers]
    dumped = {codec.name: [codec.dump(data) for data in calls_of(workload)]
              for codec in codecs}
    dump_args = dump_arguments(workload)
    dump = [Case(c.name, c.dump, dump_args) for c in codecs]
    load = [Case(c.name, c.load, load_arguments(workload, dumped[c.name])) for c in codecs]
    measure(dump, repeats, target)
    measure(load, repeats, target)
    sizes = {name: sum(map(len, records)) for name, records in dumped.items()}
    return Result(workload, sizes, dump, load)


def load_arguments(workload: Workload, records: list[Any]) -> Arguments:
    return EachInTurn(records) if workload.one_call_each else SameArgument(records[0])


def call_overhead(arguments: Arguments, target: float, repeats: int) -> float:
    """Seconds per call of the timing loop around a builtin that does nothing much."""
    loops = calibrate(id, arguments, target)
    return min(time_calls(id, arguments, loops) / loops for _ in range(repeats))


@dataclass
class Overheads:
    warm: float  # the same argument in every call
    cold: float  # an argument of its own in every call, from a list


def loop_overheads(target: float, repeats: int) -> Overheads:
    # A list of distinct objects, as a cold case iterates.
    return Overheads(call_overhead(SameArgument(None), target, repeats),
                     call_overhead(FreshCopies([], 10_000), target, repeats))


# ---------------------------------------------------------------------------
# Memory


@dataclass
class WriterPeak:
    workload: Workload
    record: int  # bytes of the record
    record_object: int  # sys.getsizeof of the record
    peak: int  # peak traced bytes during the dump, above those traced before it
    largest_entry: int  # bytes of the largest pair or item in the record


def traced_peak(func: Callable[[Any], Any], arg: Any) -> tuple[int, Any]:
    """The peak of the memory tracemalloc traces during func(arg), above what was traced
    before the call, and what func returned. tracemalloc sees what goes through
    CPython's allocators (PyMem, PyObject_Malloc), where bytes objects come from."""
    tracemalloc.start()
    try:
        before, _ = tracemalloc.get_traced_memory()
        result = func(arg)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    return peak - before, result


def largest_entry(dump: Callable[[Any], bytes], data: Any) -> int:
    """Bytes of the largest pair or item, written on its own."""
    if isinstance(data, dict):
        return max(len(dump({key: value})) for key, value in data.items())
    return max(len(dump([item])) for item in data)


def writer_peak(workload: Workload) -> WriterPeak:
    """Our writer's peak memory during one dump (of the largest record of a records
    workload); cold workloads dump a fresh copy."""
    dump = our_codec(workload.container).dump
    data = max(calls_of(workload), key=lambda d: len(dump(d)))
    peak, record = traced_peak(dump, fresh_copy(data) if workload.cold else data)
    return WriterPeak(workload, len(record), sys.getsizeof(record), peak,
                      largest_entry(dump, data))


# ---------------------------------------------------------------------------
# A process of its own

# Records at least this large go to blocks the C library maps apart, whose pages are
# fresh, and so slow, each time one is mapped anew.
LARGE_RECORD = 64 * 1024
OWN_PROCESS_CALLS = 20

OWN_PROCESS = """
import json, resource, sys, time
sys.path.insert(0, sys.argv[1])
import bench, workloads
workload = workloads.make_workload(sys.argv[2])
codec = next(c for c in [bench.our_codec(workload.container), *bench.peer_codecs()] if c.name == sys.argv[3])
data = bench.calls_of(workload)[0]
codec.dump(data)
faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
started = time.perf_counter()
for _ in range(int(sys.argv[4])):
    codec.dump(data)
elapsed = time.perf_counter() - started
faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults
print(json.dumps([elapsed, faults]))
"""


def own_process_dumps(workload: Workload, codec: str) -> tuple[float, float]:
    """Time and page faults per dump of one serializer alone in a new process, as a
    program that writes records of one size finds them; in the timed runs, every
    serializer meets the memory the others' calls left behind."""
    command = [sys.executable, "-c", OWN_PROCESS, str(Path(__file__).resolve().parent),
               workload.name, codec, str(OWN_PROCESS_CALLS)]
    elapsed, faults = json.loads(subprocess.run(command, check=True, capture_output=True,
                                                text=True).stdout)
    return elapsed / OWN_PROCESS_CALLS, faults / OWN_PROCESS_CALLS


def own_process_table(workloads: list[Workload], peers: list[Codec]) -> list[str]:
    """Per workload with a large record (warm, one call), every serializer's dump in a
    process of its own."""
    large = [w for w in workloads if not w.cold and not w.one_call_each
             and len(our_codec(w.container).dump(w.data)) >= LARGE_RECORD]
    names = [OURS, *(p.name for p in peers)]
    lines = [f"dumps of large records, each serializer alone in a process of its own: "
             f"time per call and page faults per call ({OWN_PROCESS_CALLS} calls)",
             f"  {'workload':<24} " + " ".join(f"{name:>17}" for name in names)]
    for workload in large:
        cells = [own_process_dumps(workload, name) for name in names]
        lines.append(f"  {workload.name:<24} " +
                     " ".join(f"{format_time(t):>9} {f:>7.1f}" for t, f in cells))
    return lines


# ---------------------------------------------------------------------------
# Reporting


def fastest_peer(cases: list[Case], rivals: tuple[str, ...] | None = None) -> Case:
    """The fastest of the other serializers, or of the rivals where a workload names
    them."""
    return min((c for c in cases if c.codec != OURS and (rivals is None or c.codec in rivals)),
               key=lambda c: c.median)


def format_time(seconds: float) -> str:
    for unit, scale in (("ns", 1e-9), ("µs", 1e-6), ("ms", 1e-3)):
        if seconds < 1000 * scale:
            value = seconds / scale
            return f"{value:.3g} {unit}" if value < 100 else f"{value:.0f} {unit}"
    return f"{seconds:.3g} s"


def direction_columns(case: Case, best: Case) -> str:
    ratio = case.median / best.median
    mark = "*" if case is best else " "
    return (f"{format_time(case.median):>9} {format_time(min(case.times)):>9} "
            f"{format_time(max(case.times)):>9} {ratio:>7.2f}{mark}")


def result_table(result: Result) -> list[str]:
    w = result.workload
    best_dump = fastest_peer(result.dump, w.rivals)
    best_load = fastest_peer(result.load, w.rivals)
    head = f"{'median':>9} {'min':>9} {'max':>9} {'ratio':>8}"
    lines = [f"{w.name}: {w.description}"]
    if w.one_call_each:
        lines.append(f"  one call per record; times per record, sizes of all "
                     f"{len(w.data):,} records")
    if w.rivals:
        lines.append(f"  ratios against {', '.join(w.rivals)} alone, which also write "
                     f"numbers as decimal text")
    arguments = result.dump[0].arguments
    if isinstance(arguments, FreshCopies):
        lines.append(f"  cold: every dump on a fresh copy, copies made in batches of "
                     f"{arguments.unit:,} before the clock starts; loads share one record")
    lines += [
        f"  {'':<16} {'size':>9} | {'dump':<38} | {'load':<38}",
        f"  {'serializer':<16} {'bytes':>9} | {head} | {head}",
    ]
    for dump, load in zip(result.dump, result.load):
        lines.append(f"  {dump.codec:<16} {result.sizes[dump.codec]:>9,} | "
                     f"{direction_columns(dump, best_dump)} | "
                     f"{direction_columns(load, best_load)}")
    return lines


DIRECTIONS = ("dump", "load")


@dataclass(frozen=True)
class Cell:
    """Ours against the other serializers in one direction on one workload."""
    workload: Workload
    direction: str  # "dump" or "load"
    cases: list[Case]  # ours first

    @property
    def name(self) -> str:
        return f"{self.workload.name} {self.direction}"

    @property
    def ours(self) -> Case:
        return self.cases[0]

    @property
    def fastest(self) -> Case:
        return fastest_peer(self.cases, self.workload.rivals)

    @property
    def ratio(self) -> float:
        """Our median time over the fastest other serializer's."""
        return self.ours.median / self.fastest.median

    @property
    def min_ratio(self) -> float:
        """The same by min, the repeat least disturbed by other work on the machine."""
        rivals = self.workload.rivals
        best_min = min(min(c.times) for c in self.cases
                       if c.codec != OURS and (rivals is None or c.codec in rivals))
        return min(self.ours.times) / best_min

    def ratio_to(self, codec: str) -> float | None:
        other = next((c for c in self.cases if c.codec == codec), None)
        return None if other is None else self.ours.median / other.median


def cells_of(results: list[Result]) -> list[Cell]:
    return [Cell(r.workload, direction, getattr(r, direction))
            for r in results for direction in DIRECTIONS]


def ratio_column(cell: Cell | None) -> str:
    if cell is None:
        return f"{'-':>6} {'':>6}  {'':<16}"
    return f"{cell.ratio:>6.2f} {cell.min_ratio:>6.2f}  {cell.fastest.codec:<16}"


def warm_and_cold_table(cells: list[Cell], direction: str) -> list[str]:
    """One row per data, the warm workload's ratio beside its cold variant's."""
    rows: dict[str, dict[bool, Cell]] = {}
    for cell in cells:
        if cell.direction == direction:
            rows.setdefault(cell.workload.warm_name, {})[cell.workload.cold] = cell
    lines = [f"  {direction:<20} {'warm':>6} {'(min)':>6}  {'fastest other':<16} "
             f"{'cold':>6} {'(min)':>6}  fastest other"]
    for name, pair in rows.items():
        lines.append(f"  {name:<20} {ratio_column(pair.get(False))} "
                     f"{ratio_column(pair.get(True))}".rstrip())
    return lines


def summary_table(cells: list[Cell]) -> list[str]:
    """Our ratios to the fastest other serializer, by median and by min, warm and cold
    side by side."""
    lines = [f"{OURS} against the fastest other serializer: time ratio by median and by "
             f"min (below 1: faster than all of them); cold: fresh str objects in every "
             f"call"]
    for direction in DIRECTIONS:
        lines += warm_and_cold_table(cells, direction)
    return lines


def baseline_table(cells: list[Cell]) -> list[str]:
    """Per cell, our time against pickle's and marshal's."""
    names = " and ".join(BASELINES)
    lines = [f"{OURS} against {names}: ratio of medians (below 1: {OURS} is faster)",
             f"  {'cell':<28} " + " ".join(f"{n:>9}" for n in BASELINES) +
             "  faster than both"]
    for cell in cells:
        ratios = [cell.ratio_to(name) for name in BASELINES]
        columns = " ".join(f"{r:>9.2f}" if r is not None else f"{'-':>9}" for r in ratios)
        verdict = "yes" if all(r is not None and r < 1 for r in ratios) else "no"
        lines.append(f"  {cell.name:<28} {columns}  {verdict}")
    return lines


def describe_ratio(label: str, cell: Cell) -> str:
    return (f"{label} ratio: {cell.ratio:.2f}, {cell.name} ({OURS} "
            f"{format_time(cell.ours.median)}, {cell.fastest.codec} "
            f"{format_time(cell.fastest.median)})")


def extreme_ratios(cells: list[Cell]) -> list[str]:
    """The best and, last, the worst of our ratios by median over all cells."""
    by_ratio = sorted(cells, key=lambda c: c.ratio)
    return [describe_ratio("best", by_ratio[0]), describe_ratio("worst", by_ratio[-1])]


def memory_table(peaks: list[WriterPeak]) -> list[str]:
    lines = [f"{OURS} writers' peak memory during one dump, as tracemalloc counts it above "
             f"what was traced before the call;",
             "beyond record: the peak less the returned record (its sys.getsizeof), to "
             "hold against the largest entry",
             f"  {'workload':<24} {'record':>10} {'peak':>10} {'peak/record':>11} "
             f"{'beyond record':>13} {'largest entry':>13}"]
    for p in peaks:
        lines.append(f"  {p.workload.name:<24} {p.record:>10,} {p.peak:>10,} "
                     f"{p.peak / p.record:>11.2f} {p.peak - p.record_object:>13,} "
                     f"{p.largest_entry:>13,}")
    return lines


def header(args: argparse.Namespace, peers: list[Codec], overheads: Overheads,
           load_before: tuple[float, ...], load_after: tuple[float, ...],
           elapsed: float) -> list[str]:
    versions = ", ".join(f"{p.name} ({p.version})" for p in peers)
    return [
        f"zav.serializer benchmark{' (quick run)' if args.quick else ''}, "
        f"{time.strftime('%Y-%m-%d %H:%M:%S %Z')}",
        f"python {platform.python_version()} {sys.implementation.cache_tag}, "
        f"{platform.machine()}, {os.cpu_count()} CPUs, "
        f"load average {load_before[0]:.2f} at the start and {load_after[0]:.2f} at the end",
        f"peers: {versions}",
        f"{args.repeat} repeats of about {args.target_ms:g} ms each per case, garbage "
        f"collector off while timing; workload seed {SEED}; run took {elapsed:.0f} s",
        f"timing loop and call overhead, included in every time: "
        f"{format_time(overheads.warm)} per call (warm), {format_time(overheads.cold)} "
        f"(cold, from a list)",
        "ratio: median time / median time of the fastest other serializer (marked *);",
        "json's size is in characters of its str, the others' in bytes",
    ]


@dataclass
class Bars:
    """One serializer's bars in one direction: ratios to the fastest other serializer
    at the median, and how far below and above it min and max reach."""
    ratios: list[float] = field(default_factory=list)
    below: list[float] = field(default_factory=list)
    above: list[float] = field(default_factory=list)


def bars(results: list[Result], direction: str, codec: str) -> Bars:
    out = Bars()
    for r in results:
        cases: list[Case] = getattr(r, direction)
        case = next(c for c in cases if c.codec == codec)
        best = fastest_peer(cases, r.workload.rivals).median
        out.ratios.append(case.median / best)
        out.below.append((case.median - min(case.times)) / best)
        out.above.append((max(case.times) - case.median) / best)
    return out


def plot(results: list[Result], path: Path, title: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib import ticker
    from matplotlib.patches import Patch

    names = [c.codec for c in results[0].dump]
    groups = [r.workload.name for r in results]
    width = 0.8 / len(names)
    colours = plt.get_cmap("tab10")
    fig, axes = plt.subplots(1, 2, figsize=(19, 6.5), sharey=True)
    lowest = 0.2
    for ax, direction in zip(axes, DIRECTIONS):
        for g, r in enumerate(results):
            if r.workload.cold:  # cold variants on a shaded ground, beside their warm twin
                ax.axvspan(g - 0.45, g + 0.45, color="#dde8f4", zorder=0)
        for i, name in enumerate(names):
            b = bars(results, direction, name)
            lowest = min(lowest, *(r - d for r, d in zip(b.ratios, b.below)))
            xs = [g + (i - (len(names) - 1) / 2) * width for g in range(len(groups))]
            ax.bar(xs, b.ratios, width, yerr=[b.below, b.above], capsize=2, label=name,
                   color=colours(i), edgecolor="black" if name == OURS else "none",
                   linewidth=1.2, hatch="//" if name == OURS else None, zorder=2)
        ax.axhline(1.0, color="grey", linewidth=0.8, linestyle="--")
        ax.set_yscale("log")
        ax.yaxis.set_major_locator(ticker.LogLocator(subs=(1.0, 2.0, 5.0)))
        ax.yaxis.set_major_formatter(ticker.FormatStrFormatter("%g"))
        ax.yaxis.set_minor_formatter(ticker.NullFormatter())
        ax.set_xticks(range(len(groups)), groups, rotation=25, ha="right")
        ax.set_title(direction)
        ax.grid(axis="y", which="both", alpha=0.3)
    axes[0].set_ylim(bottom=lowest * 0.8)  # the bars start at the bottom of the axis
    axes[0].set_ylabel("time / fastest other serializer (log; bars: median, min to max)")
    handles, labels = axes[0].get_legend_handles_labels()
    handles.append(Patch(color="#dde8f4"))
    labels.append("cold: fresh str objects in every call")
    fig.legend(handles, labels, loc="lower center", ncol=len(labels), fontsize="small")
    fig.suptitle(title, fontsize="medium")
    fig.tight_layout(rect=(0, 0.05, 1, 1))
    fig.savefig(path, dpi=100)
    plt.close(fig)


# ---------------------------------------------------------------------------


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="a fast run: 3 repeats of about 5 ms per case")
    parser.add_argument("--repeat", type=int, default=None,
                        help="repeats per case (default 9, or 3 with --quick)")
    parser.add_argument("--target-ms", type=float, default=None,
                        help="time of one repeat in ms (default 25, or 5 with --quick)")
    parser.add_argument("--workload", action="append", default=None, metavar="NAME",
                        help="only this workload (repeatable)")
    parser.add_argument("--output-dir", type=Path, default=HERE,
                        help="where results.txt and results.png go (default: %(default)s)")
    parser.add_argument("--no-files", action="store_true",
                        help="print the table only")
    parser.add_argument("--runs", type=int, default=None,
                        help="whole runs, whose ratios the summary gives the median of "
                             "(default 3, or 1 with --quick)")
    parser.add_argument("--simdutf", action="append", default=None, metavar="LEVEL",
                        help="also time every run with simdutf's kernels of this level "
                             "forced (SIMDUTF_FORCE_IMPLEMENTATION), in a process of its "
                             "own (repeatable; default haswell, none with --quick)")
    parser.add_argument("--ratios-only", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.repeat is None:
        args.repeat = 3 if args.quick else 9
    if args.target_ms is None:
        args.target_ms = 5.0 if args.quick else 25.0
    if args.runs is None:
        args.runs = 1 if args.quick else 3
    if args.simdutf is None:
        args.simdutf = [] if args.quick or args.ratios_only else ["haswell"]
    if args.repeat < 1 or args.target_ms <= 0 or args.runs < 1:
        parser.error("--repeat, --target-ms and --runs must be positive")
    return args


def select_workloads(names: list[str] | None) -> list[Workload]:
    """The workloads of the run, all of them without names; SystemExit for an unknown
    name."""
    workloads = make_workloads()
    if not names:
        return workloads
    unknown = set(names) - {w.name for w in workloads}
    if unknown:
        known = ", ".join(w.name for w in workloads)
        print(f"unknown workload {', '.join(sorted(unknown))}; known: {known}",
              file=sys.stderr)
        raise SystemExit(2)
    return [w for w in workloads if w.name in names]


@dataclass
class Run:
    overheads: Overheads
    results: list[Result]
    elapsed: float  # seconds
    load_before: tuple[float, ...]
    load_after: tuple[float, ...]


def time_all(workloads: list[Workload], peers: list[Codec], repeats: int,
             target: float) -> Run:
    """Times every case with the garbage collector off."""
    load_before = os.getloadavg()
    started = time.perf_counter()
    gc_was_enabled = gc.isenabled()
    gc.collect()
    gc.disable()
    try:
        overheads = loop_overheads(target, repeats)
        results = []
        for workload in workloads:
            print(f"timing {workload.name} ...", file=sys.stderr, flush=True)
            results.append(bench_workload(workload, peers, repeats, target))
    finally:
        if gc_was_enabled:
            gc.enable()
    return Run(overheads, results, time.perf_counter() - started, load_before,
               os.getloadavg())


# Cell name -> our ratio to the fastest other serializer (or rival) in each run.
RunRatios = dict[str, list[float]]


def ratios_of(runs: list[Run]) -> RunRatios:
    ratios: RunRatios = {}
    for run in runs:
        for cell in cells_of(run.results):
            ratios.setdefault(cell.name, []).append(cell.ratio)
    return ratios


def runs_table(title: str, ratios: RunRatios) -> list[str]:
    """Per cell, the ratio of every run and their median, the figure that counts."""
    count = len(next(iter(ratios.values())))
    lines = [title,
             f"  {'cell':<30} " + " ".join(f"{f'run {i + 1}':>6}" for i in range(count)) +
             f" {'median':>7}"]
    for name, values in ratios.items():
        lines.append(f"  {name:<30} " + " ".join(f"{v:>6.2f}" for v in values) +
                     f" {statistics.median(values):>7.2f}")
    worst = max(ratios, key=lambda name: statistics.median(ratios[name]))
    lines.append(f"  worst median: {statistics.median(ratios[worst]):.2f}, {worst}")
    return lines


def forced_ratios(args: argparse.Namespace, level: str) -> RunRatios:
    """The run ratios of every cell with simdutf's kernels of one level forced: they
    are chosen once per process, so the runs go to a process of their own."""
    command = [sys.executable, __file__, "--ratios-only", "--runs", str(args.runs),
               "--repeat", str(args.repeat), "--target-ms", str(args.target_ms)]
    for name in args.workload or []:
        command += ["--workload", name]
    print(f"timing with simdutf's {level} kernels forced ...", file=sys.stderr, flush=True)
    env = dict(os.environ, SIMDUTF_FORCE_IMPLEMENTATION=level)
    out = subprocess.run(command, env=env, check=True, capture_output=True, text=True)
    ratios: RunRatios = json.loads(out.stdout)
    return ratios


def report_lines(args: argparse.Namespace, peers: list[Codec], runs: list[Run],
                 peaks: list[WriterPeak], forced: dict[str, RunRatios],
                 alone: list[str]) -> list[str]:
    """The whole report: the last run in full, then the ratios of every run; the worst
    ratio comes last."""
    run = runs[-1]
    cells = cells_of(run.results)
    lines = header(args, peers, run.overheads, run.load_before, run.load_after,
                   run.elapsed)
    lines.append(f"the tables show the last of {len(runs)} runs; the table of runs "
                 f"after them gives every run's ratios and their median")
    for result in run.results:
        lines += ["", *result_table(result)]
    for block in (memory_table(peaks), alone, baseline_table(cells), summary_table(cells),
                  extreme_ratios(cells)):
        lines += ["", *block]
    lines += ["", *runs_table(f"{OURS} against the fastest other serializer, native "
                              f"kernels: ratio of medians in each run", ratios_of(runs))]
    for level, ratios in forced.items():
        lines += ["", *runs_table(f"the same with simdutf's {level} kernels forced "
                                  f"(SIMDUTF_FORCE_IMPLEMENTATION={level})", ratios)]
    return lines


def write_files(output_dir: Path, text: str, run: Run, title: str) -> None:
    output_dir.mkdir(parents=True, exist_ok=True)
    (output_dir / "results.txt").write_text(text, encoding="utf-8")
    plot(run.results, output_dir / "results.png", title)
    print(f"wrote {output_dir / 'results.txt'} and {output_dir / 'results.png'}",
          file=sys.stderr)


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    workloads = select_workloads(args.workload)
    peers = peer_codecs()

    problems = check_round_trips(workloads, peers)
    if problems:
        print("round trip failed, nothing timed:", *problems, sep="\n  ", file=sys.stderr)
        return 1

    runs = [time_all(workloads, peers, args.repeat, args.target_ms / 1000)
            for _ in range(args.runs)]
    if args.ratios_only:
        print(json.dumps(ratios_of(runs)))
        return 0
    forced = {level: forced_ratios(args, level) for level in args.simdutf}
    # Measured after the timing, as tracemalloc slows every allocation while it runs.
    peaks = [writer_peak(w) for w in workloads]
    alone = own_process_table(workloads, peers)
    lines = report_lines(args, peers, runs, peaks, forced, alone)
    text = "\n".join(lines) + "\n"
    print(text, end="")
    if not args.no_files:
        write_files(args.output_dir, text, runs[-1], f"{lines[0]}; {lines[1]}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
