"""The map reader's cache of short keys (1 to 32 bytes): the str it keeps for a key's
bytes is handed out again, and no result, error or traceback entry differs from what
reading each record afresh gives (the reference model of test_fast_paths), whatever
was read before: keys that share a slot of the cache, keys equal in bytes read from
different records, keys one byte apart, malformed and non-ASCII keys, records whose
other texts are decoded ahead, with and without `deserialize`, and from many threads."""
from __future__ import annotations

import random
import sys
import threading
from typing import Any

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import zav.serializer as serializer
from conftest import colliding_keys, read_key
from test_fast_paths import LONG_WINDOWS, assert_map_reader_agrees, map_record, valid_payloads

READ = serializer._deserialize_dict
LIMIT = 32  # the longest key kept


def one_byte_apart(key: bytes) -> list[bytes]:
    """Keys that differ from `key` in one byte, at its start, middle and end."""
    return [key[:i] + bytes([key[i] ^ 1]) + key[i + 1:] for i in sorted({0, len(key) // 2, len(key) - 1})]


BASE_KEYS = [b"a", b"id", b"name", b"email", b"created_at", b"street_address", b"k" * 15, b"k" * 16,
             b"k" * 17, b"p" * (LIMIT - 1), b"p" * LIMIT, b"p" * (LIMIT + 1), b"", "zoë".encode(),
             "\u03a9\u20ac".encode(), "a\U0001f600b".encode(), ("\u4e2d" * 10).encode(), ("\u4e2d" * 11).encode()]
KEY_POOL = sorted({*BASE_KEYS, *(k for key in BASE_KEYS if key for k in one_byte_apart(key))})
MALFORMED_KEYS = [b"\xff", b"ab\xc3", b"\xed\xa0\x80", b"x" * 20 + b"\x80", "zo".encode() + b"\xc3"]
# Enough non-ASCII text for the record's other texts to be decoded ahead.
AHEAD_PAIR = (("\u4e2d" * 20).encode(), LONG_WINDOWS[0] * 2)


def keys() -> st.SearchStrategy[bytes]:
    return st.one_of(st.sampled_from(KEY_POOL), st.sampled_from(colliding_keys(4)),
                     st.sampled_from(MALFORMED_KEYS), valid_payloads.filter(lambda k: len(k) <= LIMIT + 2))


records = st.lists(st.tuples(keys(), valid_payloads), max_size=8)


@settings(max_examples=150, deadline=None)
@given(st.lists(st.tuples(records, st.booleans(), st.booleans()), min_size=1, max_size=6))
def test_records_read_in_turn_agree_with_the_model(runs: list[tuple[list[tuple[bytes, bytes]], bool, bool]]) -> None:
    """Each record read after the ones before it, as the model reads it alone; the
    results read earlier stay as they were."""
    earlier: list[tuple[dict[Any, Any], dict[Any, Any]]] = []
    for pairs, deserialize, ahead in runs:
        if ahead:
            pairs = [*pairs, AHEAD_PAIR]
        assert_map_reader_agrees(pairs, deserialize)
        try:
            result = READ(map_record(pairs), deserialize)
        except UnicodeDecodeError:
            continue
        earlier.append((result, dict(result)))
    for result, copy in earlier:
        assert result == copy and all(type(k) is str for k in result)


@pytest.mark.parametrize("deserialize", [True, False])
def test_short_keys_are_handed_out_again(deserialize: bool) -> None:
    pairs = [(k, b"value \xc3\xa9") for k in KEY_POOL if k]
    # A key takes a slot that holds another on its second read in a row.
    first, second = READ(map_record(pairs), deserialize), READ(map_record(pairs), deserialize)
    first, second = second, READ(map_record(pairs), deserialize)
    assert first == second
    for (k1, v1), (k2, v2) in zip(first.items(), second.items()):
        assert type(k2) is str and (k1 is k2) == (len(k1.encode()) <= LIMIT)
        assert type(v2) is (str if deserialize else bytes) and v1 is not v2


def test_keys_of_one_repeated_byte() -> None:
    """Keys of one byte repeated 1 to 33 times, each read twice in a row so that it is
    kept: keys of different sizes whose words are all alike, some pairs of which share
    a slot, each read as itself."""
    for c in range(0x21, 0x7F):
        for n in range(1, LIMIT + 2):
            key = bytes([c]) * n
            for _ in range(2):
                assert read_key(key) == key.decode()


def test_keys_sharing_a_slot_take_it_over_on_a_second_miss() -> None:
    a, b = colliding_keys(2)
    read_key(a)  # the second read in a row, below, keeps it whatever the slot held
    kept = read_key(a)
    assert read_key(a) is kept
    read_key(b)
    assert read_key(a) is kept  # one miss leaves the slot to the key kept there
    for i in range(3000):  # a second miss long after the first: b passes by again
        read_key(f"{b.decode()}-{i}".encode())
    read_key(b)
    assert read_key(a) is kept
    read_key(b)
    read_key(b)
    other = read_key(a)
    assert other == kept and other is not kept


def test_batch_with_kept_and_announced_keys() -> None:
    """Records decoded ahead whose short keys come from the cache, cold and then warm,
    among long keys and values taken from the batch, in either order."""
    short = ["zoë".encode(), "Ω€".encode(), b"id", "😀".encode()]
    long = [("\u4e2d" * 12).encode(), ("\xe9" * 40).encode()]
    texts = [("\u20ac\xe9" * n).encode() for n in (3, 30, 300)] + [LONG_WINDOWS[0]]
    rng = random.Random(19)
    for _ in range(20):
        pairs = [(rng.choice(short + long), rng.choice(texts)) for _ in range(12)]
        pairs.insert(rng.randrange(13), (rng.choice(short), texts[1] + b"\xff"))  # malformed value
        for deserialize in (True, False):
            assert_map_reader_agrees(pairs, deserialize)
            assert_map_reader_agrees([p for p in pairs if not p[1].endswith(b"\xff")], deserialize)


def test_threads_reading_keys_that_share_slots() -> None:
    """Threads read records of keys that share slots, switching as often as the
    interpreter lets them and between pairs (the truth of `deserialize` is Python
    code); every result is the record's."""
    collide = colliding_keys(4)
    variants = [{k.decode(): f"v{i}" for k in [*collide[i:], *one_byte_apart(collide[0])]} for i in range(3)]
    variants += [{"ü" + k.decode(): "é" * i for i, k in enumerate(collide)}]
    recorded = [(serializer._serialize_dict(d), d) for d in variants]
    failures: list[str] = []

    class Truth:
        def __bool__(self) -> bool:
            return True

    def work(seed: int) -> None:
        rng = random.Random(seed)
        for _ in range(400):
            record, expected = rng.choice(recorded)
            result = READ(record, Truth() if rng.random() < 0.5 else True)
            if result != expected or any(type(k) is not str for k in result):
                failures.append(f"{result!r} for {expected!r}")

    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=work, args=(seed,)) for seed in range(6)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=300)
    finally:
        sys.setswitchinterval(before)
    assert not any(t.is_alive() for t in threads)
    assert not failures, failures[:3]
