"""The WebSocket client (RFC 6455): the opening handshake through the HTTP client's connection
opening (TLS, timeouts, errors), then the connection's frames through the native codec
(`WSDecoder` in the client role, masked frames from `ws_frame`).

Over HTTP/1.1 the handshake is an Upgrade answered by a 101, after which the transport's protocol
becomes the `WebSocket` itself. Over HTTP/2 (RFC 8441, `_wsh2client`) it is an extended CONNECT on
a stream of a pooled connection, answered by a 2xx, and a `Tunnel` plays the transport for that
stream. Either way frames are decoded as bytes arrive, pings are answered and close frames handled
in `WebSocket`, and whole messages wait in a queue for `recv()`. Once `max_queue` messages wait,
reading stops until the application takes them (the socket is not read, or the stream's window
is not given back), so a slow consumer holds the server back instead of growing memory.
"""

from __future__ import annotations

import asyncio
import base64
import collections
import os
import time
from typing import Any, cast

from ._exceptions import HTTPError, InvalidURL, LocalProtocolError, RequestError
from ._h1client import _H1Body
from ._models import DEFAULT_LIMITS, DEFAULT_TIMEOUT, Request, Response, Timeout, TimeoutTypes
from ._native import (
    WS_BINARY, WS_CLOSE, WS_DEFAULT_MAX_MESSAGE_SIZE, WS_PING, WS_PONG, WS_TEXT, WebSocketError,
    WebSocketProtocolError, WSDecoder, ws_accept, ws_close_payload, ws_extensions, ws_frame)
from ._wsdeflate import MIN_SIZE, Deflate, InflateError

__all__ = ["WebSocket", "WebSocketClosed", "WebSocketHandshakeError", "WebSocketConnect",
           "connect_ws"]

# Reading stops once this many messages wait for `recv()`, and resumes below half of it.
DEFAULT_MAX_QUEUE = 16
# How long `close()` waits for the server's close frame and the end of the connection.
DEFAULT_CLOSE_TIMEOUT = 10.0
_DEFLATE_OFFER = b"permessage-deflate; client_max_window_bits"


class WebSocketHandshakeError(HTTPError):
    """The server did not accept the WebSocket: `response` is its answer (status, headers, and
    the body, read), `request` the handshake request."""

    def __init__(self, message: str, *, request: Request, response: Response) -> None:
        super().__init__(message)
        self.request = request
        self.response = response

    @property
    def status_code(self) -> int:
        return self.response.status_code


class WebSocketClosed(WebSocketError):
    """The WebSocket is closed: `code` and `reason` are the close frame's (1006: the connection
    ended without one; a code we sent when the server broke the protocol). `args`: (code,
    reason)."""

    def __init__(self, code: int, reason: str = "") -> None:
        super().__init__(code, reason)
        self.code = code
        self.reason = reason

    @property
    def ok(self) -> bool:
        """A normal closure (1000, or 1001 for a peer going away)."""
        return self.code in (1000, 1001)

    def __str__(self) -> str:
        return f"the WebSocket is closed: {self.code}" + (f" {self.reason}" if self.reason
                                                          else "")


def _mask() -> bytes:
    return os.urandom(4)


