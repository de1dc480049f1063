#!/usr/bin/env bash
# Builds everything with clang++ under AddressSanitizer and
# UndefinedBehaviorSanitizer, with the dialogue fuzzer, and runs the whole
# suite there: unit and end-to-end tests, a bounded run of the fuzzer and
# the short soak. The end-to-end tests keep the configurator's standard
# error for themselves, so every sanitizer report goes to a file and is
# shown at the end. Usage: sanitize.sh [seconds for the fuzzer, default 60]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)
fuzz_seconds=${1:-60}

bash "$root/tools/install-deps.sh" test

# As the test build, the program's own COM ports lead nowhere; the preset
# holds the compiler and the sanitizer flags.
build="$root/build/sanitize"
cmake --preset sanitize -S "$root" -DZUMEL_FUZZ_SECONDS="$fuzz_seconds" >/dev/null
cmake --build "$build" -j"$jobs"

reports="$build/sanitizer-reports"
rm -rf "$reports"
mkdir -p "$reports"
export ASAN_OPTIONS="log_path=$reports/asan:detect_leaks=1:detect_stack_use_after_return=1:strict_init_order=1"
export UBSAN_OPTIONS="log_path=$reports/ubsan:print_stacktrace=1:halt_on_error=1"

status=0
ctest --test-dir "$build" --output-on-failure -j"$jobs" --timeout 600 || status=$?
if compgen -G "$reports/*" >/dev/null; then
  for report in "$reports"/*; do
    echo "=== $report"
    cat "$report"
  done
  status=1
fi
exit "$status"
