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
# which Wine cannot replace with links. Run again with the same arguments it
# only checks the prefix.

set -u
if [ $# -ne 2 ]; then
    echo "usage: $0 PREFIX_DIR PORT_DIR" >&2
    exit 2
fi
export WINEPREFIX
WINEPREFIX=$(realpath -m -- "$1")
port_dir=$(realpath -m -- "$2")
prefix=$WINEPREFIX
# shellcheck source-path=SCRIPTDIR source=wine-env.sh
. "$(dirname -- "$0")/wine-env.sh"

fail()
{
    echo "prepare-prefix: $*" >&2
    exit 1
}

wine_present || fail "Wine is not installed"
mkdir -p -- "$port_dir" "$(dirname -- "$prefix")" || fail "cannot create $port_dir"
mapfile -t devices < <(wine_detected_serial_devices)
stamp="$port_dir ${#devices[@]}"

if [ -f "$prefix/.update-timestamp" ] && [ "$(cat "$prefix/.com-ports" 2>/dev/null)" = "$stamp" ]; then
    wine_ports_safe "$prefix" "$port_dir" || fail "$prefix no longer has safe COM ports; delete it and run again"
    exit 0
fi
if [ -e "$prefix" ]; then
    # Only a prefix this script made may be remade; anything else is left.
    [ -f "$prefix/.com-ports" ] || fail "$prefix exists and was not made by this script"
    wine_end_prefix
    rm -rf -- "$prefix" || fail "cannot remove the old $prefix"
fi

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

timeout 180 "$WINE_LOADER" wineboot --init >"$prefix/wineboot.log" 2>&1 </dev/null
boot_status=$?
# Lets the registry reach the disk before anything opens a port; the next
# run starts a server that reads the pins from there.
wine_end_prefix
[ $boot_status -eq 0 ] || fail "wineboot failed ($boot_status); see $prefix/wineboot.log"
[ -f "$prefix/.update-timestamp" ] || fail "Wine did not finish initialising $prefix"
for n in 1 2 3 4 5 6; do
    grep -qF "\"COM$n\"=\"$port_dir/com$n\"" "$prefix/system.reg" || fail "the COM$n pin is missing from the registry"
done
wine_ports_safe "$prefix" "$port_dir" || fail "$prefix has unsafe COM ports"
echo "$stamp" >"$prefix/.com-ports"
echo "prepare-prefix: $prefix made (COM1..COM6 -> $port_dir/com1..com6)"
