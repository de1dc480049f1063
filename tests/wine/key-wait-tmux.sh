#!/bin/bash
# Usage: key-wait-tmux.sh EXE PREFIX_DIR PORT_DIR
#
# The Windows build in a real terminal: after an invalid port choice it must
# wait for one key on the console, and end on it. Checked for a letter, a
# Czech letter (no character in the ANSI view of a UTF-8 console), an arrow
# key (no character) and Ctrl+C (a key, not an interrupt). The choice is
# typed, not piped: with standard input a pipe but a terminal present, Wine
# never delivers console input. Exit 0 on pass, 77 when tmux, Wine or the
# .exe is missing, 1 on failure.

set -u
tools=$(cd -- "$(dirname -- "$0")/../../tools/wine" && pwd)
exe=$(realpath -m -- "$1")
export WINEPREFIX
WINEPREFIX=$(realpath -m -- "$2")
# shellcheck source=../../tools/wine/wine-env.sh
. "$tools/wine-env.sh"
command -v tmux >/dev/null && wine_present && [ -f "$exe" ] || { echo "SKIP: tmux, Wine or $exe missing"; exit 77; }
"$tools/prepare-prefix.sh" "$WINEPREFIX" "$3" || { echo "FAIL: no safe Wine prefix"; exit 1; }

tmx()
{
    timeout 10 tmux -L "zumel-key-wait-$$" "$@"
}
screen_text()
{
    tmx capture-pane -p -t keywait -S -200 2>/dev/null
}
# Waits up to 10 s for the screen, from the port list on, to match $1.
wait_for()
{
    for ((waited = 0; waited < 100; waited++)); do
        screen_text | sed -n '/COM6 = 6/,$p' | grep -qE -- "$1" && return 0
        sleep 0.1
    done
    return 1
}
# Ends the terminal, and waits for run-exe.sh to end the prefix's processes.
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
check_key()
{
    local name=$1 problem=
    shift
    end_session
    tmx new-session -d -s keywait -x 120 -y 40 \
        "LANG=C.UTF-8 ZUMEL_WINE_TIMEOUT=40 '$tools/run-exe.sh' '$WINEPREFIX' '$exe'; echo EXITED:\$?; sleep 60"
    # The list's closing stars show only when the program flushes before it
    # reads the choice. Wine writes the console in pieces: let it settle.
    wait_for '^\*{60}$' && sleep 1 && tmx send-keys -t keywait 0 Enter || problem="no port prompt"
    [ -n "$problem" ] || wait_for "Pokracujte libovolnou klavesou" || problem="no key prompt"
    [ -n "$problem" ] || { sleep 1.5 && ! screen_text | grep -q "EXITED:"; } || problem="ended without a key"
    [ -n "$problem" ] || { tmx send-keys -t keywait "$@" && wait_for "EXITED:0"; } || problem="no clean end on the key"
    if [ -n "$problem" ]; then
        echo "FAIL [$name]: $problem"
        screen_text | sed '/^$/d' | tail -8
        failures=$((failures + 1))
    else
        echo "ok - key wait ends on $name"
    fi
}

check_key "a letter" x
check_key "a Czech letter" -l "č"
check_key "an arrow key" Right
check_key "Ctrl+C" C-c
[ $failures -eq 0 ]
