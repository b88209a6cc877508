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

# run_pytest NAME PYTHON [PYTEST ARGS...]: the suite and the README's examples; the
# output is kept in build/logs/pytest-NAME.log for the summary at the end, with the
# time the run took.
run_pytest() {
    local name=$1 py=$2 start
    shift 2
    step "pytest ($name) under $("$py" -c 'import platform, sys; print(sys.executable, sys.version.split()[0], getattr(sys, "abiflags", ""), platform.machine())')${SIMDUTF_FORCE_IMPLEMENTATION:+ with SIMDUTF_FORCE_IMPLEMENTATION=$SIMDUTF_FORCE_IMPLEMENTATION}"
    mkdir -p "$logs"
    start=$SECONDS
    "$py" -m pytest -p no:cacheprovider -q --doctest-glob=README.md "$@" tests README.md \
        | tee "$logs/pytest-$name.log"
    echo "$((SECONDS - start))" >"$logs/pytest-$name.seconds"
}

# The summary line of each run, the kernels it ran and how long it took.
pytest_summaries() {
    step "pytest summaries"
    local name
    for name in "$@"; do
        printf '%-20s %-18s %5ss  %s\n' "$name" \
            "$(grep -m1 '^simdutf kernels: ' "$logs/pytest-$name.log" | awk '{print $3 ($4 == "" ? "" : " (forced)")}')" \
            "$(cat "$logs/pytest-$name.seconds")" "$(tail -n 1 "$logs/pytest-$name.log")" >&2
    done
}

# The kernel levels other than the native one that simdutf and the module have on this
# processor: the native one is what every other run takes.
forced_levels() {
    local native level
    local -a candidates=(fallback)
    [ "$(uname -m)" = x86_64 ] && candidates=(fallback westmere haswell)
    native=$(env -u SIMDUTF_FORCE_IMPLEMENTATION "$release_python" tools/kernels.py | sed 's/^simdutf kernels: //')
    for level in "${candidates[@]}"; do
        [ "$level" = "$native" ] && continue
        # The import refuses kernels that cannot run here (src/transcode.cpp, check_kernels);
        # a simdutf built with one implementation only ignores the variable.
        if SIMDUTF_FORCE_IMPLEMENTATION=$level "$release_python" tools/kernels.py --expect "$level" >/dev/null 2>&1; then
            echo "$level"
        else
            echo "kernels: simdutf cannot run its $level kernels here, or has none; no run with them" >&2
        fi
    done
}

# run_forced_level LEVEL [PYTEST ARGS...]: the suite under the release interpreter with
# simdutf (and so the module's own kernels) forced to LEVEL; fails unless the run shows
# those kernels active.
run_forced_level() {
    local level=$1
    shift
    SIMDUTF_FORCE_IMPLEMENTATION=$level run_pytest "$(basename "$release_python")-$level" "$release_python" "$@"
    grep -qx "simdutf kernels: $level (SIMDUTF_FORCE_IMPLEMENTATION=$level)" \
        "$logs/pytest-$(basename "$release_python")-$level.log" \
        || { echo "kernels: the run meant for $level ran other kernels" >&2; return 1; }
}

# The arm64 interpreters, each a script that runs it under qemu-aarch64
# (tools/aarch64/run), and the versions whose suite runs under emulation in ./dev test.
aarch64_python() { echo "$PWD/tools/aarch64/python$1"; }
aarch64_versions=(3.13 3.14 3.15)
aarch64_test_versions=(${ZAV_AARCH64_TESTS:-3.13 3.14 3.15})
# The cross build: Debian's aarch64 compiler, the arm64 headers and simdutf (multiarch).
aarch64_cmake=(-DCMAKE_TOOLCHAIN_FILE="$PWD/tools/aarch64/toolchain.cmake" -DCMAKE_POLICY_DEFAULT_CMP0190=NEW)

# build_aarch64 VERSION: the module for that arm64 interpreter, into zav/ beside the
# native ones (its extension suffix names aarch64).
build_aarch64() {
    build "$(aarch64_python "$1")" "build/aarch64-python$1" "${aarch64_cmake[@]}"
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
    local so name
    for so in zav/serializer.*.so zav/_stream.*.so zav/_typed.*.so; do
        local exported
        name=$(basename "$so")
        exported=$(nm -D --defined-only "$so" | awk '$2 ~ /^[TDBRVW]$/ {print $3}')
        echo "$so: $exported" >&2
        [ "$exported" = "PyInit_${name%%.*}" ] || { echo "unexpected exports in $so" >&2; return 1; }
    done
}

