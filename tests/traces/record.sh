#!/bin/sh
# Re-records the session traces of this folder from the virtual keypad:
#   tests/traces/record.sh build/src/cli/orvexctl-virtual
# Each trace is one orvexctl-virtual run, recorded with --trace, from a fresh
# virtual keypad (the settings it needs first are set without recording). A
# real keypad's traces can be recorded the same way with orvexctl and dropped
# in beside these: the replay test picks up every *.jsonl here. The self-test
# run has no orvexctl command; its program records it again:
#   ORVEX_RECORD_TRACES=1 build/tests/traces/self_test_trace_tests
set -eu
program=$(realpath "${1:?usage: record.sh PATH/TO/orvexctl-virtual}")
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# record NAME [SETUP-COMMAND ;]... -- ARGS: a fresh keypad and home, the setup
# commands untraced, then ARGS traced into NAME.jsonl.
record() {
    name=$1
    shift
    rm -rf "$work/home" "$work/state"
    export XDG_DATA_HOME="$work/home" XDG_STATE_HOME="$work/home" XDG_RUNTIME_DIR="$work/home" \
        ORVEX_VIRTUAL_STATE="$work/state"
    while [ "$1" != "--" ]; do
        setup=$1
        shift
        # shellcheck disable=SC2086
        "$program" $setup >/dev/null
    done
    shift
    "$program" --trace "$name.jsonl" "$@" >/dev/null 2>&1 || true
    echo "recorded $name.jsonl ($(wc -l <"$name.jsonl") lines)"
}

record startup_status -- status
record set_led -- set led 7
record set_jack_led -- set jack-led 2
record set_buzzer -- set buzzer off
record set_buzzer_period -- set buzzer-period 6
record set_table -- set table alternate
record save_changes "set led 3" -- save
record restore_from_file "set led 9" "set buzzer off" -- restore restore.ini
record factory_reset "set led 1" -- factory-reset
record code_table_apply "set table customise" -- table set "E0:28 00:1E 00:1F 00:20 00:21 00:22 00:23 00:24 00:25 00:26"
record firmware_upgrade "set led 8" -- flash ../../resources/firmware/samples/orvex_fw_2_09.txt
