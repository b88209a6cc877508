"""Counts the instructions the record functions spend, with callgrind.

Builds a copy of the module with the release flags plus debug information (so that
costs can be traced to source lines; -g does not change the generated code), then runs
one driver process per function and workload under `valgrind --tool=callgrind`,
collecting only inside the function's body (for the small workload, inside the whole
call). For each it prints the instructions per call, split into the module's own code
and the calls it makes into CPython and the C library, and the costliest functions and
source lines.

Instruction counts do not depend on the load of the machine. Two runs agree to a few
hundredths of a percent, except where a realloc (under _PyBytes_Resize or
PyList_Append) copies the buffer in one run and grows it in place in the other, which
can move a total by a few percent. The callgrind files are kept for callgrind_annotate.

    python3.14 bench/callgrind.py                  # everything
    python3.14 bench/callgrind.py serialize_dict   # the targets of one function
"""
from __future__ import annotations

import argparse
import collections
import itertools
import operator
import os
import pickle
import re
import shutil
import subprocess
import sys
import sysconfig
from collections import defaultdict
from collections.abc import Iterable
from dataclasses import dataclass, field
from pathlib import Path
from types import ModuleType
from typing import Any

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
OBJECT_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")

# What is profiled by default: (function, workload, scope). The scope "body" counts
# the function's body only; "call" counts the whole call as the interpreter makes it,
# argument binding included, which matters for the small workload.
TARGETS = [
    ("serialize_dict", "dict-1000", "body"),
    ("serialize_dict", "dict-100-unicode", "body"),
    ("serialize_dict", "dict-tiny", "call"),
    ("serialize_dict", "dict-1000-mixed", "body"),
    ("serialize_dict", "dict-100-unicode-cold", "body"),
    ("deserialize_dict", "dict-1000", "body"),
    ("deserialize_dict", "dict-100-unicode", "body"),
    ("deserialize_dict", "dict-tiny", "call"),
    ("deserialize_dict", "dict-1000-mixed", "body"),
    ("serialize_list", "list-10000", "body"),
    ("serialize_list", "list-16x64KiB", "body"),
    ("serialize_list", "list-1000-unicode", "body"),
    ("serialize_list", "list-1000-unicode-cold", "body"),
    ("deserialize_list", "list-10000", "body"),
    ("deserialize_list", "list-16x64KiB", "body"),
    ("deserialize_list", "list-1000-unicode", "body"),
    ("serialize_dict", "records", "call"),
    ("deserialize_dict", "records", "call"),
    ("serialize_dict", "locales-cold", "call"),
    ("deserialize_dict", "locales", "call"),
    ("serialize_dict", "dict-1000-ints", "body"),
    ("serialize_dict", "dict-1000-floats", "body"),
    ("serialize_list", "list-1000-small-ints", "body"),
    ("serialize_list", "list-1000-int64", "body"),
    ("serialize_list", "list-1000-floats", "body"),
    ("serialize_list", "list-1000-short-floats", "body"),
    ("serialize_list", "list-1000-mixed", "body"),
    ("deserialize_list", "list-1000-small-ints", "body"),
    ("deserialize_list", "list-1000-mixed", "body"),
    ("serialize_list", "list-1000-codes", "body"),
    ("deserialize_list", "list-1000-codes", "body"),
    ("deserialize_list", "list-1000-codes-distinct", "body"),
    ("serialize_list", "locale-rows", "call"),
    ("deserialize_list", "locale-rows", "call"),
    ("serialize_list", "code-rows-distinct", "call"),
    ("deserialize_list", "code-rows-distinct", "call"),
    ("serialize_dict", "mid-records", "call"),
    ("deserialize_dict", "mid-records", "call"),
    ("deserialize_dict", "records-fresh-keys", "call"),
]

SCOPES = {
    # The C++ name of the function's body.
    "body": ("zav::{function}_body*", "inside the body, argument binding not counted"),
    # The driver makes each call through operator.call, which nothing else in the
    # driver uses; its own instructions (about 55 per call) are counted too.
    "call": ("_operator_call*",
             "whole calls from C: argument binding and operator.call included"),
}

