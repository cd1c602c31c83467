# Type stub of the quillet._native extension module: the WebSocket codec and the Waiter.
import asyncio
import contextvars
from collections.abc import Callable, Generator, Iterable
from typing import Final, TypeAlias, final

from typing_extensions import Self

from _quillet import HeaderMap, QuilletError

__all__ = [
    "WebSocketError", "WebSocketProtocolError", "WSDecoder", "Waiter", "ws_frame",
    "ws_frame_head", "ws_close_payload", "ws_accept", "ws_check_request", "ws_check_connect",
    "ws_subprotocols", "ws_extensions", "ws_deflate_offers",
    "WS_CONTINUATION", "WS_TEXT", "WS_BINARY", "WS_CLOSE", "WS_PING", "WS_PONG",
    "WS_DEFAULT_MAX_MESSAGE_SIZE", "WS_MAX_CONTROL_PAYLOAD",
]

_Headers: TypeAlias = HeaderMap | Iterable[tuple[bytes | str, bytes | str]]
# A decoded event: a text message, a binary message, or (opcode, payload, close code) for a
# control frame (WS_PING / WS_PONG: bytes, 0; WS_CLOSE: the reason, the code) and for a
# message still compressed (WS_TEXT / WS_BINARY: bytes, 0).
_Event: TypeAlias = str | bytes | tuple[int, bytes | str, int]

class WebSocketError(QuilletError): ...

class WebSocketProtocolError(WebSocketError):
    """args: (close_code, message)."""
    @property
    def close_code(self) -> int | None: ...

@final
class WSDecoder:
    """The frame decoder of one WebSocket connection."""
    def __new__(
        cls, role: str, max_message_size: int = 16777216, allow_rsv1: bool = False
    ) -> Self: ...
    def feed(self, data: bytes) -> list[_Event]: ...
    @property
    def closed(self) -> bool: ...
    @property
    def failed(self) -> bool: ...
    @property
    def in_message(self) -> bool: ...
    @property
    def buffered(self) -> int: ...
    @property
    def max_message_size(self) -> int: ...

@final
class Waiter:
    """One task's wait, ended by set_result(None): outside any task (from a protocol's
    callback) the waiting task's step runs within that call, instead of at the loop's next
    turn."""
    _asyncio_future_blocking: bool
    def __new__(cls, loop: asyncio.AbstractEventLoop) -> Self: ...
    def get_loop(self) -> asyncio.AbstractEventLoop: ...
    def done(self) -> bool: ...
    def cancelled(self) -> bool: ...
    def result(self) -> None: ...
    def exception(self) -> BaseException | None: ...
    def add_done_callback(
        self, fn: Callable[[Waiter], object], *, context: contextvars.Context | None = None
    ) -> None: ...
    def remove_done_callback(self, fn: Callable[[Waiter], object], /) -> int: ...
    def cancel(self, msg: object = None) -> bool: ...
    def set_result(self, result: None, /) -> None: ...
    def set_result_soon(self, result: None, /) -> None: ...
    def set_exception(self, exception: BaseException | type[BaseException], /) -> None: ...
    def __await__(self) -> Generator[Waiter, None, None]: ...
    def __iter__(self) -> Generator[Waiter, None, None]: ...
    def __next__(self) -> Waiter: ...

def ws_frame(
    opcode: int,
    payload: bytes | str,
    *,
    fin: bool = True,
    rsv1: bool = False,
    mask: bytes | None = None,
) -> bytes: ...
def ws_frame_head(opcode: int, size: int, *, fin: bool = True, rsv1: bool = False) -> bytes: ...
def ws_close_payload(code: int | None = None, reason: str = "") -> bytes: ...
def ws_accept(key: bytes | str) -> bytes: ...
def ws_check_request(
    method: str, headers: _Headers, *, http10: bool = False
) -> tuple[int, str] | None:
    """None when the request does not ask for WebSocket; else (101, ...) or the refusal."""
def ws_check_connect(
    method: str | None,
    scheme: str | None,
    authority: str | None,
    path: str | None,
    protocol: str | None,
    headers: _Headers,
) -> tuple[int, str, bool]:
    """(200, ...) or the refusal of an HTTP/2 extended CONNECT, and whether the refusal names
    the version."""
def ws_subprotocols(headers: _Headers) -> list[str]: ...
def ws_extensions(headers: _Headers) -> list[tuple[str, list[tuple[str, str | None]]]]: ...
def ws_deflate_offers(
    headers: _Headers,
) -> list[tuple[bool, bool, int | None, bool, int | None]]: ...

WS_CONTINUATION: Final = 0
WS_TEXT: Final = 1
WS_BINARY: Final = 2
WS_CLOSE: Final = 8
WS_PING: Final = 9
WS_PONG: Final = 10
WS_DEFAULT_MAX_MESSAGE_SIZE: Final = 16777216
WS_MAX_CONTROL_PAYLOAD: Final = 125
