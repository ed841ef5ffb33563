#!/usr/bin/env bash
# Cross-builds every target for 64-bit Arm Linux and runs the whole test suite under qemu-aarch64.
# Installs the cross compiler when it is missing (Debian 12). The arm64 Qt and GoogleTest, and
# qemu-aarch64 itself, are Debian packages unpacked inside the build dir, so the machine's own
# packages stay as they are. Safe to run again: what was unpacked is kept while the package lists
# stay the same. Arguments are passed on to CMake (for example -DKIB_WERROR=ON).
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=common.sh
source "$ROOT/scripts/common.sh"

BUILD=${CROSS_BUILD_DIR:-$ROOT/build-aarch64}
SYSROOT=$BUILD/sysroot
SYSROOT_APT=$BUILD/sysroot-apt
QEMU_DIR=$BUILD/qemu
QEMU_APT=$BUILD/qemu-apt
QEMU=$QEMU_DIR/usr/bin/qemu-aarch64
PLUGIN_FILE=$BUILD/plugin/libapp_camp_nitp.so

# Debian 12's qemu-user (7.2) refuses clone() with CLONE_PIDFD, which is how Qt starts a child
# process, so every test that runs camp-sim or kib-host would fail under it. The static qemu-user
# of Debian 12's backports (10.x) has it.
QEMU_SUITE="$(. /etc/os-release && echo "$VERSION_CODENAME")-backports"

# apt-get on a state of its own under $1: it reads the machine's configuration and keys, but not its
# installed-package list or caches, and it installs nothing.
private_apt() {
    local state=$1
    shift
    apt-get -q \
        -o Dir::State="$state" -o Dir::State::status="$state/status" \
        -o Dir::Cache="$state/cache" -o Dir::Cache::archives="$state/archives" \
        -o Debug::NoLocking=1 -o APT::Sandbox::User="$(id -un)" \
        "$@"
}

new_apt_state() {
    rm -rf "$1"
    mkdir -p "$1/lists/partial" "$1/cache" "$1/archives/partial"
    touch "$1/status"
}

# up_to_date STAMP TEXT: true when STAMP records TEXT, that is when the last unpacking finished with
# the same package lists.
up_to_date() {
    [ -f "$1" ] && [ "$(cat "$1")" = "$2" ]
}

sysroot_packages() {
    echo "dev: ${SYSROOT_DEV_PACKAGES[*]}"
    echo "runtime: ${SYSROOT_RUNTIME_PACKAGES[*]}"
}

# Debian's packages hold some absolute symbolic links (libm.so -> /lib/...). Inside the sysroot they
# must point into the sysroot, not at the build machine's own x86-64 libraries.
relativize_absolute_links() {
    local link target
    while IFS= read -r -d '' link; do
        target=$(readlink "$link")
        ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$SYSROOT$target")" "$link"
    done < <(find "$SYSROOT" -type l -lname '/*' -print0)
}

# Qt's CMake files look for moc and rcc inside the sysroot; they must be the native ones.
link_native_qt_tools() {
    mkdir -p "$SYSROOT/usr/lib/qt5"
    rm -rf "$SYSROOT/usr/lib/qt5/bin"
    ln -s /usr/lib/qt5/bin "$SYSROOT/usr/lib/qt5/bin"
}

ensure_sysroot() {
    local stamp=$SYSROOT/.packages
    up_to_date "$stamp" "$(sysroot_packages)" && return 0

    echo "Unpacking the arm64 sysroot into $SYSROOT"
    rm -rf "$SYSROOT"
    mkdir -p "$SYSROOT"
    new_apt_state "$SYSROOT_APT"
    local apt=(private_apt "$SYSROOT_APT" -o APT::Architecture=arm64 -o APT::Architectures::=arm64)
    "${apt[@]}" update -qq
    "${apt[@]}" install -qq -y --download-only --no-install-recommends \
        "${SYSROOT_RUNTIME_PACKAGES[@]}" >/dev/null
    (cd "$SYSROOT_APT/archives" && "${apt[@]}" download -qq "${SYSROOT_DEV_PACKAGES[@]}")

    local deb
    for deb in "$SYSROOT_APT"/archives/*.deb; do
        dpkg-deb -x "$deb" "$SYSROOT"
    done
    relativize_absolute_links
    link_native_qt_tools
    rm -f "$SYSROOT_APT"/archives/*.deb
    sysroot_packages >"$stamp"
}

# The backports suite, from the same mirror as the machine's own Debian packages.
write_backports_source() {
    local codename mirror
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    # shellcheck disable=SC2016 # $(REPO_URI) is apt's field name, not a shell expansion
    mirror=$(apt-get indextargets --format '$(REPO_URI)' "Release: $codename" \
        "Identifier: Packages" | head -n 1)
    if [ -z "$mirror" ]; then
        echo "No Debian $codename package source configured on this machine" >&2
        return 1
    fi
    echo "deb $mirror $QEMU_SUITE main" >"$1"
}

ensure_qemu() {
    local stamp=$QEMU_DIR/.packages
    up_to_date "$stamp" "qemu-user from $QEMU_SUITE" && return 0

    echo "Unpacking qemu-aarch64 from $QEMU_SUITE into $QEMU_DIR"
    rm -rf "$QEMU_DIR"
    mkdir -p "$QEMU_DIR"
    new_apt_state "$QEMU_APT"
    write_backports_source "$QEMU_APT/sources.list"
    mkdir -p "$QEMU_APT/sources.list.d"
    local apt=(private_apt "$QEMU_APT" -o Dir::Etc::sourcelist="$QEMU_APT/sources.list"
        -o Dir::Etc::sourceparts="$QEMU_APT/sources.list.d")
    "${apt[@]}" update -qq
    (cd "$QEMU_APT/archives" && "${apt[@]}" download -qq qemu-user)
    dpkg-deb --fsys-tarfile "$QEMU_APT"/archives/qemu-user_*.deb |
        tar -x -C "$QEMU_DIR" ./usr/bin/qemu-aarch64
    rm -f "$QEMU_APT"/archives/*.deb
    "$QEMU" --version | head -n 1
    echo "qemu-user from $QEMU_SUITE" >"$stamp"
}

# The plugin file is what users copy to their Arm boxes: make sure it really is one.
check_plugin_architecture() {
    local description
    description=$(file -bL "$PLUGIN_FILE")
    echo "$PLUGIN_FILE: $description"
    case $description in
    *"ARM aarch64"*) ;;
    *)
        echo "The plugin is not an aarch64 binary" >&2
        return 1
        ;;
    esac
}

ensure_packages "${BUILD_PACKAGES[@]}" "${CROSS_PACKAGES[@]}"
ensure_sysroot
ensure_qemu
configure_and_build "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/aarch64-linux-gnu.cmake" \
    -DKIB_AARCH64_SYSROOT="$SYSROOT" -DKIB_QEMU_AARCH64="$QEMU" "$@"
check_plugin_architecture
ctest --test-dir "$BUILD" --output-on-failure --parallel "$(nproc)"
