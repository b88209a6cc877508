"""Streams of records: many map or list records through one file, pipe or socket.

A stream is a list record whose items are records: each record is preceded by its
length as a varnum, and nothing else stands between records. Two streams written one
after the other are one stream, so a file is appended to by writing more records at
its end, and `_deserialize_list(data, False)` splits a whole stream into its records.

    write_dicts(file, dicts) / write_lists(file, lists)   -> bytes written
    read_dicts(file, deserialize=True) / read_lists(...)  -> iterator of records

and over asyncio connections (an asyncio.StreamReader, an asyncio.StreamWriter):

    await awrite_dicts(writer, dicts) / awrite_lists(...)       -> bytes written
    aread_dicts(reader, deserialize=True) / aread_lists(...)    -> async iterator of records

The readers hold the largest record plus a buffer of a fixed size, whatever the length
of the stream. The command line converts streams to and from JSON Lines:

    python -m zav.stream to-jsonl [--lists] [FILE]
    python -m zav.stream from-jsonl [FILE]
"""

from __future__ import annotations

import argparse
import contextlib
import errno
import io
import json
import os
import sys
from collections.abc import AsyncIterable, AsyncIterator, Awaitable, Buffer, Callable, Iterable, Iterator, Sequence
from typing import Any, Protocol, TypeVar, overload

from zav import _stream
from zav.serializer import _deserialize_dict, _deserialize_list, _serialize_dict, _serialize_list

__all__ = ["aread_dicts", "aread_lists", "awrite_dicts", "awrite_lists", "read_dicts", "read_lists", "write_dicts",
           "write_lists"]

# The writers hand the file batches of about this many bytes; the readers ask for
# pieces of this size.
BATCH_BYTES = 64 * 1024
# A record larger than that is read in pieces of at most this size, so that a length
# prefix that promises more than the stream holds costs no more memory than what is there.
LARGE_PIECE_BYTES = 1 << 20
# The asyncio writers take this many records of an async iterable at a time.
ASYNC_CHUNK_RECORDS = 256
# A varnum of a 64-bit length takes at most this many bytes; a longer length prefix is
# no record's, and refusing it keeps a stream of high bytes from being gathered forever.
MAX_PREFIX_BYTES = 10


class Readable(Protocol):
    def read(self, size: int = ..., /) -> bytes: ...


class Writable(Protocol):
    def write(self, data: bytes, /) -> object: ...


class AsyncReadable(Protocol):
    def read(self, n: int = ..., /) -> Awaitable[bytes]: ...


class AsyncWritable(Protocol):
    def write(self, data: bytes, /) -> object: ...

    def drain(self) -> Awaitable[object]: ...


T = TypeVar("T")


class RecordSchema(Protocol[T]):
    """What the readers and writers take as `schema=`: a `zav.typed.Schema`, or anything
    that makes an object of one record's bytes and one record's bytes of an object."""

    def load(self, data: bytes, /) -> T: ...

    def dump(self, obj: T, /) -> bytes: ...


@overload
def write_dicts(file: Writable, dicts: Iterable[dict[Any, Any]], *, schema: None = None) -> int: ...
@overload
def write_dicts[T](file: Writable, dicts: Iterable[T], *, schema: RecordSchema[T]) -> int: ...
def write_dicts(file: Writable, dicts: Iterable[Any], *, schema: RecordSchema[Any] | None = None) -> int:
    """Write each dict as one map record of the stream; return the bytes written. With
    a schema, each object as `schema.dump` writes it.

    A dict that cannot be written raises what `_serialize_dict` raises, with a note
    giving its index in `dicts`; every record before it has been written, and no part
    of it.
    """
    return _write(file, dicts, _writer(_serialize_dict, schema))


@overload
def write_lists(file: Writable, lists: Iterable[Any], *, schema: None = None) -> int: ...
@overload
def write_lists[T](file: Writable, lists: Iterable[T], *, schema: RecordSchema[T]) -> int: ...
def write_lists(file: Writable, lists: Iterable[Any], *, schema: RecordSchema[Any] | None = None) -> int:
    """Write each sequence as one list record of the stream; return the bytes written."""
    return _write(file, lists, _writer(_serialize_list, schema))


