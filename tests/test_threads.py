"""The record functions under threads, with the global interpreter lock.

_serialize_dict lets other threads in whenever it runs Python code: a key's __str__,
__hash__ or __eq__, a value's __str__. They may change the dict meanwhile, and so may
the key's __str__ itself. Every call must then end in a record that reads back to keys
and values the dict has held, in RuntimeError "dictionary changed size during
iteration", or in KeyError for a key removed before its value was looked up: nothing
else, and never a crash. Readers share records, and their `deserialize` is asked for
its truth by Python code at every entry, so that other threads may run mid-record.

On a busy machine a switch rarely lands inside one short call, so the objects written
also make changes themselves from their __str__: those land mid-call every time.
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

CHANGED_SIZE = "dictionary changed size during iteration"

TEXT_KEYS = [f"k{i}" for i in range(20)]
MUTATING_KEY_NAMES = [f"m{i}" for i in range(6)]
VALUES = [f"v{i}" for i in range(20)]

SERIALIZERS, MUTATORS, READERS = 3, 3, 2
CALLS = 120  # per serializing or reading thread
# Mutating threads go on until the others are done, but never beyond this many changes.
MAX_MUTATIONS = 20_000


class Value:
    """A value whose string form is Python code, a point at which threads switch."""

    def __init__(self, text: str) -> None:
        self.text = text

    def __str__(self) -> str:
        return self.text


class MutatingKey:
    """A key whose hash, equality and string form are Python code; its __str__, which
    the writer calls while it holds the key, also changes the dict the key was made for,
    drawing new keys from `universe`."""

    def __init__(
        self, name: str, target: dict[Any, Any], universe: list[Any], mode: str, seed: int
    ) -> None:
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


def some_value(rng: random.Random) -> Any:
    text = rng.choice(VALUES)
    return rng.choice([text, Value(text), text.encode()])


# Changes are made one at a time, so that a removal and an insertion meant to keep the
# size do keep it; the writers and readers do not take the lock.
mutation_lock = threading.RLock()


def mutate(d: dict[Any, Any], rng: random.Random, mode: str, universe: list[Any]) -> None:
    """One change of d: a replaced value only, a removal and an insertion that restore
    the size (which a writer may see half done), or an insertion or removal."""
    with mutation_lock:
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


def key_text(key: Any) -> str:
    """A key's string form, without running a mutating key's __str__."""
    return key.name if isinstance(key, MutatingKey) else str(key)


class Truth:
    """A `deserialize` argument whose truth is asked by running Python code."""

    def __init__(self, value: bool) -> None:
        self.value = value

    def __bool__(self) -> bool:
        return self.value


@pytest.fixture
def fast_switching() -> Iterator[None]:
    """Threads switch at nearly every chance the interpreter gets."""
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(before)


Worker = Callable[[Counter[str]], None]
Mutator = Callable[[Counter[str], threading.Event], None]


def run_threads(workers: list[Worker], mutators: list[Mutator]) -> tuple[Counter[str], list[str]]:
    """Starts all threads together; the mutators are told to stop once the workers are
    done. Returns the outcomes they counted, each in a counter of its own (a shared
    `+= 1` may lose counts when threads switch inside it), and the tracebacks of the
    threads that failed."""
    failures: list[str] = []
    tallies: list[Counter[str]] = []
    start = threading.Barrier(len(workers) + len(mutators))
    stop = threading.Event()

    def guarded(work: Callable[..., None], *args: Any) -> None:
        tally: Counter[str] = Counter()
        start.wait()
        try:
            work(tally, *args)
        except BaseException:
            failures.append(traceback.format_exc())
        tallies.append(tally)

    threads = [threading.Thread(target=guarded, args=(w,)) for w in workers]
    background = [threading.Thread(target=guarded, args=(m, stop)) for m in mutators]
    for t in threads + background:
        t.start()
    for t in threads:
        t.join(timeout=300)  # a guard against a deadlock, far above the run's length
    stop.set()
    for t in background:
        t.join(timeout=300)
    assert not any(t.is_alive() for t in threads + background), "threads still running: deadlock?"
    return sum(tallies, Counter()), failures


@pytest.mark.parametrize("mode", ["values-only", "same-size", "resize"])
def test_dicts_written_while_changing(writer_path: str, fast_switching: None, mode: str) -> None:
    rng = random.Random(1234)
    dicts: list[dict[Any, Any]] = []
    # Per dict, the keys that may be inserted: the text keys and mutating keys of its own.
    universes: list[list[Any]] = []
    for j in range(3):
        d: dict[Any, Any] = {}
        universe: list[Any] = list(TEXT_KEYS)
        mutating_keys = [
            MutatingKey(name, d, universe, mode, seed=10 * j + i)
            for i, name in enumerate(MUTATING_KEY_NAMES)
        ]
        universe += mutating_keys
        for key in TEXT_KEYS[:12] + mutating_keys[:3]:
            d[key] = some_value(rng)
        dicts.append(d)
        universes.append(universe)
    key_texts = set(TEXT_KEYS) | set(MUTATING_KEY_NAMES)
    # With values replaced only, every dict keeps the key set it started with.
    fixed_keys = [{key_text(k) for k in d} for d in dicts]

    def serializing(seed: int) -> Worker:
        def work(outcomes: Counter[str]) -> None:
            for n in range(CALLS):
                j = (seed + n) % len(dicts)
                try:
                    record = serializer._serialize_dict(dicts[j])
                except RuntimeError as exc:
                    assert str(exc) == CHANGED_SIZE
                    assert mode != "values-only"
                    outcomes["changed size"] += 1
                    continue
                except KeyError as exc:
                    assert mode != "values-only"
                    assert len(exc.args) == 1 and exc.args[0] in universes[j]
                    outcomes["key gone"] += 1
                    continue
                read = serializer._deserialize_dict(record)
                assert set(read) <= key_texts
                assert set(read.values()) <= set(VALUES)
                if mode == "values-only":
                    assert set(read) == fixed_keys[j]
                outcomes["record"] += 1

        return work

    def mutating(seed: int) -> Mutator:
        def work(outcomes: Counter[str], stop: threading.Event) -> None:
            local = random.Random(seed)
            for _ in range(MAX_MUTATIONS):
                if stop.is_set():
                    break
                j = local.randrange(len(dicts))
                mutate(dicts[j], local, mode, universes[j])
            outcomes["mutator done"] += 1

        return work

    map_record = serializer._serialize_dict({k: v for k, v in zip(TEXT_KEYS, VALUES)})
    list_record = serializer._serialize_list(VALUES)
    expected_map = dict(zip(TEXT_KEYS, VALUES))

    def reading(seed: int) -> Worker:
        def work(outcomes: Counter[str]) -> None:
            for n in range(CALLS):
                decode = (seed + n) % 2 == 0
                as_map = serializer._deserialize_dict(map_record, Truth(decode))
                as_list = serializer._deserialize_list(list_record, Truth(decode))
                if decode:
                    assert as_map == expected_map and as_list == VALUES
                else:
                    assert as_map == {k: v.encode() for k, v in expected_map.items()}
                    assert as_list == [v.encode() for v in VALUES]
                with pytest.raises(ValueError, match="^corrupt array item, refusing to process$"):
                    serializer._deserialize_list(list_record[:-1], Truth(decode))
                outcomes["read"] += 1

        return work

    outcomes, failures = run_threads(
        [serializing(s) for s in range(SERIALIZERS)] + [reading(s) for s in range(READERS)],
        [mutating(s) for s in range(MUTATORS)],
    )
    assert not failures, "\n".join(failures)
    finished_calls = outcomes["record"] + outcomes["changed size"] + outcomes["key gone"]
    assert finished_calls == SERIALIZERS * CALLS, outcomes
    assert outcomes["mutator done"] == MUTATORS, outcomes
    assert outcomes["read"] == READERS * CALLS, outcomes
    if mode == "values-only":
        assert outcomes["record"] == SERIALIZERS * CALLS, outcomes
    if mode == "resize":
        # The mutating keys' own inserts and deletes alone make both endings near certain.
        assert outcomes["record"] > 0 and outcomes["changed size"] > 0, outcomes


def test_list_written_while_changing(writer_path: str, fast_switching: None) -> None:
    """_serialize_list takes the length once: a list that shrank under it, through
    another thread or an item's own __str__, fails with IndexError; items appended
    meanwhile are not written."""
    shared: list[Any] = []
    rng = random.Random(7)

    class PoppingValue(Value):
        def __str__(self) -> str:
            if rng.random() < 0.05:
                with mutation_lock:
                    if shared:
                        shared.pop()
            return self.text

    def writing(outcomes: Counter[str]) -> None:
        for _ in range(CALLS):
            with mutation_lock:
                while len(shared) < 10:
                    shared.append(PoppingValue(rng.choice(VALUES)))
            try:
                record = serializer._serialize_list(shared)
            except IndexError as exc:
                assert str(exc) == "list index out of range"
                outcomes["shrank"] += 1
                continue
            assert set(serializer._deserialize_list(record)) <= set(VALUES)
            outcomes["record"] += 1

    def changing(seed: int) -> Mutator:
        def work(outcomes: Counter[str], stop: threading.Event) -> None:
            local = random.Random(seed)
            for _ in range(MAX_MUTATIONS):
                if stop.is_set():
                    break
                choice = local.random()
                with mutation_lock:
                    if choice < 0.4 and len(shared) < 20:
                        shared.append(PoppingValue(local.choice(VALUES)))
                    elif choice < 0.8 and shared:
                        shared.pop()
                    elif shared:
                        shared[local.randrange(len(shared))] = some_value(local)
            outcomes["mutator done"] += 1

        return work

    outcomes, failures = run_threads([writing, writing], [changing(1), changing(2)])
    assert not failures, "\n".join(failures)
    assert outcomes["record"] + outcomes["shrank"] == 2 * CALLS, outcomes
    assert outcomes["mutator done"] == 2, outcomes
    # Both endings happened (each has odds far below one in a million of not happening).
    assert outcomes["record"] > 0 and outcomes["shrank"] > 0, outcomes
