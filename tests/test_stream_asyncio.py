"""Streams over asyncio connections: real TCP on the loopback, slow and dropping peers,
cancelled reads and writes, and what reaches the peer when a record or its source fails."""
from __future__ import annotations

import asyncio
import contextlib
import dataclasses
import io
from collections.abc import AsyncIterator, Awaitable, Callable
from typing import Any

import pytest

import zav.serializer as serializer
from zav import _stream, stream
from zav.typed import Schema

RECORDS = [{"n": i, "name": f"user{i}", "city": "Zürich" if i % 3 else "東京"} for i in range(3000)]
AS_READ = [{key: str(value) for key, value in d.items()} for d in RECORDS]


def stream_bytes(records: list[dict[str, Any]]) -> bytes:
    return serializer._serialize_list([serializer._serialize_dict(d) for d in records])


def run(main: Callable[[], Awaitable[Any]]) -> Any:
    return asyncio.run(asyncio.wait_for(main(), 60))


async def serve(handle: Callable[[asyncio.StreamReader, asyncio.StreamWriter], Awaitable[None]]) -> asyncio.Server:
    return await asyncio.start_server(handle, "127.0.0.1", 0)


async def connect(server: asyncio.Server) -> tuple[asyncio.StreamReader, asyncio.StreamWriter]:
    return await asyncio.open_connection("127.0.0.1", server.sockets[0].getsockname()[1])


