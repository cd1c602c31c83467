"""WebSocket over HTTP/2 (RFC 8441): an extended CONNECT with `:protocol websocket` becomes a
`_ws.WebSocket` carried by its stream.

The server announces SETTINGS_ENABLE_CONNECT_PROTOCOL whenever it serves WebSocket, and the
native state opens a stream for a well-formed extended CONNECT (CONNECT with :protocol, :scheme,
:path and :authority); `serve_connect` has the native handshake check (`ws_check_connect`, the
same table as HTTP/1.1's with its HTTP/2 statuses) answer for the rest. A :protocol other than
websocket is answered 501 without the application: the request is well formed, the server does
not speak that protocol, and an `http` scope could not tell the application what was asked. A
missing or other Sec-WebSocket-Version is a 400 with `Sec-WebSocket-Version: 13` (HTTP/1.1
answers 426, whose Upgrade field HTTP/2 cannot carry). There is no key and no
Sec-WebSocket-Accept over HTTP/2.

The session's frames travel in the stream's DATA frames under HTTP/2 flow control. Input: the
stream's chunks are taken (and their window credited back to the client) only while the
session's queue has room, so an application that reads slowly stops the client's window. Output:
frames go into a buffer that one writer task sends as the windows allow; the application waits
while it holds more than `HIGH_WATER`, and no input is taken meanwhile (each read could add a
pong). The accept is `:status 200`, a refusal a real response
that ends the stream; our END_STREAM ends the session in order, RST_STREAM(CANCEL) abruptly.
"""

from __future__ import annotations

import asyncio
import logging

from _quillet import H2UserError

from ._h2 import CANCEL, StreamStopped, StreamWriter
from ._native import ws_check_connect
from ._ws import CLOSE_TIMEOUT, Carrier, WebSocket

log = logging.getLogger("quillet.server")

# What a session's writer may hold before the application's send waits, and the level it must
# come down to.
HIGH_WATER = 1 << 16
LOW_WATER = 1 << 14
_PLAIN = (b"content-type", b"text/plain; charset=utf-8")


async def serve_connect(conn, request, scope: dict, target: str) -> None:
    """Serves the extended CONNECT on `request` (a stream of the HTTP/2 server connection
    `conn`), whose `http` scope is `scope`."""
    head = request.head
    status, message, names_version = ws_check_connect(
        head.method, head.scheme, head.authority, head.path, head.protocol, head.headers)
    if status != 200:
        log.debug("extended CONNECT for %r refused: %d %s", head.protocol, status, message)
        headers = [_PLAIN, (b"sec-websocket-version", b"13")] if names_version else [_PLAIN]
        body = message.encode() + b"\n"
        conn.server.log_access(scope, target, status, len(body), conn.server.loop.time())
        await request.answer(status, headers, body)
        return
    scope["extensions"].pop("http.response.trailers", None)
    carrier = _Stream(conn, request)
    ws = carrier.session = request.websocket = WebSocket(conn.server, carrier, scope, target)
    if conn.graceful:
        ws.shutdown()  # accepted, then closed with 1001 at once
    try:
        await ws.run()
    finally:
        request.websocket = carrier.session = None


class _Stream(Carrier, StreamWriter):
    """One HTTP/2 stream opened by an extended CONNECT: the session's octets are its DATA."""

    status_ok = 200

    def __init__(self, conn, request) -> None:
        self.conn = conn
        self.request = request
        self.session: WebSocket | None = None
        self.out: list[bytes] = []
        self.buffered = 0      # octets written and not yet handed to the native state
        self.ending = False    # END_STREAM goes out after what is buffered
        self.ended = False     # END_STREAM went out, or the stream was reset
        self.writer: asyncio.Task | None = None
        self.wanted = asyncio.Event()   # the writer has work
        self.drained = asyncio.Event()  # the buffer came down to LOW_WATER (or the end)

    @property
    def paused(self) -> bool:
        return self.buffered > HIGH_WATER

    @property
    def reading_held(self) -> bool:
        return self.buffered > HIGH_WATER

    @property
    def gone(self) -> bool:
        return self.request.stop is not None or (self.ended and not self.ending)

    # output

    def write(self, data: bytes) -> None:
        if self.ending or self.ended:
            return
        self.out.append(data)
        self.buffered += len(data)
        self._wake()

    # the writer (`StreamWriter`)

    @property
    def out_handle(self):
        return self.request

    @property
    def output_closed(self) -> bool:
        return self.ended

    def _batch_sent(self) -> None:
        if self.buffered <= LOW_WATER:
            self.drained.set()

    def _output_ended(self) -> None:
        self.ended = True

    def _output_stopped(self, exc: StreamStopped) -> None:
        log.debug("websocket: the stream ended: %r", exc.stop)
        self._stopped()

    def _stopped(self) -> None:
        self.ending = False
        self.ended = True
        self.out.clear()
        self.buffered = 0
        self.drained.set()

    async def drain(self) -> bool:
        while self.buffered > LOW_WATER and not self.ended:
            self.drained.clear()
            await self.drained.wait()
        return not self.gone

    def _head(self, status: int, headers, end: bool) -> None:
        try:
            v = self.conn.send_head(self.request.sid, status, headers, end)
        except H2UserError:
            self.abort()
            raise
        if end:
            self.ended = True
        if v.stopped is not None:
            self._stopped()

    def accept(self, subprotocol: str | None, extension: bytes | None, extra) -> None:
        headers = []
        if subprotocol is not None:
            headers.append((b"sec-websocket-protocol", subprotocol.encode()))
        if extension is not None:
            headers.append((b"sec-websocket-extensions", extension))
        headers.extend(extra)
        self._head(200, headers, False)

    def response(self, status: int, headers, body: bytes, more: bool) -> None:
        self._head(status, headers, not more and not body)
        self.response_body(body, more)

    def response_body(self, body: bytes, more: bool) -> None:
        if body:
            self.write(body)
        if not more:
            self.close()

    def close(self) -> None:
        if self.ending or self.ended or self.request.stop is not None:
            return
        self.ending = True
        self._wake()

    def abort(self) -> None:
        if self.ended or self.request.stop is not None:
            return
        self._stopped()
        conn, request = self.conn, self.request
        v = conn.reset_stream(request.sid, CANCEL)
        if v.handle is not None:
            request.stopped(v.stop)
        conn.act(v.flags)

    # input

    async def read(self) -> bytes | None:
        # While our frames wait (the client does not open its window), its octets are not taken
        # either: each could add a pong, and the stream's window stays shut meanwhile.
        while self.buffered > HIGH_WATER and not self.ended:
            self.drained.clear()
            await self.drained.wait()
        try:
            return await self.conn.next_chunk(self.request, None)
        except StreamStopped as exc:
            log.debug("websocket: the stream ended: %r", exc.stop)
            return None

    def finished(self):
        writer = self.writer
        if writer is None or writer.done():
            return None
        return self._flush(writer)

    async def _flush(self, writer: asyncio.Task) -> None:
        """Our last frames and END_STREAM go out; a client that takes nothing for
        CLOSE_TIMEOUT seconds has the stream reset instead."""
        try:
            await asyncio.wait_for(asyncio.shield(writer), CLOSE_TIMEOUT)
        except TimeoutError:
            self.abort()
            self.wanted.set()
            await writer
