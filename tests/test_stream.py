"""Streams of records: round trips through real files, pipes, sockets and gzip; what a
cut or corrupt stream yields and raises; what the writers write when a record fails."""
from __future__ import annotations

import builtins
import contextlib
import functools
import gzip
import io
import json
import os
import socket
import subprocess
import sys
import threading
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import pytest

import zav.inspect
import zav.serializer as serializer
from zav import stream
from zav.inspect import inspect_stream

DICTS = [{"id": i, "name": f"user{i}", "city": "Zürich" if i % 3 else "東京", "ok": i % 2 == 0} for i in range(2000)]
AS_READ = [{key: str(value) for key, value in d.items()} for d in DICTS]
LISTS = [["a", 0, 2.5], [], ("t", "🙂")]
LISTS_READ = [["a", "0", "2.5"], [], ["t", "🙂"]]


def stream_bytes(records: list[dict[str, Any]]) -> bytes:
    """The stream as the record functions define it: a list record of map records."""
    return serializer._serialize_list([serializer._serialize_dict(d) for d in records])


class Trickle(io.RawIOBase):
    """A file whose read returns at most `step` bytes, and whose write takes at most
    `step` bytes of what it is given."""

    def __init__(self, data: bytes = b"", step: int = 1) -> None:
        self.data, self.step, self.out = data, step, bytearray()

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        n = min(self.step, len(buffer), len(self.data))
        buffer[:n], self.data = self.data[:n], self.data[n:]
        return n

    def writable(self) -> bool:
        return True

    def write(self, data: Any) -> int:
        self.out += bytes(data)[:self.step]
        return min(self.step, len(data))


class Calls:
    """A file-like object that records each write."""

    def __init__(self) -> None:
        self.writes: list[bytes] = []

    def write(self, data: bytes) -> None:
        self.writes.append(data)


def test_stream_is_a_list_of_records() -> None:
    out = io.BytesIO()
    assert stream.write_dicts(out, DICTS) == len(out.getvalue())
    assert out.getvalue() == stream_bytes(DICTS)
    assert [serializer._deserialize_dict(r) for r in serializer._deserialize_list(out.getvalue(), False)] == AS_READ
    lists = io.BytesIO()
    stream.write_lists(lists, iter(LISTS))
    assert list(stream.read_lists(io.BytesIO(lists.getvalue()))) == LISTS_READ
    assert list(stream.read_lists(io.BytesIO(lists.getvalue()), deserialize=False))[2] == [b"t", "🙂".encode()]


def test_real_file_appended_and_gzip(tmp_path: Path) -> None:
    path = tmp_path / "log.zs"
    with open(path, "wb") as file:
        stream.write_dicts(file, DICTS[:500])
    with open(path, "ab") as file:  # a second stream at the end makes one stream
        stream.write_dicts(file, (d for d in DICTS[500:]))
    with open(path, "rb") as file:
        assert list(stream.read_dicts(file)) == AS_READ
    with gzip.open(tmp_path / "log.zs.gz", "wb") as packed:
        stream.write_dicts(packed, DICTS)
    with gzip.open(tmp_path / "log.zs.gz", "rb") as packed:
        assert list(stream.read_dicts(packed, deserialize=False))[1]["name"] == b"user1"


def test_pipe_to_another_process() -> None:
    writer = ("import sys, zav.stream as s; "
              "s.write_dicts(sys.stdout.buffer, ({'n': i, 'text': 'é' * (i % 300)} for i in range(5000)))")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    with subprocess.Popen([sys.executable, "-c", writer], stdout=subprocess.PIPE, env=env) as child:
        assert child.stdout is not None
        records = list(stream.read_dicts(child.stdout))
    assert child.returncode == 0
    assert records == [{"n": str(i), "text": "é" * (i % 300)} for i in range(5000)]


def test_socket_pair_with_writer_thread() -> None:
    left, right = socket.socketpair()
    with left, right:
        def send() -> None:
            with left.makefile("wb") as out:
                stream.write_dicts(out, DICTS)
            left.shutdown(socket.SHUT_WR)
        thread = threading.Thread(target=send)
        thread.start()
        with right.makefile("rb") as incoming:
            assert list(stream.read_dicts(incoming)) == AS_READ
        thread.join()


def test_trickling_file_one_byte_at_a_time() -> None:
    data = stream_bytes(DICTS[:50])
    assert list(stream.read_dicts(Trickle(data))) == AS_READ[:50]
    # write() taking a byte at a time still gets the whole stream, unbuffered.
    raw = Trickle(step=7)
    assert stream.write_dicts(raw, DICTS[:50]) == len(data) and bytes(raw.out) == data


