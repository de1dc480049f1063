#!/bin/bash
# Usage: run-exe.sh PREFIX_DIR EXE [ARGUMENTS...]
#
# Runs a Windows console program in a prefix made by prepare-prefix.sh, with
# this script's standard input and output, and exits with its exit status
# (124 when it ran out of time). Afterwards the prefix's wineserver is
# stopped: it holds a port it opened as its controlling terminal, so it has
# to be gone before the other end of that line closes.
#
# ZUMEL_WINE_TIMEOUT (seconds, default 60) bounds the program's run. Runs in
# one prefix take turns.
#
# When standard input is not a terminal, neither are standard output and
# error while Wine runs: with any of them a terminal Wine reads the console
# from that terminal, and a key wait on it never ends.

set -u

if [ $# -lt 2 ]; then
    echo "usage: $0 PREFIX_DIR EXE [ARGUMENTS...]" >&2
    exit 2
fi

prefix=$(realpath -m -- "$1")
exe=$2
shift 2
export WINEPREFIX=$prefix

# shellcheck source-path=SCRIPTDIR source=wine-env.sh
. "$(dirname -- "$0")/wine-env.sh"

if ! wine_present; then
    echo "run-exe: Wine is not installed" >&2
    exit 127
fi
port_dir=$(cut -d ' ' -f 1 "$prefix/.com-ports" 2>/dev/null)
if [ -z "$port_dir" ] || ! wine_ports_safe "$prefix" "$port_dir"; then
    echo "run-exe: $prefix is not a prefix with safe COM ports; run prepare-prefix.sh first" >&2
    exit 125
fi

# One run at a time per prefix: stopping the wineserver afterwards would
# end any other run in it.
exec 8>"$prefix.run.lock" || exit 125
if ! timeout 300 flock 8; then
    echo "run-exe: timed out waiting for another run in $prefix" >&2
    exit 125
fi

limit=${ZUMEL_WINE_TIMEOUT:-60}
wine_pid=
# shellcheck disable=SC2317 # reached through the traps
stop()
{
    [ -n "$wine_pid" ] && kill -TERM "$wine_pid" 2>/dev/null
    wine_stop_server
    exit 143
}
trap stop TERM HUP

if [ -t 0 ]; then
    # Ctrl+C in the terminal reaches the program too, and it may take it as
    # a key; whether it ends is up to the program.
    trap : INT
    # Left in the terminal's foreground so the program may read from it.
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
wine_stop_server
exit "$status"
