#!/usr/bin/env bash
# Builds the libFuzzer target fuzz/fuzz_records.cpp with an ASan+UBSan build of the
# module and runs it for SECONDS (default 60), then prints libFuzzer's final stats.
#
#   ./dev run tools/fuzz.sh [SECONDS [LIBFUZZER OPTIONS...]]
#
# Everything is built in build/fuzz/ and imported from build/fuzz/pkg/; zav/ in the
# checkout is never written. New inputs go to build/fuzz/corpus/ (fuzz/corpus/ holds the
# seeds), crashing inputs to build/fuzz/artifacts/, the full output to build/fuzz/logs/.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

seconds=${1:-60}
shift $(($# > 0 ? 1 : 0))
py=$(command -v "${PYTHON:-python3.14}")
config=$py-config
build=$PWD/build/fuzz
pkg=$build/pkg
target=$build/fuzz_records

# shellcheck source=tools/instrumented.sh
. tools/instrumented.sh
runtime=$(asan_runtime)

mkdir -p "$build"
# One build at a time.
(
    flock 9
    step "ASan+UBSan build of the module with coverage instrumentation into $build"
    build_instrumented "$py" "$build" -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link

    step "fuzz target"
    # The module is linked to the shared ASan runtime, so the target must use that one
    # too (preloaded below, as libFuzzer's libstdc++ comes first among the libraries);
    # it exports its symbols so that the module's coverage counters reach libFuzzer.
    # shellcheck disable=SC2046
    clang++ -std=c++20 -O1 -g -fno-omit-frame-pointer -Wall -Wextra -Werror \
        -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -shared-libasan \
        -Isrc $("$config" --includes) fuzz/fuzz_records.cpp -o "$target.new" \
        $("$config" --ldflags --embed) -Wl,--export-dynamic \
        -Wl,-rpath,"$(dirname "$runtime")"
    mv -f "$target.new" "$target"
) 9>"$build/.lock"

mkdir -p "$build/corpus" "$build/artifacts" "$build/logs"
log=$build/logs/run-$(date +%Y%m%d-%H%M%S)-$$.log
step "fuzzing for $seconds s (output in $log)"
status=0
env PYTHONPATH="$pkg" PYTHONSAFEPATH=1 PYTHONMALLOC=malloc PYTHONDONTWRITEBYTECODE=1 \
    ZAV_FUZZ_MODULE_DIR="$pkg/zav/" LD_PRELOAD="$runtime" \
    ASAN_OPTIONS="halt_on_error=1:detect_leaks=1" ASAN_SYMBOLIZER_PATH="$(command -v addr2line)" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
    "$target" -max_total_time="$seconds" -max_len=4096 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/" "$@" "$build/corpus" fuzz/corpus >"$log" 2>&1 || status=$?

grep -m1 'zav.serializer from' "$log" >&2 || true
grep -E '^INFO: Loaded|^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::|^Done ' "$log" >&2 || true
if [ "$status" -ne 0 ]; then
    echo "fuzz: the target failed (exit $status); the end of $log:" >&2
    tail -n 80 "$log" >&2
fi
exit "$status"
