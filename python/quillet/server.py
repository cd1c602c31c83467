"""An asyncio server for ASGI 3 applications over HTTP/1.1, driven by `_quillet.H1ServerState`.

Every step of a connection asks the native state what to do (see docs/driving.md): where the
next head comes from, whether a `100 Continue` may be written, which bytes the response head is,
whether the connection is reused, closed or drained, and what a read that the watcher parked on
the transport meant. This module only does the input and output those verdicts call for.

    server = Server(app, host="127.0.0.1", port=8000)
    await server.serve()          # until SIGINT/SIGTERM or server.request_stop()
"""

from __future__ import annotations

import asyncio
import errno
import ipaddress
import logging
import os
import signal
import socket
import ssl
import stat
from collections.abc import Awaitable, Callable
from asyncio.tasks import _enter_task, _leave_task
from typing import Any
from urllib.parse import unquote

from _quillet import (
    H1_NEXT_CLOSE, H1_NEXT_DRAIN, H1_NEXT_NONE, H1_NEXT_RAISE, H1_READ_EOF, H1_READ_PARSE,
    H1_READ_SHUTDOWN, H1_READ_TRANSPORT, H1_READ_WATCHER, H1_REQ_CONTINUE, H1_REQ_OK,
    H1_REQ_PEER_CLOSED, H1BodyError, H1Codec, H1IncompleteMessageError, H1ParseError,
    H1ServerState, H1UserError, H2Codec, HeaderMap)

from ._h2server import ServerConnection
from ._stream import Stream, addresses

__all__ = ["Server", "ClientDisconnected", "TLSConfigError", "LOOPS", "run", "run_loop",
           "tls_context"]

log = logging.getLogger("quillet.server")
# One line per response; a logger of its own so that it can be routed or silenced alone.
access_log = logging.getLogger("quillet.access")

ASGIApp = Callable[[dict, Callable[[], Awaitable[dict]], Callable[[dict], Awaitable[None]]],
                   Awaitable[None]]

_ASGI = {"version": "3.0", "spec_version": "2.3"}
_CONTINUE = H1Codec.continue_response()
_DISCONNECT = {"type": "http.disconnect"}
# What a drain of an unread request body may read before the connection is given up instead.
_DRAIN_BUDGET = 1 << 20
# How often the deadlines of pending reads are checked: timeouts fire up to this much late.
_SWEEP_PERIOD = 0.1
# Connections taken from a listening socket per readiness event, so that one busy listener
# cannot hold the event loop.
_ACCEPT_BATCH = 64
# Out of descriptors (or of kernel memory): the listening socket is left alone this long, and
# the connections waiting meanwhile stay in the kernel's queue.
_ACCEPT_PAUSE = 0.25
_OUT_OF_RESOURCES = frozenset((errno.EMFILE, errno.ENFILE, errno.ENOBUFS, errno.ENOMEM))
# A condition that can recur at every accept (no descriptors, the connection limit) is logged
# at most once per this many seconds.
_LOG_INTERVAL = 10.0


class ClientDisconnected(OSError):
    """Raised by `send` once the client has gone: the response can no longer be delivered."""


def _bare_response(status: int) -> bytes:
    """A complete response without a body that closes the connection (400, 408, 414, 431...)."""
    return H1Codec().serialize_response(status, None, keep_alive=False, content_length=0)


def _split_target(target: str) -> tuple[str, str]:
    """(path, query) of a request target in origin or absolute form."""
    if target[:1] != "/" and "://" in target:
        rest = target.split("://", 1)[1]
        slash = rest.find("/")
        query_at = rest.find("?")
        if slash < 0 or (0 <= query_at < slash):
            target = "/" + (rest[query_at:] if query_at >= 0 else "")
        else:
            target = rest[slash:]
    path, sep, query = target.partition("?")
    return path, query


# What a stretch of the serve loop ends with: the connection is over, or it waits for the first
# bytes of the next head.
_DONE = "done"
_PARKED = "parked"


class _Resume:
    """A request that began on the stream's callback (see `Connection._answer`) and had to wait:
    the serve task awaits this, and runs every later step of it."""

    __slots__ = ("step", "waiting")

    def __init__(self, step, waiting) -> None:
        self.step = step
        self.waiting = waiting  # what the request was waiting for when it was handed over

    def cancelled(self) -> _Resume:
        """The serve task was cancelled before it took the request over: the request sees the
        cancellation where it waits, as it would had it been running in the task all along."""
        if isinstance(self.waiting, asyncio.Future):
            self.waiting.cancel()
        return self

    def __await__(self):
        step, value = self.step, self.waiting
        self.step = self.waiting = None
        while True:
            try:
                sent = yield value
            except GeneratorExit:
                step.close()
                raise
            except BaseException as exc:  # noqa: B036 (handed on to the request, as a task does)
                try:
                    value = step.throw(exc)
                except StopIteration as stop:
                    return stop.value
            else:
                try:
                    value = step.send(sent)
                except StopIteration as stop:
                    return stop.value


