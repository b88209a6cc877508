#!/usr/bin/env bash
# The project's commands, run natively with $PYTHON (CPython 3.14, the default
# interpreter); ./dev decides where. test and wheels cover every supported version.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
# The package imports from the checkout, where the builds place the module.
export PYTHONPATH=$PWD

release_python=$PYTHON
debug_python=${PYTHON_DEBUG:-$(command -v "$(basename "$PYTHON")d" || true)}
werror=$([ -n "${CI:-}" ] && echo ON || echo OFF)
wheels=build/wheels
logs=build/logs

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

# The release and debug interpreter of every supported version (tools/check_python.py).
all_interpreters() { "$release_python" tools/check_python.py --all; }

# Each supported version once, by its release interpreter.
release_interpreters() { all_interpreters | tr ' ' '\n' | grep -v 'd$'; }

# run_pytest PYTHON [PYTEST ARGS...]: the suite and the README's examples; the output is
# kept in build/logs/ for the summary at the end.
run_pytest() {
    local py=$1
    shift
    step "pytest under $("$py" -c 'import sys; print(sys.executable, sys.version.split()[0], getattr(sys, "abiflags", ""))')"
    mkdir -p "$logs"
    "$py" -m pytest -p no:cacheprovider -q --doctest-glob=README.md "$@" tests README.md \
        | tee "$logs/pytest-$(basename "$py").log"
}

pytest_summaries() {
    step "pytest summaries"
    local py
    for py in "$@"; do
        printf '%-12s %s\n' "$py" "$(tail -n 1 "$logs/pytest-$py.log")" >&2
    done
}

check_types() {
    step "type checks under $1"
    PYTHON=$1 tools/check_types.sh
}

# The sources once more as the free-threaded build sees them.
check_free_threaded() {
    step "compile check with Py_GIL_DISABLED"
    local include dragonbox
    include=$("$release_python" -c 'import sysconfig; print(sysconfig.get_path("include"))')
    # Dragonbox's headers lie in a folder named by its version.
    dragonbox=$(find /usr/include -maxdepth 1 -name 'dragonbox-*' | sort -V | tail -n 1)
    local src
    for src in src/*.cpp; do
        g++ -std=c++20 -fsyntax-only -Wall -Wextra -Wpedantic -Werror -DPy_GIL_DISABLED=1 \
            -I"$include" -isystem "$dragonbox" "$src"
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

# build_wheel PYTHON: a wheel for that interpreter's version into build/wheels/raw/,
# its name printed, built in folders of its own.
build_wheel() {
    local py=$1 out=$wheels/raw/$(basename "$1")
    rm -rf "$out"
    "$py" -m pip wheel --no-build-isolation --no-deps -q -w "$out" \
        -C build-dir="build/wheel-check/{wheel_tag}" \
        -C cmake.define.ZAV_WERROR="$werror" . >&2
    ls "$out"/*.whl
}

# repair_wheel WHEEL: auditwheel grafts every library beyond the manylinux policy into
# the wheel and gives it the tag that policy grants; the repaired wheel goes to
# build/wheels/, its name printed.
repair_wheel() {
    local report
    report=$(auditwheel repair -w "$wheels" "$1" 2>&1) || { echo "$report" >&2; return 1; }
    grep 'New filename tags' <<<"$report" >&2
    sed -n 's/^Fixed-up wheel written to //p' <<<"$report"
}

# carried_libraries REPAIRED_WHEEL RAW_WHEEL: "SONAME PATH" for every library that the
# repaired wheel carries, PATH being the system's file that the unrepaired module loads.
carried_libraries() {
    local repaired=$1 raw=$2 tmp grafted stem
    tmp=$(mktemp -d)
    "$release_python" -m zipfile -e "$raw" "$tmp"
    for grafted in $("$release_python" -m zipfile -l "$repaired" | awk '$1 ~ /\.libs\/./ {print $1}'); do
        stem=$(basename "$grafted" | sed -E 's/-[0-9a-f]{8}\..*//')
        ldd "$tmp"/zav/serializer.*.so | awk -v stem="$stem" 'index($1, stem ".so") == 1 {print $1, $3}'
    done
    rm -rf "$tmp"
}

