"""What the client's user handles: `Timeout` and `Limits` (its settings), `Request` and
`Response`."""

from __future__ import annotations

import codecs
import datetime
import http
import json as _json
import time
from collections.abc import AsyncIterable, AsyncIterator, Iterable
from typing import Any, Protocol

from _quillet import HeaderMap

from ._decoding import DEFAULT_MAX_RATIO, make_decoder
from ._exceptions import HTTPStatusError, RequestError, ResponseNotRead, StreamConsumed
from ._urls import URL

__all__ = ["Timeout", "Limits", "Request", "Response", "DEFAULT_TIMEOUT", "DEFAULT_LIMITS"]

_UNSET: Any = object()


class Timeout:
    """Four timeouts in seconds (None: wait as long as it takes):

    - `connect`: to open a connection, TLS handshake included;
    - `read`: for each wait on the server's bytes (the response head, each piece of the body);
    - `write`: for each wait on the server to take the request's bytes;
    - `pool`: to get a connection from the pool when every allowed one is busy.

    `Timeout(10)` sets all four; `Timeout(10, connect=2)` all but one."""

    __slots__ = ("connect", "read", "write", "pool")

    connect: float | None
    read: float | None
    write: float | None
    pool: float | None

    def __init__(self, timeout: float | None | Timeout = _UNSET, *, connect: float | None = _UNSET,
                 read: float | None = _UNSET, write: float | None = _UNSET,
                 pool: float | None = _UNSET) -> None:
        if isinstance(timeout, Timeout):
            base = (timeout.connect, timeout.read, timeout.write, timeout.pool)
        else:
            every = 5.0 if timeout is _UNSET else timeout
            base = (every,) * 4
        for name, given, default in zip(self.__slots__, (connect, read, write, pool), base):
            value = default if given is _UNSET else given
            if value is not None:
                value = float(value)
                if value < 0:
                    raise ValueError(f"the {name} timeout must not be negative, not {value}")
            setattr(self, name, value)

    @classmethod
    def of(cls, value: TimeoutTypes) -> Timeout:
        """A Timeout from what the API takes: a Timeout, a number or None for all four, or a
        (connect, read, write, pool) tuple."""
        if isinstance(value, Timeout):
            return value
        if isinstance(value, tuple):
            connect, read, write, pool = value
            return cls(connect=connect, read=read, write=write, pool=pool)
        return cls(value)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Timeout):
            return NotImplemented
        return (self.connect, self.read, self.write, self.pool) == (
            other.connect, other.read, other.write, other.pool)

    def __repr__(self) -> str:
        return (f"Timeout(connect={self.connect}, read={self.read}, write={self.write}, "
                f"pool={self.pool})")


TimeoutTypes = Timeout | float | int | None | tuple
DEFAULT_TIMEOUT = Timeout(5.0)


class Limits:
    """How many connections the pool keeps.

    - `max_connections`: open (or opening) connections in all, whatever their origin;
    - `max_connections_per_origin`: the same for one scheme, host and port (None: no bound
      beyond the first);
    - `max_keepalive_connections`: idle HTTP/1.1 connections kept for reuse; more are closed;
    - `keepalive_expiry`: seconds an idle connection is kept."""

    __slots__ = ("max_connections", "max_connections_per_origin", "max_keepalive_connections",
                 "keepalive_expiry")

    def __init__(self, *, max_connections: int | None = 100,
                 max_connections_per_origin: int | None = None,
                 max_keepalive_connections: int | None = 20,
                 keepalive_expiry: float | None = 5.0) -> None:
        for name, value in (("max_connections", max_connections),
                            ("max_connections_per_origin", max_connections_per_origin)):
            if value is not None and value < 1:
                raise ValueError(f"{name} must be at least 1, not {value}")
        self.max_connections = max_connections
        self.max_connections_per_origin = max_connections_per_origin
        self.max_keepalive_connections = max_keepalive_connections
        self.keepalive_expiry = keepalive_expiry

    def __repr__(self) -> str:
        return (f"Limits(max_connections={self.max_connections}, max_connections_per_origin="
                f"{self.max_connections_per_origin}, max_keepalive_connections="
                f"{self.max_keepalive_connections}, keepalive_expiry={self.keepalive_expiry})")


DEFAULT_LIMITS = Limits()


