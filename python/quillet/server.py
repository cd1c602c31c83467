"""An asyncio server for ASGI 3 applications over HTTP/1.1 and HTTP/2: the listener.

`Server` binds its sockets and accepts on them with its own loop, sets TLS up, tells the
protocol of each connection from its first bytes (or ALPN), and hands it to that protocol's
driver: `_h1server.Connection` or `_h2server.ServerConnection`. Both build what the application
sees with `_asgi`. It also keeps what is the server's across connections: the deadlines of
every wait on a client (one sweep), the limits, the access log and the lifespan.

    server = Server(app, host="127.0.0.1", port=8000)
    await server.serve()          # until SIGINT/SIGTERM or server.request_stop()
"""

from __future__ import annotations

import asyncio
import errno
import logging
import os
import signal
import socket
import ssl
import stat
from collections.abc import Awaitable, Callable
from typing import Any

from _quillet import H2Codec

from ._asgi import ASGIApp, ClientDisconnected, Forwarding, Lifespan, unavailable
from ._h1server import Connection
from ._h2server import ServerConnection
from ._stream import Deadline, Stream
from ._tls import TLSConfigError, tls_context

__all__ = ["Server", "ClientDisconnected", "TLSConfigError", "LOOPS", "run", "run_loop",
           "tls_context"]

log = logging.getLogger("quillet.server")
# One line per response; a logger of its own so that it can be routed or silenced alone.
access_log = logging.getLogger("quillet.access")

# How often the deadlines of pending reads are checked: timeouts fire up to this much late.
_SWEEP_PERIOD = 0.1
# Connections taken from a listening socket per readiness event, so that one busy listener
# cannot hold the event loop.
_ACCEPT_BATCH = 64
# Out of descriptors (or of kernel memory): the listening socket is left alone this long, and
# the connections waiting meanwhile stay in the kernel's queue.
_ACCEPT_PAUSE = 0.25
_OUT_OF_RESOURCES = frozenset((errno.EMFILE, errno.ENFILE, errno.ENOBUFS, errno.ENOMEM))
# A condition that can recur at every accept (no descriptors, the connection limit) is logged
# at most once per this many seconds.
_LOG_INTERVAL = 10.0


class _ServerStream(Stream):
    """An accepted connection's stream: it tells the protocol from the first bytes, hands the
    connection to that protocol's driver, and brings a parked HTTP/1 connection its next
    request at once (`Connection._answer`)."""

    __slots__ = ("server", "conn", "parked")

    def __init__(self, server: Server) -> None:
        super().__init__(server.loop)
        self.server = server
        self.conn: Connection | ServerConnection | None = None
        self.parked: Connection | None = None  # an HTTP/1 connection parked for its next head

    def data_received(self, data: bytes) -> None:
        conn = self.parked
        if conn is not None and not self._chunks:
            conn._answer(data)
        else:
            Stream.data_received(self, data)

    # An HTTP/1 connection reads nothing while its write buffer is above the high-water mark:
    # each request read could add a response to it.
    def pause_writing(self) -> None:
        super().pause_writing()
        if isinstance(self.conn, Connection):
            self.hold_reading()

    def resume_writing(self) -> None:
        super().resume_writing()
        self.release_reading()

    def eof_received(self) -> bool:
        super().eof_received()
        # Over TLS a close_notify ends both directions anyway; asking to stay half-open only
        # earns a warning from the TLS layer.
        return self.server.ssl is None

    async def _start(self, transport) -> None:
        """HTTP/1.1, or HTTP/2 with prior knowledge: the first bytes tell (the client preface).
        Over TLS, ALPN tells instead."""
        server = self.server
        alpn = None
        if server.ssl is not None:  # the handshake is done (`Server._serve_socket`)
            tls = transport.get_extra_info("ssl_object")
            if tls is None:  # the client went during the handshake's last step
                transport.abort()
                return
            alpn = tls.selected_alpn_protocol()
        try:
            if alpn is None or alpn == "h2":
                await asyncio.wait_for(self.wait_data(), server.keep_alive_timeout)
                data = self.peek()
                if alpn is None and data[:1] == b"\x16":
                    # a TLS ClientHello on the plain port: nothing here can answer it
                    log.debug("TLS from %s on a plain port", transport.get_extra_info("peername"))
                    transport.close()
                    return
                while (match := H2Codec.match_preface(data)) is None and not self.at_eof:
                    await asyncio.wait_for(self.wait_data(len(data)), server.head_timeout)
                    data = self.peek()
            else:
                match = False
        except TimeoutError:
            transport.close()  # nothing, or half a preface, in time: close without a word
            return
        if server.stopping:
            transport.close()
            return
        if alpn == "h2" and not match:
            log.debug("ALPN chose h2 but the client preface did not follow")
            transport.close()
            return
        if match:
            conn = ServerConnection.open(server, self, transport)
            self.conn = conn
            server._connections.add(conn)
            await conn.serve(self.take_buffered())
            return
        conn = Connection.open(server, self, transport)
        self.conn = conn
        server._connections.add(conn)
        await conn.serve()