class _Exchange:
    """One request and its response: the ASGI `receive` and `send` of the application."""

    __slots__ = ("conn", "seq", "head", "decoder", "delivered", "started", "head_written", "gone",
                 "timed_out", "status", "raw_headers", "over", "streaming", "sent")

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
        self.status = 0
        self.raw_headers: Any = ()
        self.over: asyncio.Event | None = None  # set when the request is over or the client left
        self.streaming = False
        self.sent = 0  # body bytes the application handed over, for the access log

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
            return _DISCONNECT
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
            # unless it has begun its response the server answers 408 for it (`_settle`).
            log.debug("request %d: no body bytes within %ss", seq, conn.server.body_timeout)
            conn.mark_unusable()
            conn.end_body_read(seq, False)
            self.delivered = True
            self.gone = self.timed_out = True
            return _DISCONNECT
        except (H1BodyError, OSError) as exc:
            log.debug("request body read failed: %r", exc)
            conn.mark_unusable()
            conn.end_body_read(seq, False)
            self.delivered = True
            self._client_gone()
            return _DISCONNECT
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
            return _DISCONNECT
        conn = self.conn
        if conn.peer_closed_now(self.seq) is not None:
            return _DISCONNECT  # the request is over
        if self.over is None:
            self.over = asyncio.Event()
        done = conn.loop.create_future()
        if conn.arm_watcher(self.seq, done, want=True):
            conn.spawn_watcher(done, self.seq)
        await self.over.wait()
        return _DISCONNECT

    def _client_gone(self) -> None:
        self.gone = True
        self.conn.close_window(self.seq)
        self._resolve()

    def _resolve(self) -> None:
        if self.over is not None:
            self.over.set()

    # send

    async def send(self, message: dict) -> None:
        kind = message["type"]
        if kind == "http.response.body":
            if not self.started:
                raise RuntimeError("http.response.body before http.response.start")
            if self.gone:
                raise ClientDisconnected("the client closed the connection")
            if self.finished:
                raise RuntimeError("the response is already complete")
            body = message.get("body", b"")
            more = message.get("more_body", False)
            self.sent += len(body)
            if not self.head_written:
                self._write_head(body, more)
            else:
                self._write_body(body, more)
            if more:
                stream = self.conn.stream
                if (stream._write_paused or stream.lost) and not await self.conn._writable():
                    if not self.gone:
                        self._client_gone()
                if self.gone:
                    raise ClientDisconnected("the client closed the connection")
        elif kind == "http.response.start":
            if self.started:
                raise RuntimeError("http.response.start sent twice")
            self.started = True
            self.status = message["status"]
            self.raw_headers = message.get("headers", ())
        elif kind == "http.response.trailers":
            pass  # trailers are not announced by this server; nothing to send
        else:
            raise ValueError(f"unexpected ASGI message {kind!r}")

    def _write_head(self, body: bytes, more: bool) -> None:
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
        if content_length is None and not chunked:
            if more:
                chunked = True
            else:
                content_length = len(body)
        if chunked:
            content_length = None
        self.streaming = more
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
            raise ClientDisconnected("the client closed the connection")
        if code != H1_REQ_OK:
            raise RuntimeError(f"the response cannot be sent (verdict {code})")
        self.head_written = True
        codec = conn.codec
        if not more:
            try:
                out = codec.serialize_head_and_body(head, body)
            except H1UserError:
                conn.stream.write(head)
                self._fail()
                raise
            conn.stream.write(out)
            self._finish()
            return
        if armed:
            conn.spawn_watcher(done, seq)
        if body and not codec.body_is_eof():
            head += codec.serialize_data(body)
        conn.stream.write(head)

    def _write_body(self, body: bytes, more: bool) -> None:
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
        if out:
            conn.stream.write(out)
        if not more:
            self._finish()

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


class _Deadline:
    """A wait on the client, on one of its stream's futures (the read's, or the write buffer's
    drain): the server's sweep cancels that future once `at` has passed, and marks the deadline
    `passed` so that the waiter can tell it from any other cancellation."""

    __slots__ = ("stream", "future", "at", "passed")

    def __init__(self, stream: Stream, future: str) -> None:
        self.stream = stream
        self.future = future
        self.at = 0.0
        self.passed = False

    def expire(self) -> None:
        waiter = getattr(self.stream, self.future)
        if waiter is not None and not waiter.done():
            self.passed = True
            waiter.cancel()


