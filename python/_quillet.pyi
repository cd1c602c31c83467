# Type stub of the _quillet extension module.
from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import ClassVar, Final, TypeVar, final, overload

_T = TypeVar("_T")

__version__: Final[str]
__all__: list[str]

class QuilletError(Exception): ...
class ConnectionClosedError(QuilletError): ...

@final
class HeaderMap:
    """An ordered, case-insensitive, multi-valued map of header names to values.

    Names are stored in lower case and handed out as str; values are handed out as bytes.
    len() counts values, not names. Deleting a name moves the last name into its place.
    """

    def __init__(
        self,
        init: HeaderMap
        | Mapping[str, str | bytes]
        | Mapping[bytes, str | bytes]
        | Iterable[Sequence[str | bytes]]
        | None = None,
    ) -> None:
        """init: None, a HeaderMap (copied), a dict (its items in order) or an iterable of
        (name, value) pairs; any other mapping is iterated like any other iterable."""
    @overload
    def get(self, name: str | bytes) -> bytes | None: ...
    @overload
    def get(self, name: str | bytes, default: _T) -> bytes | _T: ...
    def get_all(self, name: str | bytes) -> list[bytes]: ...
    def add(self, name: str | bytes, value: str | bytes) -> None: ...
    def setdefault(self, name: str | bytes, value: str | bytes) -> bytes: ...
    def keys(self) -> list[str]: ...
    def values(self) -> list[bytes]: ...
    def items(self) -> list[tuple[str, bytes]]: ...
    def raw_items(self) -> list[tuple[bytes, bytes]]: ...
    def __getitem__(self, name: str | bytes) -> bytes: ...
    def __setitem__(self, name: str | bytes, value: str | bytes) -> None: ...
    def __delitem__(self, name: str | bytes) -> None: ...
    def __contains__(self, name: object) -> bool: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[str]: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
def http_date() -> bytes:
    """The current Date header value: 29 bytes of IMF-fixdate, at most about 1 s old."""

def uri_parts(url: str) -> tuple[str | None, str | None, int | None, str | None]:
    """(scheme, host, port, authority) of a URL; ValueError when it does not parse."""

H2_FLAG_WAKE: Final[int]
H2_FLAG_SLOT_FREED: Final[int]
H2_FLAG_CONN_DONE: Final[int]
H2_FLAG_STOP_ACCEPTING: Final[int]
H2_FLAG_CAPACITY: Final[int]
H2_HEADERS_IGNORED: Final[int]
H2_HEADERS_OPENED: Final[int]
H2_HEADERS_HEAD: Final[int]
H2_HEADERS_TRAILERS: Final[int]

class H2Error(QuilletError): ...
class H2ProtocolError(H2Error): ...
class H2StreamError(H2Error): ...
class H2UserError(H2Error): ...
class H2FlowControlError(H2Error): ...

H2_DEFAULT_HEADER_TABLE_SIZE: Final[int]
H2_DEFAULT_INITIAL_WINDOW_SIZE: Final[int]
H2_DEFAULT_MAX_FRAME_SIZE: Final[int]
H2_MAX_MAX_FRAME_SIZE: Final[int]
H2_MAX_STREAM_ID: Final[int]
H2_DEFAULT_DATA_FRAME_OVERHEAD_THRESHOLD: Final[int]
H2_DEFAULT_DATA_FRAME_BUDGET: Final[int]
H2_MAX_RECV_EMPTY_DATA_FRAMES: Final[int]
H2_PREFACE: Final[bytes]

class H1Error(QuilletError): ...
class H1ParseError(H1Error): ...
class H1BodyError(H1Error): ...
class H1IncompleteMessageError(H1Error): ...
class H1UnexpectedMessageError(H1Error): ...
class H1UserError(H1Error): ...

H1_WATCH_HANDOFF: Final[int]
H1_WATCH_IDLE_EOF: Final[int]
H1_WATCH_IDLE_BYTES: Final[int]
H1_WATCH_IDLE_ERROR: Final[int]
H1_WATCH_IGNORED: Final[int]
H1_NEXT_NONE: Final[int]
H1_NEXT_RAISE: Final[int]
H1_NEXT_CLOSE: Final[int]
H1_NEXT_DRAIN: Final[int]
H1_READ_PARSE: Final[int]
H1_READ_SHUTDOWN: Final[int]
H1_READ_WATCHER: Final[int]
H1_READ_TRANSPORT: Final[int]
H1_READ_EOF: Final[int]
H1_REQ_OK: Final[int]
H1_REQ_ALREADY: Final[int]
H1_REQ_STALE: Final[int]
H1_REQ_PARKED: Final[int]
H1_REQ_PEER_CLOSED: Final[int]
H1_REQ_CONTINUE: Final[int]

