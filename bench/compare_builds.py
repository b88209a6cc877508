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
"""
from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from workloads import WORKLOADS  # noqa: E402

CHILD = """
import importlib.util, json, pickle, sys, sysconfig
sys.path.insert(0, sys.argv[1])
import bench, workloads
from bench import Codec

def serializer_of(folder):
    path = f"{folder}/zav/serializer{sysconfig.get_config_var('EXT_SUFFIX')}"
    spec = importlib.util.spec_from_file_location("serializer", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module

def codec_of(module, container):
    if container == "dict":
        return Codec(bench.OURS, module._serialize_dict, module._deserialize_dict, "")
    return Codec(bench.OURS, module._serialize_list, module._deserialize_list, "")

workload = workloads.make_workload(sys.argv[2])
if not workload.cold:
    pickle.dumps(workload.data)  # warm as in bench.py, where the peers leave UTF-8 copies
rounds = int(sys.argv[3])
codecs = [codec_of(serializer_of(folder), workload.container) for folder in sys.argv[4:6]]
records = [codecs[0].dump(x) for x in bench.calls_of(workload)]
if records != [codecs[1].dump(x) for x in bench.calls_of(workload)]:
    raise SystemExit("the two builds write different records")
result = {}
for direction in ("dump", "load"):
    cases = []
    for codec in codecs:
        func = codec.dump if direction == "dump" else codec.load
        arguments = bench.dump_arguments(workload) if direction == "dump" else bench.load_arguments(workload, records)
        cases.append((func, arguments, bench.calibrate(func, arguments, 0.01)))
    times = [[], []]
    for _ in range(rounds):
        for build, (func, arguments, loops) in enumerate(cases):
            times[build].append(min(bench.time_calls(func, arguments, loops) / loops for _ in range(3)))
    result[direction] = times
print(json.dumps(result))
"""


def time_builds(a: Path, b: Path, workload: str, rounds: int) -> dict[str, list[list[float]]]:
    """Per direction, the time of a call of each build (A, then B) in every round."""
    out = subprocess.run([sys.executable, "-c", CHILD, str(HERE), workload, str(rounds), str(a), str(b)],
                         check=True, capture_output=True, text=True).stdout
    times: dict[str, list[list[float]]] = json.loads(out)
    return times


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("a", type=Path)
    parser.add_argument("b", type=Path)
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--workload", action="append", choices=list(WORKLOADS))
    args = parser.parse_args()
    print(f"A: {args.a}\nB: {args.b}\n{args.rounds} rounds\n"
          f"{'workload':<26} {'direction':<9} {'A median':>10} {'B median':>10} {'B/A':>6} {'by min':>7}")
    for name in args.workload or WORKLOADS:
        for direction, (a, b) in time_builds(args.a, args.b, name, args.rounds).items():
            a_median, b_median = statistics.median(a), statistics.median(b)
            print(f"{name:<26} {direction:<9} {a_median * 1e6:>8.2f}µs {b_median * 1e6:>8.2f}µs "
                  f"{b_median / a_median:>6.2f} {min(b) / min(a):>7.2f}", flush=True)


if __name__ == "__main__":
    main()
