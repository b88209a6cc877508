from collections.abc import Callable
from typing import Any, final

def load_items(tp: type, kind: int, parse: Callable[[bytes], Any], fallback: Callable[[Any], list[Any]], data: object,
               /) -> Any: ...
def dump_items(tp: type, plain: type, serialize: Callable[[Any], bytes], fallback: Callable[[Any], bytes], value: object,
               /) -> bytes: ...

@final
class Plan:
    def __new__(cls, tp: type, make: int, names: tuple[str, ...], keys: tuple[bytes, ...], kinds: tuple[int, ...],
                parsers: tuple[Callable[[bytes], Any], ...], absents: tuple[int, ...], defaults: tuple[Any, ...],
                post_init: Callable[[Any], object] | None, forbid_unknown: bool, fallback: Callable[[Any], Any],
                dumpers: tuple[Callable[[Any], object], ...], optionals: tuple[bool, ...], written_type: type,
                check_keys: Callable[[Any], object], /) -> Plan: ...
    def dump(self, obj: object, /) -> bytes: ...
    def load(self, data: object, /) -> Any: ...
