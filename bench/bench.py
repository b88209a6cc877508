"""Times the record functions of zav.serializer against other serializers.

Every serializer dumps and loads the same workloads in one run; the table gives the
time per call (median, min and max over the repeats) and its ratio to the fastest
other serializer, for dumping and loading separately. The table is printed and
written to results.txt, and drawn as a bar chart in results.png.

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
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from workloads import SEED, Workload, make_workloads

import zav.serializer as serializer

OURS = "zav"
HERE = Path(__file__).resolve().parent


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
        import msgpack
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


def our_codec(kind: str) -> Codec:
    if kind == "dict":
        return Codec(OURS, serializer._serialize_dict, serializer._deserialize_dict, "")
    return Codec(OURS, serializer._serialize_list, serializer._deserialize_list, "")


# ---------------------------------------------------------------------------
# Round trip


def round_trip_problem(codec: Codec, workload: Workload) -> str | None:
    """What is wrong with loading what the codec dumped, or None when nothing is."""
    try:
        back = codec.load(codec.dump(workload.data))
    except Exception as exc:  # reported, then the run stops
        return f"raised {type(exc).__name__}: {exc}"
    if type(back) is not type(workload.data):
        return f"gave back a {type(back).__name__}"
    if codec.name == OURS:
        values = back.values() if isinstance(back, dict) else back
        strays = {type(v).__name__ for v in values if type(v) is not str}
        if strays:
            return f"gave back values of type {', '.join(sorted(strays))}, not str"
    if back != workload.data:
        return "gave back different data"
    return None


def check_round_trips(workloads: list[Workload], peers: list[Codec]) -> list[str]:
    problems = []
    for workload in workloads:
        for codec in [our_codec(workload.kind), *peers]:
            problem = round_trip_problem(codec, workload)
            if problem:
                problems.append(f"{codec.name} on {workload.name}: {problem}")
    return problems


# ---------------------------------------------------------------------------
# Timing


def run_loops(func: Callable[[Any], Any], arg: Any, loops: int) -> float:
    """Seconds taken by `loops` calls of func(arg)."""
    calls = itertools.repeat(arg, loops)
    start = time.perf_counter()
    for x in calls:
        func(x)
    return time.perf_counter() - start


def calibrate(func: Callable[[Any], Any], arg: Any, target: float) -> int:
    """The number of loops, 1, 2, 5, 10, 20, 50, ..., that takes at least `target`
    seconds, as timeit's autorange picks it."""
    scale = 1
    while True:
        for base in (1, 2, 5):
            loops = base * scale
            if run_loops(func, arg, loops) >= target:
                return loops
        scale *= 10


@dataclass
class Case:
    """One serializer in one direction on one workload."""
    codec: str
    func: Callable[[Any], Any]
    arg: Any
    loops: int = 0
    times: list[float] = field(default_factory=list)  # seconds per call, one per repeat

    @property
    def median(self) -> float:
        return statistics.median(self.times)


def measure(cases: list[Case], repeats: int, target: float) -> None:
    """Fills in the times. The repeats go round all cases in turn, so that a burst of
    load from elsewhere on the machine falls on all of them alike."""
    for case in cases:
        case.loops = calibrate(case.func, case.arg, target)
    for _ in range(repeats):
        for case in cases:
            case.times.append(run_loops(case.func, case.arg, case.loops) / case.loops)


@dataclass
class Result:
    workload: Workload
    sizes: dict[str, int]  # codec name -> bytes (or characters, for json) dumped
    dump: list[Case]
    load: list[Case]


def bench_workload(workload: Workload, peers: list[Codec], repeats: int,
                   target: float) -> Result:
    codecs = [our_codec(workload.kind), *peers]
    dumped = {codec.name: codec.dump(workload.data) for codec in codecs}
    dump = [Case(c.name, c.dump, workload.data) for c in codecs]
    load = [Case(c.name, c.load, dumped[c.name]) for c in codecs]
    measure(dump, repeats, target)
    measure(load, repeats, target)
    return Result(workload, {name: len(data) for name, data in dumped.items()}, dump, load)


def call_overhead(target: float, repeats: int) -> float:
    """Seconds per call of the timing loop around a builtin that does nothing much."""
    loops = calibrate(id, None, target)
    return min(run_loops(id, None, loops) / loops for _ in range(repeats))


# ---------------------------------------------------------------------------
# Reporting


def fastest_peer(cases: list[Case]) -> Case:
    return min((c for c in cases if c.codec != OURS), key=lambda c: c.median)


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
    best_dump = fastest_peer(result.dump)
    best_load = fastest_peer(result.load)
    head = f"{'median':>9} {'min':>9} {'max':>9} {'ratio':>8}"
    lines = [
        f"{w.name}: {w.description}",
        f"  {'':<16} {'size':>9} | {'dump':<38} | {'load':<38}",
        f"  {'serializer':<16} {'bytes':>9} | {head} | {head}",
    ]
    for dump, load in zip(result.dump, result.load):
        lines.append(f"  {dump.codec:<16} {result.sizes[dump.codec]:>9,} | "
                     f"{direction_columns(dump, best_dump)} | "
                     f"{direction_columns(load, best_load)}")
    return lines


