#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test: the development build, the
# AddressSanitizer + UndefinedBehaviorSanitizer build, and a short run of each fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
export CTEST_PARALLEL_LEVEL="${CTEST_PARALLEL_LEVEL:-$(nproc)}"
cmake --workflow --preset dev
cmake --workflow --preset asan
if [ -x scripts/fuzz.sh ]; then
  scripts/fuzz.sh short
fi
