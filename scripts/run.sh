#!/usr/bin/env bash
# Installs what building the music door needs when it is missing (a compiler and CMake), builds it
# in build/run and starts it in local mode in this terminal; extra arguments go to the door (for
# example -N5 for node 5, or /? for the usage screen).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --run
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
# The build's progress stays visible: the first build on a fresh clone takes a while.
echo "run.sh: building tunecraft in build/run ..."
cmake -S . -B build/run -DCMAKE_BUILD_TYPE=Release -DZELKIT_BUILD_TESTS=OFF >/dev/null
cmake --build build/run --target tunecraft
echo "run.sh: starting build/run/tunecraft/tunecraft $*"
exec build/run/tunecraft/tunecraft "$@"
