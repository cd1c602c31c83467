"""`AsyncClient`: requests built from what the caller gives, sent through the connection pool,
redirects followed when asked."""

from __future__ import annotations

import base64
import time
from collections.abc import AsyncIterable, Iterable, Mapping
from typing import Any
from urllib.parse import unquote

import _quillet
from _quillet import HeaderMap

from ._apptransport import AppTransport
from ._connect import CertTypes, VerifyTypes
from ._content import encode_body
from ._cookies import CookieJar, CookieTypes, add_cookies, make_jar, store_cookies
from ._decoding import ACCEPT_ENCODING, DEFAULT_MAX_RATIO
from ._exceptions import (
    LocalProtocolError, RequestError, TooManyRedirects, TransportError, UnsupportedProtocol)
from ._models import DEFAULT_LIMITS, DEFAULT_TIMEOUT, Limits, Request, Response, Timeout, TimeoutTypes
from ._pool import IDEMPOTENT_METHODS, ConnectionPool
from ._proxy import Proxies, ProxyTypes
from ._redirects import redirect_request
from ._urls import URL, add_params, merge_url, parse_url
from ._wsclient import WebSocketConnect

__all__ = ["AsyncClient"]

_UNSET: Any = object()
USER_AGENT = f"quillet/{_quillet.__version__}"
# Methods that carry a body by nature: without one they still say so (content-length: 0).
_BODY_METHODS = frozenset({"POST", "PUT", "PATCH"})
# Hosts whose default fields are kept ready (AsyncClient._fields_for).
_FIELDS_KEPT = 64
# A redirect's body is read and dropped up to this size; past it the connection is closed.
_REDIRECT_BODY_LIMIT = 1 << 20

HeaderTypes = HeaderMap | Mapping[str, str | bytes] | Iterable[tuple[str | bytes, str | bytes]]
ParamTypes = Mapping[str, Any] | Iterable[tuple[str, Any]] | str
ContentTypes = bytes | str | AsyncIterable[bytes] | Iterable[bytes]
AuthTypes = tuple[str | bytes, str | bytes]


def _pairs(headers: HeaderTypes) -> Iterable:
    return headers.items() if hasattr(headers, "items") else headers


def _basic(user: str | bytes, password: str | bytes) -> bytes:
    """An Authorization value for Basic authentication (RFC 7617), str parts in UTF-8."""
    if isinstance(user, str):
        user = user.encode()
    if isinstance(password, str):
        password = password.encode()
    return b"Basic " + base64.b64encode(user + b":" + password)


def _auth_field(auth: AuthTypes) -> bytes:
    try:
        user, password = auth
    except (TypeError, ValueError):
        raise TypeError("auth is a (user, password) tuple") from None
    return _basic(user, password)


