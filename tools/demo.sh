#!/usr/bin/env bash
# Builds the configurator and starts it in this terminal on the bundled
# controller emulator: choose COM1 at the port prompt. No hardware needed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

bash "$root/tools/install-deps.sh" build

# This build's COM ports are links inside the build folder; the emulator
# sits on COM1.
build="$root/build/demo"
cmake -S "$root" -B "$build" -DCOM_DEVICE_PREFIX="$build/ports/ttyS" -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target zumel-config zumel-emulator >/dev/null

"$build/emulator/zumel-emulator" "$build/ports/ttyS0" 2>"$build/emulator.log" &
emulator=$!
trap 'kill "$emulator" 2>/dev/null; wait "$emulator" 2>/dev/null || true' EXIT
for _ in $(seq 50); do [[ -e "$build/ports/ttyS0" ]] && break; sleep 0.1; done

cat <<TEXT
Demo: the emulated controller is on COM1 (log: $build/emulator.log).
For real hardware build with the default device prefix, where COMn is /dev/ttyS(n-1):
  cmake -S . -B build/release && cmake --build build/release --target zumel-config && build/release/zumel-config
TEXT
"$build/zumel-config"
