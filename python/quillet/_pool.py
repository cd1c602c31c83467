"""The connection pool: connections grouped by origin (scheme, host, port) and the proxy they
go through, reused, bounded, expired and closed.

A request asks the pool for a connection, in this order:

1. a stream slot on an HTTP/2 connection of its origin (`try_claim_slot`);
2. an idle HTTP/1.1 connection of its origin, the most recently used first (its idle watcher
   has already dropped any that the server closed);
3. permission to open a new connection, within `max_connections` and
   `max_connections_per_origin` (an idle connection of another origin is closed to make
   room). While a connection that may turn out to be HTTP/2 is being opened for the origin
   (TLS whose ALPN has not answered yet, or prior knowledge), or an HTTP/2 connection still
   waits for the server's SETTINGS, requests wait for it rather than open their own;
4. otherwise it waits, first come first served, until the pool timeout.

Whatever frees capacity (a released connection, a freed stream slot, a closed connection, a
connection that turned out HTTP/1.1) serves the waiters at once, handing each the connection
it claimed for it, so that nobody who arrives later takes it first.
"""

from __future__ import annotations

import asyncio
import ssl as _ssl
from collections import deque
from typing import Any

from ._connect import CertTypes, VerifyTypes, client_ssl_context, open_tunnel
from ._exceptions import (
    ClientClosedError, ConnectError, ConnectTimeout, PoolTimeout, ProxyError)
from ._h1client import ClientStream, H1Connection
from ._stream import time_out
from ._h2client import ClientConnection
from ._models import Limits, Request, Timeout
from ._proxy import Proxies, Route
from ._urls import URL

__all__ = ["ConnectionPool", "IDEMPOTENT_METHODS"]

# Methods whose request may be sent twice with the effect of once (RFC 9110 section 9.2.2).
IDEMPOTENT_METHODS = frozenset({"GET", "HEAD", "OPTIONS", "PUT", "DELETE", "TRACE"})

# A waiter's grants to open a new connection (counted already): one that may turn out to speak
# HTTP/2, and one that will not.
_OPEN: Any = object()
_OPEN_H2: Any = object()

Connection = H1Connection | ClientConnection


class _Origin:
    """The pool's record of one origin."""

    __slots__ = ("key", "route", "idle", "h2", "count", "opening_h2", "protocol", "waiters")

    def __init__(self, key: tuple, route: Route | None) -> None:
        self.key = key                          # (scheme, host, port[, proxy])
        self.route = route                      # the proxy's, or None: direct
        self.idle: list[H1Connection] = []      # oldest first
        self.h2: list[ClientConnection] = []
        self.count = 0                          # connections open or being opened
        self.opening_h2 = 0                     # of those being opened, the may-be-HTTP/2 ones
        self.protocol: str | None = None        # what the last connection spoke: "h1", "h2"
        self.waiters: deque = deque()           # (sequence, future)


