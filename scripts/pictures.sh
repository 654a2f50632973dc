#!/usr/bin/env bash
# Renders the README pictures of the music door: the caller's screen and the sysop's console
# (status bar on row 25) from one scripted remote session, with ansilove; and the web page in
# headless chromium, as the browser test leaves it (needs web/'s npm packages: scripts/install-deps.sh).
#   scripts/pictures.sh [OUTDIR]    (default docs/pictures)
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-docs/pictures}
build=${BUILD_DIR:-build/pictures}

cmake --preset dev -B "$build" >/dev/null
cmake --build "$build" -j2 --target tunecraft_pictures tunecraft zelkit-launch >/dev/null
mkdir -p "$out"
builddir=$(cd "$build" && pwd)
ZELKIT_LAUNCH=$builddir/tools/launcher/zelkit-launch ZELKIT_TUNECRAFT=$builddir/tunecraft/tunecraft \
  ZELKIT_SCREENSHOT=$(cd "$out" && pwd)/tunecraft-browser.png node --test web/acceptance/ >/dev/null
command -v ansilove >/dev/null || { echo "pictures.sh: ansilove is not installed" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/tests/tunecraft/tunecraft_pictures" "$work" >/dev/null
mkdir -p "$out"
ansilove -q -o "$out/tunecraft-caller.png" "$work/caller.ans" >/dev/null
ansilove -q -o "$out/tunecraft-console.png" "$work/console.ans" >/dev/null
ls -l "$out"/tunecraft-*.png