@overload
def read_dicts(file: Readable, deserialize: object = True, *, schema: None = None) -> Iterator[dict[str, Any]]: ...
@overload
def read_dicts[T](file: Readable, deserialize: object = True, *, schema: RecordSchema[T]) -> Iterator[T]: ...
def read_dicts(file: Readable, deserialize: object = True, *,
               schema: RecordSchema[Any] | None = None) -> Iterator[Any]:
    """The map records of a stream, read as `_deserialize_dict(record, deserialize)` reads
    them, or with a schema as `schema.load` reads them (deserialize then does not apply)."""
    return _read(file, _reader(_deserialize_dict, schema), deserialize)


@overload
def read_lists(file: Readable, deserialize: object = True, *, schema: None = None) -> Iterator[list[Any]]: ...
@overload
def read_lists[T](file: Readable, deserialize: object = True, *, schema: RecordSchema[T]) -> Iterator[T]: ...
def read_lists(file: Readable, deserialize: object = True, *,
               schema: RecordSchema[Any] | None = None) -> Iterator[Any]:
    """The list records of a stream, read as `_deserialize_list(record, deserialize)` reads them."""
    return _read(file, _reader(_deserialize_list, schema), deserialize)


@overload
def aread_dicts(reader: AsyncReadable, deserialize: object = True, *,
                schema: None = None) -> AsyncIterator[dict[str, Any]]: ...
@overload
def aread_dicts[T](reader: AsyncReadable, deserialize: object = True, *,
                   schema: RecordSchema[T]) -> AsyncIterator[T]: ...
def aread_dicts(reader: AsyncReadable, deserialize: object = True, *,
                schema: RecordSchema[Any] | None = None) -> AsyncIterator[Any]:
    """The map records of a stream from an `asyncio.StreamReader` (or anything with an
    awaitable `read(n)`), as `read_dicts` reads them from a file."""
    return _AsyncSource(reader, _Splitter(_reader(_deserialize_dict, schema), deserialize)).records()


@overload
def aread_lists(reader: AsyncReadable, deserialize: object = True, *,
                schema: None = None) -> AsyncIterator[list[Any]]: ...
@overload
def aread_lists[T](reader: AsyncReadable, deserialize: object = True, *,
                   schema: RecordSchema[T]) -> AsyncIterator[T]: ...
def aread_lists(reader: AsyncReadable, deserialize: object = True, *,
                schema: RecordSchema[Any] | None = None) -> AsyncIterator[Any]:
    """The list records of a stream from an `asyncio.StreamReader`, as `read_lists` reads them."""
    return _AsyncSource(reader, _Splitter(_reader(_deserialize_list, schema), deserialize)).records()


@overload
async def awrite_dicts(writer: AsyncWritable, dicts: Iterable[dict[Any, Any]] | AsyncIterable[dict[Any, Any]], *,
                       schema: None = None) -> int: ...
@overload
async def awrite_dicts[T](writer: AsyncWritable, dicts: Iterable[T] | AsyncIterable[T], *,
                          schema: RecordSchema[T]) -> int: ...
async def awrite_dicts(writer: AsyncWritable, dicts: Iterable[Any] | AsyncIterable[Any], *,
                       schema: RecordSchema[Any] | None = None) -> int:
    """Write each dict as one map record to an `asyncio.StreamWriter` (or anything with
    `write()` and an awaitable `drain()`), awaiting `drain()` after each batch; return
    the bytes written. Failures are those of `write_dicts`."""
    return await _AsyncWriter(writer, _writer(_serialize_dict, schema)).write(dicts)


@overload
async def awrite_lists(writer: AsyncWritable, lists: Iterable[Any] | AsyncIterable[Any], *,
                       schema: None = None) -> int: ...
@overload
async def awrite_lists[T](writer: AsyncWritable, lists: Iterable[T] | AsyncIterable[T], *,
                          schema: RecordSchema[T]) -> int: ...
async def awrite_lists(writer: AsyncWritable, lists: Iterable[Any] | AsyncIterable[Any], *,
                       schema: RecordSchema[Any] | None = None) -> int:
    """Write each sequence as one list record to an `asyncio.StreamWriter`; return the bytes written."""
    return await _AsyncWriter(writer, _writer(_serialize_list, schema)).write(lists)


