#!/usr/bin/env bash
# Makes the Linux package as README says and checks it as a user would get
# it: its files, its manual pages, lintian, and a whole session of the
# packaged programs with each other.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

cmake --preset linux -DZUMEL_WERROR=ON >/dev/null && cmake --build build/linux -j"$(nproc)" && (cd build/linux && cpack >/dev/null)
deb=$(ls build/linux/zumel-config_*.deb)
work=$(mktemp -d)
emulator=
trap '[ -n "$emulator" ] && kill "$emulator" 2>/dev/null; rm -rf "$work"' EXIT

contents=$(dpkg-deb -c "$deb")
for file in usr/bin/zumel-config usr/bin/zumel-emulator usr/share/man/man1/zumel-config.1.gz \
    usr/share/man/man1/zumel-emulator.1.gz usr/share/doc/zumel-config/copyright \
    usr/share/bash-completion/completions/zumel-config; do
    grep -q " ./$file\$" <<<"$contents" || { echo "check-package: $file is not in $deb" >&2; exit 1; }
done
dpkg-deb -x "$deb" "$work/root"
for page in "$work"/root/usr/share/man/man1/*.gz; do
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || { echo "check-package: $page: $warnings" >&2; exit 1; }
done
lintian --fail-on error "$deb"
# Hardened as Debian builds its own: bound at start behind read-only
# relocations, with the stack protector and fortified calls.
for program in zumel-config zumel-emulator; do
    binary="$work/root/usr/bin/$program"
    dynamic=$(readelf -d "$binary") segments=$(readelf -lW "$binary") symbols=$(readelf --dyn-syms -W "$binary")
    grep -Eq 'FLAGS.*\bNOW\b' <<<"$dynamic" && grep -q GNU_RELRO <<<"$segments" &&
        grep -q '__stack_chk_fail' <<<"$symbols" && grep -Eq '__[a-z]+_chk@' <<<"$symbols" ||
        { echo "check-package: $program is not built with Debian's hardening flags" >&2; exit 1; }
done
# The completion, sourced as bash-completion would source it, completes zumel-config.
bash -c 'source "$1" && complete -p zumel-config' _ "$work/root/usr/share/bash-completion/completions/zumel-config" \
    >/dev/null || { echo "check-package: the bash completion does not complete zumel-config" >&2; exit 1; }

# The packaged programs together: the emulator on DIR/tty0 is COM1.
"$work/root/usr/bin/zumel-emulator" "$work/ports/tty0" 2>/dev/null &
emulator=$!
for _ in $(seq 50); do [ -e "$work/ports/tty0" ] && break; sleep 0.1; done
# After --port the completion offers what --list gives under the prefix typed.
completed=$(PATH="$work/root/usr/bin:$PATH" bash -c '
    [ -f /usr/share/bash-completion/bash_completion ] && source /usr/share/bash-completion/bash_completion
    source "$1"
    COMP_WORDS=(zumel-config --com-prefix "$2" --port "") COMP_CWORD=4
    COMP_LINE="${COMP_WORDS[*]}" COMP_POINT=${#COMP_LINE}
    _zumel_config zumel-config "" --port && echo "${COMPREPLY[*]}"' _ \
    "$work/root/usr/share/bash-completion/completions/zumel-config" "$work/ports/tty")
[ "$completed" = COM1 ] || { echo "check-package: --port completed '$completed', not COM1" >&2; exit 1; }
output=$(printf '1\n2\n7 3 2 1 2 1 200 1\n1\n3\n' | "$work/root/usr/bin/zumel-config" --com-prefix "$work/ports/tty")
for shown in "Typ ovladace:    ZML-4C08" "Verze FirmWare:  105" "Komunikacni rychlost ovladace:   19200Bd" \
    "Hodnota delicky pro PWM:         200"; do
    grep -qF "$shown" <<<"$output" || { echo "check-package: the session did not show '$shown'" >&2; exit 1; }
done
"$work/root/usr/bin/zumel-config" --com-prefix "$work/ports/tty" --port COM1 --read -o "$work/a.conf" 2>/dev/null
grep -qx "pwm_divider = 200" "$work/a.conf" || { echo "check-package: the scripted read failed" >&2; exit 1; }
echo "check-package: $deb is complete, lintian-clean and works"
