#!/usr/bin/env bash
# Builds the door and starts it in local mode in this terminal; extra arguments go to the door.
set -euo pipefail
cd "$(dirname "$0")/.."
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
cmake --preset dev >/dev/null
cmake --build --preset dev --target tunecraft >/dev/null
exec build/dev/tunecraft/tunecraft "$@"