def _reader(plain: Callable[[bytes, object], Any],
            schema: RecordSchema[Any] | None) -> Callable[[bytes, object], Any]:
    """What reads each record: the plain record reader, or the schema's load."""
    if schema is None:
        return plain
    load = schema.load
    return lambda record, _deserialize: load(record)


def _writer(plain: Callable[[Any], bytes], schema: RecordSchema[Any] | None) -> Callable[[Any], bytes]:
    return plain if schema is None else schema.dump


def _write(file: Writable, records: Iterable[Any], serialize: Callable[[Any], bytes]) -> int:
    if isinstance(file, io.TextIOBase):
        raise _text_mode(file)
    # A raw file's write returns None when it is non-blocking and would block; any other
    # file-like's None means it took everything.
    blocked_by_none = isinstance(file, io.RawIOBase)
    written: int = _stream.write_records(file.write, records, serialize, _serialize_list, BATCH_BYTES,
                                         blocked_by_none)
    return written


def _read(file: Readable, reader: Callable[[bytes, object], Any], deserialize: object) -> Iterator[Any]:
    if isinstance(file, io.TextIOBase):
        raise _text_mode(file)
    return _records(_Source(file), _Splitter(reader, deserialize))


def _records(source: _Source, splitter: _Splitter) -> Iterator[Any]:
    while piece := source.piece(splitter.wanted()):
        records, failure = splitter.feed(piece)
        yield from records
        if failure is not None:
            try:
                raise failure
            finally:
                # The traceback keeps this frame and its locals: no cycle through them.
                del failure, records
    splitter.end()


class _Source:
    """The pieces of a file, each as soon as it has arrived.

    A buffered file's read(n) waits for n bytes or the end, so that a record that has
    come through a live socket or pipe would wait for those after it; its read1(n)
    returns what is there, and reads a regular file in pieces of n bytes all the same."""

    def __init__(self, file: Readable) -> None:
        self.file = file
        self.read = file.read
        read1 = getattr(file, "read1", None)
        self.read_some: Callable[[int], object] = read1 if callable(read1) else self.read

    def piece(self, size: int) -> bytes:
        """The next piece of the file; empty at its end."""
        piece = self._checked(self.read_some(size))
        if not piece and self.read_some is not self.read:
            # read1 of a non-blocking file returns b"" also when nothing has arrived;
            # read tells that (None) from the end (b"").
            piece = self._checked(self.read(size))
        return piece

    def _checked(self, piece: object) -> bytes:
        if piece is None:
            raise BlockingIOError(errno.EAGAIN, f"{_name(self.file)} is non-blocking and has no data ready; "
                                                "a stream is read from a blocking file")
        return _bytes_read(piece, self.file)


def _bytes_read(piece: object, file: object) -> bytes:
    """What a read returned, as bytes; TypeError where it is no bytes-like object."""
    if type(piece) is bytes:
        return piece
    if isinstance(piece, str):
        raise _text_mode(file)
    if isinstance(piece, Buffer):
        return bytes(piece)
    raise TypeError(f"read() of {_name(file)} returned {type(piece).__name__}, not bytes")


class _AsyncSource:
    """The records of a stream read through an awaitable read, as _records reads them
    from a file, handed out by a native iterator (`_stream.AsyncRecords`) that asks
    next_record for a record only once the last piece's records are all out.

    A wait for the next record that is cancelled loses nothing: what was read stays
    here, and the next wait goes on from there."""

    def __init__(self, reader: AsyncReadable, splitter: _Splitter) -> None:
        self.reader, self.read, self.splitter = reader, reader.read, splitter
        self.failure: BaseException | None = None
        self.finished = False

    def records(self) -> AsyncIterator[Any]:
        # The iterator is passed to next_record rather than kept here: no cycle to collect.
        return _stream.AsyncRecords(self.next_record)

    async def next_record(self, records: _stream.AsyncRecords) -> Any:
        while True:
            if self.failure is not None:
                self.finished = True
                failure, self.failure = self.failure, None
                try:
                    if isinstance(failure, StopAsyncIteration):
                        # Out of __anext__ it would end the records as the stream's end
                        # does; an async generator's is turned into RuntimeError alike.
                        raise RuntimeError("a record's reader raised StopAsyncIteration") from failure
                    raise failure
                finally:
                    del failure  # no cycle through this frame's traceback
            if self.finished:
                raise StopAsyncIteration
            piece = _bytes_read(await self.read(self.splitter.wanted()), self.reader)
            if not piece:
                self.finished = True
                self.splitter.end()
                raise StopAsyncIteration
            ready, self.failure = self.splitter.feed(piece)
            if ready:
                return records.put(ready)


