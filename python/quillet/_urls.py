"""URLs as the client sends them: split once by the native URI parser (`_quillet.uri_parts`),
kept as an immutable `URL` that knows its origin, its Host value and its request target.

Parsed URLs are cached by their text, since a client tends to ask for the same few again and
again."""

from __future__ import annotations

from urllib.parse import quote, urlencode, urljoin

from _quillet import uri_parts

from ._exceptions import InvalidURL, UnsupportedProtocol

__all__ = ["URL", "parse_url", "merge_url", "add_params"]

DEFAULT_PORTS = {"http": 80, "https": 443}
# What may stay as it is when a URL with spaces or non-ASCII text is percent-encoded: the
# reserved characters and the escapes already made.
_KEEP_WHEN_QUOTING = ":/?#[]@!$&'()*+,;=%~"
_CACHE_SIZE = 512


class URL:
    """An absolute http:// or https:// URL. `target` is what the request line (or `:path`)
    carries, `host_header` the Host value (the port only when it is not the scheme's default),
    `origin` the pool's key: (scheme, lower-case host, port)."""

    __slots__ = ("raw", "scheme", "host", "port", "host_header", "target", "fragment",
                 "userinfo", "origin")

    raw: str          # the URL without its fragment
    scheme: str
    host: str         # without brackets for IPv6
    port: int
    host_header: str
    target: str       # path and query; "/" at least
    fragment: str
    userinfo: str     # "user:password" as written (escaped), or ""
    origin: tuple[str, str, int]

    def __init__(self, url: str | URL) -> None:
        parsed = url if isinstance(url, URL) else parse_url(url)
        for name in URL.__slots__:
            object.__setattr__(self, name, getattr(parsed, name))

    def __setattr__(self, name, value):
        raise AttributeError("URL objects are immutable")

    @property
    def path(self) -> str:
        return self.target.partition("?")[0]

    @property
    def query(self) -> str:
        return self.target.partition("?")[2]

    @property
    def is_https(self) -> bool:
        return self.scheme == "https"

    def copy_without_fragment(self) -> URL:
        return parse_url(self.raw) if self.fragment else self

    def join(self, reference: str) -> URL:
        """`reference` resolved against this URL (RFC 3986 section 5)."""
        return parse_url(urljoin(str(self), reference))

    def __str__(self) -> str:
        return f"{self.raw}#{self.fragment}" if self.fragment else self.raw

    def __repr__(self) -> str:
        return f"URL({str(self)!r})"

    def __eq__(self, other: object) -> bool:
        if isinstance(other, URL):
            return self.raw == other.raw and self.fragment == other.fragment
        if isinstance(other, str):
            return str(self) == other
        return NotImplemented

    def __hash__(self) -> int:
        return hash(str(self))


_cache: dict[str, URL] = {}


def parse_url(text: str) -> URL:
    """The URL `text` names; InvalidURL when it does not parse or is not absolute, and
    UnsupportedProtocol for a scheme other than http and https."""
    url = _cache.get(text)
    if url is None:
        url = _parse(text)
        if len(_cache) >= _CACHE_SIZE:
            _cache.clear()
        _cache[text] = url
    return url


def _parse(text: str) -> URL:
    if not isinstance(text, str):
        raise TypeError(f"a URL must be a str or a URL, not {type(text).__name__}")
    raw, _, fragment = text.partition("#")
    try:
        scheme, host, port, _ = uri_parts(raw)
    except ValueError as exc:
        # Spaces and non-ASCII text, which people type: escaped, then parsed again.
        quoted = quote(raw, safe=_KEEP_WHEN_QUOTING)
        if quoted == raw:
            raise InvalidURL(str(exc)) from None
        try:
            scheme, host, port, _ = uri_parts(quoted)
        except ValueError:
            raise InvalidURL(str(exc)) from None
        raw = quoted
    if scheme is None or host is None:
        raise InvalidURL(f"not an absolute URL: {text!r}")
    if scheme not in DEFAULT_PORTS:
        raise UnsupportedProtocol(f"the scheme of {text!r} is not http or https")
    start = len(scheme) + 3  # past "://"
    end = len(raw)
    for stop in ("/", "?"):
        at = raw.find(stop, start, end)
        if at >= 0:
            end = at
    userinfo, sign, _ = raw[start:end].partition("@")
    if not sign:
        userinfo = ""
    target = raw[end:]
    if not target:
        target = "/"
    elif target[0] == "?":
        target = "/" + target
    bracketed = f"[{host}]" if ":" in host else host
    if scheme != raw[:len(scheme)] or userinfo:
        # the text the parts are taken from, without what the request never carries
        raw = f"{scheme}://{bracketed}" + (f":{port}" if port != DEFAULT_PORTS[scheme] else "") \
            + target
    url = object.__new__(URL)
    values = (raw, scheme, host, port,
              bracketed if port == DEFAULT_PORTS[scheme] else f"{bracketed}:{port}",
              target, fragment, userinfo, (scheme, host.lower(), port))
    for name, value in zip(URL.__slots__, values):
        object.__setattr__(url, name, value)
    return url


def merge_url(base: URL | None, url: str | URL) -> URL:
    """`url`, or for a relative one, `base` with `url`'s path appended to its own path (so a
    base of `http://h/api` and `/users` make `http://h/api/users`)."""
    if isinstance(url, URL):
        return url
    if base is None or "://" in url:
        return parse_url(url)
    if not url:
        return base
    if url[0] == "?":
        return parse_url(base.raw.partition("?")[0] + url)
    path = base.raw.partition("?")[0]
    return parse_url(path.rstrip("/") + "/" + url.lstrip("/"))


def add_params(url: URL, params) -> URL:
    """`url` with `params` (a mapping or pairs; a list value repeats its name) added to its
    query, form-encoded."""
    if isinstance(params, str):
        encoded = params.lstrip("?")
    else:
        encoded = urlencode(params, doseq=True)
    if not encoded:
        return url
    joiner = "&" if "?" in url.target else "?"
    text = url.raw + joiner + encoded
    return parse_url(f"{text}#{url.fragment}" if url.fragment else text)
