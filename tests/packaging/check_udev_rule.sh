#!/usr/bin/env bash
# The udev rule as udev itself applies it: udevadm test on hidraw nodes of
# emulated devices (umockdev), with no rule loaded but ours. Only the keypad's
# command interface (interface 1 of 2047:09bf) and the bootstrap loader
# (2047:0200) may get the uaccess tag; the keypad's keyboard (interface 0) and
# other devices must not.
#   check_udev_rule.sh <rule file> <work dir>
# Needs root (a private mount namespace hides the system's rules), udevadm and
# umockdev-run; exits 77 (skipped) without them.
set -euo pipefail
rule="$(realpath "$1")"
work="$2"
if [ "$(id -u)" -ne 0 ] || ! command -v udevadm >/dev/null || ! command -v umockdev-run >/dev/null ||
    ! unshare -m true 2>/dev/null; then
    echo "skipped: needs root, udevadm, umockdev-run and mount namespaces"
    exit 77
fi
rm -rf "$work"
mkdir -p "$work/rules" "$work/empty"
work="$(realpath "$work")"
cp "$rule" "$work/rules/70-orvex-keypad.rules"

# One USB device with its interfaces, each with a HID device and its hidraw
# node, written as umockdev-record does (parents first).
#   device <usb name> <vid> <pid> <interface>...
device() {
    local usb="/devices/pci0000:00/0000:00:14.0/usb1/$1" vid=$2 pid=$3
    shift 3
    printf 'P: %s\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: idVendor=%s\nA: idProduct=%s\n\n' \
        "$usb" "$vid" "$pid"
    local n
    for n in "$@"; do
        local intf="$usb/${usb##*/}:1.$n" hid
        hid="$intf/0003:${vid^^}:${pid^^}.000$((++hids))"
        printf 'P: %s\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceNumber=%02x\n' \
            "$intf" "$n"
        printf 'A: modalias=usb:v%sp%sd0207dc00dsc00dp00ic03isc00ip00in%02X\n\n' "${vid^^}" \
            "${pid^^}" "$n"
        printf 'P: %s\nE: SUBSYSTEM=hid\n\n' "$hid"
        printf 'P: %s/hidraw/hidraw%d\nN: hidraw%d\nE: SUBSYSTEM=hidraw\nE: DEVNAME=/dev/hidraw%d\n\n' \
            "$hid" "$nodes" "$nodes" "$nodes"
        nodes=$((nodes + 1))
    done
}
hids=0
nodes=0
{
    device 1-1 2047 09bf 0 1 # keypad: hidraw0 keyboard, hidraw1 commands
    device 1-2 2047 0200 0   # bootstrap loader: hidraw2
    device 1-3 2047 09be 0 1 # another device of the vendor: hidraw3, hidraw4
    device 1-4 046d 09bf 1   # another vendor's 09bf, interface 1: hidraw5
} >"$work/devices.umockdev"
want=(no yes yes no no no)

# In a private mount namespace the system's rules folders hold only our rule,
# and udev's database (which udevadm test reads and writes) is a fresh one.
# shellcheck disable=SC2016
unshare -m bash -c '
    set -e
    mount -t tmpfs orvex-udev-test /run
    mount --bind "$1/rules" /etc/udev/rules.d
    for d in /usr/lib/udev/rules.d /lib/udev/rules.d /usr/local/lib/udev/rules.d; do
        [ -d "$d" ] && mount --bind "$1/empty" "$d"
    done
    umockdev-run --device "$1/devices.umockdev" -- bash -c "
        for n in 0 1 2 3 4 5; do
            udevadm test --action=add /sys/class/hidraw/hidraw\$n >\"$1/hidraw\$n.log\" 2>&1 || echo failed >>\"$1/hidraw\$n.log\"
        done"' _ "$work"

fail=0
for n in "${!want[@]}"; do
    log="$work/hidraw$n.log"
    if ! grep -q "70-orvex-keypad.rules" "$log" || grep -q '^failed$' "$log"; then
        echo "hidraw$n: udevadm test failed or did not read the rule:"
        cat "$log"
        fail=1
        continue
    fi
    if grep -q '^TAGS=.*:uaccess:' "$log"; then got=yes; else got=no; fi
    [ "$got" = "${want[$n]}" ] || { echo "hidraw$n: uaccess $got, expected ${want[$n]}"; fail=1; }
done
[ "$fail" -eq 0 ] && echo "udev rule: only the keypad's command interface and the loader get uaccess"
exit "$fail"
