#!/usr/bin/env bash
# The soak: several simulated modules (camp-sim processes) and one host process with the plugin,
# polling and writing every module from threads of its own, while a seeded schedule of faults
# runs: modules killed and restarted, half-open connections, frozen modules, every connection
# taken by another client, slow replies, long scans, stray and garbled replies, modules swapped,
# restarted nearly full or silent on their extra connections, and, run as root, connects that
# wait a second for a lost SYN and a name server that falls silent. Every value and every write is
# checked against an oracle; it ends with one line that starts with "soak:" and exits 0 only when
# nothing was wrong, lost or silent and descriptors and memory stayed flat.
#
# As root the host process lives in a network namespace of its own (kib_soak_<pid of this
# script>), which it deletes however it ends; should it die before it could, this script deletes
# it. Without root the soak runs on this machine's loopback without those two kinds of fault.
#
#   SOAK_SECONDS=N    run time (default 600)
#   SOAK_MODULES=N    simulated modules (default 4)
#   SOAK_SEED=N       the fault schedule's seed (default: a random one, printed at the start)
#
# It builds what it needs into build/ (or $BUILD_DIR) and keeps the modules' journals, the
# resolv.conf of the namespace and the host's log in build/soak-run/.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=common.sh
source "$ROOT/scripts/common.sh"

SOAK_SECONDS=${SOAK_SECONDS:-600}
SOAK_MODULES=${SOAK_MODULES:-4}

ensure_packages "${BUILD_PACKAGES[@]}"
BUILD=${BUILD_DIR:-$ROOT/build}
# The folder's own configuration is kept: after scripts/test.sh this builds only the soak host.
configure_and_build_targets "$BUILD" "soak_host camp-sim app_camp_nitp"

WORK="$BUILD/soak-run"
rm -rf "$WORK"
mkdir -p "$WORK"
seed_option=()
if [ -n "${SOAK_SEED:-}" ]; then
    seed_option=(--seed "$SOAK_SEED")
fi

NAMESPACE="kib_soak_$$"
# A host process that was killed outright (SIGKILL, a crash) leaves its namespace behind.
remove_namespace() {
    if ip netns list 2>/dev/null | awk '{print $1}' | grep -qx "$NAMESPACE"; then
        echo "soak.sh: removing the namespace $NAMESPACE the host process left behind"
        ip netns delete "$NAMESPACE" || true
    fi
}
trap remove_namespace EXIT

echo "== the soak, ${SOAK_SECONDS}s (the plugin's messages go to $WORK/host.log)"
status=0
"$BUILD/soak/soak_host" --seconds "$SOAK_SECONDS" --modules "$SOAK_MODULES" \
    --work-dir "$WORK" --namespace "$NAMESPACE" "${seed_option[@]}" 2>"$WORK/host.log" ||
    status=$?
if [ "$status" -ne 0 ]; then
    echo "The soak failed (exit status $status); the last lines of $WORK/host.log:"
    tail -n 20 "$WORK/host.log"
fi
exit "$status"
