"""WebSocket over HTTP/1.1: the opening handshake of a request that carries `Upgrade`, and the
carrier of a session on the connection detached from the HTTP/1 state after its 101.

The HTTP/1 driver calls `serve_upgrade` for a request that carries `Upgrade`. The native check
(`ws_check_request`) says whether it asks for WebSocket at all (if not, it is served as plain
HTTP), and if so whether it may (101) or is refused (400 or 426, answered here; the application
is not called). An accepted request detaches the connection from the HTTP/1 state and runs a
`_ws.WebSocket` over a `_Detached` carrier.

Input goes straight from the stream's `data_received` into the session (`_answer`) while the
application keeps up; once the queue is full the bytes stay in the stream, which stops reading
from the socket past its high-water mark.
"""

from __future__ import annotations

import logging

from _quillet import H1_REQ_OK, H1Codec

from ._asgi import http_scope
from ._native import ws_accept, ws_check_request
from ._ws import CLOSE_TIMEOUT, Carrier, WebSocket, with_defaults

log = logging.getLogger("quillet.server")


def _codec(server) -> H1Codec:
    return H1Codec() if server.date_header else H1Codec(date_header=False)


def _response(server, status: int, headers, body: bytes) -> bytes:
    """A whole HTTP/1.1 response that closes the connection."""
    return _codec(server).serialize_response(status, with_defaults(server, headers),
                                             keep_alive=False, content_length=len(body)) + body


def _refusal(server, status: int, message: str) -> bytes:
    headers = [(b"content-type", b"text/plain; charset=utf-8")]
    if status == 426:
        headers.append((b"sec-websocket-version", b"13"))
    return _response(server, status, headers, message.encode() + b"\n")


async def serve_upgrade(conn, head, seq: int, target: str) -> bool:
    """Serves a request with `Upgrade` on the HTTP/1 connection `conn` if it asks for WebSocket:
    True when it did (the connection is then over for HTTP/1), False to serve it as HTTP (and
    always with `ws="none"`)."""
    if conn.server.ws == "none":
        return False
    headers = head.headers.raw_items()
    verdict = ws_check_request(head.method, headers, http10=head.http10)
    if verdict is None:
        return False
    code, transport, leftover = conn.detach(seq)
    if code != H1_REQ_OK or transport is None:
        # nothing holds the connection before the application runs; if something does, it
        # cannot become a WebSocket
        log.debug("websocket: the connection could not be detached (%d)", code)
        if transport is not None:
            transport.close()
        return True
    status, message = verdict
    if status != 101:
        log.debug("websocket handshake refused: %d %s", status, message)
        conn.server.log_access(http_scope(conn, "1.0" if head.http10 else "1.1", head.method,
                                          target, headers),
                               target, status, len(message.encode()) + 1, conn.loop.time())
        conn.stream.write(_refusal(conn.server, status, message))
        transport.close()
        return True
    carrier = _Detached(conn, transport, headers)
    ws = carrier.session = WebSocket(
        conn.server, carrier, http_scope(conn, "1.1", "GET", target, headers), target)
    conn.websocket = ws
    try:
        await ws.run(leftover)
    finally:
        conn.websocket = None
        carrier.session = None
    return True


class _Detached(Carrier):
    """A TCP (or TLS) connection that left HTTP/1.1 with a 101: the session's frames are the
    connection's bytes, and closing the connection ends it."""

    __slots__ = ("conn", "stream", "transport", "key", "session", "codec")

    # The stream's native `data_received` (`H1Reader`) asks its parked reader whether it is an
    # HTTP/1 connection of the native driver; answering saves it an AttributeError per read.
    native = False

    def __init__(self, conn, transport, headers: list) -> None:
        self.conn = conn
        self.stream = conn.stream
        self.transport = transport
        self.key = next((v for n, v in headers if n.lower() == b"sec-websocket-key"), b"")
        self.session: WebSocket | None = None
        self.codec: H1Codec | None = None  # the chunked refusal of the application

    @property
    def paused(self) -> bool:
        return self.stream._write_paused

    @property
    def reading_held(self) -> bool:
        return self.stream._held

    def write(self, data: bytes) -> None:
        self.stream.write(data)

    def write_parts(self, head: bytes, payload: bytes) -> None:
        self.stream.writelines((head, payload))

    async def drain(self) -> bool:
        return await self.conn._writable()

    async def read(self) -> bytes | None:
        stream = self.stream
        data = stream.take_buffered()
        if data:
            return data
        if stream.at_eof:
            if stream._error is not None:
                log.debug("websocket: the connection ended: %r", stream._error)
            return None
        stream.parked = self  # from now on the callback takes the bytes (`_answer`)
        try:
            await stream.wait_data()
        finally:
            stream.parked = None
        return b""

    def _answer(self, data: bytes) -> None:
        """The stream's `data_received` while the reader waits: decoded at once."""
        session = self.session
        session._received(data)
        if session.queue_full:
            self.stream.parked = None  # the next bytes wait in the stream, for the reader

    def accept(self, subprotocol: str | None, extension: bytes | None, extra) -> None:
        headers = [(b"upgrade", b"websocket"), (b"connection", b"Upgrade"),
                   (b"sec-websocket-accept", ws_accept(self.key))]
        if subprotocol is not None:
            headers.append((b"sec-websocket-protocol", subprotocol.encode()))
        if extension is not None:
            headers.append((b"sec-websocket-extensions", extension))
        headers.extend(extra)
        server = self.conn.server
        self.stream.write(_codec(server).serialize_response(  # checks `extra`
            101, with_defaults(server, headers), keep_alive=True))

    def response(self, status: int, headers, body: bytes, more: bool) -> None:
        server = self.conn.server
        if not more:
            self.stream.write(_response(server, status, headers, body))
            return
        codec = self.codec = _codec(server)
        self.stream.write(codec.serialize_response(
            status, with_defaults(server, headers), keep_alive=False, chunked=True))
        self.response_body(body, more)

    def response_body(self, body: bytes, more: bool) -> None:
        codec = self.codec
        out = codec.serialize_data(body) if body else b""
        if not more:
            out += codec.serialize_end()
        self.stream.write(out)

    def close(self) -> None:
        self.stream.parked = None
        transport = self.transport
        if not transport.is_closing():
            transport.close()
            if transport.get_write_buffer_size():
                # a close waits for the buffer to empty, which a client that reads nothing
                # never lets happen
                self.conn.loop.call_later(CLOSE_TIMEOUT, transport.abort)

    def abort(self) -> None:
        self.transport.abort()

    def finished(self) -> None:
        return None
