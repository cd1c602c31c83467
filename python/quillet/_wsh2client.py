"""The WebSocket client over HTTP/2 (RFC 8441): an extended CONNECT with `:protocol websocket`
on a stream of a pooled HTTP/2 connection, whose DATA then carries the session's frames.

The session itself is `_wsclient.WebSocket`, the same as over HTTP/1.1: it talks to a transport,
and here `Tunnel` plays that transport for one stream. The other streams of the connection keep
carrying requests meanwhile.

- Input: a reader task takes the stream's chunks and hands them to the session, which decodes
  them at once. A chunk's flow-control window goes back to the server as it is taken, and while
  the session's queue is full (`pause_reading`) nothing is taken, so a slow application shuts
  the server's window instead of growing memory.
- Output: frames wait in a buffer that a writer task sends as the windows allow; past
  `HIGH_WATER` the session's `send` waits (`pause_writing`) until it is down to `LOW_WATER`.
- The end: the orderly close of HTTP/1.1's connection is END_STREAM here. Our END_STREAM goes
  once the close frames have crossed (or the server ended its side), and the stream is over when
  both sides have sent theirs. A server that does not end its side within the close timeout
  after ours has its stream reset (RST_STREAM CANCEL), and so has one the session aborts.

The server must have announced SETTINGS_ENABLE_CONNECT_PROTOCOL; `open_h2` answers None when it
did not, and the caller falls back to HTTP/1.1.
"""

from __future__ import annotations

import asyncio
import time

from _quillet import H2Codec, H2UserError, HeaderMap

from ._exceptions import LocalProtocolError, ReadTimeout, RequestError
from ._h2 import StreamStopped, StreamWriter, header_map, sendable
from ._h2client import _Exchange, _H2Body
from ._models import Request, Response, Timeout

__all__ = ["Tunnel", "open_h2"]

# What the writer may hold before the session's send waits, and the level it must come down to.
HIGH_WATER = 1 << 16
LOW_WATER = 1 << 14


async def open_h2(conn, request: Request, timeout: Timeout, handshake) -> object | None:
    """Runs the extended CONNECT of `request` (its WebSocket fields set) on the HTTP/2 client
    connection `conn`, where the pool claimed a stream slot for it, and returns
    `handshake(response, tunnel)` for a 2xx answer. None, with the slot given back, when the
    server does not take extended CONNECT. Raises WebSocketHandshakeError (from `handshake`
    with `tunnel` None) for another answer."""
    started = time.perf_counter()
    if not conn.settings_seen:
        # only the server's SETTINGS say whether it takes extended CONNECT
        deadline = None if timeout.read is None else conn.loop.time() + timeout.read
        try:
            await conn.wait_until(conn.settings_event, deadline)
        except BaseException:
            _give_back(conn)
            raise
        if not conn.settings_seen and not conn.is_closed():
            _give_back(conn)
            raise ReadTimeout("the server sent no SETTINGS within the read timeout",
                              request=request)
    if not conn.peer_enable_connect_protocol or conn.is_closed():
        _give_back(conn)
        if conn.is_closed():
            raise conn._closed_error(request, _Exchange())
        return None
    fields = HeaderMap(request.headers)
    authority = fields.get("host")
    if authority is not None:
        del fields["host"]
        authority = authority.decode("latin-1")
    try:
        H2Codec.check_send_headers(fields)
    except H2UserError:  # fields HTTP/2 does not carry (an HTTP/1 habit) go, as for requests
        fields = sendable(header_map(fields))
    handle = _Exchange()
    try:
        sid = conn.open_stream("CONNECT", request.url.target, fields, False, False, handle,
                               scheme=conn.scheme, authority=authority or conn.authority,
                               protocol="websocket")
    except (ValueError, TypeError, H2UserError) as exc:  # the slot has been given back
        raise LocalProtocolError(f"the request cannot be sent: {exc}", request=request) from exc
    if sid is None:
        raise conn._closed_error(request, handle)
    handle.sid = sid
    conn.requests_sent += 1
    conn.last_used = conn.loop.time()
    conn.pump_wanted.set()
    try:
        await conn._read_head(handle, timeout.read)
    except StreamStopped:
        raise conn._stopped_error(request, handle, False) from None
    except BaseException as exc:
        conn._cancel(handle)
        if isinstance(exc, RequestError) and exc.request is None:
            exc.request = request
        raise
    head = handle.head
    if not 200 <= head.status <= 299:
        response = Response(head.status, headers=head.headers, http_version="HTTP/2",
                            request=request, body=_H2Body(conn, handle, request, timeout.read),
                            started=started)
        try:
            await response.aread()
        finally:
            await response.aclose()
        return handshake(response, None)
    response = Response(head.status, headers=head.headers, http_version="HTTP/2",
                        request=request, content=b"", started=started)
    return handshake(response, Tunnel(conn, handle))


