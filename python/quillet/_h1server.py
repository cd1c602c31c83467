"""HTTP/1.1 for the ASGI server, driven by `_quillet.H1ServerState`: one `Connection` per TCP
connection that did not begin with the HTTP/2 preface, serving its requests one after another.

Every step of a connection asks the native state what to do (see docs/driving.md): where the
next head comes from, whether a `100 Continue` may be written, which bytes the response head is,
whether the connection is reused, closed or drained, and what a read that the watcher parked on
the transport meant. This module only does the input and output those verdicts call for.
"""

from __future__ import annotations

import asyncio
import logging
from collections.abc import Awaitable
from typing import Any

from _quillet import (
    H1_NEXT_CLOSE, H1_NEXT_DRAIN, H1_NEXT_NONE, H1_NEXT_RAISE, H1_READ_EOF, H1_READ_PARSE,
    H1_READ_SHUTDOWN, H1_READ_TRANSPORT, H1_READ_WATCHER, H1_REQ_CONTINUE, H1_REQ_OK,
    H1_REQ_PEER_CLOSED, H1BodyError, H1Codec, H1IncompleteMessageError, H1ParseError,
    H1ServerState, H1UserError, HeaderMap)

from ._asgi import DISCONNECT, ClientDisconnected, Exchange, http_scope, run_app
from ._handoff import Resume, task_switch
from ._stream import Deadline, Stream, addresses
from ._tls import tls_extension
from ._wsh1 import serve_upgrade

log = logging.getLogger("quillet.server")

_CONTINUE = H1Codec.continue_response()
# A response body up to this size goes out in one write with its head; a larger one as it is.
_JOIN_BELOW = 64 * 1024
# What a drain of an unread request body may read before the connection is given up instead.
_DRAIN_BUDGET = 1 << 20
_TASK_SWITCH = task_switch()


def _bare_response(status: int, server: Server) -> bytes:
    """A complete response without a body that closes the connection (400, 408, 414, 431...),
    with the server's default fields."""
    codec = H1Codec() if server.date_header else H1Codec(date_header=False)
    return codec.serialize_response(status, server.default_headers or None, keep_alive=False,
                                    content_length=0)


# How a stretch of the serve loop ends: the connection is over, or it waits for its next head.
_DONE = "done"
_PARKED = "parked"


class _Exchange(Exchange):
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


class Connection(H1ServerState):
    """One HTTP/1 connection: the native state plus the serve loop that follows its verdicts."""

    @classmethod
    def open(cls, server: Server, stream: Stream, transport) -> Connection:
        codec = H1Codec() if server.date_header else H1Codec(date_header=False)
        conn = cls(codec, transport, keep_alive=server.keep_alive)
        conn._setup(server, stream, transport)
        return conn

    def _setup(self, server: Server, stream: Stream, transport) -> None:
        self.server = server
        self.stream = stream
        self.loop = stream._loop
        self.exchange: _Exchange | None = None
        # a read and a wait for the write buffer may be pending at once (a body and a stream)
        self._read_deadline = Deadline(stream, "_waiter")
        self._write_deadline = Deadline(stream, "_drain_waiter")
        self.client, self.sockname = addresses(transport)
        self.scheme = "https" if server.ssl is not None else "http"
        self.tls = tls_extension(transport) if server.ssl is not None else None

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
                            transport.write(_bare_response(status, server))
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
                        transport.write(_bare_response(408, server))
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
            if head.is_upgrade and await serve_upgrade(self, head, seq, head.target):
                return _DONE  # a WebSocket took the connection, or its handshake was refused
            # the request, in this coroutine: no layer of its own on the way to the application
            exchange = self.exchange = _Exchange(self, seq, head, decoder)
            target = head.target
            scope = http_scope(self, "1.0" if head.http10 else "1.1", head.method, target,
                               head.headers.raw_items())
            await run_app(server, server.admit(scope), scope, exchange, target)
            self.exchange = None
            exchange._resolve()
            if exchange.gone:
                exchange._fail()  # a client that left is not read again, answered or not
                log.debug("request %d abandoned: %r", seq,
                          H1IncompleteMessageError("the client closed the connection"))
            data = None

    # The parked read for the next head. While it waits, the stream answers a request that
    # arrives whole by itself (`_answer`, called from `data_received`): the request runs at
    # once, in the serve task's name, instead of waking the serve task through the event loop
    # first. When it completes without waiting (a small response written at once) the read
    # stays parked for the next one; when it must wait, or the connection ends, the serve task
    # takes over from where it stopped (`_handoff`).

    websocket: Any = None  # the WebSocket (`_ws`) that took the connection over, while it runs
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
                if isinstance(handoff, Resume):
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
                if isinstance(handoff, Resume):
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
        if _TASK_SWITCH is not None:
            self.stream.parked = self  # the next request may begin in the stream's callback
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
        enter, leave = _TASK_SWITCH
        try:
            # The application sees the serve task as its task (`asyncio.current_task()`), as it
            # does when the serve task runs it.
            enter(loop, task)
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
            self._handoff = Resume(step, waiting)
        finally:
            leave(loop, task)
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

    async def _within(self, deadline: Deadline, timeout: float, wait: Awaitable[Any]) -> Any:
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

    def shutdown(self) -> None:
        """Graceful shutdown: close at once if idle, else after the response in flight."""
        if self.websocket is not None:
            return self.websocket.shutdown()
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
