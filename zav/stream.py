"""Streams of records: many map or list records through one file, pipe or socket.

A stream is a list record whose items are records: each record is preceded by its
length as a varnum, and nothing else stands between records. Two streams written one
after the other are one stream, so a file is appended to by writing more records at
its end, and `_deserialize_list(data, False)` splits a whole stream into its records.

    write_dicts(file, dicts) / write_lists(file, lists)   -> bytes written
    read_dicts(file, deserialize=True) / read_lists(...)  -> iterator of records

The readers hold the largest record plus a buffer of a fixed size, whatever the length
of the stream. The command line converts streams to and from JSON Lines:

    python -m zav.stream to-jsonl [--lists] [FILE]
    python -m zav.stream from-jsonl [FILE]
"""

from __future__ import annotations

import argparse
import errno
import io
import json
import os
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any, Protocol

from zav import _stream
from zav.serializer import _deserialize_dict, _deserialize_list, _serialize_dict, _serialize_list

__all__ = ["read_dicts", "read_lists", "write_dicts", "write_lists"]

# The writers hand the file batches of about this many bytes; the readers ask for
# pieces of this size.
BATCH_BYTES = 64 * 1024
# A record larger than that is read in pieces of at most this size, so that a length
# prefix that promises more than the stream holds costs no more memory than what is there.
LARGE_PIECE_BYTES = 1 << 20


class Readable(Protocol):
    def read(self, size: int = ..., /) -> bytes: ...


class Writable(Protocol):
    def write(self, data: bytes, /) -> object: ...


def write_dicts(file: Writable, dicts: Iterable[dict[Any, Any]]) -> int:
    """Write each dict as one map record of the stream; return the bytes written.

    A dict that cannot be written raises what `_serialize_dict` raises, with a note
    giving its index in `dicts`; every record before it has been written, and no part
    of it.
    """
    return _write(file, dicts, _serialize_dict)


def write_lists(file: Writable, lists: Iterable[Any]) -> int:
    """Write each sequence as one list record of the stream; return the bytes written."""
    return _write(file, lists, _serialize_list)


def read_dicts(file: Readable, deserialize: object = True) -> Iterator[dict[str, Any]]:
    """The map records of a stream, read as `_deserialize_dict(record, deserialize)` reads them."""
    return _read(file, _deserialize_dict, deserialize)


def read_lists(file: Readable, deserialize: object = True) -> Iterator[list[Any]]:
    """The list records of a stream, read as `_deserialize_list(record, deserialize)` reads them."""
    return _read(file, _deserialize_list, deserialize)


def _write(file: Writable, records: Iterable[Any], serialize: Callable[[Any], bytes]) -> int:
    if isinstance(file, io.TextIOBase):
        raise _text_mode(file)
    written: int = _stream.write_records(file.write, records, serialize, _serialize_list, BATCH_BYTES)
    return written


def _read(file: Readable, reader: Callable[[bytes, object], Any], deserialize: object) -> Iterator[Any]:
    if isinstance(file, io.TextIOBase):
        raise _text_mode(file)
    return _records(file.read, file, reader, deserialize)


def _records(read: Callable[[int], bytes], file: object, reader: Callable[[bytes, object], Any],
             deserialize: object) -> Iterator[Any]:
    buffer = b""
    offset = 0  # where buffer starts in the stream
    while True:
        missing = _missing(buffer)
        if missing > BATCH_BYTES:
            buffer = _read_large(read, file, buffer, missing)
        else:
            piece = _piece(read, file, BATCH_BYTES)
            if not piece:
                break
            buffer = buffer + piece if buffer else piece
        records, end, failure = _stream.read_records(buffer, reader, deserialize)
        yield from records
        if failure is not None:
            _add_note(failure, f"in the record at byte offset {offset + end} of the stream")
            try:
                raise failure
            finally:
                # The traceback keeps this frame and its locals: no cycle through them.
                del failure, records, buffer
        offset += end
        buffer = buffer[end:]
        if missing > BATCH_BYTES and _missing(buffer):
            break  # the stream ended inside a large record
    if buffer:
        raise ValueError(_cut_short(buffer, offset))


