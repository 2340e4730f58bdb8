#!/usr/bin/env bash
# Installs what is needed, builds the program, and shows in demo/ without any
# account what Zelmar does with an address: an address-echo page (nginx), an
# FTP server (pyftpdlib), an SMTP server (aiosmtpd), a DNS server (BIND 9,
# from a temp folder) and a webhook receiver are started on loopback, Zelmar
# is pointed at them, and refreshes look the addresses up, upload the status
# page, mail the addresses, update a name in DNS with a signed update, call
# the webhook, run the command hook and keep the address history; then the
# echo page's address changes and the next refresh tells all of them again.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

./scripts/install-deps.sh
cmake -S . -B build -G Ninja
# The program and its window module; the tests are not needed here.
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target zelmar

demo="$root/demo"
rm -rf "$demo"
mkdir -p "$demo"
cp -r samples "$demo/"
cd "$demo"

pids=()
dns=""
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ -z "$dns" ] || rm -rf "$dns"
}
trap cleanup EXIT

# The echo page, the FTP server (it takes the placeholder account of a first
# run) and the SMTP server (it keeps each message as smtp-mail/N.eml and wants
# the login stored below with --set-smtp-login).
. "$root/scripts/loopback_servers.sh"
start_loopback_servers "$demo" "me@demo.example:demo password" || status=$?
read -ra started <<<"$server_pids"
pids+=("${started[@]}")
[ -z "${status:-}" ] || exit "$status"

# First run: Zelmar writes its defaults, publishing still off. Only a folder
# without Zelmar.ini is a first run, so the echo page is added after it (its
# lookup through the built-in echo services may fail here: no matter).
echo "== First run: defaults written"
"$root/build/zelmar" --config-dir . --once || true
sed -i "/^\[LocalSettings\]/a WANIPURL=http://127.0.0.1:$http_port/" Zelmar.ini

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

# ---------------------------------------------------------------------------
# The other ways of telling: dynamic DNS, a webhook, the command hook and the
# address history.

# BIND 9 from a folder of its own, as the tests run it: the zone
# example.test, in which the TSIG key "demo-key" may change the addresses of
# home.example.test (its stand-in address 192.0.2.1 to begin with).
dns=$(mktemp -d)
dns_port=$(free_port)
tsig_secret=$(openssl rand -base64 32)
cat >"$dns/named.conf" <<CONF
options {
  directory "$dns";
  listen-on port $dns_port { 127.0.0.1; };
  listen-on-v6 { none; };
  pid-file "$dns/named.pid";
  session-keyfile "$dns/session.key";
  managed-keys-directory "$dns";
  recursion no;
  dnssec-validation no;
  notify no;
};
key "demo-key" { algorithm hmac-sha256; secret "$tsig_secret"; };
zone "example.test" {
  type primary;
  file "$dns/example.test.zone";
  update-policy { grant demo-key name home.example.test. A AAAA; };
};
CONF
cat >"$dns/example.test.zone" <<'ZONE'
$TTL 300
@ IN SOA ns.example.test. hostmaster.example.test. 1 3600 600 86400 300
@ IN NS ns
ns IN A 127.0.0.1
home IN A 192.0.2.1
ZONE
named_user=()
if [ "$(id -u)" -eq 0 ]; then
  # named drops to nobody, which must read the folder and write the journal.
  chmod 755 "$dns"
  chown -R nobody "$dns"
  named_user=(-u nobody)
fi
/usr/sbin/named -g -c "$dns/named.conf" "${named_user[@]}" >"$dns/named.log" 2>&1 &
pids+=($!)
ask_dns() { dig +short +time=1 +tries=1 -p "$dns_port" @127.0.0.1 "$@"; }
for _ in $(seq 100); do
  [ "$(ask_dns ns.example.test A)" = "127.0.0.1" ] && break
  sleep 0.1
done
[ "$(ask_dns ns.example.test A)" = "127.0.0.1" ] || { cat "$dns/named.log" >&2; echo "BIND did not start" >&2; exit 1; }

# The webhook receiver of the tests: it keeps every request as a JSON line.
hook_port=$(free_port)
"$loopback_python" "$root/tests/notify/webhook_receiver.py" "$hook_port" "$demo/webhook-requests.txt" \
  >"$demo/webhook-log.txt" 2>&1 &
pids+=($!)
wait_port "$hook_port"

# The echo page now answers with an address written into a file, so that
# the demo can move the computer to another address.
echo 'REMOTE_ADDR: 203.0.113.10<br>' >"$demo/nginx/address.html"
sed -i "s|^WANIPURL=.*|WANIPURL=http://127.0.0.1:$http_port/address|" Zelmar.ini
# A signed update of home.example.test, a JSON webhook, and a hook command
# (a program of one's own; here a shell saying what it was told).
cat >>Zelmar.ini <<INI
[DDNS home]
Protocol=rfc2136
Host=home.example.test
Server=127.0.0.1:$dns_port
Zone=example.test
KeyName=demo-key
[Webhook demo]
URL=http://127.0.0.1:$hook_port/zelmar
Body={"text": "WAN address now %WI (was %{old_wan})"}
INI
sed -i "/^\[Preferences\]/a OnChangeCommand=sh -c 'echo \"hook: \$ZELMAR_EVENT, WAN \$ZELMAR_OLD_WAN_IP -> \$ZELMAR_WAN_IP\"'" \
  Zelmar.ini
# The TSIG key is kept scrambled, stored as a user stores it.
printf '%s\n' "$tsig_secret" | "$root/build/zelmar" --config-dir . --set-ddns-secret home

echo
echo "== DNS before: dig home.example.test A"
ask_dns home.example.test A
for address in 203.0.113.10 198.51.100.20; do
  echo 'REMOTE_ADDR: '"$address"'<br>' >"$demo/nginx/address.html"
  echo
  echo "== Refresh with the echo page saying $address"
  "$root/build/zelmar" --config-dir . --once || echo "(exit status $?)"
  echo "== DNS now: dig home.example.test A"
  ask_dns home.example.test A
done
echo
echo "== The webhook bodies received (demo/webhook-requests.txt):"
"$loopback_python" -c '
import json, sys
for line in open(sys.argv[1]):
    r = json.loads(line)
    print(r["method"], r["path"], r["body"])' "$demo/webhook-requests.txt"
echo
echo "== The command hook's output (in demo/Zelmar.log):"
grep 'OnChangeCommand' Zelmar.log || true
echo
echo "== The address history (demo/ZelmarHistory.json):"
"$loopback_python" -m json.tool ZelmarHistory.json
echo
echo "== The page on the FTP server now:"
sed -n '/<table>/,/<\/table>/p' ftp-home/mypage.htm
echo
last_mail=$(ls smtp-mail/*.eml | sort -t/ -k2 -n | tail -n 1)
echo "== The last message the SMTP server received ($last_mail):"
cat "$last_mail"
