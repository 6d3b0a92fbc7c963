#!/usr/bin/env bash
# Builds the Debian package the way a user does (scripts/package.sh), holds it
# against lintian and the manual page checker, then unpacks it into a throwaway
# root and runs what it installed from another folder.
#   check_package.sh <source dir> <work dir>
set -euo pipefail
src="$1"
work="$2"
rm -rf "$work"
mkdir -p "$work/root" "$work/dbgsym" "$work/elsewhere" "$work/home" "$work/no-data"
work="$(realpath "$work")"
root="$work/root"

fail=0
problem() {
    echo "FAIL: $*"
    fail=1
}

bash "$src/scripts/package.sh" "$work/dist"
deb=$(ls "$work"/dist/orvex-config_*_amd64.deb)
ddeb=$(ls "$work"/dist/orvex-config-dbgsym_*_amd64.ddeb)

# lintian: no error and no warning (overrides carry their reason).
for p in "$deb" "$ddeb"; do
    lintian --fail-on error,warning --display-level '>=warning' "$p" || problem "lintian on $p"
done
# Stripped programs, whose debug symbols the -dbgsym package holds.
dpkg-deb -x "$ddeb" "$work/dbgsym"

dpkg-deb -x "$deb" "$root"

shopt -s nullglob
for prog in "$root"/usr/bin/* "$root"/usr/lib/*/orvex-config/*.so; do
    file -L "$prog" | grep -q ', stripped' || problem "not stripped: $prog"
    id=$(readelf -n "$prog" | sed -n 's/.*Build ID: *//p')
    [ -f "$work/dbgsym/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug" ] ||
        problem "no debug symbols for $prog"
done

# Manual pages of every program, readable without groff warnings.
for prog in "$root"/usr/bin/*; do
    page="$root/usr/share/man/man1/$(basename "$prog").1.gz"
    [ -e "$page" ] || { problem "no manual page for $(basename "$prog")"; continue; }
    warnings=$(zcat "$page" | groff -wall -man -Tutf8 -z 2>&1 || true)
    warnings+=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l <(zcat "$page") 2>&1 >/dev/null || true)
    [ -z "$warnings" ] || problem "$(basename "$page"): $warnings"
done

# The unpacked virtual program, started from another folder with no other data
# folder to fall back on, finds the pictures and samples of its own prefix.
data="$root/usr/share/orvex-config"
log="$work/orvex-config-virtual.log"
(cd "$work/elsewhere" &&
    HOME="$work/home" XDG_DATA_HOME="$work/home/.local/share" XDG_DATA_DIRS="$work/no-data" \
        QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES="orvex.data.info=true" QT_MESSAGE_PATTERN="%{category}: %{message}" \
        timeout 5 "$root/usr/bin/orvex-config-virtual" >"$log" 2>&1) || true
grep -qxF "orvex.data: keypad pictures: $data/keypads" "$log" || problem "no keypad pictures: $(cat "$log")"
grep -qxF "orvex.data: sample firmware images: $data/firmware" "$log" ||
    problem "no sample images: $(cat "$log")"
for f in "$src"/resources/keypads/*.jpg "$src"/resources/firmware/samples/*.txt; do
    sub=keypads
    [[ $f == *.txt ]] && sub=firmware
    cmp -s "$f" "$data/$sub/$(basename "$f")" || problem "not packaged: $sub/$(basename "$f")"
done

# orvexctl --help, and a completion that offers every command and option it
# lists and every setting `set --help` lists.
ctl="$root/usr/bin/orvexctl"
help=$("$ctl" --help) || problem "orvexctl --help exits $?"
commands=$(echo "$help" | sed -n '/^commands:/,/^$/p' | sed -n 's/^  \([a-z-]\+\).*/\1/p')
settings=$("$ctl" set --help | sed -n 's/^  \([a-z-]\+\) .*/\1/p')
[ -n "$commands" ] && [ -n "$settings" ] || problem "cannot read the commands from --help"
completion="$root/usr/share/bash-completion/completions/orvexctl"
complete() {
    bash -c 'source /usr/share/bash-completion/bash_completion
             source "$1"
             COMP_WORDS=("${@:2}"); COMP_CWORD=$(($# - 2)); COMPREPLY=()
             COMP_LINE="${*:2}"; COMP_POINT=${#COMP_LINE}
             _orvexctl
             printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$@"
}
offered=$(complete orvexctl "")
for c in $commands; do
    grep -qx -- "$c" <<<"$offered" || problem "completion does not offer the command $c"
done
offered=$(complete orvexctl set "")
for s in $settings; do
    grep -qx -- "$s" <<<"$offered" || problem "completion does not offer the setting $s"
done
options=$(echo "$help" | sed -n '/^options:/,/^$/p' | grep -o -- '--[a-z-]\+' | sort -u)
offered=$(complete orvexctl-virtual --)
for o in $options; do
    grep -qx -- "$o" <<<"$offered" || problem "completion does not offer the option $o"
done
[ "$(complete orvexctl --serial 1234 set buzzer "" | xargs)" = "on off" ] ||
    problem "completion of the buzzer values"
[ "$(complete orvexctl set table c)" = "customise" ] || problem "completion of the table names"
[ "$(readlink -f "$root/usr/share/bash-completion/completions/orvexctl-virtual")" = \
    "$(readlink -f "$completion")" ] || problem "no completion for orvexctl-virtual"

[ "$fail" -eq 0 ] && echo "package, lintian, manual pages, unpacked programs and completion: ok"
exit "$fail"
