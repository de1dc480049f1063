#!/bin/bash
# Usage: key-wait-tmux.sh EXE PREFIX_DIR PORT_DIR
#
# The Windows build in a real terminal: after an invalid port choice the
# program must wait for one key on the console, and end on it. Checked for a
# letter, a Czech letter (no character in the ANSI view of a UTF-8
# console), an arrow key (no character) and Ctrl+C (a key, not an
# interrupt). The choice is typed, not piped: with standard input a pipe but
# a terminal present, Wine never delivers console input.
#
# Exit 0 on pass, 77 when tmux, Wine or the .exe is missing, 1 on failure.

set -u
tools=$(cd -- "$(dirname -- "$0")/../../tools/wine" && pwd)
exe=$(realpath -m -- "$1")
export WINEPREFIX
WINEPREFIX=$(realpath -m -- "$2")
port_dir=$(realpath -m -- "$3")
command -v tmux >/dev/null || { echo "SKIP: tmux is not installed"; exit 77; }
# shellcheck source=../../tools/wine/wine-env.sh
. "$tools/wine-env.sh"
wine_present || { echo "SKIP: Wine is not installed"; exit 77; }
[ -f "$exe" ] || { echo "SKIP: $exe is not built"; exit 77; }
"$tools/prepare-prefix.sh" "$WINEPREFIX" "$port_dir" || { echo "FAIL: no safe Wine prefix"; exit 1; }

socket=zumel-key-wait-$$
tmx()
{
    timeout 10 tmux -L "$socket" "$@"
}
screen_text()
{
    tmx capture-pane -p -t keywait -S -200 2>/dev/null
}
# Waits up to $2 seconds for a line of the screen to match the pattern $1.
wait_for()
{
    local waited
    for ((waited = 0; waited < $2 * 10; waited++)); do
        screen_text | grep -qE -- "$1" && return 0
        sleep 0.1
    done
    return 1
}
# Ends the terminal; run-exe.sh then ends the prefix's processes, and the
# next run must not start before it has.
end_session()
{
    tmx kill-server >/dev/null 2>&1
    for ((waited = 0; waited < 100; waited++)); do
        [ -z "$(wine_prefix_processes)" ] && return
        sleep 0.1
    done
    wine_end_prefix
}
trap end_session EXIT

failures=0
fail()
{
    echo "FAIL [$1]: $2"
    screen_text | sed '/^$/d' | tail -15
    failures=$((failures + 1))
}

check_key()
{
    local name=$1
    shift
    end_session
    tmx new-session -d -s keywait -x 120 -y 40 \
        "LANG=C.UTF-8 ZUMEL_WINE_TIMEOUT=40 '$tools/run-exe.sh' '$WINEPREFIX' '$exe'; echo EXITED:\$?; sleep 60" ||
        { fail "$name" "tmux did not start"; return; }
    # The port list is shown whole only when the program flushes before it
    # reads the choice.
    local waited
    for ((waited = 0; waited < 300; waited++)); do
        screen_text | sed -n '/COM6 = 6/,$p' | grep -qE '^\*{60}$' && break
        sleep 0.1
    done
    [ $waited -lt 300 ] || { fail "$name" "no port prompt"; return; }
    sleep 0.5 # Wine writes the console in pieces; let it start reading
    tmx send-keys -t keywait 0 Enter
    wait_for "Volba COM portu je neplatna" 10 && wait_for "Pokracujte libovolnou klavesou" 10 ||
        { fail "$name" "no key prompt after the invalid choice"; return; }
    sleep 1.5
    ! screen_text | grep -q "EXITED:" || { fail "$name" "ended without waiting for a key"; return; }
    tmx send-keys -t keywait "$@"
    wait_for "EXITED:" 10 || { fail "$name" "still waiting after the key"; return; }
    screen_text | grep -qF "EXITED:0" || { fail "$name" "ended with $(screen_text | grep -o 'EXITED:[0-9]*')"; return; }
    echo "ok - key wait ends on $name"
}

check_key "a letter" x
check_key "a Czech letter" -l "č"
check_key "an arrow key" Right
check_key "Ctrl+C" C-c
[ $failures -eq 0 ] || { echo "key-wait-tmux: $failures failed"; exit 1; }
echo "key-wait-tmux: all passed"
