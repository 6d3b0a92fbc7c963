#!/usr/bin/env bash
# scripts/run.sh builds the program it starts and nothing else: run in a copy
# of the scripts with a cmake that only records what it is asked and a
# stand-in for the program.
set -euo pipefail
source_dir="$1"
work="$2"
rm -rf "$work"
mkdir -p "$work/repo/scripts" "$work/bin" "$work/repo/build/src/ui/main" "$work/repo/build/tools"
cp "$source_dir/scripts/run.sh" "$work/repo/scripts/"
printf '#!/usr/bin/env bash\nexit 0\n' >"$work/repo/scripts/install-deps.sh"
cat >"$work/bin/cmake" <<STUB
#!/usr/bin/env bash
echo "\$*" >>"$work/cmake.log"
if [ "\$*" = "--build --preset default --target help" ]; then
    echo "orvex-config-virtual: phony"
    echo "cli_tests: phony"
fi
STUB
for program in src/ui/main/orvex-config-virtual tools/orvex-status-virtual; do
    printf '#!/usr/bin/env bash\necho started %s\n' "$program" >"$work/repo/build/$program"
done
chmod +x "$work/bin/cmake" "$work/repo/build/src/ui/main/orvex-config-virtual" \
    "$work/repo/build/tools/orvex-status-virtual"

out=$(PATH="$work/bin:$PATH" bash "$work/repo/scripts/run.sh")
fail=0
if [ "$out" != "started src/ui/main/orvex-config-virtual" ]; then
    echo "run.sh started: $out"
    fail=1
fi
builds=$(grep -e '--build' "$work/cmake.log" | grep -v -e '--target help' || true)
if [ "$builds" != "--build --preset default --target orvex-config-virtual" ]; then
    echo "run.sh built more than the window:"
    echo "$builds"
    fail=1
fi
exit $fail
