"""The record functions under threads, with the global interpreter lock.

_serialize_dict lets other threads in whenever it runs Python code (a key's __str__,
__hash__ or __eq__, a value's __str__), and they may change the dict meanwhile, as may
the key's __str__ itself. Every call must end in a record that reads back to keys and
values the dict has held, in RuntimeError for a change of size, or in KeyError for a key
removed before its value was looked up: nothing else, and never a crash. Readers ask
`deserialize` for its truth in Python code at every entry, so threads switch mid-record.
"""
from __future__ import annotations

import random
import sys
import threading
import traceback
from collections import Counter
from collections.abc import Callable, Iterator
from typing import Any

import pytest

import zav.serializer as serializer

TEXT_KEYS, VALUES = [f"k{i}" for i in range(20)], [f"v{i}" for i in range(20)]
MUTATING_NAMES = [f"m{i}" for i in range(6)]
CALLS = 120  # per writing or reading thread
lock = threading.RLock()  # changes are made one at a time; the writers do not take it


class Code:
    """A value whose string form and truth are Python code, points where threads switch."""

    def __init__(self, text: str, truth: bool = True) -> None:
        self.text, self.truth = text, truth

    def __str__(self) -> str:
        return self.text

    def __bool__(self) -> bool:
        return self.truth


def some_value(rng: random.Random) -> Any:
    text = rng.choice(VALUES)
    return rng.choice([text, Code(text), text.encode()])


def mutate(d: dict[Any, Any], rng: random.Random, mode: str, universe: list[Any]) -> None:
    """One change: a replaced value; a removal and an insertion that restore the size
    (which a writer may see half done); or an insertion or a removal."""
    with lock:
        keys = list(d)
        if mode == "values-only" or rng.random() < 0.4:
            if keys:
                d[rng.choice(keys)] = some_value(rng)
        elif mode == "same-size":
            missing = [k for k in universe if k not in keys]
            if keys and missing:
                d.pop(rng.choice(keys), None)
                d[rng.choice(missing)] = some_value(rng)
        elif rng.random() < 0.5:
            d[rng.choice(universe)] = some_value(rng)
        else:
            d.pop(rng.choice(universe), None)


class MutatingKey:
    """A key whose hash, equality and string form are Python code; its __str__ also
    changes the dict it was made for, so changes land mid-call every time."""

    def __init__(self, name: str, target: dict[Any, Any], universe: list[Any], mode: str, seed: int) -> None:
        self.name, self.target, self.universe, self.mode = name, target, universe, mode
        self.rng = random.Random(seed)

    def __hash__(self) -> int:
        return hash(self.name)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, MutatingKey) and other.name == self.name

    def __str__(self) -> str:
        if self.rng.random() < 0.3:
            mutate(self.target, self.rng, self.mode, self.universe)
        return self.name


@pytest.fixture
def fast_switching() -> Iterator[None]:
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(before)


def run_threads(workers: list[Callable[[Counter[str]], None]], changes: list[Callable[[], None]]) -> Counter[str]:
    """Starts all threads together; the changing ones make changes until the workers are
    done (20,000 at most). Each thread counts its outcomes in a counter of its own."""
    failures: list[str] = []
    tallies: list[Counter[str]] = []
    start, stop = threading.Barrier(len(workers) + len(changes)), threading.Event()

    def changing(change: Callable[[], None]) -> Callable[[Counter[str]], None]:
        def work(tally: Counter[str]) -> None:
            for _ in range(20_000):
                if stop.is_set():
                    return
                change()
        return work

    def guarded(work: Callable[[Counter[str]], None]) -> None:
        tally: Counter[str] = Counter()
        start.wait()
        try:
            work(tally)
        except BaseException:
            failures.append(traceback.format_exc())
        tallies.append(tally)

    threads = [threading.Thread(target=guarded, args=(w,)) for w in workers]
    background = [threading.Thread(target=guarded, args=(changing(c),)) for c in changes]
    for t in threads + background:
        t.start()
    for t in threads:
        t.join(timeout=300)  # a guard against a deadlock, far above the run's length
    stop.set()
    for t in background:
        t.join(timeout=300)
    assert not any(t.is_alive() for t in threads + background), "threads still running: deadlock?"
    assert not failures, "\n".join(failures)
    return sum(tallies, Counter())


