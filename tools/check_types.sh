#!/usr/bin/env bash
# Type checks under one interpreter, run inside the environment
# (./dev run tools/check_types.sh, or with PYTHON=python3.13 and so on):
#   1. stubtest: zav/serializer.pyi and zav/_stream.pyi against the modules built for
#      that interpreter (names, parameters, defaults), and zav.stream's and zav.dask's own
#      annotations;
#   2. mypy --strict, run by that interpreter, on the typed usage example, the record
#      inspector, the stream module, the Dask module and their tests, and the driver of
#      the hostile-objects fuzz target;
#   3. the usage example run as a script, so the types it states are the real ones.
# Exits non-zero when any check fails. Needs the module built for $PYTHON.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
export PYTHONPATH=$PWD
py=${PYTHON:-python3.14}

# mypy needs its runtime library librt, of which the distribution may ship no build for
# this interpreter (Debian has none for 3.13). mypy ships librt's C sources; the two
# extension modules it imports are then compiled from them for this interpreter into
# build/librt/ (a folder per mypy version, as the two change together), which joins the
# namespace package librt.
provide_librt() {
    local import='import librt.internal, librt.base64'
    "$py" -c "$import" 2>/dev/null && return
    local out
    out=$PWD/build/librt/$("$py" -c 'import importlib.metadata, sysconfig
print(importlib.metadata.version("mypy"), sysconfig.get_config_var("SOABI"), sep="/")')
    export PYTHONPATH=$out:$PYTHONPATH
    "$py" -c "$import" 2>/dev/null && return
    local sources suffix include
    sources=$("$py" -c 'import importlib.util, os; print(os.path.join(importlib.util.find_spec("mypyc").submodule_search_locations[0], "lib-rt"))')
    suffix=$("$py" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
    include=$("$py" -c 'import sysconfig; print(sysconfig.get_path("include"))')
    echo "==> librt for $py from $sources" >&2
    mkdir -p "$out/librt"
    local cc=(gcc -shared -fPIC -O2 -w -I"$sources" -I"$include")
    "${cc[@]}" -o "$out/librt/internal$suffix" "$sources"/internal/librt_internal.c \
        "$sources"/{int_ops,exc_ops,pythonsupport,init}.c
    "${cc[@]}" -I"$sources/base64" -o "$out/librt/base64$suffix" \
        "$sources"/base64/{librt_base64,lib,codec_choose}.c "$sources"/base64/tables/tables.c \
        "$sources"/base64/arch/*/codec.c
    "$py" -c "$import"
}

# mypy's native parser is an extension module built for one interpreter (Debian's for
# 3.14 only); elsewhere mypy parses with its own parser on top of the standard ast.
native_parser=True
"$py" -c 'import ast_serialize' 2>/dev/null || native_parser=False

check_stubs() {
    echo "==> stubtest zav.serializer, zav._stream, zav.stream and zav.dask under $py" >&2
    # The module's functions are objects of its own function type, which introspection
    # reads like Python functions but which stubtest does not count as functions. It
    # reports that once per function ("... is not a function") and then still compares
    # every parameter name, kind and default, so exactly those seven lines are dropped
    # here. An allowlist entry would silence every error for the name, the signature
    # checks included.
    local not_functions='^zav\.serializer\.(encode|decode|safe_decode|_serialize_dict|_deserialize_dict|_serialize_list|_deserialize_list) is not a function$'
    # stubtest reads no cache location from the command line; a config file keeps it
    # from writing one into the checkout.
    local config status=0 report remaining
    config=$(mktemp)
    printf '[mypy]\ncache_dir = /dev/null\nnative_parser = %s\n' "$native_parser" >"$config"
    report=$("$py" -m mypy.stubtest --concise --mypy-config-file "$config" zav.serializer zav._stream zav.stream zav._typed zav.typed zav.dask 2>&1) || status=$?
    rm -f "$config"
    remaining=$(grep -Ev "$not_functions" <<<"$report" || true)
    if [ -n "$remaining" ] || { [ "$status" -ne 0 ] && [ -z "$report" ]; }; then
        echo "$remaining" >&2
        echo "stubtest: failed (exit status $status)" >&2
        return 1
    fi
    echo "stubtest: stubs match the module" >&2
}

check_strict() {
    echo "==> mypy --strict under $py" >&2
    local parser=()
    [ "$native_parser" = True ] || parser=(--no-native-parser)
    "$py" -m mypy --strict --cache-dir=/dev/null "${parser[@]}" tests/typing_example.py zav/inspect.py tests/test_inspect.py \
        zav/stream.py tests/test_stream.py tests/test_stream_asyncio.py fuzz/objects_driver.py zav/typed.py \
        zav/dask.py tests/test_dask.py
}

run_example() {
    echo "==> typing example under $py" >&2
    "$py" tests/typing_example.py
}

provide_librt
check_stubs
check_strict
run_example
