#!/bin/sh
# Writes one PNG per page of the main window, the first-run window, the About
# box, "Add/Remove Programs", "SMTP Authentication", the log viewer and the
# question after a failed offline publication, at 100 % and at 200 % scale,
# into build/screenshots/100/ and build/screenshots/200/, drawn on a virtual
# X display. Run after the build:  scripts/screenshots.sh [BUILD_DIR]
set -eu
build=${1:-build}
tool="$build/zelmar_screenshots"
out="$build/screenshots"
if [ ! -x "$tool" ]; then
    echo "screenshots.sh: $tool is missing; build the target zelmar_screenshots first" >&2
    exit 1
fi
mkdir -p "$out/100" "$out/200"
draw() {
    QT_SCALE_FACTOR=1 "$tool" "$out/100"
    QT_SCALE_FACTOR=2 "$tool" "$out/200"
}
if command -v Xvfb >/dev/null 2>&1; then
    # Xvfb picks a free display number and writes it to fd 3; the screen is
    # large enough for the 200 % window.
    fifo=$(mktemp -u)
    mkfifo "$fifo"
    Xvfb -displayfd 3 -screen 0 2732x1536x24 -nolisten tcp 3>"$fifo" 2>/dev/null &
    xvfb=$!
    trap 'kill $xvfb 2>/dev/null; rm -f "$fifo"' EXIT
    read -r display <"$fifo"
    export DISPLAY=":$display" QT_QPA_PLATFORM=xcb
    draw
else
    echo "screenshots.sh: Xvfb not found; drawing offscreen" >&2
    export QT_QPA_PLATFORM=offscreen
    draw
fi
