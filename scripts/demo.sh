#!/usr/bin/env bash
# Installs what is needed, builds, and runs one full refresh in demo/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

./scripts/install-deps.sh
cmake -S . -B build -G Ninja
cmake --build build -j "$(nproc 2>/dev/null || echo 2)"

mkdir -p demo
cp -r samples demo/
cd demo
echo "== zelmar --once in $root/demo"
"$root/build/zelmar" --once
