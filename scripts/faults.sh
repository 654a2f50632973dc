#!/usr/bin/env bash
# The fault suite (tests/faults/zelkit-faults) against the development build:
#   scripts/faults.sh short              the bounded run (the one CTest runs), then its table
#   scripts/faults.sh full [--no-fuzz]   more repetitions, every byte value, 10 MB floods, 50 callers;
#                                        then every test of the build, the test binaries and tunecraft
#                                        runs under valgrind memcheck, and scripts/fuzz.sh full
# Builds in build/faults. Prints Markdown tables; exits non-zero when anything failed.
set -uo pipefail
cd "$(dirname "$0")/.."

mode=${1:-short}
shift || true
fuzz=1
for arg in "$@"; do
  case "$arg" in
    --no-fuzz) fuzz=0 ;;
    *) echo "usage: $0 short|full [--no-fuzz]" >&2; exit 2 ;;
  esac
done
case "$mode" in short|full) ;; *) echo "usage: $0 short|full [--no-fuzz]" >&2; exit 2 ;; esac

build=build/faults
jobs=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
cmake --preset dev -B "$build" >/dev/null || exit 1
cmake --build "$build" -j"$jobs" >/dev/null || { cmake --build "$build" -j1; exit 1; }

status=0
faults="$build/tests/faults/zelkit-faults"
echo "## Fault suite ($mode)"
"$faults" --"$mode" 2>"$build/faults-$mode.err" | tee "$build/faults-$mode.md" || status=1

if [ "$mode" = full ]; then
  echo
  echo "## Every test of the development build"
  if ctest --test-dir "$build" -j"$jobs" --output-on-failure >"$build/ctest.log" 2>&1; then
    tail -n 3 "$build/ctest.log"
  else
    status=1
    grep -E 'tests passed|\(Failed\)|\(Timeout\)|\*\*\*' "$build/ctest.log" | tail -n 20
  fi

  echo
  echo "## valgrind memcheck"
  echo "| Program | Result |"
  echo "|---|---|"
  vg=(valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect --quiet)
  while IFS= read -r binary; do
    name=$(basename "$binary")
    if "${vg[@]}" --log-file="$build/valgrind-$name.log" "$binary" >"$build/valgrind-$name.out" 2>&1; then
      echo "| $name (all tests) | clean |"
    else
      echo "| $name (all tests) | FAILED, see $build/valgrind-$name.log |"
      status=1
    fi
  done < <(find "$build/tests" -maxdepth 2 -type f -perm -u+x -name '*_test' | sort)
  # tunecraft itself under memcheck, driven through whole sessions, hang-ups, signals and hostile input:
  # a memcheck error turns into exit code 1, which the suite reports as a failed case.
  wrapper="$build/tunecraft-valgrind.sh"
  cat >"$wrapper" <<WRAP
#!/bin/sh
exec valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect --quiet \
  --log-file="$PWD/$build/valgrind-tunecraft.%p.log" "$PWD/$build/tunecraft/tunecraft" "\$@"
WRAP
  chmod +x "$wrapper"
  for only in "hangs up" "Telnet" "Unfinished" "Log" "Hostile drop"; do
    if "$faults" --short --jobs 2 --no-rss --tunecraft "$PWD/$wrapper" --only "$only" >"$build/valgrind-faults-${only// /-}.md" 2>&1; then
      echo "| tunecraft: $only (fault suite, short) | clean |"
    else
      echo "| tunecraft: $only (fault suite, short) | FAILED, see $build/valgrind-faults-${only// /-}.md |"
      status=1
    fi
  done

  if [ "$fuzz" = 1 ]; then
    echo
    echo "## Fuzzing (scripts/fuzz.sh full)"
    scripts/fuzz.sh full || status=1
  fi
fi
exit $status
