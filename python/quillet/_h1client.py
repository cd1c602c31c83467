"""One HTTP/1.1 client connection: `_quillet.H1ClientState` decides, `H1Codec` encodes heads
and `H1BodyDecoder` decodes bodies; this module does the input and output (docs/driving.md,
"HTTP/1 client").

Between exchanges the connection is watched without a task: the idle watcher's parked read is
the stream's own callbacks (`stream.watching`). When bytes, the end of input or an error reach an
idle connection, the stream reports them to the state at once (`arm_watcher`, then
`watcher_completed`, in that callback), so a server that closed an idle connection is known before
a request is written to it. The state's watcher slot exists only for that moment: a read that
completes is the whole life of the watch, so an idle period that ends with the next request
(nearly all of them) costs the state nothing, and claiming the connection takes the watch back
by forgetting it.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from _quillet import (
    H1_WATCH_IDLE_BYTES, H1_WATCH_IDLE_EOF, H1_WATCH_IDLE_ERROR, H1BodyDecoder, H1BodyError,
    H1ClientState, H1Codec, H1Error, H1IncompleteMessageError, H1UnexpectedMessageError,
    H1UserError, HeaderMap)

from ._exceptions import (
    ClientClosedError, LocalProtocolError, ReadError, ReadTimeout, RemoteProtocolError,
    RequestError, WriteError, WriteTimeout)
from ._models import NOT_YET, Request, Response, Timeout, WholeBody, pieces
from ._native import Waiter
from ._stream import BufferedReads, Stream, _read_buffers, time_out

if TYPE_CHECKING:
    from ._pool import ConnectionPool

__all__ = ["ClientStream", "H1Connection"]

# A body up to this size goes out in one write with its head; a larger one is written as it is.
_JOIN_BELOW = 64 * 1024


class ClientStream(Stream, BufferedReads):
    """The client's transport protocol: reads and drains with a deadline, and the idle
    watcher's parked read."""

    __slots__ = ("tls",)

    def __init__(self, loop, tls: bool = False) -> None:
        super().__init__(loop)
        self.tls = tls
        # `watching` (the stream's) is the idle connection this stream watches

    def buffer_updated(self, nbytes: int) -> None:  # the standard loop's reads
        self.data_received(bytes(_read_buffers.view[:nbytes]))

    def eof_received(self) -> bool:
        Stream.eof_received(self)
        return not self.tls  # a TLS close_notify ends the connection; half-open is not offered

    def poll(self) -> bytes | None:
        """`read()` without the wait: the bytes buffered, b"" at the end of input (raising the
        error that ended the connection), or None when a wait (`arm_read`) is due."""
        if self._chunks:
            return self.take_buffered()
        if self._error is not None:
            raise self._error
        return b"" if self._eof else None

    def arm_read(self, timeout: float | None) -> Waiter:
        """`read()`'s wait, for the reader to await in its own frame, then to end with
        `disarm_read` whatever the outcome: TimeoutError after `timeout` seconds. The deadline
        and its one timer are `Stream.read`'s (keep the two in step)."""
        loop = self._loop
        waiter = self._waiter = Waiter(loop)
        if timeout is None:
            self._read_by = None
        else:
            self._read_by = by = loop.time() + timeout
            timer = self._read_timer
            if timer is None or timer.when() > by:
                if timer is not None:
                    timer.cancel()
                self._read_timer = loop.call_at(by, self._read_deadline_reached)
        return waiter

    def disarm_read(self, waiter: Waiter) -> None:
        self._read_by = None
        if self._waiter is waiter:
            self._waiter = None

    async def drain_within(self, timeout: float | None) -> None:
        """Waits until the write buffer is below its mark, or bytes of the answer arrive (a
        server may answer before it has read the whole request); TimeoutError after `timeout`
        seconds of neither."""
        if self.lost:
            raise ConnectionResetError("connection lost")
        if not self._write_paused or self._chunks or self._eof:
            return
        loop = self._loop
        waiter = loop.create_future()
        self._drain_waiter = self._waiter = waiter
        timer = None if timeout is None else loop.call_later(timeout, time_out, waiter)
        try:
            await waiter
        finally:
            if timer is not None:
                timer.cancel()
            if self._waiter is waiter:
                self._waiter = None
            if self._drain_waiter is waiter:
                self._drain_waiter = None


