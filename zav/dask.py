"""Files of records as Dask bags: one stream file (see zav.stream) per partition.

    read_dicts(urlpath) / read_lists(urlpath)   -> dask.bag.Bag, one partition per file
    to_files(bag, urlpath, lists=False)          -> the paths written, one file per partition

`urlpath` is what `dask.bag.read_text` and `Bag.to_textfiles` take: a path, a glob, a
list of paths or any fsspec URL (`memory://`, and `s3://` or `gs://` where that fsspec
backend is installed), with `storage_options` for the filesystem. With
`compression="infer"` a name ending in .gz, .bz2 or .xz is read or written through
that compression. A file that cannot be read or written fails its task with the error
of the stream's reader or writer, unchanged, and a note naming the file. (distributed
sends a UnicodeDecodeError back with its args and notes but an empty message: it
rebuilds the exception without running its __init__.)

Importing zav.dask imports Dask and fsspec; no other module of the package imports
either, so `zav`, `zav.serializer` and `zav.stream` never need them.
"""

from __future__ import annotations

import contextlib
import functools
import os
import uuid
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import IO, Any, Protocol

import fsspec  # type: ignore[import-untyped]
from dask.bag.core import Bag
from dask.highlevelgraph import HighLevelGraph
from dask.typing import Key
from fsspec.implementations.local import LocalFileSystem  # type: ignore[import-untyped]

from zav import stream

__all__ = ["read_dicts", "read_lists", "to_files"]

UrlPath = str | os.PathLike[str] | Sequence[str | os.PathLike[str]]
# What turns one open file into its records, and what writes records into one: the
# stream's readers and writers, with a typed schema or without.
_Reader = Callable[[IO[bytes]], Iterable[Any]]
_Writer = Callable[[IO[bytes], Iterable[Any]], object]


class _OpenFile(Protocol):
    """fsspec's OpenFile as used here: a file not yet opened, safe to send to a worker."""

    fs: Any  # fsspec's AbstractFileSystem
    path: str
    compression: str | None

    @property
    def full_name(self) -> str: ...

    def __enter__(self) -> IO[bytes]: ...

    def __exit__(self, *exc: object) -> None: ...


def read_dicts(urlpath: UrlPath, *, deserialize: object = True, compression: str | None = "infer",
               storage_options: Mapping[str, Any] | None = None,
               schema: stream.RecordSchema[Any] | None = None) -> Bag:
    """A bag of the map records of every file, read as `zav.stream.read_dicts(file,
    deserialize, schema=schema)` reads them; one partition per file, in the order of
    the paths. A schema (`zav.typed.Schema`) goes to the workers and is compiled there."""
    reader = functools.partial(stream.read_dicts, deserialize=deserialize, schema=schema)
    return _read_files(urlpath, reader, compression, storage_options)


def read_lists(urlpath: UrlPath, *, deserialize: object = True, compression: str | None = "infer",
               storage_options: Mapping[str, Any] | None = None,
               schema: stream.RecordSchema[Any] | None = None) -> Bag:
    """A bag of the list records of every file, read as `zav.stream.read_lists(file,
    deserialize, schema=schema)` reads them; one partition per file, in the order of the paths."""
    reader = functools.partial(stream.read_lists, deserialize=deserialize, schema=schema)
    return _read_files(urlpath, reader, compression, storage_options)


def to_files(bag: Bag, urlpath: UrlPath, *, lists: bool = False, compression: str | None = "infer",
             name_function: Callable[[int], str] | None = None,
             storage_options: Mapping[str, Any] | None = None,
             schema: stream.RecordSchema[Any] | None = None) -> list[str]:
    """Write each partition of `bag` as one stream file: its dicts as map records
    (`zav.stream.write_dicts`), or with `lists=True` its sequences as list records; with
    a schema, its objects as `schema.dump` writes them.

    As for `Bag.to_textfiles`, `urlpath` is a name with `*`, which becomes the
    partition's number (or `name_function(number)`), a list of one path per partition,
    or a directory, in which the files are named `0.part`, `1.part`, ... The bag is
    computed now, with the scheduler in effect; the paths written are returned (as
    URLs where the filesystem is not the local one). A task that runs again (on another
    worker, after one was lost) writes its file anew. Each file is written beside it
    under a name of its own and takes its name when whole: a partition that fails
    leaves the file as it was, and a partition read from the file it is written over
    is read in full first.
    """
    writer: _Writer = functools.partial(stream.write_lists if lists else stream.write_dicts, schema=schema)
    return _write_files(bag, urlpath, writer, compression, name_function, storage_options)


