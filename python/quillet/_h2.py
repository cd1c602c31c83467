"""The HTTP/2 driver shared by the server and the client: `_quillet.H2Streams` decides, this
module does the input and output its verdicts call for (see docs/driving.md).

One connection runs two tasks. The read pump hands every frame the native state decodes to its
`recv_*` method and acts on the verdict: it queues a body chunk for a stream, wakes a sender
whose window opened, publishes a stop. The write pump writes each batch the state queued and
credits it back once the transport has drained. Everything else (an application sending a
response, a client sending a request body) runs in the tasks that asked, and waits only on its
own stream's events.
"""

from __future__ import annotations

import asyncio
import collections
import logging

from _quillet import (
    H2_FLAG_CAPACITY, H2_FLAG_CONN_DONE, H2_FLAG_SLOT_FREED, H2_FLAG_STOP_ACCEPTING, H2_FLAG_WAKE,
    H2_HEADERS_HEAD, H2_HEADERS_OPENED, H2_HEADERS_TRAILERS, H2Codec, H2Error, H2FrameData,
    H2FrameGoAway, H2FrameHeaders, H2FramePing, H2FrameRstStream, H2FrameSettings,
    H2FrameStreamError, H2FrameWindowUpdate, H2Reason, H2Stopped, H2StreamError, H2Streams,
    H2UserError, HeaderMap)

from ._stream import Stream

log = logging.getLogger("quillet.h2")
_check_send_headers = H2Codec.check_send_headers

# The settings both roles announce.
LIMITS = dict(initial_window_size=1 << 20, connection_window=1 << 24, max_frame_size=1 << 14,
              max_header_list_size=1 << 16, max_send_buf_size=1 << 20)

# DATA a connection holds for its peer, queued or in a batch the transport has not drained,
# whatever the peer's windows: senders wait beyond it (one frame may go over).
SEND_BUFFER = 1 << 20
# Error codes, as the ints the native calls take.
NO_ERROR = int(H2Reason.NO_ERROR)
PROTOCOL_ERROR = int(H2Reason.PROTOCOL_ERROR)
INTERNAL_ERROR = int(H2Reason.INTERNAL_ERROR)
CANCEL = int(H2Reason.CANCEL)
# The GOAWAY reason for SETTINGS never acknowledged.
_SETTINGS_TIMEOUT = int(H2Reason.SETTINGS_TIMEOUT)
# A connection that is closing keeps reading, and drops what it reads, for this long or this
# many bytes, so that a peer still writing can read the GOAWAY before the socket goes.
LINGER_SECONDS = 2.0
LINGER_BYTES = 1 << 20
# The timeout argument of `next_chunk` and `send_body` when not given: the connection's own
# (`body_timeout`, `write_timeout`).
CONNECTION_TIMEOUT = object()

class StreamStopped(Exception):
    """The stream cannot go on: reset by the peer, refused, or the connection ended."""

    def __init__(self, stop: H2Stopped | None) -> None:
        super().__init__(repr(stop))
        self.stop = stop


def header_map(raw) -> HeaderMap:
    """Header fields (pairs, a mapping or a HeaderMap; names and values as `bytes` or `str`) as
    a HeaderMap for HTTP/2: lower-case names, and `te` values in lower case. Fields HTTP/2 does
    not carry are left to `send_fields`."""
    if type(raw) is not list and hasattr(raw, "items") and not isinstance(raw, (dict, HeaderMap)):
        raw = raw.items()
    headers = HeaderMap(raw)  # names go to lower case on the way in
    if "te" in headers:
        fixed = HeaderMap()
        for name, value in headers.raw_items():
            fixed.add(name, value.strip().lower() if name == b"te" else value)
        return fixed
    return headers


def send_fields(send, headers: HeaderMap):
    """`send(headers)`, a call of the native state that sends a head or trailers. The fields
    HTTP/2 does not carry (RFC 9113 section 8.2.2), an HTTP/1 habit of the application, make the
    state refuse the whole head; they are dropped rather than lose it, and the head goes again
    without them. Which fields those are is the native check's to say, and it is asked only
    after such a refusal, so a head without them is checked once."""
    try:
        return send(headers)
    except H2UserError:
        kept = without_refused(headers)
        if kept is None:
            raise  # refused for another reason
        return send(kept)