class Connection(H1ServerState):
    """One HTTP/1 connection: the native state plus the serve loop that follows its verdicts."""

    @classmethod
    def open(cls, server: Server, stream: Stream, transport) -> Connection:
        conn = cls(H1Codec(), transport, keep_alive=server.keep_alive)
        conn._setup(server, stream, transport)
        return conn

    def _setup(self, server: Server, stream: Stream, transport) -> None:
        self.server = server
        self.stream = stream
        self.loop = stream._loop
        self.exchange: _Exchange | None = None
        # a read and a wait for the write buffer may be pending at once (a body and a stream)
        self._read_deadline = _Deadline(stream, "_waiter")
        self._write_deadline = _Deadline(stream, "_drain_waiter")
        self.client, self.sockname = addresses(transport)
        self.scheme = "https" if server.ssl is not None else "http"

    # the watcher

    def spawn_watcher(self, done: asyncio.Future, seq: int) -> None:
        task = self.loop.create_task(self._watch(done, seq))
        refused = self.store_watcher_handle(task)
        if refused is not None:
            # the connection closed meanwhile: the read ends with the transport; join it then
            self.server._orphans.add(refused)
            refused.add_done_callback(self.server._orphans.discard)

    async def _watch(self, done: asyncio.Future, seq: int) -> None:
        try:
            data, error = await self.stream.read_result()
        except BaseException:
            self.watcher_aborted()
            if not done.done():
                done.set_result(None)
            raise
        gone = self.watcher_completed(data, error)
        if not done.done():
            done.set_result(None)
        if gone:
            exchange = self.exchange
            if exchange is not None and exchange.seq == seq:
                exchange.on_peer_closed()

    async def _join_watcher(self) -> tuple[bytes | None, BaseException | None]:
        handle = self.take_watcher_handle()
        if handle is not None:
            try:
                await handle
            except asyncio.CancelledError:
                pass
        return self.take_watcher_result()

    # the serve loop

    async def serve(self) -> None:
        self._task = asyncio.current_task()
        try:
            await self._serve()
        except Exception:
            log.exception("connection failed")
        finally:
            await self.close()

    async def _serve(self) -> None:
        outcome = await self._advance(None)
        while outcome is _PARKED:
            outcome = await self._idle_read()

    async def _advance(self, data: bytes | None) -> object:
        """Serves requests until the connection ends (`_DONE`) or needs a read for the next head
        with nothing buffered (`_PARKED`: the caller makes that read). `data` is what such a read
        brought (b"" at the end of input), or None to begin at the next-request step."""
        server = self.server
        stream = self.stream
        while True:
            if data is None:
                code, obj = self.begin_read()
                if code == H1_NEXT_NONE:
                    return _DONE
                if code == H1_NEXT_RAISE:
                    raise RuntimeError("the next head was asked for before the response was done")
                if code == H1_NEXT_DRAIN:
                    code, obj = self.drain_done(await self._drain())
                if code == H1_NEXT_CLOSE:
                    if obj is not None:
                        obj.close()
                    return _DONE
                if code == H1_READ_SHUTDOWN:
                    self.stop_serving()
                    return _DONE

                # the first read of the next head
                if code == H1_READ_PARSE:
                    data = b""
                    eof = False
                elif code == H1_READ_TRANSPORT:
                    data = stream.take_buffered()
                    if not data:
                        return _PARKED
                    if self.unpark_idle_read():
                        return _DONE  # a shutdown closed the idle connection
                    eof = False
                elif code == H1_READ_WATCHER:
                    try:
                        if not obj.done():
                            await asyncio.wait_for(asyncio.shield(obj), server.keep_alive_timeout)
                    except TimeoutError:
                        transport = self.fail_read()
                        if transport is not None:
                            transport.close()  # ends the watcher's read
                        await obj
                    data, error = await self._join_watcher()
                    if self.unpark_idle_read():
                        return _DONE
                    if data is None:
                        self.fail_read()
                        return _DONE
                    eof = not data
                else:  # H1_READ_EOF
                    data = b""
                    eof = True
            else:  # the parked read brought these
                if self.unpark_idle_read():
                    return _DONE  # a shutdown closed the idle connection
                eof = not data

            # the rest of the head
            deadline = None
            while True:
                try:
                    accepted = self.accept_head(data)
                except H1ParseError as exc:
                    log.debug("malformed request head: %r", exc)
                    status = self.codec.parse_error_status
                    transport = self.fail_read()
                    if transport is not None:
                        if status is not None:
                            transport.write(_bare_response(status))
                        transport.close()
                    return _DONE
                if accepted is not None:
                    break
                if eof:
                    # end of input: clean between requests, abandoned inside a head
                    self.stop_serving()
                    return _DONE
                if deadline is None:
                    deadline = self.loop.time() + server.head_timeout
                try:
                    data = await self._read_within(deadline - self.loop.time())
                except TimeoutError:
                    transport = self.fail_read()
                    if transport is not None:
                        transport.write(_bare_response(408))
                        transport.close()
                    return _DONE
                except OSError:
                    self.fail_read()
                    return _DONE
                eof = not data

            head, seq, decoder = accepted
            if stream._write_paused and not await self._writable():
                # a pipelining client that does not read what it asked for: reading is held
                # while the write buffer is full, so only this one head was taken meanwhile
                transport = self.fail_response(seq)
                if transport is not None:
                    transport.close()
                return _DONE
            await self._run_app(head, seq, decoder)
            data = None

    # The parked read for the next head. While it waits, the stream answers a request that
    # arrives whole by itself (`_answer`, called from `data_received`): the request runs at
    # once, in the serve task's name, instead of waking the serve task through the event loop
    # first. When it completes without waiting (a small response written at once) the read
    # stays parked for the next one; when it must wait, or the connection ends, the serve task
    # takes over from where it stopped (`_handoff`).

    _parked: asyncio.Future | None = None
    _handoff: object = None
    _task: asyncio.Task | None = None

    async def _idle_read(self) -> object:
        """Waits for the next head's first bytes, then goes on serving (see `_advance`)."""
        stream = self.stream
        timeout = self.server.keep_alive_timeout
        timed_out = timeout <= 0
        # The input may have ended, or failed, while this task was on its way here: then there
        # is nothing to wait for.
        if not timed_out and not stream.at_eof:
            waiter = self._park(self.loop.create_future(), timeout)
            try:
                await waiter
            except asyncio.CancelledError:
                handoff, self._handoff = self._handoff, None
                if isinstance(handoff, _Resume):
                    # the request begun from the callback was cancelled through this task
                    return await handoff.cancelled()
                if not self._read_deadline.passed:
                    raise
                self._read_deadline.passed = False
                timed_out = True
            finally:
                self._unpark(waiter)
            handoff = self._handoff
            if handoff is not None:
                self._handoff = None
                if isinstance(handoff, _Resume):
                    return await handoff
                if isinstance(handoff, BaseException):
                    raise handoff
                return handoff  # the outcome of a request that ran to its end
        if timed_out:  # idle too long: close without a word
            if stream._write_paused and stream.transport is not None:
                # nor has the client taken what it was sent: a close would wait for it
                stream.transport.abort()
            if not self.unpark_idle_read():
                self.stop_serving()
            return _DONE
        data = stream.take_buffered()
        if not data:
            if stream._error is not None:
                if not self.unpark_idle_read():
                    self.fail_read()
                return _DONE
            if not stream._eof:
                return _PARKED  # woken with nothing to read: wait again
        return await self._advance(data)

    def _park(self, waiter: asyncio.Future, timeout: float) -> asyncio.Future:
        self._read_deadline.at = self.loop.time() + timeout
        self.server._waiting.add(self._read_deadline)
        self.stream._waiter = waiter
        self._parked = waiter
        self.stream.parked = self
        return waiter

    def _unpark(self, waiter: asyncio.Future) -> None:
        self._parked = None
        self.stream.parked = None
        self.server._waiting.discard(self._read_deadline)
        if self.stream._waiter is waiter:
            self.stream._waiter = None

    def _answer(self, data: bytes) -> None:
        """The stream's `data_received` while the read for the next head is parked."""
        loop, task = self.loop, self._task
        try:
            # The application sees the serve task as its task (`asyncio.current_task()`), as it
            # does when the serve task runs it.
            _enter_task(loop, task)
        except RuntimeError:  # another task is running: the serve task reads it as usual
            Stream.data_received(self.stream, data)
            return
        # The read stays parked while the request runs: nothing can arrive meanwhile, and a step
        # that reads has to wait, which hands it over below.
        waiter = self._parked
        step = self._advance(data)
        try:
            waiting = step.send(None)
        except StopIteration as stop:
            outcome = stop.value
            if outcome is _PARKED and not waiter.done():
                # parked again for the next head: its keep-alive time starts now
                self._read_deadline.at = loop.time() + self.server.keep_alive_timeout
                return
            self._handoff = outcome
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as exc:
            self._handoff = exc
        else:
            self._handoff = _Resume(step, waiting)
        finally:
            _leave_task(loop, task)
        self._unpark(waiter)
        if not waiter.done():
            waiter.set_result(None)

    async def _read_within(self, timeout: float) -> bytes:
        """The next bytes from the client; TimeoutError once `timeout` seconds pass."""
        stream = self.stream
        data = stream.take_buffered()
        if data:
            return data
        if timeout <= 0:
            raise TimeoutError
        return await self._within(self._read_deadline, timeout, stream.read())

    async def _writable(self) -> bool:
        """Waits until the client has taken what was written down to the low-water mark. False
        when it takes nothing for `write_timeout` seconds (the connection is then aborted), or
        has gone."""
        try:
            await self._within(self._write_deadline, self.server.write_timeout,
                               self.stream.drain())
            return True
        except TimeoutError:
            # closing would wait for the very writes the client does not take
            transport = self.stream.transport
            if transport is not None:
                transport.abort()
            return False
        except OSError:
            return False

    async def _within(self, deadline: _Deadline, timeout: float, wait: Awaitable[Any]) -> Any:
        """What `wait` (a wait on the stream's future that `deadline` names) returns, or
        TimeoutError once `timeout` seconds pass. One sweep per server checks the deadlines:
        no timer per wait."""
        deadline.at = self.loop.time() + timeout
        pending = self.server._waiting
        pending.add(deadline)
        try:
            return await wait
        except asyncio.CancelledError:
            if not deadline.passed:
                raise
            deadline.passed = False
            raise TimeoutError from None
        finally:
            pending.discard(deadline)

    async def _drain(self) -> bool:
        """Reads and drops the request body that the application left unread."""
        decoder = self.current_decoder()
        if decoder is None:
            return True
        taken = 0
        deadline = self.loop.time() + self.server.head_timeout
        try:
            while True:
                chunk = decoder.decode()
                while chunk is not None:
                    taken += len(chunk)
                    chunk = decoder.decode()
                if decoder.is_complete:
                    return True
                if taken > _DRAIN_BUDGET:
                    return False
                data = await self._read_within(deadline - self.loop.time())
                if data:
                    decoder.feed(data)
                else:
                    decoder.mark_eof()
        except (H1BodyError, OSError, TimeoutError):
            return False

    def _scope(self, head) -> dict:
        target = head.target
        if target[:1] == "/" and "?" not in target:
            path, query = target, ""
        else:
            path, query = _split_target(target)
        return {
            "type": "http",
            "asgi": _ASGI,
            "http_version": "1.0" if head.http10 else "1.1",
            "method": head.method,
            "scheme": self.scheme,
            "path": unquote(path) if "%" in path else path,
            "raw_path": path.encode("latin-1"),
            "query_string": query.encode("latin-1"),
            "root_path": self.server.root_path,
            "headers": head.headers.raw_items(),
            "client": self.client,
            "server": self.sockname,
            "state": dict(self.server.state),
        }

    async def _run_app(self, head, seq: int, decoder) -> None:
        exchange = _Exchange(self, seq, head, decoder)
        self.exchange = exchange
        server = self.server
        scope = self._scope(head)
        app = server.admit(scope)
        began = self.loop.time() if server._log_access else 0.0
        try:
            try:
                await app(scope, exchange.receive, exchange.send)
            except ClientDisconnected:
                pass
            except Exception:
                log.exception("the application raised an exception")
                self._answer_failure(exchange)
            self._settle(exchange)
        finally:
            server.request_done(scope, head.target, exchange.status, exchange.sent, began)
        if exchange.gone:
            log.debug("request %d abandoned: %r", seq,
                      H1IncompleteMessageError("the client closed the connection"))

    @staticmethod
    def _answer_failure(exchange: _Exchange) -> None:
        """The application raised: a 500 if nothing was sent yet."""
        if not exchange.head_written and not exchange.finished and not exchange.gone:
            exchange.started = True
            exchange.status, exchange.raw_headers = 500, [(b"content-type", b"text/plain")]
            try:
                exchange._write_head(b"Internal Server Error\n", False)
            except (ClientDisconnected, H1UserError, RuntimeError):
                pass

    def _settle(self, exchange: _Exchange) -> None:
        """After the application: a response it left unsent or unfinished is dealt with."""
        if exchange.timed_out and not exchange.head_written and not exchange.finished:
            exchange.started = True
            exchange.status, exchange.raw_headers = 408, [(b"connection", b"close")]
            try:
                exchange._write_head(b"", False)
            except (ClientDisconnected, H1UserError, RuntimeError):
                exchange._fail()
        if not exchange.finished:
            if not exchange.started and not exchange.gone:
                log.error("the application returned without a response")
                exchange.started = True
                exchange.status, exchange.raw_headers = 500, ()
                try:
                    exchange._write_head(b"", False)
                except (ClientDisconnected, H1UserError, RuntimeError):
                    exchange._fail()
            else:
                exchange._fail()  # an incomplete response cannot be repaired: close
        elif exchange.gone:
            exchange._fail()
        exchange._resolve()
        self.exchange = None

    def shutdown(self) -> None:
        """Graceful shutdown: close at once if idle, else after the response in flight."""
        transport = self.request_shutdown()
        if transport is not None:
            transport.close()

    async def close(self) -> None:
        transport, done, _was_closed = self.mark_closed()
        if transport is not None:
            transport.close()
        if done is not None:
            await done
        await self._join_watcher()
        exchange = self.exchange
        if exchange is not None:
            exchange._resolve()


