"""Which proxy a request goes through, and how: the choice is `_quillet.ProxyMatcher`'s (built
from the environment's HTTP_PROXY, HTTPS_PROXY, ALL_PROXY and NO_PROXY, or from what the client
was given), remembered per origin; a `Route` says how the pool reaches the origin through it.

- `forward`: an http:// proxy for an http:// URL. The connection is to the proxy, and each
  request names its URL in full (RFC 9112 section 3.2.2), with Proxy-Authorization.
- `tunnel`: an http:// proxy for an https:// URL. A CONNECT request opens a tunnel to the
  origin (RFC 9110 section 9.3.6), and TLS runs through it to the origin.
- `socks5`, `socks5h`: a SOCKS5 proxy for either scheme (RFC 1928); socks5h lets the proxy
  resolve the host name.
"""

from __future__ import annotations

import os
from collections.abc import Mapping

from _quillet import ProxyIntercept, ProxyMatcher, uri_parts

from ._exceptions import UnsupportedProtocol

__all__ = ["Route", "Proxies", "ProxyTypes"]

ProxyTypes = str | Mapping[str, str | None]

_DEFAULT_PORTS = {"http": 80, "socks5": 1080, "socks5h": 1080}
_SPOKEN = ("http", "socks5", "socks5h")
_ENV_NAMES = ("HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "http_proxy", "https_proxy",
              "all_proxy")
_MAPPING_KEYS = ("all", "http", "https", "no")


class Route:
    """How one origin is reached through one proxy."""

    __slots__ = ("kind", "uri", "host", "port", "auth", "credentials")

    def __init__(self, kind: str, uri: str, host: str, port: int, auth: str | None,
                 credentials: tuple[str, str] | None) -> None:
        self.kind = kind                # "forward", "tunnel", "socks5" or "socks5h"
        self.uri = uri                  # the proxy, without its credentials: part of the pool key
        self.host = host                # the proxy's host and port
        self.port = port
        self.auth = auth                # the Proxy-Authorization value (HTTP proxies)
        self.credentials = credentials  # (user, password), percent-decoded (SOCKS proxies)

    @property
    def address(self) -> str:
        return f"[{self.host}]:{self.port}" if ":" in self.host else f"{self.host}:{self.port}"

    def __repr__(self) -> str:
        return f"<Route {self.kind} via {self.uri}>"


def _route(intercept: ProxyIntercept, scheme: str, tunnel: bool = False) -> Route:
    uri = intercept.uri
    proxy_scheme, host, port, _ = uri_parts(uri)
    assert host is not None  # the matcher hands out only URIs with a host
    if proxy_scheme not in _SPOKEN:
        raise UnsupportedProtocol(f"the proxy {uri} speaks {proxy_scheme}, which this client "
                                  f"does not (it speaks {', '.join(_SPOKEN)})")
    if port is None:
        port = _DEFAULT_PORTS[proxy_scheme]
    if proxy_scheme == "http":
        return Route("tunnel" if tunnel or scheme == "https" else "forward", uri, host, port,
                     intercept.basic_auth(), None)
    return Route(proxy_scheme, uri, host, port, None, intercept.raw_auth())


def _check(text: str, what: str) -> None:
    intercept = ProxyMatcher.from_parts(all=text).intercept("http://check.invalid/")
    if intercept is None:
        raise ValueError(f"{what} is not a usable proxy URL: {text!r}")
    _route(intercept, "http")  # UnsupportedProtocol for a scheme this client does not speak


class Proxies:
    """The client's proxy choice, per origin. Build with `Proxies.of(proxy, trust_env)`."""

    __slots__ = ("matcher", "routes", "tunnel")

    def __init__(self, matcher: ProxyMatcher, tunnel: bool = False) -> None:
        self.matcher = matcher
        self.routes: dict[tuple, Route | None] = {}
        self.tunnel = tunnel  # an HTTP proxy opens a tunnel for http:// URLs too

    def tunnelling(self) -> Proxies:
        """The same choice, with an HTTP proxy asked for a CONNECT tunnel whatever the scheme:
        what a WebSocket needs, whose connection goes on as the origin's own after its
        handshake."""
        return Proxies(self.matcher, True)

    @classmethod
    def of(cls, proxy: ProxyTypes | None, trust_env: bool) -> Proxies | None:
        """The proxies of a client given `proxy` (a URL for every request, or a mapping with
        the keys "all", "http", "https" and "no"), or, without one and with `trust_env`, the
        environment's; None when no request goes through a proxy."""
        if proxy is None:
            if not trust_env or not any(os.environ.get(name) for name in _ENV_NAMES):
                return None
            return cls(ProxyMatcher.from_env())
        if isinstance(proxy, str):
            _check(proxy, "proxy")
            return cls(ProxyMatcher.from_parts(all=proxy))
        if not isinstance(proxy, Mapping):
            raise TypeError(f"proxy must be a URL or a mapping, not {type(proxy).__name__}")
        unknown = set(proxy) - set(_MAPPING_KEYS)
        if unknown:
            raise ValueError(f"unknown proxy keys {sorted(unknown)}: the keys are "
                             f"{', '.join(_MAPPING_KEYS)}")
        for key in ("all", "http", "https"):
            text = proxy.get(key)
            if text:
                _check(text, f"proxy[{key!r}]")
        return cls(ProxyMatcher.from_parts(**{key: proxy.get(key) for key in _MAPPING_KEYS}))

    def route(self, url) -> Route | None:
        """The route to `url`'s origin; None for a direct connection."""
        origin = url.origin
        try:
            return self.routes[origin]
        except KeyError:
            pass
        intercept = self.matcher.intercept(url.raw)
        route = None if intercept is None else _route(intercept, url.scheme, self.tunnel)
        if len(self.routes) >= 1024:
            self.routes.clear()
        self.routes[origin] = route
        return route