class WebSocket(asyncio.Protocol):
    """One open WebSocket. Use it as `async with` (it closes with 1000 on exit):

    - `await send(message)`: str goes as a text message, bytes (or bytearray, memoryview) as
      binary;
    - `await recv()`: the next message, str or bytes; `async for message in ws` until a
      normal closure;
    - `await ping(data=None)`: returns once the server's pong came;
    - `await close(code=1000, reason="")`: the closing handshake;
    - `subprotocol`, `response` (the 101), `extensions`, `close_code` and `close_reason`
      (None while open).

    Once closed, `send`, `recv` and `ping` raise WebSocketClosed."""

    def __init__(self, transport: asyncio.Transport, decoder: WSDecoder,
                 deflate: Deflate | None, response: Response, subprotocol: str | None,
                 max_queue: int, close_timeout: float | None,
                 write_timeout: float | None) -> None:
        self.transport = transport
        self.response = response
        self.subprotocol = subprotocol
        self.extensions = _text(response.headers.get("sec-websocket-extensions"))
        self.close_code: int | None = None
        self.close_reason: str | None = None
        self.close_timeout = close_timeout
        self._write_timeout = write_timeout
        self._decoder = decoder
        self._deflate = deflate
        self._loop = asyncio.get_running_loop()
        self._messages: collections.deque = collections.deque()
        self._max_queue = max(1, max_queue)
        self._waiter: asyncio.Future | None = None
        self._pings: dict[bytes, asyncio.Future] = {}
        self._paused = False
        self._write_paused = False
        self._drain: asyncio.Future | None = None
        self._close_sent = False
        self._lost = False
        self._ended = self._loop.create_future()  # the connection is gone
        self._timer: asyncio.TimerHandle | None = None

    # the protocol's callbacks

    def connection_made(self, transport) -> None:
        self.transport = transport

    def data_received(self, data: bytes) -> None:
        if self.close_code is not None and self._decoder.closed or self._lost:
            return
        try:
            events = self._decoder.feed(data)
        except WebSocketProtocolError as exc:
            self._fail(exc.close_code or 1002, str(exc.args[-1]))
            return
        messages = self._messages
        for event in events:
            kind = type(event)
            if kind is str or kind is bytes:
                if self._deflate is not None and len(event) > self._deflate.max_size:
                    self._fail(1009, "message too big")  # the decoder allowed deflate's slack
                    return
                messages.append(event)
                continue
            opcode, payload, code = cast("tuple[int, Any, int]", event)
            if opcode == WS_PING:
                if not self._close_sent:
                    self.transport.write(ws_frame(WS_PONG, payload, mask=_mask()))
            elif opcode == WS_PONG:
                self._pong(payload)
            elif opcode == WS_CLOSE:
                self._close_received(code, payload)
                break
            elif self._deflate is not None:  # a compressed message
                try:
                    messages.append(self._deflate.inflate(payload, opcode == WS_TEXT))
                except InflateError as exc:
                    self._fail(*exc.args)
                    return
        if messages:
            self._wake()
            if len(messages) >= self._max_queue and not self._paused and not self._lost:
                self._paused = True
                self.transport.pause_reading()

    def eof_received(self) -> bool:
        return False  # the server ended the connection: close ours

    def connection_lost(self, exc: BaseException | None) -> None:
        self._lost = True
        if self.close_code is None:
            self.close_code, self.close_reason = 1006, ""
        if self._timer is not None:
            self._timer.cancel()
        self._wake()
        closed = WebSocketClosed(self.close_code, self.close_reason or "")
        for future in self._pings.values():
            if not future.done():
                future.set_exception(closed)
        self._pings.clear()
        drain = self._drain
        if drain is not None and not drain.done():
            drain.set_result(None)
        if not self._ended.done():
            self._ended.set_result(None)

    def pause_writing(self) -> None:
        self._write_paused = True

    def resume_writing(self) -> None:
        self._write_paused = False
        drain = self._drain
        if drain is not None and not drain.done():
            drain.set_result(None)

    # what the server sent

    def _wake(self) -> None:
        waiter = self._waiter
        if waiter is not None and not waiter.done():
            waiter.set_result(None)

    def _pong(self, payload: bytes) -> None:
        """A pong answers its ping and every ping sent before it."""
        pings = self._pings
        if payload not in pings:
            return
        for data in list(pings):
            future = pings.pop(data)
            if not future.done():
                future.set_result(None)
            if data == payload:
                break

    def _close_received(self, code: int, reason: str) -> None:
        if self.close_code is None:
            self.close_code, self.close_reason = code, reason
        if not self._close_sent:
            self._close_sent = True
            self.transport.write(ws_frame(
                WS_CLOSE, b"" if code == 1005 else ws_close_payload(code), mask=_mask()))
        self._wake()
        if getattr(self.transport, "half_close", False):
            # an HTTP/2 stream: each side ends its own half once the close frames have crossed
            self.transport.close()
        else:
            # the server ends the TCP connection first; if it does not, we do
            self._end_later(self.close_timeout)

    def _fail(self, code: int, reason: str) -> None:
        """The server broke the protocol: our close frame with `code`, then the end."""
        if self.close_code is None:
            self.close_code, self.close_reason = code, reason
        if not self._close_sent and not self._lost:
            self._close_sent = True
            self.transport.write(ws_frame(WS_CLOSE, ws_close_payload(code, reason[:100]),
                                          mask=_mask()))
        self._wake()
        if not self._lost:
            self.transport.close()

    def _end_later(self, delay: float | None) -> None:
        if self._timer is None and not self._lost:
            if delay is None:
                return
            self._timer = self._loop.call_later(delay, self.transport.close)

    # the application's side

    @property
    def closed(self) -> bool:
        """The connection has ended."""
        return self._lost

    def _closed_error(self) -> WebSocketClosed:
        return WebSocketClosed(self.close_code if self.close_code is not None else 1006,
                               self.close_reason or "")

    async def recv(self) -> str | bytes:
        """The next message; WebSocketClosed once none is left and the WebSocket has closed."""
        messages = self._messages
        while True:
            if messages:
                message = messages.popleft()
                if self._paused and len(messages) <= self._max_queue // 2 and not self._lost:
                    self._paused = False
                    self.transport.resume_reading()
                return message
            if self.close_code is not None or self._lost:
                raise self._closed_error()
            if self._waiter is not None:
                raise RuntimeError("recv() is already waiting for a message of this WebSocket")
            waiter = self._waiter = self._loop.create_future()
            try:
                await waiter
            finally:
                self._waiter = None

    def __aiter__(self) -> WebSocket:
        return self

    async def __anext__(self) -> str | bytes:
        try:
            return await self.recv()
        except WebSocketClosed as exc:
            if exc.ok:
                raise StopAsyncIteration from None
            raise

    async def send(self, message: str | bytes | bytearray | memoryview) -> None:
        """Sends one message (str: text, bytes-like: binary). Waits while the write buffer is
        full (WebSocketClosed if the connection ends meanwhile)."""
        if self._close_sent or self._lost:
            raise self._closed_error()
        data: str | bytes
        if isinstance(message, str):
            opcode, data = WS_TEXT, message
        elif isinstance(message, (bytes, bytearray, memoryview)):
            opcode, data = WS_BINARY, bytes(message)
        else:
            raise TypeError(f"a WebSocket message is str or bytes, not {type(message).__name__}")
        deflate = self._deflate
        if deflate is not None and len(data) >= MIN_SIZE:
            raw = data.encode() if isinstance(data, str) else data
            frame = ws_frame(opcode, deflate.deflate(raw), rsv1=True, mask=_mask())
        else:
            frame = ws_frame(opcode, data, mask=_mask())
        self.transport.write(frame)
        if self._write_paused:
            await self._wait_drain()

    async def _wait_drain(self) -> None:
        while self._write_paused and not self._lost:
            drain = self._drain = self._loop.create_future()
            try:
                async with asyncio.timeout(self._write_timeout):
                    await drain
            except TimeoutError:
                self._fail(1011, "the server took none of our data in time")
                raise self._closed_error() from None
        if self._lost:
            raise self._closed_error()

    async def ping(self, data: bytes | None = None) -> None:
        """Sends a ping and returns when its pong came (`data`: its payload, at most 125
        octets; four random octets by default)."""
        if self._close_sent or self._lost:
            raise self._closed_error()
        payload = os.urandom(4) if data is None else bytes(data)
        if payload in self._pings:
            raise ValueError("a ping with this payload is already waiting for its pong")
        frame = ws_frame(WS_PING, payload, mask=_mask())  # ValueError past 125 octets
        future = self._pings[payload] = self._loop.create_future()
        self.transport.write(frame)
        await future

    async def close(self, code: int = 1000, reason: str = "") -> None:
        """The closing handshake: our close frame, then waiting (up to `close_timeout`) for the
        server's and for the end of the connection. Messages that arrive meanwhile are
        dropped."""
        if not self._close_sent and not self._lost:
            payload = ws_close_payload(code, reason)  # ValueError for a code never sent
            self._close_sent = True
            self.transport.write(ws_frame(WS_CLOSE, payload, mask=_mask()))
        if self._paused and not self._lost:
            self._paused = False
            self._max_queue = 1 << 62
            self.transport.resume_reading()
        if not self._lost:
            try:
                async with asyncio.timeout(self.close_timeout):
                    await asyncio.shield(self._ended)
            except TimeoutError:
                self.transport.abort()
                await self._ended
        self._messages.clear()

    async def __aenter__(self) -> WebSocket:
        return self

    async def __aexit__(self, exc_type, exc, tb) -> None:
        await self.close(1000 if exc_type is None else 1011)


