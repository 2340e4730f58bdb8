#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the normal build's
# suite, the same suite again with AddressSanitizer and
# UndefinedBehaviorSanitizer, the fuzz targets under libFuzzer (Clang), each
# for its time, and the Debian package built and checked.
#
# Most of a run used to be compiling, and the suites mostly wait on their
# loopback peers. So each tree is compiled as one unit per target
# (ZELMAR_UNITY), and two lanes share the processors: one compiles the next
# tree while the other runs the suite of the tree just built. Each stage
# writes its log to build-logs/; the run ends with a table of every stage's
# wall time and processor seconds (user + system), also in
# build-logs/times.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

./scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)

# Tests talk to loopback servers only. A run in a folder without an echo page
# of its own would otherwise ask the public WAN address services: a proxy
# that refuses at once keeps every such request on this machine.
export http_proxy=http://127.0.0.1:9 https_proxy=http://127.0.0.1:9 HTTPS_PROXY=http://127.0.0.1:9
export no_proxy=127.0.0.1,localhost,::1 NO_PROXY=127.0.0.1,localhost,::1

logs="$root/build-logs"
rm -rf "$logs"
mkdir -p "$logs"
run_start=$(date +%s.%N)

# stage NAME COMMAND...: runs COMMAND with its output in build-logs/NAME.log
# and notes its wall time and the processor seconds of all it ran. A failed
# stage shows the end of its log and fails the run.
stage() {
  local name=$1 start rc=0
  shift
  start=$(date +%s.%N)
  echo "== $name: started"
  (
    rc=0
    "$@" >"$logs/$name.log" 2>&1 </dev/null || rc=$?
    # The second line of `times` (not in a pipe, which would be a subshell
    # of its own): the user and system time of this subshell's children,
    # the stage's commands.
    times >"$logs/$name.cpu"
    exit $rc
  ) || rc=$?
  local wall cpu
  wall=$(echo "$start $(date +%s.%N)" | awk '{ printf "%.0f", $2 - $1 }')
  cpu=$(awk 'NR == 2 { n = 0; for (i = 1; i <= 2; ++i) { split($i, t, /[ms]/); n += t[1] * 60 + t[2] }
                       printf "%.0f", n }' "$logs/$name.cpu" 2>/dev/null || echo "?")
  printf '%-16s %6s %8s\n' "$name" "$wall" "$cpu" >>"$logs/times.txt"
  if [ "$rc" -ne 0 ]; then
    tail -n 150 "$logs/$name.log" >&2
    echo "== $name: FAILED (build-logs/$name.log)" >&2
    return "$rc"
  fi
  echo "== $name: done in ${wall} s (${cpu} processor seconds)"
}

# in_background NAME COMMAND...: the same stage in the other lane; `finish`
# waits for it.
lane_pid=""
in_background() {
  stage "$@" &
  lane_pid=$!
}
finish() {
  [ -z "$lane_pid" ] && return 0
  local pid=$lane_pid
  lane_pid=""
  wait "$pid"
}
# A failure in one lane waits for the other (each of its steps is bounded)
# so that nothing of the run is left running.
trap 'finish || true; [ -z "${other_lane_pid:-}" ] || wait "$other_lane_pid" || true' EXIT

unity=-DZELMAR_UNITY=ON
asan_env=(env ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1)
fuzz_targets=(test_mail_fuzz test_ftp_fuzz test_wan_fuzz test_ini_fuzz)
fuzz_tests='mail_fuzz_decoders|publish_fuzz_ftp_replies|address_fuzz_wan_text|ini_fuzz_reader'

# The normal tree, then its suite while the sanitizer tree compiles.
# Line tables only (-g1): a failure's backtrace still names files and lines,
# and the compile takes about a quarter less than with full debug info.
# The tests' own code at -Og (the program's libraries stay at -O2), with the
# headers every test includes precompiled once.
stage configure cmake -S . -B build -G Ninja "$unity" -DZELMAR_PCH=ON -DZELMAR_TEST_CODE_OPT=-Og \
  -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
stage build cmake --build build -j "$jobs"
in_background suite ctest --test-dir build --output-on-failure -j "$jobs" --timeout 300

stage asan-configure cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZELMAR_SANITIZE=ON \
  -DZELMAR_BENCH=OFF -DZELMAR_PCH=ON "$unity"
stage asan-build cmake --build build-asan -j "$jobs"
finish

# The sanitizer suite, while the other lane compiles the fuzz targets (the
# mail decoders and parsers, the FTP reply reader, the WAN texts and the
# settings file reader, with their few libraries), builds and checks the
# Debian package, and runs the fuzz targets, each for its time.
in_background asan-suite "${asan_env[@]}" ctest --test-dir build-asan --output-on-failure -j "$jobs" --timeout 600
other_lane() {
  stage fuzz-configure env CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZELMAR_BENCH=OFF "$unity"
  stage fuzz-build cmake --build build-fuzz -j "$jobs" --target "${fuzz_targets[@]}"
  # The package: built (without its own test run) and checked, so that a
  # package that no longer builds or misses a file fails. The program it
  # holds is not run beyond the checks, and the optimised build was tested
  # above: here it is compiled without optimisation or debug information,
  # in less than half the time.
  stage package env ZELMAR_UNITY=ON ZELMAR_DEB_BUILD_OPTIONS="noopt" DEB_CFLAGS_APPEND=-g0 DEB_CXXFLAGS_APPEND=-g0 \
    ./scripts/package.sh --check "$root/build-deb"
  stage fuzz ctest --test-dir build-fuzz --output-on-failure -R "$fuzz_tests" -j "$jobs" --timeout 300
}
other_lane_pid=""
other_lane &
other_lane_pid=$!
finish
wait "$other_lane_pid"
other_lane_pid=""

total=$(echo "$run_start $(date +%s.%N)" | awk '{ printf "%.0f", $2 - $1 }')
{
  printf '%-16s %6s %8s\n' "stage" "wall s" "cpu s"
  cat "$logs/times.txt"
  printf '%-16s %6s\n' "whole run" "$total"
} | tee "$logs/table.txt"
echo "All tests passed."
