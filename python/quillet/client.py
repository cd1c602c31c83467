"""A minimal asyncio HTTP client on one connection: HTTP/1.1 with keep-alive, driven by
`_quillet.H1ClientState` and `_quillet.H1Codec`, or HTTP/2 with prior knowledge
(`http2=True`), driven by `_quillet.H2Streams`, where concurrent requests share the connection
(see docs/driving.md). Over TLS (`https://` or `ssl=`) ALPN picks the protocol: HTTP/2 when the
server chooses it, else HTTP/1.1.

    async with Client("127.0.0.1", 8000) as client:
        response = await client.request("POST", "/echo", body=b"hi")
        print(response.status, response.headers, response.body)

    async with Client("https://example.com") as client:   # verified against the system's CAs
        response = await client.request("GET", "/")
        print(response.http_version)                        # "2" when the server picked h2

Between requests an idle watcher keeps one read parked on the connection, so that a server
closing the idle connection (or sending bytes outside any response) is noticed at once; the next
request then opens a new connection instead of failing on the dead one.
"""

from __future__ import annotations

import asyncio
import ssl as _ssl
from collections.abc import AsyncIterable, Iterable
from dataclasses import dataclass
from urllib.parse import urlsplit

from _quillet import (
    H1_WATCH_IDLE_BYTES, H1_WATCH_IDLE_EOF, H1_WATCH_IDLE_ERROR, ConnectionClosedError,
    H1BodyDecoder, H1ClientState, H1Codec, H1IncompleteMessageError, H1UnexpectedMessageError,
    HeaderMap)

from ._h2client import ClientConnection
from ._stream import Stream

__all__ = ["Client", "Response"]


@dataclass
class Response:
    status: int
    headers: HeaderMap
    body: bytes
    trailers: HeaderMap | None = None
    reused: bool = False  # the request went out on a connection that served an earlier one
    http_version: str = "1.1"


class _Connection(H1ClientState):
    """The native client state plus the stream and codec of one TCP connection."""

    stream: Stream
    codec: H1Codec
    served: int


class _TLSStream(Stream):
    __slots__ = ()

    def eof_received(self) -> bool:
        super().eof_received()
        return False  # a TLS close_notify ends the connection; half-open is not offered


