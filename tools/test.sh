#!/usr/bin/env bash
# Builds everything and runs every test: unit tests, the Linux binary end to
# end against the emulated controller, and the Windows binary, cross-built,
# through the same sessions under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

bash "$root/tools/install-deps.sh" test

# The Windows program, and a Wine prefix whose COM ports are the tests' own.
windows="$root/build/windows"
cmake -S "$root" -B "$windows" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$windows" -j"$jobs"
wine_prefix="$root/build/wine/prefix"
wine_ports="$root/build/wine/ports"
bash "$root/tests/wine/prepare-prefix.sh" "$wine_prefix" "$wine_ports"

# The tests' COM ports live inside the build folder, never under /dev.
build="$root/build/tests"
cmake -S "$root" -B "$build" -DCOM_DEVICE_PREFIX="$build/ports/ttyS" \
  -DZUMEL_WINDOWS_EXE="$windows/zumel-config.exe" -DWINE_PREFIX_DIR="$wine_prefix" \
  -DWINE_PORT_DIR="$wine_ports" >/dev/null
cmake --build "$build" -j"$jobs"

ctest --test-dir "$build" --output-on-failure -j"$jobs" --timeout 600

# The same suite under AddressSanitizer and UndefinedBehaviorSanitizer, with
# each fuzzer run for a minute and the short soak.
bash "$root/tools/sanitize.sh"
