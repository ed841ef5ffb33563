#!/usr/bin/env bash
# Builds the Debian packages for this machine (scripts/package.sh) and checks them the way a plant
# engineer uses them: what each package holds and needs, that apt would install them, lintian, and,
# installed with dpkg into a throwaway root folder, that kib-host runs from there, loads the plugin
# of the plugin package and polls a camp-sim of the tools package, and that removing the packages
# leaves nothing behind. Nothing is installed on the machine itself but the tools this needs
# (Debian 12). Ends with "N passed, N failed".
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=common.sh
source "$ROOT/scripts/common.sh"

ensure_packages "${BUILD_PACKAGES[@]}" "${PACKAGING_PACKAGES[@]}" "${PACKAGE_CHECK_PACKAGES[@]}"
PACKAGE_DIR=$(realpath -m "${PACKAGE_DIR:-$ROOT/build-package}")
export PACKAGE_DIR
"$ROOT/scripts/package.sh"

ARCH=$(dpkg --print-architecture)
MULTIARCH=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
PLUGIN=kib-camp-nitp-plugin
TOOLS=kib-camp-nitp-tools
PLUGIN_DIR=usr/lib/$MULTIARCH/kib/plugins
TOOLS_LIBRARY_DIR=usr/lib/$MULTIARCH/$TOOLS

WORK=$(mktemp -d)
INSTALL_ROOT=$WORK/root
SIM_PID=
cleanup() {
    stop_simulator
    rm -rf "$WORK"
}
trap cleanup EXIT

