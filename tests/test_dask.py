"""zav.dask: bags written as stream files and read back, locally, in fsspec's memory
filesystem and on a cluster of worker processes; compressed files; damaged files failing
with the stream reader's own error and the file's name; a worker killed mid-job."""
from __future__ import annotations

import bz2
import dataclasses
import gzip
import io
import lzma
import os
import pickle
import signal
import subprocess
import sys
import uuid
from collections.abc import Callable, Iterable, Iterator
from contextlib import AbstractContextManager
from pathlib import Path
from typing import Any, NamedTuple

import pytest

try:
    import dask
    import distributed
    import fsspec  # type: ignore[import-untyped]
    from dask.bag.core import Bag, from_sequence
except ImportError as missing:
    # Where Debian installs no Dask for the interpreter. An arm64 interpreter under qemu
    # sees the x86-64 root's packages: Dask's pure Python imports there, distributed's
    # native dependencies do not.
    pytest.skip(f"Debian's Dask and distributed are not installed for this interpreter ({missing})",
                allow_module_level=True)

import zav.serializer as serializer  # noqa: E402
from zav import dask as zav_dask  # noqa: E402
from zav import stream  # noqa: E402
from zav.typed import Schema  # noqa: E402

# The cluster tests start worker processes: ./dev test runs them once, in its run under
# the release CPython 3.14, which sets this variable.
CLUSTER_VARIABLE = "ZAV_DASK_CLUSTER"

DICTS = [{"id": i, "user": f"u{i % 97}", "city": "Zürich" if i % 3 else "東京"} for i in range(3000)]
AS_READ = [{key: str(value) for key, value in d.items()} for d in DICTS]
DECOMPRESS: dict[str, Callable[[bytes], bytes]] = {
    "": bytes, ".gz": gzip.decompress, ".bz2": bz2.decompress, ".xz": lzma.decompress}


class Place(NamedTuple):
    """Where the files live and which scheduler runs the bags there."""
    name: str
    url: Callable[[str], str]  # a file's URL by its name
    shown: Callable[[str], str]  # how an error names that file
    scheduler: Callable[[], AbstractContextManager[object]]


@pytest.fixture(scope="module")
def client() -> Iterator[distributed.Client]:
    if os.environ.get(CLUSTER_VARIABLE) != "1":
        pytest.skip(f"the cluster tests run once per ./dev test, under the release CPython 3.14 "
                    f"({CLUSTER_VARIABLE}=1 there); set it to run them here")
    cluster = distributed.LocalCluster(  # type: ignore[no-untyped-call]
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None)
    with cluster, distributed.Client(cluster, set_as_default=False) as running:  # type: ignore[no-untyped-call]
        yield running


@pytest.fixture(params=["local-sync", "memory-threads", "cluster"])
def place(request: pytest.FixtureRequest, tmp_path: Path) -> Iterator[Place]:
    if request.param == "memory-threads":
        root = f"zav-test-{uuid.uuid4().hex}"
        yield Place(request.param, lambda name: f"memory://{root}/{name}", lambda name: f"memory:///{root}/{name}",
                    lambda: dask.config.set(scheduler="threads"))
        fsspec.filesystem("memory").rm(f"/{root}", recursive=True)
        return
    if request.param == "cluster":
        running = request.getfixturevalue("client")
        scheduler = lambda: dask.config.set(scheduler=running)  # noqa: E731
    else:
        scheduler = lambda: dask.config.set(scheduler="sync")  # noqa: E731
    yield Place(request.param, lambda name: str(tmp_path / name), lambda name: str(tmp_path / name), scheduler)


# Dask's bag functions carry no annotations.
def bag_of(records: list[Any], partitions: int) -> Bag:
    bag: Bag = from_sequence(records, npartitions=partitions)  # type: ignore[no-untyped-call]
    return bag


def computed(bag: Bag) -> list[Any]:
    records: list[Any] = bag.compute()  # type: ignore[no-untyped-call]
    return records


def put(url: str, data: bytes) -> None:
    with fsspec.open(url, "wb") as file:
        file.write(data)


def stream_of(records: list[dict[str, Any]]) -> bytes:
    out = io.BytesIO()
    stream.write_dicts(out, records)
    return out.getvalue()


