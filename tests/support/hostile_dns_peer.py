"""A name server in front of a real one, misbehaving in one way (MODE): TC over
UDP (truncate; trickle: the TCP answer one byte every ARG s), a forged answer
first (spoof-id/-question/-port: the name holds ARG), answers without their
TSIG or with a bad MAC (strip-tsig, bad-mac), an unsigned REFUSED to queries or
updates (refuse-queries, refuse-unsigned). Logs "udp", "tcp", "byte" lines.
usage: hostile_dns_peer.py MODE PORT UPSTREAM_PORT LOG [ARG]; ends after 120 s
"""
import socket
import socketserver
import struct
import sys
import threading
import time

MODE, PORT, UPSTREAM, LOG = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
ARG = sys.argv[5] if len(sys.argv) > 5 else ""
lock = threading.Lock()


def log(line):
    with lock, open(LOG, "a") as f:
        f.write(line + "\n")


def skip_name(m, i):
    while m[i] != 0 and m[i] & 0xC0 != 0xC0:
        i += m[i] + 1
    return i + (2 if m[i] else 1)


def question_end(m):
    return skip_name(m, 12) + 4 if m[4:6] != b"\0\0" else 12


def reply(m, rcode=0, flags=0, records=b"", question=None):
    """An unsigned answer to m (the same ID and opcode)."""
    return struct.pack(">HHHHHH", struct.unpack(">H", m[:2])[0], 0x8000 | (m[2] << 8 & 0x7800) | flags | rcode,
                       1 if m[4:6] != b"\0\0" else 0, 1 if records else 0, 0, 0) + \
        (question or m[12:question_end(m)]) + records


def forged(m):
    end = question_end(m)
    a_query = not m[2] >> 3 & 0xF and m[end - 4:end - 2] == b"\0\1"
    record = b"\xc0\x0c" + struct.pack(">HHIH", 1, 1, 300, 4) + socket.inet_aton(ARG) if a_query else b""
    question = m[12:end - 4] + b"\0\x10\0\1" if MODE == "spoof-question" else None  # TXT instead
    out = reply(m, flags=0x0400, records=record, question=question)
    return bytes([m[0] ^ 0x55]) + out[1:] if MODE == "spoof-id" else out


def tamper(m):
    """The answer with its TSIG (the last record) stripped or its MAC spoilt."""
    counts, i, last = struct.unpack(">4H", m[4:12]), question_end(m), None
    for _ in range(sum(counts[1:])):
        start, j = i, skip_name(m, i)
        i = j + 10 + struct.unpack(">H", m[j + 8:j + 10])[0]
        last = (start, j, i)
    if not last or m[last[1]:last[1] + 2] != b"\0\xfa":
        return m
    if MODE == "strip-tsig":
        return m[:10] + struct.pack(">H", counts[3] - 1) + m[12:last[0]] + m[last[2]:]
    mac = skip_name(m, last[1] + 10) + 10
    return m[:mac] + bytes([m[mac] ^ 1]) + m[mac + 1:] if MODE == "bad-mac" else m


def read_message(s):
    data = b""
    while True:
        size = 2 + struct.unpack(">H", data[:2])[0] if len(data) >= 2 else 2
        if size > 2 and len(data) == size:
            return data[2:]
        chunk = s.recv(size - len(data))
        if not chunk:
            raise ConnectionError("closed")
        data += chunk


class Udp(socketserver.BaseRequestHandler):
    def handle(self):
        m, sock = self.request
        log("udp")
        update = m[2] >> 3 & 0xF == 5
        if MODE in ("truncate", "trickle"):
            return sock.sendto(reply(m, flags=0x0200), self.client_address)
        if MODE == ("refuse-unsigned" if update else "refuse-queries"):
            return sock.sendto(reply(m, rcode=5), self.client_address)
        if MODE.startswith("spoof-"):
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as other:
                (other if MODE == "spoof-port" else sock).sendto(forged(m), self.client_address)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as up:
            up.settimeout(5)
            up.sendto(m, ("127.0.0.1", UPSTREAM))
            sock.sendto(tamper(up.recv(65535)), self.client_address)


class Tcp(socketserver.BaseRequestHandler):
    def handle(self):
        self.request.settimeout(10)
        try:
            query = read_message(self.request)
            log("tcp")
            with socket.create_connection(("127.0.0.1", UPSTREAM), timeout=10) as up:
                up.sendall(struct.pack(">H", len(query)) + query)
                answer = tamper(read_message(up))
            data = struct.pack(">H", len(answer)) + answer
            for b in [data] if MODE != "trickle" else [bytes([b]) for b in data]:
                self.request.sendall(b)
                if MODE == "trickle":
                    log("byte")
                    time.sleep(float(ARG))
        except (OSError, ConnectionError):
            pass


class ThreadingTcp(socketserver.ThreadingMixIn, socketserver.TCPServer):
    allow_reuse_address = True
    daemon_threads = True


udp = socketserver.ThreadingUDPServer(("127.0.0.1", PORT), Udp)
tcp = ThreadingTcp(("127.0.0.1", PORT), Tcp)
for server in (udp, tcp):
    threading.Thread(target=server.serve_forever, daemon=True).start()
threading.Event().wait(120)