class Server:
    """Serves an ASGI 3 application on one listening socket: TCP on (host, port), a Unix socket
    (`uds`), or a socket bound by someone else (`sock`, as the worker processes get it)."""

    def __init__(self, app: ASGIApp, host: str = "127.0.0.1", port: int = 8000, *,
                 keep_alive: bool = True, keep_alive_timeout: float = 5.0,
                 head_timeout: float = 10.0, body_timeout: float = 30.0,
                 write_timeout: float = 30.0, shutdown_timeout: float = 30.0,
                 lifespan: str = "auto", root_path: str = "",
                 h2_max_concurrent_streams: int = 100, h2_settings_timeout: float = 10.0,
                 ssl: ssl.SSLContext | None = None,
                 ssl_reload: Callable[[], ssl.SSLContext] | None = None,
                 uds: str | None = None, sock: socket.socket | None = None,
                 backlog: int = 2048, proxy_headers: bool = False,
                 forwarded_allow_ips: str | list[str] = "127.0.0.1",
                 limit_concurrency: int | None = None, limit_max_requests: int | None = None,
                 limit_connections: int | None = None, access_log: bool = True,
                 ws: str = "auto", ws_max_size: int = 16 * 1024 * 1024, ws_max_queue: int = 32,
                 ws_ping_interval: float | None = 20.0,
                 ws_ping_timeout: float | None = 20.0,
                 ws_per_message_deflate: bool = True) -> None:
        self.app = app
        self.host = host
        self.port = port
        self.keep_alive = keep_alive
        self.keep_alive_timeout = keep_alive_timeout
        self.head_timeout = head_timeout
        self.body_timeout = body_timeout
        self.write_timeout = write_timeout
        self.shutdown_timeout = shutdown_timeout
        self.lifespan_mode = lifespan
        self.root_path = root_path
        self.h2_max_concurrent_streams = h2_max_concurrent_streams
        self.h2_settings_timeout = h2_settings_timeout
        self.ssl = ssl
        # builds the context again from the files: SIGHUP swaps the result in (`reload_tls`)
        self.ssl_reload = ssl_reload
        self.uds = uds
        self.sock = sock
        self.backlog = backlog
        self.forwarding = Forwarding(forwarded_allow_ips) if proxy_headers else None
        self.limit_concurrency = limit_concurrency
        self.limit_max_requests = limit_max_requests
        self.limit_connections = limit_connections
        self.access_log = access_log
        # WebSocket: "auto" serves it, "none" serves an Upgrade request as plain HTTP
        if ws not in ("auto", "none"):
            raise ValueError(f"ws must be 'auto' or 'none', not {ws!r}")
        self.ws = ws
        self.ws_max_size = ws_max_size
        self.ws_max_queue = ws_max_queue
        self.ws_ping_interval = ws_ping_interval  # None or 0: no keep-alive pings
        self.ws_ping_timeout = ws_ping_timeout
        self.ws_per_message_deflate = ws_per_message_deflate  # when the client offers it
        self.active = 0            # requests running now
        self.requests_served = 0
        self.state: dict = {}
        self.stopping = False
        self.connections_accepted = 0
        self.loop: asyncio.AbstractEventLoop | None = None
        self._listeners: list[socket.socket] = []
        self._no_resources = _Recurring()
        self._over_limit = _Recurring()
        self._connections: set[Connection | ServerConnection] = set()
        self._tasks: set[asyncio.Task] = set()
        self._orphans: set[asyncio.Task] = set()
        self._waiting: set[Deadline] = set()  # the waits on clients that have a deadline
        self._sweeper: asyncio.TimerHandle | None = None
        self._stop: asyncio.Event | None = None
        self._lifespan: Lifespan | None = None
        self._log_access = False

    @property
    def connection_count(self) -> int:
        return len(self._connections)

    @property
    def open_connections(self) -> int:
        """Accepted connections not yet closed, whatever their protocol or stage."""
        return len(self._tasks)

    # every request, either protocol

    def admit(self, scope: dict) -> ASGIApp:
        """The application that answers this request: ours, or a 503 once the server is full."""
        if self.forwarding is not None:
            self.forwarding.apply(scope)
        limit = self.limit_concurrency
        self.active += 1
        if limit is not None and self.active > limit:
            return unavailable
        return self.app

    def request_done(self, scope: dict, target: str, status: int, sent: int,
                     began: float) -> None:
        self.active -= 1
        if self._log_access:
            client = scope["client"]
            who = f"{client[0]}:{client[1]}" if client else "-"
            access_log.info('%s - "%s %s HTTP/%s" %d %d %.1fms', who,
                            scope.get("method", "GET"), target,
                            scope["http_version"], status, sent,
                            (self.loop.time() - began) * 1000)
        self.requests_served += 1
        limit = self.limit_max_requests
        if limit is not None and self.requests_served == limit:
            log.info("served %d requests: stopping so that a fresh process takes over", limit)
            self.request_stop()

    # the listening side

    async def start(self) -> None:
        """Runs the lifespan startup, then listens. `port=0` picks a free port (see `.port`)."""
        self.loop = asyncio.get_running_loop()
        self._stop = asyncio.Event()
        self._log_access = self.access_log and access_log.isEnabledFor(logging.INFO)
        if self._lifespan is None and self.lifespan_mode != "off":
            self._lifespan = Lifespan(self.app, self.state, self.lifespan_mode == "on")
            await self._lifespan.startup()
        if self.sock is not None:
            self._listeners = [self.sock]
        else:
            self._listeners = _listen(self.host, self.port, self.uds, self.backlog)
        for listener in self._listeners:
            listener.setblocking(False)
            self.loop.add_reader(listener.fileno(), self._accept, listener)
        bound = self._listeners[0].getsockname()
        if isinstance(bound, tuple):
            self.port = bound[1]
        self._sweep()

    # The accept loop is the server's own rather than the event loop's, so that running out of
    # descriptors pauses it (with one log line per interval) instead of spinning on the
    # listening socket, and so that the connection limit applies before any transport is made.

    def _accept(self, listener: socket.socket) -> None:
        for _ in range(_ACCEPT_BATCH):
            try:
                sock, peer = listener.accept()
            except (BlockingIOError, InterruptedError):
                return
            except ConnectionAbortedError:
                continue  # reset while queued
            except OSError as exc:
                self.loop.remove_reader(listener.fileno())
                self.loop.call_later(_ACCEPT_PAUSE, self._accept_again, listener)
                if exc.errno in _OUT_OF_RESOURCES:
                    self._no_resources.report(self.loop, "cannot accept connections: %s "
                                              "(%d open); pausing accepting for %ss",
                                              exc.strerror, self.open_connections,
                                              _ACCEPT_PAUSE)
                else:
                    self._no_resources.report(self.loop, "accepting failed: %r", exc)
                return
            limit = self.limit_connections
            if self.stopping or (limit is not None and len(self._tasks) >= limit):
                sock.close()
                if not self.stopping:
                    self._over_limit.report(self.loop, "%d connections open, the limit: "
                                            "closing new ones at once", limit)
                continue
            sock.setblocking(False)
            task = self.loop.create_task(self._serve_socket(sock, peer))
            self._tasks.add(task)
            task.add_done_callback(self._tasks.discard)

    def _accept_again(self, listener: socket.socket) -> None:
        if not self.stopping and listener.fileno() >= 0:
            self.loop.add_reader(listener.fileno(), self._accept, listener)

    async def _serve_socket(self, sock: socket.socket, peer) -> None:
        self.connections_accepted += 1
        tls = self.ssl
        if tls is not None and _gone_already(sock):
            # connected and reset (or closed) at once: no TLS layer is set up for it
            sock.close()
            return
        stream = _ServerStream(self)
        try:
            transport, _ = await self.loop.connect_accepted_socket(
                lambda: stream, sock, ssl=tls,
                ssl_handshake_timeout=None if tls is None else self.head_timeout)
        except Exception as exc:  # plain HTTP, a stalled or refused handshake: only this one
            if tls is not None:
                log.debug("TLS handshake with %s failed: %r", peer, exc)
            else:
                log.debug("connection from %s lost at once: %r", peer, exc)
            # The traceback holds the handshake's frames, and through them the TLS layer and
            # its buffers, in a cycle with the exception: only a full collection would free
            # them. Nothing needs it once logged.
            exc.__traceback__ = None
            sock.close()
            return
        try:
            await stream._start(transport)
        finally:
            self._connections.discard(stream.conn)

    @property
    def url(self) -> str:
        """Where the server listens, for people to read."""
        if self.uds is not None or (self.sock is not None and self.sock.family == socket.AF_UNIX):
            path = self.uds or self.sock.getsockname()
            return f"unix:{path}"
        scheme = "https" if self.ssl is not None else "http"
        shown = f"[{self.host}]" if ":" in self.host else self.host
        return f"{scheme}://{shown}:{self.port}/"

    def _sweep(self) -> None:
        """Ends the waits whose deadline has passed; runs every `_SWEEP_PERIOD` seconds."""
        now = self.loop.time()
        for deadline in [d for d in self._waiting if d.at <= now]:
            deadline.expire()
        self._sweeper = self.loop.call_later(_SWEEP_PERIOD, self._sweep)

    def reload_tls(self) -> bool:
        """Builds the TLS context again (`ssl_reload`) and serves the connections accepted from
        now on with it; those open already keep theirs. On failure the current one stays."""
        if self.ssl_reload is None:
            return False
        try:
            ctx = self.ssl_reload()
        except Exception as exc:  # TLSConfigError names the file and the reason
            log.error("the certificate was not reloaded, the current one stays: %s", exc)
            return False
        self.ssl = ctx
        log.info("reloaded the certificate: new connections get the new one")
        return True

    def request_stop(self) -> None:
        if self._stop is not None:
            self._stop.set()

    async def shutdown(self) -> None:
        """Stops listening, closes idle connections at once, finishes requests in flight, then
        runs the lifespan shutdown."""
        self.stopping = True
        for listener in self._listeners:
            if listener.fileno() >= 0:
                self.loop.remove_reader(listener.fileno())
                listener.close()
        for conn in list(self._connections):
            conn.shutdown()
        if self._tasks:
            _, pending = await asyncio.wait(set(self._tasks), timeout=self.shutdown_timeout)
            for task in pending:
                task.cancel()
        if self._sweeper is not None:
            self._sweeper.cancel()
        if self._lifespan is not None:
            await self._lifespan.shutdown()

    async def serve(self, *, install_signals: bool = True,
                    ready: Callable[[Server], None] | None = None) -> None:
        await self.start()
        loop = self.loop
        installed = []
        if install_signals:
            for sig in (signal.SIGINT, signal.SIGTERM):
                try:
                    loop.add_signal_handler(sig, self.request_stop)
                    installed.append(sig)
                except (NotImplementedError, RuntimeError, ValueError):
                    pass
            if self.ssl_reload is not None:
                loop.add_signal_handler(signal.SIGHUP, self.reload_tls)
                installed.append(signal.SIGHUP)
                # a worker holds SIGHUP back until now: one that came meanwhile is taken now
                signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGHUP})
        try:
            if ready is not None:
                ready(self)
            await self._stop.wait()
        finally:
            for sig in installed:
                loop.remove_signal_handler(sig)
            await self.shutdown()


