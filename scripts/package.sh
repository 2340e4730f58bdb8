#!/usr/bin/env bash
# Builds the Debian package zelmar_<version>_<arch>.deb from the files of this
# repository (what git tracks, plus new files not ignored) and puts it into
# OUTDIR (default: the repository folder). The build runs in a temporary copy,
# so the work tree and its build folders are left alone.
#
#   ./scripts/package.sh [--check] [OUTDIR]
#
# --check (used by scripts/test.sh) then checks the package: the files it must
# hold, the program from it running, lintian without errors, the AppStream
# entry, the menu entry and the manual page; and that installing it enables
# no service. Needs the packages of scripts/install-deps.sh.
# ZELMAR_DEB_BUILD_OPTIONS adds to DEB_BUILD_OPTIONS (scripts/test.sh asks for
# "noopt": a package built only to be checked needs no optimisation).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

check=0
if [ "${1:-}" = "--check" ]; then check=1; shift; fi
out=$(realpath -m "${1:-$root}")
mkdir -p "$out"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/zelmar"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$work/zelmar" 2>/dev/null ||
    { echo "package.sh: cannot copy the sources" >&2; exit 1; }
else
  tar --exclude='./build*' --exclude='./obj-*' --exclude='./demo' -cf - . | tar -xf - -C "$work/zelmar"
fi

jobs=$(nproc 2>/dev/null || echo 2)
# A second build of the same sources (CI, or a developer's next package)
# comes from the compiler cache when there is one.
if command -v ccache >/dev/null 2>&1; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR="$work"
fi
(cd "$work/zelmar" && DEB_BUILD_OPTIONS="nocheck parallel=$jobs ${ZELMAR_DEB_BUILD_OPTIONS:-}" dpkg-buildpackage -b -us -uc >"$work/build.log" 2>&1) || {
  tail -n 60 "$work/build.log" >&2
  echo "package.sh: dpkg-buildpackage failed" >&2
  exit 1
}
debs=("$work"/zelmar_*.deb)
[ -e "${debs[0]}" ] || { echo "package.sh: no package was built" >&2; exit 1; }
cp "${debs[@]}" "$out/"
deb="$out/$(basename "${debs[0]}")"
echo "Built $deb"
[ "$check" -eq 1 ] || exit 0

fail() { echo "package check: $*" >&2; exit 1; }

# The files a user gets.
listing=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|')
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
for f in /usr/bin/zelmar "/usr/lib/$multiarch/zelmar/zelmar-gui.so" /usr/share/applications/zelmar.desktop \
         /usr/share/icons/hicolor/scalable/apps/zelmar.svg /usr/share/icons/hicolor/48x48/apps/zelmar.png \
         /usr/share/metainfo/example.zelmar.Zelmar.metainfo.xml /usr/share/man/man1/zelmar.1.gz \
         /usr/share/bash-completion/completions/zelmar /usr/share/zelmar/samples/online.htm \
         /usr/share/zelmar/samples/offline.htm /usr/share/zelmar/samples/mail.txt \
         /usr/share/zelmar/help/index.html /usr/lib/systemd/user/zelmar.service \
         /usr/share/doc/zelmar/README.md.gz /usr/share/doc/zelmar/copyright; do
  grep -qxF "$f" <<<"$listing" || fail "$f is missing from $(basename "$deb")"
done

root_dir="$work/root"
dpkg-deb -x "$deb" "$root_dir"
version=$(dpkg-deb -f "$deb" Version)
[ "$("$root_dir/usr/bin/zelmar" --version)" = "zelmar ${version%%-*}" ] || fail "zelmar --version does not say $version"
grep -qx "ExecStart=/usr/bin/zelmar --headless --user-config" "$root_dir/usr/lib/systemd/user/zelmar.service" ||
  fail "the user unit does not start /usr/bin/zelmar"
appstreamcli validate --no-net "$root_dir/usr/share/metainfo/example.zelmar.Zelmar.metainfo.xml" >/dev/null ||
  fail "appstreamcli validate rejects the AppStream entry"
desktop-file-validate "$root_dir/usr/share/applications/zelmar.desktop" || fail "the menu entry is not valid"
warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z \
             "$root_dir/usr/share/man/man1/zelmar.1.gz" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "the manual page has warnings: $warnings"
# Installing the package enables and starts nothing: the user unit is enabled
# again only where its user had enabled it before (an upgrade), which is what
# dh_installsystemduser --no-enable writes; a fresh install takes the branch
# without any enable, and nothing is started.
dpkg-deb -e "$deb" "$work/control"
if [ -e "$work/control/postinst" ] &&
   ! awk '/debian-installed/ { guarded = 1 }
          /^[[:space:]]*else/ && guarded { bad = 1 }
          /deb-systemd-helper.*--user enable/ && !guarded { bad = 1 }
          /deb-systemd-invoke|systemctl.*start/ { bad = 1 }
          END { exit bad }' "$work/control/postinst"; then
  fail "installing the package would enable or start a unit"
fi
lintian --fail-on error --no-tag-display-limit "$deb" || fail "lintian reports errors"
echo "Package checks passed."
