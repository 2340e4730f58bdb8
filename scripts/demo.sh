#!/usr/bin/env bash
# Installs what is needed, builds, and shows a full refresh in demo/ without
# any account: an address-echo page (nginx), an FTP server (pyftpdlib) and an
# SMTP server (aiosmtpd) are started on loopback, Zelmar is pointed at them,
# and one refresh looks the addresses up, mails them and uploads the status
# page.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

./scripts/install-deps.sh
cmake -S . -B build -G Ninja
cmake --build build -j "$(nproc 2>/dev/null || echo 2)"

demo="$root/demo"
rm -rf "$demo"
mkdir -p "$demo"
cp -r samples "$demo/"
cd "$demo"

pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT

# The echo page, the FTP server (it takes the placeholder account of a first
# run) and the SMTP server (it keeps each message as smtp-mail/N.eml and wants
# the login stored below with --set-smtp-login).
. "$root/scripts/loopback_servers.sh"
start_loopback_servers "$demo" "me@demo.example:demo password" || status=$?
read -ra started <<<"$server_pids"
pids+=("${started[@]}")
[ -z "${status:-}" ] || exit "$status"

# First run: Zelmar writes its defaults (keeping the echo page given here)
# and refreshes with publishing still off.
cat > Zelmar.ini <<INI
[LocalSettings]
WANIPURL=http://127.0.0.1:$http_port/
INI
echo "== First run: defaults written, addresses looked up"
"$root/build/zelmar" --config-dir . --once

# Point the site at the loopback FTP server and turn publishing and the log on.
sed -i -e "s/^FTPServer=.*/FTPServer=127.0.0.1/" -e "s/^Port=.*/Port=$ftp_port/" \
       -e "s/^EnableFTP=.*/EnableFTP=1/" -e "s/^IsLogging=.*/IsLogging=1/" Zelmar.ini
# The SMTP login, stored as the login dialog stores it (password scrambled),
# and the notification e-mail turned on.
printf 'demo password\n' | "$root/build/zelmar" --config-dir . --set-smtp-login me@demo.example
sed -i "/^\[Preferences\]/a EnableMail=1\nEmailServer=127.0.0.1\nEmailServerPort=$smtp_port\nEmailFrom=zelmar@demo.example\nEmailTo=you@demo.example; friend@demo.example\nEmailSubject=Zelmar: my addresses\nEmailInput=samples/mail.txt\nEnableSMTPAuth=1" Zelmar.ini
echo
echo "== Full refresh: echo page, e-mail, FTP upload"
"$root/build/zelmar" --config-dir . --once
echo
echo "== The page on the FTP server (demo/ftp-home/mypage.htm):"
sed -n '/<table>/,/<\/table>/p' ftp-home/mypage.htm
echo
echo "== The message the SMTP server received (demo/smtp-mail/1.eml):"
cat smtp-mail/1.eml
echo
echo "== demo/Zelmar.log:"
cat Zelmar.log