# try_wheel PYTHON REPAIRED_WHEEL RAW_WHEEL: installs the wheel into a fresh virtual
# environment and runs tools/try_wheel.py there, in a private mount namespace in which
# an empty file lies over the system's copy of every library the wheel carries.
try_wheel() {
    local py=$1 repaired=$2 raw=$3 script=$PWD/tools/try_wheel.py tmp
    local -a sonames=() hidden=()
    local soname path
    while read -r soname path; do
        sonames+=("$soname")
        hidden+=("$(readlink -f "$path")")
    done < <(carried_libraries "$repaired" "$raw")
    [[ " ${sonames[*]} " == *" libsimdutf.so."* ]] \
        || { echo "wheels: $(basename "$repaired") carries no simdutf" >&2; return 1; }
    echo "carried: ${sonames[*]}; hidden: ${hidden[*]}" >&2
    tmp=$(mktemp -d)
    "$py" -m venv "$tmp/venv"
    "$tmp/venv/bin/python" -m pip install --no-index -q "$repaired"
    : >"$tmp/empty"
    # Inside the environment root every mount is private already (tools/root.sh), and
    # its chrooted / cannot be made private again.
    local -a namespace=(unshare --mount --propagation "$([ -n "${ZAV_IN_ROOT:-}" ] && echo unchanged || echo private)")
    [ "$(id -u)" = 0 ] || namespace+=(--map-root-user)
    (cd "$tmp" && env -u PYTHONPATH "${namespace[@]}" -- bash -euc '
        empty=$1 count=$2
        shift 2
        for ((i = 0; i < count; i++)); do mount --bind "$empty" "$1"; shift; done
        exec "$@"' hide "$tmp/empty" "${#hidden[@]}" "${hidden[@]}" \
        "$tmp/venv/bin/python" -I "$script" "${sonames[@]}")
    rm -rf "$tmp"
    for path in "${hidden[@]}"; do
        [ -s "$path" ] || { echo "wheels: $path stayed hidden outside the namespace" >&2; return 1; }
    done
}

cmd_wheels() {
    local py raw repaired
    local -a made=()
    rm -rf "$wheels"
    for py in $(release_interpreters); do
        step "wheel for $py: build, repair, install into a fresh venv, import without the system's libraries"
        raw=$(build_wheel "$py")
        repaired=$(repair_wheel "$raw")
        try_wheel "$py" "$repaired" "$raw"
        made+=("$repaired")
    done
    step "auditwheel show $(basename "${made[0]}")"
    auditwheel show "${made[0]}" 2>/dev/null
    step "wheels"
    printf '%s\n' "${made[@]}"
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
    local -a interpreters
    read -ra interpreters <<<"$(all_interpreters)"
    step "build for ${interpreters[*]}"
    local py
    for py in "${interpreters[@]}"; do
        build "$(command -v "$py")"
    done
    # The refcount tests run under the debug interpreters.
    for py in "${interpreters[@]}"; do
        run_pytest "$py" "$@"
    done
    for py in "${interpreters[@]}"; do
        check_types "$py"
    done
    check_free_threaded
    check_exports
    cmd_wheels
    step "test suite under ASan+UBSan"
    tools/sanitize.sh "$@"
    step "fuzzing the readers and writers with record bytes and with hostile objects"
    tools/fuzz.sh "${ZAV_FUZZ_SECONDS:-60}"
    pytest_summaries "${interpreters[@]}"
    step "all checks passed"
}

case "${1:-}" in
    demo) shift; cmd_demo "$@" ;;
    test) shift; cmd_test "$@" ;;
    wheels) shift; cmd_wheels ;;
    bench) shift; cmd_bench "$@" ;;
    build) build "$release_python" && build "$debug_python" ;;
    shell) exec bash ;;
    run) shift; exec "$@" ;;
    *) echo "dev: unknown command '${1:-}' (demo, test, wheels, bench, build, shell, run)" >&2; exit 2 ;;
esac
