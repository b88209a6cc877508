"""The data the benchmark and the profile driver work on, made from a fixed seed."""
from __future__ import annotations

import json
import math
import random
import struct
import string
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

SEED = 20240611
DATA = Path(__file__).resolve().parent / "data"

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


COLD_SUFFIX = "-cold"


@dataclass(frozen=True)
class Workload:
    name: str
    description: str
    # "dict" or "list": data is one, dumped and loaded in one call; "records": data is
    # a list of dicts, each dumped and loaded in a call of its own, as a program
    # storing or reading records one by one does (times are per record); "rows": the
    # same with lists, written as list records.
    kind: str
    data: Any
    # A cold workload dumps a fresh copy of data in every call (see fresh_copy), so
    # that no call finds what an earlier one left inside the str objects.
    cold: bool = False
    # The peers that ratios are taken against; None for all of them.
    rivals: tuple[str, ...] | None = None

    @property
    def one_call_each(self) -> bool:
        """Whether data is a list of records, each dumped and loaded in a call of its own."""
        return self.kind in ("records", "rows")

    @property
    def container(self) -> str:
        """What one call dumps: "dict" or "list"."""
        return "dict" if self.kind in ("dict", "records") else "list"

    @property
    def warm_name(self) -> str:
        """The name of the workload with the same data, dumped warm."""
        return self.name.removesuffix(COLD_SUFFIX)


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


def unicode_list(rng: random.Random, items: int = 1000) -> list[str]:
    return [_text(rng, ALPHABETS[i % len(ALPHABETS)], 8, 200) for i in range(items)]


def _int(rng: random.Random) -> int:
    # 1 to 18 digits, within 64 bits.
    return int(rng.uniform(-1, 1) * 10 ** rng.randint(1, 18))


def _float(rng: random.Random) -> float:
    # From 1e-8 to 1e20, so that str() writes some of them with an exponent.
    return rng.uniform(-1, 1) * 10.0 ** rng.randint(-8, 20)


def _short_text(rng: random.Random) -> str:
    return _text(rng, ASCII, 4, 16)


def _bool(rng: random.Random) -> bool:
    return rng.random() < 0.5


MIXED_VALUES: list[Callable[[random.Random], Any]] = [_int, _float, _short_text, _bool]


def mixed_dict(rng: random.Random, pairs: int = 1000) -> dict[str, Any]:
    """ASCII keys; the values cycle through int, float, short str and bool."""
    return {f"key{i:05d}": MIXED_VALUES[i % len(MIXED_VALUES)](rng) for i in range(pairs)}


def _int64(rng: random.Random) -> int:
    # Every magnitude from one bit to 64, either sign, within a signed 64-bit int.
    return rng.getrandbits(rng.randint(1, 63)) * rng.choice((-1, 1))


def int_dict(rng: random.Random, pairs: int = 1000) -> dict[str, int]:
    return {f"key{i:05d}": _int64(rng) for i in range(pairs)}


def _any_float(rng: random.Random) -> float:
    """Half drawn as _float draws them, half from random bits (any finite double, most
    of them written with an exponent)."""
    if rng.random() < 0.5:
        return _float(rng)
    while True:
        value: float = struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0]
        if math.isfinite(value):
            return value


def float_dict(rng: random.Random, pairs: int = 1000) -> dict[str, float]:
    return {f"key{i:05d}": _any_float(rng) for i in range(pairs)}


def int64_list(rng: random.Random, items: int = 1000) -> list[int]:
    """Random signed 64-bit ints: most of them 18 or 19 digits."""
    return [rng.randrange(-2**63, 2**63) for _ in range(items)]


def small_int_list(rng: random.Random, items: int = 1000) -> list[int]:
    return [rng.randrange(10**5) for _ in range(items)]


# Codes as records carry them: currencies (three letters) and countries (two), a few
# dozen in use, most items one of a handful.
CODES = ("USD", "EUR", "JPY", "GBP", "CNY", "CHF", "CAD", "AUD", "SEK", "NOK", "INR",
         "BRL", "MXN", "ZAR", "US", "DE", "FR", "GB", "JP", "CN", "IT", "ES", "NL", "SE",
         "CH", "CA", "AU", "BR", "IN", "MX")


def code_list(rng: random.Random, items: int = 1000) -> list[str]:
    """Codes of two or three letters from CODES, the first ones drawn most often."""
    weights = [1 / (rank + 1) for rank in range(len(CODES))]
    return rng.choices(CODES, weights, k=items)


