"""Walk a map or list record entry by entry and say where it goes wrong.

    python -m zav.inspect [--map | --list] [--stream] [--hex] [FILE]

The inspector is plain Python and does not load the extension module. It reads a
record by the same rules as `_deserialize_dict` and `_deserialize_list`: it calls a
record corrupt exactly where they refuse it, and shows every entry before that point
with its offset, its length prefixes and a preview of its payloads.

The functions `inspect_map` and `inspect_list` give a `Report`; `render` turns one
into the text that the command prints. With --stream the input is a stream of records
(zav.stream): `inspect_stream` gives a line per record, with its offset, size and
fields, and points at the first damaged record and at a stream cut short.
"""

import argparse
import io
import os
import sys
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Literal

PROG = "python -m zav.inspect"

# Varnum values are unsigned 64-bit integers: longer varnums keep their low 64 bits.
MASK64 = (1 << 64) - 1

# Previews show at most this many characters of text, or bytes of anything else.
PREVIEW_CHARS = 40
PREVIEW_BYTES = 16


@dataclass(frozen=True)
class Varnum:
    """A length prefix: where it starts, how many bytes it took, and its value."""

    offset: int
    width: int
    value: int
    # False when the input ended before a byte below 0x80 closed the varnum.
    complete: bool

    @property
    def end(self) -> int:
        return self.offset + self.width


def read_varnum(data: bytes, offset: int, most: int | None = None) -> Varnum:
    """Read a varnum as the record readers do.

    Seven bits per byte, most significant group first; the first byte below 0x80 is
    the last. Any number of bytes is accepted, or at most `most`. A varnum cut short by
    the end of the input (or by `most`) has the value of the groups read so far, and
    no bytes at all read as 0.
    """
    value = 0
    position = offset
    end = len(data) if most is None else min(len(data), offset + most)
    while position < end:
        byte = data[position]
        position += 1
        value = ((value << 7) | (byte & 0x7F)) & MASK64
        if byte < 0x80:
            return Varnum(offset, position - offset, value, complete=True)
    return Varnum(offset, position - offset, value, complete=False)


@dataclass(frozen=True)
class Payload:
    offset: int
    data: bytes


@dataclass(frozen=True)
class MapEntry:
    """One pair: key length, value length, key bytes, value bytes."""

    index: int
    offset: int
    key_length: Varnum
    value_length: Varnum
    key: Payload
    value: Payload


@dataclass(frozen=True)
class ListEntry:
    """One item: its length and its bytes."""

    index: int
    offset: int
    length: Varnum
    item: Payload


type Reason = Literal["key overrun", "value overrun", "item overrun"]

# What the readers raise (as ValueError) for each kind of overrun.
READER_MESSAGES: dict[Reason, str] = {
    "key overrun": "corrupt key, refusing to process",
    "value overrun": "corrupt value, refusing to process",
    "item overrun": "corrupt array item, refusing to process",
}


@dataclass(frozen=True)
class Fault:
    """The entry at which a record goes wrong.

    `needed` payload bytes are declared after the last length prefix read, where only
    `available` bytes are left.
    """

    index: int
    offset: int
    reason: Reason
    lengths: tuple[Varnum, ...]
    needed: int
    available: int

    @property
    def message(self) -> str:
        return READER_MESSAGES[self.reason]


@dataclass(frozen=True)
class Report[E: (MapEntry, ListEntry)]:
    """The entries of a record up to its end, or up to the entry that is corrupt."""

    kind: Literal["map", "list"]
    size: int
    entries: tuple[E, ...]
    fault: Fault | None

    @property
    def ok(self) -> bool:
        return self.fault is None


def inspect_map(data: bytes) -> Report[MapEntry]:
    """Walk a map record with the checks of `_deserialize_dict`.

    A pair is refused when its key length exceeds the bytes after the key length
    ("key overrun"), and otherwise when its key and value lengths together exceed the
    bytes after the value length ("value overrun").
    """
    entries: list[MapEntry] = []
    position = 0
    while position < len(data):
        index = len(entries)
        key_length = read_varnum(data, position)
        after_key_length = len(data) - key_length.end
        if key_length.value > after_key_length:
            fault = Fault(index, position, "key overrun", (key_length,),
                          key_length.value, after_key_length)
            return Report("map", len(data), tuple(entries), fault)
        value_length = read_varnum(data, key_length.end)
        after_value_length = len(data) - value_length.end
        needed = key_length.value + value_length.value
        if needed > after_value_length:
            fault = Fault(index, position, "value overrun", (key_length, value_length),
                          needed, after_value_length)
            return Report("map", len(data), tuple(entries), fault)
        key_start = value_length.end
        value_start = key_start + key_length.value
        end = value_start + value_length.value
        entries.append(MapEntry(
            index, position, key_length, value_length,
            Payload(key_start, data[key_start:value_start]),
            Payload(value_start, data[value_start:end]),
        ))
        position = end
    return Report("map", len(data), tuple(entries), None)


