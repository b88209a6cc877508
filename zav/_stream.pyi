from collections.abc import Callable, Iterable, Iterator
from typing import Any

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