class AsyncClient:
    """An HTTP client with a connection pool, over HTTP/1.1 and HTTP/2.

        async with AsyncClient(base_url="https://example.com", timeout=10) as client:
            response = await client.get("/items", params={"page": 2})
            response.raise_for_status()
            items = response.json()

    - `base_url`: relative URLs are appended to its path.
    - `headers`, `params`: sent with every request (a request's own win for the same name).
    - `auth`: (user, password), sent with Basic authentication on every request whose URL
      has no credentials of its own. Neither it nor a URL's credentials follow a redirect to
      another origin.
    - `cookies`: a mapping of cookies sent with every request, or an
      `http.cookiejar.CookieJar` to keep the client's cookies in. Either way the client keeps
      the cookies responses set and sends each request those its URL matches (`cookies`).
    - `timeout`: a `Timeout`, or one number (or None) for all four; 5 s by default.
    - `follow_redirects`, `max_redirects` (20): redirects are returned as they are unless
      asked for.
    - `limits`: the pool's bounds (`Limits`).
    - `http2`: None (the default) offers HTTP/2 over TLS by ALPN; True also speaks it with
      prior knowledge to http:// URLs; False speaks only HTTP/1.1.
    - `verify`: True checks the server's certificate against the system's trust store; False
      does not; a path names a CA bundle (a PEM file, or a directory of hashed certificates)
      to check against; an `ssl.SSLContext` is used as given (its ALPN protocols are set by
      the client).
    - `cert`: a client certificate: a PEM file with the certificate and its key, or
      (certificate file, key file[, key password]).
    - `proxy`: a proxy URL for every request (http://, socks5:// or socks5h://, with
      credentials as user information), or a mapping with the keys "all", "http", "https"
      and "no" (hosts that go direct, as NO_PROXY writes them). Without one, and with
      `trust_env` (the default), HTTP_PROXY, HTTPS_PROXY, ALL_PROXY and NO_PROXY (or their
      lower-case forms) choose.
    - `max_decoded_ratio` (100): past 10 MiB, how many times its encoded size a response body
      may grow by its Content-Encoding before it is refused (DecodingError); None: no bound.
    - `app`: an ASGI application that answers every request in this process, with no socket
      (for tests: `AsyncClient(app=app, base_url="http://testserver")`). What it raises is
      raised to the caller; a response's body ends when the application's call has."""

    def __init__(self, *, base_url: str | URL | None = None, headers: HeaderTypes | None = None,
                 params: ParamTypes | None = None, timeout: TimeoutTypes = DEFAULT_TIMEOUT,
                 follow_redirects: bool = False, max_redirects: int = 20,
                 limits: Limits = DEFAULT_LIMITS, http2: bool | None = None,
                 verify: VerifyTypes = True, cert: CertTypes | None = None,
                 proxy: ProxyTypes | None = None, trust_env: bool = True,
                 max_decoded_ratio: float | None = DEFAULT_MAX_RATIO,
                 auth: AuthTypes | None = None, cookies: CookieTypes | None = None,
                 app: Any = None) -> None:
        self.base_url = None if base_url is None else URL(base_url)
        self._app = None if app is None else AppTransport(app)
        self._auth = None if auth is None else _auth_field(auth)
        # made when a first cookie is given, set or asked for, so that a client without
        # cookies does not ask a jar on every request
        self._jar: CookieJar | None = None if cookies is None else make_jar(cookies)
        # The default fields, with a place kept for Host at the front (RFC 9110 section 7.2).
        self._headers = HeaderMap([("host", ""), ("accept", "*/*"),
                                   ("accept-encoding", ACCEPT_ENCODING),
                                   ("user-agent", USER_AGENT)])
        for name, value in _pairs(headers or ()):
            self._headers[name] = value
        # The default fields with each host's Host filled in (the defaults never change), so
        # that a request's fields are one copy.
        self._fields_for: dict[str, HeaderMap] = {}
        self.params = params
        self.timeout = Timeout.of(timeout)
        self.follow_redirects = follow_redirects
        self.max_redirects = max_redirects
        self.max_decoded_ratio = max_decoded_ratio
        self.trust_env = trust_env
        self._pool = ConnectionPool(limits=limits, verify=verify, cert=cert, http2=http2,
                                    proxies=Proxies.of(proxy, trust_env),
                                    user_agent=USER_AGENT.encode())

    @property
    def headers(self) -> HeaderMap:
        """The fields sent with every request (a copy; Host is set per request)."""
        fields = HeaderMap(self._headers)
        del fields["host"]
        return fields

    @property
    def cookies(self) -> CookieJar:
        """The client's cookies: those given and those responses set."""
        if self._jar is None:
            self._jar = make_jar(None)
        return self._jar

    @property
    def is_closed(self) -> bool:
        return self._pool.closed

    # building

    def build_request(self, method: str, url: str | URL, *, params: ParamTypes | None = None,
                      headers: HeaderTypes | None = None, content: ContentTypes | None = None,
                      data: Any = None, files: Any = None, json: Any = _UNSET,
                      auth: AuthTypes | None = _UNSET) -> Request:
        """The request `send` would send: the client's defaults and the request's own parts.
        Authorization comes from `headers`, else `auth`, else the URL's credentials, else the
        client's `auth`; `auth=None` sends none but the URL's."""
        method = method.upper()
        base = self.base_url
        if base is not None or isinstance(url, URL):
            url = merge_url(base, url)
        else:
            url = parse_url(url)
        if self.params:
            url = add_params(url, self.params)
        if params:
            url = add_params(url, params)
        template = self._fields_for.get(url.host_header)
        if template is None:
            if len(self._fields_for) >= _FIELDS_KEPT:
                self._fields_for.clear()
            template = self._fields_for[url.host_header] = HeaderMap(self._headers)
            template["host"] = url.host_header
        fields = HeaderMap(template)
        if headers:
            given = list(_pairs(headers))
            try:
                for name, _ in given:
                    if name in fields:
                        del fields[name]
                for name, value in given:
                    fields.add(name, value)
            except (ValueError, TypeError) as exc:
                raise LocalProtocolError(f"the request cannot be sent: {exc}") from exc
        if (auth is not _UNSET or url.userinfo or self._auth is not None) and (
                "authorization" not in fields):
            if auth is not _UNSET and auth is not None:
                fields["authorization"] = _auth_field(auth)
            elif url.userinfo:
                user, _, password = url.userinfo.partition(":")
                fields["authorization"] = _basic(unquote(user), unquote(password))
            elif auth is _UNSET:
                fields["authorization"] = self._auth
        body = stream = None
        if content is not None or data is not None or files or json is not _UNSET:
            body, stream, content_type = encode_body(content, data, files, json)
            if content_type is not None and "content-type" not in fields:
                fields["content-type"] = content_type
        if body is None and stream is None and method in _BODY_METHODS:
            body = b""
        return Request.built(method, url, fields, body, stream)

    # sending

    async def send(self, request: Request, *, stream: bool = False,
                   follow_redirects: bool = _UNSET, timeout: TimeoutTypes = _UNSET) -> Response:
        """Sends `request` and returns its response, with its body read unless `stream`."""
        timeout = self.timeout if timeout is _UNSET else Timeout.of(timeout)
        if follow_redirects is _UNSET:
            follow_redirects = self.follow_redirects
        pool = self._pool
        history: list[Response] | tuple = ()  # a list once there is a redirect
        while True:
            started = time.perf_counter()
            if self._jar is not None:
                add_cookies(self._jar, request)
            # One exchange. A request that failed on a reused connection before any byte of its
            # response came is sent once more on a new connection when its method is
            # idempotent (and any request the server says it never processed).
            fresh = False
            try:
                while True:
                    if self._app is not None:
                        response = await self._app.send(request, timeout, started)
                        break
                    conn = None if fresh else pool.take_idle(request)  # no wait, no coroutine
                    if conn is None:
                        conn = await pool.acquire(request, timeout, fresh)
                    reused = conn.requests_sent > 0 if conn.http2 else conn.served > 0
                    try:
                        response = await conn.send(request, timeout, started, not stream)
                        break
                    except TransportError as exc:
                        if fresh or pool.closed or not request.replayable or not (
                                exc.unprocessed or reused and exc.before_response
                                and request.method in IDEMPOTENT_METHODS):
                            raise
                        fresh = True
            except RequestError as exc:
                if exc.request is None:
                    exc.request = request
                raise
            response.max_decoded_ratio = self.max_decoded_ratio
            if "set-cookie" in response.headers:
                store_cookies(self.cookies, request, response)
            if history:
                response.history = history
            if not follow_redirects or not response.is_redirect:
                break
            try:
                if len(history) >= self.max_redirects:
                    raise TooManyRedirects(f"more than {self.max_redirects} redirects",
                                           request=request)
                next_request = redirect_request(request, response)
                next_request._jar_cookie = request._jar_cookie
                await self._drop_body(response)
            except BaseException:
                await response.aclose()
                raise
            history = [*history, response]
            request = next_request
        if not stream and response._content is None:
            try:
                await response.aread()
            except BaseException:
                await response.aclose()
                raise
        return response

    @staticmethod
    async def _drop_body(response: Response) -> None:
        """Reads a redirect's body (so its connection can be reused), up to a bound; one that
        came whole with its head is read already."""
        if response._content is None:
            size = 0
            async for chunk in response.aiter_raw():
                size += len(chunk)
                if size > _REDIRECT_BODY_LIMIT:
                    break
        await response.aclose()

    async def request(self, method: str, url: str | URL, *, params: ParamTypes | None = None,
                      headers: HeaderTypes | None = None, content: ContentTypes | None = None,
                      data: Any = None, files: Any = None, json: Any = _UNSET,
                      auth: AuthTypes | None = _UNSET, timeout: TimeoutTypes = _UNSET,
                      follow_redirects: bool = _UNSET) -> Response:
        """Sends one request and reads its whole response.

        The body is one of: `content` (bytes or str, sent with its length; or an iterable or
        async iterable of bytes, sent chunked unless `headers` give a content-length), `json`
        (any JSON value), `data` (a form, `application/x-www-form-urlencoded`), or `files`
        (with `data` as further fields, `multipart/form-data`: each file is bytes, a file
        object, or a (filename, content[, content type[, headers]]) tuple). `auth`:
        (user, password) for this request, or None for none (`build_request`)."""
        request = self.build_request(method, url, params=params, headers=headers,
                                     content=content, data=data, files=files, json=json,
                                     auth=auth)
        return await self.send(request, follow_redirects=follow_redirects, timeout=timeout)

    def stream(self, method: str, url: str | URL, *, params: ParamTypes | None = None,
               headers: HeaderTypes | None = None, content: ContentTypes | None = None,
               data: Any = None, files: Any = None, json: Any = _UNSET,
               auth: AuthTypes | None = _UNSET, timeout: TimeoutTypes = _UNSET,
               follow_redirects: bool = _UNSET) -> StreamContext:
        """`async with client.stream("GET", url) as response:` a response whose body is read
        on demand (`aiter_bytes()`, `aread()`...); leaving the block closes it."""
        request = self.build_request(method, url, params=params, headers=headers,
                                     content=content, data=data, files=files, json=json,
                                     auth=auth)
        return StreamContext(self, request, follow_redirects, timeout)

    async def get(self, url: str | URL, *, params: ParamTypes | None = None,
                  headers: HeaderTypes | None = None, auth: AuthTypes | None = _UNSET,
                  timeout: TimeoutTypes = _UNSET, follow_redirects: bool = _UNSET) -> Response:
        return await self.send(
            self.build_request("GET", url, params=params, headers=headers, auth=auth),
            follow_redirects=follow_redirects, timeout=timeout)

    async def head(self, url: str | URL, *, params: ParamTypes | None = None,
                   headers: HeaderTypes | None = None, auth: AuthTypes | None = _UNSET,
                   timeout: TimeoutTypes = _UNSET, follow_redirects: bool = _UNSET) -> Response:
        return await self.send(
            self.build_request("HEAD", url, params=params, headers=headers, auth=auth),
            follow_redirects=follow_redirects, timeout=timeout)

    async def options(self, url: str | URL, *, params: ParamTypes | None = None,
                      headers: HeaderTypes | None = None, auth: AuthTypes | None = _UNSET,
                      timeout: TimeoutTypes = _UNSET, follow_redirects: bool = _UNSET
                      ) -> Response:
        return await self.send(
            self.build_request("OPTIONS", url, params=params, headers=headers, auth=auth),
            follow_redirects=follow_redirects, timeout=timeout)

    async def delete(self, url: str | URL, *, params: ParamTypes | None = None,
                     headers: HeaderTypes | None = None, auth: AuthTypes | None = _UNSET,
                     timeout: TimeoutTypes = _UNSET, follow_redirects: bool = _UNSET
                     ) -> Response:
        return await self.send(
            self.build_request("DELETE", url, params=params, headers=headers, auth=auth),
            follow_redirects=follow_redirects, timeout=timeout)

    async def post(self, url: str | URL, *, content: ContentTypes | None = None,
                   data: Any = None, files: Any = None, json: Any = _UNSET,
                   params: ParamTypes | None = None, headers: HeaderTypes | None = None,
                   auth: AuthTypes | None = _UNSET, timeout: TimeoutTypes = _UNSET,
                   follow_redirects: bool = _UNSET) -> Response:
        return await self.request("POST", url, content=content, data=data, files=files,
                                  json=json, params=params, headers=headers, auth=auth,
                                  timeout=timeout, follow_redirects=follow_redirects)

    async def put(self, url: str | URL, *, content: ContentTypes | None = None,
                  data: Any = None, files: Any = None, json: Any = _UNSET,
                  params: ParamTypes | None = None, headers: HeaderTypes | None = None,
                  auth: AuthTypes | None = _UNSET, timeout: TimeoutTypes = _UNSET,
                  follow_redirects: bool = _UNSET) -> Response:
        return await self.request("PUT", url, content=content, data=data, files=files,
                                  json=json, params=params, headers=headers, auth=auth,
                                  timeout=timeout, follow_redirects=follow_redirects)

    async def patch(self, url: str | URL, *, content: ContentTypes | None = None,
                    data: Any = None, files: Any = None, json: Any = _UNSET,
                    params: ParamTypes | None = None, headers: HeaderTypes | None = None,
                    auth: AuthTypes | None = _UNSET, timeout: TimeoutTypes = _UNSET,
                    follow_redirects: bool = _UNSET) -> Response:
        return await self.request("PATCH", url, content=content, data=data, files=files,
                                  json=json, params=params, headers=headers, auth=auth,
                                  timeout=timeout, follow_redirects=follow_redirects)

    # WebSocket

    def websocket(self, url: str | URL, *, subprotocols: Iterable[str] | None = None,
                  headers: HeaderTypes | None = None, compression: str | None = "deflate",
                  max_size: int = 16 * 1024 * 1024, max_queue: int = 16,
                  timeout: TimeoutTypes = _UNSET, close_timeout: float | None = 10.0
                  ) -> WebSocketConnect:
        """`async with client.websocket("wss://example.com/chat") as ws:` a WebSocket, opened
        with the client's base URL, fields, timeouts and TLS settings; `await
        client.websocket(...)` also works (close it yourself). Over HTTP/2 (when the client's
        connection to the origin speaks it and the server takes extended CONNECT) it is one
        stream of the pooled connection, beside the client's requests; otherwise it is an
        HTTP/1.1 connection of its own. The options are `quillet.connect_ws`'s."""
        from ._wsclient import websocket_opener
        if self._app is not None:
            raise UnsupportedProtocol("WebSocket to an application in this process is not "
                                      "supported: serve it and give the client its URL")
        if isinstance(url, str) and self.base_url is not None and "://" not in url:
            url = merge_url(self.base_url, url)
        opener = websocket_opener(
            self, str(url), subprotocols=subprotocols, headers=headers, compression=compression,
            max_size=max_size, max_queue=max_queue,
            timeout=self.timeout if timeout is _UNSET else Timeout.of(timeout),
            close_timeout=close_timeout)
        return WebSocketConnect(opener)

    # the pool

    @property
    def connections_opened(self) -> int:
        """How many connections the client has opened so far."""
        return self._pool.connections_opened

    def protocol_of(self, url: str | URL) -> str | None:
        """The protocol ("h1" or "h2") the pool's connections to `url`'s origin speak, if it
        has any."""
        return self._pool.protocol_of(url if isinstance(url, URL) else parse_url(url))

    async def aclose(self) -> None:
        """Closes every connection. Requests still waiting or in flight fail with
        ClientClosedError; the calls of an `app` still running are cancelled."""
        await self._pool.aclose()
        if self._app is not None:
            await self._app.aclose()

    async def __aenter__(self) -> AsyncClient:
        return self

    async def __aexit__(self, *exc_info) -> None:
        await self.aclose()


class StreamContext:
    """What `AsyncClient.stream()` returns: sends the request on entry, closes the response on
    exit."""

    __slots__ = ("_client", "_request", "_follow", "_timeout", "_response")

    def __init__(self, client: AsyncClient, request: Request, follow_redirects: bool,
                 timeout: TimeoutTypes) -> None:
        self._client = client
        self._request = request
        self._follow = follow_redirects
        self._timeout = timeout
        self._response: Response | None = None

    async def __aenter__(self) -> Response:
        self._response = await self._client.send(self._request, stream=True,
                                                 follow_redirects=self._follow,
                                                 timeout=self._timeout)
        return self._response

    async def __aexit__(self, *exc_info) -> None:
        if self._response is not None:
            await self._response.aclose()