def _text(value) -> str | None:
    return value.decode("latin-1") if isinstance(value, bytes) else value


def _header_tokens(value) -> list[str]:
    return [token.strip().lower() for token in (_text(value) or "").split(",")]


def _client_deflate(response_headers, max_size: int) -> Deflate | None:
    """The permessage-deflate the server agreed to, or None; ValueError for an answer we did
    not offer."""
    agreed = ws_extensions(response_headers)
    if not agreed:
        return None
    if len(agreed) > 1 or agreed[0][0].lower() != "permessage-deflate":
        raise ValueError(f"the server chose extensions that were not offered: {agreed}")
    params = dict(agreed[0][1])
    if len(params) != len(agreed[0][1]):
        raise ValueError("permessage-deflate parameters repeated")
    bits = params.get("client_max_window_bits")
    our_bits = 15
    if bits is not None:
        if not bits.isdigit() or not 9 <= int(bits) <= 15:  # zlib cannot deflate within 8
            raise ValueError(f"client_max_window_bits={bits} cannot be used")
        our_bits = int(bits)
    server_bits = params.get("server_max_window_bits")
    if server_bits is not None and (not server_bits.isdigit() or not 8 <= int(server_bits) <= 15):
        raise ValueError(f"server_max_window_bits={server_bits} is not a window")
    known = {"client_max_window_bits", "server_max_window_bits", "client_no_context_takeover",
             "server_no_context_takeover"}
    if set(params) - known:
        raise ValueError(f"unknown permessage-deflate parameters: {sorted(set(params) - known)}")
    return Deflate.for_client(our_bits, "client_no_context_takeover" in params,
                              "server_no_context_takeover" in params, max_size)


