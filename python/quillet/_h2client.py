"""HTTP/2 with prior knowledge (h2c) for the client: one connection, concurrent request
streams, each request a task of its caller."""

from __future__ import annotations

import asyncio

from _quillet import H2_HEADERS_HEAD, H2_HEADERS_TRAILERS, ConnectionClosedError

from ._h2 import CANCEL, LIMITS, NO_ERROR, Driver, StreamHandle, StreamStopped, header_map
from ._stream import Stream


class ClientConnection(Driver):
    """An HTTP/2 client connection: the native state, its pumps, and the requests in flight."""

    @classmethod
    async def connect(cls, host: str, port: int) -> ClientConnection:
        loop = asyncio.get_running_loop()
        transport, stream = await loop.create_connection(lambda: Stream(loop), host, port)
        return cls.attach(stream, f"{host}:{port}")

    @classmethod
    def attach(cls, stream: Stream, authority: str, scheme: str = "http") -> ClientConnection:
        """HTTP/2 on a connection already open: prior knowledge, or ALPN's choice over TLS."""
        loop = stream._loop
        # This client accepts no server push.
        conn = cls("client", enable_push=False, **LIMITS)
        conn._setup(stream)
        conn.authority = authority
        conn.scheme = scheme
        conn.begin()
        pump = loop.create_task(conn.write_pump())
        reader = loop.create_task(conn.read_pump())
        conn.store_task_handles(reader, pump)
        conn.pump_wanted.set()
        return conn

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

    def _raise_closed(self) -> None:
        error = self.conn_error()
        if error is not None:
            raise ConnectionClosedError(f"the connection is closed: {error!r}") from error
        raise ConnectionClosedError(f"the server sent GOAWAY {self.goaway_info()!r}")

    async def _claim(self) -> None:
        while True:
            self.slot_freed.clear()
            if self.try_claim_slot():
                return
            if self.is_closed():
                self._raise_closed()
            await self.slot_freed.wait()

    async def request(self, method: str, target: str, headers, body: bytes | None):
        """One exchange on its own stream: (head frame, body, trailers)."""
        await self._claim()
        handle = StreamHandle()
        sid = self.open_stream(method, target, header_map(headers or ()), not body,
                               method == "HEAD", handle, scheme=self.scheme,
                               authority=self.authority)
        if sid is None:
            self._raise_closed()
        handle.sid = sid
        self.pump_wanted.set()
        try:
            if body:
                await self.send_body(handle, body, True)
            while handle.head is None:
                if handle.stop is not None:
                    raise StreamStopped(handle.stop)
                handle.head_event.clear()
                await handle.head_event.wait()
            if handle.head.oversize:
                # Fields past our header-list budget were dropped: the head cannot be trusted
                # as it stands, and the stream is cancelled below.
                raise ConnectionClosedError(
                    "the stream was stopped: the response head is larger than the header-list "
                    f"limit of {LIMITS['max_header_list_size']} bytes")
            parts = []
            while (chunk := await self.next_chunk(handle)) is not None:
                parts.append(chunk)
        except StreamStopped as exc:
            if self.is_failed():
                self._raise_closed()
            raise ConnectionClosedError(f"the stream was stopped: {exc.stop!r}") from None
        except BaseException:
            self.act(self.reset_stream(sid, CANCEL).flags)  # nobody reads the response
            raise
        return handle.head, b"".join(parts), handle.trailers

    async def aclose(self) -> None:
        if not self.is_failed():
            self.act(self.send_goaway(NO_ERROR))
            self.connection_failed(None, "connection closed by the client")
        await self.close_pumps(self.take_read_handle())
