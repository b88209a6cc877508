"""Streams over asyncio connections: aread_dicts and awrite_dicts through a real TCP
connection on the loopback (server and client in one event loop), against the
blocking read_dicts and write_dicts over a socketpair (the other end served by a
thread), and against msgpack's streaming Unpacker fed from the same kind of asyncio
connection.

    ./dev run python3.14 bench/stream_asyncio_bench.py [--runs 3] [--rounds 7] [--workload NAME]

Reading over TCP is timed with the StreamReader's default limit (64 KiB, what it holds
before it stops reading the socket) and with a limit of 1 MiB, and "bytes alone" reads
the same stream's bytes from the StreamReader and drops them: what asyncio itself costs
any reader of the connection, with the sender in the same event loop. "In memory" is
read_dicts over the stream's bytes in a BytesIO: the records' own work, with no
connection; no reader of the StreamReader takes less than it and the bytes alone.

Each case moves the same records (the stream benchmark's workloads: 100,000 small
event records, 20,000 real package records) once:
for reading, the peer sends the stream's bytes, made beforehand; for writing, the peer
takes the bytes and drops them. The cases run in interleaved rounds; a run's figure
is the median of its rounds, and the table gives the median of the runs' figures,
each also as a ratio to the blocking function.
"""
from __future__ import annotations

import argparse
import asyncio
import io
import socket
import statistics
import sys
import threading
from collections.abc import Callable
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))
from stream_bench import WORKLOADS, run_rounds  # noqa: E402

import zav.serializer as serializer  # noqa: E402
from zav import stream  # noqa: E402

try:
    import msgpack
except ImportError:  # the peers are optional
    msgpack = None

PIECE = 1 << 16


class Dropping(asyncio.BufferedProtocol):
    """The cheapest peer that takes everything it is sent, into one buffer: the
    writers' benchmark."""

    def __init__(self) -> None:
        self.transport: asyncio.BaseTransport | None = None
        self.buffer = bytearray(1 << 18)

    def get_buffer(self, sizehint: int) -> bytearray:
        return self.buffer

    def buffer_updated(self, nbytes: int) -> None:
        pass

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        self.transport = transport

    def eof_received(self) -> bool:
        assert self.transport is not None
        self.transport.close()
        return True


