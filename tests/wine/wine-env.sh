# shellcheck shell=bash
# Sourced by the scripts beside it: finds Wine and sets the environment every
# run in a test prefix uses. Expects WINEPREFIX to be set (absolute).

if [ -x /usr/lib/wine/wine64 ]; then
    WINE_LOADER=/usr/lib/wine/wine64
else
    WINE_LOADER=$(command -v wine64 || command -v wine || true)
fi
if [ -x /usr/lib/wine/wineserver ]; then
    WINE_SERVER=/usr/lib/wine/wineserver
else
    WINE_SERVER=$(command -v wineserver || true)
fi

export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko install prompts: the program needs neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
# A console program only; never a window.
unset DISPLAY WAYLAND_DISPLAY

wine_present()
{
    [ -n "$WINE_LOADER" ] && [ -n "$WINE_SERVER" ]
}

# Stops this prefix's wineserver and waits until it is gone, so the registry
# is on disk and no process keeps a port or the terminal open.
wine_stop_server()
{
    timeout 20 "$WINE_SERVER" -k >/dev/null 2>&1
    timeout 20 "$WINE_SERVER" -w >/dev/null 2>&1
    return 0
}

# Real serial devices as Wine's device detection finds them: each family is
# counted from 0 until the first missing number.
wine_detected_serial_devices()
{
    local family n
    for family in /dev/ttyS /dev/ttyUSB /dev/ttyACM; do
        n=0
        while [ -e "$family$n" ]; do
            echo "$family$n"
            n=$((n + 1))
        done
    done
}

# Succeeds only when COM1..COM6 lead to PORT_DIR/com1..com6 and no COM name
# in the prefix leads to a device node. Prints what is wrong otherwise.
wine_ports_safe()
{
    local prefix=$1 port_dir=$2 n link target bad=0
    for n in 1 2 3 4 5 6; do
        target=$(readlink "$prefix/dosdevices/com$n" 2>/dev/null || true)
        if [ "$target" != "$port_dir/com$n" ]; then
            echo "com$n leads to '${target:-nothing}', not $port_dir/com$n" >&2
            bad=1
        fi
    done
    for link in "$prefix"/dosdevices/com* "$prefix"/dosdevices/COM*; do
        [ -L "$link" ] || continue
        target=$(readlink "$link")
        case "$target" in
        /dev/*)
            echo "$(basename "$link") leads to the device $target" >&2
            bad=1
            ;;
        esac
    done
    return $bad
}
