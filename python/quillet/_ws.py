"""The WebSocket session of the ASGI server, whatever carries it: the `websocket` scope and its
messages, the frames both ways, the closing handshake, keep-alive pings and back-pressure.

A protocol adapter carries one session: `_wsh1` a connection detached from HTTP/1.1 after its
101, `_wsh2` an HTTP/2 stream opened by an extended CONNECT (RFC 8441). The adapter checks the
handshake, builds the request's `http` scope and hands it to `WebSocket`, which runs the
application through `_asgi.run_app` like any request. What differs between the two is the
adapter's (see `Carrier`): how the handshake is answered, how octets come in and go out, and
what ends the connection (closing the TCP connection, or END_STREAM / RST_STREAM).

Input: the adapter hands each read to `_received`, which decodes it at once with the native
decoder; each message is one ASGI message in a queue. Once `max_queue` messages wait, the adapter
is asked for nothing more until the application has made room, so the bytes stay with the
transport (the HTTP/1 stream stops reading from the socket; an HTTP/2 stream's window is not
credited). Pings are answered as they are decoded, a Close is echoed, and the connection ends.

Output: each `websocket.send` is one frame handed to the adapter at once; while the adapter holds
more than its mark the application waits for it to drain (and the connection is dropped when the
client takes nothing for `write_timeout` seconds).
"""

from __future__ import annotations

import asyncio
import collections
import logging
import os
from collections.abc import Awaitable

from ._asgi import ClientDisconnected, run_app, unavailable
from ._native import (
    WS_BINARY, WS_CLOSE, WS_PING, WS_PONG, WS_TEXT, Waiter, WebSocketProtocolError, WSDecoder,
    ready, ws_close_payload, ws_frame, ws_frame_head, ws_subprotocols)
from ._wsdeflate import MIN_SIZE, Deflate, InflateError

log = logging.getLogger("quillet.server")

ASGI_WS = {"version": "3.0", "spec_version": "2.4"}
# After our Close, how long the client has to answer with its own before the connection is
# dropped.
CLOSE_TIMEOUT = 5.0
# From this size on, a binary message goes out as the frame's header and the application's own
# bytes (`Carrier.write_parts`) instead of being copied into one frame.
_SEPARATE_PAYLOAD = 2048
_DONE = ready()

_CONNECT = {"type": "websocket.connect"}
_SCHEMES = {"http": "ws", "https": "wss"}

# The stages of a connection.
_CONNECTING = 0  # the handshake waits for the application's answer
_OPEN = 1
_CLOSING = 2     # our Close is out: the client's is awaited
_CLOSED = 3      # the closing handshake is over, or the connection is gone
_RESPONDING = 4  # the application refuses with a response of its own, still going out


def with_defaults(server, headers) -> list:
    """`headers` and the server's default fields that they do not set."""
    headers = list(headers)
    names = {name.lower() for name, _ in headers}
    return headers + [(n, v) for n, v in server.default_headers if n not in names]


def app_headers(headers) -> list:
    """The application's headers of a refusal, less the framing ones, which are the server's."""
    return [(name, value) for name, value in headers
            if name.lower() not in (b"content-length", b"transfer-encoding", b"connection")]


class Carrier:
    """What a session needs from the protocol that carries it (one subclass per protocol).

    - `write(data)`: queues octets for the client, at once; `write_parts(head, payload)` the
      same for two pieces, which a carrier may hand to the socket as they are; `paused`: more is
      queued than the mark, and `drain()` waits until it is not (False once the client is gone
      or took nothing for `write_timeout` seconds; the connection is then aborted).
    - `read()`: the next octets (b"" when there is nothing yet but the caller should look again),
      or None once no more will come.
    - `reading_held`: the client's octets are not being read now (its pong could not arrive).
    - `accept(subprotocol, extension, extra)`: answers the handshake with success.
    - `response(status, headers, body, more)` and `response_body(body, more)`: a refusal, whole
      or in pieces, that ends the connection once complete.
    - `close()`: ends the connection in order once what was written has gone out;
      `abort()`: ends it at once. `finished()`: after the session, what to await (or None).
    """

    paused = False
    reading_held = False
    status_ok = 101  # the status that accepts the handshake, for the access log

    def write_parts(self, head: bytes, payload: bytes) -> None:
        self.write(head + payload)