def _give_back(conn) -> None:
    """The slot the pool claimed for us, unused."""
    conn.release_slot_count()
    if conn.pool is not None:
        conn.pool.slots_freed(conn)


class Tunnel(StreamWriter):
    """One HTTP/2 stream as the transport of a client WebSocket: the subset of
    `asyncio.Transport` the session uses, and the protocol callbacks it expects."""

    # The session ends our half of the stream as soon as the close frames have crossed, rather
    # than wait for the server to end its own first as it would a TCP connection.
    half_close = True

    def __init__(self, conn, handle: _Exchange) -> None:
        self.conn = conn
        self.handle = handle
        self.loop: asyncio.AbstractEventLoop = conn.loop
        self.protocol = None
        self.close_timeout: float | None = None
        self.out: list[bytes] = []
        self.buffered = 0          # octets written and not yet handed to the connection
        self.ending = False        # END_STREAM goes out after what is buffered
        self.sent_end = False      # our END_STREAM went out
        self.peer_ended = False    # the server's END_STREAM came
        self.lost = False
        self.reading = asyncio.Event()
        self.reading.set()
        self.wanted = asyncio.Event()  # the writer has work
        self.write_paused = False
        self.writer: asyncio.Task | None = None
        self.reader: asyncio.Task | None = None
        self.timer: asyncio.TimerHandle | None = None

    def set_protocol(self, protocol) -> None:
        """The session takes the stream: reading starts."""
        self.protocol = protocol
        self.close_timeout = protocol.close_timeout
        self.reader = self.loop.create_task(self._read_in())

    def is_closing(self) -> bool:
        return self.ending or self.sent_end or self.lost

    # output

    def write(self, data: bytes) -> None:
        if self.ending or self.sent_end or self.lost:
            return
        self.out.append(data)
        self.buffered += len(data)
        if not self.write_paused and self.buffered > HIGH_WATER:
            self.write_paused = True
            self.protocol.pause_writing()
        self._wake()

    # the writer (`StreamWriter`): the write timeout is the session's, not the connection's

    out_timeout = None

    @property
    def out_handle(self):
        return self.handle

    @property
    def output_closed(self) -> bool:
        return self.lost

    def _batch_sent(self) -> None:
        if self.write_paused and self.buffered <= LOW_WATER and not self.lost:
            self.write_paused = False
            self.protocol.resume_writing()

    def _output_ended(self) -> None:
        self.sent_end = True
        self._settle()

    def _output_stopped(self, exc: StreamStopped) -> None:
        self._connection_lost(exc)

    # input

    def pause_reading(self) -> None:
        self.reading.clear()

    def resume_reading(self) -> None:
        self.reading.set()

    async def _read_in(self) -> None:
        conn, handle = self.conn, self.handle
        try:
            while not self.lost:
                if not self.reading.is_set():
                    await self.reading.wait()
                    continue
                chunk = await conn.next_chunk(handle, None)
                if chunk is None:
                    break
                self.protocol.data_received(chunk)
        except StreamStopped as exc:
            self._connection_lost(exc)
            return
        if self.lost:
            return
        self.peer_ended = True
        if not self.protocol.eof_received():
            self.close()
        self._settle()

    # the end

    def close(self) -> None:
        """END_STREAM after what is buffered; the stream is reset if the server has not ended
        its side within the close timeout."""
        if self.lost:
            return
        if not self.ending and not self.sent_end:
            self.ending = True
            self._wake()
        if self.timer is None and self.close_timeout is not None and not self.peer_ended:
            self.timer = self.loop.call_later(self.close_timeout, self.abort)

    def abort(self) -> None:
        """RST_STREAM(CANCEL), and the session hears the end at once."""
        if self.lost:
            return
        self.conn._cancel(self.handle)
        self._connection_lost(None)

    def _settle(self) -> None:
        if self.sent_end and self.peer_ended:
            self.conn.stream_ended()
            self._connection_lost(None)

    def _connection_lost(self, exc: BaseException | None) -> None:
        if self.lost:
            return
        self.lost = True
        self.out.clear()
        self.buffered = 0
        if self.timer is not None:
            self.timer.cancel()
            self.timer = None
        self.wanted.set()
        self.reading.set()
        if isinstance(exc, StreamStopped):
            exc = ConnectionResetError(f"the HTTP/2 stream ended: {exc.stop!r}")
        if self.protocol is not None:
            self.protocol.connection_lost(exc)
