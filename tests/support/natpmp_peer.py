#!/usr/bin/python3
"""A NAT-PMP gateway (RFC 6886) answering the public address request with
an address miniupnpd refuses to be given (private, shared), or never.
usage: natpmp_peer.py BIND_ADDRESS PORT EXTERNAL_ADDRESS|silent"""
import socket
import struct
import sys
import time

bind_address, port, external = sys.argv[1], int(sys.argv[2]), sys.argv[3]
sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sock.bind((bind_address, port))
started = time.monotonic()
print("ready", flush=True)
while True:
    request, peer = sock.recvfrom(64)
    if request == b"\0\0" and external != "silent":
        # version 0, opcode 128 + 0, result 0, seconds since start of epoch
        sock.sendto(struct.pack("!BBHI4s", 0, 128, 0, int(time.monotonic() - started),
                                socket.inet_aton(external)), peer)
