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
QEMU_DIR=$BUILD/qemu
QEMU_APT=$BUILD/qemu-apt
QEMU=$QEMU_DIR/usr/bin/qemu-aarch64
PLUGIN_FILE=$BUILD/plugin/libapp_camp_nitp.so

# Debian 12's qemu-user (7.2) refuses clone() with CLONE_PIDFD, which is how Qt starts a child
# process, so every test that runs camp-sim or kib-host would fail under it. The static qemu-user
# of Debian 12's backports (10.x) has it.
QEMU_SUITE="$(. /etc/os-release && echo "$VERSION_CODENAME")-backports"

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
ensure_arm64_sysroot "$BUILD"
ensure_qemu
configure_and_build "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/aarch64-linux-gnu.cmake" \
    -DKIB_AARCH64_SYSROOT="$SYSROOT" -DKIB_QEMU_AARCH64="$QEMU" "$@"
check_plugin_architecture
ctest --test-dir "$BUILD" --output-on-failure --parallel "$(nproc)"
