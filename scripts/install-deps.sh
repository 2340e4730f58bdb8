#!/usr/bin/env bash
# Installs every Debian package that building, testing and the demo need.
# Safe to run again: apt-get skips what is already there. Needs root (or sudo).
#
# It leaves nothing behind but the packages (and the unpacked proftpd below):
# no system-wide policy, no service enabled or started, no account. The test
# servers run from the tests' own temp folders on loopback.
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

PACKAGES=(
  # build
  build-essential cmake ninja-build pkg-config ccache
  # the window (ui/)
  qt6-base-dev qt6-svg-dev qt6-qpa-plugins libgl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libcurl4-openssl-dev libssl-dev libx11-dev
  # IDNA for the domains of mail addresses
  libidn2-dev
  # JSON for the webhooks and the address history
  nlohmann-json3-dev
  # libFuzzer for the decoder fuzzing
  clang libclang-rt-14-dev
  # reference encoder for the mail benchmarks
  libgmime-3.0-dev
  # loopback peers for the tests and the demo
  python3 python3-pyftpdlib python3-aiosmtpd nginx-light
  xvfb x11-utils openbox iproute2 openssl curl ca-certificates
  # the window: Qt 6, and a tray host and input tool for its end-to-end tests
  qt6-base-dev qt6-svg-dev xdotool trayer desktop-file-utils
  # a real notification daemon for the desktop notification tests (run on a
  # private session bus by the tests; nothing starts it otherwise)
  dunst
  # libraries of the unpacked proftpd (see below)
  libhiredis0.14 libmemcached11 libmemcachedutil2 libsodium23 libsqlite3-0 libpcre2-posix3
  # benchmarks side by side with other programs
  hyperfine
  # the desktop keyring: libsecret to build, and a real Secret Service on a
  # private session bus (dbus-run-session) with secret-tool for the tests, and
  # GLib for Python for a Secret Service that never answers
  libsecret-1-dev gnome-keyring libsecret-tools dbus-daemon python3-gi
  # the Debian package and its checks (scripts/package.sh)
  debhelper dpkg-dev fakeroot lintian appstream desktop-file-utils man-db groff-base
  # dynamic DNS: ldns for signed UPDATE messages, nlohmann-json for the
  # Cloudflare API, BIND 9 and nsupdate as the tests' real DNS peer, Knot
  # DNS as the second one
  libldns-dev nlohmann-json3-dev bind9 bind9-dnsutils knot
  # the status page over SFTP: OpenSSH's sshd as the tests' real peer (run by
  # the tests from a temp folder on a high loopback port)
  openssh-server
  # the WAN address from the router: UPnP IGD and NAT-PMP clients, and
  # miniupnpd as the tests' real router (started by them in a private
  # network namespace, never as the system's service)
  libminiupnpc-dev libnatpmp-dev miniupnpd
)

# Packages that bring a system service with them. The tests and the demo
# start their own copies on loopback high ports; the system's copy must not
# run or start at boot because of this script.
SERVICE_PACKAGES=(nginx-common:nginx bind9:named knot:knot openssh-server:ssh miniupnpd:miniupnpd)
# The same for user services (enabled for every user's login, globally):
# gnome-keyring and its ssh agent (gcr) are started by the tests on their own
# bus, never at a login because of this script.
USER_SERVICE_PACKAGES=("gnome-keyring:gnome-keyring-daemon.service gnome-keyring-daemon.socket"
                       "gcr:gcr-ssh-agent.service gcr-ssh-agent.socket")

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

missing=()
for p in "${PACKAGES[@]}"; do
  installed "$p" || missing+=("$p")
done
# node and npm run the npm smtp-server peer (installed by the mail tests into
# the build tree). A machine that has them from elsewhere (a vendor's nodejs
# bundles npm and conflicts with Debian's npm) keeps its own.
if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
  installed nodejs || missing+=(nodejs)
  installed npm || missing+=(npm)
fi

