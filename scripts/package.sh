#!/usr/bin/env bash
# Builds the two Debian packages with CPack, for this machine's architecture or, with --arch arm64,
# for 64-bit Arm through the cross compiler and the arm64 sysroot that scripts/cross-test.sh uses:
#
#   kib-camp-nitp-plugin_VERSION_ARCH.deb   the plugin, in /usr/lib/<multiarch>/kib/plugins
#   kib-camp-nitp-tools_VERSION_ARCH.deb    kib-host and camp-sim, with their manual pages
#
# Installs what is missing (Debian 12). Safe to run again. Arguments after the options go to CMake.
#
#   PACKAGE_DIR=DIR      where the packages go (default build-package/)
#   CROSS_BUILD_DIR=DIR  the cross build folder whose sysroot --arch arm64 uses (default
#                        build-aarch64/, shared with scripts/cross-test.sh)
# The build trees are build-package/ARCH/.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=common.sh
source "$ROOT/scripts/common.sh"

usage() {
    echo "Usage: scripts/package.sh [--arch amd64|arm64] [CMAKE ARGS...]"
}

NATIVE_ARCH=$(dpkg --print-architecture)
ARCH=$NATIVE_ARCH
while [ $# -gt 0 ]; do
    case $1 in
    --arch)
        ARCH=${2:?--arch needs an architecture}
        shift 2
        ;;
    -h | --help)
        usage
        exit 0
        ;;
    *) break ;;
    esac
done

PACKAGE_DIR=$(realpath -m "${PACKAGE_DIR:-$ROOT/build-package}")
BUILD=$ROOT/build-package/$ARCH
CROSS_DIR=${CROSS_BUILD_DIR:-$ROOT/build-aarch64}

# The CMake arguments that pick the compiler for $ARCH, and what that compiler needs.
packages=("${BUILD_PACKAGES[@]}" "${PACKAGING_PACKAGES[@]}")
toolchain_args=()
case $ARCH in
"$NATIVE_ARCH") ;;
arm64)
    packages+=("${CROSS_PACKAGES[@]}")
    toolchain_args=(-DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/aarch64-linux-gnu.cmake"
        -DKIB_AARCH64_SYSROOT="$CROSS_DIR/sysroot")
    ;;
*)
    echo "scripts/package.sh builds for $NATIVE_ARCH or arm64, not $ARCH" >&2
    exit 2
    ;;
esac

# buildflag NAME: Debian's compiler and linker flags for $ARCH, with every hardening feature. No
# -g: the packaged files are stripped anyway, and the build is quicker without it.
buildflag() {
    DEB_HOST_ARCH=$ARCH DEB_BUILD_MAINT_OPTIONS=hardening=+all DEB_CXXFLAGS_MAINT_STRIP=-g \
        dpkg-buildflags --get "$1"
}

# dpkg-shlibdeps gives no dependency for a library it knows nothing about, and says so only in a
# warning: a plugin package without Qt in its dependencies would install and then fail to load.
check_dependencies() {
    local depends
    depends=$(dpkg-deb -f "$1" Depends)
    local library
    for library in libqt5core5a libqt5network5 libstdc++6 libc6; do
        if [[ ", $depends" != *", $library "* ]]; then
            echo "$(basename "$1") does not depend on $library: Depends: $depends" >&2
            return 1
        fi
    done
}

ensure_packages "${packages[@]}"
if [ ${#toolchain_args[@]} -gt 0 ]; then
    ensure_arm64_sysroot "$CROSS_DIR"
fi

cd "$ROOT" # dpkg-buildflags maps this folder out of the debugging paths
echo "== building the $ARCH packages in $BUILD"
configure_and_build "$BUILD" "${toolchain_args[@]}" \
    -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr -DKIB_BUILD_TESTS=OFF \
    -DCMAKE_CXX_FLAGS="$(buildflag CPPFLAGS) $(buildflag CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(buildflag LDFLAGS)" \
    -DCMAKE_SHARED_LINKER_FLAGS="$(buildflag LDFLAGS)" "$@"
rm -rf "$BUILD/cpack"
if ! (cd "$BUILD" && cpack -B "$BUILD/cpack" >"$BUILD/cpack.log" 2>&1); then
    cat "$BUILD/cpack.log" >&2
    exit 1
fi

mkdir -p "$PACKAGE_DIR"
rm -f "$PACKAGE_DIR"/kib-camp-nitp-*_"$ARCH".deb
mv "$BUILD"/cpack/kib-camp-nitp-*_"$ARCH".deb "$PACKAGE_DIR"/
check_dependencies "$PACKAGE_DIR"/kib-camp-nitp-plugin_*_"$ARCH".deb
for deb in "$PACKAGE_DIR"/kib-camp-nitp-*_"$ARCH".deb; do
    echo "$deb"
    dpkg-deb -f "$deb" Package Version Architecture Depends | sed 's/^/    /'
done
