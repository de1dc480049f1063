#!/bin/bash
# Usage: key-wait-tmux.sh [EXE [PREFIX_DIR PORT_DIR]]
#
# The Windows build in a real terminal: after an invalid port choice the
# program must wait for one key on the console, and end on it. Checked for a
# letter, an arrow key (no character) and Ctrl+C (a key, not an interrupt).
# The choice is typed, not piped: with standard input a pipe but a terminal
# present, Wine never delivers console input.
#
# Exit 0 on pass, 77 when tmux, Wine or the .exe is missing, 1 on failure.

set -u

here=$(cd -- "$(dirname -- "$0")" && pwd)
exe=$(realpath -m -- "${1:-$here/../../build/windows/zumel-config.exe}")
work=${TMPDIR:-/tmp}/zumel-wine
prefix=$(realpath -m -- "${2:-$work/prefix}")
port_dir=$(realpath -m -- "${3:-$work/ports}")

command -v tmux >/dev/null || { echo "SKIP: tmux is not installed"; exit 77; }
export WINEPREFIX=$prefix
# shellcheck source-path=SCRIPTDIR source=wine-env.sh
. "$here/wine-env.sh"
wine_present || { echo "SKIP: Wine is not installed"; exit 77; }
[ -f "$exe" ] || { echo "SKIP: $exe is not built"; exit 77; }

"$here/prepare-prefix.sh" "$prefix" "$port_dir" || { echo "FAIL: no safe Wine prefix"; exit 1; }

socket=zumel-key-wait-$$
session=keywait
tmx()
{
    timeout 10 tmux -L "$socket" "$@"
}
pid_file=$(mktemp "${TMPDIR:-/tmp}/zumel-key-wait.XXXXXX") || exit 1

# Ends the terminal and waits for the run in it to finish stopping its
# wineserver, so the next run cannot have its server stopped under it.
end_session()
{
    local pid waited=0
    tmx kill-server >/dev/null 2>&1
    pid=$(cat "$pid_file" 2>/dev/null)
    if [ -n "$pid" ]; then
        while kill -0 "$pid" 2>/dev/null && [ $waited -lt 600 ]; do
            sleep 0.1
            waited=$((waited + 1))
        done
    fi
    : >"$pid_file"
    wine_stop_server
}
cleanup()
{
    end_session
    rm -f -- "$pid_file"
}
trap cleanup EXIT

screen_text()
{
    tmx capture-pane -p -t "$session" -S -200 2>/dev/null
}

# Waits up to $2 seconds for the screen to hold the text $1.
wait_for_text()
{
    local text=$1 limit=$2 waited=0
    until screen_text | grep -qF -- "$text"; do
        if [ "$waited" -ge $((limit * 10)) ]; then
            return 1
        fi
        sleep 0.1
        waited=$((waited + 1))
    done
}

# Waits up to $1 seconds for the whole port list: its closing line of 60
# stars, shown only when the program flushes before reading the choice.
wait_for_port_list()
{
    local limit=$1 waited=0
    until screen_text | sed -n '/COM6 = 6/,$p' | grep -qE '^\*{60}$'; do
        if [ "$waited" -ge $((limit * 10)) ]; then
            return 1
        fi
        sleep 0.1
        waited=$((waited + 1))
    done
}

failures=0
fail()
{
    echo "FAIL [$1]: $2"
    echo "--- screen:"
    screen_text | sed '/^$/d' | tail -15
    echo "---"
    failures=$((failures + 1))
}

# One program run: the choice 0 typed, the key wait confirmed, one key sent.
check_key()
{
    local name=$1 key=$2
    end_session
    # The inner shell leaves its pid, which run-exe.sh then carries on.
    if ! tmx new-session -d -s "$session" -x 120 -y 40 \
        "ZUMEL_WINE_TIMEOUT=40 bash -c 'echo \$\$ >\"\$0\"; exec \"\$@\"' '$pid_file' \
        '$here/run-exe.sh' '$prefix' '$exe'; echo EXITED:\$?; sleep 60"; then
        fail "$name" "tmux did not start"
        return
    fi
    if ! wait_for_port_list 30; then
        fail "$name" "no port prompt"
        return
    fi
    # Wine writes the console in pieces; give it a moment to start reading,
    # or the typed choice lands in the middle of the output.
    sleep 0.5
    tmx send-keys -t "$session" 0 Enter
    if ! wait_for_text "Pokracujte libovolnou klavesou" 10; then
        fail "$name" "no key prompt after the invalid choice"
        return
    fi
    if ! screen_text | grep -qF "Volba COM portu je neplatna"; then
        fail "$name" "no invalid-port message"
        return
    fi
    sleep 1.5
    if screen_text | grep -q "EXITED:"; then
        fail "$name" "ended without waiting for a key"
        return
    fi
    tmx send-keys -t "$session" "$key"
    if ! wait_for_text "EXITED:" 10; then
        fail "$name" "still waiting after the key"
        return
    fi
    if ! screen_text | grep -qF "EXITED:0"; then
        fail "$name" "ended with $(screen_text | grep -o 'EXITED:[0-9]*')"
        return
    fi
    echo "ok - key wait ends on $name"
}

check_key "a letter" x
check_key "an arrow key" Right
check_key "Ctrl+C" C-c

if [ $failures -ne 0 ]; then
    echo "key-wait-tmux: $failures failed"
    exit 1
fi
echo "key-wait-tmux: all passed"
