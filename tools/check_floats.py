"""Checks that the writers give every double and int exactly the text str() gives it.

Writes doubles from every part of the range through _serialize_list and
_serialize_dict, in batches, reads the records back and compares each text with
repr(x): random bit patterns, random decimals of every length and exponent, the
benchmark's kind of floats, whole numbers, and the edges where the digits or the layout
change (each power of ten and of two with the doubles beside it, subnormals, 2**53,
1e16 and 1e-4, the largest and least doubles, both zeros, inf and nan). Ints of every
length up to 2**64 and just beyond go the same way. Prints the first mismatches and
exits 1 if there is any.

    python3.14 tools/check_floats.py                    # 10,000,000 doubles
    python3.14 tools/check_floats.py --count 200000 --seed 3
"""
from __future__ import annotations

import argparse
import math
import random
import struct
import sys
import time
from array import array
from collections.abc import Callable, Iterator
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import zav.serializer as serializer  # noqa: E402

BATCH = 100_000


def edge_doubles() -> list[float]:
    """Where the digits or the layout change, and each also negated."""
    powers = [float(f"1e{k}") for k in range(-323, 309)] + [math.ldexp(1.0, e) for e in range(-1074, 1024)]
    values = [v for x in powers for v in (math.nextafter(x, 0), x, math.nextafter(x, math.inf))]
    values += [struct.unpack("<d", struct.pack("<Q", bits))[0] for bits in range(1, 4096)]
    values += [float(2**53 + d) for d in range(-8, 9)] + [2.0**54 + 2 * d for d in range(-8, 9)]
    values += [1e16 - 2, 9999999999999998.0, 1e-4, 0.00010000000000000002, 9.999999999999999e-05]
    values += [2.225073858507201e-308, 2.2250738585072014e-308, sys.float_info.max, 0.0, math.inf, math.nan]
    return values + [-x for x in values]


def random_bits(rng: random.Random, n: int) -> list[float]:
    return array("d", rng.randbytes(8 * n)).tolist()


def random_decimals(rng: random.Random, n: int) -> list[float]:
    """Decimals of 1 to 17 digits at every exponent, as parsed from text."""
    return [float(f"{rng.randrange(10 ** rng.randint(1, 17))}e{rng.randint(-330, 310)}") for _ in range(n)]


def benchmark_floats(rng: random.Random, n: int) -> list[float]:
    """As bench/workloads.py draws them: from 1e-8 to 1e20."""
    return [rng.uniform(-1, 1) * 10.0 ** rng.randint(-8, 20) for _ in range(n)]


def whole_numbers(rng: random.Random, n: int) -> list[float]:
    return [float(rng.getrandbits(rng.randint(1, 70))) for _ in range(n)]


# Shares of each batch after the first, which holds the edges.
KINDS: list[tuple[Callable[[random.Random, int], list[float]], int]] = [
    (random_bits, 4), (random_decimals, 2), (benchmark_floats, 2), (whole_numbers, 1)]


def batches(count: int, seed: int) -> Iterator[list[float]]:
    rng = random.Random(seed)
    edges = edge_doubles()
    yield edges
    left = count - len(edges)
    shares = sum(share for _, share in KINDS)
    while left > 0:
        size = min(BATCH, left)
        batch: list[float] = []
        for make, share in KINDS:
            batch += make(rng, size * share // shares)
        batch += random_bits(rng, size - len(batch))
        left -= size
        yield batch


def ints(seed: int) -> list[int]:
    rng = random.Random(seed)
    values = [sign * (10**k + d) for k in range(21) for d in (-1, 0, 1) for sign in (1, -1)]
    values += [sign * (2**k + d) for k in range(66) for d in (-1, 0, 1) for sign in (1, -1)]
    return values + [rng.randrange(-(2**65), 2**65) >> rng.randrange(66) for _ in range(200_000)]


def mismatches(values: list[float] | list[int], text: Callable[[object], str]) -> list[tuple[object, str, str]]:
    """(value, written, expected) for every value either writer gets wrong."""
    expected = [text(v) for v in values]
    listed = serializer._deserialize_list(serializer._serialize_list(values))
    # Text keys, as the dict writer has a way of its own for a number beside one.
    keyed = {f"k{i}": v for i, v in enumerate(values)}
    mapped = list(serializer._deserialize_dict(serializer._serialize_dict(keyed)).values())
    if listed == expected and mapped == expected:
        return []
    return [(v, w, e) for written in (listed, mapped) for v, w, e in zip(values, written, expected) if w != e]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=10_000_000, help="doubles in all (default 10,000,000)")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    start = time.perf_counter()
    checked = 0
    whole = ints(args.seed)
    wrong = mismatches(whole, str)
    for batch in batches(args.count, args.seed):
        wrong += mismatches(batch, repr)
        checked += len(batch)
    for value, written, expected in wrong[:20]:
        print(f"{value!r}: wrote {written!r}, str() gives {expected!r}")
    print(f"{checked:,} doubles and {len(whole):,} ints through both writers in "
          f"{time.perf_counter() - start:.0f} s: {len(wrong)} mismatches")
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