def _read_files(urlpath: UrlPath, reader: _Reader, compression: str | None,
                storage_options: Mapping[str, Any] | None) -> Bag:
    """A bag with a partition per file of `urlpath`: the records `reader` finds in it."""
    # Each listed path is opened as a single one is: a glob only where it holds "*", and
    # refused where it matches nothing. fsspec would take a "?" or "[" in a listed path
    # as a pattern, and drop a listed path or glob that matched nothing, unseen.
    paths = [urlpath] if isinstance(urlpath, (str, os.PathLike)) else list(urlpath)
    files: list[_OpenFile] = []
    for path in paths:
        matched: list[_OpenFile] = fsspec.open_files(path, mode="rb", compression=compression,
                                                     **(storage_options or {}))
        if not matched:
            raise FileNotFoundError(f"no files match {path!r}")
        files += matched
    if not files:
        raise FileNotFoundError(f"no files match {urlpath!r}")
    # Read every time it is asked for: a name made of the paths would be the same after
    # the files are written again, and a scheduler that still holds an earlier read's
    # partitions (a persisted bag, a client's futures) would hand those out.
    name = "zav-read-" + uuid.uuid4().hex
    # As read_text's: Dask drops the list where it fuses the task with the next one,
    # which then takes the records one by one as the file is read.
    graph: dict[Key, Any] = {(name, i): (list, (_read_file, file, reader)) for i, file in enumerate(files)}
    return Bag(graph, name, len(files))


def _write_files(bag: Bag, urlpath: UrlPath, writer: _Writer, compression: str | None,
                 name_function: Callable[[int], str] | None,
                 storage_options: Mapping[str, Any] | None) -> list[str]:
    """Write each partition of `bag` into a file of its own with `writer`; the paths."""
    files: list[_OpenFile] = fsspec.open_files(urlpath, mode="wb", compression=compression,
                                               name_function=name_function, num=bag.npartitions,
                                               **(storage_options or {}))
    if len(files) != bag.npartitions:
        # fsspec takes a list of paths as it is: a partition without a file would go
        # unwritten, a file without a partition be named as written.
        raise ValueError(f"{len(files)} paths for the {bag.npartitions} partitions of the bag: "
                         "a list of paths names one file per partition")
    name = "zav-write-" + uuid.uuid4().hex  # written every time it is asked for
    layer: dict[Key, Any] = {(name, i): (_write_file, (bag.name, i), file, writer) for i, file in enumerate(files)}
    # Bag has a plain method where the protocol of collections declares a staticmethod.
    graph = HighLevelGraph.from_collections(name, layer, dependencies=[bag])  # type: ignore[list-item]
    Bag(graph, name, bag.npartitions).compute()  # type: ignore[no-untyped-call]
    # Another filesystem's path without its protocol would be read as a local one.
    return [_file_name(file) for file in files]


def _read_file(file: _OpenFile, reader: _Reader) -> Iterator[Any]:
    """The records of one file (a partition); an error names the file."""
    try:
        with file as opened:
            yield from reader(opened)
    except Exception as error:
        _add_note(error, f"in the file {_file_name(file)!r}")
        raise


def _write_file(records: Iterable[Any], file: _OpenFile, writer: _Writer) -> None:
    """Write one partition's records into one file; an error names the file.

    The records go to a file of another name in the same place, which takes the file's
    name once they are all written. A task that fails leaves the file as it was, not
    one that reads as whole without the records it lacks; a partition read from the
    file it replaces (in this task, where Dask fuses the two) is read in full before
    the file is replaced, not from a file already emptied."""
    fs = file.fs
    partial = fsspec.core.OpenFile(fs, f"{file.path}.{uuid.uuid4().hex}.partial", mode="wb",
                                   compression=file.compression)
    try:
        try:
            with partial as opened:
                writer(opened, records)
            if isinstance(fs, LocalFileSystem):
                # Atomic, and refuses a directory of the file's name, which fs.mv would
                # move the file into.
                os.replace(partial.path, file.path)
            else:
                fs.mv(partial.path, file.path)
        except BaseException:
            with contextlib.suppress(Exception):  # the write's own error is the one raised
                fs.rm(partial.path)
            raise
    except Exception as error:
        _add_note(error, f"while writing the file {_file_name(file)!r}")
        raise


def _add_note(error: BaseException, note: str) -> None:
    # When memory is short the interpreter may raise one shared MemoryError instance.
    if not isinstance(error, MemoryError):
        error.add_note(note)


def _file_name(file: _OpenFile) -> str:
    """A local file by its path, any other by its URL."""
    return file.path if isinstance(file.fs, LocalFileSystem) else file.full_name
