#!/usr/bin/env bash
# The plugin at work in one command: builds the plugin, kib-host and the simulator, starts two
# simulated PLCs on loopback, lets the reference host kib-host initialise, poll, write and poll
# them again, and then identify, read and check them from the shell, without a project. As root it
# also discovers simulated PLCs inside a network namespace of its own and imports them. Installs
# what is missing on Debian 12. Everything it starts is stopped again, also on Ctrl-C or failure.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=common.sh
source "$ROOT/scripts/common.sh"

BUILD=${BUILD_DIR:-$ROOT/build}
KIB_HOST=$BUILD/host/kib-host
CAMP_SIM=$BUILD/sim/camp-sim
WORK=$(mktemp -d -t kib-demo.XXXXXX)
STARTED_PIDS=()
NAMESPACE=""

cleanup() {
    local pid
    for pid in "${STARTED_PIDS[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    if [ -n "$NAMESPACE" ]; then
        ip netns delete "$NAMESPACE" 2>/dev/null || true
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'echo; echo "Stopped: cleaning up."; exit 130' INT TERM

chapter() {
    echo
    echo "== $* =="
}

say() {
    echo "$*" | fold -s -w 96 | sed "s/ *$//"
}

# Shows a command, then runs it.
run() {
    echo "\$ $*" | sed "s|$BUILD/||g; s|$WORK/||g"
    "$@"
}

# wait_for_lines FILE COUNT: until the simulator wrote COUNT "listening" lines (10 s at most).
wait_for_lines() {
    local file=$1 count=$2 tries=0
    while [ "$(grep -c 'listening on' "$file" 2>/dev/null || true)" -lt "$count" ]; do
        tries=$((tries + 1))
        if [ "$tries" -gt 100 ] || ! kill -0 "${STARTED_PIDS[-1]}" 2>/dev/null; then
            echo "The simulator did not start:" >&2
            cat "$file" >&2
            return 1
        fi
        sleep 0.1
    done
}

# start_sim LOG [PREFIX...] -- camp-sim options: starts one camp-sim, waits until it listens.
start_sim() {
    local log=$1
    shift
    "$@" >"$log" 2>&1 &
    STARTED_PIDS+=($!)
    local listeners
    listeners=$(printf '%s\n' "$@" | grep -c -- '^--listen$')
    wait_for_lines "$log" "$listeners"
}

port_of() {
    sed -n 's/.*listening on [^ ]*:\([0-9]*\) serial.*/\1/p' "$1" | head -n 1
}

chapter "1. Build"
say "Installing what is missing and building kib-host, the plugin and the simulator into $BUILD."
ensure_packages "${BUILD_PACKAGES[@]}"
# A fresh build takes minutes on a small machine: one line for every tenth of it, not silence.
build_progress() {
    awk '/^\[[0-9]+\/[0-9]+\]/ {
        steps = substr($1, 2, length($1) - 2); split(steps, step, "/")
        share = int(100 * step[1] / step[2])
        if (share >= shown + 10) { printf "  built %d%% (%s)\n", share, steps; fflush(); shown = share }
    }'
}
# Only what the demo runs: the test suite and the fuzz replays are scripts/test.sh's to build.
if ! configure_and_build_targets "$BUILD" "app_camp_nitp kib-host camp-sim" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo 2>&1 | tee "$WORK/build.log" | build_progress; then
    cat "$WORK/build.log"
    exit 1
fi
say "Built: $BUILD/plugin/libapp_camp_nitp.so, $KIB_HOST and $CAMP_SIM."

chapter "2. Two presses on the bench"
say "Two simulated CTI 2500 PLCs, each behind its own 2572 Ethernet module, on free loopback ports. Press 1 counts parts (a shift counter in one word, a total past 65,535 in two), keeps an oil temperature, a recipe name and a status word whose bit 3 says the motor runs; press 2 has a warning lamp and a line speed."
cat >"$WORK/press1.json" <<'EOF'
{"words": {"V100": 1234, "V117": ["41AC", "0000"], "V200": ["5055", "4D50"], "V40": "0009"},
 "longs": {"V300": 1234567}}
