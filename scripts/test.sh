#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test: the development build, the
# AddressSanitizer + UndefinedBehaviorSanitizer build, and a short run of each fuzz target.
# Every step runs even when an earlier one failed; the last line sums them all up as
# "N passed, M failed" (each fuzz target counts as one test; tests that cannot run here, such as
# one that needs root, are added as "K skipped"), and the exit code is non-zero when anything failed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
export CTEST_PARALLEL_LEVEL="${CTEST_PARALLEL_LEVEL:-$(nproc)}"

passed=0
failed=0
skipped=0
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

# A CTest workflow: its output stays visible; the counts come from CTest's own closing line
# ("97% tests passed, 3 tests failed out of 100"). A workflow that failed without such a line
# (configure or build) counts as one failure.
workflow() {
  local log=$logs/$1.log status=0
  cmake --workflow --preset "$1" 2>&1 | tee "$log" || status=$?
  local line
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1 || true)
  if [ -n "$line" ]; then
    local bad total
    bad=$(sed -E 's/^[0-9]+% tests passed, ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    total=$(sed -E 's/^[0-9]+% tests passed, ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
    # Tests that cannot run here (one that needs root, as an ordinary user) are listed "(Skipped)".
    local skip
    skip=$(grep -cE '^[[:space:]]*[0-9]+ - .*\(Skipped\)$' "$log" || true)
    passed=$((passed + total - bad - skip))
    failed=$((failed + bad))
    skipped=$((skipped + skip))
    if [ "$status" -ne 0 ] && [ "$bad" -eq 0 ]; then failed=$((failed + 1)); fi
  elif [ "$status" -ne 0 ]; then
    echo "test.sh: the $1 workflow failed before its tests ran" >&2
    failed=$((failed + 1))
  fi
}

workflow dev
workflow asan

# Each fuzz target is one test; fuzz.sh names the ones that failed. A failure it does not name
# (the fuzz build) fails them all.
if [ -x scripts/fuzz.sh ]; then
  targets=$(find fuzz -maxdepth 1 -name '*_fuzz.cpp' | wc -l)
  status=0
  scripts/fuzz.sh short 2>&1 | tee "$logs/fuzz.log" || status=$?
  if [ "$status" -eq 0 ]; then
    passed=$((passed + targets))
  else
    names=$(sed -n 's/^fuzz targets that failed: //p' "$logs/fuzz.log" | tail -n 1)
    bad=$(wc -w <<<"$names")
    [ "$bad" -gt 0 ] || bad=$targets
    [ "$bad" -gt 0 ] || bad=1
    passed=$((passed + targets - bad))
    failed=$((failed + bad))
  fi
fi

if ((skipped)); then echo "$passed passed, $failed failed, $skipped skipped (each says why above)"; else echo "$passed passed, $failed failed"; fi
[ "$failed" -eq 0 ]
