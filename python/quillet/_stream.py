"""A buffered asyncio protocol shared by the server and the client drivers.

Bytes that arrive are kept until someone reads them, so a read that is cancelled or never made
loses nothing. There is one reader at a time: the connection state decides who that is. A
reader waits on a `Waiter`: the bytes that end its wait run its task's next step within the
transport's callback, instead of at the loop's next turn.
"""

from __future__ import annotations

import asyncio
import threading

from ._native import Waiter

# Reading stops above this many unread bytes, and resumes when a read takes them.
_READ_HIGH_WATER = 256 * 1024
# The most one read takes from the socket into the thread's read buffer.
_READ_BUFFER_SIZE = 256 * 1024
_read_buffers = threading.local()
# How early a loop may run a timer (its clock's resolution; libuv's is a millisecond).
_TIMER_SLACK = 0.001


def time_out(waiter: asyncio.Future) -> None:
    """Ends a wait with TimeoutError (a timer's callback)."""
    if not waiter.done():
        waiter.set_exception(TimeoutError())


class Stream(asyncio.Protocol):
    """One TCP connection: `read()` waits for bytes, `write()` queues them, `drain()` waits for
    the write buffer to empty below its high-water mark."""

    __slots__ = ("transport", "_loop", "_chunks", "_size", "_eof", "_error", "_waiter",
                 "_paused", "_write_paused", "_drain_waiter", "lost", "_held", "_read_by",
                 "_read_timer", "watching", "_vectored")

    def __init__(self, loop: asyncio.AbstractEventLoop | None = None) -> None:
        self._loop = loop or asyncio.get_running_loop()
        self.transport: asyncio.Transport | None = None
        self._chunks: list[bytes] = []
        self._size = 0
        self._eof = False
        self._error: BaseException | None = None
        self._waiter: asyncio.Future | None = None
        self._paused = False
        self._write_paused = False
        self._drain_waiter: asyncio.Future | None = None
        self.lost = False
        self._held = False  # reading stopped by the driver (`hold_reading`)
        # the current read's deadline (loop time), and the timer that checks it: one timer
        # serves read after read, moved on only when it fires (see `_read_deadline_reached`)
        self._read_by: float | None = None
        self._read_timer: asyncio.TimerHandle | None = None
        # A parked read's owner (the client's idle watcher): its `idle_read_ended` runs after
        # the stream's own work when bytes, the end of input or a loss arrive. It is looked up
        # first: waking the reader may run the reader's task at once (a `Waiter`), whose
        # exchange may end and park the connection with a new watch, which these are not for.
        self.watching = None
        self._vectored = False  # `writelines` is one system call that holds the writer back

    # asyncio.Protocol callbacks

    def connection_made(self, transport) -> None:
        self.transport = transport
        self._vectored = type(transport).__module__.startswith("uvloop")

    def data_received(self, data: bytes) -> None:
        watching = self.watching
        self._chunks.append(data)
        self._size += len(data)
        waiter = self._waiter
        if waiter is not None:
            self._waiter = None
            if not waiter.done():
                waiter.set_result(None)
        if self._size > _READ_HIGH_WATER and not self._paused and self.transport is not None:
            self._paused = True
            self.transport.pause_reading()
        if watching is not None:
            watching.idle_read_ended()

    def eof_received(self) -> bool:
        watching = self.watching
        self._eof = True
        self._wake()
        if watching is not None:
            watching.idle_read_ended()
        return True  # keep the write side open: the response may still be going out

    def connection_lost(self, exc: BaseException | None) -> None:
        watching = self.watching
        self.lost = True
        self._eof = True
        if self._read_timer is not None:
            self._read_timer.cancel()
            self._read_timer = None
        if exc is not None and self._error is None:
            self._error = exc
        self._wake()
        drain = self._drain_waiter
        if drain is not None:
            self._drain_waiter = None
            if not drain.done():
                if exc is None:
                    drain.set_result(None)
                else:
                    drain.set_exception(ConnectionResetError("connection lost"))
        if watching is not None:
            watching.idle_read_ended()

    def pause_writing(self) -> None:
        self._write_paused = True

    def resume_writing(self) -> None:
        self._write_paused = False
        drain = self._drain_waiter
        if drain is not None:
            self._drain_waiter = None
            if not drain.done():
                drain.set_result(None)

    def _wake(self) -> None:
        waiter = self._waiter
        if waiter is not None:
            self._waiter = None
            if not waiter.done():
                waiter.set_result(None)

    # the reader's side

    def take_buffered(self) -> bytes:
        """Every byte received and not yet read (possibly b"")."""
        chunks = self._chunks
        if not chunks:
            return b""
        data = chunks[0] if len(chunks) == 1 else b"".join(chunks)
        self._chunks = []
        self._size = 0
        if self._paused and not self._held and self.transport is not None:
            self._paused = False
            self.transport.resume_reading()
        return data

    def hold_reading(self) -> None:
        """Stops reading from the transport, however little is buffered, until
        `release_reading`: the client's further bytes wait in the kernel's buffers."""
        self._held = True
        if not self._paused and self.transport is not None:
            self._paused = True
            self.transport.pause_reading()

    def release_reading(self) -> None:
        if not self._held:
            return
        self._held = False
        if self._paused and self._size <= _READ_HIGH_WATER and self.transport is not None:
            self._paused = False
            self.transport.resume_reading()

    def peek(self) -> bytes:
        """Every byte received and not yet read, left in place."""
        chunks = self._chunks
        if len(chunks) > 1:
            self._chunks = [b"".join(chunks)]
        return self._chunks[0] if self._chunks else b""

    @property
    def at_eof(self) -> bool:
        return self._eof or self._error is not None

    async def wait_data(self, seen: int = 0) -> None:
        """Waits until more than `seen` bytes are buffered, or the input ends. The caller says
        what it saw: bytes may arrive between its look and the first step of this wait."""
        while self._size <= seen and not self._eof and self._error is None:
            waiter = Waiter(self._loop)
            self._waiter = waiter
            try:
                await waiter
            finally:
                if self._waiter is waiter:
                    self._waiter = None

    async def read(self, timeout: float | None = None) -> bytes:
        """The next bytes; b"" at end of input. Raises the error that ended the connection, or
        TimeoutError when no byte came for `timeout` seconds."""
        while True:
            if self._chunks:
                return self.take_buffered()
            if self._error is not None:
                raise self._error
            if self._eof:
                return b""
            loop = self._loop
            waiter = Waiter(loop)
            self._waiter = waiter
            if timeout is None:
                self._read_by = None
            else:
                self._read_by = by = loop.time() + timeout
                timer = self._read_timer
                if timer is None or timer.when() > by:
                    if timer is not None:
                        timer.cancel()
                    self._read_timer = loop.call_at(by, self._read_deadline_reached)
            try:
                await waiter
            finally:
                # the timer stays; the deadline goes with the read (the stream's waiter may be
                # another wait's next, a drain's, which the read's deadline must not end)
                self._read_by = None
                if self._waiter is waiter:
                    self._waiter = None

    def _read_deadline_reached(self) -> None:
        """The read timer fired: it times out the read waiting now if that read's deadline has
        passed, or follows the deadline of a later read. Reads that end in time neither cancel
        nor re-arm it: a connection making many short reads sets one timer per timeout, not
        one per read."""
        self._read_timer = None
        by, waiter = self._read_by, self._waiter
        if by is None or waiter is None or waiter.done():
            return
        loop = self._loop
        if loop.time() + _TIMER_SLACK >= by:  # a loop may run a timer a little early
            self._read_by = None
            waiter.set_exception(TimeoutError())
        else:
            self._read_timer = loop.call_at(by, self._read_deadline_reached)

    async def read_result(self) -> tuple[bytes | None, BaseException | None]:
        """`read()` as a (data, error) pair, for the watcher reports."""
        try:
            return await self.read(), None
        except (OSError, EOFError) as exc:
            return None, exc

    # the writer's side

    def write(self, data: bytes) -> None:
        if self.transport is not None and not self.lost:
            self.transport.write(data)

    def writelines(self, parts) -> None:
        """Writes the parts in order, each as it is (a large body is not joined to its head).
        On uvloop they go out in one system call (`writev`), so a short head does not leave as a
        segment of its own, waking the peer for a few octets. Elsewhere each goes through
        `transport.write`: the standard loop's `writelines` (3.12 and later) queues what the
        socket does not take without pausing the protocol, so a peer that reads nothing would
        never hold the writer back."""
        transport = self.transport
        if transport is not None and not self.lost:
            if self._vectored:
                transport.writelines(parts)
                return
            for part in parts:
                if part:
                    transport.write(part)

    async def drain(self, timeout: float | None = None) -> None:
        """Raises TimeoutError when the buffer is still above its mark after `timeout` s."""
        if self.lost:
            raise ConnectionResetError("connection lost")
        if not self._write_paused:
            return
        waiter = self._loop.create_future()
        self._drain_waiter = waiter
        if timeout is None:
            await waiter
        else:
            await asyncio.wait_for(waiter, timeout)


