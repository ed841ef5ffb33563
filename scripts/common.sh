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

# What a cross build for 64-bit Arm adds on the build machine (scripts/cross-test.sh; it brings
# its own qemu-aarch64).
CROSS_PACKAGES=(g++-aarch64-linux-gnu file)
# The arm64 packages scripts/cross-test.sh unpacks into its sysroot. Headers and CMake files are
# taken alone (their own dependencies are tools and graphics libraries nobody links); the runtime
# libraries come with everything they load. Keep both in step with the -dev packages above.
SYSROOT_DEV_PACKAGES=(qtbase5-dev qt5-qmake libgtest-dev libgmock-dev)
SYSROOT_RUNTIME_PACKAGES=(libc6 libstdc++6 libqt5core5a libqt5network5)

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
# valgrind (callgrind instruction counts) and python3 (the report table).
BENCH_PACKAGES=(libbenchmark-dev libmodbus-dev valgrind python3)
