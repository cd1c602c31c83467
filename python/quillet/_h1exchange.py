"""The HTTP/1 exchange in Python: one request's `receive` and the writers behind its `send`,
over the HTTP/1 connection of `_h1server`. The native `H1Exchange` does the common case itself
and hands everything else to this one; with `--driver python` this one does it all, as the
reference the native exchange is tested against.
"""

from __future__ import annotations

import asyncio
import logging
from collections.abc import Awaitable
from typing import TYPE_CHECKING, Any

from _quillet import (
    H1_REQ_CONTINUE, H1_REQ_OK, H1_REQ_PEER_CLOSED, H1BodyError, H1Codec, H1UserError, HeaderMap)

from ._asgi import DISCONNECT, ClientDisconnected, Exchange

if TYPE_CHECKING:
    from ._h1server import Connection

log = logging.getLogger("quillet.server")

_CONTINUE = H1Codec.continue_response()
# A response body up to this size goes out in one write with its head; a larger one as it is.
_JOIN_BELOW = 64 * 1024


class PythonExchange(Exchange):
    """One request and its response: the ASGI `receive` of the application, and the writers
    behind its `send` (checked in `Exchange.send`)."""

    __slots__ = Exchange.FIELDS + ("conn", "seq", "head", "decoder", "delivered", "gone", "over")

    # Whether the body has ended and whether the response is over are the native state's (the
    # decoder's `is_complete`, and `finished` below); the flags kept here are facts it does not
    # hold: what the application was handed and sent, and a client lost on a failed body read.

    def __init__(self, conn: Connection, seq: int, head, decoder) -> None:
        self.conn = conn
        self.seq = seq
        self.head = head
        self.decoder = decoder
        self.delivered = False     # the last http.request message went to the application
        self.started = False       # http.response.start came, and waits for the first body
        # The response head went out. The native claim also counts a head still waiting for a
        # 100 Continue, which has not gone out yet.
        self.head_written = False
        # The client left: seen by the watcher (the native peer-closed flag) or by a failed body
        # read, which the native state does not record as a peer close.
        self.gone = False
        self.timed_out = False  # the body deadline passed: the client is taken for gone
        self.status = self.sent = 0
        self.raw_headers: Any = ()
        self.trailers_wanted = False  # this protocol announces no trailers
        self.over: asyncio.Event | None = None  # set when the request is over or the client left

    # receive

    @property
    def finished(self) -> bool:
        """The response is over: written in full, failed or abandoned (the native window)."""
        return self.conn.peer_closed_now(self.seq) is not None

    async def receive(self) -> dict:
        if self.delivered or self.gone or self.finished:
            return await self._wait_disconnect()
        if not self.decoder.is_complete:
            return await self._read_body()
        # the whole body came with the head: no read needed
        self.delivered = True
        decoder = self.decoder
        parts = []
        chunk = decoder.decode()
        while chunk is not None:
            parts.append(chunk)
            chunk = decoder.decode()
        body = parts[0] if len(parts) == 1 else b"".join(parts)
        return {"type": "http.request", "body": body, "more_body": False}

    async def _read_body(self) -> dict:
        conn, seq = self.conn, self.seq
        if not conn.begin_body_read(seq):
            self.delivered = True
            return DISCONNECT
        if self.head.expect_continue and conn.try_send_continue(seq):
            conn.stream.write(_CONTINUE)
        decoder = self.decoder
        parts = []
        try:
            while True:
                chunk = decoder.decode()
                if chunk is not None:
                    parts.append(chunk)
                    continue
                if parts or decoder.is_complete:
                    break
                data = await conn._read_within(conn.server.body_timeout)
                if data:
                    decoder.feed(data)
                else:
                    decoder.mark_eof()
        except TimeoutError:
            # The client stopped sending its body: the application hears it has gone, and
            # unless it has begun its response the server answers 408 for it (`Exchange.settle`).
            log.debug("request %d: no body bytes within %ss", seq, conn.server.body_timeout)
            conn.mark_unusable()
            conn.end_body_read(seq, False)
            self.delivered = True
            self.gone = self.timed_out = True
            return DISCONNECT
        except (H1BodyError, OSError) as exc:
            log.debug("request body read failed: %r", exc)
            conn.mark_unusable()
            conn.end_body_read(seq, False)
            self.delivered = True
            self._client_gone()
            return DISCONNECT
        except BaseException:
            conn.mark_unusable()
            conn.end_body_read(seq, False)
            raise
        complete = decoder.is_complete
        conn.end_body_read(seq, complete)
        self.delivered = complete
        body = parts[0] if len(parts) == 1 else b"".join(parts)
        return {"type": "http.request", "body": body, "more_body": not complete}

    async def _wait_disconnect(self) -> dict:
        if self.gone or self.finished:
            return DISCONNECT
        conn = self.conn
        if conn.peer_closed_now(self.seq) is not None:
            return DISCONNECT  # the request is over
        if self.over is None:
            self.over = asyncio.Event()
        done = conn.loop.create_future()
        if conn.arm_watcher(self.seq, done, want=True):
            conn.spawn_watcher(done, self.seq)
        await self.over.wait()
        return DISCONNECT

    def _client_gone(self) -> None:
        self.gone = True
        self.conn.close_window(self.seq)
        self._resolve()

    def _resolve(self) -> None:
        if self.over is not None:
            self.over.set()

    # the writers behind `send`

    def write_head(self, body: bytes, more: bool) -> Awaitable[None] | None:
        conn, seq = self.conn, self.seq
        headers = HeaderMap()
        content_length = None
        chunked = False
        for name, value in self.raw_headers:
            # the two framing fields are the only names of these lengths that matter here
            if len(name) in (14, 17):
                lname = name.lower()
                if lname == b"content-length":
                    content_length = int(value)
                    continue
                if lname == b"transfer-encoding":
                    chunked = True
                    continue
            headers.add(name, value)
        for name, value in conn.server.default_headers:
            if name not in headers:
                headers.add(name, value)
        if content_length is None and not chunked:
            if more:
                chunked = True
            else:
                content_length = len(body)
        if chunked:
            content_length = None
        # the event a watcher sets when it ends; no watcher is armed for a response written whole
        done = conn.loop.create_future() if more else None
        try:
            code, head, armed = conn.respond_head(
                seq, self.status, headers, done, content_length=content_length,
                chunked=chunked, want=more)
            if code == H1_REQ_CONTINUE:  # the 100 Continue was written synchronously already
                code, head, armed = conn.respond_head(
                    seq, self.status, headers, done, content_length=content_length,
                    chunked=chunked, want=more)
        except H1UserError:
            self._fail()
            raise
        if code == H1_REQ_PEER_CLOSED:
            self.gone = True
            self._fail()
            raise self.disconnected()
        if code != H1_REQ_OK:
            raise RuntimeError(f"the response cannot be sent (verdict {code})")
        self.head_written = True
        codec = conn.codec
        if not more:
            try:
                if len(body) <= _JOIN_BELOW or codec.body_is_eof():
                    conn.stream.write(codec.serialize_head_and_body(head, body))
                else:  # the body goes out as the application handed it over, not copied
                    conn.stream.writelines((head, codec.serialize_data(body),
                                            codec.serialize_end()))
            except H1UserError:
                conn.stream.write(head)
                self._fail()
                raise
            self._finish()
            return None
        if armed:
            conn.spawn_watcher(done, seq)
        if body and not codec.body_is_eof():
            head += codec.serialize_data(body)
        stream = conn.stream
        stream.write(head)
        if stream._write_paused or stream.lost:
            return self._held()
        return None

    def write_body(self, body: bytes, more: bool) -> Awaitable[None] | None:
        conn = self.conn
        codec = conn.codec
        try:
            out = codec.serialize_data(body) if body and not codec.body_is_eof() else b""
            if not more:
                try:
                    out += codec.serialize_end()
                except ValueError:  # no body encoder: a HEAD, 204 or 304 response
                    pass
        except H1UserError:
            self._fail()
            raise
        stream = conn.stream
        if out:
            stream.write(out)
        if not more:
            self._finish()
        elif stream._write_paused or stream.lost:
            return self._held()
        return None

    async def _held(self) -> None:
        """A piece of a streamed body went out onto a full write buffer: the application goes
        on once the client has taken it, and hears it has gone if it takes nothing."""
        if not await self.conn._writable() and not self.gone:
            self._client_gone()
        if self.gone:
            raise self.disconnected()

    def write_trailers(self, headers) -> None:
        raise AssertionError("no trailers were announced")  # `Exchange.send` asks for none

    def answer(self, status: int, headers, body: bytes) -> None:
        self.started = True
        self.status, self.raw_headers = status, headers
        try:
            self.write_head(body, False)
        except (ClientDisconnected, H1UserError, RuntimeError):
            self._fail()

    def abort(self) -> None:
        self._fail()  # an incomplete response cannot be repaired: close

    @staticmethod
    def disconnected() -> ClientDisconnected:
        return ClientDisconnected("the client closed the connection")

    def _finish(self) -> None:
        switch, close, transport, leftover = self.conn.finish_response(self.seq)
        if (switch or close) and transport is not None:
            transport.close()  # no tunnels here: a switched connection has no one to take it
        self._resolve()

    def _fail(self) -> None:
        transport = self.conn.fail_response(self.seq)
        if transport is not None:
            transport.close()
        self._resolve()

    def on_peer_closed(self) -> None:
        """The watcher saw the client go while the response was in flight."""
        self._client_gone()
