"""The client's cookies: what each response's Set-Cookie fields say is kept in a
`http.cookiejar.CookieJar`, and each request is given the cookies its URL matches (domain,
path, Secure, expiry), the rules of RFC 6265 as the standard library's jar applies them.

The jar asks its questions of a request and a response in the shape of `urllib.request`'s;
`_JarRequest` and `_JarResponse` answer them from ours. A Cookie field the caller gives is
theirs and is sent as it is; one the jar made is made anew for each request of a redirect
chain, so that cookies a redirect sets go with the next request.
"""

from __future__ import annotations

from collections.abc import Mapping
from http.cookiejar import Cookie, CookieJar

from ._models import Request, Response

__all__ = ["CookieTypes", "make_jar", "add_cookies", "store_cookies"]

CookieTypes = CookieJar | Mapping[str, str]


def make_jar(cookies: CookieTypes | None) -> CookieJar:
    """The client's jar: `cookies` itself when it is a jar; otherwise a new one holding the
    mapping's cookies, each sent to every host and path."""
    if isinstance(cookies, CookieJar):
        return cookies
    jar = CookieJar()
    for name, value in (cookies or {}).items():
        for part, what in ((name, "name"), (value, "value")):
            if not isinstance(part, str):
                raise TypeError(f"a cookie's {what} is a str, not {type(part).__name__}")
            if not part.isascii() or not part.isprintable() or ";" in part or (
                    what == "name" and ("=" in part or not part)):
                raise ValueError(f"cookie {what} {part!r} cannot be sent in a Cookie field")
        jar.set_cookie(Cookie(
            version=0, name=name, value=value, port=None, port_specified=False, domain="",
            domain_specified=False, domain_initial_dot=False, path="/", path_specified=True,
            secure=False, expires=None, discard=True, comment=None, comment_url=None,
            rest={}))
    return jar


class _JarRequest:
    """A request as the jar reads it."""

    __slots__ = ("_url", "cookie")

    unverifiable = False  # every request is one the caller asked for

    def __init__(self, request: Request) -> None:
        self._url = request.url
        self.cookie: str | None = None

    def get_full_url(self) -> str:
        url = self._url  # without user information, which the jar would take for the host
        return f"{url.scheme}://{url.host_header}{url.target}"

    @property
    def host(self) -> str:
        return self._url.host_header

    @property
    def type(self) -> str:
        return self._url.scheme

    @property
    def origin_req_host(self) -> str:
        return self._url.host

    def has_header(self, name: str) -> bool:
        return False  # a Cookie field of the caller's is kept out before the jar is asked

    def get_header(self, name: str, default: str | None = None) -> str | None:
        return self.host if name.lower() == "host" else default

    def header_items(self) -> list:
        return []

    def add_unredirected_header(self, name: str, value: str) -> None:
        if name.lower() == "cookie":
            self.cookie = value


class _JarResponse:
    """A response as the jar reads it: `info().get_all(name, default)`."""

    __slots__ = ("_fields",)

    def __init__(self, response: Response) -> None:
        self._fields = response.headers

    def info(self) -> _JarResponse:
        return self

    def get_all(self, name: str, default: list | None = None) -> list[str] | None:
        values = self._fields.get_all(name)
        return [value.decode("latin-1") for value in values] if values else default


def add_cookies(jar: CookieJar, request: Request) -> None:
    """Sets `request`'s Cookie field to the cookies of `jar` its URL matches, unless the
    caller gave one."""
    fields = request.headers
    given = fields.get("cookie")
    if given is not None and given != request._jar_cookie:
        return
    asked = _JarRequest(request)
    jar.add_cookie_header(asked)
    if asked.cookie is None:
        if given is not None:
            del fields["cookie"]
        request._jar_cookie = None
    else:
        value = asked.cookie.encode("latin-1")
        fields["cookie"] = value
        request._jar_cookie = value


def store_cookies(jar: CookieJar, request: Request, response: Response) -> None:
    """Keeps what `response`'s Set-Cookie fields say (those the jar's policy allows for
    `request`'s URL)."""
    jar.extract_cookies(_JarResponse(response), _JarRequest(request))
