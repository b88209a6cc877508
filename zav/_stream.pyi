from collections.abc import Awaitable, Callable, Iterable, Iterator
from typing import Any, final

def read_records(
    buffer: bytes, reader: Callable[[bytes, object], Any], deserialize: object, /
) -> tuple[list[Any], int, BaseException | None]: ...
def write_records(
    write: Callable[[bytes], object],
    records: Iterable[Any],
    serialize: Callable[[Any], bytes],
    frame: Callable[[list[bytes]], bytes],
    limit: int,
    blocked_by_none: bool,
    /,
) -> int: ...
def next_batch(
    iterator: Iterator[Any],
    serialize: Callable[[Any], bytes],
    frame: Callable[[list[bytes]], bytes],
    limit: int,
    first_index: int,
    /,
) -> tuple[bytes, int, BaseException | None, bool]: ...

@final
class AsyncRecords:
    def __new__(cls, refill: Callable[[AsyncRecords], Awaitable[Any]], /) -> AsyncRecords: ...
    def __aiter__(self) -> AsyncRecords: ...
    def __anext__(self) -> Awaitable[Any]: ...
    def put(self, records: list[Any], /) -> Any: ...
