#!/usr/bin/env bash
# Installs every Debian package that building, testing and the demo need.
# Safe to run again: apt-get skips what is already there. Needs root (or sudo).
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

PACKAGES=(
  # build
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libcurl4-openssl-dev libssl-dev libx11-dev
  # libFuzzer for the decoder fuzzing
  clang libclang-rt-14-dev
  # reference encoder for the mail benchmarks
  libgmime-3.0-dev
  # loopback peers for the tests and the demo
  python3 python3-pyftpdlib python3-aiosmtpd vsftpd nginx-light
  xvfb x11-utils openbox iproute2 openssl curl ca-certificates
  # the window: Qt 6, and a tray host and input tool for its end-to-end tests
  qt6-base-dev qt6-svg-dev xdotool trayer
  # libraries of the unpacked proftpd (see below)
  libhiredis0.14 libmemcached11 libmemcachedutil2 libsodium23 libsqlite3-0 libpcre2-posix3
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  # Keep apt from starting vsftpd or nginx as system daemons on ports 21 and 80:
  # the tests start their own copies on loopback high ports.
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee /usr/sbin/policy-rc.d >/dev/null
    $SUDO chmod 755 /usr/sbin/policy-rc.d
  fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends "${missing[@]}"
fi

# proftpd with mod_proxy plays a real FTP firewall in the tests. It conflicts
# with vsftpd in apt, so it is unpacked into a folder of its own instead of
# installed; the tests look for it there.
PROFTPD_DIR=/opt/zelmar-peers/proftpd
if [ ! -x "$PROFTPD_DIR/usr/sbin/proftpd" ] || [ ! -e "$PROFTPD_DIR/usr/lib/proftpd/mod_proxy.so" ]; then
  debs="$(mktemp -d)"
  download() {
    (cd "$debs" && $SUDO apt-get -q -o APT::Sandbox::User=root download proftpd-core proftpd-mod-proxy)
  }
  # A machine whose package lists were never fetched needs them first.
  download || { $SUDO apt-get update -q && download; }
  # Unpack beside the target and move it in at once, so that a test never
  # finds half a folder.
  staging="$PROFTPD_DIR.new.$$"
  $SUDO mkdir -p "$staging"
  for deb in "$debs"/*.deb; do $SUDO dpkg -x "$deb" "$staging"; done
  $SUDO rm -rf "$PROFTPD_DIR"
  $SUDO mv "$staging" "$PROFTPD_DIR"
  $SUDO rm -rf "$debs"
fi
