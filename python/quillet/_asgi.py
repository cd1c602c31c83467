"""The ASGI side of the server, shared by both protocols: the scope of a request, the checks on
what the application sends, the answer when it fails or says nothing, and the lifespan protocol.

A protocol driver (`_h1server`, `_h2server`) makes an `Exchange` per request, with the writers
its protocol needs, and runs it with `run_app`; everything the application sees is built here.
"""

from __future__ import annotations

import asyncio
import ipaddress
import logging
from collections.abc import Awaitable, Callable
from urllib.parse import unquote

from ._native import ready

log = logging.getLogger("quillet.server")

ASGIApp = Callable[[dict, Callable[[], Awaitable[dict]], Callable[[dict], Awaitable[None]]],
                   Awaitable[None]]

ASGI = {"version": "3.0", "spec_version": "2.3"}
DISCONNECT = {"type": "http.disconnect"}
_DONE = ready()  # what a send that had nothing to wait for returns

# The server's own answers when the application cannot give one.
_FAILED = (500, ((b"content-type", b"text/plain"),), b"Internal Server Error\n")
_SILENT = (500, (), b"")
_BODY_TIMED_OUT = (408, ((b"connection", b"close"),), b"")


class StartupFailed(RuntimeError):
    """The application's lifespan startup failed; the message says why, in one line."""


class ClientDisconnected(OSError):
    """Raised by `send` once the client has gone: the response can no longer be delivered."""


def split_target(target: str) -> tuple[str, str]:
    """(path, query) of a request target in origin or absolute form."""
    if target[:1] != "/" and "://" in target:
        rest = target.split("://", 1)[1]
        slash = rest.find("/")
        query_at = rest.find("?")
        if slash < 0 or (0 <= query_at < slash):
            target = "/" + (rest[query_at:] if query_at >= 0 else "")
        else:
            target = rest[slash:]
    path, sep, query = target.partition("?")
    return path, query


def http_scope(conn, version: str, method: str, target: str, headers: list) -> dict:
    """The scope of one request on `conn`, a connection of either protocol (its `server`,
    `scheme`, `client` and `sockname`)."""
    if target[:1] == "/" and "?" not in target:
        path, query = target, ""
    else:
        path, query = split_target(target)
    server = conn.server
    scope = {
        "type": "http",
        "asgi": ASGI,
        "http_version": version,
        "method": method,
        "scheme": conn.scheme,
        "path": unquote(path) if "%" in path else path,
        "raw_path": path.encode("latin-1"),
        "query_string": query.encode("latin-1"),
        "root_path": server.root_path,
        "headers": headers,
        "client": conn.client,
        "server": conn.sockname,
        "state": dict(server.state),
    }
    if conn.tls is not None:
        scope["extensions"] = {"tls": conn.tls}
    return scope


def scope_template(conn) -> dict:
    """What every request's scope on `conn` shares, in the order of `http_scope`'s keys, for the
    native `asgi_scope` (which fills in the request's own, None here, and copies `state`)."""
    server = conn.server
    template = {
        "type": "http", "asgi": ASGI, "http_version": None, "method": None,
        "scheme": conn.scheme, "path": None, "raw_path": None, "query_string": None,
        "root_path": server.root_path, "headers": None, "client": conn.client,
        "server": conn.sockname, "state": server.state,
    }
    if conn.tls is not None:
        template["extensions"] = {"tls": conn.tls}
    return template