def _listen(host: str, port: int, uds: str | None, backlog: int) -> list[socket.socket]:
    """The listening sockets of a server: one per address the host resolves to, or a Unix
    socket (replacing a socket file left by an earlier run)."""
    if uds is not None:
        try:
            if stat.S_ISSOCK(os.stat(uds).st_mode):
                os.unlink(uds)
        except FileNotFoundError:
            pass
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            sock.bind(uds)
            sock.listen(backlog)
        except BaseException:
            sock.close()
            raise
        return [sock]
    listeners: list[socket.socket] = []
    try:
        for family, kind, proto, _, address in dict.fromkeys(socket.getaddrinfo(
                host or None, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)):
            sock = socket.socket(family, kind, proto)
            listeners.append(sock)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            if family == socket.AF_INET6:
                sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
            sock.bind(address)
            sock.listen(backlog)
    except BaseException:
        for sock in listeners:
            sock.close()
        raise
    return listeners


def _gone_already(sock: socket.socket) -> bool:
    """Whether a just-accepted client has already reset or closed its connection."""
    try:
        return sock.recv(1, socket.MSG_PEEK) == b""
    except (BlockingIOError, InterruptedError):
        return False
    except OSError:
        return True


class _Recurring:
    """A warning about a condition that may recur at every attempt: logged at most once per
    `_LOG_INTERVAL`, with how often it recurred unlogged since the last line."""

    __slots__ = ("next", "unlogged")

    def __init__(self) -> None:
        self.next = 0.0
        self.unlogged = 0

    def report(self, loop: asyncio.AbstractEventLoop, message: str, *args: Any) -> None:
        now = loop.time()
        if now < self.next:
            self.unlogged += 1
            return
        if self.unlogged:
            message += " (%d more times since the last such line)"
            args += (self.unlogged,)
        log.warning(message, *args)
        self.next = now + _LOG_INTERVAL
        self.unlogged = 0


