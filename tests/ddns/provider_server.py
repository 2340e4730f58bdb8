#!/usr/bin/python3
"""A scripted HTTPS dynamic-DNS provider for the tests.

Usage: provider_server.py PORT CERT KEY STATE_DIR

It answers as the published APIs describe them:
  dyndns2     GET /nic/update?hostname=a,b&myip=...   HTTP Basic login
  DuckDNS     GET /update?domains=a,b&token=...&ip=...&ipv6=...
  Cloudflare  /client/v4/zones?name=..., /client/v4/zones/ID/dns_records[...]
              with "Authorization: Bearer TOKEN"
STATE_DIR/plan.json (read at every request) holds the accounts and, when
set, a fault that replaces the normal answer:
  {"login": "u", "password": "p", "token": "t", "hosts": ["home.example.org"],
   "zone": "example.org",
   "fault": {"status": 200, "body": "badauth", "delay": 0, "bytes": 0,
             "type": "text/plain"}}
Every request is appended to STATE_DIR/requests.jsonl; the Cloudflare
records live in STATE_DIR/records.json.
"""
import base64
import json
import os
import ssl
import sys
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

PORT, CERT, KEY, STATE = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]


def load(name, default):
    try:
        with open(os.path.join(STATE, name)) as f:
            return json.load(f)
    except (OSError, ValueError):
        return default


def save(name, value):
    with open(os.path.join(STATE, name), "w") as f:
        json.dump(value, f)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def reply(self, status, body, ctype="text/plain"):
        data = body.encode() if isinstance(body, str) else body
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def handle_any(self):
        url = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(url.query)
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length).decode() if length else ""
        with open(os.path.join(STATE, "requests.jsonl"), "a") as f:
            f.write(json.dumps({"method": self.command, "path": url.path, "query": query,
                                "authorization": self.headers.get("Authorization", ""),
                                "agent": self.headers.get("User-Agent", ""),
                                "type": self.headers.get("Content-Type", ""), "body": body}) + "\n")
        plan = load("plan.json", {})
        fault = plan.get("fault")
        if fault:
            time.sleep(fault.get("delay", 0))
            if fault.get("bytes"):
                payload = (fault.get("body", "good") + " ").encode()
                payload += b"x" * (fault["bytes"] - len(payload))
                return self.reply(fault.get("status", 200), payload)
            return self.reply(fault.get("status", 200), fault.get("body", ""), fault.get("type", "text/plain"))
        if url.path == "/nic/update":
            return self.dyndns2(plan, query)
        if url.path == "/update":
            return self.duckdns(plan, query)
        if url.path.startswith("/client/v4/"):
            return self.cloudflare(plan, url.path[len("/client/v4"):], query, body)
        self.reply(404, "<html><body>Not Found</body></html>", "text/html")

    def dyndns2(self, plan, query):
        expected = "Basic " + base64.b64encode(f"{plan['login']}:{plan['password']}".encode()).decode()
        if self.headers.get("Authorization") != expected:
            return self.reply(200, "badauth")
        if not self.headers.get("User-Agent"):
            return self.reply(200, "badagent")
        ip = query.get("myip", [""])[0]
        held = load("dyndns2.json", {})
        lines = []
        for host in query.get("hostname", [""])[0].split(","):
            if host not in plan["hosts"]:
                lines.append("nohost")
            elif held.get(host) == ip:
                lines.append("nochg " + ip)
            else:
                held[host] = ip
                lines.append("good " + ip)
        save("dyndns2.json", held)
        self.reply(200, "\n".join(lines))

    def duckdns(self, plan, query):
        names = query.get("domains", [""])[0].split(",")
        if query.get("token", [""])[0] != plan["token"] or any(n not in plan["hosts"] for n in names):
            return self.reply(200, "KO")
        held = load("duckdns.json", {})
        for n in names:
            held[n] = {"ip": query.get("ip", [""])[0], "ipv6": query.get("ipv6", [""])[0]}
        save("duckdns.json", held)
        self.reply(200, "OK")

    def cloudflare(self, plan, path, query, body):
        def answer(status, result=None, errors=()):
            self.reply(status, json.dumps({"success": not errors, "errors": list(errors), "messages": [],
                                           "result": result}), "application/json")
        if self.headers.get("Authorization") != "Bearer " + plan["token"]:
            return answer(403, None, [{"code": 9109, "message": "Invalid access token"}])
        records = load("records.json", [])
        parts = path.strip("/").split("/")
        if parts == ["zones"]:
            name = query.get("name", [""])[0]
            return answer(200, [{"id": "zone1", "name": name}] if name == plan["zone"] else [])
        if len(parts) >= 3 and parts[:3] == ["zones", "zone1", "dns_records"]:
            if len(parts) == 3 and self.command == "GET":
                found = [r for r in records if r["type"] == query.get("type", [""])[0]
                         and r["name"] == query.get("name", [""])[0]]
                return answer(200, found)
            data = json.loads(body)
            if len(parts) == 3 and self.command == "POST":
                record = dict(data, id="rec%d" % (len(records) + 1))
                records.append(record)
                save("records.json", records)
                return answer(200, record)
            if len(parts) == 4 and self.command == "PATCH":
                for r in records:
                    if r["id"] == parts[3]:
                        r.update(data)
                        save("records.json", records)
                        return answer(200, r)
                return answer(404, None, [{"code": 81044, "message": "Record does not exist."}])
        answer(400, None, [{"code": 7003, "message": "Could not route to " + path}])

    do_GET = do_POST = do_PATCH = do_PUT = handle_any


server = ThreadingHTTPServer(("127.0.0.1", PORT), Handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(CERT, KEY)
server.socket = context.wrap_socket(server.socket, server_side=True)
server.serve_forever()
