"""Two builds of the module timed against each other on the benchmark's workloads.

    ./dev run python3.14 bench/compare_builds.py A_DIR B_DIR [--rounds 5] [--workload NAME ...]

Each DIR holds a `zav` package with its built modules (copies of zav/ after two builds,
say one plain and one with profile-guided optimisation). Every workload's dump and load
are timed in a fresh process per build and round, the two builds in turn, so that both
meet the same drift of a shared machine; bench.py's argument sources, calibration and
timing are used as they are. The table gives each build's median over the rounds and
B's time as a fraction of A's; no peer is timed.
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
import json, sys
sys.path.insert(0, sys.argv[1])
import bench, workloads
workload = workloads.make_workload(sys.argv[2])
codec = bench.our_codec(workload.container)
dumps = bench.dump_arguments(workload)
loads = bench.load_arguments(workload, [codec.dump(x) for x in bench.calls_of(workload)])
result = {}
for direction, func, arguments in (("dump", codec.dump, dumps), ("load", codec.load, loads)):
    loops = bench.calibrate(func, arguments, 0.01)
    times = [bench.time_calls(func, arguments, loops) / loops for _ in range(5)]
    result[direction] = sorted(times)[len(times) // 2]
print(json.dumps(result))
"""


def time_build(folder: Path, workload: str) -> dict[str, float]:
    env = dict(os.environ, PYTHONPATH=str(folder))
    out = subprocess.run([sys.executable, "-c", CHILD, str(HERE), workload], env=env, check=True,
                         capture_output=True, text=True).stdout
    times: dict[str, float] = json.loads(out)
    return times


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("a", type=Path)
    parser.add_argument("b", type=Path)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--workload", action="append", choices=list(WORKLOADS))
    args = parser.parse_args()
    print(f"A: {args.a}\nB: {args.b}\n{'workload':<26} {'direction':<5} {'A':>10} {'B':>10} {'B/A':>6}   rounds (B/A)")
    for name in args.workload or WORKLOADS:
        runs: dict[str, list[tuple[float, float]]] = {"dump": [], "load": []}
        for _ in range(args.rounds):
            a, b = time_build(args.a, name), time_build(args.b, name)
            for direction in runs:
                runs[direction].append((a[direction], b[direction]))
        for direction, pairs in runs.items():
            a_median = statistics.median(a for a, _ in pairs)
            b_median = statistics.median(b for _, b in pairs)
            each = " ".join(f"{b / a:.2f}" for a, b in pairs)
            print(f"{name:<26} {direction:<5} {a_median * 1e6:>8.2f}µs {b_median * 1e6:>8.2f}µs "
                  f"{b_median / a_median:>6.2f}   {each}", flush=True)


if __name__ == "__main__":
    main()