class _AsyncWriter:
    """Records written to an asyncio connection a batch at a time, by the writers' own
    loop (`_stream.next_batch`), with drain() awaited after each batch so that a slow
    peer holds the writer back. Every batch is whole records, handed to write() at once."""

    def __init__(self, writer: AsyncWritable, serialize: Callable[[Any], bytes]) -> None:
        self.writer, self.serialize = writer, serialize
        self.written = 0
        self.index = 0  # of the next record in the iterable

    async def write(self, records: Iterable[Any] | AsyncIterable[Any]) -> int:
        if not isinstance(records, AsyncIterable):
            await self._write_all(iter(records))
            return self.written
        iterator = aiter(records)
        while True:
            chunk, failure = await _take(iterator, ASYNC_CHUNK_RECORDS)
            await self._write_all(iter(chunk))
            if failure is not None:
                try:
                    raise failure
                finally:
                    del failure  # no cycle through this frame's traceback
            if len(chunk) < ASYNC_CHUNK_RECORDS:
                return self.written

    async def _write_all(self, iterator: Iterator[Any]) -> None:
        """Writes every record of iterator; raises the iterator's or a record's exception
        once the records before it are written."""
        while True:
            piece, count, failure, done = _stream.next_batch(iterator, self.serialize, _serialize_list,
                                                             BATCH_BYTES, self.index)
            self.index += count
            if piece:
                try:
                    self.writer.write(piece)
                    self.written += len(piece)
                    await self.writer.drain()
                except BaseException as error:
                    # The connection's error is raised, with the record's as its context,
                    # as by write_records.
                    if failure is not None and error is not failure:
                        error.__context__ = failure
                    raise
            if failure is not None:
                try:
                    raise failure
                finally:
                    del failure  # no cycle through this frame's traceback
            if done:
                return


async def _take(iterator: AsyncIterator[Any], count: int) -> tuple[list[Any], Exception | None]:
    """Up to count items of iterator, and the exception it raised in place of the next."""
    chunk: list[Any] = []
    try:
        async for item in iterator:
            chunk.append(item)
            if len(chunk) == count:
                break
    except Exception as error:  # the records before it are written first, as by write_records
        return chunk, error
    return chunk, None


class _Splitter:
    """Cuts a stream, fed in pieces of any size, into records and reads each one.

    Small records are read in batches by the native loop, as many as a piece holds. A
    record that lacks more than a batch of bytes is gathered on its own, its payload
    exactly, in pieces of at most LARGE_PIECE_BYTES, so that a length prefix that
    promises more than the stream holds costs no more memory than what is there."""

    def __init__(self, reader: Callable[[bytes, object], Any], deserialize: object) -> None:
        self.reader, self.deserialize = reader, deserialize
        self.offset = 0  # where the unread bytes start in the stream
        self.pending: list[bytes] = []  # the unread bytes, which start a record
        self.pending_bytes = 0
        self.needed = 0  # how many bytes that record takes, at least
        self.large: _Large | None = None

    def wanted(self) -> int:
        """How many bytes to ask the file for next."""
        if self.large is not None:
            return min(self.large.lacking, LARGE_PIECE_BYTES)
        return BATCH_BYTES

    def feed(self, piece: bytes) -> tuple[list[Any], BaseException | None]:
        """The records that piece completes, and the exception that stops the stream
        after them (a record the reader refuses, a length prefix that never ends)."""
        if self.large is not None:
            return self._feed_large(piece)
        self.pending.append(piece)
        self.pending_bytes += len(piece)
        if self.pending_bytes < self.needed:
            return [], None
        buffer = b"".join(self.pending)
        records, end, failure = _stream.read_records(buffer, self.reader, self.deserialize)
        if failure is not None:
            _add_note(failure, f"in the record at byte offset {self.offset + end} of the stream")
            return records, failure
        self.offset += end
        return records, self._keep(buffer[end:])

    def end(self) -> None:
        """At the end of the stream: raises ValueError if it ends inside a record."""
        if self.large is not None:
            large = self.large
            present = large.gathered.tell()
            raise ValueError(f"the stream ends inside the record at byte offset {self.offset}: "
                             f"it has {present} of its {large.length} bytes and lacks {large.length - present}")
        if self.pending_bytes:
            raise ValueError(_cut_short(b"".join(self.pending), self.offset))

    def _keep(self, rest: bytes) -> ValueError | None:
        """Keeps rest, the start of the next record, as pending or as a large record;
        the ValueError of a length prefix that never ends."""
        self.pending, self.pending_bytes = [rest] if rest else [], len(rest)
        try:
            width, length = _prefix(rest, self.offset)
        except ValueError as error:
            return error
        self.needed = width + length if width else len(rest) + 1
        if self.needed - len(rest) > BATCH_BYTES:
            self.large = _Large(width, length, rest[width:])
            self.pending, self.pending_bytes = [], 0
        return None

    def _feed_large(self, piece: bytes) -> tuple[list[Any], BaseException | None]:
        large = self.large
        assert large is not None
        lacking = large.lacking
        large.gathered.write(piece if len(piece) <= lacking else piece[:lacking])
        if len(piece) < lacking:
            return [], None
        self.large = None
        start, self.offset = self.offset, self.offset + large.width + large.length
        try:
            record = self.reader(large.gathered.getvalue(), self.deserialize)
        except BaseException as error:  # the reader's own, for the caller after the records before it
            _add_note(error, f"in the record at byte offset {start} of the stream")
            return [], error
        del large
        # A read may return more than asked: what follows the record starts the next.
        self.needed = 0
        rest = piece[lacking:]
        if not rest:
            return [record], None
        records, failure = self.feed(rest)
        return [record, *records], failure


