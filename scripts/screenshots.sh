#!/bin/sh
# Writes one PNG per page of the main window, the About box, "Add/Remove
# Programs" and "SMTP Authentication" into build/screenshots/, drawn on a
# virtual X display. Run after the build:  scripts/screenshots.sh [BUILD_DIR]
set -eu
build=${1:-build}
tool="$build/zelmar_screenshots"
out="$build/screenshots"
if [ ! -x "$tool" ]; then
    echo "screenshots.sh: $tool is missing; build the target zelmar_screenshots first" >&2
    exit 1
fi
mkdir -p "$out"
if command -v Xvfb >/dev/null 2>&1; then
    # Xvfb picks a free display number and writes it to fd 3.
    fifo=$(mktemp -u)
    mkfifo "$fifo"
    Xvfb -displayfd 3 -screen 0 1366x768x24 -nolisten tcp 3>"$fifo" 2>/dev/null &
    xvfb=$!
    trap 'kill $xvfb 2>/dev/null; rm -f "$fifo"' EXIT
    read -r display <"$fifo"
    DISPLAY=":$display" QT_QPA_PLATFORM=xcb "$tool" "$out"
else
    echo "screenshots.sh: Xvfb not found; drawing offscreen" >&2
    QT_QPA_PLATFORM=offscreen "$tool" "$out"
fi
