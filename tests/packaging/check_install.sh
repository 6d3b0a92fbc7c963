#!/usr/bin/env bash
# Installs the build into a staging folder and checks the installed tree, the
# desktop entry, the metainfo and the .deb built from it.
#   check_install.sh <build dir> <work dir>
set -euo pipefail
build="$1"
work="$2"
rm -rf "$work"
mkdir -p "$work"
stage="$work/stage"

DESTDIR="$stage" cmake --install "$build" --prefix /usr >/dev/null

fail=0
expect() {
    if [ ! -e "$stage$1" ]; then
        echo "missing: $1"
        fail=1
    fi
}
expect /usr/bin/orvex-config
expect /usr/bin/orvex-config-virtual
expect /usr/share/applications/orvex-config.desktop
expect /usr/share/metainfo/com.halden_interface.OrvexConfig.metainfo.xml
expect /usr/share/icons/hicolor/scalable/apps/orvex-config.svg
expect /usr/share/icons/hicolor/128x128/apps/orvex-config.png
rules=$(find "$stage" -name 70-orvex-keypad.rules)
if [ -z "$rules" ]; then
    echo "missing: udev rule"
    fail=1
else
    case "$rules" in
        */udev/rules.d/70-orvex-keypad.rules) ;;
        *) echo "udev rule in an unexpected place: $rules"; fail=1 ;;
    esac
    # Two rules, each giving uaccess: the keypad's command interface (interface
    # 1 only, never its keyboard) and the loader. check_udev_rule.sh runs them
    # through udev itself.
    if grep -v '^#' "$rules" | grep -v '^$' |
        grep -vqE '(ATTRS\{modalias\}=="usb:v2047p09BF\*in01"|ATTRS\{idVendor\}=="2047", ATTRS\{idProduct\}=="0200"), TAG\+="uaccess"$'; then
        echo "udev rule matches more than our devices"
        fail=1
    fi
    [ "$(grep -c 'TAG+="uaccess"' "$rules")" -eq 2 ] || { echo "udev rule count"; fail=1; }
fi
# The audio plugin, where the installed programs look for it (../lib*/orvex-config).
case "$(find "$stage" -name orvex-audio.so)" in
    "$stage"/usr/lib*/orvex-config/orvex-audio.so) ;;
    *) echo "audio plugin missing or misplaced"; fail=1 ;;
esac
# Pictures and sample images the program ships are installed where it looks.
src="$(cd "$(dirname "$0")/../.." && pwd)/resources"
for f in "$src"/keypads/*.jpg "$src"/firmware/samples/*.txt; do
    [ -e "$f" ] || continue
    name=$(basename "$f")
    [ -n "$(find "$stage/usr/share/orvex-config" -name "$name")" ] || { echo "not installed: $name"; fail=1; }
done

# Every program answers --version and --help at once, without a display, a
# keypad or a data folder.
for prog in orvex-config orvex-config-virtual orvexctl orvexctl-virtual; do
    run() {
        env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM HOME="$work/home" \
            XDG_DATA_HOME="$work/home/data" timeout 30 "$stage/usr/bin/$prog" "$@" 2>&1
    }
    out=$(run --version) || { echo "$prog --version exits $?: $out"; fail=1; }
    [[ $out =~ ^$prog\ [0-9]+\.[0-9]+$ ]] || { echo "$prog --version printed: $out"; fail=1; }
    out=$(run --help) || { echo "$prog --help exits $?: $out"; fail=1; }
    grep -q '^usage: orvex' <<<"$out" && grep -q -- '--version' <<<"$out" ||
        { echo "$prog --help printed: $out"; fail=1; }
done
[ ! -e "$work/home" ] || { echo "--version or --help wrote into the data folder"; fail=1; }

# The completion sourced alone, without the bash-completion package loaded.
completion="$stage/usr/share/bash-completion/completions/orvexctl"
alone() {
    bash --norc --noprofile -c 'source "$1" || exit 1
        COMP_WORDS=("${@:2}"); COMP_CWORD=$(($# - 2)); COMPREPLY=()
        _orvexctl || exit 1
        echo "${COMPREPLY[*]}"' _ "$completion" "$@" 2>&1
}
[ "$(alone orvexctl set buzzer "")" = "on off" ] || { echo "completion alone: $(alone orvexctl set buzzer "")"; fail=1; }
[[ " $(alone orvexctl "") " == *" factory-reset "* ]] || { echo "completion alone: no commands"; fail=1; }
[[ " $(alone orvexctl --ver) " == " --version " ]] || { echo "completion alone: no --version"; fail=1; }
mkdir -p "$work/images" && touch "$work/images/orvex_fw.txt"
for command in flash resume; do
    got=$(cd "$work/images" && alone orvexctl "$command" "")
    [ "$got" = "orvex_fw.txt" ] || { echo "completion alone, $command: $got"; fail=1; }
done

desktop-file-validate "$stage/usr/share/applications/orvex-config.desktop"
appstreamcli validate --no-net --explain \
    "$stage/usr/share/metainfo/com.halden_interface.OrvexConfig.metainfo.xml" >/dev/null

(cd "$work" && cpack --config "$build/CPackConfig.cmake" -B "$work/deb" >/dev/null)
deb=$(ls "$work"/deb/*.deb)
contents=$(dpkg-deb --contents "$deb")
for f in ./usr/bin/orvex-config ./usr/share/applications/orvex-config.desktop orvex-audio.so \
         70-orvex-keypad.rules ./usr/share/icons/hicolor/scalable/apps/orvex-config.svg; do
    grep -q -- "$f" <<<"$contents" || { echo "not in the package: $f"; fail=1; }
done
depends=$(dpkg-deb --field "$deb" Depends)
for lib in libhidapi-hidraw0 libqt6widgets6 libqt6multimedia6; do
    grep -q "$lib" <<<"$depends" || { echo "package does not depend on $lib: $depends"; fail=1; }
done
dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -q postinst || { echo "no postinst"; fail=1; }

[ "$fail" -eq 0 ] && echo "install tree, validators and package: ok"
exit "$fail"
