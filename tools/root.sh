#!/usr/bin/env bash
# Runs a ./dev command inside a Debian testing root that has CPython 3.13 to 3.15 and
# the tools the project needs. The root is made once with debootstrap and kept outside
# the clone, so every clone and CI run on this machine with the same package list shares
# it. Each package list has a root of its own, named by its hash: a clone with another
# list (an older commit, say) makes its own root and never replaces one that commands
# of other clones may be running in. Usage: tools/root.sh CLONE COMMAND [ARGS...]
set -euo pipefail
clone=$1
shift

cache=/var/cache/zav-serializer
suite=testing
packages=(
    python3.13-dev python3.13-dbg python3.13-venv
    python3.14-dev python3.14-dbg python3.14-venv
    python3.15-dev python3.15-dbg python3.15-venv
    g++ cmake ninja-build make libsimdutf-dev pkgconf python3-auditwheel patchelf
    python3-pytest python3-hypothesis python3-scikit-build-core python3-pip python3-venv
    clang libclang-rt-dev valgrind
    python3-msgpack python3-orjson python3-msgspec python3-matplotlib mypy
    python3-dask python3-distributed python3-fsspec
    binutils ca-certificates libdragonbox-dev locales
    g++-aarch64-linux-gnu qemu-user
    libfast-float-dev
)
# For the aarch64 build, its wheels and its tests under qemu-aarch64: the interpreters'
# libraries and headers and simdutf, installed beside the native ones.
arm64_packages=(
    libpython3.13-dev:arm64 libpython3.14-dev:arm64 libpython3.15-dev:arm64
    libsimdutf-dev:arm64
)
# The arm64 interpreters themselves cannot be installed beside the native ones; they
# are unpacked into their own folder (tools/aarch64/run runs them under qemu-aarch64).
arm64_interpreters=(python3.13-minimal:arm64 python3.14-minimal:arm64 python3.15-minimal:arm64)
arm64_prefix=/opt/zav-arm64

die() { echo "dev: $*" >&2; exit 1; }

stamp() {
    printf '%s\n' "$suite" "${packages[@]}" "${arm64_packages[@]}" "${arm64_interpreters[@]}" \
        "$arm64_prefix" | sha256sum | cut -c1-32
}

root=$cache/root-$(stamp)

root_is_current() {
    [ -f "$root/.zav-stamp" ] && [ "$(cat "$root/.zav-stamp")" = "$(stamp)" ]
}

need_debootstrap() {
    command -v debootstrap >/dev/null 2>&1 && return
    command -v apt-get >/dev/null 2>&1 || die "debootstrap is missing and there is no apt-get to install it"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
}

# The package installation needs /proc and /dev inside the new root; a private mount
# namespace takes those mounts away again however the installation ends.
install_packages() {
    local new=$1
    cp /etc/resolv.conf "$new/etc/resolv.conf"
    # The archive may serve a snapshot whose Release file is past its Valid-Until date.
    printf '%s\n' 'Acquire::Check-Valid-Until "false";' 'APT::Sandbox::User "root";' \
        >"$new/etc/apt/apt.conf.d/99zav"
    unshare -m --propagation private -- bash -euc '
        new=$1; shift
        mount -t proc proc "$new/proc"
        mount --rbind /dev "$new/dev"
        chroot "$new" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
            DEBIAN_FRONTEND=noninteractive bash -euc "
                dpkg --add-architecture arm64
                apt-get update -qq
                apt-get install -y -qq --no-install-recommends $1
                apt-get install -y -qq --no-install-recommends $2
                mkdir -p $4 /tmp/arm64-debs
                cd /tmp/arm64-debs
                apt-get download $3
                for deb in *.deb; do dpkg-deb -x \$deb $4; done
                cd /
                rm -rf /tmp/arm64-debs
                apt-get clean
                rm -rf /var/lib/apt/lists/*"
    ' install "$new" "${packages[*]}" "${arm64_packages[*]}" "${arm64_interpreters[*]}" "$arm64_prefix"
}

# Built in a temporary folder and moved into place only when complete, so that an
# interrupted run leaves no half-made root behind.
provision() {
    [ "$(id -u)" = 0 ] || die "making the environment root needs root (or install python3.14 with its headers, pytest and hypothesis)"
    need_debootstrap
    rm -rf "$cache"/root.new.*  # left by an interrupted run
    new=$(mktemp -d "$cache/root.new.XXXXXX")
    trap 'rm -rf "$new" "$new.log"' EXIT
    echo "dev: making the environment root in $root (once)" >&2
    debootstrap --variant=minbase "$suite" "$new" >"$new.log" 2>&1 \
        || { tail -20 "$new.log" >&2; rm -f "$new.log"; die "debootstrap failed"; }
    rm -f "$new.log"
    install_packages "$new" >"$new.log" 2>&1 \
        || { tail -20 "$new.log" >&2; rm -f "$new.log"; die "installing the packages failed"; }
    rm -f "$new.log"
    stamp >"$new/.zav-stamp"
    mv "$new" "$root"
    trap - EXIT
}

# The clone is bound at its own path inside the root, so build folders and messages
# name the same paths inside and out. All mounts live in a private mount namespace and
# vanish with it, whether the command succeeds, fails or is interrupted.
run_in_root() {
    exec unshare -m --propagation private -- bash -euc '
        root=$1 clone=$2; shift 2
        mount -t proc proc "$root/proc"
        mount --rbind /dev "$root/dev"
        mount -t tmpfs tmpfs "$root/tmp"
        # After /tmp, so that a clone below /tmp is not hidden by it.
        mkdir -p "$root$clone"
        mount --bind "$clone" "$root$clone"
        cd "$root$clone"
        exec chroot "$root" /usr/bin/env -i \
            PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/root LANG=C.UTF-8 \
            TERM="${TERM:-dumb}" CI="${CI:-}" ZAV_IN_ROOT=1 \
            bash -c "cd \"\$0\" && exec ./dev \"\$@\"" "$clone" "$@"
    ' enter "$root" "$clone" "$@"
}

mkdir -p "$cache"
exec 9>"$cache/lock"
flock 9
root_is_current || provision
flock -u 9
run_in_root "$@"
