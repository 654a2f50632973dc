#!/usr/bin/env bash
# Installs what building the music door needs when it is missing (a compiler, CMake and two small
# libraries the project's configuration looks for), builds it in build/run and starts it in local
# mode in this terminal; extra arguments go to the door (for example -N5 for node 5, or /? for the
# usage screen).
set -euo pipefail
cd "$(dirname "$0")/.."

# Runs a set-up step with its output shown as it comes; while the step is silent (package lists,
# downloads, a long compile), a dot every 2 s shows it is still at work.
step() {
  local line dots=0 status
  "$@" 2>&1 | while :; do
    if IFS= read -r -t 2 line; then
      ((dots)) && echo
      dots=0
      printf '%s\n' "$line"
    else
      status=$?
      ((status > 128)) || { ((dots)) && echo; [ -z "$line" ] || printf '%s\n' "$line"; break; }
      # A line still being written when the wait ran out is shown as far as it has come.
      [ -z "$line" ] || { ((dots)) && echo; printf '%s' "$line"; }
      printf '.'
      dots=1
    fi
  done
}

step scripts/install-deps.sh --run
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
echo "run.sh: building tunecraft in build/run ..."
configure() { cmake -S . -B build/run -DCMAKE_BUILD_TYPE=Release -DZELKIT_BUILD_TESTS=OFF >/dev/null; }
step configure
step cmake --build build/run --target tunecraft
echo "run.sh: starting build/run/tunecraft/tunecraft $*"
exec build/run/tunecraft/tunecraft "$@"
