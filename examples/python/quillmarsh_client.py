#!/usr/bin/env python3
"""A QuillmarshServer client in plain Python (the socket module only).

    QM_LOGIN=team QM_PASSWORD=s3cret quillmarsh_client.py HOST PORT ADDRESS
    QM_LOGIN=team QM_PASSWORD=s3cret quillmarsh_client.py HOST PORT ADDRESS TO TEXT

Logs in, announces ADDRESS, and then either sends TEXT to TO as the frame
`say "ADDRESS" "TO" TEXT` and ends, or prints every frame that arrives, one
per line, until the server closes the connection. The bytes are described
in docs/protocol.md.
"""
import os
import select
import socket
import sys
import time

LOGIN_SETTLE_S = 0.5  # the server never says yes: a refusal is a close
KEEP_ALIVE_S = 20     # the server closes a client silent for 60 s


def frame(text):
    """The text's bytes and the check byte: 0x80 | (sum of the bytes mod 256)."""
    payload = text.encode("ascii")
    if 0 in payload or len(payload) > 4094:
        raise ValueError("a frame's text is 1 to 4094 bytes of 7-bit text, no zero byte")
    return payload + bytes([0x80 | (sum(payload) & 0x7F)])


def quoted(name):
    return '"' + name.replace("\\", "\\\\").replace('"', '\\"') + '"'


def expect(sock, prompt):
    got = b""
    while len(got) < len(prompt):
        chunk = sock.recv(len(prompt) - len(got))
        if not chunk:
            sys.exit("closed before the prompt " + prompt.decode())
        got += chunk
    if got != prompt:
        sys.exit("expected %r, got %r" % (prompt, got))


def log_in(sock, login, password):
    """Answers both prompts; returns bytes that came after the login."""
    expect(sock, b"login:")
    sock.sendall(login.encode() + b"\r\n")
    expect(sock, b"password:")
    sock.sendall(password.encode() + b"\r\n")
    # No answer means in: a refused login is closed without a word.
    readable, _, _ = select.select([sock], [], [], LOGIN_SETTLE_S)
    early = sock.recv(4096) if readable else b""
    if readable and not early:
        sys.exit("login refused")
    return early


def printable(payload):
    return "".join(chr(b) if 32 <= b < 127 else "\\x%02x" % b for b in payload)


def listen(sock, pending):
    """Prints each frame; a frame ends at its check byte, the first byte
    with the high bit set."""
    last_sent = time.monotonic()
    while True:
        while any(b >= 0x80 for b in pending):
            end = next(i for i, b in enumerate(pending) if b >= 0x80)
            payload, check, pending = pending[:end], pending[end], pending[end + 1:]
            mark = "" if check == 0x80 | (sum(payload) & 0x7F) else "[bad check byte] "
            print(mark + printable(payload), flush=True)
        readable, _, _ = select.select([sock], [], [], 1.0)
        if readable:
            chunk = sock.recv(4096)
            if not chunk:
                return
            pending += chunk
        if time.monotonic() - last_sent > KEEP_ALIVE_S:
            # One field: the server drops it, but it counts as input.
            sock.sendall(frame("-"))
            last_sent = time.monotonic()


def main():
    if len(sys.argv) not in (4, 6):
        sys.exit(__doc__)
    host, port, address = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    with socket.create_connection((host, port), timeout=30) as sock:
        early = log_in(sock, os.environ["QM_LOGIN"], os.environ["QM_PASSWORD"])
        # Announcing is a frame from the address; sent to the address
        # itself, it reaches only others that speak for it.
        sock.sendall(frame("hello %s %s" % (quoted(address), quoted(address))))
        if len(sys.argv) == 4:
            print("listening as " + address, file=sys.stderr, flush=True)
            sock.settimeout(None)
            listen(sock, early)
            return
        to, text = sys.argv[4], sys.argv[5]
        sock.sendall(frame("say %s %s %s" % (quoted(address), quoted(to), text)))
        # Every whole frame is relayed before the server sees the end of
        # the stream; it then closes the connection.
        sock.shutdown(socket.SHUT_WR)
        while sock.recv(4096):
            pass


if __name__ == "__main__":
    main()