@pytest.mark.parametrize("mode", ["values-only", "same-size", "resize"])
def test_dicts_written_while_changing(writer_path: str, fast_switching: None, mode: str) -> None:
    rng = random.Random(1234)
    dicts: list[dict[Any, Any]] = [{} for _ in range(3)]
    universes = [list(TEXT_KEYS) for _ in dicts]  # per dict, the keys that may be inserted
    for j, (d, universe) in enumerate(zip(dicts, universes)):
        universe += [MutatingKey(name, d, universe, mode, 10 * j + i) for i, name in enumerate(MUTATING_NAMES)]
        d.update((key, some_value(rng)) for key in TEXT_KEYS[:12] + universe[20:23])
    fixed_keys = [set(TEXT_KEYS[:12] + MUTATING_NAMES[:3])] * 3

    def writing(seed: int) -> Callable[[Counter[str]], None]:
        def work(outcomes: Counter[str]) -> None:
            for n in range(CALLS):
                j = (seed + n) % len(dicts)
                try:
                    read = serializer._deserialize_dict(serializer._serialize_dict(dicts[j]))
                except RuntimeError as exc:
                    assert str(exc) == "dictionary changed size during iteration" and mode != "values-only"
                    outcomes["changed size"] += 1
                    continue
                except KeyError as exc:
                    assert mode != "values-only" and len(exc.args) == 1 and exc.args[0] in universes[j]
                    outcomes["key gone"] += 1
                    continue
                assert set(read) <= set(TEXT_KEYS + MUTATING_NAMES) and set(read.values()) <= set(VALUES)
                assert mode != "values-only" or set(read) == fixed_keys[j]
                outcomes["record"] += 1
        return work

    map_record, list_record = serializer._serialize_dict(dict(zip(TEXT_KEYS, VALUES))), serializer._serialize_list(VALUES)

    def reading(seed: int) -> Callable[[Counter[str]], None]:
        def work(outcomes: Counter[str]) -> None:
            for n in range(CALLS):
                decode = (seed + n) % 2 == 0
                values = VALUES if decode else [v.encode() for v in VALUES]
                assert serializer._deserialize_dict(map_record, Code("", decode)) == dict(zip(TEXT_KEYS, values))
                assert serializer._deserialize_list(list_record, Code("", decode)) == values
                with pytest.raises(ValueError, match="^corrupt array item, refusing to process$"):
                    serializer._deserialize_list(list_record[:-1], Code("", decode))
                outcomes["read"] += 1
        return work

    def changer(seed: int) -> Callable[[], None]:
        local = random.Random(seed)
        return lambda: mutate(dicts[j := local.randrange(3)], local, mode, universes[j])

    outcomes = run_threads([writing(s) for s in range(3)] + [reading(s) for s in range(2)],
                           [changer(s) for s in range(3)])
    assert outcomes["record"] + outcomes["changed size"] + outcomes["key gone"] == 3 * CALLS, outcomes
    assert outcomes["read"] == 2 * CALLS, outcomes
    if mode == "values-only":
        assert outcomes["record"] == 3 * CALLS, outcomes
    if mode == "resize":
        # The mutating keys' own inserts and deletes alone make both endings near certain.
        assert outcomes["record"] > 0 and outcomes["changed size"] > 0, outcomes


def test_list_written_while_changing(writer_path: str, fast_switching: None) -> None:
    """The length is taken once: a list that shrank under the writer, through another
    thread or an item's own __str__, fails with IndexError."""
    shared: list[Any] = []
    rng = random.Random(7)

    class Popping(Code):
        def __str__(self) -> str:
            with lock:
                if shared and rng.random() < 0.05:
                    shared.pop()
            return self.text

    def writing(outcomes: Counter[str]) -> None:
        for _ in range(CALLS):
            with lock:
                shared.extend(Popping(rng.choice(VALUES)) for _ in range(10 - len(shared)))
            try:
                record = serializer._serialize_list(shared)
            except IndexError as exc:
                assert str(exc) == "list index out of range"
                outcomes["shrank"] += 1
                continue
            assert set(serializer._deserialize_list(record)) <= set(VALUES)
            outcomes["record"] += 1

    def changer(seed: int) -> Callable[[], None]:
        local = random.Random(seed)

        def change() -> None:
            with lock:
                if shared and local.random() < 0.5:
                    shared.pop()
                elif len(shared) < 20:
                    shared.append(Popping(local.choice(VALUES)) if local.random() < 0.5 else some_value(local))
        return change

    outcomes = run_threads([writing, writing], [changer(1), changer(2)])
    assert outcomes["record"] + outcomes["shrank"] == 2 * CALLS, outcomes
    # Both endings happened (each has odds far below one in a million of not happening).
    assert outcomes["record"] > 0 and outcomes["shrank"] > 0, outcomes