class _Large:
    """A record read on its own: the width and value of its length prefix, and its
    payload as far as it has come."""

    def __init__(self, width: int, length: int, start: bytes) -> None:
        self.width, self.length = width, length
        self.gathered = io.BytesIO()  # its value is taken without a copy
        self.gathered.write(start)

    @property
    def lacking(self) -> int:
        return self.length - self.gathered.tell()


def _add_note(error: BaseException, note: str) -> None:
    # When memory is short the interpreter raises one MemoryError instance for every
    # failure, which would gather the notes of all of them.
    if not isinstance(error, MemoryError):
        error.add_note(note)


def _prefix(buffer: bytes, offset: int) -> tuple[int, int]:
    """The width and value of the length prefix at the start of buffer, by the rules of
    the record readers; (0, 0) while the buffer holds only part of it. A prefix of more
    than MAX_PREFIX_BYTES is refused: no length of 64 bits needs one."""
    value = 0
    for width, byte in enumerate(buffer[:MAX_PREFIX_BYTES + 1], start=1):
        if width > MAX_PREFIX_BYTES:
            raise ValueError(_endless_prefix(offset))
        value = ((value << 7) | (byte & 0x7F)) & 0xFFFF_FFFF_FFFF_FFFF
        if byte < 0x80:
            return width, value
    return 0, 0


def _endless_prefix(offset: int) -> str:
    return (f"the length prefix of the record at byte offset {offset} runs past {MAX_PREFIX_BYTES} bytes, "
            "refusing to process")


def _cut_short(buffer: bytes, offset: int) -> str:
    width, length = _prefix(buffer, offset)
    if not width:
        return (f"the stream ends inside the record at byte offset {offset}: "
                f"its length prefix is cut short after {len(buffer)} bytes; it lacks at least 1 byte")
    lacking = width + length - len(buffer)
    return (f"the stream ends inside the record at byte offset {offset}: "
            f"it has {len(buffer) - width} of its {length} bytes and lacks {lacking}")


def _text_mode(file: object) -> TypeError:
    return TypeError(f"{_name(file)} is open in text mode; a stream of records is bytes: open it in binary mode")


def _name(file: object) -> str:
    name = getattr(file, "name", None)
    return repr(name) if isinstance(name, (str, int)) else f"the {type(file).__name__}"


# ---------------------------------------------------------------------------
# Command line

PROG = "python -m zav.stream"

