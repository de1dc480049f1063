#!/usr/bin/env bash
# Builds everything and runs every test: unit tests, the Linux binary end to
# end against the emulated controller, and the Windows binary under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

bash "$root/tools/install-deps.sh" test

# The tests' COM ports live inside the build folder, never under /dev.
build="$root/build/tests"
cmake -S "$root" -B "$build" -DCOM_DEVICE_PREFIX="$build/ports/ttyS" >/dev/null
cmake --build "$build" -j"$jobs"

ctest --test-dir "$build" --output-on-failure -j"$jobs"
