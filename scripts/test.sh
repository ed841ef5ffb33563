#!/usr/bin/env bash
# Builds the project and runs the whole test suite and a 60-second soak (scripts/soak.sh), then
# runs the suite again under AddressSanitizer with UndefinedBehaviorSanitizer and under
# ThreadSanitizer (each in its own build folder; any report fails the run), and fuzzes every fuzz
# target for a short fixed time. Installs what is missing on Debian 12.
#
# After the native suite it builds the Debian packages and checks them (scripts/check-packages.sh).
# First of all it checks the relative links of README.md and docs/ (scripts/check-links.py). Last
# it checks that the run left nothing behind: no network namespace, process or temporary folder of
# the suite (a test that crashed may leave one), and fails when it did.
#
#   SANITIZERS=0      skips the two sanitizer builds
#   FUZZ_SECONDS=N    seconds of fuzzing per target (default 20; 0 skips it)
#   PACKAGE_CHECK=0   skips the Debian packages
#   SOAK_SECONDS=N    length of the soak after the native suite (default 60; 0 skips it)
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=common.sh
source "$ROOT/scripts/common.sh"

SANITIZERS=${SANITIZERS:-1}
FUZZ_SECONDS=${FUZZ_SECONDS:-20}
PACKAGE_CHECK=${PACKAGE_CHECK:-1}
SOAK_SECONDS=${SOAK_SECONDS:-60}

# python3 runs the link check of the documents (scripts/check-links.py).
packages=("${BUILD_PACKAGES[@]}" python3)
if [ "$PACKAGE_CHECK" != 0 ]; then
    packages+=("${PACKAGING_PACKAGES[@]}" "${PACKAGE_CHECK_PACKAGES[@]}")
fi
if [ "$FUZZ_SECONDS" != 0 ]; then
    packages+=("${FUZZ_PACKAGES[@]}")
fi
ensure_packages "${packages[@]}"

# Every relative link of README.md and docs/ leads somewhere: a moment, before anything is built.
"$ROOT/scripts/check-links.py"

# What the suite makes and must take away again: its namespaces (kib_*), its programs and the
# temporary folders and files of its tests (named after their programs, *_test-XXXXXX).
TMP=${TMPDIR:-/tmp}
suite_leftovers() {
    { ip netns list 2>/dev/null | awk '{print $1}' | grep -E '^kib[_-]' | sed 's/^/namespace /'
      pgrep -a -f '(^|/)(camp-sim|soak_host|kib-host|[a-z_]+_test)( |$)' | sed 's/^/process /'
      find "$TMP" -maxdepth 1 \( -name '*_test-??????' -o -name '*_test.??????' \
          -o -name 'kib-demo.*' \) | sed 's/^/temporary /'
    } 2>/dev/null || true
}
leftovers_before=$(suite_leftovers)

# The native build; its suite includes the replay of every fuzz corpus.
BUILD=${BUILD_DIR:-$ROOT/build}
configure_and_build "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest --test-dir "$BUILD" --output-on-failure --parallel "$(nproc)"

if [ "$PACKAGE_CHECK" != 0 ]; then
    echo "== the Debian packages"
    "$ROOT/scripts/check-packages.sh"
fi

# The soak runs once, on the native build: its timing means nothing under the sanitizers.
if [ "$SOAK_SECONDS" != 0 ]; then
    SOAK_SECONDS=$SOAK_SECONDS BUILD_DIR=$BUILD "$ROOT/scripts/soak.sh"
fi

if [ "$SANITIZERS" != 0 ]; then
    # Any report ends the test that caused it with a failure. Suppressions would live in
    # scripts/sanitizers/; none is needed: QMutex is made visible to ThreadSanitizer by
    # plugin/mutex_locker.h, not hidden from it.
    export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
    # -O1 with line tables: stack traces that name the line, at a fraction of a full -g build.
    sanitizer_flags=(-DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g1")
    run_sanitized() { # run_sanitized DIR SANITIZERS
        echo "== the test suite under -fsanitize=$2 ($1)"
        configure_and_build "$1" "${sanitizer_flags[@]}" -DKIB_SANITIZE="$2"
        ctest --test-dir "$1" --output-on-failure --parallel "$(nproc)"
    }
    run_sanitized "$ROOT/build-asan" address,undefined
    run_sanitized "$ROOT/build-tsan" thread
fi

if [ "$FUZZ_SECONDS" != 0 ]; then
    echo "== fuzzing every target for ${FUZZ_SECONDS}s"
    "$ROOT/scripts/fuzz.sh" "$FUZZ_SECONDS"
fi

leftovers=$(comm -13 <(echo "$leftovers_before" | sort) <(suite_leftovers | sort))
if [ -n "$leftovers" ]; then
    echo "The run left these behind:" >&2
    echo "$leftovers" >&2
    exit 1
fi
echo "== nothing left behind"