class WebSocket:
    """One WebSocket session and the application that serves it. It is also the `Exchange`
    that `_asgi.run_app` drives: `receive`, `send`, `settle`, `status` and `sent`."""

    Disconnected = ClientDisconnected

    def __init__(self, server, carrier: Carrier, scope: dict, target: str) -> None:
        self.server = server
        self.carrier = carrier
        self.loop = server.loop
        self.target = target
        self.stage = _CONNECTING
        self.status = 0  # for the access log: the accept's status, or the refusal's
        self.sent = 0    # octets of the frames and of the refusal's body sent
        headers = scope["headers"]
        del scope["method"]
        scope["type"] = "websocket"
        scope["asgi"] = ASGI_WS
        scope["scheme"] = _SCHEMES[scope["scheme"]]
        scope["subprotocols"] = ws_subprotocols(headers)
        scope.setdefault("extensions", {})["websocket.http.response"] = {}
        self.scope = scope
        max_size = server.ws_max_size
        # permessage-deflate, when the client offers it and the server may
        self.deflate = (Deflate.negotiate(headers, max_size)
                        if server.ws_per_message_deflate else None)
        self.max_size = max_size
        if self.deflate is not None:
            # A compressed message may be a little longer than what it holds (deflate's stored
            # blocks cost 5 octets each), so the decoder lets a message through up to 1/16 more;
            # the inflated size is held to the limit, and so is an uncompressed binary message
            # (a text one, by its characters) as it is delivered.
            max_size += (max_size >> 4) + 1024
        self.decoder = WSDecoder("server", max_size, self.deflate is not None)
        self.max_queue = max(1, server.ws_max_queue)
        self.queue: collections.deque = collections.deque()
        self.disconnect: dict | None = None  # the last message, once the connection is gone
        self.connected = False               # websocket.connect was handed over
        self.input_over = False               # nothing more will be read
        self.stopping = False                 # the server shuts down
        self._receiver: asyncio.Future | None = None  # the application waits for a message
        self._room: asyncio.Future | None = None      # the reader waits for room in the queue
        self._accepted: asyncio.Future | None = None  # receive() before the handshake's answer
        self._reader: asyncio.Task | None = None
        self._keepalive: asyncio.Task | None = None
        self._closed = self.loop.create_future()      # the closing handshake is over
        self._ping: bytes | None = None               # the payload of our unanswered ping
        self._pong: asyncio.Future | None = None
        self._close_timer: asyncio.TimerHandle | None = None  # our Close waits for the client's
        self.last_input = self.loop.time()
        self._leftover: bytes | None = None  # what came after the handshake, for the decoder
        self._responded = False  # the head of the application's own refusal went out
        self._head: list = []

    # the connection's life

    async def run(self, leftover: bytes | None = None) -> None:
        server, scope = self.server, self.scope
        self._leftover = leftover
        app = server.admit(scope)
        scope["scheme"] = _SCHEMES.get(scope["scheme"], scope["scheme"])  # forwarded as http(s)
        if app is unavailable:
            app = _unavailable
        try:
            await run_app(server, app, scope, self, self.target)
        finally:
            self._finish()
            reader = self._reader
            if reader is not None and not reader.done():
                try:
                    await reader
                except asyncio.CancelledError:
                    pass
            wait = self.carrier.finished()
            if wait is not None:
                await wait

    def _finish(self) -> None:
        """The application is done and so is the closing handshake, or it is given up."""
        if self._keepalive is not None:
            self._keepalive.cancel()
        if self._close_timer is not None:
            self._close_timer.cancel()
        self.stage = _CLOSED
        self.carrier.close()
        self._gone(1006, "")

    def shutdown(self) -> None:
        """The server stops: an open connection is closed with 1001 (going away), and one
        accepted from now on is closed so at once."""
        self.stopping = True
        if self.stage == _OPEN:
            self._send_close(1001, "server shutting down")

    def cancelled(self) -> None:
        self.carrier.abort()

    # receive

    async def receive(self) -> dict:
        if not self.connected:
            self.connected = True
            return _CONNECT
        while self.stage == _CONNECTING:
            if self._accepted is None:
                self._accepted = self.loop.create_future()
            await self._accepted
        queue = self.queue
        while True:
            if queue:
                message = queue.popleft()
                room = self._room
                if room is not None and len(queue) < self.max_queue:
                    self._room = None
                    if not room.done():
                        room.set_result(None)
                return message
            if self.disconnect is not None:
                return self.disconnect
            # woken by `_received` once a read's messages are queued: from the stream's
            # callback, the application then runs its step at once (`Waiter`)
            waiter = self._receiver = Waiter(self.loop)
            try:
                await waiter
            finally:
                self._receiver = None

    def _gone(self, code: int, reason: str) -> None:
        """The connection is over for the application: it hears `code` once it has read what
        came before."""
        if self.disconnect is None:
            self.disconnect = {"type": "websocket.disconnect", "code": code, "reason": reason}
            waiter = self._receiver
            if waiter is not None and not waiter.done():
                waiter.set_result_soon(None)
        if not self._closed.done():
            self._closed.set_result(None)
        for fut in (self._room, self._accepted, self._pong):
            if fut is not None and not fut.done():
                fut.set_result(None)

    # input

    @property
    def queue_full(self) -> bool:
        return len(self.queue) >= self.max_queue

    async def _read(self) -> None:
        """Takes the client's octets from the carrier while the queue has room. Ends with the
        input."""
        carrier = self.carrier
        try:
            while self.stage in (_OPEN, _CLOSING) and not self.input_over:
                if len(self.queue) >= self.max_queue and self.disconnect is None:
                    room = self._room = self.loop.create_future()
                    await room
                    continue
                data = await carrier.read()
                if data is None:
                    break
                if data:
                    self._received(data)
        finally:
            self.input_over = True
            if self.disconnect is None:
                log.debug("websocket: the client left without a Close")
                self._gone(1006, "")
            carrier.close()

    def _received(self, data: bytes) -> None:
        """Decodes a read; the application, if it waits, hears of the messages once all of them
        are queued."""
        queued = len(self.queue)
        self._decode(data)
        waiter = self._receiver
        if len(self.queue) > queued and waiter is not None and not waiter.done():
            waiter.set_result(None)

    def _decode(self, data: bytes) -> None:
        self.last_input = self.loop.time()
        try:
            events = self.decoder.feed(data)
        except WebSocketProtocolError as exc:
            self._fail(exc.close_code, exc.args[1])
            return
        deliver = self.queue.append
        open_ = self.stage == _OPEN
        exact = self.max_size if self.deflate is not None else None
        for event in events:
            kind = type(event)
            if kind is str or kind is bytes:
                if exact is not None and len(event) > exact:
                    self._fail(1009, "message too big")
                    return
                if open_:
                    deliver({"type": "websocket.receive",
                             "text" if kind is str else "bytes": event})
            else:
                opcode, payload, code = event
                if opcode == WS_PING:
                    if open_:
                        self.carrier.write(ws_frame(WS_PONG, payload))
                elif opcode == WS_PONG:
                    if payload == self._ping and self._pong is not None:
                        self._ping = None
                        if not self._pong.done():
                            self._pong.set_result(True)
                elif opcode == WS_CLOSE:
                    self._peer_closed(code, payload)
                    return
                elif opcode in (WS_TEXT, WS_BINARY):  # compressed: RSV1 was negotiated
                    try:
                        message = self.deflate.inflate(payload, opcode == WS_TEXT)
                    except InflateError as exc:
                        self._fail(*exc.args)
                        return
                    if open_:
                        key = "text" if opcode == WS_TEXT else "bytes"
                        deliver({"type": "websocket.receive", key: message})
        if self.decoder.failed:
            try:
                self.decoder.feed(b"")
            except WebSocketProtocolError as exc:
                self._fail(exc.close_code, exc.args[1])

    def _peer_closed(self, code: int, reason: str) -> None:
        """The client's Close: echoed unless it answers ours, then the connection ends (the
        server ends it first)."""
        if self.stage == _OPEN:
            self.carrier.write(ws_frame(WS_CLOSE, b"" if code == 1005 else ws_close_payload(code)))
        self.stage = _CLOSED
        self.input_over = True
        self.carrier.close()
        self._gone(code, reason)

    def _fail(self, code: int, message: str) -> None:
        """The client broke a rule: our Close with its code, and the connection ends."""
        log.debug("websocket: failing the connection with %d: %s", code, message)
        if self.stage == _OPEN:
            self.carrier.write(ws_frame(WS_CLOSE, ws_close_payload(code, message)))
        self.stage = _CLOSED
        self.input_over = True
        self.carrier.close()
        self._gone(code, message)

    # send

    def send(self, message: dict) -> Awaitable[None]:
        """A data message is framed and written at once; what it returns is done then
        (`ready`) unless the write buffer is full. Anything else goes to `_send`."""
        if message["type"] != "websocket.send" or self.stage != _OPEN:
            return self._send(message)
        data = message.get("text")
        opcode = WS_TEXT
        if data is None:
            data = message.get("bytes")
            opcode = WS_BINARY
            if data is None:
                raise ValueError("websocket.send needs text or bytes")
        deflate = self.deflate
        carrier = self.carrier
        if deflate is not None and len(data) >= MIN_SIZE:
            if opcode == WS_TEXT:
                data = data.encode()
            frame = ws_frame(opcode, deflate.deflate(data), rsv1=True)
        elif type(data) is bytes and len(data) >= _SEPARATE_PAYLOAD:
            head = ws_frame_head(WS_BINARY, len(data))
            self.sent += len(head) + len(data)
            carrier.write_parts(head, data)
            frame = None
        else:
            frame = ws_frame(opcode, data)
        if frame is not None:
            self.sent += len(frame)
            carrier.write(frame)
        return self._drain() if carrier.paused else _DONE

    async def _send(self, message: dict) -> None:
        kind = message["type"]
        stage = self.stage
        if kind == "websocket.send":
            if stage == _CONNECTING:
                raise RuntimeError("websocket.send before websocket.accept")
            raise ClientDisconnected("the WebSocket is closed")
        elif kind == "websocket.accept":
            if stage != _CONNECTING:
                raise RuntimeError("websocket.accept after the handshake was answered")
            self._accept(message.get("subprotocol"), message.get("headers") or ())
        elif kind == "websocket.close":
            if stage == _CONNECTING:
                self._refuse(403, [], b"")
            elif stage == _OPEN:
                self._send_close(message.get("code", 1000) or 1000, message.get("reason") or "")
            # closing already, or closed: nothing more to say
        elif kind == "websocket.http.response.start":
            if stage != _CONNECTING:
                raise RuntimeError(f"{kind} after the handshake was answered")
            self.stage = _RESPONDING
            self.status = message["status"]
            self._head = app_headers(message.get("headers") or ())
            self._responded = False
        elif kind == "websocket.http.response.body":
            if stage != _RESPONDING:
                raise RuntimeError(f"{kind} without websocket.http.response.start")
            await self._respond(message.get("body", b""), message.get("more_body", False))
        else:
            raise ValueError(f"unexpected ASGI message {kind!r}")

    async def _drain(self) -> None:
        if not await self.carrier.drain():  # the connection was aborted
            self.stage = _CLOSED
            self._gone(1006, "")
            raise ClientDisconnected("the client takes nothing we send")

    def _accept(self, subprotocol: str | None, extra) -> None:
        deflate = self.deflate
        carrier = self.carrier
        carrier.accept(subprotocol, deflate.response if deflate is not None else None, extra)
        self.stage = _OPEN
        self.status = carrier.status_ok
        accepted = self._accepted
        if accepted is not None and not accepted.done():
            accepted.set_result(None)
        if self.stopping:
            self._send_close(1001, "server shutting down")
        leftover, self._leftover = self._leftover, None
        if leftover:
            self._received(leftover)
        loop = self.loop
        self._reader = loop.create_task(self._read())
        server = self.server
        if server.ws_ping_interval and server.ws_ping_interval > 0:
            self._keepalive = loop.create_task(self._ping_loop(server.ws_ping_interval,
                                                               server.ws_ping_timeout))

    def _refuse(self, status: int, headers, body: bytes) -> None:
        """Refuses the handshake with a whole response of the server's own."""
        self.status = status
        self.carrier.response(status, headers, body, False)
        self._end_response()

    async def _respond(self, body: bytes, more: bool) -> None:
        """A piece of the application's own refusal."""
        carrier = self.carrier
        if not self._responded:
            self._responded = True
            carrier.response(self.status, self._head, body, more)
        else:
            carrier.response_body(body, more)
        self.sent += len(body)
        if not more:
            self._end_response()
        elif carrier.paused:
            await self._drain()

    def _end_response(self) -> None:
        self.stage = _CLOSED
        self.carrier.close()
        self._gone(1000, "")

    def _send_close(self, code: int, reason: str) -> None:
        self.carrier.write(ws_frame(WS_CLOSE, ws_close_payload(code, reason)))
        self.stage = _CLOSING
        # the application reads no more messages; a client that keeps sending is not heard
        self.queue.clear()
        self._close_timer = self.loop.call_later(CLOSE_TIMEOUT, self._close_timed_out)

    def _close_timed_out(self) -> None:
        """The client did not answer our Close in time: the connection is dropped."""
        if self.stage == _CLOSING:
            log.debug("websocket: no Close from the client within %ss", CLOSE_TIMEOUT)
            self.stage = _CLOSED
            self.carrier.abort()
            self._gone(1006, "")

    # the end

    def settle(self, raised: bool):
        """After the application returned or raised: a handshake it left unanswered is refused
        (403, or 500 when it raised), an open connection is closed (1000, or 1011 when it
        raised), and the closing handshake is waited for."""
        stage = self.stage
        if stage == _CONNECTING:
            if raised:
                self._refuse(500, [(b"content-type", b"text/plain")], b"Internal Server Error\n")
            else:
                self._refuse(403, [], b"")
            return None
        if stage == _RESPONDING:
            self.stage = _CLOSED
            self.carrier.abort()  # a refusal left unfinished: the client sees it cut short
            return None
        if stage == _OPEN:
            self._send_close(1011 if raised else 1000, "")
        if self.stage == _CLOSING:
            return self._await_close()
        return None

    async def _await_close(self) -> None:
        await asyncio.shield(self._closed)  # the client's Close, or `_close_timed_out`

    async def _ping_loop(self, interval: float, timeout: float | None) -> None:
        """Pings a connection that was quiet for `interval` seconds; one whose pong does not
        come within `timeout` seconds is closed with 1011."""
        loop = self.loop
        while self.stage == _OPEN:
            quiet = loop.time() - self.last_input
            if quiet < interval:
                await asyncio.sleep(interval - quiet)
                continue
            if self.carrier.reading_held or len(self.queue) >= self.max_queue:
                # reading is held (the client reads nothing, or our queue is full): the pong
                # could not be read anyway
                self.last_input = loop.time()
                continue
            payload = self._ping = os.urandom(4)
            pong = self._pong = loop.create_future()
            self.carrier.write(ws_frame(WS_PING, payload))
            try:
                await asyncio.wait_for(pong, timeout if timeout and timeout > 0 else None)
            except TimeoutError:
                if self.stage == _OPEN:
                    log.debug("websocket: no pong within %ss", timeout)
                    self._fail(1011, "keepalive ping timeout")
                return
            finally:
                self._pong = None
            self.last_input = loop.time()


async def _unavailable(scope, receive, send) -> None:
    """The answer when the server already runs as many requests as it may."""
    await send({"type": "websocket.http.response.start", "status": 503,
                "headers": [(b"content-type", b"text/plain"), (b"retry-after", b"1")]})
    await send({"type": "websocket.http.response.body", "body": b"Service Unavailable\n"})