class Exchange:
    """One request's response as the application sends it: `send` checks each message and
    hands it to the protocol's writers, `settle` deals with what the application left undone.

    A protocol's subclass lists `FIELDS` among its slots and sets them in its constructor
    (`started`, `head_written`, `trailers_wanted`, `timed_out` False; `status` and `sent`, the
    body bytes handed over, 0; `raw_headers` ()), and provides:

    - `gone` and `finished`: the client can no longer be answered; the response is over.
      `timed_out` is set when the client stopped sending its body (it is `gone` too).
    - `write_head(body, more)`, `write_body(body, more)`, `write_trailers(headers)` and
      `answer(status, headers, body)` (a whole response of the server's own): each returns None
      when it is done, or what to await before the application goes on (a full write buffer,
      a shut window). `answer` swallows its failures: the response is given up instead.
    - `abort()`: ends a response that cannot be completed (closes the connection or resets the
      stream); `disconnected()`: the exception `send` raises once the client has gone.
    - `Disconnected`: that exception's class, which `run_app` does not log.
    """

    FIELDS = ("started", "head_written", "status", "raw_headers", "trailers_wanted", "sent",
              "timed_out")
    __slots__ = ()

    # Whether the protocol announces the trailers extension (`http.response.trailers`).
    TRAILERS = False
    # A response whose head ends it (to HEAD, where the protocol says so): the body messages
    # that follow are dropped.
    bodiless = False
    Disconnected: type[BaseException] = ClientDisconnected

    def send(self, message: dict) -> Awaitable[None]:
        """Checks `message` and hands it to the protocol's writers at once; what it returns is
        done already (`ready`) unless a writer has to wait (a full buffer, a shut window)."""
        kind = message["type"]
        if kind == "http.response.body":
            if not self.started:
                raise RuntimeError("http.response.body before http.response.start")
            if self.gone:
                raise self.disconnected()
            if self.finished:
                if self.bodiless:
                    return _DONE  # the body of a response to HEAD is never sent
                raise RuntimeError("the response is already complete")
            body = message.get("body", b"")
            more = message.get("more_body", False)
            self.sent += len(body)
            if self.head_written:
                wait = self.write_body(body, more)
            else:
                wait = self.write_head(body, more)
            return _DONE if wait is None else wait
        if kind == "http.response.start":
            if self.started:
                raise RuntimeError("http.response.start sent twice")
            if self.gone:
                raise self.disconnected()
            self.started = True
            self.status = message["status"]
            self.raw_headers = message.get("headers", ())
            if self.TRAILERS:
                self.trailers_wanted = bool(message.get("trailers", False))
            return _DONE
        if kind == "http.response.trailers":
            if not self.trailers_wanted:
                return _DONE  # not announced, or not asked for at the start: nothing to send
            if self.gone:
                raise self.disconnected()
            if not self.head_written:
                raise RuntimeError("http.response.trailers before the response body")
            if self.finished:
                raise RuntimeError("the response is already complete")
            if message.get("more_trailers", False):
                raise RuntimeError("trailers in several messages are not supported")
            wait = self.write_trailers(message.get("headers", ()))
            return _DONE if wait is None else wait
        raise ValueError(f"unexpected ASGI message {kind!r}")

    def settle(self, raised: bool) -> Awaitable[None] | None:
        """After the application returned, or raised (`raised`): a response it left unsent is
        answered by the server (500, or 408 to a client that stopped sending its body), one it
        left unfinished is given up. Returns what to await, or None."""
        if self.finished:
            return None
        if not self.head_written and (self.timed_out or not self.gone):
            if self.timed_out:
                status, headers, body = _BODY_TIMED_OUT
            elif raised:
                status, headers, body = _FAILED
            else:
                log.error("the application returned without a response")
                status, headers, body = _SILENT
            return self.answer(status, headers, body)
        return self.abort()

    def cancelled(self) -> None:
        """The request's task was cancelled while the application ran."""


async def run_app(server, app: ASGIApp, scope: dict, exchange: Exchange, target: str) -> None:
    """Runs the application on one request to its end, answers for it when it fails, and
    counts the request with the server (`request_done`) whatever happens. `exchange` is an
    `Exchange`, or anything else with its `receive`, `send`, `settle`, `cancelled`,
    `Disconnected`, `status` and `sent` (the WebSocket session, which has no `finished`). The
    native `run_app` of `_native` does the same, held to this one by the tests."""
    began = server.loop.time() if server._log_access else 0.0
    try:
        raised = False
        try:
            await app(scope, exchange.receive, exchange.send)
        except exchange.Disconnected:
            pass
        except asyncio.CancelledError:
            exchange.cancelled()
            raise
        except Exception:
            log.exception("the application raised an exception")
            raised = True
        wait = exchange.settle(raised)
        if wait is not None:
            await wait
    finally:
        server.request_done(scope, target, exchange.status, exchange.sent, began)


async def unavailable(scope, receive, send) -> None:
    """The answer when the server already runs as many requests as it may."""
    await send({"type": "http.response.start", "status": 503,
                "headers": [(b"content-type", b"text/plain"), (b"retry-after", b"1")]})
    await send({"type": "http.response.body", "body": b"Service Unavailable\n"})