# build_wheel PYTHON NAME [PIP OPTIONS...]: a wheel for that interpreter into
# build/wheels/raw/NAME/, its name printed, built in folders of its own.
build_wheel() {
    local py=$1 out=$wheels/raw/$2
    shift 2
    rm -rf "$out"
    "$py" -m pip wheel --no-build-isolation --no-deps -q -w "$out" \
        -C build-dir="build/wheel-check/{wheel_tag}" \
        -C cmake.define.ZAV_WERROR="$werror" "$@" . >&2
    ls "$out"/*.whl
}

# An aarch64 wheel, built by the arm64 interpreter under qemu-aarch64 (so that it names
# its own tags) with the cross compiler.
build_aarch64_wheel() {
    build_wheel "$(aarch64_python "$1")" "aarch64-python$1" -C cmake.define.CMAKE_TOOLCHAIN_FILE="$PWD/tools/aarch64/toolchain.cmake" \
        -C cmake.define.CMAKE_POLICY_DEFAULT_CMP0190=NEW
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

# check_wheel WHEEL PYTHON: the repaired wheel's tags are those of that interpreter's
# version and machine under a manylinux policy, and it holds the package, the modules
# built for that interpreter, simdutf and its metadata, and nothing else.
check_wheel() {
    local wheel=$1 py=$2 abi machine unexpected
    read -r abi machine < <("$py" -c 'import platform, sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}", platform.machine())')
    [[ $(basename "$wheel") =~ ^zav_serializer-[0-9.]+-$abi-$abi-manylinux[0-9_]*_$machine(\.manylinux[0-9_]*_$machine)*\.whl$ ]] \
        || { echo "wheels: $(basename "$wheel") lacks the tags $abi-$abi-manylinux_*_$machine" >&2; return 1; }
    local suffix
    suffix=$("$py" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
    unexpected=$("$release_python" -m zipfile -l "$wheel" | awk 'NR > 1 && $1 !~ /\/$/ {print $1}' | grep -Evx \
        "zav/(__init__|inspect|stream|typed|dask)\.py|zav/(serializer|_stream|_typed)\.pyi|zav/py\.typed|zav/(serializer|_stream|_typed)${suffix//./\\.}|zav_serializer\.libs/libsimdutf-[0-9a-f]{8}\.so[0-9.]*|zav_serializer-[0-9.]+\.dist-info/(METADATA|WHEEL|RECORD|licenses/LICENSE)" \
        || true)
    [ -z "$unexpected" ] || { echo "wheels: $(basename "$wheel") holds more than it should:" $unexpected >&2; return 1; }
    local module
    for module in serializer _stream _typed; do
        "$release_python" -m zipfile -l "$wheel" | awk 'NR > 1 {print $1}' | grep -qxF "zav/$module$suffix" \
            || { echo "wheels: $(basename "$wheel") has no zav/$module$suffix" >&2; return 1; }
    done
    echo "$(basename "$wheel"): tags and contents as expected" >&2
}

# needed_libraries PYTHON SHARED_OBJECT: the dynamic loader's list of what it loads, for
# the machine PYTHON runs on.
needed_libraries() {
    case "$1" in
        "$PWD"/tools/aarch64/*) qemu-aarch64 /lib/ld-linux-aarch64.so.1 --list "$2" ;;
        *) ldd "$2" ;;
    esac
}

# carried_libraries PYTHON REPAIRED_WHEEL RAW_WHEEL: "SONAME PATH" for every library
# that the repaired wheel carries, PATH being the system's file that the unrepaired
# module loads.
carried_libraries() {
    local py=$1 repaired=$2 raw=$3 tmp grafted stem
    tmp=$(mktemp -d)
    "$release_python" -m zipfile -e "$raw" "$tmp"
    for grafted in $("$release_python" -m zipfile -l "$repaired" | awk '$1 ~ /\.libs\/./ {print $1}'); do
        stem=$(basename "$grafted" | sed -E 's/-[0-9a-f]{8}\..*//')
        needed_libraries "$py" "$tmp"/zav/serializer.*.so | awk -v stem="$stem" 'index($1, stem ".so") == 1 {print $1, $3}'
    done
    rm -rf "$tmp"
}