# the_package NAME: the one package file of NAME for this architecture.
the_package() {
    local files=("$PACKAGE_DIR/$1"_*_"$ARCH".deb)
    if [ ${#files[@]} -ne 1 ] || [ ! -f "${files[0]}" ]; then
        echo "expected one $1 package in $PACKAGE_DIR, found: ${files[*]}" >&2
        return 1
    fi
    echo "${files[0]}"
}
PLUGIN_DEB=$(the_package $PLUGIN)
TOOLS_DEB=$(the_package $TOOLS)
VERSION=$(dpkg-deb -f "$PLUGIN_DEB" Version)

# listing DEB: "mode owner path" of every file and link of DEB, sorted.
listing() {
    dpkg-deb -c "$1" | awk '$1 !~ /^d/ { print $1, $2, $6 }' | sort
}

# same_text WHAT EXPECTED ACTUAL: true when equal, else shows the difference.
same_text() {
    if [ "$2" != "$3" ]; then
        echo "$1 differs from what is expected (- expected, + found):"
        diff <(echo "$2") <(echo "$3") | sed -n 's/^</-/p; s/^>/+/p'
        return 1
    fi
}

# doc_pages PACKAGE: the lines of the README's docs/ folder, as both packages install it.
doc_pages() {
    local page
    for page in "$ROOT"/docs/*.md "$ROOT"/docs/bench.svg; do
        echo "-rw-r--r-- root/root ./usr/share/doc/$1/docs/$(basename "$page")"
    done
}

# Exactly the plugin file and its documents: in particular no libkib and no kib/ headers, which
# belong to the host (a second libkib would shadow the host's own).
plugin_package_holds_the_plugin_alone() {
    local expected
    expected=$(sort <<EOF
-rw-r--r-- root/root ./$PLUGIN_DIR/libapp_camp_nitp.so
-rw-r--r-- root/root ./usr/share/doc/$PLUGIN/README.md
-rw-r--r-- root/root ./usr/share/doc/$PLUGIN/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/$PLUGIN/copyright
$(doc_pages $PLUGIN)
EOF
    )
    same_text "$PLUGIN's files" "$expected" "$(listing "$PLUGIN_DEB")"
}

tools_package_holds_the_programs_and_their_pages() {
    local expected
    expected=$(sort <<EOF
-rwxr-xr-x root/root ./usr/bin/camp-sim
-rwxr-xr-x root/root ./usr/bin/kib-host
-rw-r--r-- root/root ./$TOOLS_LIBRARY_DIR/libkib.so
-rw-r--r-- root/root ./usr/share/doc/$TOOLS/README.md
-rw-r--r-- root/root ./usr/share/doc/$TOOLS/camp-sim.md
-rw-r--r-- root/root ./usr/share/doc/$TOOLS/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/$TOOLS/copyright
-rw-r--r-- root/root ./usr/share/man/man1/camp-sim.1.gz
-rw-r--r-- root/root ./usr/share/man/man1/kib-host.1.gz
$(doc_pages $TOOLS)
EOF
    )
    same_text "$TOOLS's files" "$expected" "$(listing "$TOOLS_DEB")"
}

# depends DEB: the package names of DEB's Depends, one a line.
depends() {
    dpkg-deb -f "$1" Depends | tr ',' '\n' | awk '{ print $1 }' | sort
}

packages_depend_on_qt_and_the_tools_on_this_plugin() {
    local plugin_depends tools_depends status=0
    plugin_depends=$(depends "$PLUGIN_DEB")
    tools_depends=$(dpkg-deb -f "$TOOLS_DEB" Depends)
    for library in libqt5core5a libqt5network5; do
        grep -qx "$library" <<<"$plugin_depends" || {
            echo "$PLUGIN does not depend on $library"
            status=1
        }
    done
    if grep -q kib <<<"$plugin_depends"; then
        echo "$PLUGIN depends on a kib package: the host brings libkib"
        status=1
    fi
    if [[ "$tools_depends" != *"$PLUGIN (= $VERSION)"* ]]; then
        echo "$TOOLS does not depend on $PLUGIN (= $VERSION): $tools_depends"
        status=1
    fi
    return $status
}

# Build folders in a RUNPATH would make the installed programs load the build's libraries.
binaries_search_libraries_only_beside_themselves() {
    local unpacked=$WORK/unpacked file path status=0
    mkdir -p "$unpacked"
    dpkg-deb -x "$PLUGIN_DEB" "$unpacked"
    dpkg-deb -x "$TOOLS_DEB" "$unpacked"
    while IFS= read -r file; do
        while IFS= read -r path; do
            # shellcheck disable=SC2016 # $ORIGIN is the dynamic loader's, not the shell's
            if [[ "$path" != '$ORIGIN/'* ]]; then
                echo "${file#"$unpacked"/} searches $path for libraries"
                status=1
            fi
        done < <(readelf -d "$file" | sed -n 's/.*(R\(UN\)\?PATH).*\[\(.*\)\]/\2/p' | tr ':' '\n')
    done < <(find "$unpacked" -type f \( -name '*.so' -o -path '*/bin/*' \))
    return $status
}

apt_would_install_both() {
    local plan
    # A simulation: apt-get reads the machine's package lists and installs nothing.
    plan=$(apt-get install -s "$PLUGIN_DEB" "$TOOLS_DEB") || {
        echo "$plan"
        return 1
    }
    if ! grep -q "^Inst $PLUGIN " <<<"$plan" || ! grep -q "^Inst $TOOLS " <<<"$plan" ||
        grep -q '^Remv ' <<<"$plan"; then
        echo "$plan"
        return 1
    fi
}

lintian_accepts_both() {
    # The tags kept are told in docs/packages.md; lintian's info notes do not fail.
    local status=0
    lintian --fail-on error,warning "$PLUGIN_DEB" "$TOOLS_DEB" >"$WORK/lintian.out" 2>&1 ||
        status=$?
    grep -v '^running with root privileges' "$WORK/lintian.out" || true
    return $status
}

# dpkg on the throwaway root's own database. Its packages have no maintainer scripts; the
# dependencies on the system's Qt and C++ libraries are met by the machine itself (and checked by
# apt_would_install_both). dpkg looks for ldconfig in PATH, which for a user may lack sbin.
dpkg_in_root() {
    if [ "$(id -u)" -eq 0 ]; then
        dpkg --root="$INSTALL_ROOT" --force-depends "$@"
    else
        PATH=$PATH:/usr/sbin:/sbin fakeroot \
            dpkg --root="$INSTALL_ROOT" --force-not-root --force-depends "$@"
    fi
}

installs_into_a_throwaway_root() {
    mkdir -p "$INSTALL_ROOT/var/lib/dpkg/info" "$INSTALL_ROOT/var/lib/dpkg/updates"
    touch "$INSTALL_ROOT/var/lib/dpkg/status"
    dpkg_in_root --install "$PLUGIN_DEB" "$TOOLS_DEB" >"$WORK/dpkg-install.log" 2>&1 || {
        cat "$WORK/dpkg-install.log"
        return 1
    }
}

# Runs a program with nothing of the build's environment that could help it find libraries.
WITHOUT_BUILD_PATHS=(env -u LD_LIBRARY_PATH -u QT_PLUGIN_PATH)

# in_root PROGRAM ARGS...: runs a program of the throwaway root, WITHOUT_BUILD_PATHS.
in_root() {
    local program=$1
    shift
    "${WITHOUT_BUILD_PATHS[@]}" "$INSTALL_ROOT/usr/bin/$program" "$@"
}

programs_tell_the_package_version() {
    same_text "kib-host --version" "kib-host $VERSION" "$(in_root kib-host --version)" &&
        same_text "camp-sim --version" "camp-sim $VERSION" "$(in_root camp-sim --version)"
}

# found_in_root LIBRARY FOLDER: true when the installed kib-host loads LIBRARY from the root's
# FOLDER.
found_in_root() {
    local found
    found=$("${WITHOUT_BUILD_PATHS[@]}" ldd "$INSTALL_ROOT/usr/bin/kib-host" |
        sed -n "s/^\s*$1 => \(\S*\).*/\1/p")
    if [ -z "$found" ] || [ "$(realpath -m "$found")" != "$INSTALL_ROOT/$2/$1" ]; then
        echo "kib-host finds $1 at \"$found\", not in the root's $2"
        return 1
    fi
}

kib_host_links_the_installed_libraries() {
    local status=0
    found_in_root libkib.so "$TOOLS_LIBRARY_DIR" || status=1
    found_in_root libapp_camp_nitp.so "$PLUGIN_DIR" || status=1
    # The plugin it loads by default is the one it is linked with: the installed file.
    local loaded
    loaded=$(in_root kib-host --help | sed -n 's/.*is linked with, \(.*\))\.$/\1/p')
    if [ "$(realpath -m "$loaded")" != "$INSTALL_ROOT/$PLUGIN_DIR/libapp_camp_nitp.so" ]; then
        echo "kib-host loads the plugin \"$loaded\" by default, not the installed one"
        status=1
    fi
    return $status
}

# start_simulator: camp-sim of the root on a free loopback port; sets SIM_PORT.
start_simulator() {
    cat >"$WORK/words.json" <<'EOF'
{"words": {"V100": 1234}}
EOF
    mkfifo "$WORK/sim.out"
    # Started as a plain command, not through in_root: a function put in the background runs in a
    # subshell of its own, and $! would then name the subshell, which the kill below would end
    # while camp-sim ran on.
    "${WITHOUT_BUILD_PATHS[@]}" "$INSTALL_ROOT/usr/bin/camp-sim" \
        --listen 127.0.0.1:0 --serial 812 --firmware 4.10 \
        --preset "$WORK/words.json" >"$WORK/sim.out" 2>"$WORK/sim.err" &
    SIM_PID=$!
    # Blocks until camp-sim has printed its first line, or has ended.
    exec 3<"$WORK/sim.out"
    local line
    read -r line <&3 || true
    SIM_PORT=$(sed -n 's/^camp-sim listening on 127\.0\.0\.1:\([0-9]*\) .*/\1/p' <<<"$line")
    if [ -z "$SIM_PORT" ]; then
        echo "camp-sim did not start: \"$line\""
        cat "$WORK/sim.err"
        return 1
    fi
}

stop_simulator() {
    if [ -n "$SIM_PID" ]; then
        kill "$SIM_PID" 2>/dev/null || true
        wait "$SIM_PID" 2>/dev/null || true
        SIM_PID=
        exec 3<&-
    fi
}

kib_host_polls_camp_sim_through_the_installed_plugin() {
    start_simulator || return 1
    cat >"$WORK/plant.json" <<EOF
{"devices": [{"id": 7, "name": "press-1", "address": "127.0.0.1",
  "columns": {"port": "$SIM_PORT"},
  "items": [{"uid": "v100", "name": "Counter",
             "columns": {"address_class": "1", "address_word": "100", "data_type": "1"}}]}]}
EOF
    local output status=0
    output=$(in_root kib-host --project "$WORK/plant.json" poll --json 2>&1) || status=$?
    stop_simulator
    if [ $status -ne 0 ]; then
        echo "$output"
        return 1
    fi
    local expected
    for expected in '"ok":true' '"uid":"v100","name":"Counter","value":"1234"' \
        '"uid":"identity_7_serial","name":"Serial","value":"812"'; do
        if ! grep -qF "$expected" <<<"$output"; then
            echo "the poll did not give $expected:"
            echo "$output"
            return 1
        fi
    done
}

# option_names TEXT: the long options named in a help text, one a line.
option_names() {
    grep -o -- '--[a-z][a-z-]*' <<<"$1" | sort -u
}

# Every option the programs' help names is in their manual pages.
manual_pages_name_every_option() {
    local status=0 program help page option
    for program in kib-host camp-sim; do
        help=$(in_root "$program" --help) || return 1
        if [ "$program" = kib-host ]; then
            for command in init poll write discover read identify check; do
                help+=$'\n'$(in_root kib-host "$command" --help) || return 1
            done
        fi
        page=$(gzip -dc "$INSTALL_ROOT/usr/share/man/man1/$program.1.gz")
        for option in $(option_names "$help"); do
            if ! grep -qF -- "${option//-/\\-}" <<<"$page"; then
                echo "$program.1 does not tell about $option"
                status=1
            fi
        done
    done
    return $status
}

removal_leaves_nothing_behind() {
    dpkg_in_root --purge $TOOLS $PLUGIN >"$WORK/dpkg-purge.log" 2>&1 || {
        cat "$WORK/dpkg-purge.log"
        return 1
    }
    local left
    left=$(cd "$INSTALL_ROOT" && find . -mindepth 1 \
        \( -path ./var -o -path ./var/lib -o -path ./var/lib/dpkg -o -path './var/lib/dpkg/*' \) \
        -prune -o -print)
    if [ -n "$left" ]; then
        echo "left after removal:"
        echo "$left"
        return 1
    fi
}

passed=0
failed=0
# check NAME: runs the check NAME (in this shell: it may leave state for the next), counts it and
# shows what it said, indented.
check() {
    if "$1" >"$WORK/check.out" 2>&1; then
        passed=$((passed + 1))
        echo "ok      $1"
    else
        failed=$((failed + 1))
        echo "FAILED  $1"
    fi
    sed 's/^/        /' "$WORK/check.out"
}

echo "== checking $(basename "$PLUGIN_DEB") and $(basename "$TOOLS_DEB")"
check plugin_package_holds_the_plugin_alone
check tools_package_holds_the_programs_and_their_pages
check packages_depend_on_qt_and_the_tools_on_this_plugin
check binaries_search_libraries_only_beside_themselves
check apt_would_install_both
check lintian_accepts_both
check installs_into_a_throwaway_root
check programs_tell_the_package_version
check kib_host_links_the_installed_libraries
check kib_host_polls_camp_sim_through_the_installed_plugin
check manual_pages_name_every_option
check removal_leaves_nothing_behind
echo "packages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
