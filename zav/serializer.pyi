"""Compact byte records for Python text, dicts and lists.

Text is stored as UTF-8. A map record is a run of pairs, each the key length, the
value length, the key bytes and the value bytes; a list record is a run of items,
each its length and its bytes. Lengths are varnums: seven bits per byte, most
significant group first, 0x80 set on every byte but the last.
"""

import io as io
from typing import Any, Literal, Protocol, overload, type_check_only

__test__: dict[str, Any]

@type_check_only
class _SizedIndexable(Protocol):
    """What `_serialize_list` reads: a length, and an item for every index below it."""

    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> object: ...

# Text and bytes become bytes and None stays None; any other object is written as the
# UTF-8 of str(obj). The third overload keeps optional text sound: without it an
# argument of type `str | None` would match `object` and claim a bytes result. mypy
# reports that overload as overlapping `object`, which is the intent: only a value
# typed plainly `object` can still be None at run time.
@overload
def encode(obj: None) -> None: ...
@overload
def encode(obj: str | bytes) -> bytes: ...
@overload
def encode(obj: str | bytes | None) -> bytes | None: ...  # type: ignore[overload-overlap]
@overload
def encode(obj: object) -> bytes: ...

# Bytes are decoded as strict UTF-8 (UnicodeDecodeError otherwise), text and None
# pass through, any other object gives str(obj).
@overload
def decode(obj: None) -> None: ...
@overload
def decode(obj: str | bytes) -> str: ...
@overload
def decode(obj: str | bytes | None) -> str | None: ...  # type: ignore[overload-overlap]
@overload
def decode(obj: object) -> str: ...

# As decode, but gives the argument back unchanged where decoding it raises
# UnicodeDecodeError: bytes that are not UTF-8, or an object whose __str__ raises it.
@overload
def safe_decode(obj: None) -> None: ...
@overload
def safe_decode(obj: str) -> str: ...
@overload
def safe_decode[T](obj: T) -> str | T: ...

# Keys and values are written as `encode` gives them; a None key or value raises
# TypeError, as does any argument that is not exactly a dict (subclasses included).
def _serialize_dict(d: dict[Any, Any]) -> bytes: ...

# `raw_data` is a map record as bytes, or as text (read as its UTF-8). Keys always come
# back as text; values as text when `deserialize` is true and as bytes otherwise.
@overload
def _deserialize_dict(raw_data: str | bytes, deserialize: Literal[True] = True) -> dict[str, str]: ...
@overload
def _deserialize_dict(raw_data: str | bytes, deserialize: Literal[False]) -> dict[str, bytes]: ...
@overload
def _deserialize_dict(raw_data: str | bytes, deserialize: object) -> dict[str, str] | dict[str, bytes]: ...

# Any object with a length and integer indexing: a list, a tuple, a str (one item per
# character), bytes (one item per byte value, as decimal text). A None item raises
# TypeError.
def _serialize_list(l: _SizedIndexable) -> bytes: ...

@overload
def _deserialize_list(raw_data: str | bytes, deserialize: Literal[True] = True) -> list[str]: ...
@overload
def _deserialize_list(raw_data: str | bytes, deserialize: Literal[False]) -> list[bytes]: ...
@overload
def _deserialize_list(raw_data: str | bytes, deserialize: object) -> list[str] | list[bytes]: ...
