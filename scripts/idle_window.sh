#!/bin/sh
# Measures the idle window process: starts zelmar minimised on a virtual X
# display with a scratch settings file (no scheduled refresh, no start-up
# update), lets it settle, then prints its resident memory and how often its
# threads woke up during a quiet period.
#   scripts/idle_window.sh [BUILD_DIR] [SECONDS]
set -eu
build=${1:-build}
quiet=${2:-10}
zelmar=$(cd "$build" && pwd)/zelmar
work=$(mktemp -d)
fifo="$work/display"
mkfifo "$fifo"
Xvfb -displayfd 3 -screen 0 1366x768x24 -nolisten tcp 3>"$fifo" 2>/dev/null &
xvfb=$!
pid=
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null
    [ -n "$tray" ] && kill "$tray" 2>/dev/null
    kill "$xvfb" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
read -r display <"$fifo"
# A tray host, when there is one, so that the minimised window lives in the
# tray as on a desktop.
tray=
if command -v trayer >/dev/null 2>&1; then
    DISPLAY=":$display" trayer --edge bottom --align right --widthtype pixel --width 100 --height 24 \
        >/dev/null 2>&1 &
    tray=$!
    sleep 1
fi
cat >"$work/Zelmar.ini" <<INI
[LocalSettings]
FTPServer=ftp.example.org
SiteName=s
UserID=u
Password=p
OnlineFile=on.htm
OfflineFile=off.htm
RemoteFile=page.htm
Port=21
WANIPURL=http://127.0.0.1:9/
[Preferences]
IsMinOnStartup=1
IsUpdateOnStart=0
RefreshIntv=0
INI
mkdir -m 700 "$work/run"
(cd "$work" && DISPLAY=":$display" XDG_RUNTIME_DIR="$work/run" QT_QPA_PLATFORM=xcb exec "$zelmar" >/dev/null 2>&1) &
pid=$!
sleep 3
switches() {
    total=0
    for f in /proc/"$pid"/task/*/status; do
        v=$(awk '/^voluntary_ctxt_switches/ {print $2}' "$f" 2>/dev/null || echo 0)
        n=$(awk '/^nonvoluntary_ctxt_switches/ {print $2}' "$f" 2>/dev/null || echo 0)
        total=$((total + v + n))
    done
    echo "$total"
}
before=$(switches)
sleep "$quiet"
if [ -n "${ZELMAR_IDLE_DETAIL:-}" ]; then awk '/^[0-9a-f]+-/ {name=$6} /^Rss:/ {r[name]+=$2} END {for (n in r) print r[n], n}' /proc/"$pid"/smaps | sort -rn | head -12 >&2; fi
after=$(switches)
rss=$(awk "/^VmRSS/ {print \$2}" /proc/"$pid"/status)
cat /proc/"$pid"/smaps_rollup | grep -E "^(Rss|Pss|Shared_Clean|Private_Dirty|Anonymous)" >&2 || true
threads=$(ls /proc/"$pid"/task | wc -l)
if [ -n "$tray" ]; then echo "tray host: trayer (window hidden in the tray)"; else echo "tray host: none (window minimised)"; fi
echo "idle RSS: $((rss / 1024)) MB ($rss kB), threads: $threads"
echo "wake-ups in ${quiet} s idle: $((after - before))"