# Services whose package this run installs (not those already there: what
# the machine's owner set up stays as it is).
new_services=()
for entry in "${SERVICE_PACKAGES[@]}"; do
  installed "${entry%%:*}" || new_services+=("${entry#*:}")
done
new_user_units=()
for entry in "${USER_SERVICE_PACKAGES[@]}"; do
  if ! installed "${entry%%:*}"; then read -ra units <<<"${entry#*:}"; new_user_units+=("${units[@]}"); fi
done

POLICY=/usr/sbin/policy-rc.d
POLICY_MARK="# zelmar install-deps: temporary, removed when the script ends"
remove_our_policy() {
  # Only the file this script wrote: never one that was there before.
  if [ -f "$POLICY" ] && grep -qxF "$POLICY_MARK" "$POLICY"; then $SUDO rm -f "$POLICY"; fi
}

if [ "${#missing[@]}" -gt 0 ]; then
  # While apt runs, keep it from starting the services it installs. The file
  # goes again when the script ends, also on failure or interruption; a
  # policy the machine already has is used as it is and left alone.
  if [ ! -e "$POLICY" ]; then
    trap remove_our_policy EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    printf '#!/bin/sh\n%s\nexit 101\n' "$POLICY_MARK" | $SUDO tee "$POLICY" >/dev/null
    $SUDO chmod 755 "$POLICY"
  fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  # --force-unsafe-io: dpkg skips its fsync per unpacked file, for this run
  # only (nothing is configured); a machine that loses power mid-install
  # reinstalls, and the unpacking takes a fraction of the time.
  $SUDO apt-get -o DPkg::Lock::Timeout=600 -o Dpkg::Options::=--force-unsafe-io \
    install -y -q --no-install-recommends "${missing[@]}"
  remove_our_policy
fi

# apt enables a newly installed service for the next boot whatever the policy
# says: undo that, and stop it should it have started anyway.
for service in "${new_services[@]}"; do
  if command -v systemctl >/dev/null 2>&1; then
    $SUDO systemctl disable "$service.service" >/dev/null 2>&1 || true
    if [ -d /run/systemd/system ]; then $SUDO systemctl stop "$service.service" >/dev/null 2>&1 || true; fi
  fi
  if [ -x "/etc/init.d/$service" ] && command -v update-rc.d >/dev/null 2>&1; then
    $SUDO update-rc.d "$service" disable >/dev/null 2>&1 || true
    $SUDO "/etc/init.d/$service" stop >/dev/null 2>&1 || true
  fi
done

# miniupnpd brings uuid-runtime, whose uuidd socket apt enables for the next
# boot: the same for it.
if [[ " ${missing[*]} " == *" miniupnpd "* ]] && command -v systemctl >/dev/null 2>&1; then
  $SUDO systemctl disable uuidd.socket >/dev/null 2>&1 || true
fi

if [ "${#new_user_units[@]}" -gt 0 ] && command -v systemctl >/dev/null 2>&1; then
  $SUDO systemctl --global disable "${new_user_units[@]}" >/dev/null 2>&1 || true
fi

# proftpd (a real FTP server, and with mod_proxy a real FTP firewall) for the
# tests and the upload benchmark. It is unpacked into a folder of its own
# instead of installed, so that no FTP service comes with it; the tests run it
# unprivileged from their temp folders and look for it there.
PROFTPD_DIR=/opt/zelmar-peers/proftpd
# mod_tls (proftpd-mod-crypto) makes it the FTPS peer of the secure page tests.
if [ ! -x "$PROFTPD_DIR/usr/sbin/proftpd" ] || [ ! -e "$PROFTPD_DIR/usr/lib/proftpd/mod_proxy.so" ] \
   || [ ! -e "$PROFTPD_DIR/usr/lib/proftpd/mod_tls.so" ]; then
  debs="$(mktemp -d)"
  download() {
    (cd "$debs" && $SUDO apt-get -q -o APT::Sandbox::User=root download proftpd-core proftpd-mod-proxy proftpd-mod-crypto)
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
