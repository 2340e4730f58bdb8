#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: once in the normal
# build and once more with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)

# Tests talk to loopback servers only. A run in a folder without an echo page
# of its own would otherwise ask the public WAN address services: a proxy
# that refuses at once keeps every such request on this machine.
export http_proxy=http://127.0.0.1:9 https_proxy=http://127.0.0.1:9 HTTPS_PROXY=http://127.0.0.1:9
export no_proxy=127.0.0.1,localhost,::1 NO_PROXY=127.0.0.1,localhost,::1

cmake -S . -B build -G Ninja
cmake --build build -j "$jobs"
(cd build && ctest --output-on-failure -j "$jobs" --timeout 300)

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZELMAR_SANITIZE=ON -DZELMAR_BENCH=OFF
cmake --build build-asan -j "$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
   ctest --output-on-failure -j "$jobs" --timeout 600)

# The mail decoders and parsers, the FTP reply reader, the WAN texts and the
# settings file reader under libFuzzer (Clang), each for a bounded time.
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELMAR_BENCH=OFF
cmake --build build-fuzz -j "$jobs" --target test_mail_fuzz test_ftp_fuzz test_wan_fuzz test_ini_fuzz
(cd build-fuzz && ctest --output-on-failure -R 'mail_fuzz_decoders|publish_fuzz_ftp_replies|address_fuzz_wan_text|ini_fuzz_reader' --timeout 300)

# The Debian package: built (without its own test run, in parallel) and
# checked, so that a package that no longer builds or misses a file fails.
./scripts/package.sh --check "$(pwd)/build-deb"

echo "All tests passed."
