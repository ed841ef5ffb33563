# Shared helpers for the project's scripts. Source it; do not run it.

# Root runs apt-get directly; anyone else goes through sudo.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# ensure_packages PKG...: installs the Debian packages that are missing, nothing when all are there.
ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
}

# The packages every native build needs.
BUILD_PACKAGES=(cmake ninja-build g++ pkg-config qtbase5-dev libgtest-dev libgmock-dev iproute2)

# What building the Debian packages adds (scripts/package.sh): dpkg-buildflags, dpkg-shlibdeps and
# dpkg-architecture, and file, which CPack sorts the packaged files with.
PACKAGING_PACKAGES=(dpkg-dev file)
# What checking them adds (scripts/check-packages.sh); fakeroot lets a user who is not root install
# them into a folder.
PACKAGE_CHECK_PACKAGES=(lintian fakeroot)

# What a cross build for 64-bit Arm adds on the build machine (scripts/cross-test.sh; it brings
# its own qemu-aarch64).
CROSS_PACKAGES=(g++-aarch64-linux-gnu file)
# The arm64 packages scripts/cross-test.sh unpacks into its sysroot. Headers and CMake files are
# taken alone (their own dependencies are tools and graphics libraries nobody links); the runtime
# libraries come with everything they load. Keep both in step with the -dev packages above.
SYSROOT_DEV_PACKAGES=(qtbase5-dev qt5-qmake libgtest-dev libgmock-dev)
SYSROOT_RUNTIME_PACKAGES=(libc6 libstdc++6 libqt5core5a libqt5network5)

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
    echo "dependency information: DEBIAN/symbols DEBIAN/shlibs"
}

# Debian's packages hold some absolute symbolic links (libm.so -> /lib/...). Inside the sysroot $1
# they must point into the sysroot, not at the build machine's own x86-64 libraries.
relativize_absolute_links() {
    local sysroot=$1 link target
    while IFS= read -r -d '' link; do
        target=$(readlink "$link")
        ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$sysroot$target")" "$link"
    done < <(find "$sysroot" -type l -lname '/*' -print0)
}

# Qt's CMake files look for moc and rcc inside the sysroot $1; they must be the native ones.
link_native_qt_tools() {
    mkdir -p "$1/usr/lib/qt5"
    rm -rf "$1/usr/lib/qt5/bin"
    ln -s /usr/lib/qt5/bin "$1/usr/lib/qt5/bin"
}

# control_files DIR NAME: the control files called NAME of the packages whose control areas are in
# DIR, one after the other.
control_files() {
    find "$1" -type f -name "$2" -print0 | sort -z | xargs -0 -r cat
}

# ensure_arm64_sysroot DIR: the arm64 Qt and GoogleTest packages unpacked into DIR/sysroot (with
# apt's state in DIR/sysroot-apt), unless they already are. The sysroot's DEBIAN/ folder gets the
# symbols and shlibs files of its packages, from which dpkg-shlibdeps derives the dependencies of
# what is built against them (scripts/package.sh --arch arm64).
ensure_arm64_sysroot() {
    local sysroot=$1/sysroot
    local apt_state=$1/sysroot-apt
    local stamp=$sysroot/.packages
    up_to_date "$stamp" "$(sysroot_packages)" && return 0

    echo "Unpacking the arm64 sysroot into $sysroot"
    rm -rf "$sysroot"
    mkdir -p "$sysroot/DEBIAN"
    new_apt_state "$apt_state"
    local apt=(private_apt "$apt_state" -o APT::Architecture=arm64 -o APT::Architectures::=arm64)
    "${apt[@]}" update -qq
    "${apt[@]}" install -qq -y --download-only --no-install-recommends \
        "${SYSROOT_RUNTIME_PACKAGES[@]}" >/dev/null
    (cd "$apt_state/archives" && "${apt[@]}" download -qq "${SYSROOT_DEV_PACKAGES[@]}")

    local deb control=$apt_state/control
    mkdir -p "$control"
    for deb in "$apt_state"/archives/*.deb; do
        dpkg-deb -x "$deb" "$sysroot"
        dpkg-deb -e "$deb" "$control/$(basename "$deb" .deb)"
    done
    control_files "$control" symbols >"$sysroot/DEBIAN/symbols"
    control_files "$control" shlibs >"$sysroot/DEBIAN/shlibs"
    relativize_absolute_links "$sysroot"
    link_native_qt_tools "$sysroot"
    rm -rf "$apt_state"/archives/*.deb "$control"
    sysroot_packages >"$stamp"
}

# configure_and_build DIR [CMAKE ARGS...]
configure_and_build() {
    local dir=$1
    shift
    cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir" --parallel "$(nproc)"
}

# What the fuzz targets add: clang and the runtime of its libFuzzer and sanitizers
# (scripts/fuzz.sh). GCC's sanitizer runtimes come with g++.
FUZZ_PACKAGES=(clang libclang-rt-14-dev)

# The fuzz targets, as named in fuzz/CMakeLists.txt.
fuzz_target_names() {
    sed -n 's/^ *"\([a-z_]*\):.*/\1/p' "$ROOT/fuzz/CMakeLists.txt" | tr '\n' ' '
}

# configure_and_build_targets DIR "TARGET..." [CMAKE ARGS...]: configures like
# configure_and_build, then builds only the named targets.
configure_and_build_targets() {
    local dir=$1
    local targets=$2
    shift 2
    cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >/dev/null
    # shellcheck disable=SC2086 # one word per target
    cmake --build "$dir" --parallel "$(nproc)" --target $targets
}

# What scripts/bench.sh adds: Google Benchmark, libmodbus (the peer it is compared with),
# valgrind (callgrind instruction counts), python3 (the report table) and matplotlib (the picture).
BENCH_PACKAGES=(libbenchmark-dev libmodbus-dev valgrind python3 python3-matplotlib)