class Forwarding:
    """Which peers may tell the client address and scheme through X-Forwarded-For and
    X-Forwarded-Proto."""

    def __init__(self, allowed: str | list[str]) -> None:
        items = allowed.split(",") if isinstance(allowed, str) else list(allowed)
        items = [item.strip() for item in items if item.strip()]
        self.anyone = "*" in items
        self.hosts = set()
        self.networks = []
        for item in items:
            if item == "*":
                continue
            try:
                self.networks.append(ipaddress.ip_network(item, strict=False))
            except ValueError:
                self.hosts.add(item)  # a name, matched as written

    def trusts(self, host: str | None) -> bool:
        if self.anyone or host in self.hosts:
            return True
        if host is None:
            return False
        try:
            address = ipaddress.ip_address(host)
        except ValueError:
            return False
        return any(address in net for net in self.networks)

    def apply(self, scope: dict) -> None:
        client = scope["client"]
        # A Unix socket has no peer address: whoever may open the file is trusted.
        if client is not None and not self.trusts(client[0]):
            return
        hops = proto = None
        for name, value in scope["headers"]:
            if name == b"x-forwarded-for":
                hops = value if hops is None else hops + b"," + value
            elif name == b"x-forwarded-proto":
                proto = value
        if proto is not None:
            # each proxy appends its own: the last one is the hop nearest to us
            scheme = proto.decode("latin-1").rsplit(",", 1)[-1].strip().lower()
            if scheme in ("http", "https", "ws", "wss"):
                scope["scheme"] = scheme
        if hops is not None:
            chain = [h.strip() for h in hops.decode("latin-1").split(",") if h.strip()]
            if chain:
                # walking back from our peer, the first hop we do not trust is the client
                host = next((h for h in reversed(chain) if not self.trusts(h)), chain[0])
                scope["client"] = (host, 0)


class Lifespan:
    """The ASGI lifespan protocol: startup before listening, shutdown after the last request."""

    def __init__(self, app: ASGIApp, state: dict, required: bool) -> None:
        self.app = app
        self.state = state
        self.required = required
        self.inbox: asyncio.Queue = asyncio.Queue()
        self.startup_done: asyncio.Future | None = None
        self.shutdown_done: asyncio.Future | None = None
        self.task: asyncio.Task | None = None
        self.supported = True

    async def _run(self) -> None:
        scope = {"type": "lifespan", "asgi": ASGI, "state": self.state}
        try:
            await self.app(scope, self.inbox.get, self._send)
        except BaseException as exc:
            if self.startup_done is not None and not self.startup_done.done():
                self.supported = False
                if self.required:
                    self.startup_done.set_exception(StartupFailed(
                        f"the application's lifespan failed: {exc!r} (--lifespan on)"))
                else:
                    log.info("the application does not support lifespan (%r): going on without",
                             exc)
                    self.startup_done.set_result(None)
            elif isinstance(exc, Exception):
                log.exception("lifespan task failed")
        finally:
            for fut in (self.startup_done, self.shutdown_done):
                if fut is not None and not fut.done():
                    fut.set_result(None)

    async def _send(self, message: dict) -> None:
        kind = message["type"]
        if self.startup_done.done() and kind.startswith("lifespan.startup."):
            return  # the startup was given up already (interrupted)
        if kind == "lifespan.startup.complete":
            self.startup_done.set_result(None)
        elif kind == "lifespan.startup.failed":
            self.startup_done.set_exception(
                StartupFailed(f"application startup failed: {message.get('message', '')}"))
        elif kind in ("lifespan.shutdown.complete", "lifespan.shutdown.failed"):
            if kind.endswith("failed"):
                log.error("application shutdown failed: %s", message.get("message", ""))
            if self.shutdown_done is not None and not self.shutdown_done.done():
                self.shutdown_done.set_result(None)

    async def startup(self) -> None:
        loop = asyncio.get_running_loop()
        self.startup_done = loop.create_future()
        self.task = loop.create_task(self._run())
        await self.inbox.put({"type": "lifespan.startup"})
        await self.startup_done

    async def shutdown(self) -> None:
        if self.task is None or self.task.done() or not self.supported:
            return
        self.shutdown_done = asyncio.get_running_loop().create_future()
        await self.inbox.put({"type": "lifespan.shutdown"})
        await self.shutdown_done
        try:
            await asyncio.wait_for(self.task, 5)
        except (TimeoutError, Exception):
            self.task.cancel()
