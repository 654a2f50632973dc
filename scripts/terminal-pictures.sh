#!/usr/bin/env bash
# Renders what a caller with an ordinary terminal sees: the real telnet client in an 80x25 UTF-8
# terminal (tmux) calls zelkit-launch, and the terminal's screen is drawn into a PNG.
#   docs/pictures/tunecraft-utf8-terminal.png  tunecraft at its second key wait: the music strings as
#                                              text, since the terminal does not play ANSI music
#   docs/pictures/menu-utf8-terminal.png       zelkit-launch's door menu: its code page 437 line
#                                              characters are not UTF-8, so the terminal shows other
#                                              letters for some and drops the rest
# Needs tmux, telnet (inetutils-telnet), Debian's python3-pil and fonts-dejavu-core.
#   scripts/terminal-pictures.sh [OUTDIR]    (default docs/pictures)
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-docs/pictures}
build=${BUILD_DIR:-build/pictures}
font=/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf

for tool in tmux telnet; do
  command -v "$tool" >/dev/null || { echo "terminal-pictures.sh: $tool is not installed" >&2; exit 1; }
done
/usr/bin/python3 -c 'import PIL' 2>/dev/null || { echo "terminal-pictures.sh: python3-pil is not installed" >&2; exit 1; }
[ -r "$font" ] || { echo "terminal-pictures.sh: $font is missing (fonts-dejavu-core)" >&2; exit 1; }

cmake --preset dev -B "$build" >/dev/null
cmake --build "$build" -j2 --target tunecraft zelkit-launch >/dev/null
door=$PWD/$build/tunecraft/tunecraft
launcher=$PWD/$build/tools/launcher/zelkit-launch

work=$(mktemp -d)
sock=terminal-pictures-$$
launcher_pid=
cleanup() {
  tmux -L "$sock" kill-server 2>/dev/null || true
  [ -z "$launcher_pid" ] || kill "$launcher_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Waits until the terminal shows $1 (at most 15 s).
shows() {
  for _ in $(seq 150); do
    tmux -L "$sock" capture-pane -p -t pic | grep -qF -- "$1" && return 0
    sleep 0.1
  done
  echo "terminal-pictures.sh: the terminal never showed \"$1\":" >&2
  tmux -L "$sock" capture-pane -p -t pic >&2
  return 1
}

# One call: zelkit-launch with the given doors, telnet in a fresh 80x25 UTF-8 terminal.
call() {
  (cd "$work" && exec "$launcher" --port 0 --max-calls 1 "$@" >"$work/launcher.out" 2>&1) &
  launcher_pid=$!
  local port=
  for _ in $(seq 100); do
    port=$(sed -n 's/.*listening on [0-9.]*:\([0-9]*\).*/\1/p' "$work/launcher.out" | head -n 1)
    [ -n "$port" ] && break
    sleep 0.1
  done
  [ -n "$port" ] || { cat "$work/launcher.out" >&2; return 1; }
  tmux -L "$sock" -f /dev/null new-session -d -s pic -x 80 -y 25 \
    "env LANG=C.UTF-8 LC_ALL=C.UTF-8 TERM=xterm telnet 127.0.0.1 $port; sleep 30"
}

hang_up() {
  tmux -L "$sock" kill-server 2>/dev/null || true
  wait "$launcher_pid" 2>/dev/null || true
  launcher_pid=
}

# The pane with its colours (-e) as UTF-8 text, drawn cell by cell in DejaVu Sans Mono.
render() {
  tmux -L "$sock" capture-pane -p -e -t pic >"$work/screen.txt"
  /usr/bin/python3 - "$work/screen.txt" "$1" "$font" <<'EOF'
import re, sys, unicodedata
from PIL import Image, ImageDraw, ImageFont

screen, png, fontfile = sys.argv[1:4]
palette = [(0, 0, 0), (170, 0, 0), (0, 170, 0), (170, 85, 0), (0, 0, 170), (170, 0, 170), (0, 170, 170),
           (170, 170, 170), (85, 85, 85), (255, 85, 85), (85, 255, 85), (255, 255, 85), (85, 85, 255),
           (255, 85, 255), (85, 255, 255), (255, 255, 255)]
font = ImageFont.truetype(fontfile, 16)
left, top, right, bottom = font.getbbox("M")
cw, ch = round(font.getlength("M")), 20
rows = open(screen, encoding="utf-8", errors="replace").read().split("\n")[:25]
img = Image.new("RGB", (80 * cw + 16, 25 * ch + 16), palette[0])
draw = ImageDraw.Draw(img)
for y, row in enumerate(rows):
    fg, bg, bold, x = 7, 0, False, 0
    for part in re.split(r"(\x1b\[[0-9;]*m)", row):
        if part.startswith("\x1b["):
            params = [int(p) if p else 0 for p in part[2:-1].split(";")]
            i = 0
            while i < len(params):
                p = params[i]
                if p == 0: fg, bg, bold = 7, 0, False
                elif p == 1: bold = True
                elif p == 22: bold = False
                elif 30 <= p <= 37: fg = p - 30
                elif p == 39: fg = 7
                elif 40 <= p <= 47: bg = p - 40
                elif p == 49: bg = 0
                elif 90 <= p <= 97: fg = p - 90 + 8
                elif 100 <= p <= 107: bg = p - 100 + 8
                elif p in (38, 48) and i + 2 < len(params) and params[i + 1] == 5:
                    if p == 38: fg = params[i + 2] % 16
                    else: bg = params[i + 2] % 16
                    i += 2
                i += 1
            continue
        for c in part:
            if unicodedata.combining(c) and x > 0:  # drawn over the cell before, as the terminal does
                draw.text((8 + (x - 1) * cw, 8 + y * ch + 1), c, font=font, fill=palette[fg])
                continue
            if x >= 80: break
            px, py = 8 + x * cw, 8 + y * ch
            draw.rectangle([px, py, px + cw - 1, py + ch - 1], fill=palette[bg])
            colour = palette[fg + 8 if bold and fg < 8 else fg]
            draw.text((px, py + 1), c, font=font, fill=colour)
            x += 1
img.save(png)
EOF
}

mkdir -p "$out"
cp "$door" "$work/tunecraft"

call --door "$work/tunecraft"
shows "Press any key to play some random notes"
tmux -L "$sock" send-keys -t pic a
shows "Your music has been played, press any key."
render "$out/tunecraft-utf8-terminal.png"
tmux -L "$sock" send-keys -t pic b
hang_up

call --door "music=$work/tunecraft" --door "again=$work/tunecraft"
shows "again"
render "$out/menu-utf8-terminal.png"
hang_up

ls -l "$out"/*-utf8-terminal.png
