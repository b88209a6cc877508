"""The data the benchmark and the profile driver work on, made from a fixed seed."""
from __future__ import annotations

import random
import string
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

SEED = 20240611

ASCII = string.ascii_letters + string.digits + " .,:;-_/"

# Non-ASCII text in the four shapes CPython stores it in: Latin-1 (one byte per
# character), Greek and Cyrillic and CJK (two bytes), and text with characters outside
# the Basic Multilingual Plane (four bytes). Each string is drawn from one of them, with
# some ASCII mixed in, as real text has.
LATIN1 = "àáâãäåæçèéêëìíîïñòóôõöøùúûüýÿßÀÉÖÜ"
GREEK_CYRILLIC = "αβγδεζηθικλμνξοπρστυφχψωабвгдежзийклмнопрстуфхцчшщыэюя"
CJK = "的一是不了人我在有他这中大来上国个到说们为子和你地出道也时年得就那要下以生会自着去之过家"
ASTRAL = "😀😃😄😁🙂🙃😉😊😍🤔🚀🌍🎉🐍📦🔑𝔸𝔹ℂ𝔻"
ALPHABETS = [
    LATIN1 + "abcdef ",
    GREEK_CYRILLIC + "abcdef ",
    CJK + "abc ",
    GREEK_CYRILLIC + ASTRAL + "abc ",
]


@dataclass(frozen=True)
class Workload:
    name: str
    description: str
    kind: str  # "dict" or "list"
    data: Any


def _text(rng: random.Random, alphabet: str, low: int, high: int) -> str:
    return "".join(rng.choices(alphabet, k=rng.randint(low, high)))


def ascii_dict(rng: random.Random, pairs: int = 1000) -> dict[str, str]:
    return {f"key{i:05d}": _text(rng, ASCII, 16, 64) for i in range(pairs)}


def unicode_dict(rng: random.Random, pairs: int = 100) -> dict[str, str]:
    result: dict[str, str] = {}
    for i in range(pairs):
        alphabet = ALPHABETS[i % len(ALPHABETS)]
        key = f"{_text(rng, alphabet, 4, 12)}-{i:03d}"
        result[key] = _text(rng, alphabet, 40, 120)
    return result


def ascii_list(rng: random.Random, items: int = 10_000) -> list[str]:
    return [_text(rng, ASCII, 8, 32) for _ in range(items)]


def big_strings(rng: random.Random, items: int = 16, size: int = 64 * 1024) -> list[str]:
    return [_text(rng, ASCII, size, size) for _ in range(items)]


# name -> (description, kind, maker)
WORKLOADS: dict[str, tuple[str, str, Callable[[random.Random], Any]]] = {
    "dict-1000": ("dict, 1,000 ASCII pairs, values 16-64 chars", "dict", ascii_dict),
    "dict-100-unicode": ("dict, 100 non-ASCII pairs, values 40-120 chars", "dict",
                         unicode_dict),
    "dict-tiny": ("the dict {'a': 'bc'}", "dict", lambda rng: {"a": "bc"}),
    "list-10000": ("list, 10,000 ASCII strings of 8-32 chars", "list", ascii_list),
    "list-16x64KiB": ("list, 16 ASCII strings of 64 KiB", "list", big_strings),
}


def make_workload(name: str) -> Workload:
    """One workload, the same on every call: each has a generator seeded by its name."""
    description, kind, maker = WORKLOADS[name]
    return Workload(name, description, kind, maker(random.Random(f"{SEED}:{name}")))


def make_workloads() -> list[Workload]:
    return [make_workload(name) for name in WORKLOADS]