def summary_table(results: list[Result]) -> list[str]:
    """Our ratios to the fastest other serializer, by median and by min (the repeat
    least disturbed by other work on the machine)."""
    lines = [f"{OURS} against the fastest other serializer: time ratio by median and by "
             f"min (below 1: faster than all of them)",
             f"  {'workload':<18} {'dump':>6} {'(min)':>6}  {'fastest peer':<16} "
             f"{'load':>6} {'(min)':>6}  fastest peer"]
    for r in results:
        cells = []
        for cases in (r.dump, r.load):
            ours, best = cases[0], fastest_peer(cases)
            best_min = min(min(c.times) for c in cases if c.codec != OURS)
            cells.append(f"{ours.median / best.median:>6.2f} "
                         f"{min(ours.times) / best_min:>6.2f}  {best.codec:<16}")
        lines.append(f"  {r.workload.name:<18} {cells[0]} {cells[1]}".rstrip())
    return lines


def header(args: argparse.Namespace, peers: list[Codec], overhead: float,
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
        f"timing loop and call overhead, included in every time: {format_time(overhead)} "
        f"per call",
        "ratio: median time / median time of the fastest other serializer (marked *);",
        "json's size is in characters of its str, the others' in bytes",
    ]


def plot(results: list[Result], path: Path, title: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib import ticker

    names = [c.codec for c in results[0].dump]
    groups = [r.workload.name for r in results]
    width = 0.8 / len(names)
    colours = plt.get_cmap("tab10")
    fig, axes = plt.subplots(1, 2, figsize=(15, 5.5), sharey=True)
    for ax, direction in zip(axes, ("dump", "load")):
        for i, name in enumerate(names):
            ratios, low, high = [], [], []
            for r in results:
                cases: list[Case] = getattr(r, direction)
                case = next(c for c in cases if c.codec == name)
                best = fastest_peer(cases).median
                ratios.append(case.median / best)
                low.append(case.median / best - min(case.times) / best)
                high.append(max(case.times) / best - case.median / best)
            xs = [g + (i - (len(names) - 1) / 2) * width for g in range(len(groups))]
            ax.bar(xs, ratios, width, yerr=[low, high], capsize=2, label=name,
                   color=colours(i), edgecolor="black" if name == OURS else "none",
                   linewidth=1.2, hatch="//" if name == OURS else None)
        ax.axhline(1.0, color="grey", linewidth=0.8, linestyle="--")
        ax.set_yscale("log")
        ax.set_ylim(bottom=0.2)  # the bars start at the bottom of the axis
        ax.yaxis.set_major_locator(ticker.LogLocator(subs=(1.0, 2.0, 5.0)))
        ax.yaxis.set_major_formatter(ticker.FormatStrFormatter("%g"))
        ax.yaxis.set_minor_formatter(ticker.NullFormatter())
        ax.set_xticks(range(len(groups)), groups, rotation=15)
        ax.set_title(direction)
        ax.grid(axis="y", which="both", alpha=0.3)
    axes[0].set_ylabel("time / fastest other serializer (log; bars: median, min to max)")
    handles, labels = axes[0].get_legend_handles_labels()
    fig.legend(handles, labels, loc="lower center", ncol=len(names), fontsize="small")
    fig.suptitle(title, fontsize="medium")
    fig.tight_layout(rect=(0, 0.06, 1, 1))
    fig.savefig(path, dpi=110)
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
    args = parser.parse_args(argv)
    if args.repeat is None:
        args.repeat = 3 if args.quick else 9
    if args.target_ms is None:
        args.target_ms = 5.0 if args.quick else 25.0
    if args.repeat < 1 or args.target_ms <= 0:
        parser.error("--repeat and --target-ms must be positive")
    return args


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    workloads = make_workloads()
    if args.workload:
        unknown = set(args.workload) - {w.name for w in workloads}
        if unknown:
            known = ", ".join(w.name for w in workloads)
            print(f"unknown workload {', '.join(sorted(unknown))}; known: {known}",
                  file=sys.stderr)
            return 2
        workloads = [w for w in workloads if w.name in args.workload]
    peers = peer_codecs()

    problems = check_round_trips(workloads, peers)
    if problems:
        print("round trip failed, nothing timed:", *problems, sep="\n  ", file=sys.stderr)
        return 1

    target = args.target_ms / 1000
    load_before = os.getloadavg()
    started = time.perf_counter()
    gc_was_enabled = gc.isenabled()
    gc.collect()
    gc.disable()
    try:
        overhead = call_overhead(target, args.repeat)
        results = []
        for workload in workloads:
            print(f"timing {workload.name} ...", file=sys.stderr, flush=True)
            results.append(bench_workload(workload, peers, args.repeat, target))
    finally:
        if gc_was_enabled:
            gc.enable()
    elapsed = time.perf_counter() - started

    lines = header(args, peers, overhead, load_before, os.getloadavg(), elapsed)
    for result in results:
        lines += ["", *result_table(result)]
    lines += ["", *summary_table(results)]
    text = "\n".join(lines) + "\n"
    print(text, end="")

    if not args.no_files:
        args.output_dir.mkdir(parents=True, exist_ok=True)
        (args.output_dir / "results.txt").write_text(text, encoding="utf-8")
        plot(results, args.output_dir / "results.png",
             f"{lines[0]}; {lines[1]}")
        print(f"wrote {args.output_dir / 'results.txt'} and "
              f"{args.output_dir / 'results.png'}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
