#!/bin/bash
# Usage: run-exe.sh PREFIX_DIR EXE [ARGUMENTS...]
#
# Runs a Windows console program in a prefix made by prepare-prefix.sh, with
# this script's standard input and output, and exits with its exit status
# (124 when it ran out of time). Afterwards every process of the prefix is
# ended: the wineserver holds a port it opened as its controlling terminal,
# so it has to be gone before the other end of that line closes.
#
# ZUMEL_WINE_TIMEOUT (seconds, default 60) bounds the program's run. Runs in
# one prefix must take turns: ending one run's processes ends the other's.
#
# When standard input is not a terminal, neither are standard output and
# error while Wine runs: with any of them a terminal Wine reads the console
# from that terminal, and a key wait on it never ends.

set -u
if [ $# -lt 2 ]; then
    echo "usage: $0 PREFIX_DIR EXE [ARGUMENTS...]" >&2
    exit 2
fi
export WINEPREFIX
WINEPREFIX=$(realpath -m -- "$1")
exe=$2
shift 2
# shellcheck source-path=SCRIPTDIR source=wine-env.sh
. "$(dirname -- "$0")/wine-env.sh"

wine_present || { echo "run-exe: Wine is not installed" >&2; exit 127; }
port_dir=$(cut -d ' ' -f 1 "$WINEPREFIX/.com-ports" 2>/dev/null)
if [ -z "$port_dir" ] || ! wine_ports_safe "$WINEPREFIX" "$port_dir"; then
    echo "run-exe: $WINEPREFIX is not a prefix with safe COM ports; run prepare-prefix.sh first" >&2
    exit 125
fi

# Nothing of whoever started us but the three standard streams reaches Wine,
# whose services may outlive the run.
# (255 is where bash reads this script from.)
for fd in /proc/$$/fd/*; do
    fd=${fd##*/}
    [ "$fd" -gt 2 ] && [ "$fd" -ne 255 ] && eval "exec $fd>&-" 2>/dev/null
done

wine_pid=
stop()
{
    [ -n "$wine_pid" ] && kill -TERM "$wine_pid" 2>/dev/null
    wine_end_prefix
    exit 143
}
trap stop TERM HUP

limit=${ZUMEL_WINE_TIMEOUT:-60}
if [ -t 0 ]; then
    # Ctrl+C in the terminal reaches the program too, which may take it as a
    # key; whether it ends is up to the program. Left in the terminal's
    # foreground so the program may read from it.
    trap : INT
    timeout --foreground -k 5 "$limit" "$WINE_LOADER" "$exe" "$@" <&0 &
else
    trap stop INT
    # Piped through cat so Wine sees no terminal; cat passes everything on.
    [ -t 1 ] && exec 1> >(cat)
    [ -t 2 ] && exec 2> >(cat >&2)
    timeout -k 5 "$limit" "$WINE_LOADER" "$exe" "$@" <&0 &
fi
wine_pid=$!
# A trapped signal cuts the wait short; the program's end is what counts.
while :; do
    wait "$wine_pid"
    status=$?
    kill -0 "$wine_pid" 2>/dev/null || break
done
wine_pid=
wine_end_prefix
exit "$status"