@pytest.mark.parametrize("suffix", list(DECOMPRESS))
def test_round_trip(place: Place, suffix: str) -> None:
    with place.scheduler():
        paths = zav_dask.to_files(bag_of(DICTS, 3), place.url(f"part-*.zs{suffix}"))
        bag = zav_dask.read_dicts(place.url(f"part-*.zs{suffix}"))
        assert bag.npartitions == 3
        assert computed(bag) == AS_READ
        assert computed(zav_dask.read_dicts(paths)) == AS_READ  # the paths name the files, on any filesystem
    # Each file is a stream of its partition, compressed as its name says.
    assert [Path(path).name for path in paths] == [f"part-{i}.zs{suffix}" for i in range(3)]
    records: list[dict[str, str]] = []
    for i in range(3):
        with fsspec.open(place.url(f"part-{i}.zs{suffix}"), "rb") as file:
            records += stream.read_dicts(io.BytesIO(DECOMPRESS[suffix](file.read())))
    assert records == AS_READ


DAMAGE = {
    "cut": stream_of(DICTS[:3])[:-2],
    "corrupt key": stream_of(DICTS[:2]) + serializer._serialize_list([b"\x05\x01ab"]),
    "bad utf-8": stream_of(DICTS[:2]) + serializer._serialize_list([b"\x01\x01\xffa"]),
}


@pytest.mark.parametrize("damage", list(DAMAGE))
def test_damaged_file_fails_with_the_readers_error(place: Place, damage: str) -> None:
    with pytest.raises(Exception) as local:
        list(stream.read_dicts(io.BytesIO(DAMAGE[damage])))
    put(place.url("0.zs"), stream_of(DICTS[:10]))
    put(place.url("1.zs"), DAMAGE[damage])
    with place.scheduler(), pytest.raises(type(local.value)) as raised:
        computed(zav_dask.read_dicts(place.url("*.zs")))
    assert type(raised.value) is type(local.value)
    assert raised.value.args == local.value.args
    assert raised.value.__notes__ == [*getattr(local.value, "__notes__", []), f"in the file {place.shown('1.zs')!r}"]
    if place.name == "cluster" and isinstance(local.value, UnicodeDecodeError):
        # distributed rebuilds this exception from its args without running its
        # __init__ (tblib), which leaves the text empty.
        assert str(raised.value) == ""
    else:
        assert str(raised.value) == str(local.value)


def test_lists_paths_directories_and_writer_errors(tmp_path: Path) -> None:
    rows = [["a", 1], [], ("é", 2.5)] * 5
    with dask.config.set(scheduler="sync"):
        paths = zav_dask.to_files(bag_of(rows, 2), str(tmp_path / "out"), lists=True)
        assert paths == [str(tmp_path / "out" / f"{i}.part") for i in range(2)]
        # A list of paths gives the partitions in its order.
        bag = zav_dask.read_lists(paths[::-1], deserialize=False)
        first, second = computed(bag.map_partitions(lambda part: [list(part)]))  # type: ignore[no-untyped-call]
        assert second + first == [[s.encode() for s in map(str, row)] for row in rows]

        with pytest.raises(TypeError) as raised:
            zav_dask.to_files(bag_of([{"a": "1"}, {"a": None}], 1), str(tmp_path / "bad-*.zs"))
        assert raised.value.__notes__ == ["while writing record 1 of the iterable",
                                          f"while writing the file {str(tmp_path / 'bad-0.zs')!r}"]
        with pytest.raises(FileNotFoundError, match="no files match"):
            zav_dask.read_dicts(str(tmp_path / "none-*.zs"))
        for count in (1, 3):  # a list of paths names one file per partition, no fewer, no more
            wrong = [str(tmp_path / f"wrong-{i}.zs") for i in range(count)]
            with pytest.raises(ValueError, match=f"{count} paths for the 2 partitions"):
                zav_dask.to_files(bag_of(rows, 2), wrong, lists=True)
            assert not any(os.path.exists(path) for path in wrong)


def test_each_listed_path_is_read_as_a_single_one(tmp_path: Path) -> None:
    """A listed path is a glob only where it holds `*`, as a single path is; a listed
    glob that matches nothing is refused, as a single one is."""
    for name, records in {"a.zs": DICTS[:2], "b[1].zs": DICTS[2:5], "b1.zs": DICTS[5:6], "c-0.zs": DICTS[6:7]}.items():
        (tmp_path / name).write_bytes(stream_of(records))
    with dask.config.set(scheduler="sync"):
        bag = zav_dask.read_dicts([str(tmp_path / "a.zs"), str(tmp_path / "b[1].zs"), str(tmp_path / "c-*.zs")])
        assert computed(bag) == AS_READ[:5] + AS_READ[6:7]
        with pytest.raises(FileNotFoundError, match="no files match"):
            zav_dask.read_dicts([str(tmp_path / "a.zs"), str(tmp_path / "none-*.zs")])


