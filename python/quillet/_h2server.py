"""HTTP/2 with prior knowledge (h2c) for the ASGI server: one `ServerConnection` per TCP
connection whose first bytes are the client preface, and one task per request stream."""

from __future__ import annotations

import asyncio
import collections
import contextvars
import logging
from collections.abc import Awaitable
from typing import Any

from _quillet import (
    H2_HEADERS_OPENED, H2_HEADERS_TRAILERS, H2UserError, HeaderMap)

from ._asgi import DISCONNECT, Exchange, http_scope, run_app, scope_template
from ._h2 import (
    CANCEL, INTERNAL_ERROR, NO_ERROR, UNWAITED, Driver, StreamHandle, StreamStopped,
    header_map, without_refused)
from ._native import asgi_scope, ready
from ._native import run_app as run_app_natively
from ._stream import Stream, addresses
from ._tls import tls_extension
from ._wsh2 import serve_connect

log = logging.getLogger("quillet.server")


async def _follow(coro, context, step) -> None:
    """Drives `coro`, which yielded `step` when it first had to wait, to its end in `context`
    as its own task would: each future it waits on is waited on here, and a cancellation of
    this task is thrown into it."""
    while True:
        thrown = None
        if step is None:  # a bare yield: the loop goes round once
            try:
                await asyncio.sleep(0)
            except asyncio.CancelledError as exc:
                thrown = exc
        elif getattr(step, "_asyncio_future_blocking", None) is None:
            thrown = RuntimeError(f"Task got bad yield: {step!r}")
        else:
            step._asyncio_future_blocking = False  # as a task takes it: ours to wait on now
            try:
                await step
            except asyncio.CancelledError as exc:
                if not step.cancelled():
                    thrown = exc  # meant for this task: the coroutine gets it
            except Exception:
                pass  # the coroutine takes the future's outcome itself
        try:
            if thrown is None:
                step = context.run(coro.send, None)
            else:
                step = context.run(coro.throw, thrown)
        except StopIteration:
            return
        except asyncio.CancelledError:
            return
        except Exception:
            log.exception("HTTP/2 request failed")
            return