def inspect_list(data: bytes) -> Report[ListEntry]:
    """Walk a list record with the check of `_deserialize_list`: an item is refused
    when its length exceeds the bytes after its length prefix ("item overrun")."""
    entries: list[ListEntry] = []
    position = 0
    while position < len(data):
        index = len(entries)
        length = read_varnum(data, position)
        available = len(data) - length.end
        if length.value > available:
            fault = Fault(index, position, "item overrun", (length,), length.value, available)
            return Report("list", len(data), tuple(entries), fault)
        end = length.end + length.value
        entries.append(ListEntry(index, position, length, Payload(length.end, data[length.end:end])))
        position = end
    return Report("list", len(data), tuple(entries), None)


def first_not_utf8(report: Report[MapEntry] | Report[ListEntry], *, values: bool) -> int | None:
    """Index of the first entry that the reader cannot decode, or None.

    `_deserialize_dict` always decodes keys, and values too when asked to;
    `_deserialize_list` decodes items only when asked to (`values`).
    """
    for entry in report.entries:
        payloads: tuple[Payload, ...]
        if isinstance(entry, MapEntry):
            payloads = (entry.key, entry.value) if values else (entry.key,)
        else:
            payloads = (entry.item,) if values else ()
        if not all(is_utf8(payload.data) for payload in payloads):
            return entry.index
    return None


def is_utf8(data: bytes) -> bool:
    try:
        data.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return True


@dataclass(frozen=True)
class StreamRecord:
    """One record of a stream: where its length prefix starts, the prefix, and the
    record walked as a map or list record."""

    index: int
    offset: int
    length: Varnum
    report: Report[MapEntry] | Report[ListEntry]

    @property
    def damage(self) -> str | None:
        """Why the stream readers refuse this record (decoding values, as they do by
        default), or None. The reader stops at the first entry it cannot read: text that
        is not UTF-8 in an entry before the corrupt one (all entries walked are before it)."""
        kind = "pair" if self.report.kind == "map" else "item"
        bad = first_not_utf8(self.report, values=True)
        if bad is not None:
            return f"{kind} {bad} is not UTF-8 (UnicodeDecodeError)"
        if self.report.fault is not None:
            return describe_fault(kind, self.report.fault)
        return None


@dataclass(frozen=True)
class StreamReport:
    """The records of a stream, and where it ends inside a record, if it does."""

    kind: Literal["map", "list"]
    size: int
    records: tuple[StreamRecord, ...]
    # The record the stream ends inside of: its offset, prefix and the bytes present.
    cut: tuple[int, Varnum, int] | None
    # The offset of a length prefix longer than any record's, where the readers stop.
    endless_prefix: int | None = None

    @property
    def damaged(self) -> StreamRecord | None:
        return next((record for record in self.records if record.damage is not None), None)

    @property
    def ok(self) -> bool:
        return self.cut is None and self.damaged is None and self.endless_prefix is None


# The stream readers refuse a length prefix of more bytes than a 64-bit length takes.
STREAM_PREFIX_BYTES = 10


def inspect_stream(data: bytes, kind: Literal["map", "list"] = "map") -> StreamReport:
    """Walk a stream: a list record whose items are records of one kind.

    A length prefix or record cut short by the end of the input is a cut stream, as
    the stream readers see it, also where the list reader would take a prefix cut
    short as complete. A length prefix of more than STREAM_PREFIX_BYTES ends the walk,
    as it stops the readers."""
    inspect = inspect_map if kind == "map" else inspect_list
    records: list[StreamRecord] = []
    position = 0
    while position < len(data):
        length = read_varnum(data, position, most=STREAM_PREFIX_BYTES + 1)
        if length.width > STREAM_PREFIX_BYTES:
            return StreamReport(kind, len(data), tuple(records), None, endless_prefix=position)
        available = len(data) - length.end
        if not length.complete or length.value > available:
            cut = (position, length, available if length.complete else 0)
            return StreamReport(kind, len(data), tuple(records), cut)
        end = length.end + length.value
        records.append(StreamRecord(len(records), position, length, inspect(data[length.end:end])))
        position = end
    return StreamReport(kind, len(data), tuple(records), None)


# ---------------------------------------------------------------------------
# Rendering


def plural(count: int, noun: str) -> str:
    return f"{count} {noun}" if count == 1 else f"{count} {noun}s"