def _offer(request: Request, subprotocols, compression: str | None) -> list[str]:
    """Sets the handshake fields both protocols send; returns the subprotocols offered."""
    fields = request.headers
    fields["sec-websocket-version"] = "13"
    offered = list(subprotocols or ())
    if offered:
        fields["sec-websocket-protocol"] = ", ".join(offered)
    if compression == "deflate":
        fields["sec-websocket-extensions"] = _DEFLATE_OFFER
    elif compression is not None:
        raise ValueError(f"compression is 'deflate' or None, not {compression!r}")
    return offered


class _Handshake:
    """What the answer to a handshake is checked against, and the session it starts: the same
    over HTTP/1.1 (`open_websocket`) and over HTTP/2 (`_wsh2client.open_h2`)."""

    def __init__(self, request: Request, offered: list[str], compression: str | None,
                 max_size: int, max_queue: int, timeout: Timeout,
                 close_timeout: float | None) -> None:
        self.request = request
        self.offered = offered
        self.compression = compression
        self.max_size = max_size
        self.max_queue = max_queue
        self.timeout = timeout
        self.close_timeout = close_timeout

    def refused(self, response: Response) -> WebSocketHandshakeError:
        return WebSocketHandshakeError(
            f"the server refused the WebSocket with {response.status_code}",
            request=self.request, response=response)

    def __call__(self, response: Response, transport) -> WebSocket:
        """The session over `transport` once `response` accepted it (None: it refused).
        WebSocketHandshakeError for an answer that breaks the handshake."""
        if transport is None:
            raise self.refused(response)
        headers = response.headers
        try:
            chosen = _text(headers.get("sec-websocket-protocol"))
            if chosen is not None and chosen not in self.offered:
                raise ValueError(
                    f"the server chose a subprotocol that was not offered: {chosen!r}")
            max_size = self.max_size
            deflate = _client_deflate(headers, max_size) if self.compression else None
            if deflate is None and headers.get("sec-websocket-extensions"):
                raise ValueError("the server chose extensions that were not offered")
        except ValueError as exc:
            transport.abort()
            raise WebSocketHandshakeError(f"invalid handshake answer: {exc}",
                                          request=self.request, response=response) from None
        # a compressed message may be a little longer on the wire than the limit it inflates to
        decoder = WSDecoder("client",
                            max_size + max_size // 16 if deflate is not None else max_size,
                            allow_rsv1=deflate is not None)
        ws = WebSocket(transport, decoder, deflate, response, chosen, self.max_queue,
                       self.close_timeout, self.timeout.write)
        transport.set_protocol(ws)
        return ws