# The flags of the release build (see the build folder's build.ninja), plus -g. The
# release build optimises across units (CMake's interprocedural optimisation), which
# decides what the record writers inline; so does this one.
CXXFLAGS = ["-O3", "-DNDEBUG", "-g", "-std=c++20", "-fPIC", "-fvisibility=hidden",
            "-fvisibility-inlines-hidden", "-flto", "-falign-functions=64", "-falign-loops=64",
            "--param=inline-unit-growth=80", "-shared"]


def dragonbox_includes() -> list[str]:
    """The folder of the newest Dragonbox headers installed, which the distributions
    put in a folder named by version."""
    found = sorted(Path("/usr/include").glob("dragonbox-*/dragonbox"))
    return [str(found[-1].parent)] if found else []


def build_module(out_dir: Path) -> Path:
    """Compiles src/*.cpp into a copy of the package under out_dir; returns the shared
    object."""
    package = out_dir / "zav"
    package.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(ROOT / "zav" / "__init__.py", package / "__init__.py")
    target = package / f"serializer{OBJECT_SUFFIX}"
    sources = sorted(str(p) for p in (ROOT / "src").glob("*.cpp"))
    includes = [sysconfig.get_path("include"), *dragonbox_includes()]
    cxx = shutil.which("c++") or shutil.which("g++") or "c++"
    subprocess.run([cxx, *CXXFLAGS, *(f"-isystem{path}" for path in includes), *sources, "-lsimdutf",
                    "-o", str(target)], check=True)
    return target


def load_module(path: Path) -> ModuleType:
    """Imports zav.serializer from the package folder that holds path."""
    sys.path.insert(0, str(path.parent.parent))
    import zav.serializer

    if Path(zav.serializer.__file__ or "").resolve() != path:
        raise SystemExit(f"imported {zav.serializer.__file__}, not {path}")
    return zav.serializer


# ---------------------------------------------------------------------------
# The driver: runs inside valgrind


def drive(function: str, workload_name: str, calls: int, module_path: Path) -> None:
    from workloads import fresh_copy, make_workload

    module = load_module(module_path)
    workload = make_workload(workload_name)
    kind = "dict" if function.endswith("dict") else "list"
    if workload.container != kind:
        raise SystemExit(f"{function} takes a {kind}; {workload_name} is a {workload.kind}")
    serialize = getattr(module, f"_serialize_{kind}")
    # A records or rows workload has a call per record, in turn.
    each = workload.data if workload.one_call_each else [workload.data]
    args: Iterable[Any]
    if function.startswith("deserialize"):
        func = getattr(module, f"_deserialize_{kind}")
        args = itertools.islice(itertools.cycle([serialize(x) for x in each]), calls)
    elif workload.cold:
        # Every call dumps its own copy, made before the first call.
        func, args = serialize, [fresh_copy(each[i % len(each)]) for i in range(calls)]
    else:
        # Warm, as in bench.py, where the peers' dumps leave a UTF-8 copy in every str.
        pickle.dumps(each)
        func, args = serialize, itertools.islice(itertools.cycle(each), calls)
    # Every call is counted, the first one too. The calls are made from C, through
    # operator.call, and the results go into a deque that keeps none, so that freeing
    # them is not counted with the call.
    collections.deque(map(operator.call, itertools.repeat(func, calls), args), maxlen=0)


# ---------------------------------------------------------------------------
# Reading a callgrind file


@dataclass
class Profile:
    total: int = 0
    self_cost: dict[tuple[str, str], int] = field(default_factory=lambda: defaultdict(int))
    # (caller object, caller function, callee object, callee function)
    #     -> [calls, inclusive cost]
    calls_out: dict[tuple[str, str, str, str], list[int]] = field(
        default_factory=lambda: defaultdict(lambda: [0, 0]))
    lines: dict[tuple[str, str, int], int] = field(default_factory=lambda: defaultdict(int))


