"""One HTTP/2 client connection of the pool: the shared driver (`_h2.Driver`) in the client
role, each request a stream run by its caller's task (docs/driving.md, "HTTP/2").

The pool hands out stream slots (`try_claim_slot`) and hears from the connection when slots
come free or the connection ends. Until the server's first SETTINGS say how many streams it
takes, one request at a time may open a stream: a burst of requests on a new connection would
otherwise all go out under the protocol's "no limit" default and be refused beyond the
server's real one.
"""

from __future__ import annotations

import asyncio
from typing import TYPE_CHECKING

from _quillet import (
    H2_FLAG_CONN_DONE, H2_FLAG_SLOT_FREED, H2_HEADERS_HEAD, H2_HEADERS_TRAILERS, H2Codec,
    H2Reason, H2UserError, HeaderMap)

from ._exceptions import (
    ClientClosedError, LocalProtocolError, ReadError, ReadTimeout, RemoteProtocolError,
    RequestError, TransportError, WriteTimeout)
from ._h2 import (
    CANCEL, LIMITS, NO_ERROR, Driver, StreamHandle, StreamStopped, header_map, sendable)
from ._models import NOT_YET, Request, Response, Timeout, pieces
from ._stream import Stream

if TYPE_CHECKING:
    from ._pool import ConnectionPool

__all__ = ["ClientConnection"]

_check_send_headers = H2Codec.check_send_headers
_REFUSED_STREAM = int(H2Reason.REFUSED_STREAM)
# Streams at once when the server's SETTINGS name no limit.
UNANNOUNCED_STREAM_LIMIT = 256


class _Exchange(StreamHandle):
    """A stream's handle, and whether our own deadline stopped it."""

    __slots__ = ("timed_out",)

    def __init__(self) -> None:
        super().__init__()
        self.timed_out = False