# The event loops a server can run on: the standard one, or uvloop's (the optional extra
# "quillet[uvloop]") when it is installed and asked for.
LOOPS = ("asyncio", "uvloop")


def run_loop(main: Awaitable[Any], loop: str = "asyncio") -> Any:
    """Runs the coroutine `main` to its end on a new event loop of the kind named."""
    if loop == "asyncio":
        return asyncio.run(main)
    try:
        if loop != "uvloop":
            raise ValueError(f"unknown event loop {loop!r}: choose one of {', '.join(LOOPS)}")
        try:
            import uvloop
        except ImportError:
            raise RuntimeError("the uvloop event loop was asked for, but uvloop is not "
                               "installed (pip install 'quillet[uvloop]')") from None
    except BaseException:
        main.close()  # it will never run: no warning about a coroutine never awaited
        raise
    with asyncio.Runner(loop_factory=uvloop.new_event_loop) as runner:
        return runner.run(main)


def run(app: ASGIApp, host: str = "127.0.0.1", port: int = 8000, *,
        ready: Callable[[Server], None] | None = None, loop: str = "asyncio",
        **options: Any) -> None:
    """Serves `app` until SIGINT or SIGTERM, on the event loop named by `loop`."""
    server = Server(app, host, port, **options)
    run_loop(server.serve(ready=ready), loop)
