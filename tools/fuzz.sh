#!/usr/bin/env bash
# Builds the libFuzzer targets with an ASan+UBSan build of the module and runs them for
# SECONDS in all (default 60, shared evenly), then prints libFuzzer's final stats.
#
#   ./dev run tools/fuzz.sh [SECONDS [TARGET] [LIBFUZZER OPTIONS...]]
#
# TARGET is records (fuzz/fuzz_records.cpp: record bytes through the readers and
# writers), objects (fuzz/fuzz_objects.cpp with fuzz/objects_driver.py: hostile objects
# through the writers), stream (fuzz/fuzz_stream.cpp with fuzz/stream_driver.py: bytes
# through the stream readers, read in pieces of arbitrary sizes), typed
# (fuzz/fuzz_typed.cpp with fuzz/typed_driver.py: bytes through zav.typed's native
# readers against their Python model) or all, the default.
#
# Everything is built in build/fuzz/ and imported from build/fuzz/pkg/; zav/ in the
# checkout is never written. New inputs go to build/fuzz/corpus-TARGET/ (fuzz/corpus-TARGET/
# holds the seeds), crashing inputs to build/fuzz/artifacts/TARGET-*, the full output
# to build/fuzz/logs/.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

seconds=${1:-60}
shift $(($# > 0 ? 1 : 0))
case "${1:-}" in
    records | objects | stream | typed) targets=("$1"); shift ;;
    all) targets=(records objects stream typed); shift ;;
    *) targets=(records objects stream typed) ;;
esac
share=$((seconds / ${#targets[@]} > 0 ? seconds / ${#targets[@]} : 1))
py=$(command -v "${PYTHON:-python3.14}")
config=$py-config
build=$PWD/build/fuzz
pkg=$build/pkg

# shellcheck source=tools/instrumented.sh
. tools/instrumented.sh
runtime=$(asan_runtime)

mkdir -p "$build"
# One build at a time.
(
    flock 9
    step "ASan+UBSan build of the module with coverage instrumentation into $build"
    build_instrumented "$py" "$build" -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link

    for target in "${targets[@]}"; do
        step "fuzz target $target"
        # The module is linked to the shared ASan runtime, so the target must use that
        # one too (preloaded below, as libFuzzer's libstdc++ comes first among the
        # libraries); it exports its symbols so that the module's coverage counters reach
        # libFuzzer.
        # shellcheck disable=SC2046
        clang++ -std=c++20 -O1 -g -fno-omit-frame-pointer -Wall -Wextra -Werror \
            -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -shared-libasan \
            -Isrc $("$config" --includes) "fuzz/fuzz_$target.cpp" -o "$build/fuzz_$target.new" \
            $("$config" --ldflags --embed) -Wl,--export-dynamic \
            -Wl,-rpath,"$(dirname "$runtime")"
        mv -f "$build/fuzz_$target.new" "$build/fuzz_$target"
    done
) 9>"$build/.lock"

# The simdutf kernels the targets run (SIMDUTF_FORCE_IMPLEMENTATION picks them, and with
# them whether the module takes its AVX-512 kernels): where it is set, they must be those.
env PYTHONPATH="$pkg" PYTHONSAFEPATH=1 PYTHONMALLOC=malloc LD_PRELOAD="$runtime" ASAN_OPTIONS=detect_leaks=0 \
    "$py" tools/kernels.py ${SIMDUTF_FORCE_IMPLEMENTATION:+--expect "$SIMDUTF_FORCE_IMPLEMENTATION"} >&2

# fuzz TARGET MAX_LEN [OPTIONS...]: one run of SHARE seconds.
fuzz() {
    local target=$1 max_len=$2
    shift 2
    local corpus=$build/corpus-$target log
    log=$build/logs/run-$target-$(date +%Y%m%d-%H%M%S)-$$.log
    mkdir -p "$corpus" "$build/artifacts" "$build/logs"
    step "fuzzing $target for $share s (output in $log)"
    local status=0
    # A fixed hash seed (also set by the targets) keeps dict layouts reproducible.
    env PYTHONPATH="$pkg:$PWD/fuzz" PYTHONSAFEPATH=1 PYTHONMALLOC=malloc PYTHONDONTWRITEBYTECODE=1 \
        PYTHONHASHSEED=0 ZAV_FUZZ_MODULE_DIR="$pkg/zav/" LD_PRELOAD="$runtime" \
        ASAN_OPTIONS="halt_on_error=1:detect_leaks=1" ASAN_SYMBOLIZER_PATH="$(command -v addr2line)" \
        UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
        "$build/fuzz_$target" -max_total_time="$share" -max_len="$max_len" -timeout=10 \
        -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" "$@" \
        "$corpus" "fuzz/corpus-$target" >"$log" 2>&1 || status=$?

    grep -m1 'zav.serializer from' "$log" >&2 || true
    grep -E '^INFO: Loaded|^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::|^Done ' "$log" >&2 || true
    if [ "$status" -ne 0 ]; then
        echo "fuzz: $target failed (exit $status); the end of $log:" >&2
        tail -n 80 "$log" >&2
    fi
    return "$status"
}

status=0
for target in "${targets[@]}"; do
    case "$target" in
        records) fuzz records 4096 "$@" || status=$? ;;
        objects) fuzz objects 512 "$@" || status=$? ;;
        stream) fuzz stream 4096 "$@" || status=$? ;;
        typed) fuzz typed 1024 "$@" || status=$? ;;
    esac
done
exit "$status"
