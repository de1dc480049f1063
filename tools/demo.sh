#!/usr/bin/env bash
# Builds the configurator and starts it in this terminal on the bundled
# controller emulator: choose COM1 at the port prompt. No hardware needed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

bash "$root/tools/install-deps.sh" build

build="$root/build/demo"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target zumel-config zumel-emulator >/dev/null

# The emulator sits on COM1 of this demo's own ports; the other five lead
# nowhere.
ports="$build/ports"
rm -rf "$ports"
"$build/emulator/zumel-emulator" "$ports/ttyS0" 2>"$build/emulator.log" &
emulator=$!
trap 'kill "$emulator" 2>/dev/null; wait "$emulator" 2>/dev/null || true' EXIT
for _ in $(seq 50); do [[ -e "$ports/ttyS0" ]] && break; sleep 0.1; done

cat <<TEXT
Demo: the emulated controller is on COM1 (log: $build/emulator.log).
On real hardware name the adapter's devices, e.g. zumel-config --com-prefix /dev/ttyUSB
TEXT
"$build/zumel-config" --com-prefix "$ports/ttyS"