class ConnectionPool:
    """The connections of one client. `http2`: None offers HTTP/2 over TLS by ALPN and speaks
    HTTP/1.1 in the clear; True also speaks HTTP/2 with prior knowledge to http:// origins;
    False never speaks HTTP/2. `proxies`: the client's proxy choice (None: every connection
    is direct)."""

    def __init__(self, *, limits: Limits, verify: VerifyTypes = True,
                 cert: CertTypes | None = None, http2: bool | None = None,
                 proxies: Proxies | None = None, user_agent: bytes | None = None) -> None:
        self.limits = limits
        self.http2 = http2
        self.verify = verify
        self.cert = cert
        self.proxies = proxies
        self.user_agent = user_agent
        self.origins: dict[tuple, _Origin] = {}
        self.connections: set[Connection] = set()
        self.total = 0         # connections open or being opened
        self.idle_total = 0    # idle HTTP/1.1 connections
        self.queued = 0        # entries in the waiter queues (some may be done already)
        self.closed = False
        self.connections_opened = 0
        self._ssl: _ssl.SSLContext | None = None
        if cert is not None or not isinstance(verify, (bool, _ssl.SSLContext)):
            self.ssl_context()  # a file that cannot be used fails the client's construction
        self._seq = 0
        self._serving = False
        self._serve_again = False
        self._sweep: asyncio.TimerHandle | None = None
        self._closing: set[asyncio.Task] = set()

    # getting a connection

    async def acquire(self, request: Request, timeout: Timeout, fresh: bool = False
                      ) -> Connection:
        """A connection claimed for one exchange: an HTTP/1.1 connection whose exchange has
        begun, or an HTTP/2 connection with a stream slot claimed. `fresh`: a new one."""
        if self.closed:
            raise ClientClosedError("the client has been closed", request=request)
        url = request.url
        key, route = self._key(url)
        origin = self.origins.get(key)
        if origin is None:
            origin = self.origins[key] = _Origin(key, route)
        got = None if fresh else self._take(origin)
        if got is None:
            got = self._may_open(origin, fresh)
        deadline = None
        while got is None or got is _OPEN or got is _OPEN_H2:
            if got is not None:
                return await self._open(origin, url, request, timeout.connect, got is _OPEN_H2)
            if deadline is None and timeout.pool is not None:
                deadline = asyncio.get_running_loop().time() + timeout.pool
            got = await self._wait(origin, request, deadline, timeout.pool)
            if got is not None and got is not _OPEN and got is not _OPEN_H2 and not got.http2 \
                    and got.is_dead():
                got.end_exchange()  # it died on the way to us
                self.connection_lost(got)
                got = None
            if got is None:
                got = self._take(origin) or self._may_open(origin, fresh)
        return got

    def take_idle(self, request: Request) -> Connection | None:
        """A connection of the request's origin that is free at once (an HTTP/2 stream slot,
        or an idle HTTP/1.1 connection), or None: `acquire` then does the rest."""
        if self.closed:
            return None
        url = request.url
        origin = self.origins.get(url.origin if self.proxies is None else self._key(url)[0])
        return None if origin is None else self._take(origin)

    def _key(self, url: URL) -> tuple[tuple, Route | None]:
        """The pool's key for a request's connections, and the proxy route they take."""
        key = url.origin
        if self.proxies is None:
            return key, None
        route = self.proxies.route(url)
        return (key, None) if route is None else ((*key, route.uri), route)

    def _take(self, origin: _Origin) -> Connection | None:
        for conn in origin.h2:
            if conn.usable and conn.try_claim_slot():
                return conn
        idle = origin.idle
        while idle:
            conn = idle.pop()
            self.idle_total -= 1
            if not conn.is_dead() and conn.try_begin_exchange():
                conn.disarm_idle_watcher()
                return conn
            conn.close()
            self.connection_lost(conn)
        return None

    def _may_open(self, origin: _Origin, fresh: bool):
        """_OPEN or _OPEN_H2 (and the connection counted) when a new connection may be opened
        now."""
        if not fresh and (origin.opening_h2 or any(not c.settings_seen for c in origin.h2)):
            return None  # wait for that connection rather than open another
        per_origin = self.limits.max_connections_per_origin
        if per_origin is not None and origin.count >= per_origin:
            return None
        limit = self.limits.max_connections
        if limit is not None and self.total >= limit and not self._evict_idle():
            return None
        origin.count += 1
        self.total += 1
        if self._may_speak_h2(origin):
            origin.opening_h2 += 1
            return _OPEN_H2
        return _OPEN

    def _may_speak_h2(self, origin: _Origin) -> bool:
        if origin.route is not None and origin.route.kind == "forward":
            return False  # requests to a forward proxy go one by one, as HTTP/1.1
        if origin.key[0] == "https":
            return self.http2 is not False and origin.protocol != "h1"
        return self.http2 is True

    def _evict_idle(self) -> bool:
        """Closes the idle connection unused longest, of any origin; False when none is."""
        oldest, since = None, 0.0
        for origin in self.origins.values():
            if origin.idle and (oldest is None or origin.idle[0].idle_since < since):
                oldest, since = origin.idle[0], origin.idle[0].idle_since
            for conn in origin.h2:
                if conn.num_open_streams == 0 and (oldest is None or conn.last_used < since):
                    oldest, since = conn, conn.last_used
        if oldest is None:
            return False
        oldest.close()
        self.connection_lost(oldest)
        return True

    async def _wait(self, origin: _Origin, request: Request, deadline: float | None,
                    pool_timeout: float | None):
        loop = asyncio.get_running_loop()
        waiter = loop.create_future()
        self._seq += 1
        origin.waiters.append((self._seq, waiter))
        self.queued += 1
        timer = None if deadline is None else loop.call_at(deadline, time_out, waiter)
        try:
            return await waiter
        except TimeoutError:
            raise PoolTimeout(f"no connection came free within the pool timeout of "
                              f"{pool_timeout} s", request=request) from None
        except BaseException:
            if waiter.done() and not waiter.cancelled() and waiter.exception() is None:
                self._give_back(origin, waiter.result())
            raise
        finally:
            if timer is not None:
                timer.cancel()

    def _give_back(self, origin: _Origin, got) -> None:
        """A grant its waiter will not use (it was cancelled meanwhile)."""
        if got is _OPEN or got is _OPEN_H2:
            if got is _OPEN_H2:
                origin.opening_h2 -= 1
            self._uncount(origin)
        elif got.http2:
            got.release_slot_count()
            self.slots_freed(got)
        else:
            got.end_exchange()
            self.release(got)

    def _uncount(self, origin: _Origin) -> None:
        origin.count -= 1
        self.total -= 1
        if origin.count == 0 and not origin.waiters and self.origins.get(origin.key) is origin:
            del self.origins[origin.key]
        if self.queued:
            self._serve_waiters()

    # opening

    def ssl_context(self) -> _ssl.SSLContext:
        ctx = self._ssl
        if ctx is None:
            ctx = self._ssl = client_ssl_context(self.verify, self.cert, self.http2)
        return ctx

    async def _open(self, origin: _Origin, url: URL, request: Request,
                    connect_timeout: float | None, may_h2: bool) -> Connection:
        try:
            conn = await self._connect(origin, url, request, connect_timeout)
        except BaseException:
            if may_h2:
                origin.opening_h2 -= 1
            self._uncount(origin)
            raise
        if may_h2:
            origin.opening_h2 -= 1
        if self.closed:
            conn.close()
            self._uncount(origin)
            raise ClientClosedError("the client was closed while the connection was opened",
                                    request=request)
        conn.in_pool = True
        self.connections.add(conn)
        if conn.http2:
            origin.protocol = "h2"
            origin.h2.append(conn)
            conn.try_claim_slot()  # the first request's: the stream limit is 1 until SETTINGS
        else:
            origin.protocol = "h1"
            conn.try_begin_exchange()
        if self.queued:
            self._serve_waiters()  # they may open their own now, or wait for its slots
        return conn

    async def _connect(self, origin: _Origin, url: URL, request: Request,
                       connect_timeout: float | None) -> Connection:
        loop = asyncio.get_running_loop()
        tls = url.scheme == "https"
        ctx = self.ssl_context() if tls else None
        route = origin.route
        hostname = url.host if tls else None
        try:
            async with asyncio.timeout(connect_timeout):
                if route is None:
                    transport, stream = await loop.create_connection(
                        lambda: ClientStream(loop, tls), url.host, url.port, ssl=ctx,
                        server_hostname=hostname)
                elif route.kind == "forward":
                    transport, stream = await loop.create_connection(
                        lambda: ClientStream(loop, False), route.host, route.port)
                else:
                    sock = await open_tunnel(loop, route, url.host, url.port, self.user_agent)
                    transport, stream = await loop.create_connection(
                        lambda: ClientStream(loop, tls), sock=sock, ssl=ctx,
                        server_hostname=hostname)
        except TimeoutError:
            via = "" if route is None else f" through the proxy {route.address}"
            raise ConnectTimeout(f"no connection to {url.host}:{url.port}{via} within the "
                                 f"connect timeout of {connect_timeout} s",
                                 request=request) from None
        except ProxyError as exc:
            exc.request = request
            raise
        except OSError as exc:
            via = "" if route is None else f" through the proxy {route.address}"
            raise ConnectError(f"cannot connect to {url.host}:{url.port}{via}: {exc}",
                               request=request) from exc
        self.connections_opened += 1
        if tls:
            h2 = transport.get_extra_info("ssl_object").selected_alpn_protocol() == "h2"
        else:
            h2 = self.http2 is True and (route is None or route.kind != "forward")
        if h2:
            return ClientConnection.attach(stream, url.host_header, url.scheme, self, origin.key)
        forward = route.auth or "" if route is not None and route.kind == "forward" else None
        return H1Connection.attach(transport, stream, self, origin.key, forward)

    # what frees capacity

    def release(self, conn: H1Connection) -> None:
        """An HTTP/1.1 connection whose exchange has ended and which may carry another."""
        origin = self.origins.get(conn.origin)
        if self.closed or origin is None or not conn.in_pool:
            conn.close()
            self.connection_lost(conn)
            return
        loop = conn.stream._loop
        conn.idle_since = loop.time()
        origin.idle.append(conn)
        self.idle_total += 1
        conn.arm_idle_watcher()
        if self.queued:
            self._serve_waiters()
        keep = self.limits.max_keepalive_connections
        if keep is not None and self.idle_total > keep and conn in origin.idle:
            conn.close()
            self.connection_lost(conn)
        elif self._sweep is None and self.limits.keepalive_expiry is not None:
            self._sweep = loop.call_later(self.limits.keepalive_expiry, self._expire_idle)

    def slots_freed(self, conn: ClientConnection) -> None:
        if self.queued:
            self._serve_waiters()
        if conn.num_open_streams == 0 and self._sweep is None and conn.in_pool \
                and self.limits.keepalive_expiry is not None:
            self._sweep = conn.loop.call_later(self.limits.keepalive_expiry, self._expire_idle)

    def connection_lost(self, conn: Connection) -> None:
        """A connection that leaves the pool (closed, failed, or done for new work). May be
        called more than once for the same connection."""
        if not conn.in_pool:
            return
        conn.in_pool = False
        self.connections.discard(conn)
        origin = self.origins.get(conn.origin)
        if conn.http2:
            if origin is not None and conn in origin.h2:
                origin.h2.remove(conn)
            task = conn.loop.create_task(conn.aclose())
            self._closing.add(task)
            task.add_done_callback(self._closing.discard)
        elif origin is not None and conn in origin.idle:
            origin.idle.remove(conn)
            self.idle_total -= 1
        if origin is not None:
            self._uncount(origin)

    def _serve_waiters(self) -> None:
        """Hands out what can be had now to the waiters, oldest first."""
        if self._serving:
            self._serve_again = True
            return
        self._serving = True
        try:
            again = True
            while again:
                self._serve_again = False
                waiting = [origin for origin in self.origins.values() if origin.waiters]
                if len(waiting) > 1:
                    waiting.sort(key=lambda origin: origin.waiters[0][0])
                for origin in waiting:
                    waiters = origin.waiters
                    while waiters:
                        waiter = waiters[0][1]
                        if waiter.done():
                            waiters.popleft()
                            self.queued -= 1
                            continue
                        got = self._take(origin) or self._may_open(origin, False)
                        if got is None:
                            break
                        waiters.popleft()
                        self.queued -= 1
                        waiter.set_result(got)
                again = self._serve_again
        finally:
            self._serving = False

    def _expire_idle(self) -> None:
        self._sweep = None
        if self.closed:
            return
        expiry = self.limits.keepalive_expiry
        loop = asyncio.get_running_loop()
        limit = loop.time() - expiry
        left = False
        for origin in list(self.origins.values()):
            while origin.idle and origin.idle[0].idle_since <= limit:
                conn = origin.idle[0]
                conn.close()
                self.connection_lost(conn)
            for conn in list(origin.h2):
                if conn.num_open_streams == 0 and conn.last_used <= limit:
                    conn.close()
                    self.connection_lost(conn)
            left = left or bool(origin.idle or origin.h2)
        if left:
            self._sweep = loop.call_later(expiry / 2, self._expire_idle)

    # closing

    async def aclose(self) -> None:
        """Closes every connection. Requests waiting for a connection, and requests in flight,
        fail with ClientClosedError; nothing is cancelled."""
        if self.closed:
            return
        self.closed = True
        if self._sweep is not None:
            self._sweep.cancel()
            self._sweep = None
        for origin in self.origins.values():
            for _, waiter in origin.waiters:
                if not waiter.done():
                    waiter.set_exception(ClientClosedError(
                        "the client was closed while the request waited for a connection"))
            origin.waiters.clear()
        self.queued = 0
        for conn in list(self.connections):
            if not conn.http2:
                transport = conn.fail(ClientClosedError("the client was closed"))
                conn.disarm_idle_watcher()
                if transport is not None:
                    transport.close()
            self.connection_lost(conn)  # an HTTP/2 connection's closing task starts here
        if self._closing:
            await asyncio.gather(*self._closing, return_exceptions=True)

    def protocol_of(self, url: URL) -> str | None:
        key = url.origin
        route = None if self.proxies is None else self.proxies.route(url)
        if route is not None:
            key = (*key, route.uri)
        origin = self.origins.get(key)
        return None if origin is None else origin.protocol