def read_profile(path: Path) -> Profile:
    """Self costs per (object, function), per source line, and the call edges."""
    names: dict[str, dict[str, str]] = {"ob": {}, "fl": {}, "fn": {}}
    kinds = {"ob": "ob", "cob": "ob", "fl": "fl", "fi": "fl", "fe": "fl", "cfi": "fl",
             "cfl": "fl", "fn": "fn", "cfn": "fn", "jfi": "fl", "jfn": "fn"}

    def name(key: str, value: str) -> str:
        table = names[kinds[key]]
        m = re.match(r"\((\d+)\)\s*(.*)", value)
        if not m:
            return plain(key, value)
        if m.group(2):
            table[m.group(1)] = plain(key, m.group(2))
        return table[m.group(1)]

    def plain(key: str, value: str) -> str:
        # A function entered again from its own callees is named "f'2"; count it as f.
        return re.sub(r"'\d+$", "", value) if kinds[key] == "fn" else value

    prof = Profile()
    ob = fl = fn = ""
    cob: str | None = None
    cfn = ""
    pending_calls = 0
    line = 0
    with path.open(encoding="utf-8", errors="replace") as f:
        for raw in f:
            text = raw.rstrip("\n")
            if not text or text.startswith("#"):
                continue
            first = text[0]
            if first.isdigit() or first in "+-*":
                parts = text.split()
                pos = parts[0]
                if pos == "*":
                    pass
                elif pos[0] in "+-":
                    line += int(pos)
                else:
                    line = int(pos, 0)
                cost = int(parts[1]) if len(parts) > 1 else 0
                if pending_calls:
                    edge = prof.calls_out[(ob, fn, cob or ob, cfn)]
                    edge[0] += pending_calls
                    edge[1] += cost
                    pending_calls = 0
                    cob = None
                else:
                    prof.self_cost[(ob, fn)] += cost
                    prof.lines[(ob, fl, line)] += cost
                    prof.total += cost
                continue
            key, _, value = text.partition("=")
            if key == "calls":
                pending_calls = int(value.split()[0])
            elif key == "ob":
                ob = name(key, value)
            elif key == "fn":
                fn = name(key, value)
            elif key in ("fl", "fi", "fe"):
                fl = name(key, value)
            elif key == "cob":
                cob = name(key, value)
            elif key == "cfn":
                cfn = name(key, value)
            elif key in kinds:
                name(key, value)  # keeps the compression table complete
    return prof


# ---------------------------------------------------------------------------
# Reporting


def short_object(obj: str, ours: str) -> str:
    if obj == ours:
        return "zav"
    base = Path(obj).name
    if base.startswith("libpython") or base.startswith("python"):
        return "cpython"
    if base.startswith("libc.") or base.startswith("ld-linux"):
        return "libc"
    return base


def short_function(fn: str) -> str:
    fn = re.sub(r"\(anonymous namespace\)::", "", fn)
    fn = re.sub(r"^zav::", "", fn)
    fn = re.sub(r"\(.*\)( const)?( \[clone [^]]*\])?$", r"()\2", fn)
    return fn if len(fn) <= 70 else fn[:67] + "..."


def report(function: str, workload: str, scope: str, calls: int, prof: Profile,
           ours: str, top: int) -> list[str]:
    per_call = prof.total / calls
    lines = [f"{function} on {workload}: {per_call:,.0f} instructions per call "
             f"({calls} calls; {scope})"]
    by_object: dict[str, int] = defaultdict(int)
    for (obj, _), cost in prof.self_cost.items():
        by_object[short_object(obj, ours)] += cost
    split = ", ".join(f"{obj} {cost / prof.total:.0%}"
                      for obj, cost in sorted(by_object.items(), key=lambda kv: -kv[1]))
    lines.append(f"  where the instructions run: {split}")

    own = sorted(((c, fn) for (obj, fn), c in prof.self_cost.items() if obj == ours),
                 reverse=True)
    lines.append("  own code, self cost per call:")
    for cost, fn in own[:top]:
        lines.append(f"    {cost / calls:>12,.0f}  {cost / prof.total:>4.0%}  {short_function(fn)}")

    merged: dict[tuple[str, str], list[int]] = defaultdict(lambda: [0, 0])
    for (ob, _, cob, cfn), (count, cost) in prof.calls_out.items():
        if ob == ours and cob != ours:
            merged[(cob, cfn)][0] += count
            merged[(cob, cfn)][1] += cost
    edges = sorted(((cost, count, cob, cfn) for (cob, cfn), (count, cost) in merged.items()),
                   reverse=True)
    lines.append("  calls out of the module, inclusive cost per call (calls per call):")
    for cost, count, cob, cfn in edges[:top]:
        lines.append(f"    {cost / calls:>12,.0f}  {cost / prof.total:>4.0%}  "
                     f"{short_function(cfn)} [{short_object(cob, ours)}] "
                     f"x{count / calls:,.0f}")

    src = sorted(((c, fl, ln) for (obj, fl, ln), c in prof.lines.items()
                  if obj == ours and c > 0), reverse=True)
    lines.append("  costliest source lines of the module (self cost per call):")
    for cost, fl, ln in src[:top]:
        where = f"{Path(fl).name}:{ln}"
        lines.append(f"    {cost / calls:>12,.0f}  {cost / prof.total:>4.0%}  {where:<18} "
                     f"{source_line(Path(fl), ln)}")
    return lines