class _ServerStream(Stream):
    __slots__ = ("server", "conn", "parked")

    def __init__(self, server: Server) -> None:
        super().__init__(server.loop)
        self.server = server
        self.conn: Connection | ServerConnection | None = None
        self.parked: Connection | None = None  # an HTTP/1 connection parked for its next head

    def data_received(self, data: bytes) -> None:
        conn = self.parked
        if conn is not None and not self._chunks:
            conn._answer(data)
        else:
            Stream.data_received(self, data)

    # An HTTP/1 connection reads nothing while its write buffer is above the high-water mark:
    # each request read could add a response to it.
    def pause_writing(self) -> None:
        super().pause_writing()
        if isinstance(self.conn, Connection):
            self.hold_reading()

    def resume_writing(self) -> None:
        super().resume_writing()
        self.release_reading()

    def eof_received(self) -> bool:
        super().eof_received()
        # Over TLS a close_notify ends both directions anyway; asking to stay half-open only
        # earns a warning from the TLS layer.
        return self.server.ssl is None

    async def _start(self, transport) -> None:
        """HTTP/1.1, or HTTP/2 with prior knowledge: the first bytes tell (the client preface).
        Over TLS, ALPN tells instead."""
        server = self.server
        alpn = None
        if server.ssl is not None:  # the handshake is done (`Server._serve_socket`)
            tls = transport.get_extra_info("ssl_object")
            if tls is None:  # the client went during the handshake's last step
                transport.abort()
                return
            alpn = tls.selected_alpn_protocol()
        try:
            if alpn is None or alpn == "h2":
                await asyncio.wait_for(self.wait_data(), server.keep_alive_timeout)
                data = self.peek()
                if alpn is None and data[:1] == b"\x16":
                    # a TLS ClientHello on the plain port: nothing here can answer it
                    log.debug("TLS from %s on a plain port", transport.get_extra_info("peername"))
                    transport.close()
                    return
                while (match := H2Codec.match_preface(data)) is None and not self.at_eof:
                    await asyncio.wait_for(self.wait_data(len(data)), server.head_timeout)
                    data = self.peek()
            else:
                match = False
        except TimeoutError:
            transport.close()  # nothing, or half a preface, in time: close without a word
            return
        if server.stopping:
            transport.close()
            return
        if alpn == "h2" and not match:
            log.debug("ALPN chose h2 but the client preface did not follow")
            transport.close()
            return
        if match:
            conn = ServerConnection.open(server, self, transport)
            self.conn = conn
            server._connections.add(conn)
            await conn.serve(self.take_buffered())
            return
        conn = Connection.open(server, self, transport)
        self.conn = conn
        server._connections.add(conn)
        await conn.serve()


