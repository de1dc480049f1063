#!/bin/bash
# Usage: prepare-prefix.sh PREFIX_DIR PORT_DIR
#
# Makes a Wine prefix whose COM1..COM6 are PORT_DIR/com1..com6 and in which
# no COM name leads to a real serial device. A bare prefix gives this
# machine's own serial lines COM names, and opening one disturbs the line.
#
# The pins are in the registry before Wine first starts, so no COM link is
# ever made to a device. Wine gives the serial devices it finds the COM
# numbers after the pinned ones; those names are taken by empty directories,
# which Wine cannot replace with links.
#
# Safe to run again: a prefix already made for the same PORT_DIR is only
# checked. Concurrent calls for one prefix wait for each other.

set -u

if [ $# -ne 2 ]; then
    echo "usage: $0 PREFIX_DIR PORT_DIR" >&2
    exit 2
fi

prefix=$(realpath -m -- "$1")
port_dir=$(realpath -m -- "$2")
export WINEPREFIX=$prefix

# shellcheck source-path=SCRIPTDIR source=wine-env.sh
. "$(dirname -- "$0")/wine-env.sh"

fail()
{
    echo "prepare-prefix: $*" >&2
    exit 1
}

wine_present || fail "Wine is not installed"

stamp=$prefix/.com-ports
mkdir -p -- "$port_dir" "$(dirname -- "$prefix")" || fail "cannot create $port_dir"

exec 9>"$prefix.lock" || fail "cannot create $prefix.lock"
timeout 300 flock 9 || fail "timed out waiting for another preparation of $prefix"

mapfile -t devices < <(wine_detected_serial_devices)
expected_stamp="$port_dir ${#devices[@]}"

if [ -f "$prefix/.update-timestamp" ] && [ "$(cat "$stamp" 2>/dev/null)" = "$expected_stamp" ]; then
    wine_ports_safe "$prefix" "$port_dir" || fail "$prefix no longer has safe COM ports; delete it and run again"
    echo "prepare-prefix: $prefix ready (COM1..COM6 -> $port_dir/com1..com6)"
    exit 0
fi

if [ -e "$prefix" ]; then
    # Only a prefix this script made may be remade; anything else is left.
    [ -f "$stamp" ] || fail "$prefix exists and was not made by this script"
    wine_stop_server
    rm -rf -- "$prefix" || fail "cannot remove the old $prefix"
fi

started=$(date +%s.%N)

# Laid out as Wine lays out a new prefix, plus the registry pins and the
# blocked names; Wine then fills in the rest.
mkdir -p -- "$prefix/drive_c" "$prefix/dosdevices" || fail "cannot create $prefix"
ln -s ../drive_c "$prefix/dosdevices/c:"
ln -s / "$prefix/dosdevices/z:"
for ((n = 7; n < 7 + ${#devices[@]}; n++)); do
    mkdir -- "$prefix/dosdevices/com$n"
done
{
    printf 'WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n\n'
    printf '[Software\\\\Wine\\\\Ports] %s\n' "$(date +%s)"
    for n in 1 2 3 4 5 6; do
        printf '"COM%s"="%s/com%s"\n' "$n" "$port_dir" "$n"
    done
} >"$prefix/system.reg"

timeout 180 "$WINE_LOADER" wineboot --init >"$prefix/wineboot.log" 2>&1
boot_status=$?
# Lets the boot finish and the registry reach the disk before anything opens
# a port; the next run starts a server that reads the pins from there.
wine_stop_server
[ $boot_status -eq 0 ] || fail "wineboot failed ($boot_status); see $prefix/wineboot.log"

[ -f "$prefix/.update-timestamp" ] || fail "Wine did not finish initialising $prefix"
for n in 1 2 3 4 5 6; do
    grep -qF "\"COM$n\"=\"$port_dir/com$n\"" "$prefix/system.reg" || fail "the COM$n pin is missing from the registry"
done
wine_ports_safe "$prefix" "$port_dir" || fail "$prefix has unsafe COM ports"

echo "$expected_stamp" >"$stamp"
finished=$(date +%s.%N)
awk -v p="$prefix" -v d="$port_dir" -v s="$started" -v f="$finished" \
    'BEGIN { printf "prepare-prefix: %s created in %.1f s (COM1..COM6 -> %s/com1..com6)\n", p, f - s, d }'
