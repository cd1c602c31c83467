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
import time
from collections.abc import Awaitable, Callable
from typing import Any

from _quillet import H2Codec

from ._access import AccessFormat
from ._config import default_headers, h2_setting_problem
from ._asgi import (
    ASGIApp, ClientDisconnected, Forwarding, Lifespan, StartupFailed, unavailable)
from ._h1server import Connection
from ._h2 import LIMITS
from ._h2server import ServerConnection
from ._sockets import ListenError, listen_on
from ._native import H1Reader
from ._stream import Deadline, Stream
from ._tls import TLSConfigError, tls_context

__all__ = ["Server", "ClientDisconnected", "ListenError", "StartupFailed", "TLSConfigError",
           "LOOPS", "run", "run_loop", "tls_context", "SHUTDOWN_TIMEOUT"]

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
# How long a graceful shutdown lets requests in progress run: below the 30 s after which
# common supervisors kill a process they asked to stop, so that the requests still running
# are named in the log and the application's lifespan shutdown runs before that.
SHUTDOWN_TIMEOUT = 25.0
# SIGINTs this close together count as one interrupt.
_SAME_INTERRUPT = 0.5


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

    # The bytes for a parked HTTP/1 connection go to its `_answer` (with the native driver,
    # natively), any others to the stream's buffer; the event loop calls this native callable
    # with no Python frame in between.
    data_received = H1Reader(Stream.data_received)

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
                 write_timeout: float = 30.0, shutdown_timeout: float = SHUTDOWN_TIMEOUT,
                 lifespan: str = "auto", root_path: str = "",
                 h2_max_concurrent_streams: int = 100, h2_settings_timeout: float = 10.0,
                 h2_initial_window_size: int = LIMITS["initial_window_size"],
                 h2_max_frame_size: int = LIMITS["max_frame_size"],
                 h2_max_header_list_size: int = LIMITS["max_header_list_size"],
                 ssl: ssl.SSLContext | None = None,
                 ssl_reload: Callable[[], ssl.SSLContext] | None = None,
                 uds: str | None = None, sock: socket.socket | None = None,
                 backlog: int = 2048, proxy_headers: bool = False,
                 forwarded_allow_ips: str | list[str] = "127.0.0.1,::1",
                 limit_concurrency: int | None = None, limit_max_requests: int | None = None,
                 limit_connections: int | None = None, access_log: bool = True,
                 access_log_format: str | None = None, server_header: bool = True,
                 date_header: bool = True,
                 headers: list[tuple[str | bytes, str | bytes]] | None = None,
                 ws: str = "auto", ws_max_size: int = 16 * 1024 * 1024, ws_max_queue: int = 32,
                 ws_ping_interval: float | None = 20.0,
                 ws_ping_timeout: float | None = 20.0,
                 ws_per_message_deflate: bool = True, driver: str | None = None) -> None:
        if lifespan not in ("auto", "on", "off"):
            raise ValueError(f"lifespan must be auto, on or off, not {lifespan!r}")
        for name, value in (("h2_max_concurrent_streams", h2_max_concurrent_streams),
                            ("h2_initial_window_size", h2_initial_window_size),
                            ("h2_max_frame_size", h2_max_frame_size),
                            ("h2_max_header_list_size", h2_max_header_list_size)):
            problem = h2_setting_problem(name, value)
            if problem is not None:
                raise ValueError(f"{name} {problem}")
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
        # the settings every HTTP/2 connection of this server starts with
        self.h2_limits = dict(
            LIMITS, initial_window_size=h2_initial_window_size, max_frame_size=h2_max_frame_size,
            max_header_list_size=h2_max_header_list_size, auto_date_header=date_header,
            connection_window=max(LIMITS["connection_window"], h2_initial_window_size))
        self.date_header = date_header
        # the fields every response carries unless the application set the name itself
        self.default_headers = default_headers(server_header, headers)
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
        self.access_format = AccessFormat(access_log_format) if access_log_format else None
        # WebSocket: "auto" serves it, "none" serves an Upgrade request as plain HTTP
        if ws not in ("auto", "none"):
            raise ValueError(f"ws must be 'auto' or 'none', not {ws!r}")
        for name, value in (("ws_max_size", ws_max_size), ("ws_max_queue", ws_max_queue)):
            if isinstance(value, bool) or not isinstance(value, int) or value < 1:
                raise ValueError(f"{name} must be an integer of at least 1, not {value!r}")
        self.ws = ws
        self.ws_max_size = ws_max_size
        self.ws_max_queue = ws_max_queue
        self.ws_ping_interval = ws_ping_interval  # None or 0: no keep-alive pings
        self.ws_ping_timeout = ws_ping_timeout
        self.ws_per_message_deflate = ws_per_message_deflate  # when the client offers it
        # the native serve path (HTTP/1.1 exchange, scope and run), or every request in Python
        # (the reference it is tested against); None takes $QUILLET_DRIVER, else native
        driver = driver or os.environ.get("QUILLET_DRIVER") or "native"
        if driver not in ("native", "python"):
            raise ValueError(f"driver must be 'native' or 'python', not {driver!r}")
        self.driver = driver
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
        self._running: dict[int, dict] = {}  # the scopes of the requests in progress
        self._waiting: set[Deadline] = set()  # the waits on clients that have a deadline
        self._sweeper: asyncio.TimerHandle | None = None
        self._stop: asyncio.Event | None = None
        self._force: asyncio.Event | None = None  # a second interrupt: stop waiting
        self._forced_at = float("-inf")
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
        self._running[id(scope)] = scope
        limit = self.limit_concurrency
        self.active += 1
        if limit is not None and self.active > limit:
            return unavailable
        return self.app

    def request_done(self, scope: dict, target: str, status: int, sent: int,
                     began: float) -> None:
        self.active -= 1
        self._running.pop(id(scope), None)
        if self._log_access:
            self.log_access(scope, target, status, sent, began)
        self.requests_served += 1
        limit = self.limit_max_requests
        if limit is not None and self.requests_served == limit:
            log.info("served %d requests: stopping so that a fresh process takes over", limit)
            self.request_stop()

    def log_access(self, scope: dict, target: str, status: int, sent: int,
                   began: float) -> None:
        """The access log's line for a request (when the log is on): also for one answered
        before it reached the application, such as a refused WebSocket handshake."""
        if not self._log_access:
            return
        if self.access_format is not None:
            access_log.info("%s", self.access_format.line(
                scope, target, status, sent, self.loop.time() - began))
        else:
            client = scope["client"]
            who = f"{client[0]}:{client[1]}" if client else "-"
            access_log.info('%s - "%s %s HTTP/%s" %d %d %.1fms', who,
                            scope.get("method", "GET"), target, scope["http_version"],
                            status, sent, (self.loop.time() - began) * 1000)

    # the listening side

    async def start(self) -> None:
        """Listens, runs the lifespan startup, then accepts. `port=0` picks a free port (see
        `.port`). The socket is bound before the application starts, so that an address in
        use fails the start (ListenError) before any of the application's startup runs."""
        self.loop = asyncio.get_running_loop()
        if self._stop is None:
            self._stop = asyncio.Event()
            self._force = asyncio.Event()
        self._log_access = self.access_log and access_log.isEnabledFor(logging.INFO)
        if self.sock is not None:
            self._listeners = [self.sock]
        else:
            try:
                self._listeners = listen_on(self.host, self.port, self.uds, self.backlog)
            except OSError as exc:
                raise ListenError(self.host, self.port, self.uds, exc) from None
        bound = self._listeners[0].getsockname()
        if isinstance(bound, tuple):
            self.port = bound[1]
        try:
            if self._lifespan is None and self.lifespan_mode != "off":
                self._lifespan = Lifespan(self.app, self.state, self.lifespan_mode == "on")
                # a startup that hangs can still be interrupted: SIGINT twice
                startup = self.loop.create_task(self._lifespan.startup())
                forced = self.loop.create_task(self._force.wait())
                await asyncio.wait((startup, forced), return_when=asyncio.FIRST_COMPLETED)
                forced.cancel()
                if not startup.done():
                    startup.cancel()
                    if self._lifespan.task is not None:
                        self._lifespan.task.cancel()
                    raise StartupFailed("interrupted during the application's startup")
                startup.result()
        except BaseException:
            if self.sock is None:
                for listener in self._listeners:
                    listener.close()
            raise
        for listener in self._listeners:
            listener.setblocking(False)
            self.loop.add_reader(listener.fileno(), self._accept, listener)
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
        host = self.host
        if self.sock is not None:
            host = self.sock.getsockname()[0]
        shown = f"[{host}]" if ":" in host else host
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

    def request_force(self) -> None:
        """Stop waiting: cut the requests still draining (or the lifespan shutdown) now."""
        if self._force is not None:
            self._force.set()

    def _signalled(self, signum: int) -> None:
        if not self._stop.is_set():
            log.info("%s: stopping", signal.Signals(signum).name)
            self.request_stop()
        elif signum == signal.SIGINT:
            # A worker hears Ctrl+C twice, from the terminal and from its parent: a SIGINT
            # this close to the one that cut the drain is the same interrupt, not one more.
            now = time.monotonic()
            if now - self._forced_at >= _SAME_INTERRUPT:
                self._forced_at = now
                self.request_force()

    async def shutdown(self) -> None:
        """Stops listening, closes idle connections at once, finishes requests in flight (for
        up to `shutdown_timeout` seconds, or until `request_force`), then runs the lifespan
        shutdown."""
        self.stopping = True
        loop = self.loop
        if self._force is None:
            self._force = asyncio.Event()
        for listener in self._listeners:
            if listener.fileno() >= 0:
                loop.remove_reader(listener.fileno())
                listener.close()
        for conn in list(self._connections):
            conn.shutdown()
        left = {task for task in self._tasks if not task.done()}
        if left:
            count = len(self._running)
            log.log(logging.INFO if count else logging.DEBUG,
                    "shutting down: waiting up to %gs for %d request%s in progress (a second "
                    "SIGINT cuts %s)", self.shutdown_timeout, count, "" if count == 1 else "s",
                    "it" if count == 1 else "them")
            drained = loop.create_future()

            def one_done(task: asyncio.Task) -> None:
                left.discard(task)
                if not left and not drained.done():
                    drained.set_result(None)
            for task in left:
                task.add_done_callback(one_done)
            forced = loop.create_task(self._force.wait())
            await asyncio.wait((drained, forced), timeout=self.shutdown_timeout,
                               return_when=asyncio.FIRST_COMPLETED)
            forced.cancel()
            if left:
                why = ("a second interrupt" if self._force.is_set()
                       else f"the {self.shutdown_timeout:g}s drain limit")
                for scope in list(self._running.values()):
                    log.warning("%s: cutting %s", why, _describe(scope))
                for task in list(left):
                    task.cancel()
                # the cancelled requests unwind (and are counted) before the lifespan ends
                await asyncio.wait(set(left), timeout=1.0)
        if self._sweeper is not None:
            self._sweeper.cancel()
        if self._lifespan is not None:
            self._force.clear()
            ending = loop.create_task(self._lifespan.shutdown())
            forced = loop.create_task(self._force.wait())
            await asyncio.wait((ending, forced), return_when=asyncio.FIRST_COMPLETED)
            forced.cancel()
            if not ending.done():
                log.warning("an interrupt cut the application's lifespan shutdown")
                ending.cancel()
                if self._lifespan.task is not None:
                    self._lifespan.task.cancel()

    async def serve(self, *, install_signals: bool = True,
                    ready: Callable[[Server], None] | None = None,
                    ignore_late_signals: bool = False) -> None:
        """Serves until SIGINT or SIGTERM (or `request_stop`). The handlers stay in place
        until the end: a second SIGINT cuts the drain short instead of raising
        KeyboardInterrupt through the shutdown. With `ignore_late_signals`, SIGINT and
        SIGTERM are ignored once the server has stopped instead of getting their default
        handlers back: a worker, whose parent decides when it exits, hears a terminal's
        Ctrl+C twice (from the terminal and from the parent), and the late one must not
        end it with a KeyboardInterrupt on its way out."""
        loop = asyncio.get_running_loop()
        self._stop = asyncio.Event()
        self._force = asyncio.Event()
        installed = []
        if install_signals:
            for sig in (signal.SIGINT, signal.SIGTERM):
                try:
                    loop.add_signal_handler(sig, self._signalled, sig)
                    installed.append(sig)
                except (NotImplementedError, RuntimeError, ValueError):
                    pass
            if self.ssl_reload is not None:
                loop.add_signal_handler(signal.SIGHUP, self.reload_tls)
                installed.append(signal.SIGHUP)
                # a worker holds SIGHUP back until now: one that came meanwhile is taken now
                signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGHUP})
        try:
            await self.start()
            try:
                if ready is not None:
                    ready(self)
                await self._stop.wait()
            finally:
                await self.shutdown()
        finally:
            # a signal arriving while the handlers are swapped waits until they are in place
            signal.pthread_sigmask(signal.SIG_BLOCK, installed)
            try:
                for sig in installed:
                    loop.remove_signal_handler(sig)
                    if ignore_late_signals and sig != signal.SIGHUP:
                        signal.signal(sig, signal.SIG_IGN)
            finally:
                signal.pthread_sigmask(signal.SIG_UNBLOCK, installed)


def _describe(scope: dict) -> str:
    """A request, as a warning names it."""
    client = scope.get("client")
    who = f"{client[0]}:{client[1]}" if client else "a Unix-socket client"
    target = scope["path"] + ("?" + scope["query_string"].decode("latin-1")
                              if scope["query_string"] else "")
    return f'"{scope["method"]} {target} HTTP/{scope["http_version"]}" from {who}'


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
