# Shared by tools/sanitize.sh and tools/fuzz.sh (sourced, not run): an ASan+UBSan build
# of the module with clang, installed with the package's Python files into a folder of
# its own, so that zav/ in the checkout, which the ordinary test runs import, is never
# written.

step() { printf '\n==> %s\n' "$*" >&2; }

asan_runtime() {
    local runtime
    runtime=$(clang -print-file-name=libclang_rt.asan-x86_64.so)
    [ -f "$runtime" ] || { echo "no ASan runtime ($runtime)" >&2; return 1; }
    echo "$runtime"
}

# Copied and renamed into place, so that a process importing the package meanwhile
# (or a fuzzer still running) sees either the old file or the new one.
install_file() {
    cp "$1" "$2.new.$$"
    mv -f "$2.new.$$" "$2"
}

# build_instrumented PYTHON BUILD [CMAKE OPTIONS...]: the package lands in BUILD/pkg/zav.
build_instrumented() {
    local py=$1 build=$2
    shift 2
    # SKBUILD=ON selects the install layout (module in <prefix>/zav/) instead of the
    # development one, which writes into zav/ in the checkout.
    cmake -S . -B "$build/cmake" -G Ninja \
        -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DPython_EXECUTABLE="$py" -DZAV_SANITIZE=ON -DZAV_WERROR=ON -DSKBUILD=ON "$@" >/dev/null
    cmake --build "$build/cmake"
    cmake --install "$build/cmake" --prefix "$build/stage" >/dev/null
    mkdir -p "$build/pkg/zav"
    local file
    for file in zav/* "$build"/stage/zav/*.so; do
        case "$file" in
            zav/*.so) ;;
            *) [ -f "$file" ] && install_file "$file" "$build/pkg/zav/$(basename "$file")" ;;
        esac
    done
}
