"""Files of records on a Dask cluster: zav.dask against JSON Lines read by Dask's own
`read_text` and parsed with orjson, on a LocalCluster of 2 worker processes (1 thread
each).

    ./dev run python3.14 bench/dask_bench.py [--rounds 7] [--files 8]

Two workloads of 8 files each: 100,000 small event records per file (5 fields), and
12,500 real package records per file (bench/data/packages.json, 300 records cycled).
The same records are written once as stream files (`zav.stream.write_dicts`) and once
as JSON Lines (`orjson.dumps` per line). Two jobs:

  (a) filter and count: `read_dicts(...).filter(pred).count()` against
      `read_text(...).map(orjson.loads).filter(pred).count()`;
  (b) read and write back: `to_files(read_dicts(...), ...)` against
      `read_text(...).map(orjson.loads).map(orjson.dumps).to_textfiles(..., encoding=None)`.

The two sides of a job run in interleaved rounds (the order turns each round) after a
round that is not counted; a figure is the median of its rounds, and the ratio is ours
over theirs. Beside the cluster, one process reads the same files in a plain loop
(`read_dicts` over each file, and orjson over each line) and counts as in (a): records
per second per worker on the cluster against that loop show what the engine costs, and
so does the time of a job of as many tasks that read nothing.
"""
from __future__ import annotations

import argparse
import itertools
import os
import shutil
import statistics
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import dask.bag
import distributed
import orjson

sys.path.insert(0, str(Path(__file__).resolve().parent))
from workloads import real_records  # noqa: E402

from zav import dask as zav_dask  # noqa: E402
from zav import stream  # noqa: E402

WORKERS = 2


def events(start: int, count: int) -> list[dict[str, Any]]:
    """Small event records of one schema, as a log holds them."""
    kinds = ["click", "view", "buy", "leave"]
    return [{"id": i, "kind": kinds[i % 4], "user": f"u{i * 7919 % 100000}", "ts": 1_700_000_000 + i,
             "ok": i % 3 != 0} for i in range(start, start + count)]


def packages(start: int, count: int) -> list[dict[str, Any]]:
    records = real_records("packages")
    return list(itertools.islice(itertools.cycle(records), start % len(records), start % len(records) + count))


# name -> (records per file, maker, the field and value the filter keeps)
WORKLOADS: dict[str, tuple[int, Callable[[int, int], list[dict[str, Any]]], str, str]] = {
    "events": (100_000, events, "kind", "buy"),
    "packages": (12_500, packages, "Priority", "optional"),
}


def keeps(field: str, value: str) -> Callable[[dict[str, Any]], bool]:
    def kept(record: dict[str, Any]) -> bool:
        return bool(record[field] == value)
    return kept


def make_files(folder: Path, name: str, files: int) -> tuple[str, str, int]:
    """The workload's files as streams and as JSON Lines; their globs and record count."""
    per_file, maker, _, _ = WORKLOADS[name]
    for i in range(files):
        records = maker(i * per_file, per_file)
        with open(folder / f"{name}-{i}.zs", "wb") as out:
            stream.write_dicts(out, records)
        with open(folder / f"{name}-{i}.jsonl", "wb") as out:
            out.write(b"".join(orjson.dumps(record) + b"\n" for record in records))
    return str(folder / f"{name}-*.zs"), str(folder / f"{name}-*.jsonl"), files * per_file


def timed(func: Callable[[], Any]) -> tuple[float, Any]:
    start = time.perf_counter()
    result = func()
    return time.perf_counter() - start, result


def tasks_held(dask_scheduler: Any) -> int:
    return len(dask_scheduler.tasks)


def settle(client: distributed.Client) -> None:
    """Wait until the scheduler has let go of the last job's tasks: a job whose keys are
    the same (Dask names tasks by what they compute) would take their results instead
    of computing them."""
    for _ in range(1000):
        if client.run_on_scheduler(tasks_held) == 0:
            return
        time.sleep(0.005)
    sys.exit("the scheduler still holds the tasks of an earlier job")


def run_rounds(client: distributed.Client, cases: dict[str, Callable[[], Any]], rounds: int) -> dict[str, list[float]]:
    """Each case's time in every round; one round first that is not counted, and every
    case's result must agree with the others'."""
    names = list(cases)
    results = {}
    for name in names:
        results[name] = cases[name]()
        settle(client)
    if len({repr(result) for result in results.values()}) != 1:
        sys.exit(f"the cases disagree: {results}")
    times: dict[str, list[float]] = {name: [] for name in names}
    for round_number in range(rounds):
        turn = round_number % len(names)
        for name in names[turn:] + names[:turn]:
            times[name].append(timed(cases[name])[0])
            settle(client)
    return times


