#!/usr/bin/python3
"""A scripted HTTPS server: the provider of whichever API a test plays.

Usage: scripted_https.py PORT CERT KEY STATE_DIR

Every request is appended to STATE_DIR/requests.jsonl as
  {"method", "path", "query", "headers" (names in lower case), "body"}
and gets the next answer of STATE_DIR/script.json (read at every request):
  [{"status": 200, "body": "good 192.0.2.7", "type": "text/plain"}, ...]
A "body" that is not a string is sent as JSON. Past the script's end every
request gets 599, so that a test sees a request nobody planned for.
"""
import json
import os
import ssl
import sys
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

PORT, CERT, KEY, STATE = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
LOG = os.path.join(STATE, "requests.jsonl")


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def handle_any(self):
        url = urllib.parse.urlsplit(self.path)
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length).decode() if length else ""
        try:
            with open(LOG) as f:
                seen = sum(1 for _ in f)
        except OSError:
            seen = 0
        with open(LOG, "a") as f:
            f.write(json.dumps({"method": self.command, "path": url.path, "query": url.query,
                                "headers": {k.lower(): v for k, v in self.headers.items()},
                                "body": body}) + "\n")
        try:
            with open(os.path.join(STATE, "script.json")) as f:
                script = json.load(f)
        except (OSError, ValueError):
            script = []
        answer = script[seen] if seen < len(script) else {"status": 599, "body": "not in the script"}
        data = answer.get("body", "")
        ctype = answer.get("type", "text/plain")
        if not isinstance(data, str):
            data, ctype = json.dumps(data), answer.get("type", "application/json")
        data = data.encode()
        self.send_response(answer.get("status", 200))
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    do_GET = do_POST = do_PATCH = do_PUT = do_DELETE = handle_any


server = ThreadingHTTPServer(("127.0.0.1", PORT), Handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(CERT, KEY)
server.socket = context.wrap_socket(server.socket, server_side=True)
server.serve_forever()