async def open_websocket(pool, conn, handshake: _Handshake) -> WebSocket:
    """Runs the opening handshake over HTTP/1.1 on `conn`, a connection of `pool` whose
    exchange has begun, and returns the open WebSocket; the connection leaves the pool."""
    started = time.perf_counter()
    request, timeout = handshake.request, handshake.timeout
    fields = request.headers
    key = base64.b64encode(os.urandom(16))
    fields["upgrade"] = "websocket"
    fields["connection"] = "Upgrade"
    fields["sec-websocket-key"] = key
    codec, stream = conn.codec, conn.stream
    try:
        try:
            head = codec.serialize_request("GET", request.url.target, fields,
                                           content_length=None)
        except (ValueError, TypeError) as exc:
            raise LocalProtocolError(f"the request cannot be sent: {exc}",
                                     request=request) from exc
        conn.exchange_started()
        stream.write(head)
        conn.writer_done()
        answer = await conn._read_head(request, timeout.read)
    except BaseException as exc:
        error = conn._abandon(exc, request)
        if error is exc:
            raise
        raise error from exc
    if answer.status != 101:
        from _quillet import H1BodyDecoder
        body = H1BodyDecoder(answer.body_kind, answer.content_length or 0)
        codec.take_body_into(body)
        response = Response(answer.status, headers=answer.headers, request=request,
                            body=_H1Body(conn, body, request, timeout.read),
                            started=started)
        try:
            await response.aread()
        finally:
            await response.aclose()
        raise handshake.refused(response)
    headers = answer.headers
    response = Response(101, headers=headers, request=request, content=b"", started=started)
    rest = codec.take_body() + stream.take_buffered()
    transport = conn.upgrade()
    conn.end_exchange()
    pool.connection_lost(conn)
    error = None
    if _header_tokens(headers.get("upgrade")) != ["websocket"] or \
            "upgrade" not in _header_tokens(headers.get("connection")):
        error = "the 101 answer does not switch to websocket"
    elif headers.get("sec-websocket-accept", b"") != ws_accept(key):
        error = "Sec-WebSocket-Accept does not match our key"
    if error is not None:
        if transport is not None:
            transport.close()
        raise WebSocketHandshakeError(f"invalid handshake answer: {error}", request=request,
                                      response=response)
    if transport is None:
        raise WebSocketClosed(1006, "the connection ended during the handshake")
    ws = handshake(response, transport)
    if stream._paused:
        transport.resume_reading()
    if rest:
        ws.data_received(rest)
    if stream.lost:
        ws.connection_lost(stream._error)
    elif stream._eof:
        transport.close()
    return ws


def ws_to_http(url: str) -> str:
    scheme, sep, rest = str(url).partition("://")
    scheme = scheme.lower()
    if not sep or scheme not in ("ws", "wss", "http", "https"):
        raise InvalidURL(f"a WebSocket URL is ws:// or wss://: {url!r}")
    return {"ws": "http", "wss": "https"}.get(scheme, scheme) + "://" + rest


class WebSocketConnect:
    """What `connect_ws()` and `AsyncClient.websocket()` return: awaiting it gives the open
    WebSocket; `async with` also closes it at the end."""

    __slots__ = ("_opener", "_ws")

    def __init__(self, opener) -> None:
        self._opener = opener
        self._ws: WebSocket | None = None

    def __await__(self):
        return self._opener().__await__()

    async def __aenter__(self) -> WebSocket:
        self._ws = await self._opener()
        return self._ws

    async def __aexit__(self, exc_type, exc, tb) -> None:
        if self._ws is not None:
            await self._ws.__aexit__(exc_type, exc, tb)


