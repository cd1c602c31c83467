"""The client's exceptions: one tree, rooted in `_quillet.QuilletError`.

    QuilletError
    └── HTTPError                   anything the client raises about a request or a response
        ├── RequestError            the request could not be completed (`.request`)
        │   ├── TransportError      the connection failed us
        │   │   ├── TimeoutException
        │   │   │   ├── ConnectTimeout, ReadTimeout, WriteTimeout, PoolTimeout
        │   │   ├── NetworkError
        │   │   │   ├── ConnectError, ReadError, WriteError
        │   │   ├── ProtocolError
        │   │   │   ├── LocalProtocolError, RemoteProtocolError
        │   │   ├── ProxyError      the proxy refused or failed the tunnel (`.status`)
        │   │   ├── UnsupportedProtocol
        │   │   └── ClientClosedError
        │   ├── DecodingError       a body that does not decode by its Content-Encoding
        │   ├── TooManyRedirects
        │   └── StreamConsumed      a streamed request body asked for a second time
        ├── HTTPStatusError         `raise_for_status()` on a 4xx or 5xx response
        ├── InvalidURL
        └── ResponseNotRead         `.content` of a streamed response before `aread()`

`args[0]` is the reason alone; `str()` adds the method and URL of the request once one is
attached, so that a timeout in a log says which request it was.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from _quillet import QuilletError

if TYPE_CHECKING:
    from ._models import Request, Response

__all__ = [
    "HTTPError", "RequestError", "TransportError", "TimeoutException", "ConnectTimeout",
    "ReadTimeout", "WriteTimeout", "PoolTimeout", "NetworkError", "ConnectError", "ReadError",
    "WriteError", "ProtocolError", "LocalProtocolError", "RemoteProtocolError",
    "ProxyError", "UnsupportedProtocol", "ClientClosedError", "DecodingError", "TooManyRedirects", "StreamConsumed",
    "HTTPStatusError", "InvalidURL", "ResponseNotRead",
]


class HTTPError(QuilletError):
    """The base of every error the client raises."""


class RequestError(HTTPError):
    """A request that could not be completed. `request` is the request (None until known)."""

    def __init__(self, message: str, *, request: Request | None = None) -> None:
        super().__init__(message)
        self.request = request

    def __str__(self) -> str:
        message = self.args[0] if self.args else ""
        request = self.request
        if request is None:
            return message
        return f"{message} ({request.method} {request.url})"


class TransportError(RequestError):
    """The connection failed: it could not be opened, broke, timed out or spoke nonsense."""

    # What the pool's retry rule reads: the failure came before any byte of the response
    # (a retry of an idempotent request is safe), or the server said it never processed the
    # request (a retry of any request is).
    before_response = False
    unprocessed = False


class TimeoutException(TransportError):
    """One of the four timeouts passed."""


class ConnectTimeout(TimeoutException):
    """No connection (TCP and TLS) within the connect timeout."""


class ReadTimeout(TimeoutException):
    """The server sent nothing for the read timeout."""


class WriteTimeout(TimeoutException):
    """The server took none of the request for the write timeout."""


class PoolTimeout(TimeoutException):
    """No connection of the pool came free within the pool timeout."""


class NetworkError(TransportError):
    """The network failed: refused, reset, unreachable."""


class ConnectError(NetworkError):
    """The connection could not be opened (refused, no such host, failed TLS handshake)."""


class ReadError(NetworkError):
    """Reading from the connection failed."""


class WriteError(NetworkError):
    """Writing to the connection failed."""


class ProtocolError(TransportError):
    """One side broke the rules of HTTP."""


class LocalProtocolError(ProtocolError):
    """The request cannot be sent as given (an invalid header, a body of the wrong length)."""


class RemoteProtocolError(ProtocolError):
    """The server broke the protocol, or closed the connection without an answer."""


class ProxyError(TransportError):
    """The proxy could not open the way to the origin: a CONNECT answered with a status other
    than 2xx (`status`), or a SOCKS5 proxy that refused (`status` is its reply code) or broke
    its protocol (`status` is None)."""

    def __init__(self, message: str, *, request: Request | None = None,
                 status: int | None = None) -> None:
        super().__init__(message, request=request)
        self.status = status


class UnsupportedProtocol(TransportError):
    """The URL's scheme is not http or https."""


class ClientClosedError(TransportError):
    """The client was closed before (or while) the request ran."""


class DecodingError(RequestError):
    """The response body does not decode by its Content-Encoding (invalid or cut short data),
    or decodes to more than the client allows for its encoded size."""


class TooManyRedirects(RequestError):
    """The redirect chain is longer than `max_redirects`."""


class StreamConsumed(RequestError):
    """A streamed request body was needed a second time (a retry, a 307 or 308 redirect), but
    it cannot be sent again."""


class HTTPStatusError(HTTPError):
    """A 4xx or 5xx response, raised by `Response.raise_for_status()`."""

    def __init__(self, message: str, *, request: Request, response: Response) -> None:
        super().__init__(message)
        self.request = request
        self.response = response


class InvalidURL(HTTPError):
    """A URL that does not parse, or one that is not absolute where it must be."""


class ResponseNotRead(HTTPError):
    """The body of a streamed response was asked for before it was read."""

    def __init__(self) -> None:
        super().__init__("the response body has not been read: call `await response.aread()` "
                         "first")