def test_many_small_records_make_few_writes() -> None:
    calls = Calls()
    total = stream.write_dicts(calls, DICTS * 10)
    assert b"".join(calls.writes) == stream_bytes(DICTS * 10) and total == sum(map(len, calls.writes))
    assert len(calls.writes) <= total // (stream.BATCH_BYTES // 2)


@pytest.mark.parametrize("size", [stream.BATCH_BYTES * 3 + 5, 5 * stream.LARGE_PIECE_BYTES // 2])
def test_records_larger_than_the_buffer(size: int) -> None:
    records = [{"small": "x"}, {"big": "b" * size}, {"small": "y"}]
    data = stream_bytes(records)
    assert list(stream.read_dicts(io.BytesIO(data))) == records
    cut = data[:len(data) - 9 - 5]  # the last record (9 bytes) and 5 of the big one
    with pytest.raises(ValueError, match=r"at byte offset 9: it has \d+ of its \d+ bytes and lacks 5"):
        list(stream.read_dicts(io.BytesIO(cut)))


def test_cut_at_every_offset() -> None:
    records = [{"a": "bc"}, {}, {"k" * 130: "v" * 200}, {"é": "1"}]
    data = stream_bytes(records)
    starts = [0]
    for record in records:
        starts.append(starts[-1] + len(serializer._serialize_list([serializer._serialize_dict(record)])))
    for cut in range(len(data) + 1):
        complete = sum(1 for end in starts[1:] if end <= cut)
        got: list[dict[str, str]] = []
        reader = stream.read_dicts(io.BytesIO(data[:cut]))
        if cut in starts:
            got.extend(reader)
        else:
            with pytest.raises(ValueError) as raised:
                got.extend(reader)
            begins = starts[complete]
            assert f"inside the record at byte offset {begins}:" in str(raised.value)
            assert f"lacks {starts[complete + 1] - cut}" in str(raised.value) or "cut short" in str(raised.value)
        assert got == records[:complete]


@pytest.mark.parametrize(("record", "error", "message"), [
    (b"\x05\x01ab", ValueError, "corrupt key, refusing to process"),
    (b"\x01\x01\xffa", UnicodeDecodeError, "invalid start byte"),
])
def test_record_the_reader_refuses(record: bytes, error: type[Exception], message: str) -> None:
    good = stream_bytes([{"a": "1"}])
    data = good + serializer._serialize_list([record]) + good
    seen = []
    with pytest.raises(error, match=message) as raised:
        for value in stream.read_dicts(io.BytesIO(data)):
            seen.append(value)
    assert seen == [{"a": "1"}]
    assert raised.value.__notes__ == [f"in the record at byte offset {len(good)} of the stream"]
    # The same exception as the reader's own on that record.
    with pytest.raises(error, match=message):
        serializer._deserialize_dict(record)


def failing_records() -> Iterator[dict[str, Any]]:
    yield {"a": "1"}
    yield {"b": "2"}
    raise KeyError("from the iterable")


@pytest.mark.parametrize(("records", "error", "note"), [
    ([{"a": "1"}, {"b": "2"}, {"c": None}], TypeError, "while writing record 2 of the iterable"),
    ([{"a": "1"}, {"b": "2"}, [("c", "d")]], TypeError, "while writing record 2 of the iterable"),
    (failing_records(), KeyError, None),
])
def test_writer_failure_keeps_the_records_before_it(records: Any, error: type[Exception], note: str | None) -> None:
    out = io.BytesIO()
    with pytest.raises(error) as raised:
        stream.write_dicts(out, records)
    assert getattr(raised.value, "__notes__", [None]) == [note]
    assert out.getvalue() == stream_bytes([{"a": "1"}, {"b": "2"}])


def test_writer_failure_message_is_the_serializers() -> None:
    with pytest.raises(TypeError) as direct:
        serializer._serialize_dict([])  # type: ignore[arg-type]
    with pytest.raises(TypeError) as through:
        stream.write_dicts(io.BytesIO(), [[]])  # type: ignore[list-item]
    assert str(through.value) == str(direct.value)


def test_text_mode_is_refused(tmp_path: Path) -> None:
    path = tmp_path / "t"
    with open(path, "w") as text:
        with pytest.raises(TypeError, match="text mode"):
            stream.write_dicts(text, [{"a": "b"}])  # type: ignore[call-overload]
    with open(path, "r") as text:
        with pytest.raises(TypeError, match="text mode"):
            stream.read_dicts(text)  # type: ignore[call-overload]

    class StrReader:
        def read(self, size: int) -> str:
            return "\x01a"
    with pytest.raises(TypeError, match="text mode"):
        next(stream.read_lists(StrReader()))  # type: ignore[call-overload]


def run_cli(module: str, *args: str, data: bytes) -> subprocess.CompletedProcess[bytes]:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run([sys.executable, "-m", module, *args], input=data, capture_output=True, env=env)


def test_jsonl_round_trip() -> None:
    lines = '{"name": "Zoë", "n": 3, "x": 2.5, "ok": true}\n["a", 1]\n\n{}\n'
    made = run_cli("zav.stream", "from-jsonl", data=lines.encode())
    assert made.returncode == 0, made.stderr
    assert made.stdout == serializer._serialize_list([
        serializer._serialize_dict({"name": "Zoë", "n": 3, "x": 2.5, "ok": True}),
        serializer._serialize_list(["a", 1]), b""])
    back = run_cli("zav.stream", "to-jsonl", data=stream_bytes(AS_READ[:3]))
    assert back.returncode == 0 and [json.loads(line) for line in back.stdout.splitlines()] == AS_READ[:3]


@pytest.mark.parametrize(("line", "message"), [
    (b'{"a": null}', "line 2: the value of 'a' is null"),
    (b'["a", [1]]', "line 2: item 1 is an array"),
    (b'"text"', "line 2: a string, not an object or an array"),
    (b'{"a": ', "line 2: not JSON"),
    (b'{"a": "\xff"}', "line 2: not UTF-8"),
    (b'{"a": "\\ud800"}', "line 2: 'utf-8' codec can't encode character '\\ud800'"),
])
def test_from_jsonl_refuses_a_line(line: bytes, message: str) -> None:
    made = run_cli("zav.stream", "from-jsonl", data=b'{"k": "v"}\n' + line + b'\n{"z": "1"}\n')
    assert made.returncode == 1 and message in made.stderr.decode()
    assert "Traceback" not in made.stderr.decode()
    assert made.stdout == stream_bytes([{"k": "v"}])


def test_to_jsonl_stops_at_damage() -> None:
    data = stream_bytes([{"a": "1"}]) + b"\x09\x01"
    done = run_cli("zav.stream", "to-jsonl", data=data)
    assert done.returncode == 1 and done.stdout == b'{"a": "1"}\n'
    assert "inside the record at byte offset 5" in done.stderr.decode()


# --- Files that do not behave like a blocking file of bytes -----------------------


@contextlib.contextmanager
def non_blocking_writer(kind: str, buffering: int) -> Iterator[tuple[Any, Callable[[], bytes]]]:
    """A non-blocking pipe or socket open for writing with that buffering, and a
    function that takes what has reached its other end."""
    source: Any
    file: Any
    if kind == "pipe":
        read_fd, write_fd = os.pipe()
        source, file = open(read_fd, "rb", buffering=0), open(write_fd, "wb", buffering=buffering)
        receive, ends = source.read, [source, file]
    else:
        source, left = socket.socketpair()
        file = left.makefile("wb", buffering=buffering)
        receive, ends = source.recv, [source, left, file]
    os.set_blocking(source.fileno(), False)
    os.set_blocking(file.fileno(), False)

    def take() -> bytes:
        chunks: list[bytes] = []
        while True:
            try:
                chunk = receive(1 << 16)
            except BlockingIOError:
                chunk = None
            if not chunk:
                return b"".join(chunks)
            chunks.append(chunk)

    with contextlib.ExitStack() as stack:
        for end in ends:
            stack.enter_context(end)
        yield file, take


@pytest.mark.parametrize("buffering", [0, -1], ids=["raw", "buffered"])
@pytest.mark.parametrize("kind", ["pipe", "socket"])
def test_non_blocking_writer_says_how_much_the_file_took(kind: str, buffering: int) -> None:
    records = [{"n": i, "kind": "event"} for i in range(100_000)]
    whole = stream_bytes(records)
    with non_blocking_writer(kind, buffering) as (file, take):
        with pytest.raises(BlockingIOError) as raised:
            stream.write_dicts(file, records)
        taken = raised.value.characters_written
        arrived = take()
        while buffering:  # what the buffered file still holds, once the other end has room
            try:
                file.flush()
                break
            except BlockingIOError:
                arrived += take()
        arrived += take()
    assert 0 < taken < len(whole) and arrived == whole[:taken]
    assert f"the file took {taken} bytes of the stream" in raised.value.__notes__[0]


def test_live_connection_yields_each_record_as_it_arrives() -> None:
    """Requests and answers, one record at a time, over a connection that stays open."""
    left, right = socket.socketpair()
    left.settimeout(10)  # a reader that waits for more than has come fails here
    right.settimeout(10)

    def answer() -> None:
        with right.makefile("rb") as requests, right.makefile("wb") as answers:
            for request in stream.read_dicts(requests):
                stream.write_dicts(answers, [{"twice": request["n"] * 2}])
                answers.flush()
        right.shutdown(socket.SHUT_WR)

    server = threading.Thread(target=answer)
    server.start()
    with left, right, left.makefile("rb") as incoming, left.makefile("wb") as outgoing:
        answers = stream.read_dicts(incoming)
        for n in ["1", "é" * 3000, "x" * (3 * stream.BATCH_BYTES)]:
            stream.write_dicts(outgoing, [{"n": n}])
            outgoing.flush()
            assert next(answers) == {"twice": n * 2}
        left.shutdown(socket.SHUT_WR)
        server.join()
        assert list(answers) == []


def test_child_record_arrives_while_the_child_runs() -> None:
    child_code = ("import sys, zav.stream as s; s.write_dicts(sys.stdout.buffer, [{'first': 'record'}]); "
                  "sys.stdout.flush(); sys.stdin.read()")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    with subprocess.Popen([sys.executable, "-c", child_code], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                          env=env) as child:
        assert child.stdin is not None and child.stdout is not None
        killed = threading.Event()
        # A reader that waits for more than has come gets the record only once the child is gone.
        def kill() -> None:
            killed.set()
            child.kill()
        watchdog = threading.Timer(20, kill)
        watchdog.start()
        records = stream.read_dicts(child.stdout)
        first = next(records)
        watchdog.cancel()
        child.stdin.close()
        rest = list(records)
    assert first == {"first": "record"} and rest == [] and not killed.is_set()


class BlockReader:
    """A file that reads whole blocks of 4 KiB, so that its read returns more than
    it is asked; it remembers every size it was asked for."""

    def __init__(self, data: bytes) -> None:
        self.data, self.asked = data, list[int]()

    def read(self, size: int = -1) -> bytes:
        self.asked.append(size)
        count = len(self.data) if size < 0 else -(-size // 4096) * 4096
        piece, self.data = self.data[:count], self.data[count:]
        return piece


def test_reads_longer_than_asked() -> None:
    records = [{"small": "a"}, {"big": "b" * (stream.BATCH_BYTES * 2 + 100)}, {"small": "c"}] * 3
    file = BlockReader(stream_bytes(records))
    assert list(stream.read_dicts(file)) == records
    assert all(0 < size <= stream.LARGE_PIECE_BYTES for size in file.asked)


def test_length_prefix_that_never_ends(tmp_path: Path) -> None:
    good = stream_bytes([{"a": "1"}])
    data = good + b"\xff" * (10 << 20)
    file = io.BytesIO(data)
    seen: list[dict[str, str]] = []
    with pytest.raises(ValueError, match=f"the record at byte offset {len(good)} runs past 10 bytes"):
        seen.extend(stream.read_dicts(file))
    assert seen == [{"a": "1"}] and file.tell() <= 2 * stream.BATCH_BYTES
    path = tmp_path / "endless"
    path.write_bytes(data)
    for module, args in [("zav.stream", ["to-jsonl", str(path)]), ("zav.inspect", ["--stream", str(path)])]:
        done = run_cli(module, *args, data=b"")
        assert done.returncode == 1 and f"byte offset {len(good)}" in done.stderr.decode() + done.stdout.decode()


@pytest.mark.parametrize("width", [10, 11])
def test_length_prefix_of_ten_bytes_is_the_longest(width: int) -> None:
    record = b"\x80" * (width - 1) + b"\x03" + serializer._serialize_dict({"k": ""})
    read = stream.read_dicts(io.BytesIO(record))
    report = inspect_stream(record)
    if width == 10:
        assert list(read) == [{"k": ""}] and report.ok
    else:
        with pytest.raises(ValueError, match="runs past 10 bytes"):
            list(read)
        assert report.endless_prefix == 0 and not report.records


@pytest.mark.parametrize("tail", [b"", b"\x05", b"\x80" * 11], ids=["whole", "cut", "endless prefix"])
def test_inspecting_a_stream_of_many_records_takes_linear_work(tail: bytes, monkeypatch: pytest.MonkeyPatch) -> None:
    """The walk copies its list of records once, not once a record."""
    copied = 0

    def counting_tuple(items: Any = ()) -> tuple[Any, ...]:
        nonlocal copied
        made = builtins.tuple(items)
        copied += len(made)
        return made

    monkeypatch.setattr(zav.inspect, "tuple", counting_tuple, raising=False)
    count = 3000
    report = inspect_stream(b"\x00" * count + tail)
    assert len(report.records) == count and report.ok == (not tail)
    assert copied <= 3 * count


@pytest.mark.parametrize(("returned", "where"), [
    (True, "write"), (2.0, "write"), ("3", "write"), (3, "read"), ([1, 2], "read"),
])
def test_file_returning_the_wrong_type(returned: object, where: str) -> None:
    class Odd:
        def write(self, data: bytes) -> object:
            return returned

        def read(self, size: int) -> object:
            return returned

    with pytest.raises(TypeError, match="not the number of bytes|not bytes"):
        if where == "write":
            stream.write_dicts(Odd(), [{"a": "b"}])
        else:
            next(stream.read_dicts(Odd()))  # type: ignore[call-overload]
