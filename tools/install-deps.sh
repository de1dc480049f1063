#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and only those
# that are missing. Usage: install-deps.sh [build|test|bench]
set -euo pipefail

packages=(cmake g++ make libgtest-dev)
case "${1:-build}" in
  test) packages+=(clang-format tmux g++-mingw-w64-x86-64-win32 wine wine64 libwine clang libclang-rt-14-dev) ;;
  bench) packages+=(python3 python3-serial) ;;
esac

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq "${missing[@]}" </dev/null >/dev/null