class TLSConfigError(ValueError):
    """A certificate or key that cannot be used; the message names the file and the reason."""


def tls_context(certfile: str, keyfile: str | None = None,
                password: str | None = None) -> ssl.SSLContext:
    """A server context offering HTTP/2 and HTTP/1.1 by ALPN. Raises TLSConfigError."""
    for role, path in (("certificate", certfile), ("key", keyfile)):
        if path is None:
            continue
        try:
            with open(path, "rb"):
                pass
        except OSError as exc:
            raise TLSConfigError(f"cannot read the {role} file {path}: {exc.strerror}") from None
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    # RFC 9113 section 9.2: TLS 1.2 at least, without compression or renegotiation.
    ctx.minimum_version = ssl.TLSVersion.TLSv1_2
    ctx.options |= ssl.OP_NO_COMPRESSION | getattr(ssl, "OP_NO_RENEGOTIATION", 0)
    ctx.set_alpn_protocols(["h2", "http/1.1"])
    try:
        # without a password, an encrypted key must fail here rather than prompt on a terminal
        ctx.load_cert_chain(certfile, keyfile, (lambda: b"") if password is None else password)
    except ssl.SSLError as exc:
        reason = exc.reason or exc.strerror or str(exc)
        try:  # which file is at fault: a certificate file that holds no certificate...
            ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT).load_verify_locations(cafile=certfile)
        except ssl.SSLError:
            raise TLSConfigError(
                f"the certificate file {certfile} holds no usable certificate ({reason})") from None
        # ...or a key that is missing, encrypted with another password, or not the pair
        with open(keyfile or certfile, "rb") as f:
            if b"ENCRYPTED" in f.read():
                raise TLSConfigError(
                    f"the key in {keyfile or certfile} is encrypted and the password "
                    f"{'is wrong' if password else 'is missing'} ({reason})") from None
        raise TLSConfigError(
            f"the key in {keyfile or certfile} cannot be used with the certificate in "
            f"{certfile} ({reason})") from None
    return ctx