def connect_ws(url: str, *, subprotocols: list[str] | tuple[str, ...] | None = None,
               headers: Any = None, compression: str | None = "deflate",
               max_size: int = WS_DEFAULT_MAX_MESSAGE_SIZE,
               max_queue: int = DEFAULT_MAX_QUEUE, timeout: TimeoutTypes = DEFAULT_TIMEOUT,
               close_timeout: float | None = DEFAULT_CLOSE_TIMEOUT,
               verify: Any = True, http2: bool | None = None, proxy: Any = None,
               trust_env: bool = True) -> WebSocketConnect:
    """Opens a WebSocket to a ws:// or wss:// URL:

        async with quillet.connect_ws("wss://example.com/chat", subprotocols=["chat"]) as ws:
            await ws.send("hello")
            reply = await ws.recv()

    `headers` go with the handshake; `compression` "deflate" offers permessage-deflate (None
    does not); `max_size` bounds a message (1009 past it, after inflation too); `max_queue`
    messages wait for `recv()` before reading stops; `timeout` is the HTTP client's (connect,
    and read and write for the handshake; write also while sending); `verify` and `http2` as
    for `AsyncClient` (by default wss:// offers HTTP/2 by ALPN, and the WebSocket is a stream
    of it when the server takes extended CONNECT; HTTP/1.1 otherwise); `proxy` and
    `trust_env` as for `AsyncClient` too (an HTTP proxy is asked for a CONNECT tunnel). Raises
    WebSocketHandshakeError when the server refuses, and the HTTP client's TransportError
    subclasses when the connection fails."""
    from ._client import AsyncClient
    client = AsyncClient(timeout=timeout, verify=verify, http2=http2, proxy=proxy,
                         trust_env=trust_env)
    opener = websocket_opener(client, url, subprotocols=subprotocols, headers=headers,
                              compression=compression, max_size=max_size, max_queue=max_queue,
                              timeout=client.timeout, close_timeout=close_timeout)

    async def open_and_own() -> WebSocket:
        # The client is this WebSocket's alone: it closes when the WebSocket ends.
        try:
            ws = await opener()
        except BaseException:
            await client.aclose()
            raise
        ws._ended.add_done_callback(lambda _: _close_soon(client))
        return ws
    return WebSocketConnect(open_and_own)


_closing: set[asyncio.Task] = set()


def _close_soon(client) -> None:
    task = asyncio.get_running_loop().create_task(client.aclose())
    _closing.add(task)
    task.add_done_callback(_closing.discard)


def _may_speak_h2(pool, url) -> bool:
    """Whether the client's pool may carry the WebSocket to `url` over HTTP/2: a direct
    connection that may turn out HTTP/2 (TLS offering h2, or prior knowledge), to an origin not
    known to speak HTTP/1.1 only."""
    if pool.http2 is False or (url.scheme != "https" and pool.http2 is not True):
        return False
    if pool.proxies is not None and pool.proxies.route(url) is not None:
        return False
    return pool.protocol_of(url) != "h1"


def websocket_opener(client, url, *, subprotocols, headers, compression, max_size, max_queue,
                     timeout: Timeout, close_timeout):
    """The coroutine function that opens one WebSocket for `AsyncClient.websocket`.

    Where the connection may be HTTP/2, the client's own pool is asked for one: on an HTTP/2
    connection whose server takes extended CONNECT, the WebSocket is one of its streams (RFC
    8441), and its requests keep flowing beside it; a fresh HTTP/1.1 connection (ALPN chose it)
    carries the HTTP/1.1 handshake and leaves the pool. Otherwise, and when the HTTP/2 server
    does not take extended CONNECT, the handshake runs over HTTP/1.1 on a connection of a pool
    of its own (TLS offering http/1.1 only), which the connection leaves once upgraded. That
    pool takes the client's proxies, with an HTTP proxy asked for a CONNECT tunnel for ws://
    too (a forward proxy would have to carry the upgraded connection, which few do); a
    proxied WebSocket is always HTTP/1.1."""
    from ._cookies import add_cookies
    from ._pool import ConnectionPool
    from ._wsh2client import open_h2

    async def opener() -> WebSocket:
        request = client.build_request("GET", ws_to_http(url), headers=headers)
        if client._jar is not None:
            add_cookies(client._jar, request)
        handshake = _Handshake(request, _offer(request, subprotocols, compression),
                               compression, max_size, max_queue, timeout, close_timeout)
        own = client._pool
        try:
            if _may_speak_h2(own, request.url):
                conn = await own.acquire(request, timeout)
                if conn.http2:
                    ws = await open_h2(conn, request, timeout, handshake)
                    if ws is not None:
                        return ws
                elif conn.served == 0:
                    return await open_websocket(own, conn, handshake)
                else:  # an idle keep-alive connection may be gone already: not for a handshake
                    conn.end_exchange()
                    own.release(conn)
            proxies = None if own.proxies is None else own.proxies.tunnelling()
            pool = ConnectionPool(limits=DEFAULT_LIMITS, verify=own.verify, cert=own.cert,
                                  http2=False, proxies=proxies, user_agent=own.user_agent)
            conn = await pool.acquire(request, timeout, True)
            return await open_websocket(pool, conn, handshake)
        except RequestError as exc:
            if exc.request is None:
                exc.request = request
            raise
    return opener