class Loopback:
    """One event loop with a TCP server on the loopback whose handler the cases set, and
    one that drops what it is sent."""

    def __init__(self) -> None:
        self.loop = asyncio.new_event_loop()
        self.handler: Callable[[asyncio.StreamReader, asyncio.StreamWriter], Any] | None = None
        self.server = self.loop.run_until_complete(asyncio.start_server(self._handle, "127.0.0.1", 0))
        self.port = self.server.sockets[0].getsockname()[1]
        self.dropping = self.loop.run_until_complete(self.loop.create_server(Dropping, "127.0.0.1", 0))
        self.dropping_port = self.dropping.sockets[0].getsockname()[1]

    async def _handle(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        assert self.handler is not None
        await self.handler(reader, writer)
        writer.close()

    def run(self, handler: Callable[..., Any] | None, client: Callable[..., Any], limit: int = 1 << 16) -> None:
        """Runs client against handler, or against the dropping server for None, on a
        connection whose StreamReader holds limit bytes before it stops reading."""
        self.handler = handler

        async def main() -> None:
            port = self.port if handler is not None else self.dropping_port
            reader, writer = await asyncio.open_connection("127.0.0.1", port, limit=limit)
            await client(reader, writer)
            writer.close()
        self.loop.run_until_complete(main())


def read_cases(data: bytes, packed: bytes, loopback: Loopback) -> dict[str, Callable[[], Any]]:
    async def send(data_: bytes, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        writer.write(data_)
        await writer.drain()

    def blocking() -> None:
        left, right = socket.socketpair()
        sender = threading.Thread(target=lambda: (left.sendall(data), left.shutdown(socket.SHUT_WR)))
        sender.start()
        with left, right, right.makefile("rb") as incoming:
            for _ in stream.read_dicts(incoming):
                pass
        sender.join()

    async def ours(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        async for _ in stream.aread_dicts(reader):
            pass

    async def bytes_alone(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        while await reader.read(PIECE):
            pass

    def in_memory() -> None:
        for _ in stream.read_dicts(io.BytesIO(data)):
            pass

    cases = {
        "read_dicts, socketpair": blocking,
        "read_dicts, in memory": in_memory,
        "aread_dicts, TCP": lambda: loopback.run(lambda r, w: send(data, r, w), ours),
        "aread_dicts, TCP, 1 MiB": lambda: loopback.run(lambda r, w: send(data, r, w), ours, limit=1 << 20),
        "bytes alone, TCP": lambda: loopback.run(lambda r, w: send(data, r, w), bytes_alone),
    }
    if msgpack is not None:
        def unpacker() -> None:
            async def client(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
                unpacking = msgpack.Unpacker()
                while piece := await reader.read(PIECE):
                    unpacking.feed(piece)
                    for _ in unpacking:
                        pass
            loopback.run(lambda r, w: send(packed, r, w), client)
        cases["msgpack.Unpacker, TCP"] = unpacker
    return cases


def write_cases(records: list[dict[str, Any]], loopback: Loopback) -> dict[str, Callable[[], Any]]:
    def take_all(sock: socket.socket) -> None:
        while sock.recv(PIECE):
            pass

    def blocking() -> None:
        left, right = socket.socketpair()
        taker = threading.Thread(target=take_all, args=(right,))
        taker.start()
        with left, right:
            with left.makefile("wb") as outgoing:
                stream.write_dicts(outgoing, records)
            left.shutdown(socket.SHUT_WR)
            taker.join()

    def ours() -> None:
        async def client(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
            await stream.awrite_dicts(writer, records)
            writer.write_eof()
            await reader.read()
        loopback.run(None, client)

    cases = {"write_dicts, socketpair": blocking, "awrite_dicts, TCP": ours}
    if msgpack is not None:
        def packer() -> None:
            async def client(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
                packing = msgpack.Packer(autoreset=False)
                for d in records:
                    packing.pack(d)
                    if len(packing.getbuffer()) >= PIECE:
                        writer.write(packing.bytes())
                        packing.reset()
                        await writer.drain()
                writer.write(packing.bytes())
                writer.write_eof()
                await reader.read()
            loopback.run(None, client)
        cases["msgpack.Packer, TCP"] = packer
    return cases


def table(title: str, runs: list[dict[str, float]], count: int) -> list[str]:
    medians = {name: statistics.median(run[name] for run in runs) for name in runs[0]}
    reference = next(iter(medians))
    lines = [title, f"  {'case':<24} {'per record':>11} {'vs blocking':>12}   runs (vs blocking)"]
    for name, seconds in medians.items():
        each = " ".join(f"{run[name] / run[reference]:.2f}" for run in runs)
        lines.append(f"  {name:<24} {seconds / count * 1e9:>8.0f} ns {seconds / medians[reference]:>12.2f}   {each}")
    return lines


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--workload", choices=list(WORKLOADS), action="append")
    args = parser.parse_args()
    loopback = Loopback()
    print(f"Python {sys.version.split()[0]}; msgpack {'absent' if msgpack is None else msgpack.version}")
    for name in args.workload or WORKLOADS:
        records = WORKLOADS[name](0)
        data = serializer._serialize_list([serializer._serialize_dict(d) for d in records])
        packed = b"".join(msgpack.packb(d) for d in records) if msgpack is not None else b""
        readers, writers = read_cases(data, packed, loopback), write_cases(records, loopback)
        read_runs = [run_rounds(readers, args.rounds) for _ in range(args.runs)]
        write_runs = [run_rounds(writers, args.rounds) for _ in range(args.runs)]
        print("\n".join([f"{name}: stream of {len(data) / 2**20:.1f} MiB", *table("  read", read_runs, len(records)),
                         *table("  write", write_runs, len(records)), ""]), flush=True)


if __name__ == "__main__":
    main()
