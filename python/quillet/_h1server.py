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
    H1_READ_SHUTDOWN, H1_READ_TRANSPORT, H1_READ_WATCHER, H1BodyError, H1Codec,
    H1IncompleteMessageError, H1ParseError, H1ServerState)

from ._asgi import http_scope, run_app, scope_template
from ._h1exchange import PythonExchange
from ._handoff import Resume, task_switch
from ._native import H1Exchange, asgi_scope, run_app as run_app_natively
from ._stream import Deadline, Stream, addresses
from ._tls import tls_extension
from ._wsh1 import serve_upgrade

log = logging.getLogger("quillet.server")

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


class Connection(H1ServerState):
    """One HTTP/1 connection: the native state plus the serve loop that follows its verdicts."""

    python_exchange = PythonExchange  # what the native exchange hands over to

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
        self.exchange: PythonExchange | None = None
        # a read and a wait for the write buffer may be pending at once (a body and a stream)
        self._read_deadline = Deadline(stream, "_waiter")
        self._write_deadline = Deadline(stream, "_drain_waiter")
        self.client, self.sockname = addresses(transport)
        self.scheme = "https" if server.ssl is not None else "http"
        self.tls = tls_extension(transport) if server.ssl is not None else None
        # the native exchange, scope and run, or the Python ones they are measured against
        self.native = server.driver == "native"
        self.scope_template = scope_template(self)

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

    async def _advance(self, data: bytes | None, *, fed: bool = False,
                       accepted: tuple | None = None, running: tuple | None = None,
                       begun: tuple | None = None) -> object:
        """Serves requests until the connection ends (`_DONE`) or needs a read for the next head
        with nothing buffered (`_PARKED`: the caller makes that read). `data` is what such a read
        brought (b"" at the end of input), or None to begin at the next-request step.

        The native `h1_answer` serves a request from the stream's callback, and hands over here
        where it cannot go on without waiting, saying how far it went: `fed`, the parked read's
        bytes went to the head already; `accepted`, the head that was taken; `running`, the
        (exchange, wait, seq) of a request whose application waits; `begun`, what the
        next-request step (`begin_read`) answered."""
        server = self.server
        stream = self.stream
        while True:
            if running is None:
                if accepted is None:
                    accepted = await self._next_head(data, fed, begun)
                    fed, begun = False, None
                    if accepted is _DONE or accepted is _PARKED:
                        return accepted
                head, seq, decoder = accepted
                accepted = None
                if stream._write_paused and not await self._writable():
                    # a pipelining client that does not read what it asked for: reading is held
                    # while the write buffer is full, so only this one head was taken meanwhile
                    transport = self.fail_response(seq)
                    if transport is not None:
                        transport.close()
                    return _DONE
                if head.is_upgrade and await serve_upgrade(self, head, seq, head.target):
                    return _DONE  # a WebSocket took the connection, or its handshake was refused
                # the request, in this coroutine: no layer of its own on the way to the app
                target, method, raw = head.target, head.method, head.headers.raw_items()
                version = "1.0" if head.http10 else "1.1"
                if self.native:  # done at once when the application answers without waiting
                    exchange = self.exchange = H1Exchange(self, seq, head, decoder,
                                                          self.python_exchange)
                    scope = asgi_scope(self.scope_template, version, method, target, raw)
                    wait = run_app_natively(server, server.admit(scope), scope, exchange, target)
                else:
                    exchange = self.exchange = PythonExchange(self, seq, head, decoder)
                    scope = http_scope(self, version, method, target, raw)
                    wait = run_app(server, server.admit(scope), scope, exchange, target)
            else:
                exchange, wait, seq = running
                running = None
            if wait is not None:
                await wait
            self.exchange = None
            exchange._resolve()
            if exchange.gone:
                self.abandoned(exchange)
            data = None

    def abandoned(self, exchange) -> None:
        """After a request whose client left: the connection is not read again."""
        exchange._fail()
        log.debug("request %d abandoned: %r", exchange.seq,
                  H1IncompleteMessageError("the client closed the connection"))

    async def _next_head(self, data: bytes | None, fed: bool, begun: tuple | None) -> object:
        """The next request's (head, seq, decoder), or how the connection ends (`_DONE`) or
        waits (`_PARKED`) instead (see `_advance`)."""
        server = self.server
        stream = self.stream
        if data is None:
            code, obj = begun if begun is not None else self.begin_read()
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
        elif fed:  # the stream's callback gave the parked read's bytes to the head already
            data, eof = b"", False
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
                return self.refuse_head(exc)
            if accepted is not None:
                return accepted
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

    def refuse_head(self, exc: H1ParseError) -> object:
        """A malformed head: answered with its status where it has one, and the connection
        closed (`_DONE`)."""
        log.debug("malformed request head: %r", exc)
        status = self.codec.parse_error_status
        transport = self.fail_read()
        if transport is not None:
            if status is not None:
                transport.write(_bare_response(status, self.server))
            transport.close()
        return _DONE

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
        """The stream's `data_received` while the read for the next head is parked (with the
        native driver, `h1_answer` does this itself, and hands over through `take_step`)."""
        loop, task = self.loop, self._task
        enter, leave = _TASK_SWITCH
        try:
            # The application sees the serve task as its task (`asyncio.current_task()`), as it
            # does when the serve task runs it.
            enter(loop, task)
        except RuntimeError:  # another task is running: the serve task reads it as usual
            Stream.data_received(self.stream, data)
            return
        try:
            self.take_step(self._advance(data))
        finally:
            leave(loop, task)

    def take_step(self, step) -> None:
        """Runs `step`, an `_advance`, in the serve task's name (the caller made it the current
        task) as far as it goes without waiting. The read stays parked while the request runs:
        nothing can arrive meanwhile, and a step that reads has to wait, which hands it to the
        serve task (`_handoff`) with whatever else ended the stretch."""
        waiter = self._parked
        try:
            waiting = step.send(None)
        except StopIteration as stop:
            outcome = stop.value
            if outcome is _PARKED and not waiter.done():
                # parked again for the next head: its keep-alive time starts now
                self._read_deadline.at = self.loop.time() + self.server.keep_alive_timeout
                return
            self._handoff = outcome
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as exc:
            self._handoff = exc
        else:
            self._handoff = Resume(step, waiting)
        self.hand_over()

    def hand_over(self) -> None:
        """Wakes the serve task for what `_handoff` holds."""
        waiter = self._parked
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
