"""A name server that makes clients fall back to TCP: every UDP query gets
an empty answer with TC set, every TCP query is relayed to the real server
and its answer sent back. Each query is logged as a line "udp" or "tcp".

usage: truncating_relay.py PORT UPSTREAM_PORT LOG  (all on 127.0.0.1; it
ends by itself after two minutes)
"""
import socket
import socketserver
import sys
import threading

PORT, UPSTREAM, LOG = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
lock = threading.Lock()


def log(kind):
    with lock, open(LOG, "a") as f:
        f.write(kind + "\n")


def question_end(msg):
    """Offset after the first entry of the question (zone) section."""
    i = 12
    while i < len(msg) and msg[i] != 0:
        i += msg[i] + 1
    return min(i + 5, len(msg))


class Udp(socketserver.BaseRequestHandler):
    def handle(self):
        msg, sock = self.request
        log("udp")
        if len(msg) < 12:
            return
        flags = 0x8000 | (msg[2] << 8 & 0x7800) | 0x0200  # QR, the opcode, TC
        counts = (1 if msg[4:6] != b"\0\0" else 0).to_bytes(2, "big") + b"\0" * 6
        sock.sendto(msg[:2] + flags.to_bytes(2, "big") + counts + msg[12:question_end(msg)],
                    self.client_address)


def read_exact(s, n):
    data = b""
    while len(data) < n:
        chunk = s.recv(n - len(data))
        if not chunk:
            raise ConnectionError("closed")
        data += chunk
    return data


class Tcp(socketserver.BaseRequestHandler):
    def handle(self):
        self.request.settimeout(10)
        try:
            query = read_exact(self.request, int.from_bytes(read_exact(self.request, 2), "big"))
            log("tcp")
            with socket.create_connection(("127.0.0.1", UPSTREAM), timeout=10) as up:
                up.sendall(len(query).to_bytes(2, "big") + query)
                answer = read_exact(up, int.from_bytes(read_exact(up, 2), "big"))
            self.request.sendall(len(answer).to_bytes(2, "big") + answer)
        except (OSError, ConnectionError):
            pass


class ThreadingTcp(socketserver.ThreadingMixIn, socketserver.TCPServer):
    allow_reuse_address = True
    daemon_threads = True


udp = socketserver.UDPServer(("127.0.0.1", PORT), Udp)
tcp = ThreadingTcp(("127.0.0.1", PORT), Tcp)
for server in (udp, tcp):
    threading.Thread(target=server.serve_forever, daemon=True).start()
threading.Event().wait(120)
