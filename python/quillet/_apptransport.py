"""Requests answered by an ASGI application in this process, for `AsyncClient(app=...)`: what a
test of an application needs, with no socket and no server.

Each request is one call of the application with an `http` scope, as a server would make it
over HTTP/1.1: `receive` gives the request body (then `http.disconnect` once the response is
over or given up), `send` takes the response. The response is returned when its start
message comes, its body read as the application sends it, so that a streamed response (server-
sent events, say) reaches the caller piece by piece. The application's own exception is
raised to the caller as it is, where a server would have answered 500: a test wants the
traceback. A response given up before its end cancels the application's call.
"""

from __future__ import annotations

import asyncio
import collections
from typing import Any
from urllib.parse import unquote

from _quillet import HeaderMap

from ._asgi import ClientDisconnected
from ._exceptions import ReadTimeout, RemoteProtocolError
from ._models import NOT_YET, Request, Response, Timeout, pieces

__all__ = ["AppTransport"]

# What the application may send ahead of the reader before its `send` waits.
_AHEAD = 1 << 20


class AppTransport:
    """Sends requests to `app`; `client` is the address the application sees as the peer's."""

    def __init__(self, app: Any, client: tuple[str, int] = ("127.0.0.1", 123)) -> None:
        self.app = app
        self.client = client
        self.calls: set[asyncio.Task] = set()

    async def send(self, request: Request, timeout: Timeout, started: float) -> Response:
        url = request.url
        path, _, query = url.target.partition("?")
        scope = {
            "type": "http", "asgi": {"version": "3.0", "spec_version": "2.4"},
            "http_version": "1.1", "method": request.method, "scheme": url.scheme,
            "path": unquote(path), "raw_path": path.encode("ascii"),
            "query_string": query.encode("ascii"), "root_path": "",
            "headers": request.headers.raw_items(), "client": self.client,
            "server": (url.host, url.port), "extensions": {"http.response.trailers": {}},
        }
        call = _Call(request)
        task = call.task = asyncio.ensure_future(self.app(scope, call.receive, call.send))
        self.calls.add(task)
        task.add_done_callback(self.calls.discard)
        task.add_done_callback(call.ended)
        try:
            async with asyncio.timeout(timeout.read):
                await asyncio.wait((call.started, task), return_when=asyncio.FIRST_COMPLETED)
        except TimeoutError:
            await call.give_up()
            raise ReadTimeout(f"no response within the read timeout of {timeout.read} s",
                              request=request) from None
        except BaseException:
            await call.give_up()
            raise
        if not call.started.done():
            if call.error is not None:
                raise call.error
            raise RemoteProtocolError("the application returned without a response",
                                      request=request)
        status, headers = call.started.result()
        body = _AppBody(call, timeout.read, request)
        return Response.received(status, headers, "HTTP/1.1", request, body, started, False)

    async def aclose(self) -> None:
        """Cancels the calls still running (responses given up, or not read to their end)."""
        calls = list(self.calls)
        for task in calls:
            task.cancel()
        if calls:
            await asyncio.wait(calls)


