"""quillet: an asynchronous HTTP client and server library on a native, sans-IO protocol core.

The protocol core is the `_quillet` extension module; this package holds the pure-Python code
that ships beside it: the server (`quillet.server`) and the client (`quillet.AsyncClient`).
"""

import _quillet

from ._client import AsyncClient, StreamContext
from ._exceptions import (
    ClientClosedError, ConnectError, ConnectTimeout, DecodingError, HTTPError, HTTPStatusError, InvalidURL,
    LocalProtocolError, NetworkError, PoolTimeout, ProtocolError, ProxyError, ReadError, ReadTimeout,
    RemoteProtocolError, RequestError, ResponseNotRead, StreamConsumed, TimeoutException,
    TooManyRedirects, TransportError, UnsupportedProtocol, WriteError, WriteTimeout)
from ._models import Limits, Request, Response, Timeout
from ._urls import URL
from ._wsclient import WebSocket, WebSocketClosed, WebSocketHandshakeError, connect_ws

__version__ = _quillet.__version__

__all__ = [
    "AsyncClient", "StreamContext", "Request", "Response", "Timeout", "Limits", "URL",
    "HTTPError", "RequestError", "TransportError", "TimeoutException", "ConnectTimeout",
    "ReadTimeout", "WriteTimeout", "PoolTimeout", "NetworkError", "ConnectError", "ReadError",
    "WriteError", "ProtocolError", "LocalProtocolError", "RemoteProtocolError",
    "ProxyError", "UnsupportedProtocol", "ClientClosedError", "DecodingError",
    "TooManyRedirects", "StreamConsumed",
    "HTTPStatusError", "InvalidURL", "ResponseNotRead", "connect_ws", "WebSocket",
    "WebSocketClosed", "WebSocketHandshakeError", "__version__",
]
