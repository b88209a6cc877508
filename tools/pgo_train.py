"""Training run for profile-guided optimisation (tools/commands.sh, build_wheel): every
workload of the benchmark (bench/workloads.py) through the record functions of a build
instrumented with -fprofile-generate, dumped warm and cold and loaded with and without
decoding, and a stream of records through zav.stream, so that the profile counts the
paths that those calls take. Fixed numbers of calls, not times, so that a profile
depends on the sources alone.

    PYTHONPATH=FOLDER python tools/pgo_train.py     (FOLDER holds the instrumented zav)
"""
import io
import sys
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
from workloads import Workload, fresh_copy, make_workloads  # noqa: E402

import zav.serializer as serializer  # noqa: E402
from zav import stream  # noqa: E402

# Calls of each workload's dump and load: enough for the counts to settle, few enough
# for the instrumented build to run them all in seconds.
CALLS = 3000


def functions(workload: Workload) -> tuple[Any, Any]:
    if workload.container == "dict":
        return serializer._serialize_dict, serializer._deserialize_dict
    return serializer._serialize_list, serializer._deserialize_list


def train(workload: Workload) -> None:
    dump, load = functions(workload)
    calls = workload.data if workload.one_call_each else [workload.data]
    records = [dump(data) for data in calls]
    for _ in range(max(1, CALLS // len(calls))):
        for data in calls:
            dump(fresh_copy(data) if workload.cold else data)
        for record in records:
            load(record)
        for record in records[:max(1, len(records) // 10)]:
            load(record, False)


def train_stream() -> None:
    records = [{"id": i, "kind": "click", "user": f"u{i}", "ok": i % 3 == 0} for i in range(20_000)]
    file = io.BytesIO()
    stream.write_dicts(file, records)
    file.seek(0)
    for _ in stream.read_dicts(file):
        pass


def main() -> None:
    for workload in make_workloads():
        train(workload)
    train_stream()
    print(f"trained {serializer.__file__}")


if __name__ == "__main__":
    main()