class _Request(StreamHandle, Exchange):
    """One request stream: the handle the native state keeps, and the ASGI exchange on it (the
    application's `receive`, and the writers behind its `send`, checked in `Exchange.send`)."""

    __slots__ = Exchange.FIELDS + ("conn", "task", "finished", "delivered", "grace",
                                   "websocket", "gone")

    TRAILERS = True
    Disconnected = StreamStopped

    def __init__(self, conn: ServerConnection) -> None:
        # StreamHandle's fields, set here rather than through its __init__: one call less on
        # every request
        self.sid = 0
        self.head = None
        self.chunks = collections.deque()
        self.ended = False
        self.trailers = None
        self.stop = None
        self.gone = False  # stopped: `stop` is set
        # made on the first wait (`cleared`): most requests never wait
        self.changed = self.window = UNWAITED
        # no head_event: a server's stream waits for no head
        self.conn = conn
        self.task: asyncio.Task | None = None
        self.started = self.head_written = self.trailers_wanted = self.timed_out = False
        self.status = self.sent = 0
        self.raw_headers: Any = ()
        self.finished = False  # the response went out in full
        self.delivered = False  # the application was told the body is over
        self.grace: asyncio.TimerHandle | None = None  # cancels the task of a reset stream
        self.websocket = None  # the WebSocket (`_ws`) an extended CONNECT made of the stream

    def stopped(self, stop) -> None:
        if self.stop is None:
            self.stop = stop
        self.gone = self.stop is not None
        self.changed.set()
        self.window.set()

    @property
    def bodiless(self) -> bool:
        return self.head.method == "HEAD"

    def disconnected(self) -> StreamStopped:
        return StreamStopped(self.stop)

    # receive

    def receive(self) -> Awaitable[dict]:
        """The application's next message: done at once (`ready`) when the body's next piece,
        or its end, is at hand (a request without a body, or one that came whole)."""
        if not (self.delivered or self.finished or self.stop is not None):
            chunks = self.chunks
            if chunks or self.ended:
                chunk = None
                if chunks:
                    chunk, budgeted = chunks.popleft()
                    self.conn.release(self, chunk, budgeted)
                more = chunk is not None and (bool(chunks) or not self.ended)
                self.delivered = not more
                return ready({"type": "http.request", "body": chunk or b"", "more_body": more})
        return self._receive()

    async def _receive(self) -> dict:
        if self.delivered or self.finished or self.stop is not None:
            while self.stop is None and not self.finished:
                await self.cleared("changed").wait()
            return DISCONNECT
        try:
            chunk = await self.conn.next_chunk(self)
        except StreamStopped:
            return DISCONNECT
        # A body that ends on HEADERS, or on an empty DATA frame after the last chunk went up,
        # still owes the application its closing message.
        more = chunk is not None and (bool(self.chunks) or not self.ended)
        self.delivered = not more
        return {"type": "http.request", "body": chunk or b"", "more_body": more}

    # the writers

    def write_head(self, body: bytes, more: bool):
        """Sends the head (`status`, `raw_headers`), and as much of `body` as the windows take
        at once: None when all of it is queued, else what to await for the rest."""
        conn = self.conn
        end = not more and not self.trailers_wanted
        if self.head.method == "HEAD":
            # No content follows the head of a HEAD response, whatever its content-length says
            # (RFC 9110 section 9.3.2): it ends the stream, and trailers are not sent either.
            body, end = b"", True
            self.trailers_wanted = False
        self.head_written = True
        try:
            v = conn.send_head(self.sid, self.status, self.raw_headers, end and not body)
        except H2UserError:
            self.abort()
            raise
        if v.stopped is not None:
            raise StreamStopped(v.stopped)
        if body:
            wait = conn.send_now(self, body, end)
            if wait is not None:
                return self._over_after(wait, end)
        if end:
            self.finished = True
            # a receive() waiting for the end of the response; each clears the signal before
            # it waits, so with none waiting there is nothing to set
            if self.changed.waiters:
                self.changed.set()
        return None

    def write_body(self, body: bytes, more: bool):
        end = not more and not self.trailers_wanted
        wait = self.conn.send_now(self, body, end)
        if wait is not None:
            return self._over_after(wait, end)
        if end:
            self.over()
        return None

    async def write_trailers(self, headers) -> None:
        await self.conn.send_trailer_fields(self, header_map(headers))
        self.over()

    async def answer(self, status: int, headers, body: bytes) -> None:
        self.status = status
        self.raw_headers = headers
        try:
            wait = self.write_head(body, False)
            if wait is not None:
                await wait
        except StreamStopped:
            pass

    async def _over_after(self, wait, end: bool) -> None:
        await wait
        if end:
            self.over()

    def over(self) -> None:
        self.finished = True
        self.changed.set()

    def abort(self) -> None:
        self.reset(INTERNAL_ERROR)

    def cancelled(self) -> None:
        self.reset(CANCEL)

    def reset(self, reason: int) -> None:
        conn = self.conn
        conn.act(conn.reset_stream(self.sid, reason).flags)


