#!/usr/bin/env bash
# Sanitizer and fuzzing runs that the ordinary test build does not do:
#   1. the threaded tests under ThreadSanitizer (preset tsan, build-tsan): the
#      device link's concurrent senders, the self test worker against the main
#      window, the firmware window's workers;
#   2. the libFuzzer targets (clang, build-fuzz): each replays its corpus and
#      fuzzes for ORVEX_FUZZ_SECONDS (default 20).
# Only the targets these need are built. Fails when any run fails.
#   scripts/reliability.sh          both
#   scripts/reliability.sh tsan     ThreadSanitizer only
#   scripts/reliability.sh fuzz     fuzzing only
# JOBS (default 2) sets build and test parallelism.
set -euo pipefail
cd "$(dirname "$0")/.."
what="${1:-all}"
jobs="${JOBS:-2}"
fuzz_seconds="${ORVEX_FUZZ_SECONDS:-20}"
started=$(date +%s)
failed=()

bash scripts/install-deps.sh

step() {
    local name="$1"
    shift
    echo "=== $name"
    if ! "$@"; then
        failed+=("$name")
    fi
}

run_tsan() {
    cmake --preset tsan >/dev/null
    cmake --build --preset tsan -j "$jobs"
    export QT_QPA_PLATFORM=offscreen
    # Any report makes the program exit non-zero (66).
    export TSAN_OPTIONS="second_deadlock_stack=1 suppressions=$PWD/tests/reliability/tsan.supp"
    local b=build-tsan/tests
    step "tsan: concurrent senders on the device link" \
        "$b/device/device_tests" --gtest_filter=ExchangeTest.ConcurrentSendersNeverInterleave \
        --gtest_repeat=20 --gtest_brief=1
    step "tsan: self test worker" "$b/selftest/selftest_tests" --gtest_brief=1
    step "tsan: firmware window workers" "$b/firmware/firmware_ui_tests" --gtest_brief=1
}

run_fuzz() {
    if [ ! -f build-fuzz/CMakeCache.txt ]; then
        CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            >/dev/null
    fi
    cmake build-fuzz -DORVEX_FUZZ_SECONDS="$fuzz_seconds" >/dev/null
    local targets
    targets=$(ctest --test-dir build-fuzz -N -L fuzz | sed -n 's/.*Test *#[0-9]*: \(.*\)_corpus$/\1/p')
    # shellcheck disable=SC2086
    cmake --build build-fuzz -j "$jobs" --target $targets
    step "fuzz: corpora and bounded runs" \
        ctest --test-dir build-fuzz -L fuzz -j "$jobs" --output-on-failure
}

case "$what" in
all)
    run_tsan
    run_fuzz
    ;;
tsan) run_tsan ;;
fuzz) run_fuzz ;;
*)
    echo "usage: $0 [all|tsan|fuzz]" >&2
    exit 2
    ;;
esac

echo "=== done in $(($(date +%s) - started)) s"
if [ ${#failed[@]} -ne 0 ]; then
    printf 'FAILED: %s\n' "${failed[@]}" >&2
    exit 1
fi
