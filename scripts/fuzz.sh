#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz preset, clang) and runs each one found in build/fuzz/fuzz/:
#   scripts/fuzz.sh short   10 s per target (the test run)
#   scripts/fuzz.sh full    600 s per target, then the inputs it found that reach new code are merged
#                           into fuzz/corpus/<target>/ (commit them: the corpus lives in the repository)
# Seeds come from fuzz/corpus/<target>/; what a run discovers goes to build/fuzz/corpus/<target>/,
# crash inputs to build/fuzz/artifacts/. Exits non-zero when any target crashed.
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-short}" in
  short) seconds=10 ;;
  full) seconds=600 ;;
  *) echo "usage: $0 short|full" >&2; exit 2 ;;
esac

# Only the fuzz targets (and the kit they link) are built: one per fuzz/*_fuzz.cpp.
targets=()
for source in fuzz/*_fuzz.cpp; do
  [ -e "$source" ] && targets+=("$(basename "$source" .cpp)")
done
if [ ${#targets[@]} -eq 0 ]; then
  echo "no fuzz targets in fuzz/" >&2
  exit 1
fi
cmake --preset fuzz >/dev/null
cmake --build build/fuzz -j"${CMAKE_BUILD_PARALLEL_LEVEL:-2}" --target "${targets[@]}"

mkdir -p build/fuzz/artifacts
failed=()
shopt -s nullglob
for binary in build/fuzz/fuzz/*_fuzz; do
  [ -x "$binary" ] || continue
  target=$(basename "$binary")
  seeds=fuzz/corpus/$target
  work=build/fuzz/corpus/$target
  mkdir -p "$seeds" "$work"
  echo "== $target: ${seconds}s"
  if ! "$binary" "$work" "$seeds" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="build/fuzz/artifacts/$target-" -print_final_stats=1 2>"build/fuzz/$target.log"; then
    failed+=("$target")
    tail -n 40 "build/fuzz/$target.log" >&2
  fi
  grep -E '^stat::number_of_executed_units|^Done' "build/fuzz/$target.log" || true
  if [ "$seconds" -ge 600 ]; then
    # -merge=1 adds to the seeds only the inputs that cover something the seeds do not.
    "$binary" -merge=1 "$seeds" "$work" >"build/fuzz/$target.merge.log" 2>&1 || true
    echo "corpus: $(find "$seeds" -type f | wc -l) inputs in $seeds"
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz targets that failed: ${failed[*]}" >&2
  exit 1
fi