EOF
cat >"$WORK/press2.json" <<'EOF'
{"words": {"C5": 0, "V1": 420}}
EOF
start_sim "$WORK/press1.log" "$CAMP_SIM" --listen 127.0.0.1:0 --serial 812 --firmware 4.10 \
    --preset "$WORK/press1.json"
start_sim "$WORK/press2.log" "$CAMP_SIM" --listen 127.0.0.1:0 --serial 2001 --firmware 5.2 \
    --preset "$WORK/press2.json"
PORT1=$(port_of "$WORK/press1.log")
PORT2=$(port_of "$WORK/press2.log")
sed 's/^/  /' "$WORK/press1.log" "$WORK/press2.log"

chapter "3. The project"
say "kib-host keeps its configuration in a JSON project file, as the KIB host keeps it in its database: devices with their connection columns, and items with their PLC addresses. Press 2 gives no \"timeout\": it takes the default the plugin registers."
PROJECT=$WORK/project.json
cat >"$PROJECT" <<EOF
{
  "settings": {},
  "devices": [
    {"id": 1, "name": "press-1", "address": "127.0.0.1",
     "columns": {"port": "$PORT1", "timeout": "2000"},
     "items": [
       {"uid": "press1_count", "name": "Parts counted",
        "columns": {"address_class": "1", "address_word": "100", "data_type": "1"}},
       {"uid": "press1_oil", "name": "Oil temperature",
        "columns": {"address_class": "1", "address_word": "117", "data_type": "3"}},
       {"uid": "press1_recipe", "name": "Recipe",
        "columns": {"address_class": "1", "address_word": "200-203", "data_type": "4"}},
       {"uid": "press1_total", "name": "Parts in all (32-bit)",
        "columns": {"address_class": "1", "address_word": "300", "data_type": "6"}},
       {"uid": "press1_motor", "name": "Motor running (V40 bit 3)",
        "columns": {"address_class": "1", "address_word": "40.3", "data_type": "0"}}]},
    {"id": 2, "name": "press-2", "address": "127.0.0.1",
     "columns": {"port": "$PORT2"},
     "items": [
       {"uid": "press2_lamp", "name": "Warning lamp",
        "columns": {"address_class": "8", "address_word": "5", "data_type": "0"}},
       {"uid": "press2_speed", "name": "Line speed",
        "columns": {"address_class": "1", "address_word": "1", "data_type": "2"}}]}
  ]
}
EOF
sed 's/^/  /' "$PROJECT"

chapter "4. The host starts the plugin"
say "kib-host loads the plugin file with QPluginLoader and calls init(): the plugin registers its columns and gives every device two identity items, its serial number and firmware version. kib-host saves those into the project."
run "$KIB_HOST" --project "$PROJECT" init

chapter "5. First poll"
say "Both presses are polled at once, each from its own host thread. Neighbouring items are read with one CAMP request; the identity items come from status words 259 to 261."
run "$KIB_HOST" --project "$PROJECT" poll

chapter "6. Writing"
say "A new recipe, a reset counter and a cooler oil temperature for press 1; the warning lamp of press 2 goes on (only bit 0 of its word changes)."
run "$KIB_HOST" --project "$PROJECT" write --device 1 press1_recipe=BOLT press1_count=0 press1_oil=22.75
run "$KIB_HOST" --project "$PROJECT" write --device 2 press2_lamp=1
say "kib-host checks a whole write before it sends any of it: a value that does not fit refuses the command, with every mistake named, and nothing is written:"
run "$KIB_HOST" --project "$PROJECT" write --device 2 press2_lamp=0 press2_speed=70000 ||
    say "(kib-host exits with status 2 when it refused a command and sent nothing.)"

chapter "7. Second poll"
say "The written values come back from the PLCs. With --json every device and round is one line for scripts."
run "$KIB_HOST" --project "$PROJECT" poll
run "$KIB_HOST" --project "$PROJECT" poll --device 2 --json

