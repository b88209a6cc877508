"""Arbitrary bytes through the stream readers of zav.stream, run by the libFuzzer
target fuzz/fuzz_stream.cpp (one call of `run` per input), or by hand to replay inputs:

    python3.14 fuzz/stream_driver.py FILE...

The first byte of an input picks the sizes of the readers' buffer and of their pieces
of large records (small ones, so that short inputs reach every path), and whether
read_dicts or read_lists reads it, with deserialize True or False; the next four are
the sizes that the file's read returns in turn: the low seven bits at most what was
asked, or with the top bit set that many bytes more than asked, as a file that reads
whole blocks may return; the rest is the stream. It is read through that trickling file and through io.BytesIO, and the
outcomes are held against what the record functions give for the records that
zav.inspect finds: the same records in order, then for a stream cut short a ValueError
naming the offset of the record it ends inside, for a length prefix of more than ten
bytes a ValueError naming its offset, and for a record the reader refuses
the reader's own exception with a note naming the record's offset. Any difference
raises AssertionError.
"""
from __future__ import annotations

import io
import sys
from collections.abc import Callable, Iterator
from typing import Any

import zav.serializer as serializer
from zav import stream
from zav.inspect import inspect_stream

BUFFER_SIZES = (1, 2, 5, 16, 64 * 1024)
PIECE_SIZES = (1, 3, 1 << 20)


class Trickle:
    """A binary file whose read returns the next of `sizes` bytes: a byte below 0x80 at
    most that many (and at most what it is asked), one above it that many more than asked."""

    def __init__(self, data: bytes, sizes: bytes) -> None:
        self.data = data
        self.sizes = list(sizes) or [1]
        self.turn = 0

    def read(self, size: int = -1) -> bytes:
        step = self.sizes[self.turn % len(self.sizes)]
        self.turn += 1
        count = size + (step & 0x7F) if step & 0x80 else min(step or 1, size)
        piece, self.data = self.data[:count], self.data[count:]
        return piece


type Outcome = tuple[list[Any], tuple[type[BaseException], str, list[str]] | None]


def outcome(records: Iterator[Any]) -> Outcome:
    got: list[Any] = []
    try:
        got.extend(records)
    except Exception as error:  # every exception is an outcome to compare
        return got, (type(error), str(error), list(getattr(error, "__notes__", [])))
    return got, None


def expected(data: bytes, kind: str, deserialize: bool) -> Outcome:
    """What reading the stream must give, from the inspector's walk and the record
    functions applied to each record it finds."""
    reader: Callable[[bytes, bool], Any] = (serializer._deserialize_dict if kind == "map"
                                            else serializer._deserialize_list)
    report = inspect_stream(data, "map" if kind == "map" else "list")
    got: list[Any] = []
    for record in report.records:
        payload = data[record.length.end:record.length.end + record.length.value]
        try:
            got.append(reader(payload, deserialize))
        except Exception as error:
            note = f"in the record at byte offset {record.offset} of the stream"
            return got, (type(error), str(error), [note])
    if report.endless_prefix is not None:
        return got, (ValueError, f"the length prefix of the record at byte offset {report.endless_prefix} "
                                 "runs past 10 bytes", [])
    if report.cut is not None:
        offset = report.cut[0]
        return got, (ValueError, f"the stream ends inside the record at byte offset {offset}", [])
    return got, None


def same(actual: Outcome, wanted: Outcome) -> bool:
    if actual[0] != wanted[0] or (actual[1] is None) != (wanted[1] is None):
        return False
    if actual[1] is None or wanted[1] is None:
        return True
    (kind, message, notes), (want_kind, want_message, want_notes) = actual[1], wanted[1]
    return kind is want_kind and message.startswith(want_message) and notes == want_notes


def run(data: bytes) -> None:
    settings, sizes, body = (data[:1] or b"\0")[0], data[1:5], data[5:]
    stream.BATCH_BYTES = BUFFER_SIZES[settings % len(BUFFER_SIZES)]
    stream.LARGE_PIECE_BYTES = PIECE_SIZES[settings // len(BUFFER_SIZES) % len(PIECE_SIZES)]
    choice = settings // (len(BUFFER_SIZES) * len(PIECE_SIZES))
    kind, read = ("map", stream.read_dicts) if choice % 2 == 0 else ("list", stream.read_lists)
    deserialize = choice // 2 % 2 == 0
    wanted = expected(body, kind, deserialize)
    for file in (Trickle(body, sizes), io.BytesIO(body)):
        actual = outcome(read(file, deserialize))  # type: ignore[arg-type]
        assert same(actual, wanted), (kind, deserialize, type(file).__name__, actual, wanted)


if __name__ == "__main__":
    for path in sys.argv[1:]:
        with open(path, "rb") as replay:
            run(replay.read())
        print(f"{path}: ok")
