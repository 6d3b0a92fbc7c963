#!/usr/bin/env bash
# Installs what is missing, builds and runs every test.
#   scripts/test.sh           the whole suite under AddressSanitizer and
#                             UndefinedBehaviorSanitizer (preset asan), then the
#                             ThreadSanitizer and fuzzing runs (scripts/reliability.sh)
#   scripts/test.sh default   the whole suite in a plain build only
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-asan}"
bash scripts/install-deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
export QT_QPA_PLATFORM=offscreen
ctest --preset "$preset" -j "$(nproc)"
if [ "$preset" = "asan" ]; then
    bash scripts/reliability.sh
fi