def distinct_code_list(rng: random.Random, items: int = 1000) -> list[str]:
    """Three-letter codes, no two alike."""
    letters = string.ascii_uppercase
    picks = rng.sample(range(len(letters) ** 3), items)
    return ["".join(letters[p // 26 ** k % 26] for k in (2, 1, 0)) for p in picks]


def distinct_code_rows(rng: random.Random, width: int = 25) -> list[list[str]]:
    """Every three-letter code once, shuffled, in rows of `width`: no code comes again
    before the other 17,575 have."""
    codes = distinct_code_list(rng, len(string.ascii_uppercase) ** 3)
    return [codes[i:i + width] for i in range(0, len(codes), width)]


def float_list(rng: random.Random, items: int = 1000) -> list[float]:
    return [_any_float(rng) for _ in range(items)]


# Floats as data records them: typed or rounded to a few places.
SHORT_FLOATS: list[Callable[[random.Random], float]] = [
    lambda rng: round(rng.uniform(0, 1000), 2),     # a price
    lambda rng: round(rng.uniform(0, 1), 3),        # a rate
    lambda rng: round(rng.uniform(0, 100), 1),      # a measure
    lambda rng: round(rng.uniform(-180, 180), 6),   # a coordinate
]


def short_float_list(rng: random.Random, items: int = 1000) -> list[float]:
    """Floats of a few decimal places: prices, rates, measures and coordinates in turn."""
    return [SHORT_FLOATS[i % len(SHORT_FLOATS)](rng) for i in range(items)]


def mixed_list(rng: random.Random, items: int = 1000) -> list[Any]:
    """The items cycle through int, float, short str and bool, as dict-1000-mixed's values."""
    return [MIXED_VALUES[i % len(MIXED_VALUES)](rng) for i in range(items)]


def _non_ascii_now_and_then(rng: random.Random) -> str:
    """Short text, a quarter of it in one of the non-ASCII alphabets."""
    if rng.random() < 0.25:
        return _text(rng, rng.choice(ALPHABETS), 4, 16)
    return _short_text(rng)


# The fields of a mid-size record, of one schema: ints, floats, bools and short text.
MID_FIELDS: list[tuple[str, Callable[[random.Random], Any]]] = [
    ("id", lambda rng: rng.randrange(10**6)),
    ("account", lambda rng: rng.getrandbits(63)),
    ("created", lambda rng: rng.randrange(1_500_000_000, 1_800_000_000)),
    ("count", lambda rng: rng.randrange(100)),
    ("delta", lambda rng: rng.randrange(-10**4, 10**4)),
    ("price", lambda rng: round(rng.uniform(0, 1000), 2)),
    ("score", lambda rng: rng.random()),
    ("latitude", lambda rng: rng.uniform(-90, 90)),
    ("longitude", lambda rng: rng.uniform(-180, 180)),
    ("weight", _float),
    ("active", _bool),
    ("verified", _bool),
    ("deleted", _bool),
    ("name", _non_ascii_now_and_then),
    ("city", _non_ascii_now_and_then),
    ("country", lambda rng: _text(rng, string.ascii_uppercase, 2, 2)),
    ("status", lambda rng: rng.choice(("new", "open", "closed", "pending"))),
    ("currency", lambda rng: rng.choice(("EUR", "USD", "JPY", "CHF", "GBP"))),
    ("email", lambda rng: f"{_text(rng, string.ascii_lowercase, 3, 10)}@example.org"),
    ("note", _non_ascii_now_and_then),
]


def mid_records(rng: random.Random, records: int = 300) -> list[dict[str, Any]]:
    return [{key: make(rng) for key, make in MID_FIELDS} for _ in range(records)]


def real_records(name: str) -> list[dict[str, str]]:
    """Real records from bench/data/ (see make_data.py): one schema, one dict each."""
    records: list[dict[str, str]] = json.loads((DATA / f"{name}.json").read_text("utf-8"))
    return records


def with_fresh_keys(records: list[dict[str, str]]) -> list[dict[str, str]]:
    """The same records, each with keys of its own: the field names followed by the
    record's number, so that no key repeats from one record to the next."""
    return [{f"{key}.{i}": value for key, value in record.items()}
            for i, record in enumerate(records)]


def big_strings(rng: random.Random, items: int = 16, size: int = 64 * 1024) -> list[str]:
    return [_text(rng, ASCII, size, size) for _ in range(items)]


def rows_of(records: list[dict[str, str]]) -> list[list[str]]:
    """The values of each record as a list, as a program writing rows of a table has them."""
    return [list(record.values()) for record in records]


# name -> (description, kind, maker). A name ending in COLD_SUFFIX is the cold variant
# of the workload named without it: the same data, a fresh copy for every call.
WORKLOADS: dict[str, tuple[str, str, Callable[[random.Random], Any]]] = {
    "dict-1000": ("dict, 1,000 ASCII pairs, values 16-64 chars", "dict", ascii_dict),
    "dict-1000-mixed": ("dict, 1,000 ASCII keys, values cycling int, float, short str, "
                        "bool", "dict", mixed_dict),
    "dict-100-unicode": ("dict, 100 non-ASCII pairs, values 40-120 chars", "dict",
                         unicode_dict),
    "dict-100-unicode-cold": ("dict-100-unicode, fresh str objects in every call", "dict",
                              unicode_dict),
    "dict-tiny": ("the dict {'a': 'bc'}", "dict", lambda rng: {"a": "bc"}),
    "list-10000": ("list, 10,000 ASCII strings of 8-32 chars", "list", ascii_list),
    "list-16x64KiB": ("list, 16 ASCII strings of 64 KiB", "list", big_strings),
    "list-1000-unicode": ("list, 1,000 non-ASCII strings of 8-200 chars", "list",
                          unicode_list),
    "list-1000-unicode-cold": ("list-1000-unicode, fresh str objects in every call",
                               "list", unicode_list),
    "dict-1000-ints": ("dict, 1,000 ASCII keys, ints of 1 to 64 bits, either sign",
                       "dict", int_dict),
    "dict-1000-floats": ("dict, 1,000 ASCII keys, floats: half 1e-8 to 1e20, half any "
                         "finite double", "dict", float_dict),
    "records": ("300 package records of one schema (18 fields, real data), a call each",
                "records", lambda rng: real_records("packages")),
    "records-cold": ("records, fresh str objects in every call", "records",
                     lambda rng: real_records("packages")),
    "records-fresh-keys": ("records, keys of their own in every record", "records",
                           lambda rng: with_fresh_keys(real_records("packages"))),
    "locales": ("315 locale records (25 short fields in dozens of scripts, real data), "
                "a call each", "records", lambda rng: real_records("locales")),
    "locales-cold": ("locales, fresh str objects in every call", "records",
                     lambda rng: real_records("locales")),
    "list-1000-int64": ("list, 1,000 random signed 64-bit ints", "list", int64_list),
    "list-1000-small-ints": ("list, 1,000 ints below 10**5", "list", small_int_list),
    "list-1000-codes": ("list, 1,000 codes of 2-3 letters from a set of 30, a few common",
                        "list", code_list),
    "list-1000-codes-distinct": ("list, 1,000 distinct 3-letter codes", "list",
                                 distinct_code_list),
    "list-1000-floats": ("list, 1,000 floats as dict-1000-floats", "list", float_list),
    "list-1000-short-floats": ("list, 1,000 floats of a few decimal places (prices, "
                               "rates, measures, coordinates)", "list", short_float_list),
    "list-1000-mixed": ("list, 1,000 items cycling int, float, short str, bool", "list",
                        mixed_list),
    "locale-rows": ("the values of the 315 locale records as lists (25 short fields), a "
                    "call each", "rows", lambda rng: rows_of(real_records("locales"))),
    "code-rows-distinct": ("every 3-letter code once, in 703 rows of 25, a call each",
                           "rows", distinct_code_rows),
    "mid-records": ("300 records of 20 mixed fields (ints, floats, bools, short text, "
                    "some non-ASCII), a call each", "records", mid_records),
}

# Workloads whose ratios are taken against the peers that write numbers as decimal
# text, as ours does: the binary formats' floats are a copy of eight bytes.
RIVALS: dict[str, tuple[str, ...]] = {"dict-1000-floats": ("json", "orjson"),
                                      "list-1000-floats": ("json", "orjson"),
                                      "list-1000-short-floats": ("json", "orjson")}


def make_workload(name: str) -> Workload:
    """One workload, the same on every call: each has a generator seeded by its name (a
    cold variant by the name of its warm twin, so that both hold the same data)."""
    description, kind, maker = WORKLOADS[name]
    cold = name.endswith(COLD_SUFFIX)
    seed_name = name.removesuffix(COLD_SUFFIX)
    return Workload(name, description, kind, maker(random.Random(f"{SEED}:{seed_name}")),
                    cold, RIVALS.get(name))


def make_workloads() -> list[Workload]:
    return [make_workload(name) for name in WORKLOADS]


# ---------------------------------------------------------------------------
# Fresh copies and what our readers give back


def fresh_text(text: str) -> str:
    """A new str equal to text (of 2 characters or more), stored at the same width and
    without the UTF-8 copy CPython keeps in a str once asked for it. Concatenation
    copies the characters; it is several times cheaper than a trip through UTF-8."""
    return text[:1] + text[1:]


def fresh_copy(data: Any) -> Any:
    """A copy of a workload's dict or list in which every str is a new object; of a
    list of records or rows, of every record or row."""
    def fresh(value: Any) -> Any:
        if type(value) in (dict, list):
            return fresh_copy(value)
        return fresh_text(value) if type(value) is str and len(value) > 1 else value

    if isinstance(data, dict):
        return {fresh(key): fresh(value) for key, value in data.items()}
    return [fresh(item) for item in data]


def as_text(data: Any) -> Any:
    """What our readers give back for data: every value as text, str(value) for those
    that are not str (records keep no types); of a list of records or rows, for every
    one."""
    def text(value: Any) -> Any:
        if type(value) in (dict, list):
            return as_text(value)
        return value if type(value) is str else str(value)

    if isinstance(data, dict):
        return {key: text(value) for key, value in data.items()}
    return [text(item) for item in data]