class ClientConnection(Driver):
    """An HTTP/2 client connection: the native state, its pumps, and the requests in flight."""

    http2 = True
    pool: ConnectionPool | None
    origin: object
    requests_sent: int
    last_used: float
    settings_seen: bool   # the server's first SETTINGS have arrived
    settings_event: asyncio.Event
    in_pool: bool         # counted by the pool (until `connection_lost`)

    @classmethod
    def attach(cls, stream: Stream, authority: str, scheme: str = "http",
               pool: ConnectionPool | None = None, origin: object = None) -> ClientConnection:
        """HTTP/2 on a connection already open: prior knowledge, or ALPN's choice over TLS."""
        loop = stream._loop
        # This client accepts no server push.
        conn = cls("client", enable_push=False, **LIMITS)
        conn._setup(stream)
        conn.authority = authority
        conn.scheme = scheme
        conn.pool = pool
        conn.origin = origin
        conn.requests_sent = 0
        conn.last_used = loop.time()
        conn.settings_seen = False
        conn.settings_event = asyncio.Event()  # set with settings_seen, or when the end comes
        conn.in_pool = False
        conn.apply_stream_limit(1)
        conn.begin()
        pump = loop.create_task(conn.write_pump())
        reader = loop.create_task(conn.read_pump())
        conn.store_task_handles(reader, pump)
        conn.pump_wanted.set()
        return conn

    # what the pool hears

    def act(self, flags: int) -> None:
        Driver.act(self, flags)
        if flags & (H2_FLAG_SLOT_FREED | H2_FLAG_CONN_DONE) and self.pool is not None:
            if flags & H2_FLAG_CONN_DONE:
                self.pool.connection_lost(self)
            else:
                self.pool.slots_freed(self)

    def peer_settings_arrived(self) -> None:
        self.settings_seen = True
        self.settings_event.set()
        if self.peer_max_concurrent_streams is None:
            self.apply_stream_limit(UNANNOUNCED_STREAM_LIMIT)
        if self.pool is not None:
            # the waiters may use the slots now, or, beyond them, open another connection
            self.pool.slots_freed(self)

    def connection_failed(self, exc: BaseException | None, message: str = "connection closed"):
        Driver.connection_failed(self, exc, message)
        self.settings_event.set()
        if self.pool is not None:
            self.pool.connection_lost(self)

    def stalled(self, handle: StreamHandle) -> None:
        if isinstance(handle, _Exchange):
            handle.timed_out = True
        Driver.stalled(self, handle)

    def on_headers(self, frame) -> None:
        v = self.recv_headers(frame)
        handle = v.handle
        if v.kind == H2_HEADERS_HEAD:
            handle.head = frame
            handle.head_event.set()
        elif v.kind == H2_HEADERS_TRAILERS:
            handle.trailers = frame.headers
        if handle is not None and v.eof:
            handle.ended = True
            handle.changed.set()
        self.act(v.flags)

    @property
    def usable(self) -> bool:
        """Whether new requests may go out on this connection."""
        return not self.is_closed()

    # one exchange

    async def send(self, request: Request, timeout: Timeout, started: float,
                   read: bool = False) -> Response:
        """Opens a stream on a slot the pool claimed for this request, sends the request and
        reads its response head; the body is read through the response."""
        self.requests_sent += 1
        self.last_used = self.loop.time()
        fields = HeaderMap(request.headers)
        authority = fields.get("host")
        if authority is not None:
            del fields["host"]
            authority = authority.decode("latin-1")
        content = request.content
        if content and "content-length" not in fields:
            fields["content-length"] = str(len(content))
        try:
            _check_send_headers(fields)
        except H2UserError:  # before the slot is spent: fields HTTP/2 does not carry go
            fields = sendable(header_map(fields))
        handle = _Exchange()
        end_stream = not content and request.stream is None
        try:
            sid = self.open_stream(request.method, request.url.target, fields, end_stream,
                                   request.method == "HEAD", handle, scheme=self.scheme,
                                   authority=authority or self.authority)
        except (ValueError, TypeError, H2UserError) as exc:  # the slot has been given back
            raise LocalProtocolError(f"the request cannot be sent: {exc}",
                                     request=request) from exc
        if sid is None:
            raise self._closed_error(request, handle)
        handle.sid = sid
        self.pump_wanted.set()
        sending = True
        try:
            if content:
                await self.send_body(handle, content, True, timeout.write)
            elif request.stream is not None:
                await self._send_streamed(request, handle, timeout.write)
            sending = False
            await self._read_head(handle, timeout.read)
        except StreamStopped:
            if handle.head is None or handle.timed_out:
                raise self._stopped_error(request, handle, sending) from None
            # the server answered (and stopped the upload): its response stands
        except BaseException as exc:
            self._cancel(handle)
            if isinstance(exc, RequestError) and exc.request is None:
                exc.request = request
            raise
        head = handle.head
        if head.oversize:
            # Fields past our header-list budget were dropped: the head cannot be trusted.
            self._cancel(handle)
            raise RemoteProtocolError(
                "the stream was stopped: the response head is larger than the header-list "
                f"limit of {LIMITS['max_header_list_size']} bytes", request=request)
        return Response.received(head.status, head.headers, "HTTP/2", request,
                                 _H2Body(self, handle, request, timeout.read), started,
                                 self.requests_sent > 1)

    async def _send_streamed(self, request: Request, handle: _Exchange,
                             write_timeout: float | None) -> None:
        async for chunk in pieces(request.take_stream()):
            await self.send_body(handle, chunk, False, write_timeout)
        await self.send_body(handle, b"", True, write_timeout)

    async def _read_head(self, handle: _Exchange, read_timeout: float | None) -> None:
        deadline = None if read_timeout is None else self.loop.time() + read_timeout
        while handle.head is None:
            if handle.stop is not None:
                raise StreamStopped(handle.stop)
            handle.head_event.clear()
            if not await self.wait_until(handle.head_event, deadline) and handle.head is None \
                    and handle.stop is None:
                self.stalled(handle)
                raise StreamStopped(handle.stop)

    def _cancel(self, handle: _Exchange) -> None:
        """Nobody will read this stream's response: it is reset."""
        if handle.stop is None and not self.is_failed():
            self.act(self.reset_stream(handle.sid, CANCEL).flags)

    def _closed_error(self, request: Request, handle: _Exchange) -> TransportError:
        if self.pool is not None and self.pool.closed:
            return ClientClosedError("the client was closed while the request was in flight",
                                     request=request)
        info = self.goaway_info()
        if info is not None and (handle.sid == 0 or handle.sid > info[0]):
            # the server says it never saw this stream: safe to send again (RFC 9113 8.7)
            exc = RemoteProtocolError(f"the server sent GOAWAY {info!r} without processing "
                                      "the request", request=request)
            exc.unprocessed = True
            return exc
        error = self.conn_error()
        if error is not None:
            exc = ReadError(f"the connection failed: {error!r}", request=request)
            exc.__cause__ = error
        else:
            exc = RemoteProtocolError(f"the server sent GOAWAY {info!r}", request=request)
        exc.before_response = handle.head is None
        return exc

    def _stopped_error(self, request: Request, handle: _Exchange, sending: bool
                       ) -> TransportError:
        if handle.timed_out:
            if sending:
                return WriteTimeout("the server opened no flow-control window for the request "
                                    "body within the write timeout", request=request)
            return ReadTimeout("no response within the read timeout", request=request)
        stop = handle.stop
        if self.is_closed():
            return self._closed_error(request, handle)
        if stop is not None and stop.reason == _REFUSED_STREAM:
            exc = RemoteProtocolError("the server refused the stream (REFUSED_STREAM)",
                                      request=request)
            exc.unprocessed = True
            return exc
        return RemoteProtocolError(f"the server reset the stream: {stop!r}", request=request)

    def stream_ended(self) -> None:
        self.last_used = self.loop.time()

    async def aclose(self) -> None:
        if not self.is_failed():
            self.act(self.send_goaway(NO_ERROR))
            self.connection_failed(None, "connection closed by the client")
        await self.close_pumps(self.take_read_handle())

    def close(self) -> None:
        """Starts closing; the pool awaits `aclose()` where it can wait."""
        if not self.is_failed():
            self.act(self.send_goaway(NO_ERROR))
            self.connection_failed(None, "connection closed by the client")


class _H2Body:
    """The body of one HTTP/2 response: the DATA of its stream."""

    __slots__ = ("conn", "handle", "request", "read_timeout", "trailers", "done")

    def __init__(self, conn: ClientConnection, handle: _Exchange, request: Request,
                 read_timeout: float | None) -> None:
        self.conn = conn
        self.handle = handle
        self.request = request
        self.read_timeout = read_timeout
        self.trailers: HeaderMap | None = None
        self.done = False

    def poll(self) -> object:
        return NOT_YET  # the stream's DATA is taken only by `next_chunk`

    async def next_chunk(self) -> bytes | None:
        conn, handle = self.conn, self.handle
        try:
            chunk = await conn.next_chunk(handle, self.read_timeout)
        except StreamStopped:
            self.done = True
            if handle.timed_out:
                raise ReadTimeout("the server sent no more of the body within the read timeout "
                                  f"of {self.read_timeout} s", request=self.request) from None
            raise conn._stopped_error(self.request, handle, False) from None
        except BaseException:
            self.done = True
            conn._cancel(handle)
            raise
        if chunk is None:
            self.done = True
            self.trailers = handle.trailers
            conn.stream_ended()
        return chunk

    async def aclose(self) -> None:
        if not self.done:
            self.done = True
            self.conn._cancel(self.handle)
