"""The hostile objects of the fuzz target fuzz/fuzz_objects.cpp, through its driver: the
seed corpus and a fixed set of pseudo-random recipes, each held against the driver's
reference model on both writer paths. Run under the debug interpreter too, which asserts
that no C API call is made with an exception pending, where the fuzz target (release
interpreter) sees it only when Python code is entered."""
from __future__ import annotations

import random
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest

import zav.serializer as serializer

FUZZ = Path(__file__).resolve().parent.parent / "fuzz"
sys.path.insert(0, str(FUZZ))
import objects_driver  # noqa: E402

SEEDS = {path.name: path.read_bytes() for path in sorted((FUZZ / "corpus-objects").iterdir())}


def recipes(count: int) -> list[bytes]:
    rng = random.Random(10)
    return list(SEEDS.values()) + [rng.randbytes(rng.randrange(90)) for _ in range(count)]


RECIPES = recipes(4000)


def test_writers_follow_the_model_on_hostile_objects() -> None:
    faults = {data.hex(): found for data in RECIPES if (found := objects_driver.judge(data))}
    assert faults == {}


@pytest.mark.parametrize("seed", sorted(SEEDS))
def test_a_recipe_makes_the_same_case_every_time(seed: str) -> None:
    """Else the two writer paths would seem to differ: no hash may come from an address,
    as where keys land in a dict's table decides which comparisons a lookup makes."""
    def seen() -> tuple[Any, ...]:
        case = objects_driver.build(SEEDS[seed])
        return objects_driver.outcome_of(getattr(serializer, case.name), case).seen()

    first = seen()
    assert all(seen() == first for _ in range(20))


def length_taken_twice(write: Callable[[Any], bytes]) -> Callable[[Any], bytes]:
    return lambda seq: (len(seq), write(seq))[1]


def values_from_a_copy(write: Callable[[Any], bytes]) -> Callable[[Any], bytes]:
    return lambda d: write(dict(d))


# Writers that break a documented rule in a way only hostile objects show.
@pytest.mark.parametrize("name, wrong, seed", [
    ("_serialize_list", length_taken_twice, "list-paging-reports-2-62"),
    ("_serialize_dict", values_from_a_copy, "dict-key-removes-itself"),
])
def test_a_wrong_writer_is_told_apart(monkeypatch: pytest.MonkeyPatch, name: str,
                                      wrong: Callable[[Callable[[Any], bytes]], Callable[[Any], bytes]],
                                      seed: str) -> None:
    assert objects_driver.judge(SEEDS[seed]) == []
    monkeypatch.setattr(serializer, name, wrong(getattr(serializer, name)))
    assert len(objects_driver.judge(SEEDS[seed])) >= 2  # on the native path and on the stream path