DESCRIPTION = """\
Convert a stream of records to JSON Lines and back.

  to-jsonl    each map record of the stream in FILE as one JSON object a line (with
              --lists, each list record as a JSON array)
  from-jsonl  each JSON object of the JSON Lines in FILE as a map record, each JSON
              array as a list record; values must be text, numbers or bools

FILE is standard input when absent or "-"; the result goes to standard output."""

EPILOG = """\
exit status: 0 done, 1 bad input (what came before it is written), 2 usage error."""


class InputError(Exception):
    pass


def to_jsonl(source: Readable, out: io.TextIOBase | Any, lists: bool = False) -> int:
    """Write each record of the stream as a line of JSON; return the count."""
    count = 0
    records: Iterator[Any] = read_lists(source) if lists else read_dicts(source)
    for record in records:
        out.write(json.dumps(record, ensure_ascii=False) + "\n")
        count += 1
    return count


def from_jsonl(lines: Iterable[bytes], out: Writable) -> int:
    """Write each JSON object or array of lines (UTF-8) as a record; return the count.

    A line that cannot be written raises InputError naming it, after every line before
    it has been written."""
    count = 0
    for number, line in enumerate(lines, start=1):
        if not line.strip():
            continue
        record = _record_bytes(_json_record(line, number), number)
        out.write(_serialize_list([record]))
        count += 1
    return count


def _json_record(line: bytes, number: int) -> dict[str, Any] | list[Any]:
    try:
        text = line.decode("utf-8")
    except UnicodeDecodeError as error:
        raise InputError(f"line {number}: not UTF-8: {error}") from None
    try:
        value: object = json.loads(text)
    except ValueError as error:
        raise InputError(f"line {number}: not JSON: {error}") from None
    if isinstance(value, dict):
        for key, field in value.items():
            _check_field(field, number, f"the value of {key!r}")
    elif isinstance(value, list):
        for index, item in enumerate(value):
            _check_field(item, number, f"item {index}")
    else:
        raise InputError(f"line {number}: {_json_type(value)}, not an object or an array")
    return value


def _record_bytes(record: dict[str, Any] | list[Any], number: int) -> bytes:
    try:
        return _serialize_dict(record) if isinstance(record, dict) else _serialize_list(record)
    except (UnicodeEncodeError, ValueError) as error:  # a lone surrogate; an int too long for str()
        raise InputError(f"line {number}: {error}") from None


def _check_field(value: object, number: int, where: str) -> None:
    if not isinstance(value, (str, int, float)):  # bool is an int
        raise InputError(f"line {number}: {where} is {_json_type(value)}; "
                         "a record holds only text, numbers and bools")


def _json_type(value: object) -> str:
    names = {dict: "an object", list: "an array", str: "a string", type(None): "null"}
    return names.get(type(value), "a number")


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description=DESCRIPTION, epilog=EPILOG,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    to = commands.add_parser("to-jsonl", help="a stream to JSON Lines")
    to.add_argument("--lists", action="store_true", help="the stream holds list records")
    to.add_argument("file", nargs="?", default="-", metavar="FILE")
    back = commands.add_parser("from-jsonl", help="JSON Lines to a stream")
    back.add_argument("file", nargs="?", default="-", metavar="FILE")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        if args.command == "to-jsonl":
            out = io.TextIOWrapper(sys.stdout.buffer, encoding="utf-8", newline="\n", write_through=False)
            try:
                with _open(args.file) as source:
                    to_jsonl(source, out, args.lists)
            finally:
                out.flush()
                out.detach()
        else:
            try:
                with _open(args.file) as lines:
                    from_jsonl(lines, sys.stdout.buffer)
            finally:
                sys.stdout.buffer.flush()
    except OSError as error:
        if isinstance(error, BrokenPipeError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
            return 1
        print(f"{PROG}: {error}", file=sys.stderr)
        return 2
    except (InputError, ValueError) as error:  # UnicodeDecodeError too
        print(f"{PROG}: {_describe(error)}", file=sys.stderr)
        return 1
    return 0


def _open(path: str) -> Any:
    """The file at path in binary mode, or standard input for "-", which stays open."""
    if path == "-":
        return contextlib.nullcontext(sys.stdin.buffer)
    return open(path, "rb")


def _describe(error: BaseException) -> str:
    return "; ".join([str(error), *getattr(error, "__notes__", [])])


if __name__ == "__main__":
    sys.exit(main())