chapter "8. From the shell"
say "Commissioning starts before any project exists. kib-host identifies and reads a module named on the command line, through the same plugin, with items written as the PLC names its memory (the port is 4450 unless given):"
run "$KIB_HOST" identify "127.0.0.1:$PORT1" "127.0.0.1:$PORT2"
run "$KIB_HOST" read "127.0.0.1:$PORT1" V100-101 V117:float V200-203:string V300:ulong V40.3
say "As a poller: -c rounds (0 until Ctrl-C) every -i milliseconds, each with its time, and V40 in hex; -v shows every frame on the wire:"
run "$KIB_HOST" read -c 2 -i 500 "127.0.0.1:$PORT1" V100 V40:hex
run "$KIB_HOST" read -v "127.0.0.1:$PORT1" V100
say "Before a module goes into the host's configuration, check measures it with reads only and names the device columns to set:"
run "$KIB_HOST" check "127.0.0.1:$PORT1"

chapter "9. Discovery"
if [ "$(id -u)" -ne 0 ]; then
    say "Skipped: discovery probes every address of a subnet, so this demo runs it only inside a network namespace of its own, and creating one needs root. Run sudo scripts/demo.sh to see it."
elif ! ip netns add "kib-demo-$$" 2>"$WORK/netns.err"; then
    say "Skipped: this machine does not allow a network namespace here ($(cat "$WORK/netns.err"))."
else
    NAMESPACE="kib-demo-$$"
    say "A network namespace of the demo's own, $NAMESPACE, holds a small plant network: the subnet 10.77.0.0/24 on an interface kibdemo0, and two more presses on it. One is a current 2572 on the registered CAMP port 4450; the other an older 2572-A on port 1505, as many plants still have. Nothing outside the namespace is scanned."
    ip -n "$NAMESPACE" link set lo up
    ip -n "$NAMESPACE" link add kibdemo0 type ifb
    ip -n "$NAMESPACE" addr add 10.77.0.1/24 dev kibdemo0
    ip -n "$NAMESPACE" addr add 10.77.0.10/32 dev kibdemo0
    ip -n "$NAMESPACE" addr add 10.77.0.11/32 dev kibdemo0
    ip -n "$NAMESPACE" link set kibdemo0 up
    start_sim "$WORK/plant-a.log" ip netns exec "$NAMESPACE" "$CAMP_SIM" \
        --listen 10.77.0.10:4450 --serial 3001 --firmware 6.1
    start_sim "$WORK/plant-b.log" ip netns exec "$NAMESPACE" "$CAMP_SIM" \
        --listen 10.77.0.11:1505 --serial 3002 --firmware 3.7
    sed 's/^/  /' "$WORK/plant-a.log" "$WORK/plant-b.log"

    PLANT=$WORK/plant.json
    cat >"$PLANT" <<'EOF'
{"settings": {"network_interface": "kibdemo0", "tcp_ports": "4450,1505", "timeout_ms": "20000"},
 "devices": []}
EOF
    say "The plant project starts empty; its settings name the interface and the ports 4450 and 1505 to scan."
    run ip netns exec "$NAMESPACE" "$KIB_HOST" --project "$PLANT" discover --import
    say "The imported presses poll like the others; their identity items are created as the host starts the plugin:"
    run ip netns exec "$NAMESPACE" "$KIB_HOST" --project "$PLANT" poll
    say "A second scan offers nothing new: the project knows both presses now."
    run ip netns exec "$NAMESPACE" "$KIB_HOST" --project "$PLANT" discover
fi

chapter "Done"
say "On exit the demo stops everything it started and removes its namespace. To read a simulated module of your own afterwards, start one and read it:"
echo "  $CAMP_SIM --listen 127.0.0.1:4450 --serial 812 --firmware 4.10 &"
echo "  $KIB_HOST read 127.0.0.1 V100-104 STW259"
say "Next: README.md tells how to configure your own devices, what each message means, and how to install the plugin into a KIB host; scripts/test.sh runs the test suite."