def without_refused(headers: HeaderMap) -> HeaderMap | None:
    """`headers` without the fields HTTP/2 refuses; None when it has none of them (a head the
    state refused was then refused for another reason)."""
    kept = sendable(headers)
    return None if len(kept) == len(headers) else kept


def sendable(headers: HeaderMap) -> HeaderMap:
    """`headers` without the fields HTTP/2 refuses."""
    kept = HeaderMap()
    for name, value in headers.items():
        field = HeaderMap()
        field.add(name, value)
        try:
            _check_send_headers(field)
        except H2UserError:
            continue
        kept.add(name, value)
    return kept


class Signal:
    """asyncio.Event's `set`, `clear`, `is_set` and `wait`, made for the signals every stream
    has: nothing is allocated until someone waits, and a request answered at once never waits
    (three Events per stream were a tenth of the driver's time per request)."""

    __slots__ = ("value", "waiters")

    def __init__(self) -> None:
        self.value = False  # is_set(), for hot paths that would rather not call set() for nothing
        # the futures of the waits in progress (None before the first wait)
        self.waiters: list[asyncio.Future] | None = None

    def is_set(self) -> bool:
        return self.value

    def set(self) -> None:
        if not self.value:
            self.value = True
            for waiter in self.waiters or ():
                if not waiter.done():
                    waiter.set_result(True)

    def clear(self) -> None:
        self.value = False

    async def wait(self) -> bool:
        if self.value:
            return True
        waiter = asyncio.get_running_loop().create_future()
        waiters = self.waiters
        if waiters is None:
            waiters = self.waiters = []
        waiters.append(waiter)
        try:
            await waiter  # each wait has its own future: cancelling one cancels no other
            return True
        finally:
            waiters.remove(waiter)


class _Unwaited:
    """The signal of a stream no task has waited on yet, one for all such streams. A `set` only
    matters to a wait in progress, and every wait on a stream's signal clears it first
    (`StreamHandle.cleared`, which gives the stream a signal of its own then), so until the first
    wait there is nothing to keep: a request answered at once never makes one."""

    __slots__ = ()
    value = False
    waiters = None

    def set(self) -> None:
        pass


UNWAITED = _Unwaited()


class StreamWriter:
    """The output of a stream that carries a protocol's own octets (a WebSocket over an extended
    CONNECT, on either side): what is written waits in `out` and one writer task sends it as the
    windows allow, with END_STREAM after it once `ending` is set. The owner keeps `conn`, `out`,
    `buffered`, `ending`, `writer` and `wanted`, names the stream (`out_handle`) and the send's
    timeout (`out_timeout`), and says when output is over (`output_closed`), what follows a sent
    batch (`_batch_sent`), the end of its output (`_output_ended`) and a stop of the stream
    (`_output_stopped`)."""

    out_timeout: float | None | object = CONNECTION_TIMEOUT

    def _wake(self) -> None:
        if self.writer is None:
            self.writer = self.conn.loop.create_task(self._write_out())
        else:
            self.wanted.set()

    async def _write_out(self) -> None:
        out = self.out
        try:
            while not self.output_closed:
                if not out and not self.ending:
                    self.wanted.clear()
                    await self.wanted.wait()
                    continue
                data = b"".join(out) if len(out) != 1 else out[0]
                out.clear()
                end = self.ending
                await self.conn.send_body(self.out_handle, data, end, self.out_timeout)
                self.buffered -= len(data)
                self._batch_sent()
                if end:
                    self.ending = False
                    self._output_ended()
                    return
        except StreamStopped as exc:
            self._output_stopped(exc)