def addresses(transport) -> tuple[tuple | None, tuple | None]:
    """The ASGI `client` and `server` of a connection; a Unix socket's server is (path, None)."""
    peer = transport.get_extra_info("peername")
    sock = transport.get_extra_info("sockname")
    client = tuple(peer[:2]) if isinstance(peer, tuple) else None
    if isinstance(sock, tuple):
        server = tuple(sock[:2])
    elif isinstance(sock, str) and sock:
        server = (sock, None)
    else:
        server = None
    return client, server


class Deadline:
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


class BufferedReads(asyncio.BufferedProtocol):
    """Makes a Stream read through one buffer per thread instead of a new bytes object per
    read: the event loop receives into the buffer, and only what arrived is copied out, to
    `data_received`. On the standard event loop this takes large transfers several times as
    fast (a fresh 256 KiB object per read is what costs). The buffer is handed out and filled
    within one synchronous step of the loop, so one per thread serves every connection."""

    __slots__ = ()

    def get_buffer(self, sizehint: int) -> memoryview:
        try:
            return _read_buffers.view
        except AttributeError:
            view = _read_buffers.view = memoryview(bytearray(_READ_BUFFER_SIZE))
            return view

    def buffer_updated(self, nbytes: int) -> None:
        self.data_received(bytes(_read_buffers.view[:nbytes]))
