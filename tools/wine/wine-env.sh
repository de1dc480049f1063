# shellcheck shell=bash
# Sourced by the scripts beside it: finds Wine, sets the environment every
# run in a test prefix uses, and ends a prefix's processes. Expects
# WINEPREFIX to be set (absolute).

WINE_LOADER=/usr/lib/wine/wine64
[ -x "$WINE_LOADER" ] || WINE_LOADER=$(command -v wine64 || command -v wine || true)
WINE_SERVER=/usr/lib/wine/wineserver
[ -x "$WINE_SERVER" ] || WINE_SERVER=$(command -v wineserver || true)

export WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko install prompts: the program needs neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
# A console program only; never a window.
unset DISPLAY WAYLAND_DISPLAY

wine_present()
{
    [ -n "$WINE_LOADER" ] && [ -n "$WINE_SERVER" ]
}

# Wine's own processes (its loader and server, by their executable) whose
# environment names this prefix.
wine_prefix_processes()
{
    local process wine_dir
    wine_dir=$(dirname -- "$(realpath -- "$WINE_LOADER")")
    for process in /proc/[0-9]*; do
        [[ $(readlink "$process/exe" 2>/dev/null) == "$wine_dir"/* ]] || continue
        # A process that ends meanwhile fails the redirection itself: quiet too.
        { tr '\0' '\n' <"$process/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" &&
            echo "${process#/proc/}"
    done
}

# Stops the prefix's wineserver, waits for it, then ends whatever process of
# the prefix outlived it (Wine's services can: rpcss.exe has been seen to)
# and says so: a leftover keeps the port, the terminal and every descriptor
# it inherited. Returns 1 when something was left.
wine_end_prefix()
{
    local pid left=0
    timeout 20 "$WINE_SERVER" -k >/dev/null 2>&1
    timeout 20 "$WINE_SERVER" -w >/dev/null 2>&1
    for pid in $(wine_prefix_processes); do
        echo "wine: ended a leftover process of $WINEPREFIX: $pid $(tr '\0' ' ' </proc/"$pid"/cmdline 2>/dev/null)" >&2
        kill -KILL "$pid" 2>/dev/null
        left=1
    done
    return $left
}

# Real serial devices as Wine's device detection finds them: each family is
# counted from 0 until the first missing number.
wine_detected_serial_devices()
{
    local family n
    for family in /dev/ttyS /dev/ttyUSB /dev/ttyACM; do
        for ((n = 0; ; n++)); do
            [ -e "$family$n" ] || break
            echo "$family$n"
        done
    done
}

# Succeeds only when COM1..COM6 lead to PORT_DIR/com1..com6 and no COM name
# in the prefix leads to a device node. Prints what is wrong otherwise.
wine_ports_safe()
{
    local prefix=$1 port_dir=$2 n link target bad=0
    for n in 1 2 3 4 5 6; do
        target=$(readlink "$prefix/dosdevices/com$n" 2>/dev/null)
        if [ "$target" != "$port_dir/com$n" ]; then
            echo "com$n leads to '${target:-nothing}', not $port_dir/com$n" >&2
            bad=1
        fi
    done
    for link in "$prefix"/dosdevices/[cC][oO][mM]*; do
        target=$(readlink "$link")
        if [[ $target == /dev/* ]]; then
            echo "$(basename "$link") leads to the device $target" >&2
            bad=1
        fi
    done
    return $bad
}
