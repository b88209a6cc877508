"""Two builds of the module timed against each other on the benchmark's workloads.

    ./dev run python3.14 bench/compare_builds.py A_DIR B_DIR [--rounds 5] [--workload NAME ...]

Each DIR holds a `zav` package with its built modules (copies of zav/ after two builds,
say one with a change and one without). For each workload a fresh process loads the
serializer module of both builds from their files and times them in turn, round after
round, with bench.py's argument sources, calibration and timing: the two meet the same
drift of a shared machine within milliseconds, where processes started one after the
other meet it seconds apart and scatter by tens of percent. The table gives each
build's median and fastest time over the rounds and B's time as a fraction of A's by
both; no peer is timed.

Two builds in one process may also meet each other: their code and their caches share
the processor's predictors and caches. With --apart each build is timed in processes of
its own instead, against marshal timed in the same rounds as the yardstick that cancels
the drift, as bench.py's ratios do; the processes alternate in order, and the table gives
the median and the range of B's ratio over A's, pair by pair. With --in-bench each build
runs bench.py itself in turn, every peer timed beside it as in the benchmark's own runs,
and the table gives B's ratio to the fastest peer over A's, per cell and kernel level.
"""
from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from workloads import WORKLOADS  # noqa: E402

CHILD = """
import importlib.util, json, marshal, pickle, sys, sysconfig
sys.path.insert(0, sys.argv[1])
import bench, workloads
from bench import Codec

def serializer_of(folder):
    path = f"{folder}/zav/serializer{sysconfig.get_config_var('EXT_SUFFIX')}"
    spec = importlib.util.spec_from_file_location("serializer", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module

def codec_of(kind, container):
    if kind == "marshal":
        return Codec("marshal", marshal.dumps, marshal.loads, "")
    module = serializer_of(kind)
    if container == "dict":
        return Codec(bench.OURS, module._serialize_dict, module._deserialize_dict, "")
    return Codec(bench.OURS, module._serialize_list, module._deserialize_list, "")

workload = workloads.make_workload(sys.argv[2])
if not workload.cold:
    pickle.dumps(workload.data)  # warm as in bench.py, where the peers leave UTF-8 copies
rounds = int(sys.argv[3])
codecs = [codec_of(kind, workload.container) for kind in sys.argv[4:6]]
records = [[codec.dump(x) for x in bench.calls_of(workload)] for codec in codecs]
if all(codec.name == bench.OURS for codec in codecs) and records[0] != records[1]:
    raise SystemExit("the two builds write different records")
result = {}
for direction in ("dump", "load"):
    cases = []
    for codec, written in zip(codecs, records):
        func = codec.dump if direction == "dump" else codec.load
        arguments = bench.dump_arguments(workload) if direction == "dump" else bench.load_arguments(workload, written)
        cases.append((func, arguments, bench.calibrate(func, arguments, 0.01)))
    times = [[], []]
    for _ in range(rounds):
        for build, (func, arguments, loops) in enumerate(cases):
            times[build].append(min(bench.time_calls(func, arguments, loops) / loops for _ in range(3)))
    result[direction] = times
print(json.dumps(result))
"""


def time_pair(first: str, second: str, workload: str, rounds: int) -> dict[str, list[list[float]]]:
    """Per direction, the time of a call of the first and the second (a build's folder,
    or marshal) in every round, timed in turn in one process."""
    out = subprocess.run([sys.executable, "-c", CHILD, str(HERE), workload, str(rounds), first, second],
                         check=True, capture_output=True, text=True).stdout
    times: dict[str, list[list[float]]] = json.loads(out)
    return times


def ratio_to_marshal(build: Path, workload: str, rounds: int) -> dict[str, float]:
    """Per direction, the build's fastest round over marshal's, in a process of its own."""
    times = time_pair(str(build), "marshal", workload, rounds)
    return {direction: min(ours) / min(yardstick) for direction, (ours, yardstick) in times.items()}


