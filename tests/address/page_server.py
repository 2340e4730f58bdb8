"""Byte-exact pages that nginx will not serve: a body cut short of its
announced length and a body with a zero byte in it.

usage: page_server.py PORT
"""
import sys
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


class Handler(BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        if self.path == "/truncated":
            # Promises 100 bytes, sends 26 and hangs up.
            body = b"REMOTE_ADDR: 127.0.0.1<br>"
            self.send_response(200)
            self.send_header("Content-Length", "100")
            self.end_headers()
            self.wfile.write(body)
            self.wfile.flush()
            self.close_connection = True
        elif self.path == "/nul":
            body = b"REMOTE_ADDR: 127.0.0.1\x00<br>"
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        else:
            self.send_error(404)


ThreadingHTTPServer.daemon_threads = True
ThreadingHTTPServer(("127.0.0.1", int(sys.argv[1])), Handler).serve_forever()
