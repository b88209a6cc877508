"""Whether the project's commands can run natively on this machine.

    python3.14 tools/check_python.py         exit 0 when this interpreter, CPython 3.14
                                             (the default), can build and test the module
    python3.14 tools/check_python.py 3.13    the same for another supported version
    python3.14 tools/check_python.py --all   print every interpreter that the tests run
                                             on; exit 1 when one of them is not at hand
"""
import os
import shutil
import subprocess
import sys
import sysconfig

DEFAULT = "3.14"
VERSIONS = ["3.13", "3.14", "3.15"]


def all_interpreters() -> list[str]:
    """The release and the debug interpreter of every supported version."""
    return [f"python{version}{flag}" for version in VERSIONS for flag in ("", "d")]


def check_all() -> None:
    missing = []
    for name in all_interpreters():
        version = name.removeprefix("python").removesuffix("d")
        found = shutil.which(name)
        if found is None or subprocess.run([found, __file__, version], capture_output=True).returncode != 0:
            missing.append(name)
    if missing:
        sys.exit("not usable: " + " ".join(missing))
    print(" ".join(all_interpreters()))


def check_this(version: str) -> None:
    if "{}.{}".format(*sys.version_info) != version:
        sys.exit(f"not CPython {version}")
    if not os.path.exists(os.path.join(sysconfig.get_path("include"), "Python.h")):
        sys.exit("no Python.h")
    import hypothesis  # noqa: F401
    import mypy  # noqa: F401
    import pytest  # noqa: F401


if sys.argv[1:] == ["--all"]:
    check_all()
else:
    check_this(sys.argv[1] if len(sys.argv) > 1 else DEFAULT)