class OnceLatch:
    """A one-shot latch: the first try_acquire() returns True, every later one False."""
    def __init__(self) -> None: ...
    def try_acquire(self) -> bool: ...
    @property
    def is_set(self) -> bool: ...

_Headers = HeaderMap | Mapping[str, str | bytes] | Iterable[Sequence[str | bytes]] | None

@final
class H1RequestHead:
    """A parsed HTTP/1 request head (made by H1Codec.receive_request_head)."""
    @property
    def method(self) -> str: ...
    @property
    def target(self) -> str: ...
    @property
    def keep_alive(self) -> bool: ...
    @property
    def headers(self) -> HeaderMap: ...
    @property
    def body_kind(self) -> str:
        """'empty', 'length' or 'chunked'."""
    @property
    def content_length(self) -> int | None: ...
    @property
    def expect_continue(self) -> bool: ...
    @property
    def is_upgrade(self) -> bool: ...
    @property
    def http10(self) -> bool: ...
    @property
    def allow_trailers(self) -> bool: ...

@final
class H1ResponseHead:
    """A parsed HTTP/1 response head (made by H1Codec.receive_head)."""
    @property
    def status(self) -> int: ...
    @property
    def keep_alive(self) -> bool: ...
    @property
    def headers(self) -> HeaderMap: ...
    @property
    def body_kind(self) -> str:
        """'empty', 'length', 'chunked' or 'close'."""
    @property
    def content_length(self) -> int | None: ...
    @property
    def is_upgrade(self) -> bool: ...
    @property
    def http10(self) -> bool: ...

@final
class H1Codec:
    """The HTTP/1 codec of one connection, for both roles: the read buffer that survives across
    pipelined messages, head parsing and encoding, and the framing of the message in flight."""
    def __init__(
        self,
        *,
        max_headers: int | None = None,
        ignore_invalid_headers: bool = False,
        title_case_headers: bool = False,
        date_header: bool = True,
        max_buf_size: int = 417792,
    ) -> None: ...
    def receive_request_head(self, data: bytes) -> H1RequestHead | None: ...
    def receive_head(self, data: bytes) -> H1ResponseHead | None: ...
    @property
    def parse_error_status(self) -> int | None: ...
    def serialize_request(
        self,
        method: str,
        url: str,
        headers: _Headers = None,
        *,
        http10: bool = False,
        content_length: int | None = None,
        chunked: bool = False,
    ) -> bytes: ...
    def serialize_response(
        self,
        status: int,
        headers: _Headers = None,
        *,
        keep_alive: bool = True,
        http10: bool = False,
        content_length: int | None = None,
        chunked: bool = False,
    ) -> bytes: ...
    @staticmethod
    def continue_response() -> bytes: ...
    @staticmethod
    def connection_close(headers: HeaderMap) -> bool: ...
    @property
    def request_connection_close(self) -> bool: ...
    @property
    def response_is_last(self) -> bool: ...
    @property
    def response_close_delimited(self) -> bool: ...
    @property
    def max_buf_size(self) -> int: ...
    def reset(self) -> None: ...
    def feed(self, data: bytes) -> None: ...
    def take_body(self) -> bytes: ...
    def buffered(self) -> int: ...

@final
class ProxyMatcher:
    """Chooses the proxy of a request; built only by from_env() or from_parts()."""
    @staticmethod
    def from_env() -> ProxyMatcher: ...
    @staticmethod
    def from_parts(
        *,
        all: str | None = None,
        http: str | None = None,
        https: str | None = None,
        no: str | None = None,
    ) -> ProxyMatcher: ...
    def intercept(self, url: str) -> ProxyIntercept | None: ...

@final
class ProxyIntercept:
    """The proxy a request goes through: its URI and the credentials from its URL."""
    @property
    def uri(self) -> str: ...
    def basic_auth(self) -> str | None: ...
    def raw_auth(self) -> tuple[str, str] | None: ...
