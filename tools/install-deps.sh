#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and only those
# that are missing. Usage: install-deps.sh [build|test|bench]
set -euo pipefail

packages=(cmake g++ make libgtest-dev)
case "${1:-build}" in
  test) packages+=(clang-format clang-format-15 tmux ser2net g++-mingw-w64-x86-64-win32 wine wine64 libwine clang lintian man-db dpkg-dev file
                   locales bash-completion) ;;
  bench) packages+=(python3 python3-serial ser2net) ;;
esac

updated=false
install_missing()
{
    local missing=() package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
    done
    [[ ${#missing[@]} -eq 0 ]] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [[ $(id -u) -eq 0 ]] || sudo=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    if [[ $updated == false ]]; then
        "${sudo[@]}" apt-get update -qq
        updated=true
    fi
    "${sudo[@]}" apt-get install -y -qq "${missing[@]}" </dev/null >/dev/null
}

install_missing "${packages[@]}"
# The sanitizers' and libFuzzer's runtime must match the clang installed;
# the Windows build meets Czech file names under Wine in a Czech locale.
if [[ ${1:-build} == test ]]; then
    install_missing "libclang-rt-$(clang -dumpversion | cut -d. -f1)-dev"
    if ! locale -a | grep -qix 'cs_CZ.utf8'; then
        sudo=()
        [[ $(id -u) -eq 0 ]] || sudo=(sudo)
        "${sudo[@]}" sed -i 's/^# *\(cs_CZ.UTF-8 UTF-8\)/\1/' /etc/locale.gen
        grep -qx 'cs_CZ.UTF-8 UTF-8' /etc/locale.gen || echo 'cs_CZ.UTF-8 UTF-8' | "${sudo[@]}" tee -a /etc/locale.gen >/dev/null
        "${sudo[@]}" locale-gen >/dev/null
    fi
fi
