#!/usr/bin/env bash
# Builds the project and runs the whole test suite. Installs what is missing on Debian 12.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=common.sh
source "$ROOT/scripts/common.sh"

ensure_packages "${BUILD_PACKAGES[@]}"

BUILD=${BUILD_DIR:-$ROOT/build}
configure_and_build "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest --test-dir "$BUILD" --output-on-failure --parallel "$(nproc)"