def _add_note(error: BaseException, note: str) -> None:
    # When memory is short the interpreter raises one MemoryError instance for every
    # failure, which would gather the notes of all of them.
    if not isinstance(error, MemoryError):
        error.add_note(note)


def _read_large(read: Callable[[int], bytes], file: object, buffer: bytes, missing: int) -> bytes:
    """buffer and the rest of the record it starts, or as much of it as the stream holds.

    The pieces gather in a BytesIO, whose value is taken without a copy, so that a large
    record is held once."""
    gathered = io.BytesIO()
    gathered.write(buffer)
    while missing:
        piece = _piece(read, file, min(missing, LARGE_PIECE_BYTES))
        if not piece:
            break
        gathered.write(piece)
        missing -= len(piece)
    return gathered.getvalue()


def _piece(read: Callable[[int], bytes], file: object, size: int) -> bytes:
    piece = read(size)
    if type(piece) is bytes:
        return piece
    if isinstance(piece, str):
        raise _text_mode(file)
    if piece is None:
        raise BlockingIOError(errno.EAGAIN, f"{_name(file)} is non-blocking and has no data ready; "
                                            "a stream is read from a blocking file")
    return bytes(piece)


def _prefix(buffer: bytes) -> tuple[int, int, bool]:
    """The width and value of the length prefix at the start of buffer, and whether the
    buffer holds all of it (the rules of the record readers)."""
    value = 0
    for width, byte in enumerate(buffer, start=1):
        value = ((value << 7) | (byte & 0x7F)) & 0xFFFF_FFFF_FFFF_FFFF
        if byte < 0x80:
            return width, value, True
    return len(buffer), value, False


def _missing(buffer: bytes) -> int:
    """How many bytes the record at the start of buffer lacks: 0 for none, or when the
    buffer is empty; 1 while its length prefix is cut short."""
    if not buffer:
        return 0
    width, length, complete = _prefix(buffer)
    if not complete:
        return 1
    return max(0, width + length - len(buffer))


def _cut_short(buffer: bytes, offset: int) -> str:
    width, length, complete = _prefix(buffer)
    if not complete:
        return (f"the stream ends inside the record at byte offset {offset}: "
                f"its length prefix is cut short after {width} bytes; it lacks at least 1 byte")
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


def from_jsonl(lines: Iterable[str], out: Writable) -> int:
    """Write each JSON object or array of lines as a record; return the count."""
    count = 0
    for number, line in enumerate(lines, start=1):
        if not line.strip():
            continue
        record = _json_record(line, number)
        if isinstance(record, dict):
            write_dicts(out, [record])
        else:
            write_lists(out, [record])
        count += 1
    return count


def _json_record(line: str, number: int) -> dict[str, Any] | list[Any]:
    try:
        value: object = json.loads(line)
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
                with _open(args.file, "rb") as source:
                    to_jsonl(source, out, args.lists)
            finally:
                out.flush()
                out.detach()
        else:
            with _open(args.file, "r") as lines:
                from_jsonl(lines, sys.stdout.buffer)
            sys.stdout.buffer.flush()
    except OSError as error:
        if isinstance(error, BrokenPipeError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
            return 1
        print(f"{PROG}: {error}", file=sys.stderr)
        return 2
    except (InputError, ValueError, UnicodeDecodeError) as error:
        sys.stdout.flush()
        print(f"{PROG}: {_describe(error)}", file=sys.stderr)
        return 1
    return 0


def _open(path: str, mode: str) -> Any:
    if path == "-":
        stdin = sys.stdin.buffer if "b" in mode else io.TextIOWrapper(sys.stdin.buffer, encoding="utf-8")
        return _Borrowed(stdin)
    return open(path, mode, encoding=None if "b" in mode else "utf-8")


class _Borrowed:
    """Standard input for a `with` block, which leaves it open."""

    def __init__(self, file: Any) -> None:
        self.file = file

    def __enter__(self) -> Any:
        return self.file

    def __exit__(self, *exc: object) -> None:
        if isinstance(self.file, io.TextIOWrapper):
            self.file.detach()


def _describe(error: BaseException) -> str:
    return "; ".join([str(error), *getattr(error, "__notes__", [])])


if __name__ == "__main__":
    sys.exit(main())