class _Forwarding:
    """Which peers may tell the client address and scheme through X-Forwarded-For and
    X-Forwarded-Proto."""

    def __init__(self, allowed: str | list[str]) -> None:
        items = allowed.split(",") if isinstance(allowed, str) else list(allowed)
        items = [item.strip() for item in items if item.strip()]
        self.anyone = "*" in items
        self.hosts = set()
        self.networks = []
        for item in items:
            if item == "*":
                continue
            try:
                self.networks.append(ipaddress.ip_network(item, strict=False))
            except ValueError:
                self.hosts.add(item)  # a name, matched as written

    def trusts(self, host: str | None) -> bool:
        if self.anyone or host in self.hosts:
            return True
        if host is None:
            return False
        try:
            address = ipaddress.ip_address(host)
        except ValueError:
            return False
        return any(address in net for net in self.networks)

    def apply(self, scope: dict) -> None:
        client = scope["client"]
        # A Unix socket has no peer address: whoever may open the file is trusted.
        if client is not None and not self.trusts(client[0]):
            return
        hops = proto = None
        for name, value in scope["headers"]:
            if name == b"x-forwarded-for":
                hops = value if hops is None else hops + b"," + value
            elif name == b"x-forwarded-proto":
                proto = value
        if proto is not None:
            # each proxy appends its own: the last one is the hop nearest to us
            scheme = proto.decode("latin-1").rsplit(",", 1)[-1].strip().lower()
            if scheme in ("http", "https", "ws", "wss"):
                scope["scheme"] = scheme
        if hops is not None:
            chain = [h.strip() for h in hops.decode("latin-1").split(",") if h.strip()]
            if chain:
                # walking back from our peer, the first hop we do not trust is the client
                host = next((h for h in reversed(chain) if not self.trusts(h)), chain[0])
                scope["client"] = (host, 0)


async def _unavailable(scope, receive, send) -> None:
    """The answer when the server already runs as many requests as it may."""
    await send({"type": "http.response.start", "status": 503,
                "headers": [(b"content-type", b"text/plain"), (b"retry-after", b"1")]})
    await send({"type": "http.response.body", "body": b"Service Unavailable\n"})


