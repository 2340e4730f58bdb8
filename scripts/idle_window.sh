#!/bin/sh
# Measures the idle window process next to bare Qt tray programs, all in one
# run on one virtual X display with trayer as the tray host, so that the
# numbers are ratios against a peer measured under the same conditions:
#   (a) a bare Qt 6 Widgets tray program (bench_qt_tray_reference),
#   (b) the same program also linked with libcurl and OpenSSL
#       (bench_qt_tray_network_reference): the floor any program with this
#       toolkit and these libraries pays,
#   (c) zelmar started minimised to the tray with a scratch settings file
#       (no scheduled refresh, no start-up update),
#   (d) zelmar after one full refresh at start-up against loopback servers
#       started here: an address-echo page (nginx), FTP (pyftpdlib) and SMTP
#       with a login (tests/support/smtp_peer.py),
#   (e) the same zelmar after its window was brought up by a second start,
#       shown on every page and minimised back to the tray (needs xdotool
#       and openbox, started as the window manager for this part only),
#       with (f) its wake-ups while the Program Monitor page is on screen.
# For each it prints resident memory (VmRSS), proportional (Pss), private
# (Private_Clean + Private_Dirty) and anonymous memory from smaps_rollup, the
# thread count and the wake-ups (voluntary and involuntary context switches
# of all threads) during a quiet period; then zelmar's RSS and PSS as ratios
# to (b), and to (a) for a program that loads libcurl only while it fetches.
# PSS divides shared pages among every process that maps them, so it moves
# with whatever else runs on the machine; RSS and private memory do not.
# ZELMAR_IDLE_DETAIL=1 also prints zelmar's largest mappings by RSS to
# standard error. When the start minimised to the tray does not refresh, (d)
# is measured with the window shown instead, says so, and the exit status
# is 1.
#   scripts/idle_window.sh [BUILD_DIR] [SECONDS]
# SECONDS is the quiet period of each measurement (default 10). Needs Xvfb,
# trayer, nginx, python3 with pyftpdlib and aiosmtpd; runs as root or as a
# normal user; leaves nothing behind.
set -eu
build=${1:-build}
quiet=${2:-10}
case $quiet in '' | *[!0-9]*) echo "SECONDS must be a whole number: $quiet" >&2; exit 2 ;; esac
script_dir=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$script_dir")
build=$(cd "$build" && pwd)
zelmar=$build/zelmar
ref_qt=$build/bench/idle/bench_qt_tray_reference
ref_net=$build/bench/idle/bench_qt_tray_network_reference
for f in "$zelmar" "$ref_qt" "$ref_net"; do
    if [ ! -x "$f" ]; then
        echo "missing $f: build the targets zelmar bench_qt_tray_reference bench_qt_tray_network_reference" >&2
        exit 2
    fi
done
# The system's Python, which has the Debian packages pyftpdlib and aiosmtpd
# (a python3 earlier in PATH may be another one).
python=/usr/bin/python3
[ -x "$python" ] || python=$(command -v python3 || echo python3)
if ! "$python" -c 'import pyftpdlib, aiosmtpd' 2>/dev/null; then
    echo "$python lacks pyftpdlib or aiosmtpd (scripts/install-deps.sh installs them)" >&2
    exit 2
fi
for tool in Xvfb trayer nginx; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "missing $tool (scripts/install-deps.sh installs it)" >&2
        exit 2
    fi
done

warm=3        # seconds a program gets to settle before its quiet period
settle=3      # seconds after the refresh's results appeared
refresh_wait=30

work=$(mktemp -d)
pids=""       # every process started here, stopped by PID at exit

