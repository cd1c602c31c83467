"""The first client API, kept for the code written against it: `Client` talks to one server
(given as host and port, or as a URL), and its `Response` has `status`, `body` and `reused`.
It is a thin layer over `quillet.AsyncClient` with a pool of one connection; new code should
use `AsyncClient` itself.

    async with Client("127.0.0.1", 8000) as client:
        response = await client.request("POST", "/echo", body=b"hi")
        print(response.status, response.headers, response.body)
"""

from __future__ import annotations

import ssl as _ssl
from collections.abc import AsyncIterable, Iterable
from dataclasses import dataclass

from _quillet import ConnectionClosedError, HeaderMap

from ._client import AsyncClient
from ._exceptions import ConnectError, TimeoutException, TransportError
from ._models import Limits
from ._urls import parse_url

__all__ = ["Client", "Response"]


@dataclass
class Response:
    status: int
    headers: HeaderMap
    body: bytes
    trailers: HeaderMap | None = None
    reused: bool = False  # the request went out on a connection that served an earlier one
    http_version: str = "1.1"


class Client:
    """One server, given as `host, port` or as a URL (`http://host:port`, `https://host`).

    `http2`: over plain TCP, True speaks HTTP/2 with prior knowledge. Over TLS ALPN offers
    both protocols and the server picks, unless `http2` is False (HTTP/1.1 only). `ssl`: True
    (the default for https://) verifies the server against the system's trust store; an
    `ssl.SSLContext` is used as given, except that its ALPN protocols are set by the client.
    Errors of the connection are raised as `_quillet.ConnectionClosedError`, those of opening
    it as the OSError (ssl.SSLError included) that stopped it, and timeouts as TimeoutError.
    It connects to the server directly, whatever proxies the environment names.
    `timeout` is each of the four timeouts of `AsyncClient`."""

    def __init__(self, host: str, port: int | None = None, *, timeout: float = 30.0,
                 http2: bool | None = None, ssl: _ssl.SSLContext | bool | None = None) -> None:
        if "://" in host:
            url = parse_url(host)
            host, port = url.host, port or url.port
            if ssl is None:
                ssl = url.scheme == "https"
        if port is None:
            raise ValueError("no port given")
        self.host = host
        self.port = port
        self.timeout = timeout
        self.http2 = http2
        authority = f"[{host}]" if ":" in host else host
        self._base = parse_url(f"{'https' if ssl else 'http'}://{authority}:{port}")
        self._client = AsyncClient(
            base_url=self._base, timeout=timeout, http2=http2,
            verify=ssl if isinstance(ssl, _ssl.SSLContext) else True, trust_env=False,
            limits=Limits(max_connections=1, max_keepalive_connections=1))

    @property
    def protocol(self) -> str | None:
        """"h2" or "http/1.1"; None over TLS until the first handshake has told."""
        known = self._client.protocol_of(self._base)
        if known is not None:
            return "h2" if known == "h2" else "http/1.1"
        if self._base.scheme == "https":
            return None
        return "h2" if self.http2 else "http/1.1"

    @property
    def connections_opened(self) -> int:
        return self._client.connections_opened

    async def __aenter__(self) -> Client:
        return self

    async def __aexit__(self, *exc_info) -> None:
        await self.aclose()

    async def request(self, method: str, target: str, *, headers=None,
                      body: bytes | Iterable[bytes] | AsyncIterable[bytes] | None = None,
                      ) -> Response:
        """Sends one request and reads its whole response. A `bytes` body goes out with a
        content-length; any other iterable of chunks goes out chunked."""
        try:
            response = await self._client.request(method, target, headers=headers,
                                                  content=body)
        except ConnectError as exc:
            if isinstance(exc.__cause__, OSError):
                raise exc.__cause__ from None
            raise ConnectionClosedError(exc.args[0]) from exc
        except TimeoutException as exc:
            raise TimeoutError(str(exc)) from exc
        except TransportError as exc:
            raise ConnectionClosedError(exc.args[0]) from exc
        return Response(response.status_code, response.headers, response.content,
                        response.trailers, response._reused,
                        "2" if response.http_version == "HTTP/2" else "1.1")

    async def aclose(self) -> None:
        await self._client.aclose()
