#!/usr/bin/env bash
# Installs what is missing, builds the program it starts (not the tests) and
# starts the utility on the virtual keypad. `./scripts/test.sh` builds
# everything.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default >/dev/null
# Without Qt the windows are not configured; the status tool stands in.
# (The list is read whole first: grep -q leaving early would fail the pipe.)
targets=$(cmake --build --preset default --target help)
if grep -q '^orvex-config-virtual:' <<<"$targets"; then
    cmake --build --preset default --target orvex-config-virtual
    exec build/src/ui/main/orvex-config-virtual
fi
cmake --build --preset default --target orvex-status-virtual
exec build/tools/orvex-status-virtual