def compare_together(a: Path, b: Path, name: str, rounds: int) -> None:
    for direction, (a_times, b_times) in time_pair(str(a), str(b), name, rounds).items():
        a_median, b_median = statistics.median(a_times), statistics.median(b_times)
        print(f"{name:<26} {direction:<9} {a_median * 1e6:>8.2f}µs {b_median * 1e6:>8.2f}µs "
              f"{b_median / a_median:>6.2f} {min(b_times) / min(a_times):>7.2f}", flush=True)


def compare_apart(a: Path, b: Path, name: str, rounds: int, pairs: int) -> None:
    quotients: dict[str, list[float]] = {"dump": [], "load": []}
    for pair in range(pairs):
        order = (a, b) if pair % 2 == 0 else (b, a)
        ratios = {build: ratio_to_marshal(build, name, rounds) for build in order}
        for direction, found in quotients.items():
            found.append(ratios[b][direction] / ratios[a][direction])
    for direction, found in quotients.items():
        print(f"{name:<26} {direction:<9} {statistics.median(found):>6.2f} "
              f"{min(found):>6.2f} {max(found):>6.2f}", flush=True)


def bench_ratios(build: Path, names: list[str]) -> dict[str, float]:
    """Per table row of bench.py's runs tables ("native" or a forced kernel level, then
    the cell), the build's ratio to the fastest peer in one whole run of bench.py."""
    command = [sys.executable, str(HERE / "bench.py"), "--no-files", "--runs", "1"]
    for name in names:
        command += ["--workload", name]
    env = dict(os.environ, PYTHONPATH=str(build.resolve()))
    out = subprocess.run(command, env=env, check=True, capture_output=True, text=True).stdout
    ratios: dict[str, float] = {}
    table = ""
    for line in out.splitlines():
        if "kernels: ratio of medians in each run" in line:
            table = "native"
        elif "kernels forced" in line:
            table = line.split("simdutf's ")[1].split()[0]
        elif table and line.startswith("  worst median"):
            table = ""
        elif table and line.split()[:1] != ["cell"] and len(line.split()) == 4:
            workload, direction, ratio, _ = line.split()
            ratios[f"{table} {workload} {direction}"] = float(ratio)
    return ratios


def compare_in_bench(a: Path, b: Path, names: list[str], pairs: int) -> None:
    quotients: dict[str, list[float]] = {}
    for pair in range(pairs):
        order = (a, b) if pair % 2 == 0 else (b, a)
        ratios = {build: bench_ratios(build, names) for build in order}
        for row, ratio in ratios[b].items():
            quotients.setdefault(row, []).append(ratio / ratios[a][row])
    for row, found in quotients.items():
        print(f"{row:<40} {statistics.median(found):>6.2f} {min(found):>6.2f} {max(found):>6.2f}", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("a", type=Path)
    parser.add_argument("b", type=Path)
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--workload", action="append", choices=list(WORKLOADS))
    parser.add_argument("--apart", type=int, default=0, metavar="PAIRS",
                        help="time each build in processes of its own, this many of each, against marshal")
    parser.add_argument("--in-bench", type=int, default=0, metavar="PAIRS",
                        help="run bench.py with each build in turn, this many times each, with every "
                             "peer as it times them, and compare the ratios to the fastest peer")
    args = parser.parse_args()
    if args.in_bench:
        print(f"A: {args.a}\nB: {args.b}\n{args.in_bench} runs of bench.py each, B's ratio to the fastest "
              f"peer over A's\n{'kernels, cell':<40} {'median':>6} {'min':>6} {'max':>6}")
        compare_in_bench(args.a, args.b, args.workload or list(WORKLOADS), args.in_bench)
        return
    print(f"A: {args.a}\nB: {args.b}\n{args.rounds} rounds")
    if args.apart:
        print(f"{args.apart} processes each, B's ratio to marshal over A's\n"
              f"{'workload':<26} {'direction':<9} {'median':>6} {'min':>6} {'max':>6}")
    else:
        print(f"{'workload':<26} {'direction':<9} {'A median':>10} {'B median':>10} {'B/A':>6} {'by min':>7}")
    for name in args.workload or WORKLOADS:
        if args.apart:
            compare_apart(args.a, args.b, name, args.rounds, args.apart)
        else:
            compare_together(args.a, args.b, name, args.rounds)


if __name__ == "__main__":
    main()