class StreamHandle:
    """What the driver keeps for one stream: its received head, body and trailers, the stop it
    ended with, and the events its tasks wait on."""

    __slots__ = ("sid", "head", "chunks", "ended", "trailers", "stop", "changed", "window",
                 "head_event")

    def __init__(self) -> None:
        self.sid = 0
        self.head: H2FrameHeaders | None = None
        self.chunks: collections.deque = collections.deque()  # (payload, budgeted)
        self.ended = False
        self.trailers: HeaderMap | None = None
        self.stop: H2Stopped | None = None
        self.changed = Signal()   # a chunk, the end of the body, or a stop
        self.window = Signal()    # send capacity may be available
        self.head_event = Signal()

    def stopped(self, stop: H2Stopped | None) -> None:
        if self.stop is None:
            self.stop = stop
        self.changed.set()
        self.window.set()
        self.head_event.set()

    def cleared(self, which: str) -> Signal:
        """The signal `which` ("changed" or "window"), cleared for a wait: made now if the
        stream has none of its own yet (see `_Unwaited`)."""
        signal = getattr(self, which)
        if signal is UNWAITED:
            signal = Signal()
            setattr(self, which, signal)
        else:
            signal.clear()
        return signal


class Driver(H2Streams):
    """The pumps and the verdict handling of one connection, in either role."""

    # Slots rather than a dict of 30 and more names, whose lookups cost more on every frame.
    __slots__ = ("stream", "loop", "pump_wanted", "pump_done", "finished", "slot_freed",
                 "stop_accepting", "queued", "in_flight", "batches_taken", "batches_written",
                 "last_written", "on_flushed", "waiting_room", "body_timeout", "write_timeout",
                 "settings_acked", "settings_timer", "__weakref__")

    stream: Stream
    loop: asyncio.AbstractEventLoop

    def _setup(self, stream: Stream) -> None:
        self.stream = stream
        self.loop = stream._loop
        self.pump_wanted = Signal()
        self.pump_done = self.loop.create_future()
        self.finished = asyncio.Event()  # no new work: failed, or GOAWAYs exchanged
        self.slot_freed = asyncio.Event()
        self.stop_accepting = asyncio.Event()
        self.queued = 0          # DATA queued since the last batch was taken
        self.in_flight = 0       # DATA of the batch being written
        self.batches_taken = 0
        self.batches_written = 0
        self.last_written = self.loop.time()  # when a batch last drained
        self.on_flushed: collections.deque = collections.deque()  # (batch, callback)
        self.waiting_room: list[StreamHandle] = []  # senders stopped by SEND_BUFFER
        self.body_timeout: float | None = None  # a body read that waits longer is reset
        self.write_timeout: float | None = None  # a peer that takes nothing for longer fails
        self.settings_acked = False
        self.settings_timer: asyncio.TimerHandle | None = None

    def expect_settings_ack(self, timeout: float) -> None:
        """A peer that leaves our SETTINGS unacknowledged for `timeout` seconds is sent
        GOAWAY(SETTINGS_TIMEOUT) and the connection ends (RFC 9113 section 6.5.3)."""
        self.settings_timer = self.loop.call_later(timeout, self._settings_expired)

    def _settings_expired(self) -> None:
        self.settings_timer = None
        if self.settings_acked or self.is_failed():
            return
        log.debug("HTTP/2 peer did not acknowledge our SETTINGS in time")
        self.act(self.send_goaway(_SETTINGS_TIMEOUT))
        self.connection_failed(None, "connection closed: SETTINGS not acknowledged")

    # flags and pumps

    def took(self, v) -> None:
        """Acts on the verdict of a send: a stream that stopped meanwhile hears of it, and the
        flags are acted on (the usual one, frames to write, without a call to `act`)."""
        if v.handle is not None and v.reader_stop is not None:
            v.handle.stopped(v.reader_stop)
        flags = v.flags
        if flags == H2_FLAG_WAKE:
            if not self.pump_wanted.value:
                self.pump_wanted.set()
        else:
            self.act(flags)

    def act(self, flags: int) -> None:
        if flags == H2_FLAG_WAKE:  # nearly every verdict: frames to write, nothing else
            if not self.pump_wanted.value:
                self.pump_wanted.set()
            return
        if flags & H2_FLAG_WAKE:
            self.pump_wanted.set()
        if flags & H2_FLAG_CAPACITY:
            handle = self.next_capacity_wake()
            if handle is not None:
                handle.window.set()
        if flags & H2_FLAG_SLOT_FREED:
            self.slot_freed.set()
        if flags & H2_FLAG_STOP_ACCEPTING:
            self.stop_accepting.set()
        if flags & H2_FLAG_CONN_DONE:
            self.finished.set()

    async def write_pump(self) -> None:
        stream = self.stream
        try:
            while True:
                await self.pump_wanted.wait()
                self.pump_wanted.clear()
                while True:
                    view, stopping = self.take_pending()
                    size = len(view)
                    if size:
                        self.batches_taken += 1
                        self.in_flight, self.queued = self.queued, 0
                        # The transport may keep the view until the bytes are sent; the batch
                        # lives as long as the view, and its buffer comes back after.
                        stream.write(view)
                    del view
                    if size:
                        # Credited only once the transport is below its high-water mark: until
                        # then the bytes still count against each stream's send buffer.
                        await stream.drain(self.write_timeout)
                        self.last_written = self.loop.time()
                        self.batch_out()
                    for handle in self.credit_written():
                        handle.window.set()
                    if stopping and not size:
                        return
                    # once stopping, go round until nothing is left: no one sets the event again
                    if not stopping and not self.has_pending():
                        break
        except OSError as exc:
            self.connection_failed(exc)
        finally:
            self.batch_out()
            if not self.pump_done.done():
                self.pump_done.set_result(None)

    def batch_out(self) -> None:
        """The batch taken last has left (or never will): its senders and waiters go on."""
        self.in_flight = 0
        self.batches_written = written = self.batches_taken
        if self.waiting_room and self.queued < SEND_BUFFER:
            for handle in self.waiting_room:
                handle.window.set()
            self.waiting_room.clear()
        callbacks = self.on_flushed
        while callbacks and callbacks[0][0] <= written:
            _, callback, arg = callbacks.popleft()
            callback(arg)

    def when_flushed(self, callback, arg) -> None:
        """Calls `callback(arg)` once everything queued so far has left for the transport, or
        the connection has ended: at once if it has."""
        mark = self.batches_taken + self.has_pending()
        if mark <= self.batches_written or self.is_failed():
            callback(arg)
        else:
            self.on_flushed.append((mark, callback, arg))

    async def read_pump(self) -> None:
        stream = self.stream
        data = b""  # the first round decodes what was primed before the pump started
        try:
            while True:
                try:
                    for frame in self.receive(data):
                        if type(frame) is H2FrameHeaders:  # most frames, one call less
                            try:
                                self.on_headers(frame)
                            except H2StreamError as exc:
                                self.answer_stream_error(exc)
                        else:
                            self.dispatch(frame)
                    self.act(self.maybe_goaway_reply())
                except H2Error as exc:
                    self.protocol_failure(exc)
                    return
                if self.is_failed():
                    return
                data = await stream.read()
                if not data:
                    self.connection_failed(None, "connection closed by peer")
                    return
        except OSError as exc:
            self.connection_failed(exc)

    def protocol_failure(self, exc: H2Error) -> None:
        """A violation we found: GOAWAY with its reason, then the connection ends."""
        log.debug("HTTP/2 connection error: %r", exc)
        reason = exc.args[0] if exc.args and isinstance(exc.args[0], int) else PROTOCOL_ERROR
        self.act(self.send_goaway(reason))
        self.connection_failed(exc)

    def connection_failed(self, exc: BaseException | None, message: str = "connection closed"):
        if exc is not None:
            # The state keeps the error for later callers; its traceback would keep this
            # connection's frames, and the connection, alive with it.
            exc.__traceback__ = exc.__context__ = exc.__cause__ = None
        for handle, stop in self.fail(exc, message):
            handle.stopped(stop)
        self.finished.set()
        self.slot_freed.set()
        self.stop_accepting.set()
        self.stop_pump()
        self.pump_wanted.set()
        while self.on_flushed:
            _, callback, arg = self.on_flushed.popleft()
            callback(arg)
        if self.settings_timer is not None:
            self.settings_timer.cancel()
            self.settings_timer = None

    def answer_stream_error(self, exc: H2StreamError) -> None:
        sid, reason = exc.args[0], exc.args[1]
        verdict = self.reset_on_error(sid, reason)
        if verdict.handle is not None:
            verdict.handle.stopped(verdict.stop)
        self.act(verdict.flags)

    def dispatch(self, frame) -> None:
        kind = type(frame)
        try:
            if kind is H2FrameHeaders:
                self.on_headers(frame)
            elif kind is H2FrameData:
                v = self.recv_data(frame)
                handle = v.handle
                if handle is not None:
                    if v.payload is not None:
                        handle.chunks.append((v.payload, v.budgeted))
                    if v.eof:
                        handle.ended = True
                    handle.changed.set()
                self.act(v.flags)
            elif kind is H2FrameWindowUpdate:
                for handle in self.recv_window_update(frame):
                    handle.window.set()
            elif kind is H2FrameSettings:
                if frame.ack:
                    self.settings_acked = True
                initial, wake, flags = self.recv_settings(frame)
                for handle in wake:
                    handle.window.set()
                self.act(flags)
                if initial:
                    self.peer_settings_arrived()
            elif kind is H2FramePing:
                self.act(self.recv_ping(frame))
            elif kind is H2FrameRstStream:
                handle, stop, _notify_body, flags = self.recv_reset(frame)
                if handle is not None:
                    handle.stopped(stop)
                    self.stream_reset(handle)
                self.act(flags)
            elif kind is H2FrameGoAway:
                pairs, flags = self.recv_go_away(frame)
                for handle, stop in pairs:
                    handle.stopped(stop)
                self.act(flags)
            elif kind is H2FrameStreamError:
                self.answer_stream_error(H2StreamError(frame.stream_id, frame.error_code,
                                                       "library"))
        except H2StreamError as exc:
            self.answer_stream_error(exc)

    def on_headers(self, frame) -> None:
        raise NotImplementedError

    def peer_settings_arrived(self) -> None:
        """The peer's first SETTINGS frame has been applied."""

    def stream_reset(self, handle: StreamHandle) -> None:
        """A stream the peer reset, or whose body stalled past the deadline: stopped already."""

    # the stream's side

    def release(self, handle: StreamHandle, payload: bytes, budgeted: bool) -> None:
        """The application consumed a chunk: its capacity goes back to the peer."""
        size = len(payload)
        if budgeted:
            self.release_data_frame(handle.sid, size)
        self.act(self.release_capacity(handle.sid, size))

    async def next_chunk(self, handle: StreamHandle,
                         timeout: float | None | object = CONNECTION_TIMEOUT) -> bytes | None:
        """The next body chunk; None once the body is over. Raises StreamStopped (also when
        no chunk came for `timeout` seconds, the connection's `body_timeout` by default: the
        stream is then reset)."""
        if timeout is CONNECTION_TIMEOUT:
            timeout = self.body_timeout
        while True:
            if handle.chunks:
                payload, budgeted = handle.chunks.popleft()
                self.release(handle, payload, budgeted)
                return payload
            stop = handle.stop
            # RST_STREAM(NO_ERROR) after a complete body only stops the rest of our side (RFC
            # 9113 section 8.1): what arrived stands.
            if stop is not None and not (handle.ended and stop.reason == NO_ERROR):
                raise StreamStopped(stop)
            if handle.ended:
                return None
            changed = handle.cleared("changed")
            deadline = None if timeout is None else self.loop.time() + timeout
            if not await self.wait_until(changed, deadline) and not (
                    handle.chunks or handle.ended or handle.stop):
                self.stalled(handle)
                raise StreamStopped(handle.stop)

    async def wait_until(self, event: Signal, deadline: float | None) -> bool:
        """Waits for `event`; False when `deadline` (loop time) came first."""
        if deadline is None:
            await event.wait()
            return True
        timer = self.loop.call_at(deadline, event.set)
        try:
            await event.wait()
        finally:
            timer.cancel()
        return self.loop.time() < deadline

    def stalled(self, handle: StreamHandle) -> None:
        """The peer let a stream wait past its deadline (no body bytes, or no window): the
        stream is reset and its tasks stopped."""
        v = self.reset_stream(handle.sid, CANCEL)
        if v.handle is not None:
            handle.stopped(v.stop)
        self.act(v.flags)
        self.stream_reset(handle)

    def send_now(self, handle: StreamHandle, data: bytes, end_stream: bool):
        """`send_body` without a coroutine when the windows take it all at once: None once
        `data` (and END_STREAM when asked) is queued, else what to await for the rest. Raises
        StreamStopped as `send_body` does."""
        if self.queued + self.in_flight >= SEND_BUFFER and data:
            return self.send_body(handle, data, end_stream)
        # no wait follows this attempt (`send_body` clears the window signal before its own)
        v = self.send_data(handle.sid, data, 0, end_stream)
        self.queued += v.sent
        self.took(v)
        if v.stopped is not None:
            raise StreamStopped(v.stopped)
        if v.done:
            return None
        return self.send_body(handle, data, end_stream, offset=v.sent)

    async def send_body(self, handle: StreamHandle, data: bytes, end_stream: bool,
                        timeout: float | None | object = CONNECTION_TIMEOUT,
                        offset: int = 0) -> None:
        """Queues `data` from `offset` on (and END_STREAM when asked) as the windows allow. A
        stream whose window stays shut for `timeout` seconds (the connection's `write_timeout`
        by default) while nothing else moves either is reset, and StreamStopped raised."""
        if timeout is CONNECTION_TIMEOUT:
            timeout = self.write_timeout
        deadline = None  # set while the windows let nothing through
        while True:
            window = handle.cleared("window")
            if (self.queued + self.in_flight >= SEND_BUFFER and offset < len(data)
                    and handle.stop is None):
                self.waiting_room.append(handle)
                await window.wait()
                continue
            v = self.send_data(handle.sid, data, offset, end_stream)
            self.queued += v.sent
            self.took(v)
            if v.stopped is not None:
                raise StreamStopped(v.stopped)
            offset += v.sent
            if v.done:
                return
            if v.sent:
                deadline = None
                continue
            if deadline is None and timeout is not None:
                deadline = self.loop.time() + timeout
            if not await self.wait_until(window, deadline) and handle.stop is None:
                moving = self.last_written + timeout
                if moving > self.loop.time():
                    deadline = moving  # bytes still flow: this stream's turn may yet come
                    continue
                self.stalled(handle)
                raise StreamStopped(handle.stop)

    async def send_trailer_fields(self, handle: StreamHandle, trailers: HeaderMap) -> None:
        v = send_fields(lambda fields: self.send_trailers(handle.sid, fields), trailers)
        self.took(v)
        if v.stopped is not None:
            raise StreamStopped(v.stopped)

    async def close_pumps(self, read_task: asyncio.Task | None, linger: bool = False) -> None:
        """Lets the write pump finish what is queued, then ends both pumps and the transport.
        With `linger`, the write side is shut first and what the peer still sends is read and
        dropped for a while, so that a peer that keeps writing gets to read our last frames
        rather than a reset."""
        self.stop_pump()
        self.pump_wanted.set()
        try:
            await asyncio.wait_for(asyncio.shield(self.pump_done), 5)
        except TimeoutError:
            pass
        if read_task is not None and not read_task.done():
            read_task.cancel()
            try:
                await read_task
            except asyncio.CancelledError:
                pass
        transport = self.stream.transport
        if transport is None or transport.is_closing():
            return
        if linger and transport.get_write_buffer_size() == 0 and transport.can_write_eof():
            try:
                transport.write_eof()
            except OSError:  # the peer has gone already
                pass
            else:
                await self._discard_input()
        if transport.get_write_buffer_size():
            transport.abort()  # a peer that does not read would hold the socket open
        else:
            transport.close()

    async def _discard_input(self) -> None:
        stream = self.stream
        deadline = self.loop.time() + LINGER_SECONDS
        budget = LINGER_BYTES
        while budget > 0:
            left = deadline - self.loop.time()
            if left <= 0:
                return
            try:
                data = await asyncio.wait_for(stream.read(), left)
            except OSError as exc:  # TimeoutError included
                # The stream keeps the error that ended it; its traceback would keep us.
                exc.__traceback__ = None
                return
            if not data:
                return
            budget -= len(data)