class ServerConnection(Driver):
    """An HTTP/2 server connection: the native state, its pumps, and the tasks that run its
    requests (`_run_ready`)."""

    __slots__ = ("server", "requests", "waiting", "ready", "runner", "limit", "idle_since",
                 "idle_timer", "all_ended", "closer", "client", "sockname", "scheme", "tls",
                 "native", "scope_template")

    # What a stopped stream's application gets to finish before its task is cancelled.
    reset_grace = 1.0
    # How long a graceful shutdown waits for the answer to its PING on a connection with
    # nothing in flight.
    shutdown_ping_timeout = 2.0

    @classmethod
    def open(cls, server, stream: Stream, transport) -> ServerConnection:
        conn = cls("server", max_concurrent_streams=server.h2_max_concurrent_streams,
                   enable_connect_protocol=server.ws != "none", **server.h2_limits)
        conn._setup(stream)
        conn.server = server
        # A stream counts against the limit until its task has ended and its last bytes have
        # drained; the streams that arrive meanwhile wait, and are open to the state, whose own
        # limit refuses any beyond.
        conn.requests: set[_Request] = set()
        conn.waiting: collections.deque[_Request] = collections.deque()
        conn.ready: collections.deque[_Request] = collections.deque()  # admitted, not started
        conn.runner: asyncio.Task | None = None  # the task that will start them
        conn.limit = server.h2_max_concurrent_streams
        conn.body_timeout = server.body_timeout
        conn.write_timeout = server.write_timeout
        conn.idle_since = conn.loop.time()
        conn.idle_timer = None
        conn.all_ended = asyncio.Event()  # no request left
        conn.closer = None
        conn.client, conn.sockname = addresses(transport)
        conn.scheme = "https" if server.ssl is not None else "http"
        conn.tls = tls_extension(transport) if server.ssl is not None else None
        # the native scope and application run, or the Python ones (`--driver python`)
        conn.native = server.driver == "native"
        template = conn.scope_template = scope_template(conn)
        template.setdefault("extensions", {})["http.response.trailers"] = {}
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
            self.ready.clear()  # admitted but never started: nothing to run
            tasks = [r.task for r in self.requests if r.task is not None]
            if self.runner is not None:
                tasks.append(self.runner)
                self.runner = None
            for task in tasks:
                task.cancel()
            if tasks:
                await asyncio.gather(*tasks, return_exceptions=True)
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
                self.act(self.send_goaway(NO_ERROR))
                self.connection_failed(None, "connection closed: idle")
                return
        self.idle_timer = self.loop.call_later(left, self._check_idle)

    def shutdown(self) -> None:
        """Graceful shutdown: GOAWAY and the shutdown PING; the requests the client sent before
        it saw them are served, then the connection closes."""
        if self.graceful or self.is_failed():
            return
        self.act(self.begin_graceful_shutdown())
        for request in self.requests:
            if request.websocket is not None:
                request.websocket.shutdown()
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
                    self.act(self.send_goaway(NO_ERROR))
                    break
        while self.requests:
            self.all_ended.clear()
            await self.all_ended.wait()
        self.connection_failed(None, "connection closed: server shutdown")

    # requests

    def send_head(self, sid: int, status: int, raw_headers, end: bool):
        """Sends a response head: the application's fields, then the server's default fields it
        lacks. Raises H2UserError for fields that cannot be sent; otherwise acts on the verdict
        and returns it (its `stopped` tells a stream that had ended meanwhile)."""
        if type(raw_headers) is list:  # the usual: HeaderMap takes it as it is
            headers = HeaderMap(raw_headers)
            if "te" in headers:
                headers = header_map(headers)
        else:
            headers = header_map(raw_headers)
        for name, value in self.server.default_headers:
            headers.setdefault(name, value)
        try:
            v = self.send_response_head(sid, status, headers, end)
        except H2UserError:
            kept = without_refused(headers)
            if kept is None:
                raise
            v = self.send_response_head(sid, status, kept, end)
        self.took(v)
        return v

    def on_headers(self, frame) -> None:
        request = _Request(self)
        v = self.recv_headers(frame, request)
        kind = v.kind
        if kind == H2_HEADERS_OPENED and frame.oversize:
            # Fields past our header-list budget were dropped: the request is refused whole
            # (RFC 6585 section 5) and never reaches the application.
            self.accepted(v.stream_id)
            self.act(v.flags)
            refused = self.send_response_head(v.stream_id, 431, header_map(()), True)
            self.act(refused.flags)
            return
        if kind == H2_HEADERS_OPENED:
            request.sid = v.stream_id
            request.head = frame
            request.ended = v.eof
            if self.limit is not None and len(self.requests) >= self.limit:
                self.waiting.append(request)
            else:
                self.requests.add(request)
                self.ready.append(request)
                if self.runner is None:
                    self.runner = self.loop.create_task(self._run_ready())
        elif kind == H2_HEADERS_TRAILERS:
            handle = v.handle
            handle.trailers = frame.headers
            handle.ended = True
            handle.changed.set()
        if v.flags:
            self.act(v.flags)

    def _begin(self, request: _Request) -> None:
        if request.stop is not None:  # reset while it waited: nothing to run
            self.accepted(request.sid)
            return
        self.requests.add(request)
        self.ready.append(request)
        if self.runner is None:
            self.runner = self.loop.create_task(self._run_ready())

    async def _run_ready(self) -> None:
        """Runs the requests that are ready, one after another, each in a context of its own as
        a task of its own would: a request answered without waiting costs no task. The first
        that has to wait keeps this task to its end, and a new task takes the rest."""
        ready = self.ready
        task = self.runner
        while ready:
            request = ready.popleft()
            request.task = task  # what a reset stream's grace period cancels
            context = contextvars.copy_context()
            try:
                # the native run answers the request within this call when it can
                coro = context.run(self._start, request)
                if coro is None:
                    self._ended(request)
                    continue
                step = context.run(coro.send, None)
            except (StopIteration, asyncio.CancelledError):
                self._ended(request)
                continue
            except Exception:
                log.exception("HTTP/2 request failed")
                self._ended(request)
                continue
            except BaseException:
                self._ended(request)
                raise
            self.runner = self.loop.create_task(self._run_ready()) if ready else None
            try:
                await _follow(coro, context, step)
            finally:
                self._ended(request)
            return
        self.runner = None

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
        if task is not None and not request.finished and request.grace is None:
            request.grace = self.loop.call_later(self.reset_grace, task.cancel)

    def _start(self, request: _Request):
        """What runs a request, made in the request's context: the coroutine of its application
        on its scope (or the native run, None when the application answered at once), or that
        of the WebSocket its extended CONNECT asks for."""
        # Taken only now that the request runs: a client that opens streams and resets them in
        # the same breath (the rapid-reset attack) finds them unaccepted, which the state caps.
        self.accepted(request.sid)
        head = request.head
        fields = head.headers
        headers = fields.raw_items()
        if "cookie" in fields:
            cookies = fields.get_all("cookie")
            if len(cookies) > 1:
                # HTTP/2 may split a cookie into one field per pair (RFC 9113 section 8.2.3);
                # applications written for HTTP/1.1 expect one header.
                headers = [(n, v) for n, v in headers if n != b"cookie"]
                headers.append((b"cookie", b"; ".join(cookies)))
        authority = head.authority
        if authority is not None and "host" not in fields:
            headers.insert(0, (b"host", authority.encode("latin-1")))
        target = head.path or "/"
        server = self.server
        if self.native:
            scope = asgi_scope(self.scope_template, "2", head.method, target, headers)
            if head.protocol is not None:
                return serve_connect(self, request, scope, target)
            # None when the application answered without waiting: nothing to step
            return run_app_natively(server, server.admit(scope), scope, request, target)
        scope = http_scope(self, "2", head.method, target, headers)
        extensions = scope.get("extensions")
        if extensions is None:
            scope["extensions"] = {"http.response.trailers": {}}
        else:  # TLS's already
            extensions["http.response.trailers"] = {}
        if head.protocol is not None:
            return serve_connect(self, request, scope, target)
        return run_app(server, server.admit(scope), scope, request, target)

    def _ended(self, request: _Request) -> None:
        """A request's coroutine is over, however it ended."""
        request.task = None
        if request.grace is not None:
            request.grace.cancel()
            request.grace = None
        # the stream holds its place until its bytes are out (`when_flushed`, inline)
        mark = self.batches_taken + self.has_pending()
        if mark <= self.batches_written or self.is_failed():
            self._request_ended(request)
        else:
            self.on_flushed.append((mark, self._request_ended, request))