class H1Connection(H1ClientState):
    """One HTTP/1.1 connection of the pool: the native state, its stream and codec."""

    stream: ClientStream
    codec: H1Codec
    pool: ConnectionPool
    origin: object
    served: int           # exchanges completed
    idle_since: float
    got_bytes: bool       # the current exchange has received bytes of its response
    in_pool: bool         # counted by the pool (until `connection_lost`)
    forward: str | None   # to a forward proxy: its Proxy-Authorization value ("" for none)

    http2 = False

    @classmethod
    def attach(cls, transport, stream: ClientStream, pool: ConnectionPool,
               origin, forward: str | None = None) -> H1Connection:
        conn = cls(transport)
        conn.stream = stream
        conn.codec = H1Codec()
        conn.pool = pool
        conn.origin = origin
        conn.served = 0
        conn.idle_since = 0.0
        conn.got_bytes = False
        conn.in_pool = False
        conn.forward = forward
        return conn

    def _target(self, request: Request) -> tuple[str, HeaderMap]:
        """The request target and fields: to a forward proxy, the absolute form (RFC 9112
        section 3.2.2) and the proxy's credentials."""
        if self.forward is None:
            return request.url.target, request.headers
        headers = request.headers
        if self.forward and "proxy-authorization" not in headers:
            headers = HeaderMap(headers)
            headers["proxy-authorization"] = self.forward
        return request.url.raw, headers

    # the idle watcher

    def arm_idle_watcher(self) -> None:
        stream = self.stream
        stream.watching = self
        if stream._chunks or stream._eof:
            self.idle_read_ended()

    def idle_read_ended(self) -> None:
        """The parked read returned: bytes, the end of input, or an error. The state hears of
        the watch and of its end in one go."""
        stream = self.stream
        stream.watching = None
        if not self.arm_watcher(stream):  # closed meanwhile: nothing is watched
            return
        self.store_watcher_handle(stream)
        if stream._chunks:
            data, error = stream.take_buffered(), None
        elif stream._error is not None:
            data, error = None, stream._error
        else:
            data, error = b"", None
        verdict, transport = self.watcher_completed(data, error)
        self.take_watcher_handle()  # no task to join: the read was the stream's callback
        self.take_watcher_result()
        if verdict == H1_WATCH_IDLE_BYTES:
            transport = self.fail(
                H1UnexpectedMessageError("received unexpected message from connection"))
        elif verdict == H1_WATCH_IDLE_ERROR:
            transport = self.fail(error)
        elif verdict != H1_WATCH_IDLE_EOF:
            return
        if transport is not None:
            transport.close()
        self.pool.connection_lost(self)

    def disarm_idle_watcher(self) -> None:
        """Takes the watch back before an exchange (the exchange itself is claimed already)."""
        self.stream.watching = None

    # one exchange

    async def send(self, request: Request, timeout: Timeout, started: float,
                   read: bool = False) -> Response:
        """Writes `request` and reads its response head; the body is read through the
        response. The exchange was claimed (`try_begin_exchange`) by the pool. With `read`, a
        body that came whole with the head, and needs no decoding, comes read already."""
        codec, stream = self.codec, self.stream
        self.got_bytes = False
        if self.forward is None:
            target, headers = request.url.target, request.headers
        else:
            target, headers = self._target(request)
        content = request.content
        try:
            if request.stream is None:
                try:
                    head = codec.serialize_request(
                        request.method, target, headers,
                        content_length=None if content is None else len(content))
                except (ValueError, TypeError, H1UserError) as exc:
                    raise LocalProtocolError(f"the request cannot be sent: {exc}",
                                             request=request) from exc
                self.exchange_started()
                if not content:
                    if stream.transport is not None and not stream.lost:
                        stream.transport.write(head)
                elif len(content) <= _JOIN_BELOW:
                    stream.write(codec.serialize_head_and_body(head, content))
                else:  # the codec hands the body back as it is: no copy of a large one
                    stream.write(head)
                    stream.write(codec.serialize_data(content))
                if stream._write_paused:
                    await self._drain(request, timeout.write)
            else:
                await self._send_streamed(request, timeout.write)
                self.writer_done()
            # the response head; the reads are `stream.read`'s, awaited here without its frame
            while True:
                data = stream.poll()  # raises the error that ended the connection
                if data is None:
                    waiter = stream.arm_read(timeout.read)
                    try:
                        await waiter
                    except TimeoutError:
                        raise ReadTimeout(f"no response within the read timeout of "
                                          f"{timeout.read} s", request=request) from None
                    finally:
                        stream.disarm_read(waiter)
                    continue
                if not data:
                    raise H1IncompleteMessageError("connection closed before a response head")
                self.got_bytes = True
                response_head = codec.receive_head(data)
                if response_head is not None:
                    break
        except BaseException as exc:
            error = self._abandon(exc, request)
            if error is exc:
                raise
            raise error from exc
        reused = self.served > 0
        kind, length = response_head.body_kind, response_head.content_length
        body = content = None
        if kind == "length" or kind == "empty":
            rest = codec.take_body()
            if len(rest) == length:  # the whole body came with the head (the common case)
                self.finish(0)
                if read and "content-encoding" not in response_head.headers:
                    content = rest  # the response comes read already
                else:
                    body = WholeBody(rest)
            else:
                decoder = H1BodyDecoder(kind, length)
                if rest:
                    decoder.feed(rest)
                body = _H1Body(self, decoder, request, timeout.read)
        else:
            decoder = H1BodyDecoder(kind, 0)
            codec.take_body_into(decoder)
            body = _H1Body(self, decoder, request, timeout.read)
        return Response.received(response_head.status, response_head.headers,
                                 "HTTP/1.0" if response_head.http10 else "HTTP/1.1",
                                 request, body, started, reused, content)

    async def _send_streamed(self, request: Request, write_timeout: float | None) -> None:
        codec, stream = self.codec, self.stream
        body = request.take_stream()
        declared = request.headers.get("content-length")
        target, headers = self._target(request)
        try:
            if declared is not None:
                head = codec.serialize_request(request.method, target, headers,
                                               content_length=int(declared))
            else:
                head = codec.serialize_request(request.method, target, headers, chunked=True)
        except (ValueError, TypeError, H1UserError) as exc:
            raise LocalProtocolError(f"the request cannot be sent: {exc}",
                                     request=request) from exc
        self.exchange_started()
        stream.write(head)
        async for chunk in pieces(body):
            if not self._write_chunk(chunk):
                return
            if stream._write_paused:
                await self._drain(request, write_timeout)
        if not stream._chunks:
            stream.write(codec.serialize_end())

    def _write_chunk(self, chunk: bytes) -> bool:
        """Writes one piece of a streamed body; False once the server has begun its answer:
        the rest is not sent, and the codec counts the request as unfinished (the connection
        then ends with the response)."""
        stream = self.stream
        if stream._chunks or stream._eof:
            return False
        stream.write(self.codec.serialize_data(bytes(chunk)))
        return True

    async def _drain(self, request: Request, timeout: float | None) -> None:
        try:
            await self.stream.drain_within(timeout)
        except TimeoutError:
            raise WriteTimeout(f"the server took none of the request for {timeout} s",
                               request=request) from None

    async def _read_head(self, request: Request, timeout: float | None):
        """The response head (the WebSocket opening's; `send` reads its own in its frame)."""
        codec, stream = self.codec, self.stream
        data = stream.take_buffered()
        while True:
            if data:
                self.got_bytes = True
            head = codec.receive_head(data)
            if head is not None:
                return head
            if not data and stream.at_eof and not stream._chunks:
                if stream._error is not None:
                    raise stream._error
                raise H1IncompleteMessageError("connection closed before a response head")
            try:
                data = await stream.read(timeout)
            except TimeoutError:
                raise ReadTimeout(f"no response within the read timeout of {timeout} s",
                                  request=request) from None

    # the end of an exchange

    def finish(self, past_body: int) -> None:
        """The body has been read: the connection goes back to the pool, or is closed when
        the codec's verdict (or `past_body` bytes received past the body, or request bytes
        still unsent) says it cannot carry another request."""
        self.codec.reset()
        self.served += 1
        transport = self.transport_ref()
        if (self.codec.response_is_last or past_body or transport is None
                or transport.get_write_buffer_size()):
            transport = self.close_now()
            if transport is not None:
                transport.close()
            self.end_exchange()
            self.pool.connection_lost(self)
        else:
            self.end_exchange()
            self.pool.release(self)

    def _abandon(self, exc: BaseException, request: Request) -> BaseException:
        """The exchange failed: the connection is closed and leaves the pool. Returns the
        error to raise, in the client's terms."""
        error = self.error
        transport = self.fail(exc if not isinstance(exc, RequestError) else None)
        if transport is not None:
            transport.close()
        self.end_exchange()
        self.pool.connection_lost(self)
        return translate(exc, request, self.got_bytes, error, self.pool.closed)

    def close(self) -> None:
        transport, _done, _writer, _idle = self.mark_closed()
        self.disarm_idle_watcher()
        if transport is not None:
            transport.close()