class Request:
    """One request as it goes out. The body is `content` (bytes, sent with its length) or
    `stream` (an iterable or async iterable of bytes, sent chunked unless the headers give a
    content-length); a stream can be sent once."""

    __slots__ = ("method", "url", "headers", "content", "stream", "stream_used", "_jar_cookie")

    def __init__(self, method: str, url: URL | str, *, headers: HeaderMap | None = None,
                 content: bytes | None = None,
                 stream: AsyncIterable[bytes] | Iterable[bytes] | None = None) -> None:
        self.method = method
        self.url = url if isinstance(url, URL) else URL(url)
        self.headers = headers if headers is not None else HeaderMap()
        if "host" not in self.headers:
            self.headers["host"] = self.url.host_header
        self.content = content
        self.stream = stream
        self.stream_used = False
        self._jar_cookie: bytes | None = None  # the Cookie field the client's jar gave it

    @classmethod
    def built(cls, method: str, url: URL, headers: HeaderMap, content: bytes | None,
              stream: AsyncIterable[bytes] | Iterable[bytes] | None) -> Request:
        """A request from parts already checked (`headers` has its Host): what `__init__`
        makes of them, without its keyword handling (one per request)."""
        self = object.__new__(cls)
        self.method = method
        self.url = url
        self.headers = headers
        self.content = content
        self.stream = stream
        self.stream_used = False
        self._jar_cookie = None
        return self

    @property
    def replayable(self) -> bool:
        """Whether the body can be sent again (it is bytes, or nothing)."""
        return self.stream is None

    def take_stream(self) -> AsyncIterable[bytes] | Iterable[bytes]:
        """The streamed body, now counted as sent: StreamConsumed the second time."""
        if self.stream_used:
            raise StreamConsumed("the request body is a stream that has been sent already",
                                 request=self)
        self.stream_used = True
        return self.stream

    def __repr__(self) -> str:
        return f"<Request {self.method} {self.url}>"


async def pieces(body: AsyncIterable[bytes] | Iterable[bytes]) -> AsyncIterator[bytes]:
    """A streamed body's non-empty pieces, as bytes, whether it is an iterable or an async
    iterable."""
    if hasattr(body, "__aiter__"):
        async for chunk in body:
            if chunk:
                yield bytes(chunk)
    else:
        for chunk in body:
            if chunk:
                yield bytes(chunk)


# What `BodySource.poll` returns while the next piece of a body has not come.
NOT_YET: Any = object()


class BodySource(Protocol):
    """A response body as a connection delivers it."""

    trailers: HeaderMap | None
    done: bool  # the last piece has been handed out (or the body was given up)

    def poll(self) -> bytes | None:
        """`next_chunk()` when it can answer without a wait; NOT_YET otherwise."""

    async def next_chunk(self) -> bytes | None: ...

    async def aclose(self) -> None: ...


class WholeBody:
    """A body that came whole with its head (its connection has been given back already)."""

    __slots__ = ("data", "trailers", "done")

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.trailers = None
        self.done = False

    def poll(self) -> bytes | None:
        if self.done:
            return None
        self.done = True
        return self.data

    async def next_chunk(self) -> bytes | None:
        return self.poll()

    async def aclose(self) -> None:
        self.done = True


def _charset(content_type: bytes | None) -> str | None:
    if not content_type:
        return None
    for param in content_type.decode("latin-1").split(";")[1:]:
        name, _, value = param.partition("=")
        if name.strip().lower() == "charset":
            value = value.strip().strip('"').strip()
            if value:
                try:
                    return codecs.lookup(value).name
                except LookupError:
                    return None
    return None


