"""HTTP/2 with prior knowledge (h2c) for the ASGI server: one `ServerConnection` per TCP
connection whose first bytes are the client preface, and one task per request stream."""

from __future__ import annotations

import asyncio
import collections
import logging
from typing import Any
from urllib.parse import unquote

from _quillet import H2_HEADERS_OPENED, H2_HEADERS_TRAILERS, H2UserError

from ._h2 import LIMITS, Driver, StreamHandle, StreamStopped, header_map
from ._stream import Stream, addresses

log = logging.getLogger("quillet.server")

_ASGI = {"version": "3.0", "spec_version": "2.3"}
_DISCONNECT = {"type": "http.disconnect"}
_INTERNAL_ERROR = 2
_CANCEL = 8


class _Request(StreamHandle):
    """One request stream: the handle the native state keeps, and the ASGI exchange."""

    __slots__ = ("task", "started", "status", "raw_headers", "trailers_wanted", "head_sent",
                 "over", "sent", "delivered", "grace")

    def __init__(self) -> None:
        super().__init__()
        self.task: asyncio.Task | None = None
        self.started = False
        self.status = 0
        self.raw_headers: Any = ()
        self.trailers_wanted = False
        self.head_sent = False
        self.over = False  # the response went out in full
        self.sent = 0  # body bytes, for the access log
        self.delivered = False  # the application was told the body is over
        self.grace: asyncio.TimerHandle | None = None  # cancels the task of a reset stream


