#!/usr/bin/env bash
# Builds everything and runs every test: unit tests, the Linux binary end to
# end against the emulated controller, the Windows binary, cross-built,
# through the same sessions under Wine, the release package, and the whole
# suite again under sanitizers with the fuzzer and the soak.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

bash "$root/tools/install-deps.sh" test

# The Windows program, and a Wine prefix whose COM ports are the tests' own.
windows="$root/build/windows"
cmake --preset windows -S "$root" -DZUMEL_WERROR=ON >/dev/null
cmake --build "$windows" -j"$jobs"
# It imports only system DLLs every Windows has (the registry, SetupAPI and
# the configuration manager for the port list, Winsock for device servers),
# carries its version resource (type 0x10) and manifest (0x18, long-path
# aware), and asks for ASLR with 64-bit entropy (with the relocations that
# make it possible) and DEP.
pe=$(x86_64-w64-mingw32-objdump -p "$windows/zumel-config.exe")
[[ $(grep 'DLL Name' <<<"$pe" | awk '{print $3}' | LC_ALL=C sort | xargs) == "ADVAPI32.dll CFGMGR32.dll KERNEL32.dll SETUPAPI.dll WS2_32.dll msvcrt.dll" ]] &&
  grep -q 'Entry: ID: 0x000010' <<<"$pe" && grep -q 'Entry: ID: 0x000018' <<<"$pe" &&
  grep -aq '<longPathAware [^>]*>true</longPathAware>' "$windows/zumel-config.exe" ||
  { echo "zumel-config.exe: other imports, or no version resource or long-path-aware manifest" >&2; exit 1; }
for flag in DYNAMIC_BASE HIGH_ENTROPY_VA NX_COMPAT; do
  sed -n '/^DllCharacteristics/,/^SizeOfStackReserve/p' <<<"$pe" | grep -qw "$flag" ||
    { echo "zumel-config.exe: DllCharacteristics lack $flag" >&2; exit 1; }
done
grep -q 'Base Relocation Directory \[\.reloc\]' <<<"$pe" ||
  { echo "zumel-config.exe: no relocations, so no ASLR" >&2; exit 1; }
export WINEPREFIX="$root/build/wine/prefix"
bash "$root/tools/wine/prepare-prefix.sh" "$WINEPREFIX" "$root/build/wine/ports"

# The test build: the program's own COM ports lead nowhere, and every test
# names ports of its own with --com-prefix.
build="$root/build/tests"
cmake --preset tests -S "$root" -DZUMEL_WINDOWS_BUILD="$windows" -DWINE_PREFIX_DIR="$WINEPREFIX" \
  -DWINE_PORT_DIR="$root/build/wine/ports" >/dev/null
cmake --build "$build" -j"$jobs"
ctest --test-dir "$build" --output-on-failure -j"$jobs" --timeout 600

# Every Wine run ends its prefix's processes; none may be left.
. "$root/tools/wine/wine-env.sh"
left=$(wine_prefix_processes)
[ -z "$left" ] || { echo "Wine processes left after the tests: $left" >&2; exit 1; }

# The demo as a newcomer starts it, through its banner and one reading:
# the emulator's log it names holds what the controller answered. Its ports
# are its own (build/demo/ports).
demo=$(printf '1\n1\n3\n' | timeout 900 bash "$root/tools/demo.sh" 2>&1) &&
  grep -q 'Zvolte COM port' <<<"$demo" && grep -q ': reply: FF 30 ' "$root/build/demo/emulator.log" ||
  { printf '%s\n' "$demo" >&2; echo "tools/demo.sh: failed, no banner, or its emulator log lacks the session" >&2; exit 1; }

bash "$root/tools/check-package.sh"
bash "$root/tools/sanitize.sh"