class _H1Body:
    """The body of one HTTP/1.1 response, read through its decoder."""

    __slots__ = ("conn", "decoder", "request", "read_timeout", "trailers", "done")

    def __init__(self, conn: H1Connection, decoder: H1BodyDecoder, request: Request,
                 read_timeout: float | None) -> None:
        self.conn = conn
        self.decoder = decoder
        self.request = request
        self.read_timeout = read_timeout
        self.trailers: HeaderMap | None = None
        self.done = False

    def poll(self) -> bytes | object | None:
        """The next piece of the body, None after the last, or NOT_YET while it has not come.
        The connection is given back as soon as the last piece is decoded (`done` then tells
        the reader so)."""
        if self.done:
            return None
        decoder = self.decoder
        try:
            while True:
                chunk = decoder.decode()
                if chunk is None and not decoder.is_complete:
                    data = self.conn.stream.poll()
                    if data is None:
                        return NOT_YET
                    if data:
                        decoder.feed(data)
                    else:
                        decoder.mark_eof()
                elif chunk is None or chunk:
                    if decoder.is_complete:  # the last piece (or the end): the body is done
                        self.trailers = decoder.take_trailers()
                        self.done = True
                        self.conn.finish(decoder.buffered)
                    return chunk
        except BaseException as exc:
            error = self._failed(exc)
            if error is exc:
                raise
            raise error from exc

    async def next_chunk(self) -> bytes | None:
        """`poll()`, waiting for the server's bytes when they have not come."""
        while (chunk := self.poll()) is NOT_YET:
            stream = self.conn.stream
            waiter = stream.arm_read(self.read_timeout)
            try:
                try:
                    await waiter
                except TimeoutError:
                    raise ReadTimeout("the server sent no more of the body within the read "
                                      f"timeout of {self.read_timeout} s",
                                      request=self.request) from None
                finally:
                    stream.disarm_read(waiter)
            except BaseException as exc:
                error = self._failed(exc)
                if error is exc:
                    raise
                raise error from exc
        return chunk

    def _failed(self, exc: BaseException) -> BaseException:
        """The read failed: the connection is given up (once). Returns the error to raise."""
        if self.done:
            return exc
        self.done = True
        return self.conn._abandon(exc, self.request)

    async def aclose(self) -> None:
        if not self.done:  # given up half-read: the connection cannot carry another request
            self.done = True
            self.conn._abandon(ClientClosedError("the response was closed before its end"),
                               self.request)


