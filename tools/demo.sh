#!/usr/bin/env bash
# Builds the configurator and starts it in this terminal on the bundled
# controller emulator: choose COM1 at the port prompt. No hardware needed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
started=$SECONDS

echo "Demo: checking the packages the build needs (apt-get installs any missing; a minute or two the first time)"
bash "$root/tools/install-deps.sh" build

build="$root/build/demo"
mkdir -p "$build"
echo "Demo: configuring the build in $build (its output: $build/configure.log)"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >"$build/configure.log" 2>&1 ||
  { cat "$build/configure.log"; exit 1; }
echo "Demo: building zumel-config and zumel-emulator (about a minute on two cores the first time, then seconds)"
cmake --build "$build" -j"$(nproc)" --target zumel-config zumel-emulator
echo "Demo: built in $((SECONDS - started)) s"

# The emulator sits on COM1 of this demo's own ports; the other five lead
# nowhere.
ports="$build/ports"
rm -rf "$ports"
"$build/emulator/zumel-emulator" "$ports/ttyS0" --log 2>"$build/emulator.log" &
emulator=$!
trap 'kill "$emulator" 2>/dev/null; wait "$emulator" 2>/dev/null || true' EXIT
for _ in $(seq 50); do [[ -e "$ports/ttyS0" ]] && break; sleep 0.1; done

cat <<TEXT
Demo: the emulated controller is on COM1 (log: $build/emulator.log).
On real hardware name the adapter's devices, e.g. zumel-config --com-prefix /dev/ttyUSB
TEXT
"$build/zumel-config" --com-prefix "$ports/ttyS"