def test_files_written_again_are_read_anew(tmp_path: Path) -> None:
    """A scheduler that still holds the partitions of an earlier read of the same files
    (here one persisted) does not hand those out for a later read."""
    with distributed.Client(processes=False, n_workers=1, threads_per_worker=1,  # type: ignore[no-untyped-call]
                            dashboard_address=":0"):  # any free port: a cluster of the suite may hold the default
        zav_dask.to_files(bag_of(DICTS[:3], 1), str(tmp_path / "*.zs"))
        earlier = zav_dask.read_dicts(str(tmp_path / "*.zs")).persist()  # type: ignore[no-untyped-call]
        zav_dask.to_files(bag_of(DICTS[3:5], 1), str(tmp_path / "*.zs"))
        assert computed(zav_dask.read_dicts(str(tmp_path / "*.zs"))) == AS_READ[3:5]
        assert computed(earlier) == AS_READ[:3]


def fail_at_third(records: Iterable[Any]) -> Iterator[Any]:
    for index, record in enumerate(records):
        if index == 2:
            raise RuntimeError("the third record")
        yield record


def test_a_file_is_replaced_only_when_whole(place: Place) -> None:
    """A bag read from the files it is written over is read before they are replaced; a
    partition that fails midway leaves the file as it was, and nothing else."""
    seen = [{**record, "seen": "1"} for record in AS_READ[:10]]
    with place.scheduler():
        zav_dask.to_files(bag_of(DICTS[:10], 2), place.url("part-*.zs"))
        bag = zav_dask.read_dicts(place.url("part-*.zs"))
        bag = bag.map(lambda record: {**record, "seen": "1"})  # type: ignore[no-untyped-call]
        zav_dask.to_files(bag, place.url("part-*.zs"))
        assert computed(zav_dask.read_dicts(place.url("part-*.zs"))) == seen
        failing = bag_of(DICTS[10:20], 2).map_partitions(fail_at_third)  # type: ignore[no-untyped-call]
        with pytest.raises(RuntimeError, match="the third record"):
            zav_dask.to_files(failing, place.url("part-*.zs"))
        assert computed(zav_dask.read_dicts(place.url("part-*.zs"))) == seen
    assert [Path(file.path).name for file in fsspec.open_files(place.url("*"))] == ["part-0.zs", "part-1.zs"]


def kill_once(record: dict[str, str], at: str, marker: str) -> str:
    """The record's id; the worker process that first meets the record `at` dies there."""
    if record["id"] == at and not os.path.exists(marker):
        Path(marker).touch()
        os.kill(os.getpid(), signal.SIGKILL)
    return record["id"]


def test_worker_killed_mid_job(client: distributed.Client, tmp_path: Path) -> None:
    for i in range(6):
        (tmp_path / f"{i}.zs").write_bytes(stream_of(DICTS[i * 500:(i + 1) * 500]))
    marker = tmp_path / "killed"
    # The fifth file's task kills its worker, which may by then hold results of files
    # before it: what was lost is computed again, and every record comes once.
    bag = zav_dask.read_dicts(str(tmp_path / "*.zs"))
    ids = bag.map(kill_once, at="2000", marker=str(marker))  # type: ignore[no-untyped-call]
    future = client.compute(ids)  # type: ignore[no-untyped-call]
    assert future.result(timeout=60) == [str(i) for i in range(3000)]
    assert marker.exists()
    client.wait_for_workers(2, timeout=30)  # the nanny starts a new worker for the next tests


def test_importing_zav_needs_no_dask() -> None:
    code = ("import sys, zav, zav.serializer, zav.stream, zav.inspect; "
            "print(sorted(m for m in sys.modules if m.split('.')[0] in ('dask', 'distributed', 'fsspec')))")
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout == "[]\n"


@dataclasses.dataclass(frozen=True)
class Visit:
    id: int
    user: str
    city: str


def test_typed_records(place: Place) -> None:
    """A schema goes to the workers: its objects are written and read back as they were,
    and the files are the plain ones."""
    schema = Schema(Visit)
    visits = [Visit(int(d["id"]), str(d["user"]), str(d["city"])) for d in DICTS[:500]]
    assert pickle.loads(pickle.dumps(schema)).load(schema.dump(visits[1])) == visits[1]
    with place.scheduler():
        zav_dask.to_files(bag_of(visits, 2), place.url("visits-*.zs"), schema=schema)
        assert computed(zav_dask.read_dicts(place.url("visits-*.zs"), schema=schema)) == visits
        assert computed(zav_dask.read_dicts(place.url("visits-*.zs"))) == AS_READ[:500]
