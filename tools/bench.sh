#!/usr/bin/env bash
# Builds the configurator as released and runs its benchmarks against the
# bundled controller emulator and a pyserial peer: one table of figures and
# a verdict per goal. Usage: tools/bench.sh [--runs N]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

bash "$root/tools/install-deps.sh" bench

# As in the test build, the program's own COM ports lead nowhere; the
# benchmarks name theirs with --com-prefix.
build="$root/build/bench"
cmake --preset bench -S "$root" >/dev/null
cmake --build "$build" -j"$(nproc)" --target zumel-bench >/dev/null

"$build/bench/zumel-bench" "$@"
