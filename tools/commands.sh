#!/usr/bin/env bash
# The project's commands, run natively with $PYTHON (CPython 3.14); ./dev decides where.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
# The package imports from the checkout, where the builds place the module.
export PYTHONPATH=$PWD

release_python=$PYTHON
debug_python=${PYTHON_DEBUG:-$(command -v "$(basename "$PYTHON")d" || true)}
werror=$([ -n "${CI:-}" ] && echo ON || echo OFF)

step() { printf '\n==> %s\n' "$*" >&2; }

# build PYTHON [FOLDER [CMAKE OPTIONS...]]: the module for that interpreter, into zav/.
build() {
    local py=$1 dir=${2:-build/$(basename "$1")}
    shift $(($# < 2 ? $# : 2))
    mkdir -p build
    # One build at a time: every build writes its module into zav/.
    (
        flock 8
        cmake -S . -B "$dir" -G Ninja -DPython_EXECUTABLE="$py" -DZAV_WERROR="$werror" "$@" >/dev/null
        cmake --build "$dir"
    ) 8>build/.lock
}

run_pytest() {
    local py=$1
    shift
    step "pytest under $("$py" -c 'import sys; print(sys.executable, sys.version.split()[0], getattr(sys, "abiflags", ""))')"
    "$py" -m pytest -p no:cacheprovider -q --doctest-glob=README.md "$@" tests README.md
}

# The sources once more as the free-threaded build sees them.
check_free_threaded() {
    step "compile check with Py_GIL_DISABLED"
    local include
    include=$("$release_python" -c 'import sysconfig; print(sysconfig.get_path("include"))')
    local src
    for src in src/*.cpp; do
        g++ -std=c++20 -fsyntax-only -Wall -Wextra -Wpedantic -Werror -DPy_GIL_DISABLED=1 \
            -I"$include" "$src"
    done
    echo "free-threaded configuration compiles" >&2
}

check_exports() {
    step "exported symbols"
    local so
    for so in zav/serializer.*.so; do
        local exported
        exported=$(nm -D --defined-only "$so" | awk '$2 ~ /^[TDBRVW]$/ {print $3}')
        echo "$so: $exported" >&2
        [ "$exported" = PyInit_serializer ] || { echo "unexpected exports in $so" >&2; return 1; }
    done
}

check_wheel() {
    step "wheel build and install into a fresh venv"
    local tmp
    tmp=$(mktemp -d)
    "$release_python" -m pip wheel --no-build-isolation --no-deps -q -w "$tmp/dist" .
    "$release_python" -m venv "$tmp/venv"
    "$tmp/venv/bin/python" -m pip install --no-index -q "$tmp"/dist/*.whl
    (cd "$tmp" && env -u PYTHONPATH "$tmp/venv/bin/python" -c '
import zav.serializer as s
assert s._deserialize_dict(s._serialize_dict({"a": "bc"})) == {"a": "bc"}
print("wheel imports:", s.__file__)')
    rm -rf "$tmp"
}

cmd_demo() {
    build "$release_python" >/tmp/zav-build.log 2>&1 || { cat /tmp/zav-build.log >&2; exit 1; }
    "$release_python" tools/demo.py
}

cmd_bench() {
    build "$release_python" >/tmp/zav-build.log 2>&1 || { cat /tmp/zav-build.log >&2; exit 1; }
    "$release_python" bench/bench.py "$@"
}

cmd_test() {
    [ -n "$debug_python" ] || { echo "dev: no debug interpreter (python3.14d)" >&2; exit 1; }
    step "build for $release_python and $debug_python"
    build "$release_python"
    build "$debug_python"
    run_pytest "$release_python" "$@"
    run_pytest "$debug_python" "$@"
    step "type checks"
    tools/check_types.sh
    check_free_threaded
    check_exports
    check_wheel
    step "test suite under ASan+UBSan"
    tools/sanitize.sh "$@"
    step "fuzzing the readers and writers with record bytes and with hostile objects"
    tools/fuzz.sh "${ZAV_FUZZ_SECONDS:-60}"
    step "all checks passed"
}

case "${1:-}" in
    demo) shift; cmd_demo "$@" ;;
    test) shift; cmd_test "$@" ;;
    bench) shift; cmd_bench "$@" ;;
    build) build "$release_python" && build "$debug_python" ;;
    shell) exec bash ;;
    run) shift; exec "$@" ;;
    *) echo "dev: unknown command '${1:-}' (demo, test, bench, build, shell, run)" >&2; exit 2 ;;
esac