class Client:
    """One server, given as `host, port` or as a URL (`http://host:port`, `https://host`).

    `http2`: over plain TCP, True speaks HTTP/2 with prior knowledge. Over TLS the default
    (None) offers both protocols by ALPN and uses the server's pick; True insists on HTTP/2,
    False on HTTP/1.1. `ssl`: True (the default for https://) verifies the server against the
    system's trust store; an `ssl.SSLContext` is used as given, except that its ALPN protocols
    are set by the client."""

    def __init__(self, host: str, port: int | None = None, *, timeout: float = 30.0,
                 http2: bool | None = None, ssl: _ssl.SSLContext | bool | None = None,
                 server_hostname: str | None = None) -> None:
        if "://" in host:
            url = urlsplit(host)
            scheme = url.scheme.lower()
            if scheme not in ("http", "https") or not url.hostname:
                raise ValueError(f"not an http:// or https:// URL: {host!r}")
            host = url.hostname
            port = port or url.port or (443 if scheme == "https" else 80)
            if ssl is None:
                ssl = scheme == "https"
        if port is None:
            raise ValueError("no port given")
        self.host = host
        self.port = port
        self.timeout = timeout
        self.http2 = http2
        if ssl is True:
            ssl = _ssl.create_default_context()
        self.ssl: _ssl.SSLContext | None = ssl or None
        self.server_hostname = server_hostname
        if self.ssl is not None:
            self.ssl.set_alpn_protocols(
                ["h2", "http/1.1"] if http2 is None else ["h2"] if http2 else ["http/1.1"])
            self.protocol: str | None = None  # the first handshake tells
        else:
            self.protocol = "h2" if http2 else "http/1.1"
        self._h2: ClientConnection | None = None
        self._conn: _Connection | None = None
        self._idle = asyncio.Event()
        self._idle.set()
        self._opening: asyncio.Future | None = None
        self.connections_opened = 0

    async def __aenter__(self) -> Client:
        if self.protocol is None:
            await self._open()
        elif self.protocol == "h2":
            await self._h2_connection()
        else:
            await self._connect()
        return self

    async def _open(self) -> ClientConnection | _Connection:
        """A new connection, HTTP/2 or HTTP/1.1 as prior knowledge or ALPN decides."""
        loop = asyncio.get_running_loop()
        tls = self.ssl
        transport, stream = await loop.create_connection(
            (lambda: _TLSStream(loop)) if tls else (lambda: Stream(loop)), self.host, self.port,
            ssl=tls, server_hostname=(self.server_hostname or self.host) if tls else None)
        self.connections_opened += 1
        if tls is not None:
            chosen = transport.get_extra_info("ssl_object").selected_alpn_protocol()
            if self.http2 and chosen != "h2":
                transport.close()
                raise ConnectionClosedError("the server did not agree to HTTP/2 by ALPN")
            self.protocol = "h2" if chosen == "h2" else "http/1.1"
        if self.protocol == "h2":
            authority = (f"[{self.host}]" if ":" in self.host else self.host) + f":{self.port}"
            conn = ClientConnection.attach(stream, authority, "https" if tls else "http")
            self._h2 = conn
            return conn
        conn = _Connection(transport)
        conn.stream = stream
        conn.codec = H1Codec()
        conn.served = 0
        self._conn = conn
        return conn

    async def _h2_connection(self) -> ClientConnection:
        conn = self._h2
        if conn is None or conn.is_closed():
            if conn is not None:
                await conn.aclose()
            self._h2 = None
            if not isinstance(await self._open(), ClientConnection):
                raise ConnectionClosedError("the server no longer chooses HTTP/2")
            conn = self._h2
        return conn

    async def __aexit__(self, *exc_info) -> None:
        await self.aclose()

    async def _connect(self) -> _Connection:
        conn = await self._open()
        if not isinstance(conn, _Connection):
            raise ConnectionClosedError("the server switched to HTTP/2 between connections")
        return conn

    async def _claim(self) -> _Connection:
        while True:
            conn = self._conn
            if conn is None or conn.is_dead():
                if conn is not None:
                    await self._close(conn)
                conn = await self._connect()
            if conn.try_begin_exchange():
                return conn
            self._idle.clear()
            await self._idle.wait()

    async def request(self, method: str, target: str, *, headers=None,
                      body: bytes | Iterable[bytes] | AsyncIterable[bytes] | None = None,
                      ) -> Response:
        """Sends one request and reads its whole response. A `bytes` body goes out with a
        content-length; any other iterable of chunks goes out chunked (over HTTP/2, a body is
        `bytes`)."""
        if self.protocol is None:  # the first connection over TLS: ALPN decides, once
            if self._opening is None:
                self._opening = asyncio.ensure_future(self._open())
            try:
                async with asyncio.timeout(self.timeout):
                    await asyncio.shield(self._opening)
            finally:
                if self._opening.done() and self.protocol is None:
                    self._opening = None  # failed: the next request tries again
        if self.protocol == "h2":
            async with asyncio.timeout(self.timeout):
                conn = await self._h2_connection()
                head, data, trailers = await conn.request(method, target, headers, body)
                return Response(head.status, head.headers, data, trailers, http_version="2")
        async with asyncio.timeout(self.timeout):
            conn = await self._claim()
            try:
                return await self._exchange(conn, method, target, headers, body)
            except BaseException as exc:
                transport = conn.fail(exc)
                if transport is not None:
                    transport.close()
                if conn.end_exchange():
                    self._idle.set()
                if isinstance(exc, (OSError, EOFError)):
                    raise ConnectionClosedError(f"request failed: {exc!r}") from conn.error
                raise

    async def _exchange(self, conn: _Connection, method, target, headers, body) -> Response:
        codec, stream = conn.codec, conn.stream
        hmap = HeaderMap(headers)
        if "host" not in hmap:
            hmap["host"] = f"{self.host}:{self.port}"
        if body is None or isinstance(body, (bytes, bytearray, memoryview)):
            data = bytes(body) if body is not None else None
            head = codec.serialize_request(
                method, target, hmap,
                content_length=len(data) if data is not None else None)
            conn.exchange_started()
            stream.write(codec.serialize_head_and_body(head, data))
            conn.writer_done()
        else:
            head = codec.serialize_request(method, target, hmap, chunked=True)
            conn.exchange_started()
            stream.write(head)
            if isinstance(body, AsyncIterable):
                async for chunk in body:
                    if chunk:
                        stream.write(codec.serialize_data(chunk))
                        await stream.drain()
            else:
                for chunk in body:
                    if chunk:
                        stream.write(codec.serialize_data(chunk))
                        await stream.drain()
            stream.write(codec.serialize_end())
            conn.writer_done()
        reused = conn.served > 0

        # the first read: the parked watcher's, when one was armed
        done = conn.watcher_done()
        if done is not None:
            await done
            handle = conn.take_watcher_handle()
            if handle is not None:
                await handle
            data, error = conn.take_watcher_result()
            if error is not None:
                raise error
            if data is None:
                raise ConnectionClosedError("the server closed the idle connection")
        else:
            data = await stream.read()
        while True:
            response_head = codec.receive_head(data)
            if response_head is not None:
                break
            if not data:
                raise H1IncompleteMessageError("connection closed before a response head")
            data = await stream.read()

        decoder = H1BodyDecoder(response_head.body_kind, response_head.content_length or 0)
        codec.take_body_into(decoder)
        parts = []
        while True:
            chunk = decoder.decode()
            if chunk is not None:
                parts.append(chunk)
                continue
            if decoder.is_complete:
                break
            data = await stream.read()
            if data:
                decoder.feed(data)
            else:
                decoder.mark_eof()
        trailers = decoder.take_trailers()
        codec.reset()
        conn.served += 1
        # The codec judged the response against the request; bytes past the body are a server
        # answering what was never asked.
        if not codec.response_is_last and decoder.buffered == 0:
            if conn.end_exchange():
                self._idle.set()
            self._arm_watcher(conn)
        else:
            transport = conn.close_now()
            if transport is not None:
                transport.close()
            if conn.end_exchange():
                self._idle.set()
        return Response(response_head.status, response_head.headers, b"".join(parts),
                        trailers, reused)

    # the idle watcher

    def _arm_watcher(self, conn: _Connection) -> None:
        loop = asyncio.get_running_loop()
        done = loop.create_future()
        if not conn.arm_watcher(done):
            return
        task = loop.create_task(self._watch(conn, done))
        refused = conn.store_watcher_handle(task)
        if refused is not None:
            refused.cancel()

    async def _watch(self, conn: _Connection, done: asyncio.Future) -> None:
        try:
            data, error = await conn.stream.read_result()
        except BaseException:
            conn.watcher_aborted()
            done.set_result(None)
            raise
        verdict, transport = conn.watcher_completed(data, error)
        done.set_result(None)
        if verdict == H1_WATCH_IDLE_BYTES:
            transport = conn.fail(
                H1UnexpectedMessageError("received unexpected message from connection"))
        elif verdict == H1_WATCH_IDLE_ERROR:
            transport = conn.fail(error)
        elif verdict != H1_WATCH_IDLE_EOF:
            return
        if transport is not None:
            transport.close()

    # closing

    async def _close(self, conn: _Connection) -> None:
        transport, done, _writer, _idle = conn.mark_closed()
        if transport is not None:
            transport.close()
        if done is not None:
            await done
        handle = conn.take_watcher_handle()
        if handle is not None:
            try:
                await handle
            except asyncio.CancelledError:
                pass
        conn.take_watcher_result()

    async def aclose(self) -> None:
        h2, self._h2 = self._h2, None
        if h2 is not None:
            await h2.aclose()
        conn, self._conn = self._conn, None
        if conn is not None:
            await self._close(conn)
