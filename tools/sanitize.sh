#!/usr/bin/env bash
# Runs the whole pytest suite against a clang build of the module instrumented with
# AddressSanitizer and UndefinedBehaviorSanitizer, under the release interpreter.
#
#   ./dev run tools/sanitize.sh [PYTEST ARGS...]    (all of tests/ when no path is given)
#
# The instrumented module is built in build/asan/ and imported from build/asan/pkg/;
# zav/ in the checkout, which the ordinary test runs import, is never written.
# Exits non-zero when a test fails or a sanitizer reports anything.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

py=$(command -v "${PYTHON:-python3.14}")
build=$PWD/build/asan
pkg=$build/pkg
# Each run has reports of its own, so that runs side by side do not count each other's.
logs=$build/logs/$$

# shellcheck source=tools/instrumented.sh
. tools/instrumented.sh
runtime=$(asan_runtime)

mkdir -p "$build"
(
    flock 9
    step "ASan+UBSan build of the module with clang into $build"
    build_instrumented "$py" "$build"
) 9>"$build/.lock"

# Reports go to files: pytest captures fd 2, and what it captured dies with a
# process that the sanitizer halts. Allocators may return null, so that a request too
# large to be met gives MemoryError as in an ordinary build instead of a report.
sanitized() {
    env PYTHONPATH="$pkg" PYTHONSAFEPATH=1 PYTHONMALLOC=malloc PYTHONDONTWRITEBYTECODE=1 \
        LD_PRELOAD="$runtime" ASAN_SYMBOLIZER_PATH="$(command -v addr2line)" \
        ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:allocator_may_return_null=1:log_path=$logs/report" \
        UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logs/report" \
        "$@"
}

reports() { find "$logs" -maxdepth 1 -name 'report.*' -type f | sort; }

# A request too large to be met leaves only this warning behind (and MemoryError in the
# test that made it): a report with nothing else in it is not a finding.
refused='^==[0-9]*==WARNING: AddressSanitizer failed to allocate 0x[0-9a-f]* bytes$'
findings() {
    local report
    for report in $(reports); do
        grep -qv "$refused" "$report" && echo "$report"
    done
    return 0
}

step "sanitizer harness check"
rm -rf "$logs"
mkdir -p "$logs"
# A planted heap overflow must be caught and reported, or the run below proves nothing.
if sanitized "$py" -c '
import ctypes
buf = ctypes.create_string_buffer(1024)
ctypes.memset(ctypes.addressof(buf), 0, 2048)' 2>/dev/null; then
    echo "sanitize: a planted heap overflow went unnoticed" >&2
    exit 1
fi
grep -qs heap-buffer-overflow $(reports) || { echo "sanitize: no report of the planted overflow" >&2; exit 1; }
loaded=$(sanitized "$py" -c 'import zav.serializer as s; print(s.__file__)')
case "$loaded" in
    "$pkg"/zav/*) echo "instrumented module: $loaded" >&2 ;;
    *) echo "sanitize: imports $loaded instead of the instrumented build" >&2; exit 1 ;;
esac
nm -D "$loaded" | grep ' U __asan_init' >/dev/null || { echo "sanitize: $loaded is not instrumented" >&2; exit 1; }
rm -rf "$logs"
mkdir -p "$logs"

step "pytest under ASan+UBSan ($py)"
status=0
# Without paths among the arguments pytest runs its testpaths, tests/.
sanitized "$py" -m pytest -p no:cacheprovider -q "$@" || status=$?

found=$(findings)
count=$(printf '%s' "$found" | grep -c . || true)
refusals=$(cat /dev/null $(reports) | grep -c "$refused" || true)
echo "allocations refused with MemoryError: $refusals" >&2
for report in $found; do
    echo "--- $report" >&2
    cat "$report" >&2
done
echo "sanitizer findings: $count" >&2
[ "$count" -gt 0 ] || rm -rf "$logs"
[ "$count" -eq 0 ] || exit 1
exit "$status"