def bench_workload(client: distributed.Client, name: str, folder: Path, files: int, rounds: int) -> list[str]:
    ours_glob, json_glob, count = make_files(folder, name, files)
    _, _, field, value = WORKLOADS[name]
    kept = keeps(field, value)
    out = folder / "out"

    def our_count() -> int:
        return int(zav_dask.read_dicts(ours_glob).filter(kept).count().compute())

    def json_count() -> int:
        return int(dask.bag.read_text(json_glob).map(orjson.loads).filter(kept).count().compute())

    def our_write() -> int:
        shutil.rmtree(out, ignore_errors=True)
        return len(zav_dask.to_files(zav_dask.read_dicts(ours_glob), str(out / "*.zs")))

    def json_write() -> int:
        shutil.rmtree(out, ignore_errors=True)
        bag = dask.bag.read_text(json_glob).map(orjson.loads).map(orjson.dumps)
        return len(bag.to_textfiles(str(out / "*.jsonl"), encoding=None))

    def our_loop() -> int:
        kept_count = 0
        for path in sorted(folder.glob(f"{name}-*.zs")):
            with open(path, "rb") as file:
                kept_count += sum(1 for record in stream.read_dicts(file) if kept(record))
        return kept_count

    def json_loop() -> int:
        kept_count = 0
        for path in sorted(folder.glob(f"{name}-*.jsonl")):
            with open(path, "rb") as file:
                kept_count += sum(1 for line in file if kept(orjson.loads(line)))
        return kept_count

    def empty_job() -> int:
        return int(dask.bag.from_sequence([[]] * files, npartitions=files).count().compute())

    filtered = run_rounds(client, {"zav.dask": our_count, "read_text+orjson": json_count}, rounds)
    written = run_rounds(client, {"zav.dask": our_write, "read_text+orjson": json_write}, rounds)
    loops = run_rounds(client, {"read_dicts": our_loop, "orjson": json_loop}, rounds)
    empty = statistics.median(run_rounds(client, {"empty": empty_job}, rounds)["empty"])
    sizes = [sum(os.path.getsize(p) for p in folder.glob(f"{name}-*{suffix}")) for suffix in (".zs", ".jsonl")]

    lines = [f"{name}: {files} files, {count:,} records; streams {sizes[0] / 2**20:.1f} MiB, "
             f"JSON Lines {sizes[1] / 2**20:.1f} MiB"]
    lines.append(f"  {'job':<22} {'zav.dask':>9} {'orjson':>9} {'ratio':>6}   ratio per round")
    for job, times in (("(a) filter and count", filtered), ("(b) read and write", written)):
        ours, theirs = times["zav.dask"], times["read_text+orjson"]
        ratio = statistics.median(ours) / statistics.median(theirs)
        each = " ".join(f"{a / b:.2f}" for a, b in zip(ours, theirs))
        lines.append(f"  {job:<22} {statistics.median(ours):>8.3f}s {statistics.median(theirs):>8.3f}s "
                     f"{ratio:>6.2f}   {each}")
    lines.append("  records per second, (a) per worker on the cluster against one process looping:")
    for side, cluster_case, loop_case in (("zav", "zav.dask", "read_dicts"), ("orjson", "read_text+orjson", "orjson")):
        per_worker = count / statistics.median(filtered[cluster_case]) / WORKERS
        alone = count / statistics.median(loops[loop_case])
        lines.append(f"    {side:<7} {per_worker / 1e6:>6.2f} M/s per worker, {alone / 1e6:>6.2f} M/s in a "
                     f"{loop_case} loop: the cluster keeps {per_worker / alone:.0%} of it per worker")
    lines.append(f"  a job of {files} tasks that read nothing (from_sequence, count): {empty:.3f}s")
    return lines + [""]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--files", type=int, default=8)
    parser.add_argument("--workload", choices=list(WORKLOADS), action="append")
    args = parser.parse_args()
    print(f"Python {sys.version.split()[0]}; dask {dask.__version__}, distributed {distributed.__version__}, "
          f"orjson {orjson.__version__}; load average {os.getloadavg()[0]:.2f}")
    cluster = distributed.LocalCluster(n_workers=WORKERS, threads_per_worker=1, processes=True,
                                       host="127.0.0.1", dashboard_address=None)
    with cluster, distributed.Client(cluster) as client, tempfile.TemporaryDirectory(dir=os.environ.get("ZAV_BENCH_DIR")) as temp:
        for name in args.workload or WORKLOADS:
            folder = Path(temp) / name
            folder.mkdir()
            print("\n".join(bench_workload(client, name, folder, args.files, args.rounds)), flush=True)
            shutil.rmtree(folder)


if __name__ == "__main__":
    main()
