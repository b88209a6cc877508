from collections.abc import Callable, Iterable
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
