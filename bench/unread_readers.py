#!/usr/bin/env python3
"""Readers of the metrics port that ask and never read the answer.

usage: unread_readers.py HOST PORT COUNT PATH [HOLD_SECONDS]

Keeps COUNT connections open, each with the request for PATH sent and its
answer left unread; each is dropped after HOLD_SECONDS (default 1) and
asked again on a new connection. Runs until it is stopped.
"""
import socket
import sys
import time

host, port, count, path = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
hold = float(sys.argv[5]) if len(sys.argv) > 5 else 1.0
request = f"GET {path} HTTP/1.1\r\nHost: {host}\r\n\r\n".encode()
held = []
while True:
    now = time.monotonic()
    for opened, sock in held:
        if now - opened >= hold:
            sock.close()
    held = [(opened, sock) for opened, sock in held if now - opened < hold]
    while len(held) < count:
        sock = socket.create_connection((host, port))
        sock.sendall(request)
        held.append((time.monotonic(), sock))
    time.sleep(0.05)
