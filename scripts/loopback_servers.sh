# shellcheck shell=sh
# Sourced (POSIX sh) by the scripts that show or measure a full refresh: the
# three servers a refresh talks to, on 127.0.0.1 and unprivileged, with their
# files in a folder of the caller's. The caller sets $root to the checkout.
#
#   start_loopback_servers DIR SMTP_LOGIN
#     DIR/nginx      an address-echo page (nginx): "REMOTE_ADDR: <addr><br>",
#                    and at /address the file DIR/nginx/address.html
#     DIR/ftp-home   an FTP server (pyftpdlib) taking the first-run account
#                    myname / yourpw
#     DIR/smtp-mail  an SMTP server (tests/support/smtp_peer.py) that wants
#                    the login SMTP_LOGIN ("user:password") and keeps each
#                    message as N.eml
#   Sets http_port, ftp_port and smtp_port, and server_pids (the PIDs to
#   stop); returns 1, after showing the servers' logs, when one did not start.

loopback_python=/usr/bin/python3
[ -x "$loopback_python" ] || loopback_python=$(command -v python3 || echo python3)

free_port() {
    "$loopback_python" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

wait_port() {
    for _ in $(seq 100); do
        "$loopback_python" -c "import socket; socket.create_connection(('127.0.0.1',$1),0.2)" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "server on port $1 did not start" >&2
    return 1
}

start_loopback_servers() {
    dir=$1
    server_pids=""
    mkdir -p "$dir/ftp-home" "$dir/nginx" "$dir/smtp-mail"

    http_port=$(free_port)
    cat >"$dir/nginx/nginx.conf" <<CONF
daemon off;
pid $dir/nginx/nginx.pid;
error_log stderr;
events {}
http {
  access_log off;
  client_body_temp_path $dir/nginx;
  proxy_temp_path $dir/nginx;
  fastcgi_temp_path $dir/nginx;
  uwsgi_temp_path $dir/nginx;
  scgi_temp_path $dir/nginx;
  server {
    listen 127.0.0.1:$http_port;
    location / { default_type text/html; return 200 "REMOTE_ADDR: \$remote_addr<br>"; }
    # A page whose address the caller writes into DIR/nginx/address.html.
    location = /address { default_type text/html; alias $dir/nginx/address.html; }
  }
}
CONF
    nginx -e stderr -p "$dir/nginx" -c "$dir/nginx/nginx.conf" 2>"$dir/nginx/log.txt" &
    server_pids="$server_pids $!"

    ftp_port=$(free_port)
    "$loopback_python" - "$ftp_port" "$dir/ftp-home" >"$dir/ftp-log.txt" 2>&1 <<'PY' &
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
    server_pids="$server_pids $!"

    smtp_port=$(free_port)
    "$loopback_python" "${root:?}/tests/support/smtp_peer.py" "$smtp_port" "$dir/smtp-mail" \
        --login "$2" >"$dir/smtp-log.txt" 2>&1 &
    server_pids="$server_pids $!"

    if ! { wait_port "$http_port" && wait_port "$ftp_port" && wait_port "$smtp_port"; }; then
        cat "$dir/nginx/log.txt" "$dir/ftp-log.txt" "$dir/smtp-log.txt" >&2
        return 1
    fi
}
