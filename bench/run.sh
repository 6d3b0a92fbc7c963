#!/usr/bin/env bash
# Builds orvex-bench in a Release build folder (build-bench unless
# ORVEX_BENCH_BUILD names another) and runs it; other arguments go to
# orvex-bench. With --update the report also replaces the last run in
# BENCHMARKS.md (only when every measurement succeeded).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${ORVEX_BENCH_BUILD:-build-bench}
jobs=${ORVEX_BENCH_JOBS:-$(nproc)}
update=0
args=()
for a in "$@"; do
    if [ "$a" = --update ]; then update=1; else args+=("$a"); fi
done

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release
fi
cmake --build "$build" -j"$jobs" --target orvex-bench

report=$(mktemp)
trap 'rm -f "$report"' EXIT
status=0
"$build/bench/orvex-bench" "${args[@]}" | tee "$report" || status=$?

if [ "$update" = 1 ]; then
    if [ "$status" != 0 ]; then
        echo "run.sh: a measurement failed; BENCHMARKS.md left as it was" >&2
    else
        # The report's headings move one level down under "Last run".
        python3 - "$report" <<'PY'
import re, sys
doc = open("BENCHMARKS.md").read()
run = re.sub(r"^#", "##", open(sys.argv[1]).read(), flags=re.M).strip()
begin, end = "<!-- last run: begin -->", "<!-- last run: end -->"
head, rest = doc.split(begin, 1)
_, tail = rest.split(end, 1)
open("BENCHMARKS.md", "w").write(head + begin + "\n\n" + run + "\n\n" + end + tail)
PY
        echo "run.sh: BENCHMARKS.md updated" >&2
    fi
fi
exit "$status"
