"""Streams of records: zav.stream against the record functions called by hand and
against the peers' own ways of putting many records in one file.

    ./dev run python3.14 bench/stream_bench.py [--runs 3] [--rounds 7] [--memory-mib 256]

Reading: a file of many small records read through `read_dicts`, against reading the
file whole and calling `_deserialize_dict` on each record of `_deserialize_list(data,
False)` ("by hand"), msgpack's streaming Unpacker over the file and repeated
`pickle.load`. Writing: `write_dicts` against serializing each record and writing the
stream in one `write` ("by hand"), and msgpack and pickle writing the records one by
one to the same kind of file. Each case opens its file anew; the cases of a workload
run in interleaved rounds, and a run's figure is the median of its rounds. The table
gives the median of the runs' figures, and each time as a ratio to "by hand".

Memory: a stream of at least --memory-mib MiB of small records is written to a file,
then read through `read_dicts` in a fresh process, once with tracemalloc tracing (the
peak of traced memory above what was traced before) and once without (the peak RSS
above the RSS before reading).
"""
from __future__ import annotations

import argparse
import itertools
import os
import pickle
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))
from workloads import real_records  # noqa: E402

import zav.serializer as serializer  # noqa: E402
from zav import stream  # noqa: E402

try:
    import msgpack
except ImportError:  # the peers are optional
    msgpack = None


def events(count: int) -> list[dict[str, Any]]:
    """Small event records of one schema, as a log holds them."""
    kinds = ["click", "view", "buy", "leave"]
    return [{"id": i, "kind": kinds[i % 4], "user": f"u{i * 7919 % 100000}", "ts": 1_700_000_000 + i,
             "ok": i % 3 != 0} for i in range(count)]


def packages(count: int) -> list[dict[str, str]]:
    records = real_records("packages")
    return list(itertools.islice(itertools.cycle(records), count))


WORKLOADS: dict[str, Callable[[int], list[dict[str, Any]]]] = {
    "events-100000": lambda _: events(100_000),
    "packages-20000": lambda _: packages(20_000),
}


# ---------------------------------------------------------------------------
# Cases: each takes the folder and returns a callable that does the work once.

def read_cases(path: Path, pickle_path: Path, msgpack_path: Path) -> dict[str, Callable[[], Any]]:
    def ours() -> None:
        with open(path, "rb") as file:
            for _ in stream.read_dicts(file):
                pass

    def by_hand() -> None:
        with open(path, "rb") as file:
            data = file.read()
        for record in serializer._deserialize_list(data, False):
            serializer._deserialize_dict(record)

    def pickled() -> None:
        with open(pickle_path, "rb") as file:
            try:
                while True:
                    pickle.load(file)
            except EOFError:
                pass

    cases = {"zav.stream": ours, "by hand": by_hand, "pickle.load": pickled}
    if msgpack is not None:
        def unpacker() -> None:
            with open(msgpack_path, "rb") as file:
                for _ in msgpack.Unpacker(file):
                    pass
        cases["msgpack.Unpacker"] = unpacker
    return cases


def write_cases(records: list[dict[str, Any]], folder: Path) -> dict[str, Callable[[], Any]]:
    def ours() -> None:
        with open(folder / "w-zav", "wb") as file:
            stream.write_dicts(file, records)

    def by_hand() -> None:
        with open(folder / "w-hand", "wb") as file:
            file.write(serializer._serialize_list([serializer._serialize_dict(d) for d in records]))

    def pickled() -> None:
        with open(folder / "w-pickle", "wb") as file:
            for d in records:
                pickle.dump(d, file, protocol=5)

    cases = {"zav.stream": ours, "by hand": by_hand, "pickle.dump": pickled}
    if msgpack is not None:
        def packed() -> None:
            packer = msgpack.Packer()
            with open(folder / "w-msgpack", "wb") as file:
                for d in records:
                    file.write(packer.pack(d))
        cases["msgpack.Packer"] = packed
    return cases


def timed(func: Callable[[], Any]) -> float:
    start = time.perf_counter()
    func()
    return time.perf_counter() - start


def run_rounds(cases: dict[str, Callable[[], Any]], rounds: int) -> dict[str, float]:
    """The median time of each case over interleaved rounds (the order turns each round)."""
    names = list(cases)
    times: dict[str, list[float]] = {name: [] for name in names}
    for round_number in range(rounds):
        turn = round_number % len(names)
        for name in names[turn:] + names[:turn]:
            times[name].append(timed(cases[name]))
    return {name: statistics.median(values) for name, values in times.items()}