class Server:
    """Serves an ASGI 3 application on one listening socket: TCP on (host, port), a Unix socket
    (`uds`), or a socket bound by someone else (`sock`, as the worker processes get it)."""

    def __init__(self, app: ASGIApp, host: str = "127.0.0.1", port: int = 8000, *,
                 keep_alive: bool = True, keep_alive_timeout: float = 5.0,
                 head_timeout: float = 10.0, body_timeout: float = 30.0,
                 write_timeout: float = 30.0, shutdown_timeout: float = 30.0,
                 lifespan: str = "auto", root_path: str = "",
                 h2_max_concurrent_streams: int = 100, h2_settings_timeout: float = 10.0,
                 ssl: ssl.SSLContext | None = None,
                 uds: str | None = None, sock: socket.socket | None = None,
                 backlog: int = 2048, proxy_headers: bool = False,
                 forwarded_allow_ips: str | list[str] = "127.0.0.1",
                 limit_concurrency: int | None = None, limit_max_requests: int | None = None,
                 limit_connections: int | None = None, access_log: bool = True) -> None:
        self.app = app
        self.host = host
        self.port = port
        self.keep_alive = keep_alive
        self.keep_alive_timeout = keep_alive_timeout
        self.head_timeout = head_timeout
        self.body_timeout = body_timeout
        self.write_timeout = write_timeout
        self.shutdown_timeout = shutdown_timeout
        self.lifespan_mode = lifespan
        self.root_path = root_path
        self.h2_max_concurrent_streams = h2_max_concurrent_streams
        self.h2_settings_timeout = h2_settings_timeout
        self.ssl = ssl
        self.uds = uds
        self.sock = sock
        self.backlog = backlog
        self.forwarding = _Forwarding(forwarded_allow_ips) if proxy_headers else None
        self.limit_concurrency = limit_concurrency
        self.limit_max_requests = limit_max_requests
        self.limit_connections = limit_connections
        self.access_log = access_log
        self.active = 0            # requests running now
        self.requests_served = 0
        self.state: dict = {}
        self.stopping = False
        self.connections_accepted = 0
        self.loop: asyncio.AbstractEventLoop | None = None
        self._listeners: list[socket.socket] = []
        self._no_resources = _Recurring()
        self._over_limit = _Recurring()
        self._connections: set[Connection | ServerConnection] = set()
        self._tasks: set[asyncio.Task] = set()
        self._orphans: set[asyncio.Task] = set()
        self._waiting: set[_Deadline] = set()  # the waits on clients that have a deadline
        self._sweeper: asyncio.TimerHandle | None = None
        self._stop: asyncio.Event | None = None
        self._lifespan: _Lifespan | None = None
        self._log_access = False

    @property
    def connection_count(self) -> int:
        return len(self._connections)

    @property
    def open_connections(self) -> int:
        """Accepted connections not yet closed, whatever their protocol or stage."""
        return len(self._tasks)

    # every request, either protocol

    def admit(self, scope: dict) -> ASGIApp:
        """The application that answers this request: ours, or a 503 once the server is full."""
        if self.forwarding is not None:
            self.forwarding.apply(scope)
        limit = self.limit_concurrency
        self.active += 1
        if limit is not None and self.active > limit:
            return _unavailable
        return self.app

    def request_done(self, scope: dict, target: str, status: int, sent: int,
                     began: float) -> None:
        self.active -= 1
        if self._log_access:
            client = scope["client"]
            who = f"{client[0]}:{client[1]}" if client else "-"
            access_log.info('%s - "%s %s HTTP/%s" %d %d %.1fms', who, scope["method"], target,
                            scope["http_version"], status, sent,
                            (self.loop.time() - began) * 1000)
        self.requests_served += 1
        limit = self.limit_max_requests
        if limit is not None and self.requests_served == limit:
            log.info("served %d requests: stopping so that a fresh process takes over", limit)
            self.request_stop()

    # the listening side

    async def start(self) -> None:
        """Runs the lifespan startup, then listens. `port=0` picks a free port (see `.port`)."""
        self.loop = asyncio.get_running_loop()
        self._stop = asyncio.Event()
        self._log_access = self.access_log and access_log.isEnabledFor(logging.INFO)
        if self._lifespan is None and self.lifespan_mode != "off":
            self._lifespan = _Lifespan(self.app, self.state, self.lifespan_mode == "on")
            await self._lifespan.startup()
        if self.sock is not None:
            self._listeners = [self.sock]
        else:
            self._listeners = _listen(self.host, self.port, self.uds, self.backlog)
        for listener in self._listeners:
            listener.setblocking(False)
            self.loop.add_reader(listener.fileno(), self._accept, listener)
        bound = self._listeners[0].getsockname()
        if isinstance(bound, tuple):
            self.port = bound[1]
        self._sweep()

    # The accept loop is the server's own rather than the event loop's, so that running out of
    # descriptors pauses it (with one log line per interval) instead of spinning on the
    # listening socket, and so that the connection limit applies before any transport is made.

    def _accept(self, listener: socket.socket) -> None:
        for _ in range(_ACCEPT_BATCH):
            try:
                sock, peer = listener.accept()
            except (BlockingIOError, InterruptedError):
                return
            except ConnectionAbortedError:
                continue  # reset while queued
            except OSError as exc:
                self.loop.remove_reader(listener.fileno())
                self.loop.call_later(_ACCEPT_PAUSE, self._accept_again, listener)
                if exc.errno in _OUT_OF_RESOURCES:
                    self._no_resources.report(self.loop, "cannot accept connections: %s "
                                              "(%d open); pausing accepting for %ss",
                                              exc.strerror, self.open_connections,
                                              _ACCEPT_PAUSE)
                else:
                    self._no_resources.report(self.loop, "accepting failed: %r", exc)
                return
            limit = self.limit_connections
            if self.stopping or (limit is not None and len(self._tasks) >= limit):
                sock.close()
                if not self.stopping:
                    self._over_limit.report(self.loop, "%d connections open, the limit: "
                                            "closing new ones at once", limit)
                continue
            sock.setblocking(False)
            task = self.loop.create_task(self._serve_socket(sock, peer))
            self._tasks.add(task)
            task.add_done_callback(self._tasks.discard)

    def _accept_again(self, listener: socket.socket) -> None:
        if not self.stopping and listener.fileno() >= 0:
            self.loop.add_reader(listener.fileno(), self._accept, listener)

    async def _serve_socket(self, sock: socket.socket, peer) -> None:
        self.connections_accepted += 1
        tls = self.ssl
        if tls is not None and _gone_already(sock):
            # connected and reset (or closed) at once: no TLS layer is set up for it
            sock.close()
            return
        stream = _ServerStream(self)
        try:
            transport, _ = await self.loop.connect_accepted_socket(
                lambda: stream, sock, ssl=tls,
                ssl_handshake_timeout=None if tls is None else self.head_timeout)
        except Exception as exc:  # plain HTTP, a stalled or refused handshake: only this one
            if tls is not None:
                log.debug("TLS handshake with %s failed: %r", peer, exc)
            else:
                log.debug("connection from %s lost at once: %r", peer, exc)
            # The traceback holds the handshake's frames, and through them the TLS layer and
            # its buffers, in a cycle with the exception: only a full collection would free
            # them. Nothing needs it once logged.
            exc.__traceback__ = None
            sock.close()
            return
        try:
            await stream._start(transport)
        finally:
            self._connections.discard(stream.conn)

    @property
    def url(self) -> str:
        """Where the server listens, for people to read."""
        if self.uds is not None or (self.sock is not None and self.sock.family == socket.AF_UNIX):
            path = self.uds or self.sock.getsockname()
            return f"unix:{path}"
        scheme = "https" if self.ssl is not None else "http"
        shown = f"[{self.host}]" if ":" in self.host else self.host
        return f"{scheme}://{shown}:{self.port}/"

    def _sweep(self) -> None:
        """Ends the waits whose deadline has passed; runs every `_SWEEP_PERIOD` seconds."""
        now = self.loop.time()
        for deadline in [d for d in self._waiting if d.at <= now]:
            deadline.expire()
        self._sweeper = self.loop.call_later(_SWEEP_PERIOD, self._sweep)

    def request_stop(self) -> None:
        if self._stop is not None:
            self._stop.set()

    async def shutdown(self) -> None:
        """Stops listening, closes idle connections at once, finishes requests in flight, then
        runs the lifespan shutdown."""
        self.stopping = True
        for listener in self._listeners:
            if listener.fileno() >= 0:
                self.loop.remove_reader(listener.fileno())
                listener.close()
        for conn in list(self._connections):
            conn.shutdown()
        if self._tasks:
            _, pending = await asyncio.wait(set(self._tasks), timeout=self.shutdown_timeout)
            for task in pending:
                task.cancel()
        if self._sweeper is not None:
            self._sweeper.cancel()
        if self._lifespan is not None:
            await self._lifespan.shutdown()

    async def serve(self, *, install_signals: bool = True,
                    ready: Callable[[Server], None] | None = None) -> None:
        await self.start()
        loop = self.loop
        installed = []
        if install_signals:
            for sig in (signal.SIGINT, signal.SIGTERM):
                try:
                    loop.add_signal_handler(sig, self.request_stop)
                    installed.append(sig)
                except (NotImplementedError, RuntimeError, ValueError):
                    pass
        try:
            if ready is not None:
                ready(self)
            await self._stop.wait()
        finally:
            for sig in installed:
                loop.remove_signal_handler(sig)
            await self.shutdown()