# try_wheel PYTHON REPAIRED_WHEEL RAW_WHEEL: installs the wheel into a fresh virtual
# environment of PYTHON and runs tools/try_wheel.py there, in a private mount namespace
# in which an empty file lies over the system's copy of every library the wheel carries.
try_wheel() {
    local py=$1 repaired=$2 raw=$3 script=$PWD/tools/try_wheel.py tmp
    local -a sonames=() hidden=()
    local soname path
    while read -r soname path; do
        sonames+=("$soname")
        hidden+=("$(readlink -f "$path")")
    done < <(carried_libraries "$py" "$repaired" "$raw")
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

# make_sdist: the source distribution into build/wheels/, its name printed, checked by
# tools/check_sdist.py.
make_sdist() {
    local sdist
    rm -rf build/sdist
    sdist=$("$release_python" -c 'import sys; from scikit_build_core.build import build_sdist; print(build_sdist(sys.argv[1]))' build/sdist | tail -n 1)
    mv "build/sdist/$sdist" "$wheels/"
    "$release_python" tools/check_sdist.py "$wheels/$sdist" >&2
    echo "$wheels/$sdist"
}

# try_sdist SDIST: installs it into a fresh virtual environment (which sees the system's
# scikit-build-core and simdutf, as there is no network), which builds the module, and
# round-trips records there, outside the checkout.
try_sdist() {
    local tmp
    tmp=$(mktemp -d)
    "$release_python" -m venv --system-site-packages "$tmp/venv"
    "$tmp/venv/bin/python" -m pip install --no-index --no-build-isolation -q "$1" >&2
    (cd "$tmp" && env -u PYTHONPATH "$tmp/venv/bin/python" -I -c '
import sys
import zav.serializer as s
assert s.__file__.startswith(sys.prefix), s.__file__
record = {"name": "Zoë", "город": "Москва", "emoji": "🙂"}
assert s._deserialize_dict(s._serialize_dict(record)) == record
assert s._deserialize_list(s._serialize_list(["a", "東京", ""])) == ["a", "東京", ""]
print("built from the sdist and round-trips:", s.__file__)')
    rm -rf "$tmp"
}

cmd_wheels() {
    local py version raw repaired sdist
    local -a made=()
    rm -rf "$wheels"
    for py in $(release_interpreters); do
        step "wheel for $py: build, repair, check, install into a fresh venv, import without the system's libraries"
        raw=$(build_wheel "$py" "$(basename "$py")")
        repaired=$(repair_wheel "$raw")
        check_wheel "$repaired" "$py"
        try_wheel "$py" "$repaired" "$raw"
        made+=("$repaired")
    done
    for version in "${aarch64_versions[@]}"; do
        py=$(aarch64_python "$version")
        step "aarch64 wheel for $version: cross-build, repair, check, install into a fresh venv of the arm64 interpreter under qemu-aarch64, import without the system's libraries"
        raw=$(build_aarch64_wheel "$version")
        repaired=$(repair_wheel "$raw")
        check_wheel "$repaired" "$py"
        try_wheel "$py" "$repaired" "$raw"
        made+=("$repaired")
    done
    step "sdist: make, check, build and import in a fresh venv"
    sdist=$(make_sdist)
    try_sdist "$sdist"
    made+=("$sdist")
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
    local -a interpreters runs=()
    read -ra interpreters <<<"$(all_interpreters)"
    step "build for ${interpreters[*]}, and for aarch64 for the arm64 ${aarch64_versions[*]}"
    local py version level
    for py in "${interpreters[@]}"; do
        build "$(command -v "$py")"
    done
    for version in "${aarch64_versions[@]}"; do
        build_aarch64 "$version"
    done
    # The refcount tests run under the debug interpreters. The Dask cluster tests start
    # worker processes and run once, under the release interpreter (tests/test_dask.py).
    for py in "${interpreters[@]}"; do
        if [ "$py" = "$(basename "$release_python")" ]; then
            ZAV_DASK_CLUSTER=1 run_pytest "$py" "$py" "$@"
        else
            run_pytest "$py" "$py" "$@"
        fi
        runs+=("$py")
    done
    # simdutf's kernels of every level this processor runs, and the module's portable
    # kernels where simdutf's are not AVX-512 ones.
    for level in $(forced_levels); do
        run_forced_level "$level" "$@"
        runs+=("$(basename "$release_python")-$level")
    done
    for version in "${aarch64_test_versions[@]}"; do
        ZAV_EMULATED=1 run_pytest "aarch64-python$version" "$(aarch64_python "$version")" "$@"
        runs+=("aarch64-python$version")
    done
    # Both writers' number text against str(): ten million doubles natively, and the
    # other digit kernels (the portable ones, aarch64's) on fewer.
    step "number text of both writers against str()"
    "$release_python" tools/check_floats.py
    SIMDUTF_FORCE_IMPLEMENTATION=haswell "$release_python" tools/check_floats.py --count 200000
    "$(aarch64_python "${aarch64_versions[-1]}")" tools/check_floats.py --count 100000
    # A debug interpreter's module has the release one's names and signatures: the
    # type checks run once per version.
    for py in $(release_interpreters); do
        check_types "$py"
    done
    check_free_threaded
    check_exports
    cmd_wheels
    step "test suite under ASan+UBSan"
    tools/sanitize.sh "$@"
    step "fuzzing the readers and writers with record bytes and with hostile objects"
    tools/fuzz.sh "${ZAV_FUZZ_SECONDS:-60}"
    level=$(forced_levels 2>/dev/null | tail -n 1)
    if [ -n "$level" ]; then
        step "fuzzing once more with simdutf's $level kernels (and the module's portable ones)"
        SIMDUTF_FORCE_IMPLEMENTATION=$level tools/fuzz.sh "${ZAV_FUZZ_LEVEL_SECONDS:-20}"
    fi
    pytest_summaries "${runs[@]}"
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