def preview(data: bytes) -> str:
    """The payload as text when it is UTF-8, otherwise as hex; long ones are cut."""
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        shown = data[:PREVIEW_BYTES].hex(" ")
        more = f" ... ({plural(len(data), 'byte')})" if len(data) > PREVIEW_BYTES else ""
        return f"hex {shown}{more} (not UTF-8)"
    if len(text) > PREVIEW_CHARS:
        return f"{text[:PREVIEW_CHARS]!r} ... ({plural(len(data), 'byte')})"
    return repr(text)


def describe_length(name: str, varnum: Varnum) -> str:
    if varnum.width == 0:
        return f"{name} 0 (absent: end of input)"
    notes = [plural(varnum.width, "byte")]
    if not varnum.complete:
        notes.append("cut short by the end of input")
    elif varnum.width > 1 and varnum.value < 1 << (7 * (varnum.width - 1)):
        notes.append("longer than needed")
    return f"{name} {varnum.value} ({', '.join(notes)})"


def describe_fault(kind: str, fault: Fault) -> str:
    needs = plural(fault.needed, "byte")
    if fault.reason == "key overrun":
        detail = f"key needs {needs}, {fault.available} follow the key length"
    elif fault.reason == "value overrun":
        detail = f"key and value need {needs}, {fault.available} follow the value length"
    else:
        detail = f"item needs {needs}, {fault.available} follow its length"
    return f"corrupt: {kind} {fault.index} at offset {fault.offset}: {fault.reason}: {detail}"


def render(report: Report[MapEntry] | Report[ListEntry]) -> str:
    """The inspector's output: a header, a line or three per entry, and a verdict."""
    kind = "pair" if report.kind == "map" else "item"
    lines = [f"{report.kind} record, {plural(report.size, 'byte')}"]
    for entry in report.entries:
        if isinstance(entry, MapEntry):
            lines.append(f"pair {entry.index} at {entry.offset}: "
                         f"{describe_length('key length', entry.key_length)}, "
                         f"{describe_length('value length', entry.value_length)}")
            lines.append(f"    key   at {entry.key.offset}: {preview(entry.key.data)}")
            lines.append(f"    value at {entry.value.offset}: {preview(entry.value.data)}")
        else:
            lines.append(f"item {entry.index} at {entry.offset}: "
                         f"{describe_length('length', entry.length)}: {preview(entry.item.data)}")
    fault = report.fault
    if fault is None:
        summary = f"ok: {plural(len(report.entries), kind)} in {plural(report.size, 'byte')}"
        keys = {entry.key.data for entry in report.entries if isinstance(entry, MapEntry)}
        if report.kind == "map" and len(keys) < len(report.entries):
            summary += f" ({plural(len(keys), 'distinct key')}; the last value of a key wins)"
        lines.append(summary)
    else:
        names = ("key length", "value length") if report.kind == "map" else ("length",)
        read = ", ".join(describe_length(name, varnum) for name, varnum in zip(names, fault.lengths))
        lines.append(f"{kind} {fault.index} at {fault.offset}: {read}")
        lines.append(describe_fault(kind, fault))
        lines.append(f"the reader refuses the whole record: {fault.message}")
    if report.kind == "map":
        bad_key = first_not_utf8(report, values=False)
        if bad_key is not None:
            before = ", before the corrupt pair" if fault is not None else ""
            lines.append(f"note: the key of pair {bad_key} is not UTF-8; "
                         f"reading the record fails there with UnicodeDecodeError{before}")
    return "\n".join(lines) + "\n"


def fields(report: Report[MapEntry] | Report[ListEntry], most: int = 8) -> str:
    """The keys of a map record, or the count of a list record's items."""
    if report.kind == "list":
        return plural(len(report.entries), "item")
    keys = [preview(entry.key.data) for entry in report.entries if isinstance(entry, MapEntry)]
    shown = ", ".join(keys[:most]) + (f", ... ({len(keys) - most} more)" if len(keys) > most else "")
    return f"{plural(len(keys), 'field')}" + (f": {shown}" if keys else "")


