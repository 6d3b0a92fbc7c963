#!/usr/bin/env bash
# Installs what is missing, builds, and starts the utility on the virtual keypad.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
if [ -x build/src/ui/main/orvex-config-virtual ]; then
    exec build/src/ui/main/orvex-config-virtual
fi
exec build/tools/orvex-status-virtual
