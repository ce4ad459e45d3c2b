"""WebSocket clients for the end-to-end tests, on python3-websockets 10 (its
asyncio API). Each scenario talks to a running server over WebSocket, most
beside a plain TCP client, and checks every byte that arrives. Exit code 0
when everything held; otherwise the first thing that did not, on standard
error, and exit code 1.

    websocket_client.py SCENARIO --port TCP_PORT --ws-port PORT --log LOG [options]
"""

import argparse
import asyncio
import socket
import ssl
import sys

import websockets

LOGIN = b"alice"
PASSWORD = b"s3cret"
WAIT = 10


class Failed(Exception):
    pass


def check(holds, what):
    if not holds:
        raise Failed(what)


def frame(text):
    """The payload and its check byte."""
    return text + bytes([0x80 | (sum(text) & 0xFF)])


async def wait_log(args, text, count=1):
    """Until the server's log holds text count times."""
    for _ in range(WAIT * 20):
        with open(args.log, "rb") as log:
            if log.read().count(text) >= count:
                return
        await asyncio.sleep(0.05)
    raise Failed("the log never held %r %d times" % (text, count))


class Terminal:
    """A plain TCP client."""

    async def log_in(self, args):
        self.reader, self.writer = await asyncio.open_connection("127.0.0.1", args.port)
        await self.expect(b"login:")
        self.writer.write(LOGIN + b"\r\n")
        await self.expect(b"password:")
        self.writer.write(PASSWORD + b"\r\n")
        return self

    async def expect(self, wanted):
        got = await asyncio.wait_for(self.reader.readexactly(len(wanted)), WAIT)
        check(got == wanted, "the terminal got %r, not %r" % (got, wanted))

    def send(self, data):
        self.writer.write(data)


def url(args):
    return "%s://127.0.0.1:%d/" % ("wss" if args.ca else "ws", args.ws_port)


def tls(args):
    if not args.ca:
        return None
    context = ssl.create_default_context(cafile=args.ca)
    return context


async def browser(args, **options):
    """A WebSocket client through the handshake, not yet logged in."""
    return await websockets.connect(url(args), subprotocols=["quillmarsh"], ssl=tls(args), ping_interval=None,
                                    open_timeout=WAIT, **options)


async def expect_message(ws, wanted):
    got = await asyncio.wait_for(ws.recv(), WAIT)
    check(got == wanted, "the WebSocket client got %r, not %r" % (got, wanted))


async def log_in(ws):
    """The dialogue's lines go as text messages, as the page sends them."""
    check(ws.subprotocol == "quillmarsh", "the subprotocol was not chosen")
    await expect_message(ws, b"login:")
    await ws.send((LOGIN + b"\r\n").decode())
    await expect_message(ws, b"password:")
    await ws.send((PASSWORD + b"\r\n").decode())
    return ws


async def exchange(args):
    """Frames both ways and to all, many frames in one message, one frame in
    many WebSocket frames with pings between them, a ping's pong, the close."""
    terminal = await Terminal().log_in(args)
    ws = await log_in(await browser(args))
    await wait_log(args, b"logged in", 2)
    ws_hello, terminal_hello = frame(b'hello "web" "web" '), frame(b'hello "tcp" "tcp" ')
    await ws.send(ws_hello)
    terminal.send(terminal_hello)
    await wait_log(args, b'hello "web"')
    await wait_log(args, b'hello "tcp"')

    to_terminal, to_web = frame(b'say "web" "tcp" from a browser'), frame(b'say "tcp" "web" from a terminal')
    await ws.send(to_terminal)
    await terminal.expect(to_terminal)
    terminal.send(to_web)
    await expect_message(ws, to_web)
    from_web_to_all, from_terminal_to_all = frame(b'say "web" "" all of you'), frame(b'say "tcp" "" all')
    await ws.send(from_web_to_all)
    await terminal.expect(from_web_to_all)
    terminal.send(from_terminal_to_all)
    await expect_message(ws, from_terminal_to_all)

    # Three frames in one message reach the terminal back to back; two in
    # one TCP write reach the browser as two messages.
    three = [frame(b'say "web" "tcp" %d' % i) for i in range(3)]
    await ws.send(b"".join(three))
    await terminal.expect(b"".join(three))
    terminal.send(to_web + from_terminal_to_all)
    await expect_message(ws, to_web)
    await expect_message(ws, from_terminal_to_all)

    # One frame cut into three-byte WebSocket frames, a ping after each.
    long_frame = frame(b'say "web" "tcp" ' + b"cut into many pieces " * 20)

    async def fragments():
        for at in range(0, len(long_frame), 3):
            yield long_frame[at:at + 3]
            await ws.ping()

    await ws.send(fragments())
    await terminal.expect(long_frame)
    pong = await ws.ping(b"are you there")
    await asyncio.wait_for(pong, WAIT)

    await ws.close()
    check(ws.close_code == 1000, "the server closed with %s, not 1000" % ws.close_code)
    await wait_log(args, b"logged out")


async def refused(args):
    """Each of the origins given is refused with 403; the own one is taken."""
    for origin in args.refused_origin:
        try:
            await browser(args, origin=origin)
        except websockets.InvalidStatusCode as error:
            check(error.status_code == 403, "origin %s: status %d, not 403" % (origin, error.status_code))
        else:
            raise Failed("origin %s was taken" % origin)
    for origin in args.taken_origin:
        ws = await browser(args, origin=origin)
        await expect_message(ws, b"login:")
        await ws.close()


async def forwarded(args):
    """Logs in from args.source with an X-Forwarded-For field."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.bind((args.source, 0))
    sock.connect(("127.0.0.1", args.ws_port))
    ws = await log_in(await browser(args, sock=sock, extra_headers={"X-Forwarded-For": args.forwarded_for}))
    await wait_log(args, b"logged in")
    await ws.close()


async def oversized(args):
    """A message over 64 KiB is closed with 1009."""
    ws = await log_in(await browser(args, max_size=None))
    await wait_log(args, b"logged in")
    await ws.send(b"x" * 65537)
    try:
        await asyncio.wait_for(ws.recv(), WAIT)
    except websockets.ConnectionClosed:
        pass
    check(ws.close_code == 1009, "the server closed with %s, not 1009" % ws.close_code)


SCENARIOS = {"exchange": exchange, "refused": refused, "forwarded": forwarded, "oversized": oversized}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("scenario", choices=sorted(SCENARIOS))
    parser.add_argument("--port", type=int)
    parser.add_argument("--ws-port", type=int, required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--ca", help="talk wss, trusting this certificate")
    parser.add_argument("--refused-origin", action="append", default=[])
    parser.add_argument("--taken-origin", action="append", default=[])
    parser.add_argument("--source", default="127.0.0.1")
    parser.add_argument("--forwarded-for", default="")
    args = parser.parse_args()
    try:
        asyncio.run(SCENARIOS[args.scenario](args))
    except (Failed, OSError, asyncio.TimeoutError, websockets.WebSocketException) as error:
        print("%s: %s: %s" % (args.scenario, type(error).__name__, error), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