# Stops one process by PID: TERM, then KILL after five seconds.
stop_pid() {
    kill "$1" 2>/dev/null || return 0
    i=0
    while kill -0 "$1" 2>/dev/null && [ $i -lt 50 ]; do
        sleep 0.1
        i=$((i + 1))
    done
    kill -9 "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}
# shellcheck disable=SC2317 # called by the trap
cleanup() {
    for p in $pids; do stop_pid "$p"; done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP
# Output into a pipe that closed (| head) must still stop the servers.
trap 'exit 141' PIPE

# The display: Xvfb names it on the descriptor given with -displayfd.
fifo="$work/display"
mkfifo "$fifo"
Xvfb -displayfd 3 -screen 0 1366x768x24 -nolisten tcp 3>"$fifo" 2>/dev/null &
pids="$pids $!"
display=$(timeout 20 head -n 1 "$fifo" || true)
if [ -z "$display" ]; then
    echo "Xvfb did not start" >&2
    exit 1
fi
mkdir -m 700 "$work/run"

# The tray host, so that the programs' icons are embedded as on a desktop.
DISPLAY=":$display" trayer --edge bottom --align right --widthtype pixel --width 100 --height 24 \
    >/dev/null 2>&1 &
pids="$pids $!"
sleep 1

. "$root/scripts/loopback_servers.sh"

# Runs "$@" in directory $1 on the display; the PID is left in $pid.
pid=
run_dir=
start_gui() {
    dir=$1
    shift
    run_dir=$dir
    (cd "$dir" && DISPLAY=":$display" XDG_RUNTIME_DIR="$work/run" QT_QPA_PLATFORM=xcb exec "$@" \
        >"$dir/stdout.txt" 2>"$dir/stderr.txt") &
    pid=$!
    pids="$pids $pid"
}

switches() {
    total=0
    for f in /proc/"$1"/task/*/status; do
        s=$(awk '/^(non)?voluntary_ctxt_switches/ {n += $2} END {print n + 0}' "$f" 2>/dev/null || echo 0)
        total=$((total + s))
    done
    echo "$total"
}

rollup() { awk -v key="$2:" '$1 == key {print $2}' /proc/"$1"/smaps_rollup; }

printf '%-44s %8s %8s %8s %8s %7s %9s\n' program "RSS kB" "PSS kB" "priv kB" "anon kB" threads "wake-ups"
# Measures the running program $pid under the label $1, after its quiet
# period; sets rss_kb and pss_kb.
measure() {
    label=$1
    if ! kill -0 "$pid" 2>/dev/null; then
        echo "$label: the program ended early; its output:" >&2
        cat "$run_dir/stdout.txt" "$run_dir/stderr.txt" >&2 || true
        exit 1
    fi
    before=$(switches "$pid")
    sleep "$quiet"
    after=$(switches "$pid")
    rss_kb=$(awk '/^VmRSS:/ {print $2}' /proc/"$pid"/status)
    pss_kb=$(rollup "$pid" Pss)
    private_kb=$(($(rollup "$pid" Private_Clean) + $(rollup "$pid" Private_Dirty)))
    anon_kb=$(rollup "$pid" Anonymous)
    threads=$(find /proc/"$pid"/task -mindepth 1 -maxdepth 1 | wc -l)
    printf '%-44s %8s %8s %8s %8s %7s %9s\n' "$label" "$rss_kb" "$pss_kb" "$private_kb" "$anon_kb" \
        "$threads" "$((after - before))"
    if [ -n "${ZELMAR_IDLE_DETAIL:-}" ] && [ "${2:-}" = detail ]; then
        echo "== $label: largest mappings (RSS kB)" >&2
        awk '/^[0-9a-f]+-[0-9a-f]+ / {name = (NF >= 6 ? $6 : "[anon]")} /^Rss:/ {r[name] += $2}
             END {for (n in r) print r[n], n}' /proc/"$pid"/smaps | sort -rn | head -12 >&2
    fi
}
stop_current() {
    stop_pid "$pid"
    pid=
}

# (a) and (b): the references.
mkdir "$work/ref_qt" "$work/ref_net"
start_gui "$work/ref_qt" "$ref_qt"
sleep "$warm"
measure "(a) Qt tray reference"
qt_rss=$rss_kb
qt_pss=$pss_kb
stop_current
start_gui "$work/ref_net" "$ref_net"
sleep "$warm"
measure "(b) Qt tray + curl/OpenSSL reference"
ref_rss=$rss_kb
ref_pss=$pss_kb
stop_current

# (c) zelmar idle before any refresh.
mkdir "$work/idle"
cat >"$work/idle/Zelmar.ini" <<INI
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
start_gui "$work/idle" "$zelmar"
sleep "$warm"
measure "(c) zelmar idle, no refresh yet" detail
idle_rss=$rss_kb
idle_pss=$pss_kb
stop_current

# (d) zelmar after one full refresh: the servers on loopback, as
# scripts/demo.sh starts them.
full="$work/full"
mkdir -p "$full"
cp -r "$root/samples" "$full/"
start_loopback_servers "$full" "me@bench.example:bench password" || { pids="$pids $server_pids"; exit 1; }
pids="$pids $server_pids"

# Zelmar writes its first-run defaults (the FTP account the server above
# takes) in a one-shot run that only looks the addresses up; then publishing,
# the e-mail with its login and the start-up refresh are turned on.
# Only a folder without Zelmar.ini is a first run: the echo page is added
# after it.
(cd "$full" && "$zelmar" --config-dir . --once >"$full/first-run.txt" 2>&1) || true
sed -i -e "/^\[LocalSettings\]/a WANIPURL=http://127.0.0.1:$http_port/" -e "s/^FTPServer=.*/FTPServer=127.0.0.1/" -e "s/^Port=.*/Port=$ftp_port/" \
    -e "s/^EnableFTP=.*/EnableFTP=1/" -e "s/^IsLogging=.*/IsLogging=1/" -e "s/^IsMinOnStartup=.*/IsMinOnStartup=1/" \
    -e "s/^IsUpdateOnStart=.*/IsUpdateOnStart=1/" -e "s/^RefreshIntv=.*/RefreshIntv=0/" "$full/Zelmar.ini"
if ! (cd "$full" && printf 'bench password\n' | "$zelmar" --config-dir . --set-smtp-login me@bench.example \
    >"$full/login.txt" 2>&1); then
    cat "$full/login.txt" >&2
    exit 1
fi
sed -i "/^\[Preferences\]/a EnableMail=1\nEmailServer=127.0.0.1\nEmailServerPort=$smtp_port\nEmailFrom=zelmar@bench.example\nEmailTo=you@bench.example\nEmailSubject=Zelmar: my addresses\nEmailInput=samples/mail.txt\nEnableSMTPAuth=1" \
    "$full/Zelmar.ini"
for key in EnableFTP=1 IsUpdateOnStart=1 IsMinOnStartup=1 EnableMail=1; do
    if ! grep -q "^$key\$" "$full/Zelmar.ini"; then
        echo "the settings for the refresh run lack $key" >&2
        exit 1
    fi
done
# Starts zelmar for one refresh at start-up, with the window minimised to the
# tray ($1 = 1) or shown ($1 = 0), and waits until the refresh has finished:
# the message is in the mail folder and the page on the FTP server (the mail
# goes first, the upload last). Returns 1 when that took over $refresh_wait s.
refresh_run() {
    rm -f "$full"/ftp-home/* "$full"/smtp-mail/* "$full/Zelmar.log"
    sed -i "s/^IsMinOnStartup=.*/IsMinOnStartup=$1/" "$full/Zelmar.ini"
    start_gui "$full" "$zelmar"
    i=0
    while [ $i -lt $((refresh_wait * 10)) ]; do
        refresh_done && break
        sleep 0.1
        i=$((i + 1))
    done
    if ! refresh_done; then
        echo "the refresh did not finish within $refresh_wait s (mail received: $(mail_seen && echo yes || echo no), page uploaded: $([ -s "$full/ftp-home/mypage.htm" ] && echo yes || echo no))" >&2
        for f in stdout.txt stderr.txt Zelmar.log; do
            [ -s "$full/$f" ] && { echo "== $f" >&2; tail -n 20 "$full/$f" >&2; }
        done
        return 1
    fi
    sleep "$settle"
}
mail_seen() { find "$full/smtp-mail" -name '*.eml' | grep -q .; }
refresh_done() { mail_seen && [ -s "$full/ftp-home/mypage.htm" ]; }

status=0
full_label="(d) zelmar idle after one refresh"
if refresh_run 1; then
    measure "$full_label" detail
else
    # Not a number to compare: the program never refreshed. Measured instead
    # with the window shown at start, which does refresh, and said so.
    status=1
    echo "(d) not measured: the start minimised to the tray did not refresh; measuring with the window shown instead" >&2
    stop_current
    full_label="(d') zelmar after one refresh, window shown"
    refresh_run 0 || { stop_current; exit 1; }
    measure "$full_label" detail
fi
full_rss=$rss_kb
full_pss=$pss_kb

# (e) the same program after its window was used: a second start brings the
# window up, every page is shown once (Ctrl+Tab), the Program Monitor page
# is measured while it is on screen (f), and the window is minimised back to
# the tray, where it lets its pages go.
xdo() { DISPLAY=":$display" xdotool "$@" 2>/dev/null; }
used_label="(e) zelmar idle after the window was used"
used_rss=
if command -v xdotool >/dev/null 2>&1 && command -v openbox >/dev/null 2>&1; then
    # A window manager from here on: minimising is its business.
    DISPLAY=":$display" openbox >/dev/null 2>&1 &
    pids="$pids $!"
    sleep 1
    (cd "$full" && DISPLAY=":$display" XDG_RUNTIME_DIR="$work/run" QT_QPA_PLATFORM=xcb "$zelmar" --config-dir . \
        >"$full/second.txt" 2>&1) || true
    window=
    i=0
    while [ -z "$window" ] && [ $i -lt 100 ]; do
        window=$(xdo search --onlyvisible --name '^Zelmar$' | head -n 1)
        [ -n "$window" ] || sleep 0.1
        i=$((i + 1))
    done
    if [ -n "$window" ]; then
        xdo windowactivate --sync "$window" || true
        for page in 1 2 3; do xdo key --window "$window" ctrl+Tab; sleep 0.5; done
        sleep "$warm"
        measure "(f) zelmar, Program Monitor page on screen"
        for page in 4 5 6; do xdo key --window "$window" ctrl+Tab; sleep 0.5; done
        xdo windowminimize "$window"
        sleep "$warm"
        measure "$used_label" detail
        used_rss=$rss_kb
        used_pss=$pss_kb
    else
        echo "(e) not measured: the window did not come up on a second start" >&2
        status=1
    fi
else
    echo "(e) not measured: xdotool or openbox is missing (scripts/install-deps.sh installs them)" >&2
fi
stop_current

ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
echo "quiet period: $quiet s each; tray host: trayer; display: Xvfb"
echo "(c) / (b): RSS $(ratio "$idle_rss" "$ref_rss"), PSS $(ratio "$idle_pss" "$ref_pss")"
echo "${full_label%% *} / (b): RSS $(ratio "$full_rss" "$ref_rss"), PSS $(ratio "$full_pss" "$ref_pss")"
echo "against Qt alone: (c) / (a): RSS $(ratio "$idle_rss" "$qt_rss"), PSS $(ratio "$idle_pss" "$qt_pss");" \
    "${full_label%% *} / (a): RSS $(ratio "$full_rss" "$qt_rss"), PSS $(ratio "$full_pss" "$qt_pss")"
if [ -n "$used_rss" ]; then
    echo "(e) / (b): RSS $(ratio "$used_rss" "$ref_rss"), PSS $(ratio "$used_pss" "$ref_pss")"
fi
# The window's own target: at most 30 MB resident in every idle state.
for pair in "(c):$idle_rss" "${full_label%% *}:$full_rss" "(e):$used_rss"; do
    kb=${pair#*:}
    [ -n "$kb" ] || continue
    if [ "$kb" -le 30720 ]; then verdict="within"; else verdict="OVER"; fi
    echo "${pair%%:*} RSS $kb kB: $verdict the 30 MB target"
done
exit "$status"