class ServerConnection(Driver):
    """An HTTP/2 server connection: the native state, its pumps, and a task per request."""

    # What a stopped stream's application gets to finish before its task is cancelled.
    reset_grace = 1.0
    # How long a graceful shutdown waits for the answer to its PING on a connection with
    # nothing in flight.
    shutdown_ping_timeout = 2.0

    @classmethod
    def open(cls, server, stream: Stream, transport) -> ServerConnection:
        conn = cls("server", max_concurrent_streams=server.h2_max_concurrent_streams, **LIMITS)
        conn._setup(stream)
        conn.server = server
        # A stream counts against the limit until its task has ended and its last bytes have
        # drained; the streams that arrive meanwhile wait, and are open to the state, whose own
        # limit refuses any beyond.
        conn.requests: set[_Request] = set()
        conn.waiting: collections.deque[_Request] = collections.deque()
        conn.limit = server.h2_max_concurrent_streams
        conn.body_timeout = server.body_timeout
        conn.write_timeout = server.write_timeout
        conn.idle_since = conn.loop.time()
        conn.idle_timer = None
        conn.all_ended = asyncio.Event()  # no request left
        conn.closer = None
        conn.client, conn.sockname = addresses(transport)
        conn.tls = server.ssl is not None
        return conn

    async def serve(self, primed: bytes) -> None:
        """Runs the connection to its end; `primed` are the bytes read to recognise it."""
        self.begin()
        if self.prime(primed) is not True:
            self.stream.transport.close()
            return
        self.expect_settings_ack(self.server.h2_settings_timeout)
        pump = self.loop.create_task(self.write_pump())
        reader = self.loop.create_task(self.read_pump())
        self.store_task_handles(reader, pump)
        self.pump_wanted.set()
        self._check_idle()
        ended = self.loop.create_task(self.finished.wait())
        try:
            await asyncio.wait((reader, ended), return_when=asyncio.FIRST_COMPLETED)
            if reader.done():
                reader.result()
        except Exception:
            log.exception("HTTP/2 connection failed")
        finally:
            ended.cancel()
            if not self.is_failed():
                self.connection_failed(None, "connection closed")
            for request in list(self.requests):
                if request.task is not None:
                    request.task.cancel()
            if self.requests:
                await asyncio.gather(*(r.task for r in list(self.requests) if r.task),
                                     return_exceptions=True)
            await self.close_pumps(reader, linger=True)
            self._release()

    def _release(self) -> None:
        """Breaks the cycles through this connection, so that its memory (native buffers
        included) returns as soon as the last reference goes, without the cycle collector."""
        for timer in (self.idle_timer, self.settings_timer):
            if timer is not None:
                timer.cancel()
        self.idle_timer = self.settings_timer = None
        if self.closer is not None and not self.closer.done():
            self.closer.cancel()
        self.closer = None
        self.take_read_handle()
        self.take_pump_handle()
        self.requests.clear()
        self.waiting.clear()
        self.waiting_room.clear()
        self.stream = None

    def _idle(self) -> bool:
        return not self.requests and not self.waiting and self.num_streams == 0

    def _check_idle(self) -> None:
        """Ends a connection that had no stream for the keep-alive timeout: GOAWAY, then close.
        Runs at most once per timeout."""
        self.idle_timer = None
        if self.is_failed():
            return
        timeout = self.server.keep_alive_timeout
        left = timeout
        if self._idle():
            left = self.idle_since + timeout - self.loop.time()
            if left <= 0:
                log.debug("HTTP/2 connection idle for %.1fs: closing", timeout)
                self.act(self.send_goaway(0))
                self.connection_failed(None, "connection closed: idle")
                return
        self.idle_timer = self.loop.call_later(left, self._check_idle)

    def shutdown(self) -> None:
        """Graceful shutdown: GOAWAY and the shutdown PING; the requests the client sent before
        it saw them are served, then the connection closes."""
        if self.graceful or self.is_failed():
            return
        self.act(self.begin_graceful_shutdown())
        self.closer = self.loop.create_task(self._end_when_idle())

    async def _end_when_idle(self) -> None:
        # Until the final GOAWAY went out and no stream is left. A client that never answers the
        # PING, with nothing in flight, is done after a short wait: the final GOAWAY then names
        # the last stream processed without its help.
        while not self.stop_accepting.is_set():
            try:
                await asyncio.wait_for(self.stop_accepting.wait(), self.shutdown_ping_timeout)
            except TimeoutError:
                if self._idle():
                    self.act(self.send_goaway(0))
                    break
        while self.requests:
            self.all_ended.clear()
            await self.all_ended.wait()
        self.connection_failed(None, "connection closed: server shutdown")

    # requests

    def on_headers(self, frame) -> None:
        request = _Request()
        v = self.recv_headers(frame, request)
        if v.kind == H2_HEADERS_OPENED and frame.oversize:
            # Fields past our header-list budget were dropped: the request is refused whole
            # (RFC 6585 section 5) and never reaches the application.
            self.accepted(v.stream_id)
            self.act(v.flags)
            refused = self.send_response_head(v.stream_id, 431, header_map(()), True)
            self.act(refused.flags)
            return
        if v.kind == H2_HEADERS_OPENED:
            request.sid = v.stream_id
            request.head = frame
            request.ended = v.eof
            self._admit(request)
        elif v.kind == H2_HEADERS_TRAILERS:
            handle = v.handle
            handle.trailers = frame.headers
            handle.ended = True
            handle.changed.set()
        self.act(v.flags)

    def _admit(self, request: _Request) -> None:
        if self.limit is not None and len(self.requests) >= self.limit:
            self.waiting.append(request)
        else:
            self._begin(request)

    def _begin(self, request: _Request) -> None:
        if request.stop is not None:  # reset while it waited: nothing to run
            self.accepted(request.sid)
            return
        self.requests.add(request)
        request.task = self.loop.create_task(self._run_app(request))

    def _request_ended(self, request: _Request) -> None:
        self.requests.discard(request)
        while self.waiting and len(self.requests) < self.limit and not self.is_failed():
            self._begin(self.waiting.popleft())
        if not self.requests:
            self.idle_since = self.loop.time()
            self.all_ended.set()

    def stream_reset(self, request: _Request) -> None:
        # The application is told (http.disconnect); one that goes on regardless is cancelled.
        task = request.task
        if task is not None and not request.over and request.grace is None:
            request.grace = self.loop.call_later(self.reset_grace, task.cancel)

    def _scope(self, request: _Request) -> dict:
        head = request.head
        target = head.path or "/"
        path, _, query = target.partition("?")
        headers = head.headers.raw_items()
        cookies = [value for name, value in headers if name == b"cookie"]
        if len(cookies) > 1:
            # HTTP/2 may split a cookie into one field per pair (RFC 9113 section 8.2.3);
            # applications written for HTTP/1.1 expect one header.
            headers = [(n, v) for n, v in headers if n != b"cookie"]
            headers.append((b"cookie", b"; ".join(cookies)))
        if head.authority is not None and "host" not in head.headers:
            headers.insert(0, (b"host", head.authority.encode("latin-1")))
        return {
            "type": "http",
            "asgi": _ASGI,
            "http_version": "2",
            "method": head.method,
            "scheme": "https" if self.tls else "http",
            "path": unquote(path) if "%" in path else path,
            "raw_path": path.encode("latin-1"),
            "query_string": query.encode("latin-1"),
            "root_path": self.server.root_path,
            "headers": headers,
            "client": self.client,
            "server": self.sockname,
            "state": dict(self.server.state),
            "extensions": {"http.response.trailers": {}},
        }

    async def _run_app(self, request: _Request) -> None:
        # Taken only now that the task runs: a client that opens streams and resets them in the
        # same breath (the rapid-reset attack) finds them unaccepted, which the state caps.
        self.accepted(request.sid)
        server = self.server
        scope = self._scope(request)
        app = server.admit(scope)
        began = self.loop.time()
        try:
            await self._run_exchange(app, scope, request)
        finally:
            server.request_done(scope, request.head.path or "/", request.status, request.sent,
                                began)
            request.task = None
            if request.grace is not None:
                request.grace.cancel()
                request.grace = None
            # the stream holds its place until its bytes are out
            self.when_flushed(lambda: self._request_ended(request))

    async def _run_exchange(self, app, scope: dict, request: _Request) -> None:
        try:
            await app(scope, lambda: self._receive(request),
                      lambda message: self._send(request, message))
        except StreamStopped:
            pass
        except asyncio.CancelledError:
            self._reset(request, _CANCEL)
            raise
        except Exception:
            log.exception("the application raised an exception")
            if not request.head_sent and request.stop is None:
                try:
                    await self._respond(request, 500, [(b"content-type", b"text/plain")],
                                        b"Internal Server Error\n", False)
                except StreamStopped:
                    pass
            else:
                self._reset(request, _INTERNAL_ERROR)
        else:
            if not request.over:
                if not request.head_sent and request.stop is None:
                    log.error("the application returned without a response")
                    try:
                        await self._respond(request, 500, (), b"", False)
                    except StreamStopped:
                        pass
                else:
                    self._reset(request, _INTERNAL_ERROR)

    def _reset(self, request: _Request, reason: int) -> None:
        v = self.reset_stream(request.sid, reason)
        self.act(v.flags)

    async def _receive(self, request: _Request) -> dict:
        if request.delivered or request.over or request.stop is not None:
            return await self._wait_disconnect(request)
        try:
            chunk = await self.next_chunk(request)
        except StreamStopped:
            return _DISCONNECT
        # A body that ends on HEADERS, or on an empty DATA frame after the last chunk went up,
        # still owes the application its closing message.
        more = chunk is not None and (bool(request.chunks) or not request.ended)
        request.delivered = not more
        return {"type": "http.request", "body": chunk or b"", "more_body": more}

    async def _wait_disconnect(self, request: _Request) -> dict:
        while request.stop is None and not request.over:
            request.changed.clear()
            await request.changed.wait()
        return _DISCONNECT

    async def _send(self, request: _Request, message: dict) -> None:
        kind = message["type"]
        if request.stop is not None:
            raise StreamStopped(request.stop)
        if kind == "http.response.start":
            if request.started:
                raise RuntimeError("http.response.start sent twice")
            request.started = True
            request.status = message["status"]
            request.raw_headers = message.get("headers", ())
            request.trailers_wanted = bool(message.get("trailers", False))
        elif kind == "http.response.body":
            if not request.started:
                raise RuntimeError("http.response.body before http.response.start")
            if request.over:
                if request.head.method == "HEAD":
                    return  # the body of a HEAD response is never sent
                raise RuntimeError("the response is already complete")
            body = message.get("body", b"")
            more = message.get("more_body", False)
            request.sent += len(body)
            end = not more and not request.trailers_wanted
            if not request.head_sent:
                await self._respond(request, request.status, request.raw_headers, body, more)
            else:
                await self.send_body(request, body, end)
                if end:
                    self._over(request)
        elif kind == "http.response.trailers":
            if not request.trailers_wanted:
                return
            if not request.head_sent:
                raise RuntimeError("http.response.trailers before the response body")
            if message.get("more_trailers", False):
                raise RuntimeError("trailers in several messages are not supported")
            await self.send_trailer_fields(request, header_map(message.get("headers", ())))
            self._over(request)
        else:
            raise ValueError(f"unexpected ASGI message {kind!r}")

    async def _respond(self, request: _Request, status: int, raw_headers, body: bytes,
                       more: bool) -> None:
        end = not more and not request.trailers_wanted
        if request.head.method == "HEAD":
            # No content follows the head of a HEAD response, whatever its content-length says
            # (RFC 9110 section 9.3.2): it ends the stream, and trailers are not sent either.
            body, end = b"", True
            request.trailers_wanted = False
        headers = header_map(raw_headers)
        request.head_sent = True
        request.status = status
        try:
            v = self.send_response_head(request.sid, status, headers, end and not body)
        except H2UserError:
            self._reset(request, _INTERNAL_ERROR)
            raise
        if v.handle is not None and v.reader_stop is not None:
            v.handle.stopped(v.reader_stop)
        self.act(v.flags)
        if v.stopped is not None:
            raise StreamStopped(v.stopped)
        if body:
            await self.send_body(request, body, end)
        if end:
            self._over(request)

    def _over(self, request: _Request) -> None:
        request.over = True
        request.changed.set()
