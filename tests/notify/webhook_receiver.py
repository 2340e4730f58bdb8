#!/usr/bin/python3
"""A webhook receiver for the tests: records every request it gets as one
JSON line (method, path, headers, body) in a file and answers by path:
/echo answers 400 with its path after 180 dots;
/status/NNN answers NNN with a two-line body whose first line carries a
control character, /slow waits 30 s, anything else answers 200.
Usage: webhook_receiver.py PORT LOGFILE [CERT KEY]"""
import http.server, json, ssl, sys, time

port, log = int(sys.argv[1]), sys.argv[2]


class Handler(http.server.BaseHTTPRequestHandler):
    def handle_any(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        with open(log, "a") as f:
            f.write(json.dumps({"method": self.command, "path": self.path,
                                "headers": {k.lower(): v for k, v in self.headers.items()},
                                "body": body.decode("utf-8", "replace")}) + "\n")
        if self.path.startswith("/slow"):
            time.sleep(30)
        status = 200
        if self.path.startswith("/status/"):
            status = int(self.path.split("/")[2][:3])
        answer = b"refused \x1b[31m by the receiver\r\nsecond line" if status != 200 else b"ok"
        if self.path.startswith("/echo"):
            # A receiver that echoes the request where a log line is cut.
            status, answer = 400, b"." * 180 + self.path.encode()
        self.send_response(status)
        self.send_header("Content-Length", str(len(answer)))
        self.end_headers()
        self.wfile.write(answer)

    do_GET = do_POST = do_PUT = handle_any

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
if len(sys.argv) > 4:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(sys.argv[3], sys.argv[4])
    server.socket = context.wrap_socket(server.socket, server_side=True)
server.serve_forever()