class _Call:
    """One call of the application: the request body it receives, the response it sends."""

    def __init__(self, request: Request) -> None:
        loop = asyncio.get_running_loop()
        self.request = request
        self.task: asyncio.Task | None = None
        self.running = True
        self.error: BaseException | None = None     # what the application raised
        self.started = loop.create_future()         # (status, HeaderMap)
        self.chunks: collections.deque = collections.deque()
        self.queued = 0                             # bytes sent and not yet taken
        self.more = loop.create_future()            # set when a chunk or the end is queued
        self.room: asyncio.Future | None = None     # the application waits for the reader
        self.over = loop.create_future()            # the response is sent whole, or given up
        self.complete = False                       # the body's end has been sent
        self.trailers: HeaderMap | None = None
        self.want_trailers = False
        self.gone = False                           # the caller gave the response up
        # the request body still to be received: bytes (one message), or a stream's pieces
        self.body: Any = (request.content or b"" if request.stream is None
                          else pieces(request.take_stream()))

    # the application's side

    async def receive(self) -> dict:
        body = self.body
        if type(body) is bytes:
            self.body = None
            return {"type": "http.request", "body": body, "more_body": False}
        if body is not None:
            try:
                chunk = await body.__anext__()
                return {"type": "http.request", "body": chunk, "more_body": True}
            except StopAsyncIteration:
                self.body = None
                return {"type": "http.request", "body": b"", "more_body": False}
        await asyncio.shield(self.over)
        return {"type": "http.disconnect"}

    async def send(self, message: dict) -> None:
        kind = message["type"]
        if self.gone:
            raise ClientDisconnected("the client gave the response up")
        if kind == "http.response.start":
            if self.started.done():
                raise RuntimeError("http.response.start sent twice")
            try:
                headers = HeaderMap(message.get("headers") or ())
            except (TypeError, ValueError) as exc:
                raise RemoteProtocolError(f"the application's response head is invalid: {exc}",
                                          request=self.request) from None
            self.want_trailers = bool(message.get("trailers"))
            self.started.set_result((int(message["status"]), headers))
        elif kind == "http.response.body":
            if not self.started.done() or self.complete:
                raise RuntimeError("http.response.body outside a response")
            chunk = bytes(message.get("body", b""))
            if chunk:
                self.chunks.append(chunk)
                self.queued += len(chunk)
            if not message.get("more_body", False) and not self.want_trailers:
                self._end()
            self._wake()
            while self.queued > _AHEAD and not self.gone:
                self.room = asyncio.get_running_loop().create_future()
                await self.room
        elif kind == "http.response.trailers":
            if not self.want_trailers or self.complete:
                raise RuntimeError("http.response.trailers the start did not announce")
            trailers = self.trailers if self.trailers is not None else HeaderMap()
            for name, value in message.get("headers") or ():
                trailers.add(name, value)
            self.trailers = trailers
            if not message.get("more_trailers", False):
                self._end()
                self._wake()
        else:
            raise ValueError(f"unexpected ASGI message {kind!r}")

    def _end(self) -> None:
        self.complete = True
        if not self.over.done():
            self.over.set_result(None)

    def _wake(self) -> None:
        if not self.more.done():
            self.more.set_result(None)

    def ended(self, task: asyncio.Task) -> None:
        """The application's call is over: what it raised is kept, and the reader told."""
        self.running = False
        if not task.cancelled():
            self.error = task.exception()
        self._wake()
        if not self.over.done():
            self.over.set_result(None)

    # the caller's side

    async def give_up(self) -> None:
        self.gone = True
        if not self.over.done():
            self.over.set_result(None)
        if self.room is not None and not self.room.done():
            self.room.set_result(None)
        if self.running:
            self.task.cancel()
            await asyncio.wait((self.task,))


class _AppBody:
    """The response body as the application sends it. Its end is the end of the application's
    call too, so that what the application does after its last message (a background task,
    say) is done when the body has been read."""

    __slots__ = ("call", "timeout", "request", "trailers", "done")

    def __init__(self, call: _Call, timeout: float | None, request: Request) -> None:
        self.call = call
        self.timeout = timeout
        self.request = request
        self.trailers: HeaderMap | None = None
        self.done = False

    def poll(self) -> bytes | None:
        call = self.call
        if call.chunks:
            chunk = call.chunks.popleft()
            call.queued -= len(chunk)
            if call.room is not None and call.queued <= _AHEAD and not call.room.done():
                call.room.set_result(None)
            return chunk
        if call.running:
            return NOT_YET
        self.done = True
        if call.error is not None:
            raise call.error
        if not call.complete:
            raise RemoteProtocolError("the application returned before its response body "
                                      "ended", request=self.request)
        self.trailers = call.trailers
        return None

    async def next_chunk(self) -> bytes | None:
        while (chunk := self.poll()) is NOT_YET:
            call = self.call
            if call.more.done():
                call.more = asyncio.get_running_loop().create_future()
            try:
                async with asyncio.timeout(self.timeout):
                    await call.more
            except TimeoutError:
                raise ReadTimeout(f"no response data within the read timeout of "
                                  f"{self.timeout} s", request=self.request) from None
        return chunk

    async def aclose(self) -> None:
        if not self.done:
            self.done = True
            await self.call.give_up()