def table(title: str, runs: list[dict[str, float]], count: int) -> list[str]:
    medians = {name: statistics.median(run[name] for run in runs) for name in runs[0]}
    hand = medians["by hand"]
    lines = [f"{title}", f"  {'case':<18} {'per record':>11} {'vs by hand':>11}   runs (vs by hand)"]
    for name, seconds in medians.items():
        each = " ".join(f"{run[name] / run['by hand']:.2f}" for run in runs)
        lines.append(f"  {name:<18} {seconds / count * 1e9:>8.0f} ns {seconds / hand:>11.2f}   {each}")
    return lines


def bench_workload(name: str, runs: int, rounds: int, folder: Path) -> list[str]:
    records = WORKLOADS[name](0)
    path, pickle_path, msgpack_path = folder / "r-zav", folder / "r-pickle", folder / "r-msgpack"
    with open(path, "wb") as file:
        stream.write_dicts(file, records)
    with open(pickle_path, "wb") as file:
        for d in records:
            pickle.dump(d, file, protocol=5)
    if msgpack is not None:
        with open(msgpack_path, "wb") as file:
            for d in records:
                file.write(msgpack.packb(d))
    size = path.stat().st_size
    readers, writers = read_cases(path, pickle_path, msgpack_path), write_cases(records, folder)
    read_runs = [run_rounds(readers, rounds) for _ in range(runs)]
    write_runs = [run_rounds(writers, rounds) for _ in range(runs)]
    header = f"{name}: {len(records)} records, stream of {size / 2**20:.1f} MiB"
    return [header, *table("  read", read_runs, len(records)), *table("  write", write_runs, len(records)), ""]


# ---------------------------------------------------------------------------
# Memory

# The peak RSS is the process's own high-water mark (VmHWM): ru_maxrss would count the
# parent's, which the child was forked from.
MEMORY_READER = """
import sys, tracemalloc
from zav import stream
def status_kib(field):
    with open('/proc/self/status') as status:
        return next(int(line.split()[1]) for line in status if line.startswith(field + ':'))
path, traced = sys.argv[1], sys.argv[2] == 'traced'
count = 0
if traced:
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
else:
    before = status_kib('VmRSS') * 1024
with open(path, 'rb') as file:
    for record in stream.read_dicts(file):
        count += 1
if traced:
    peak = tracemalloc.get_traced_memory()[1] - before
else:
    peak = status_kib('VmHWM') * 1024 - before
print(count, peak)
"""


def endless_events() -> Iterator[dict[str, Any]]:
    base = events(10_000)
    for round_number in itertools.count():
        for record in base:
            yield {**record, "id": record["id"] + 10_000 * round_number}


def memory(mib: int, folder: Path) -> list[str]:
    path = folder / "big"
    target = mib << 20
    with open(path, "wb") as file:
        written = 0
        records = endless_events()
        while written < target:
            written += stream.write_dicts(file, itertools.islice(records, 50_000))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    lines = [f"memory: reading a stream of {written / 2**20:.0f} MiB through read_dicts"]
    for mode in ("traced", "rss"):
        out = subprocess.run([sys.executable, "-c", MEMORY_READER, str(path), mode], env=env, check=True,
                             capture_output=True, text=True).stdout.split()
        count, peak = int(out[0]), int(out[1])
        what = "tracemalloc peak" if mode == "traced" else "peak RSS increase"
        lines.append(f"  {count} records; {what}: {peak / 2**20:.2f} MiB")
    path.unlink()
    return lines


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--memory-mib", type=int, default=256, help="0 to skip the memory measurement")
    parser.add_argument("--workload", choices=list(WORKLOADS), action="append")
    args = parser.parse_args()
    print(f"Python {sys.version.split()[0]}; msgpack {'absent' if msgpack is None else msgpack.version}")
    with tempfile.TemporaryDirectory(dir=os.environ.get("ZAV_BENCH_DIR")) as temp:
        folder = Path(temp)
        for name in args.workload or WORKLOADS:
            print("\n".join(bench_workload(name, args.runs, args.rounds, folder)), flush=True)
        if args.memory_mib:
            print("\n".join(memory(args.memory_mib, folder)))


if __name__ == "__main__":
    main()
