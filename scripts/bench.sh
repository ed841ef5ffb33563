#!/usr/bin/env bash
# Builds the benchmarks and runs all of them, then prints one markdown table with each figure
# beside its reference, writes it as JSON (build-bench/bench.json) and draws the poll times and
# instruction counts (build-bench/bench.svg). About 3.5 minutes on a 2-core machine; neither the
# tests nor CI run it. As root it also times discovery scans inside a network namespace of its
# own (deleted on exit); otherwise that part is skipped with a message.
#
#   scripts/bench.sh              BENCH_BUILD_DIR=/tmp/b scripts/bench.sh
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=common.sh
source "$ROOT/scripts/common.sh"
START=$SECONDS

ensure_packages "${BUILD_PACKAGES[@]}" "${BENCH_PACKAGES[@]}"

BUILD=${BENCH_BUILD_DIR:-$ROOT/build-bench}
# Debian's Python, which python3-matplotlib is installed for (a python3 found earlier on the PATH
# may not have it).
PYTHON=/usr/bin/python3
NETNS=kib_bench_$$
cleanup() {
    if [ "$(id -u)" -eq 0 ] && ip netns list 2>/dev/null | grep -qw "$NETNS"; then
        ip netns delete "$NETNS" || true
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "== build ($BUILD)"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKIB_BUILD_BENCH=ON \
    -DKIB_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" --parallel "$(nproc)" \
    --target bench_plugin bench_e2e bench_memory bench_callgrind bench_connections bench_offscan \
    camp-sim

echo "== in-process costs and round trips (Google Benchmark)"
"$BUILD/bench/bench_plugin" --benchmark_min_time=0.2 --benchmark_repetitions=5 \
    --benchmark_report_aggregates_only=true \
    --benchmark_out="$BUILD/bench_plugin.json" --benchmark_out_format=json \
    >"$BUILD/bench_plugin.txt"

echo "== end-to-end, many devices, discovery"
"$BUILD/bench/bench_e2e" --out "$BUILD/bench_e2e.json" --netns "$NETNS"

echo "== memory"
"$BUILD/bench/bench_memory" --out "$BUILD/bench_memory.json"

echo "== large polls over several connections (20 ms scan)"
"$BUILD/bench/bench_connections" --out "$BUILD/bench_connections.json"

echo "== a module that drops every packet, and off-scan polls (about 30 s)"
"$BUILD/bench/bench_offscan" --out "$BUILD/bench_offscan.json"

echo "== callgrind"
# The same records in every poll, as a host polls; records new in every poll (equal in content);
# records changed in every poll (planned and checked afresh).
for records in "" new-records changed-records; do
    for set in dense mixed; do
        name=$set${records:+-$records}
        valgrind --tool=callgrind --callgrind-out-file="$BUILD/callgrind.$name.out" \
            --collect-atstart=no --toggle-collect='measuredPolls*' \
            "$BUILD/bench/bench_callgrind" "$set" $records >"$BUILD/callgrind.$name.log" 2>&1
        # Every function, not only those that make up 99% of the total: the parts of the report
        # add small ones up.
        callgrind_annotate --inclusive=yes --threshold=100 "$BUILD/callgrind.$name.out" \
            >"$BUILD/callgrind.$name.txt"
    done
done

echo
"$PYTHON" "$ROOT/bench/report.py" "$BUILD"
"$PYTHON" "$ROOT/bench/plot.py" "$BUILD" >/dev/null
echo
echo "Written: $BUILD/bench.json and $BUILD/bench.svg ($((SECONDS - START)) s)"