class Response:
    """A response: its head at once, its body read whole by `request()` or on demand from
    `stream()` with `aiter_bytes()`, `aiter_text()`, `aiter_lines()` or `aread()`. The body is
    decoded by its Content-Encoding (gzip, deflate, br) except through `aiter_raw()`; past 10
    MiB, decoding may not produce more than `max_decoded_ratio` times the encoded bytes."""

    __slots__ = ("status_code", "headers", "http_version", "request", "history", "trailers",
                 "_content", "_body", "_started", "_elapsed", "_reused", "is_closed",
                 "is_stream_consumed", "default_encoding", "max_decoded_ratio")

    def __init__(self, status_code: int, *, headers: HeaderMap | None = None,
                 http_version: str = "HTTP/1.1", request: Request | None = None,
                 content: bytes | None = None, body: BodySource | None = None,
                 started: float | None = None, reused: bool = False) -> None:
        self.status_code = status_code
        self.headers = headers if headers is not None else HeaderMap()
        self.http_version = http_version
        self.request = request
        self.history: list[Response] = []
        self.trailers: HeaderMap | None = None
        self._content = content
        self._body = body
        self._started = time.perf_counter() if started is None else started
        self._elapsed: float | None = None
        self._reused = reused  # the request went out on a connection that had served others
        self.is_closed = body is None
        self.is_stream_consumed = False
        self.default_encoding = "utf-8"
        self.max_decoded_ratio: float | None = DEFAULT_MAX_RATIO
        if body is None:
            self._elapsed = 0.0

    @classmethod
    def received(cls, status_code: int, headers: HeaderMap, http_version: str,
                 request: Request, body: BodySource | None, started: float, reused: bool,
                 content: bytes | None = None) -> Response:
        """A response whose head a connection has just read, its body still to come: what
        `__init__` makes of these, without its keyword handling (one per request). With
        `content` (and no `body`), one whose body came whole with its head and needs no
        decoding: read, and closed, as `aread()` leaves one."""
        self = object.__new__(cls)
        self.status_code = status_code
        self.headers = headers
        self.http_version = http_version
        self.request = request
        self.history = []
        self.trailers = None
        self._content = content
        self._body = body
        self._started = started
        done = content is not None
        self._elapsed = time.perf_counter() - started if done else None
        self._reused = reused
        self.is_closed = self.is_stream_consumed = done
        self.default_encoding = "utf-8"
        self.max_decoded_ratio = DEFAULT_MAX_RATIO
        return self

    # the head

    @property
    def url(self) -> URL | None:
        return self.request.url if self.request is not None else None

    @property
    def reason_phrase(self) -> str:
        try:
            return http.HTTPStatus(self.status_code).phrase
        except ValueError:
            return ""

    @property
    def is_success(self) -> bool:
        return 200 <= self.status_code < 300

    @property
    def is_redirect(self) -> bool:
        return self.status_code in (301, 302, 303, 307, 308) and "location" in self.headers

    @property
    def is_error(self) -> bool:
        return self.status_code >= 400

    @property
    def elapsed(self) -> datetime.timedelta:
        """From sending the request to the end of the response's body (to now while it is
        still being read)."""
        seconds = self._elapsed
        if seconds is None:
            seconds = time.perf_counter() - self._started
        return datetime.timedelta(seconds=seconds)

    def raise_for_status(self) -> Response:
        """Raises HTTPStatusError for a 4xx or 5xx status; returns the response otherwise."""
        code = self.status_code
        if code < 400:
            return self
        kind = "Client error" if code < 500 else "Server error"
        raise HTTPStatusError(f"{kind} '{code} {self.reason_phrase}' for url '{self.url}'",
                              request=self.request, response=self)  # type: ignore[arg-type]

    # the body, whole

    @property
    def content(self) -> bytes:
        if self._content is None:
            raise ResponseNotRead()
        return self._content

    @property
    def charset_encoding(self) -> str | None:
        """The charset the content type names, if any (as Python's codec name)."""
        return _charset(self.headers.get("content-type"))

    @property
    def encoding(self) -> str:
        return self.charset_encoding or self.default_encoding

    @property
    def text(self) -> str:
        return self.content.decode(self.encoding, errors="replace")

    def json(self, **kwargs: Any) -> Any:
        charset = self.charset_encoding
        if charset is None or charset == "utf-8":
            return _json.loads(self.content, **kwargs)  # bytes: UTF-8, -16 and -32 detected
        return _json.loads(self.text, **kwargs)

    async def aread(self) -> bytes:
        """Reads the rest of the body, decoded, and keeps it as `content`."""
        if self._content is None:
            if self.is_stream_consumed or self.is_closed:
                self._take_body()  # raises
            self.is_stream_consumed = True
            body = self._body
            coding = self.headers.get("content-encoding")
            decoder = None if coding is None else make_decoder(coding, self.max_decoded_ratio)
            parts = []
            try:
                if decoder is None:
                    while not body.done:
                        if (chunk := body.poll()) is NOT_YET:
                            chunk = await body.next_chunk()
                        if chunk is None:
                            break
                        parts.append(chunk)
                else:
                    while not body.done and (chunk := await body.next_chunk()) is not None:
                        parts.extend(decoder.decode(chunk))
                    decoder.flush()
            except BaseException as exc:
                await self._failed(exc)
                raise
            self._content = parts[0] if len(parts) == 1 else b"".join(parts)
            if body.done:  # nothing left to give up: closed without awaiting the body
                self.trailers = body.trailers
                self.is_closed = True
                self._elapsed = time.perf_counter() - self._started
                self._body = None
            else:
                await self._finished(body)
        return self._content

    # the body, as it comes

    async def aiter_bytes(self, chunk_size: int | None = None) -> AsyncIterator[bytes]:
        """The body, decoded, in the pieces it arrives in, or re-cut to `chunk_size` bytes (the
        last piece may be shorter)."""
        if self._content is not None:
            content = self._content
            step = chunk_size or len(content) or 1
            for at in range(0, len(content), step):
                yield content[at:at + step]
            return
        decoder = make_decoder(self.headers.get("content-encoding"), self.max_decoded_ratio)
        source = self._chunks() if decoder is None else self._decoded(decoder)
        if chunk_size is not None:
            source = _recut(source, chunk_size)
        async for chunk in source:
            yield chunk

    async def aiter_raw(self, chunk_size: int | None = None) -> AsyncIterator[bytes]:
        """The body as it came, still in its content codings."""
        if self._content is not None:
            raise RuntimeError("the body has been read and decoded already: aiter_raw() "
                               "needs a response from stream() not yet read")
        async for chunk in _recut(self._chunks(), chunk_size):
            yield chunk

    async def _decoded(self, decoder) -> AsyncIterator[bytes]:
        body = self._take_body()
        try:
            while (chunk := await body.next_chunk()) is not None:
                for piece in decoder.decode(chunk):
                    yield piece
            decoder.flush()
        except BaseException as exc:
            await self._failed(exc)
            raise
        await self._finished(body)

    async def aiter_text(self) -> AsyncIterator[str]:
        decoder = codecs.getincrementaldecoder(self.encoding)(errors="replace")
        async for chunk in self.aiter_bytes():
            text = decoder.decode(chunk)
            if text:
                yield text
        text = decoder.decode(b"", True)
        if text:
            yield text

    async def aiter_lines(self) -> AsyncIterator[str]:
        """The body's lines, without their line ends."""
        pending = ""
        async for text in self.aiter_text():
            lines = (pending + text).splitlines(keepends=True)
            pending = ""
            if lines and not lines[-1].endswith(("\n", "\r")):
                pending = lines.pop()
            for line in lines:
                yield line.rstrip("\r\n")
        if pending:
            yield pending

    async def _chunks(self) -> AsyncIterator[bytes]:
        body = self._take_body()
        try:
            while (chunk := await body.next_chunk()) is not None:
                yield chunk
        except BaseException as exc:
            await self._failed(exc)
            raise
        await self._finished(body)

    def _take_body(self) -> BodySource:
        if self.is_stream_consumed:
            raise RuntimeError("the response body has been read already")
        if self.is_closed:
            raise RuntimeError("the response is closed; its body can no longer be read")
        self.is_stream_consumed = True
        assert self._body is not None  # not closed: the body is there
        return self._body

    async def _failed(self, exc: BaseException) -> None:
        if isinstance(exc, RequestError) and exc.request is None:
            exc.request = self.request
        await self.aclose()

    async def _finished(self, body: BodySource) -> None:
        self.trailers = body.trailers
        await self.aclose()

    async def aclose(self) -> None:
        """Ends the response: a body not read to its end is given up (the connection is closed,
        or over HTTP/2 the stream is cancelled)."""
        if self.is_closed:
            return
        body = self._body
        self._mark_closed()
        if body is not None:
            await body.aclose()

    def _mark_closed(self) -> None:
        self.is_closed = True
        self._elapsed = time.perf_counter() - self._started
        self._body = None

    async def __aenter__(self) -> Response:
        return self

    async def __aexit__(self, *exc_info) -> None:
        await self.aclose()

    def __repr__(self) -> str:
        return f"<Response [{self.status_code} {self.reason_phrase}]>"


async def _recut(source: AsyncIterator[bytes], chunk_size: int | None) -> AsyncIterator[bytes]:
    """`source`'s bytes as they come, or in pieces of `chunk_size` (the last may be shorter)."""
    if chunk_size is None:
        async for chunk in source:
            yield chunk
        return
    pending = bytearray()
    async for chunk in source:
        pending += chunk
        while len(pending) >= chunk_size:
            yield bytes(pending[:chunk_size])
            del pending[:chunk_size]
    if pending:
        yield bytes(pending)
