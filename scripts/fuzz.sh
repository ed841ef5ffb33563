#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer under AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every target for SECONDS each (default 60), up to
# FUZZ_JOBS targets at once (default: the number of cores). Installs what is missing on Debian 12.
#
#   scripts/fuzz.sh [SECONDS]
#
# FUZZ_BUILD_DIR picks the build folder (default build-fuzz/), FUZZ_TARGETS a subset
# ("driver_reply port_list"). The seeds in fuzz/corpus/<target>/ are only read; what a run adds
# stays in <build>/fuzz-corpus/<target>/ for the next run. A finding (crash, leak, undefined
# behaviour, failed property, hang) is saved as <build>/findings/<target>-*, its log is printed,
# and the script exits 1. At the end one line per target gives runs, executions per second and
# the coverage reached (cov: edges, ft: features).
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=common.sh
source "$ROOT/scripts/common.sh"

SECONDS_EACH=${1:-60}
if ! [[ "$SECONDS_EACH" =~ ^[0-9]+$ ]] || [ "$SECONDS_EACH" -lt 1 ]; then
    echo "usage: scripts/fuzz.sh [SECONDS]  (whole seconds per target, default 60)" >&2
    exit 2
fi
BUILD=${FUZZ_BUILD_DIR:-$ROOT/build-fuzz}
JOBS=${FUZZ_JOBS:-$(nproc)}

ensure_packages "${BUILD_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}"

CXX=clang++ configure_and_build_targets "$BUILD" fuzz_targets \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIB_BUILD_FUZZ=ON -DKIB_BUILD_TESTS=OFF \
    -DKIB_SANITIZE=address,undefined

read -r -a TARGETS <<<"${FUZZ_TARGETS:-$(fuzz_target_names)}"
mkdir -p "$BUILD/findings" "$BUILD/fuzz-logs"

# run_target NAME: one libFuzzer run; its exit status says whether it found something.
run_target() {
    local name=$1
    local work="$BUILD/fuzz-corpus/$name"
    mkdir -p "$work"
    # The stream targets must see more than the driver's 4096-byte receive limit.
    local max_len=4096
    case $name in driver_stream | sim_request) max_len=8192 ;; esac
    # Qt is built without frame pointers: only the slow unwinder follows a leak's stack into it,
    # which the suppressions (fuzz/lsan.supp) need. Only the JSON target leaks there.
    local unwind=1
    [ "$name" = discovery_options ] && unwind=0
    ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=$unwind \
        LSAN_OPTIONS=suppressions=$ROOT/fuzz/lsan.supp:print_suppressions=0 \
        UBSAN_OPTIONS=print_stacktrace=1 \
        "$BUILD/fuzz/fuzz_$name" "$work" "$ROOT/fuzz/corpus/$name" \
        -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 -max_len="$max_len" \
        -print_final_stats=1 -artifact_prefix="$BUILD/findings/$name-" \
        >"$BUILD/fuzz-logs/$name.log" 2>&1
}

echo "Fuzzing ${#TARGETS[@]} targets for ${SECONDS_EACH}s each, $JOBS at a time"
declare -A STATUS=()
declare -A PIDS=()
for name in "${TARGETS[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$JOBS" ]; do
        wait -n || true
    done
    run_target "$name" &
    PIDS[$name]=$!
done
for name in "${TARGETS[@]}"; do
    if wait "${PIDS[$name]}"; then STATUS[$name]=ok; else STATUS[$name]=FINDING; fi
done

failed=0
printf '%-18s %12s %10s %8s %8s %8s  %s\n' target runs exec/s cov ft corpus result
for name in "${TARGETS[@]}"; do
    log="$BUILD/fuzz-logs/$name.log"
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    # The last status line holds the coverage reached ("#N DONE cov: 123 ft: 456 corp: 78/...").
    status_line=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
    cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$status_line")
    ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$status_line")
    corp=$(sed -n 's/.* corp: \([0-9]*\).*/\1/p' <<<"$status_line")
    printf '%-18s %12s %10s %8s %8s %8s  %s\n' "$name" "${runs:--}" "${speed:--}" "${cov:--}" \
        "${ft:--}" "${corp:--}" "${STATUS[$name]}"
    if [ "${STATUS[$name]}" != ok ]; then
        failed=1
    fi
done
for name in "${TARGETS[@]}"; do
    if [ "${STATUS[$name]}" != ok ]; then
        echo "---- $name: $BUILD/fuzz-logs/$name.log"
        tail -60 "$BUILD/fuzz-logs/$name.log"
    fi
done
exit "$failed"
