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
mkdir -p "$demo/ftp-home" "$demo/nginx" "$demo/smtp-mail"
cp -r samples "$demo/"
cd "$demo"

free_port() { /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() {
  for _ in $(seq 100); do
    /usr/bin/python3 -c "import socket,sys; socket.create_connection(('127.0.0.1',$1),0.2)" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "server on port $1 did not start" >&2; return 1
}

pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT

# The echo page: the caller's address between the default delimiters.
http_port=$(free_port)
cat > nginx/nginx.conf <<CONF
daemon off;
pid $demo/nginx/nginx.pid;
error_log stderr;
events {}
http {
  access_log off;
  client_body_temp_path $demo/nginx;
  proxy_temp_path $demo/nginx;
  fastcgi_temp_path $demo/nginx;
  uwsgi_temp_path $demo/nginx;
  scgi_temp_path $demo/nginx;
  server {
    listen 127.0.0.1:$http_port;
    location / { default_type text/html; return 200 "REMOTE_ADDR: \$remote_addr<br>"; }
  }
}
CONF
nginx -e stderr -p "$demo/nginx" -c "$demo/nginx/nginx.conf" 2>nginx/log.txt &
pids+=($!)

# The FTP server takes the placeholder account of a first run.
ftp_port=$(free_port)
/usr/bin/python3 - "$ftp_port" "$demo/ftp-home" >ftp-log.txt 2>&1 <<'PY' &
import sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
port, home = int(sys.argv[1]), sys.argv[2]
auth = DummyAuthorizer()
auth.add_user("myname", "yourpw", home, perm="elradfmwMT")
FTPHandler.authorizer = auth
FTPHandler.passive_ports = range(port + 1, port + 20)
FTPServer(("127.0.0.1", port), FTPHandler).serve_forever()
PY
pids+=($!)

# The SMTP server keeps each message it receives as smtp-mail/N.eml and
# wants a login (the one stored below with --set-smtp-login).
smtp_port=$(free_port)
/usr/bin/python3 "$root/tests/support/smtp_peer.py" "$smtp_port" "$demo/smtp-mail" \
  --login "me@demo.example:demo password" >smtp-log.txt 2>&1 &
pids+=($!)
wait_port "$http_port"
wait_port "$ftp_port"
wait_port "$smtp_port"

# First run: Zelmar writes its defaults (keeping the echo page given here)
# and refreshes with publishing still off.
cat > Zelmar.ini <<INI
[LocalSettings]
WANIPURL=http://127.0.0.1:$http_port/
INI
echo "== First run: defaults written, addresses looked up"
"$root/build/zelmar" --once

# Point the site at the loopback FTP server and turn publishing and the log on.
sed -i -e "s/^FTPServer=.*/FTPServer=127.0.0.1/" -e "s/^Port=.*/Port=$ftp_port/" \
       -e "s/^EnableFTP=.*/EnableFTP=1/" -e "s/^IsLogging=.*/IsLogging=1/" Zelmar.ini
# The SMTP login, stored as the login dialog stores it (password scrambled),
# and the notification e-mail turned on.
printf 'demo password\n' | "$root/build/zelmar" --set-smtp-login me@demo.example
sed -i "/^\[Preferences\]/a EnableMail=1\nEmailServer=127.0.0.1\nEmailServerPort=$smtp_port\nEmailFrom=zelmar@demo.example\nEmailTo=you@demo.example; friend@demo.example\nEmailSubject=Zelmar: my addresses\nEmailInput=samples/mail.txt\nEnableSMTPAuth=1" Zelmar.ini
echo
echo "== Full refresh: echo page, e-mail, FTP upload"
"$root/build/zelmar" --once
echo
echo "== The page on the FTP server (demo/ftp-home/mypage.htm):"
sed -n '/<table>/,/<\/table>/p' ftp-home/mypage.htm
echo
echo "== The message the SMTP server received (demo/smtp-mail/1.eml):"
cat smtp-mail/1.eml
echo
echo "== demo/Zelmar.log:"
cat Zelmar.log
