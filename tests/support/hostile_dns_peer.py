"""A name server in front of a real one (UPSTREAM) that misbehaves in one way,
the MODE; every query it gets is logged as a line "udp" or "tcp".

  truncate         UDP: an empty answer with TC set; TCP: relayed
  trickle          UDP as truncate; TCP: the real answer one byte every ARG
                   seconds (a line "answer N", then "byte" per byte sent)
  spoof-id         UDP: first a forged answer saying the name holds the
  spoof-question   address ARG, with another ID / for another question /
  spoof-port       from another port; then the real answer
  strip-tsig       answers relayed without their TSIG record
  bad-mac          answers relayed with one bit of the TSIG MAC flipped
  refuse-queries   plain queries get REFUSED; updates relayed
  refuse-unsigned  updates get an unsigned REFUSED; queries relayed

usage: hostile_dns_peer.py MODE PORT UPSTREAM_PORT LOG [ARG]  (127.0.0.1;
it ends by itself after two minutes)
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


def reply(m, rcode=0, flags=0, records=b"", ancount=0, question=None):
    """An answer to m: the same ID and opcode, QR, no TSIG."""
    head = struct.pack(">HHHHHH", struct.unpack(">H", m[:2])[0], 0x8000 | (m[2] << 8 & 0x7800) | flags | rcode,
                       1 if m[4:6] != b"\0\0" else 0, ancount, 0, 0)
    return head + (question or m[12:question_end(m)]) + records


def forged(m):
    """An answer saying the name holds exactly the address ARG (a bare
    NOERROR to an update), spoilt as the mode says."""
    end = question_end(m)
    a_query = not m[2] >> 3 & 0xF and m[end - 4:end - 2] == b"\0\1"
    record = b"\xc0\x0c" + struct.pack(">HHIH", 1, 1, 300, 4) + socket.inet_aton(ARG) if a_query else b""
    question = m[12:end]
    if MODE == "spoof-question":
        question = question[:-4] + b"\0\x10\0\1"  # TXT instead of A (or SOA)
    out = reply(m, flags=0x0400, records=record, ancount=int(a_query), question=question)
    return (bytes([m[0] ^ 0x55]) + out[1:]) if MODE == "spoof-id" else out


def tamper(m):
    """The answer with its TSIG (the last record) stripped or its MAC spoilt."""
    counts = struct.unpack(">4H", m[4:12])
    i, last = question_end(m), None
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


def relay_udp(m):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as up:
        up.settimeout(5)
        up.sendto(m, ("127.0.0.1", UPSTREAM))
        return up.recv(65535)


def read_exact(s, n):
    data = b""
    while len(data) < n:
        chunk = s.recv(n - len(data))
        if not chunk:
            raise ConnectionError("closed")
        data += chunk
    return data


def read_message(s):
    return read_exact(s, struct.unpack(">H", read_exact(s, 2))[0])


class Udp(socketserver.BaseRequestHandler):
    def handle(self):
        m, sock = self.request
        log("udp")
        if len(m) < 12:
            return
        update = m[2] >> 3 & 0xF == 5
        if MODE in ("truncate", "trickle"):
            return sock.sendto(reply(m, flags=0x0200), self.client_address)
        if MODE == "refuse-queries" and not update or MODE == "refuse-unsigned" and update:
            return sock.sendto(reply(m, rcode=5), self.client_address)
        if MODE == "spoof-port":
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as other:
                other.sendto(forged(m), self.client_address)
        elif MODE.startswith("spoof-"):
            sock.sendto(forged(m), self.client_address)
        sock.sendto(tamper(relay_udp(m)), self.client_address)


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
            if MODE != "trickle":
                return self.request.sendall(data)
            log("answer %d" % len(data))
            for b in data:
                self.request.sendall(bytes([b]))
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