def _listen(host: str, port: int, uds: str | None, backlog: int) -> list[socket.socket]:
    """The listening sockets of a server: one per address the host resolves to, or a Unix
    socket (replacing a socket file left by an earlier run)."""
    if uds is not None:
        try:
            if stat.S_ISSOCK(os.stat(uds).st_mode):
                os.unlink(uds)
        except FileNotFoundError:
            pass
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            sock.bind(uds)
            sock.listen(backlog)
        except BaseException:
            sock.close()
            raise
        return [sock]
    listeners: list[socket.socket] = []
    try:
        for family, kind, proto, _, address in dict.fromkeys(socket.getaddrinfo(
                host or None, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)):
            sock = socket.socket(family, kind, proto)
            listeners.append(sock)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            if family == socket.AF_INET6:
                sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
            sock.bind(address)
            sock.listen(backlog)
    except BaseException:
        for sock in listeners:
            sock.close()
        raise
    return listeners


def _gone_already(sock: socket.socket) -> bool:
    """Whether a just-accepted client has already reset or closed its connection."""
    try:
        return sock.recv(1, socket.MSG_PEEK) == b""
    except (BlockingIOError, InterruptedError):
        return False
    except OSError:
        return True


class _Recurring:
    """A warning about a condition that may recur at every attempt: logged at most once per
    `_LOG_INTERVAL`, with how often it recurred unlogged since the last line."""

    __slots__ = ("next", "unlogged")

    def __init__(self) -> None:
        self.next = 0.0
        self.unlogged = 0

    def report(self, loop: asyncio.AbstractEventLoop, message: str, *args: Any) -> None:
        now = loop.time()
        if now < self.next:
            self.unlogged += 1
            return
        if self.unlogged:
            message += " (%d more times since the last such line)"
            args += (self.unlogged,)
        log.warning(message, *args)
        self.next = now + _LOG_INTERVAL
        self.unlogged = 0


class _Lifespan:
    """The ASGI lifespan protocol: startup before listening, shutdown after the last request."""

    def __init__(self, app: ASGIApp, state: dict, required: bool) -> None:
        self.app = app
        self.state = state
        self.required = required
        self.inbox: asyncio.Queue = asyncio.Queue()
        self.startup_done: asyncio.Future | None = None
        self.shutdown_done: asyncio.Future | None = None
        self.task: asyncio.Task | None = None
        self.supported = True

    async def _run(self) -> None:
        scope = {"type": "lifespan", "asgi": _ASGI, "state": self.state}
        try:
            await self.app(scope, self.inbox.get, self._send)
        except BaseException as exc:
            if self.startup_done is not None and not self.startup_done.done():
                self.supported = False
                if self.required:
                    self.startup_done.set_exception(RuntimeError(f"lifespan failed: {exc!r}"))
                else:
                    log.debug("the application does not support lifespan: %r", exc)
                    self.startup_done.set_result(None)
            elif isinstance(exc, Exception):
                log.exception("lifespan task failed")
        finally:
            for fut in (self.startup_done, self.shutdown_done):
                if fut is not None and not fut.done():
                    fut.set_result(None)

    async def _send(self, message: dict) -> None:
        kind = message["type"]
        if kind == "lifespan.startup.complete":
            self.startup_done.set_result(None)
        elif kind == "lifespan.startup.failed":
            self.startup_done.set_exception(
                RuntimeError(f"application startup failed: {message.get('message', '')}"))
        elif kind in ("lifespan.shutdown.complete", "lifespan.shutdown.failed"):
            if kind.endswith("failed"):
                log.error("application shutdown failed: %s", message.get("message", ""))
            if self.shutdown_done is not None and not self.shutdown_done.done():
                self.shutdown_done.set_result(None)

    async def startup(self) -> None:
        loop = asyncio.get_running_loop()
        self.startup_done = loop.create_future()
        self.task = loop.create_task(self._run())
        await self.inbox.put({"type": "lifespan.startup"})
        await self.startup_done

    async def shutdown(self) -> None:
        if self.task is None or self.task.done() or not self.supported:
            return
        self.shutdown_done = asyncio.get_running_loop().create_future()
        await self.inbox.put({"type": "lifespan.shutdown"})
        await self.shutdown_done
        try:
            await asyncio.wait_for(self.task, 5)
        except (TimeoutError, Exception):
            self.task.cancel()


# The event loops a server can run on: the standard one, or uvloop's (the optional extra
# "quillet[uvloop]") when it is installed and asked for.
LOOPS = ("asyncio", "uvloop")


def run_loop(main: Awaitable[Any], loop: str = "asyncio") -> Any:
    """Runs the coroutine `main` to its end on a new event loop of the kind named."""
    if loop == "asyncio":
        return asyncio.run(main)
    try:
        if loop != "uvloop":
            raise ValueError(f"unknown event loop {loop!r}: choose one of {', '.join(LOOPS)}")
        try:
            import uvloop
        except ImportError:
            raise RuntimeError("the uvloop event loop was asked for, but uvloop is not "
                               "installed (pip install 'quillet[uvloop]')") from None
    except BaseException:
        main.close()  # it will never run: no warning about a coroutine never awaited
        raise
    with asyncio.Runner(loop_factory=uvloop.new_event_loop) as runner:
        return runner.run(main)


def run(app: ASGIApp, host: str = "127.0.0.1", port: int = 8000, *,
        ready: Callable[[Server], None] | None = None, loop: str = "asyncio",
        **options: Any) -> None:
    """Serves `app` until SIGINT or SIGTERM, on the event loop named by `loop`."""
    server = Server(app, host, port, **options)
    run_loop(server.serve(ready=ready), loop)