def source_line(path: Path, number: int) -> str:
    try:
        text = path.read_text(encoding="utf-8").splitlines()[number - 1].strip()
    except (OSError, IndexError):
        return ""
    return text if len(text) <= 60 else text[:57] + "..."


# ---------------------------------------------------------------------------


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("functions", nargs="*", metavar="FUNCTION",
                        help="serialize_dict, deserialize_dict, serialize_list or "
                             "deserialize_list (default: all)")
    parser.add_argument("--workload", action="append", metavar="NAME",
                        help="only targets on this workload (repeatable)")
    parser.add_argument("--calls", type=int, default=None,
                        help="calls per target (default 20, or 1000 for a whole-call target)")
    parser.add_argument("--top", type=int, default=8, help="rows per list")
    parser.add_argument("--output-dir", type=Path, default=ROOT / "build" / "callgrind",
                        help="where the module copy and the callgrind files go "
                             "(default: %(default)s)")
    parser.add_argument("--module", type=Path,
                        help="profile this build of the module instead of compiling src/")
    parser.add_argument("--drive", nargs=3, metavar=("FUNCTION", "WORKLOAD", "MODULE"),
                        help=argparse.SUPPRESS)
    args = parser.parse_args(argv)

    if args.drive:
        function, workload, module = args.drive
        drive(function, workload, args.calls or 20, Path(module))
        return 0

    targets = [t for t in TARGETS if not args.functions or t[0] in args.functions]
    if args.workload:
        targets = [t for t in targets if t[1] in args.workload]
    if not targets:
        parser.error(f"no such function; choose from {sorted({t[0] for t in TARGETS})}")
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        print("valgrind is not installed", file=sys.stderr)
        return 1
    out = args.output_dir.resolve()
    out.mkdir(parents=True, exist_ok=True)
    if args.module:
        module_path = args.module.resolve()
        if not (module_path.is_file() and module_path.parent.name == "zav" and
                (module_path.parent / "__init__.py").exists()):
            parser.error("--module must name the shared object inside a copy of the zav "
                         "package (a folder zav/ with its __init__.py)")
    else:
        module_path = build_module(out)
        print(f"module with debug information: {module_path}", file=sys.stderr)
    ours = str(module_path)
    for function, workload, scope in targets:
        data = out / f"callgrind.out.{function}.{workload}"
        pattern, scope_text = SCOPES[scope]
        calls = args.calls or (1000 if scope == "call" else 20)
        toggle = pattern.format(function=function)
        cmd = [valgrind, "--tool=callgrind", "--quiet", f"--callgrind-out-file={data}",
               "--collect-atstart=no", f"--toggle-collect={toggle}",
               sys.executable, str(Path(__file__).resolve()), "--calls", str(calls),
               "--drive", function, workload, str(module_path)]
        print(f"profiling {function} on {workload} ...", file=sys.stderr, flush=True)
        # A fixed hash seed, so that dict lookups probe alike in every run.
        subprocess.run(cmd, check=True, env={**os.environ, "PYTHONHASHSEED": "0"})
        prof = read_profile(data)
        if prof.total == 0:
            print(f"nothing was collected in {toggle}", file=sys.stderr)
            return 1
        print("\n".join(report(function, workload, scope_text, calls, prof, ours,
                               args.top)))
        print(flush=True)
    print(f"callgrind files: {out}/callgrind.out.*  (callgrind_annotate FILE src/*.cpp)",
          file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
