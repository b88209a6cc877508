"""Exit 0 when this interpreter can build and test the module natively."""
import os
import sys
import sysconfig

if sys.version_info[:2] != (3, 14):
    sys.exit("not CPython 3.14")
if not os.path.exists(os.path.join(sysconfig.get_path("include"), "Python.h")):
    sys.exit("no Python.h")
import hypothesis  # noqa: E402,F401
import mypy  # noqa: E402,F401
import pytest  # noqa: E402,F401
