"""The request a redirect calls for (RFC 9110 section 15.4).

- 301 and 302 turn a POST into a GET (the historic behaviour the RFC allows); 303 turns any
  method but HEAD into a GET; 307 and 308 keep the method and the body. A GET made this way
  drops the body and the fields that describe it.
- The Location is a URI reference, resolved against the URL of the request that drew it
  (RFC 3986 section 5); when it has no fragment, the request's fragment carries over (RFC 9110
  section 10.2.2).
- Credentials do not follow a redirect to another origin: Authorization, Proxy-Authorization
  and Cookie are dropped when the scheme, host or port changes, and Host is set anew.
- A body that was a stream has been sent and cannot be sent again: a 307 or 308 that needs it
  ends the chain with StreamConsumed.
"""

from __future__ import annotations

from _quillet import HeaderMap

from ._exceptions import HTTPError, RemoteProtocolError, StreamConsumed
from ._models import Request, Response
from ._urls import URL

__all__ = ["REDIRECT_STATUSES", "redirect_method", "redirect_request"]

REDIRECT_STATUSES = frozenset({301, 302, 303, 307, 308})
_CREDENTIALS = ("authorization", "proxy-authorization", "cookie")
_BODY_FIELDS = ("content-length", "content-type", "content-encoding", "content-language",
                "content-location", "transfer-encoding")


def redirect_method(status: int, method: str) -> str:
    if status == 303 and method != "HEAD":
        return "GET"
    if status in (301, 302) and method == "POST":
        return "GET"
    return method


def redirect_url(request: Request, response: Response) -> URL:
    location = response.headers.get("location", b"").decode("latin-1").strip()
    try:
        url = request.url.join(location)
    except HTTPError as exc:  # InvalidURL, UnsupportedProtocol
        raise RemoteProtocolError(f"the {response.status_code} response has an unusable "
                                  f"Location {location!r}: {exc}", request=request) from None
    if not url.fragment and request.url.fragment:
        url = URL(f"{url.raw}#{request.url.fragment}")
    return url


def redirect_request(request: Request, response: Response) -> Request:
    """The next request of the chain after `response` to `request`."""
    status = response.status_code
    url = redirect_url(request, response)
    method = redirect_method(status, request.method)
    headers = HeaderMap(request.headers)
    if url.origin != request.url.origin:
        for name in _CREDENTIALS:
            if name in headers:
                del headers[name]
        headers["host"] = url.host_header
    if method == "GET" and request.method != "GET":
        for name in _BODY_FIELDS:
            if name in headers:
                del headers[name]
        return Request(method, url, headers=headers)
    if request.stream is not None:
        raise StreamConsumed(f"the request body was a stream, sent already; the {status} "
                             f"redirect to {url} needs it again", request=request)
    return Request(method, url, headers=headers, content=request.content)