def test_many_clients_of_one_server() -> None:
    """Each client sends its records and reads the server's answer to each."""
    async def answer(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        answers = (record | {"seen": "yes"} async for record in stream.aread_dicts(reader))
        await stream.awrite_dicts(writer, answers)
        writer.close()

    async def client(server: asyncio.Server, number: int) -> list[dict[str, str]]:
        reader, writer = await connect(server)
        sent = [d | {"client": number} for d in RECORDS[number::20]]
        assert await stream.awrite_dicts(writer, sent) == len(stream_bytes(sent))
        writer.write_eof()
        got = [record async for record in stream.aread_dicts(reader)]
        writer.close()
        assert got == [{k: str(v) for k, v in d.items()} | {"seen": "yes"} for d in sent]
        return got

    async def main() -> int:
        async with await serve(answer) as server:
            results = await asyncio.gather(*(client(server, number) for number in range(20)))
        return sum(map(len, results))

    assert run(main) == len(RECORDS)


def test_slow_reader_holds_the_writer_back() -> None:
    records = [{"n": i, "text": "x" * 200} for i in range(20_000)]  # about 4 MiB
    buffered: list[int] = []

    class Watched:
        """The client's writer, noting what its transport holds after each write."""

        def __init__(self, writer: asyncio.StreamWriter) -> None:
            self.writer = writer

        def write(self, data: bytes) -> None:
            self.writer.write(data)
            buffered.append(self.writer.transport.get_write_buffer_size())

        def drain(self) -> Awaitable[None]:
            return self.writer.drain()

    async def slow(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        count = 0
        async for _ in stream.aread_dicts(reader):
            count += 1
            if count % 500 == 0:
                await asyncio.sleep(0.005)
        writer.write(str(count).encode())
        writer.close()

    async def main() -> bytes:
        async with await serve(slow) as server:
            reader, writer = await connect(server)
            writer.transport.set_write_buffer_limits(high=128 * 1024)
            await stream.awrite_dicts(Watched(writer), records)
            writer.write_eof()
            answer = await reader.read()
            writer.close()
            return answer

    assert run(main) == b"20000"
    # The writer waited for the peer: it never held much more than the limit and a batch.
    assert max(buffered) <= 128 * 1024 + 2 * stream.BATCH_BYTES < len(stream_bytes(records)) // 4


@pytest.mark.parametrize("cut", [1, 20])
def test_connection_dropped_inside_a_record(cut: int) -> None:
    data = stream_bytes(AS_READ[:50])
    end = len(stream_bytes(AS_READ[:40]))

    async def dropping(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        writer.write(data[:end + cut])
        await writer.drain()
        writer.close()

    async def main() -> tuple[list[dict[str, str]], str]:
        async with await serve(dropping) as server:
            reader, writer = await connect(server)
            got: list[dict[str, str]] = []
            with pytest.raises(ValueError) as raised:
                async for record in stream.aread_dicts(reader):
                    got.append(record)
            writer.close()
            return got, str(raised.value)

    got, message = run(main)
    assert got == AS_READ[:40] and f"inside the record at byte offset {end}:" in message


@pytest.mark.parametrize(("error", "raised"), [
    (KeyError("refused"), KeyError),
    (StopAsyncIteration("refused"), RuntimeError),  # raised as it is, it would end the records unnoticed
])
def test_record_refused_by_its_reader(error: Exception, raised: type[Exception]) -> None:
    refused_record = serializer._serialize_dict(AS_READ[2])

    class Refusing:
        def load(self, record: bytes) -> dict[str, str]:
            if record == refused_record:
                raise error
            return serializer._deserialize_dict(record)

        def dump(self, obj: object) -> bytes:
            raise NotImplementedError

    async def main() -> tuple[list[dict[str, str]], BaseException]:
        got: list[dict[str, str]] = []
        with pytest.raises(raised) as failed:
            async for record in stream.aread_dicts(MemoryReader(stream_bytes(AS_READ[:5])), schema=Refusing()):
                got.append(record)
        return got, failed.value

    got, failure = run(main)
    assert got == AS_READ[:2]
    assert (failure if raised is KeyError else failure.__cause__) is error
    assert error.__notes__ == [f"in the record at byte offset {len(stream_bytes(AS_READ[:2]))} of the stream"]


class Trickle:
    """An async reader whose read returns one byte at a time, and waits at `allowed`
    until the test allows more."""

    def __init__(self, data: bytes, allowed: int) -> None:
        self.data, self.position, self.allowed = data, 0, allowed
        self.more = asyncio.Event()

    async def read(self, n: int = -1) -> bytes:
        while self.position == self.allowed < len(self.data):
            self.more.clear()
            await self.more.wait()
        piece = self.data[self.position:self.position + 1]
        self.position += len(piece)
        return piece

    def allow(self, allowed: int) -> None:
        self.allowed = allowed
        self.more.set()


def test_one_byte_reads_and_a_cancelled_wait() -> None:
    data = stream_bytes(AS_READ[:30])
    inside = len(stream_bytes(AS_READ[:10])) + 7  # inside record 10

    async def main() -> list[dict[str, str]]:
        reader = Trickle(data, allowed=inside)
        records = stream.aread_dicts(reader)
        got = [await anext(records) for _ in range(10)]
        with pytest.raises(TimeoutError):  # the wait for record 10 is cancelled
            await asyncio.wait_for(anext(records), 0.05)
        assert reader.position == inside
        reader.allow(len(data))
        return got + [record async for record in records]

    assert run(main) == AS_READ[:30]


def test_polls_that_time_out_lose_no_record() -> None:
    """A record already read is handed out in an awaitable that is done at once: a wait
    for it cancelled before its task ran (wait_for with no time left) keeps it."""

    async def main() -> list[dict[str, str]]:
        records = stream.aread_dicts(MemoryReader(stream_bytes(AS_READ[:6])))
        got = [await anext(records)]
        for _ in range(3):
            with contextlib.suppress(TimeoutError):
                got.append(await asyncio.wait_for(anext(records), 0))
        return got + [record async for record in records]

    assert run(main) == AS_READ[:6]


async def failing_source(fail_at: int, error: Exception) -> AsyncIterator[dict[str, Any]]:
    for index, record in enumerate(RECORDS):
        if index == fail_at:
            raise error
        yield record


@pytest.mark.parametrize(("source", "error", "note", "whole"), [
    (lambda: failing_source(700, KeyError("from the source")), KeyError, None, 700),
    (lambda: iter(RECORDS[:600] + [{"bad": None}]), TypeError, "while writing record 600 of the iterable", 600),
    (lambda: aiter_of(RECORDS[:300] + [{"bad": None}]), TypeError, "while writing record 300 of the iterable", 300),
], ids=["async source raises", "record fails", "record of an async source fails"])
def test_writer_failure_keeps_the_records_before_it(source: Callable[[], Any], error: type[Exception],
                                                     note: str | None, whole: int) -> None:
    out = MemoryWriter()
    with pytest.raises(error) as raised:
        run(lambda: stream.awrite_dicts(out, source()))
    assert getattr(raised.value, "__notes__", [None]) == [note]
    assert bytes(out.data) == stream_bytes(RECORDS[:whole])



class FailingWriter:
    """A connection whose write or drain fails."""

    def __init__(self, failing: str) -> None:
        self.failing = failing

    def write(self, data: bytes) -> None:
        if self.failing == "write":
            raise BrokenPipeError("gone")

    async def drain(self) -> None:
        if self.failing == "drain":
            raise ConnectionResetError("reset")


@pytest.mark.parametrize("failing", ["write", "drain"])
def test_connection_failing_with_a_failed_record_keeps_it_as_context(failing: str) -> None:
    """As with the blocking writer: the connection's own error is raised, with the
    record's failure in the same batch as its context."""
    with pytest.raises(ConnectionError) as raised:
        run(lambda: stream.awrite_dicts(FailingWriter(failing), [{"a": "1"}, {"a": None}]))
    record_failure = raised.value.__context__
    assert isinstance(record_failure, TypeError)
    assert record_failure.__notes__ == ["while writing record 1 of the iterable"]


async def aiter_of(items: list[Any]) -> AsyncIterator[Any]:
    for item in items:
        yield item


class MemoryWriter:
    """A writer whose drain waits until the test lets it through."""

    def __init__(self) -> None:
        self.data = bytearray()
        self.gate = asyncio.Event()
        self.gate.set()

    def write(self, data: bytes) -> None:
        self.data += data

    async def drain(self) -> None:
        await self.gate.wait()


def test_cancelled_write_hands_over_whole_records_only() -> None:
    out = MemoryWriter()

    async def main() -> None:
        out.gate.clear()  # the peer takes nothing: the first drain waits
        task = asyncio.create_task(stream.awrite_dicts(out, aiter_of(RECORDS * 20)))
        while not out.data:
            await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    run(main)
    got = list(stream.read_dicts(io.BytesIO(bytes(out.data))))  # no cut record
    assert 0 < len(got) < len(RECORDS) * 20 and got == (AS_READ * 20)[:len(got)]


class MemoryReader:
    def __init__(self, data: bytes) -> None:
        self.file = io.BytesIO(data)

    async def read(self, n: int = -1) -> bytes:
        return self.file.read(n)


def test_records_awaited_by_hand() -> None:
    """Each record's awaitable gives its record once, and a StopIteration that a caller
    keeps is never changed by the awaits after it."""
    records = stream.aread_dicts(MemoryReader(stream_bytes(AS_READ[:3])))

    def result(awaitable: Awaitable[Any]) -> StopIteration:
        with pytest.raises(StopIteration) as done:
            awaitable.__await__().send(None)
        return done.value

    assert result(anext(records)).value == AS_READ[0]  # reads the stream
    ready = anext(records)
    kept = result(ready)
    with pytest.raises(RuntimeError, match="awaited twice"):
        result(ready)
    assert result(anext(records)).value == AS_READ[2] and kept.value == AS_READ[1]
    with pytest.raises(StopAsyncIteration):
        result(anext(records))


def awaited(awaitable: Awaitable[Any]) -> Any:
    """The record of an awaitable that is done at once, by hand, its StopIteration let go
    of: the iterator then raises its own StopIteration again with the next record."""
    try:
        awaitable.__await__().send(None)
    except StopIteration as stop:
        return stop.value
    raise AssertionError("the awaitable was not done at once")


async def no_more(records: _stream.AsyncRecords) -> Any:
    raise StopAsyncIteration


def test_put_keeps_the_records_apart_from_the_callers_list() -> None:
    records = _stream.AsyncRecords(no_more)
    mine = ["a", "b", "c"]
    assert records.put(mine) == "a"
    ready = anext(records)
    mine.clear()
    del ready  # let go of unawaited: "b" is put back in place
    assert [awaited(anext(records)) for _ in range(2)] == ["b", "c"]


class AwaitsNext:
    """A record whose finalizer awaits the next record of its iterator."""

    def __init__(self, records: _stream.AsyncRecords, took: list[Any]) -> None:
        self.records, self.took = records, took

    def __del__(self) -> None:
        self.took.append(awaited(anext(self.records)))


@pytest.mark.parametrize("let_go_by", ["put", "await"])
def test_record_let_go_of_awaiting_the_next_one(let_go_by: str) -> None:
    """A record let go of while the next is handed out (with the list put() replaces, or
    from the StopIteration that returned it) may await a record itself: every record is
    handed out once, the one asked for first to the first asker."""
    records = _stream.AsyncRecords(no_more)
    took: list[Any] = []
    if let_go_by == "put":
        assert records.put(["a", AwaitsNext(records, took)]) == "a"
        assert records.put(["b", "c"]) == "b"
    else:
        assert records.put(["a", AwaitsNext(records, took), "b", "c"]) == "a"
        assert isinstance(awaited(anext(records)), AwaitsNext)
        assert awaited(anext(records)) == "b"
    assert took == ["c"]


@dataclasses.dataclass(frozen=True)
class Event:
    n: int
    name: str
    ok: bool = True


def test_typed_records_over_a_connection() -> None:
    schema = Schema(Event)
    events = [Event(i, f"e{i}", i % 2 == 0) for i in range(2000)]

    async def main() -> tuple[list[Event], BaseException]:
        received: list[Event] = []

        async def take(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
            received.extend([event async for event in stream.aread_dicts(reader, schema=schema)])
            writer.close()

        async with await serve(take) as server:
            reader, writer = await connect(server)
            await stream.awrite_dicts(writer, events, schema=schema)
            with pytest.raises(TypeError) as refused:  # a str where an int belongs: nothing of it is sent
                await stream.awrite_dicts(writer, aiter_of([Event(1, "a"), Event("2", "b")]),  # type: ignore[arg-type]
                                          schema=schema)
            writer.write_eof()
            await reader.read()
            writer.close()
        return received, refused.value

    received, refused = run(main)
    assert received == events + [Event(1, "a")]
    assert "while writing record 1 of the iterable" in refused.__notes__
    # The records are plain map records: the plain readers read them as text.
    assert schema.dump(events[3]) == serializer._serialize_dict({"n": 3, "name": "e3", "ok": False})
