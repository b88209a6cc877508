"""Prints the README's table of benchmark ratios from bench/results.txt.

    ./dev run python3.14 bench/readme_table.py [RESULTS]

For each workload: our median time and the fastest other serializer's in the last
native run (the serializer marked * in the workload's table), and the median of the
runs' ratios with the processor's own kernels and with AVX2 forced.
"""
from __future__ import annotations

import re
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent

# workload -> its row's text in the README, in the README's order
ROWS = {
    "dict-1000": "dict of 1,000 ASCII pairs",
    "dict-1000-mixed": "dict of 1,000 pairs, values int, float, str, bool",
    "dict-100-unicode": "dict of 100 non-ASCII pairs, warm",
    "dict-100-unicode-cold": "dict of 100 non-ASCII pairs, cold",
    "dict-tiny": "`{'a': 'bc'}`",
    "list-10000": "list of 10,000 ASCII strings",
    "list-16x64KiB": "list of 16 strings of 64 KiB",
    "list-1000-unicode": "list of 1,000 non-ASCII strings, warm",
    "list-1000-unicode-cold": "list of 1,000 non-ASCII strings, cold",
    "dict-1000-ints": "dict of 1,000 ints of every size",
    "dict-1000-floats": "dict of 1,000 floats",
    "records": "300 real package records, per record",
    "records-cold": "the same, cold",
    "records-fresh-keys": "the same, keys of their own in every record",
    "locales": "315 real locale records in dozens of scripts, per record",
    "locales-cold": "the same, cold",
    "list-1000-int64": "list of 1,000 random 64-bit ints",
    "list-1000-small-ints": "list of 1,000 ints below 10\\*\\*5",
    "list-1000-floats": "list of 1,000 floats",
    "list-1000-short-floats": "list of 1,000 floats of a few decimal places",
    "list-1000-mixed": "list of 1,000 items: int, float, str, bool",
    "list-1000-codes": "list of 1,000 codes of 2-3 letters, few distinct",
    "list-1000-codes-distinct": "list of 1,000 distinct 3-letter codes",
    "locale-rows": "the locale records as rows of 25 fields, per row",
    "code-rows-distinct": "17,576 distinct codes in rows of 25, per row",
    "mid-records": "300 records of 20 mixed fields, per record",
}
SHORT_NAMES = {"msgspec.msgpack": "msgspec", "pickle-5": "pickle"}
def last_run_times(text: str) -> dict[str, dict[str, tuple[str, str, str]]]:
    """Per workload and direction: our time, the fastest other's name and time."""
    result: dict[str, dict[str, tuple[str, str, str]]] = {}
    workload = None
    rows: dict[str, tuple[str, str]] = {}
    fastest: dict[str, str] = {}
    for line in text.splitlines():
        head = re.match(r"^([a-z0-9-]+(?:x64KiB)?[a-z0-9-]*): ", line)
        if head and head.group(1) in ROWS:
            workload, rows, fastest = head.group(1), {}, {}
            result[workload] = {}
            continue
        parts = line.split("|")
        if workload is None or len(parts) != 3 or not re.match(r"^  \S+\s+[\d,]+ $", parts[0]):
            continue
        name = parts[0].split()[0]
        # median, unit, min, unit, max, unit, ratio (with * for the fastest other)
        dump, load = parts[1].split(), parts[2].split()
        rows[name] = (" ".join(dump[:2]), " ".join(load[:2]))
        if dump[6].endswith("*"):
            fastest["dump"] = name
        if load[6].endswith("*"):
            fastest["load"] = name
        if "zav" in rows and len(fastest) == 2:
            for k, direction in enumerate(("dump", "load")):
                other = fastest[direction]
                result[workload][direction] = (rows["zav"][k], SHORT_NAMES.get(other, other), rows[other][k])
    return result


def run_medians(text: str, title: str) -> dict[str, str]:
    """The median column of the table of runs that follows the line starting with title."""
    block = text[text.index(title):]
    medians = {}
    for line in block.splitlines()[2:]:
        match = re.match(r"^  (\S+ (?:dump|load))\s+.*\s([\d.]+)$", line)
        if not match:
            break
        medians[match.group(1)] = match.group(2)
    return medians


def main() -> int:
    path = Path(sys.argv[1]) if len(sys.argv) > 1 else HERE / "results.txt"
    text = path.read_text()
    times = last_run_times(text)
    native = run_medians(text, "zav against the fastest other serializer, native kernels")
    avx2 = run_medians(text, "the same with simdutf's haswell kernels forced")
    print("| workload | dump: ours | fastest other | ratio | AVX2 | load: ours | fastest other | ratio | AVX2 |")
    print("|---|---|---|---|---|---|---|---|---|")
    for workload, label in ROWS.items():
        cells = [label]
        for direction in ("dump", "load"):
            ours, other, other_time = times[workload][direction]
            cell = f"{workload} {direction}"
            cells += [ours, f"{other} {other_time}", native[cell], avx2[cell]]
        print("| " + " | ".join(cells) + " |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