def translate(exc: BaseException, request: Request, got_bytes: bool, earlier, closed: bool
              ) -> BaseException:
    """The client's exception for what an exchange raised. An error that came before any
    byte of the response is marked `before_response` (a retry may be safe)."""
    if isinstance(exc, RequestError):
        if exc.request is None:
            exc.request = request
        if isinstance(exc, (ReadTimeout, WriteTimeout)):
            return exc
        error = exc
    elif not isinstance(exc, Exception):  # a cancellation and the like: as they are
        return exc
    elif closed:
        error = ClientClosedError("the client was closed while the request was in flight",
                                  request=request)
    elif isinstance(exc, (H1IncompleteMessageError, H1UnexpectedMessageError)):
        error = RemoteProtocolError(
            "the server closed the connection without sending a complete response"
            if not got_bytes else f"the response ended early: {exc}", request=request)
    elif isinstance(exc, H1BodyError):
        error = RemoteProtocolError(f"invalid response body: {exc.args[-1]}", request=request)
    elif isinstance(exc, H1Error):
        error = RemoteProtocolError(f"invalid response: {exc.args[-1]}", request=request)
    elif isinstance(exc, OSError):
        kind = WriteError if isinstance(exc, BrokenPipeError) else ReadError
        error = kind(f"the connection failed: {exc!r}", request=request)
    else:
        return exc
    if earlier is not None and error.__cause__ is None:
        error.__cause__ = earlier
    if isinstance(error, (ReadError, WriteError, RemoteProtocolError)):
        error.before_response = not got_bytes
    return error