def render_stream(report: StreamReport) -> str:
    """A line per record (offset, size, fields or damage), then a verdict."""
    lines = [f"stream of {report.kind} records, {plural(report.size, 'byte')}"]
    for record in report.records:
        size = plural(record.report.size, "byte")
        damage = record.damage
        what = f"DAMAGED: {damage}" if damage is not None else fields(record.report)
        lines.append(f"record {record.index} at {record.offset}: {size}, {what}")
    damaged = report.damaged
    if damaged is not None:
        reader = "read_dicts" if report.kind == "map" else "read_lists"
        lines.append(f"damaged: record {damaged.index} at byte offset {damaged.offset}; "
                     f"{reader} yields the {plural(damaged.index, 'record')} before it and raises there")
    if report.endless_prefix is not None:
        lines.append(f"bad length prefix: record {len(report.records)} at byte offset {report.endless_prefix} "
                     f"has a length prefix of more than {STREAM_PREFIX_BYTES} bytes; no stream holds one")
    if report.cut is not None:
        offset, length, present = report.cut
        index = len(report.records)
        if not length.complete:
            detail = f"its length prefix is cut short after {plural(length.width, 'byte')}"
        else:
            detail = f"it has {present} of its {length.value} bytes and lacks {length.value - present}"
        lines.append(f"cut: the stream ends inside record {index} at byte offset {offset}: {detail}")
    if report.ok:
        lines.append(f"ok: {plural(len(report.records), 'record')} in {plural(report.size, 'byte')}")
    return "\n".join(lines) + "\n"


# ---------------------------------------------------------------------------
# Command line

DESCRIPTION = """\
Show the entries of a record made by zav.serializer: for each, its offset, the
width and value of its length prefixes and a preview of its payload (text when
it is UTF-8, hex otherwise); then "ok" with the count, or the entry and offset
at which the record is corrupt and why."""

EPILOG = """\
record layouts:
  map record   pairs back to back, each: key length, value length, key bytes,
               value bytes
  list record  items back to back, each: length, item bytes
  Lengths are varnums: 7 bits per byte, most significant group first, 0x80 set
  on every byte but the last. There is no header, count or terminator.

A record is corrupt where a key, value or item would run past the end of the
input; the readers then refuse the whole record with ValueError.

A stream (--stream) is a list record whose items are records. A record of it is
damaged where it is corrupt or holds text that is not UTF-8; the stream is cut
where it ends inside a record, and broken at a length prefix of more than 10
bytes, which no record has.

exit status: 0 the record (or stream) is good, 1 it is corrupt (damaged, cut or broken), 2 usage error (bad
arguments, bad hex, unreadable file)."""


class UsageError(Exception):
    pass


def parse_hex(text: str) -> bytes:
    """Bytes from hexadecimal text; whitespace anywhere is ignored."""
    digits: list[str] = []
    for position, char in enumerate(text, start=1):
        if char in " \t\n\r\f\v":
            continue
        if char not in "0123456789abcdefABCDEF":
            raise UsageError(f"bad hex input: {char!r} at character {position} is not a hex digit")
        digits.append(char)
    if len(digits) % 2:
        raise UsageError(f"bad hex input: odd number of hex digits ({len(digits)})")
    return bytes.fromhex("".join(digits))


def read_input(path: str, hex_text: bool) -> bytes:
    """The record from a file, or from standard input for "-"."""
    try:
        if path == "-":
            raw = sys.stdin.buffer.read()
        else:
            with open(path, "rb") as file:
                raw = file.read()
    except OSError as error:
        raise UsageError(f"cannot read {path}: {error.strerror or error}") from None
    if not hex_text:
        return raw
    try:
        text = raw.decode("ascii")
    except UnicodeDecodeError as error:
        raise UsageError(f"bad hex input: byte {error.start + 1} is not ASCII") from None
    return parse_hex(text)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description=DESCRIPTION, epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    kind = parser.add_mutually_exclusive_group()
    kind.add_argument("--map", dest="kind", action="store_const", const="map",
                      help="read a map record, or a stream of them (the default)")
    kind.add_argument("--list", dest="kind", action="store_const", const="list",
                      help="read a list record, or a stream of them")
    parser.set_defaults(kind="map")
    parser.add_argument("--stream", action="store_true",
                        help="the input is a stream of records (zav.stream): list its records")
    parser.add_argument("--hex", action="store_true",
                        help="the input is hexadecimal text (whitespace allowed), not raw bytes")
    parser.add_argument("file", nargs="?", default="-", metavar="FILE",
                        help='the record; standard input when absent or "-"')
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        data = read_input(args.file, args.hex)
    except UsageError as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        return 2
    report: Report[MapEntry] | Report[ListEntry] | StreamReport
    if args.stream:
        report = inspect_stream(data, args.kind)
    else:
        report = inspect_map(data) if args.kind == "map" else inspect_list(data)
    if isinstance(sys.stdout, io.TextIOWrapper):
        # Previews may hold any character; a terminal that cannot show it gets an escape.
        sys.stdout.reconfigure(errors="backslashreplace")
    try:
        sys.stdout.write(render_stream(report) if isinstance(report, StreamReport) else render(report))
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader of our output went away (`| head`); say nothing more.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    return 0 if report.ok else 1


if __name__ == "__main__":
    sys.exit(main())
