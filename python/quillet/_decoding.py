"""Response content codings (RFC 9110 section 8.4): gzip and deflate through zlib, br through the
optional `brotli` package, several of them stacked in the order the server applied them.

Every coding's output is held to a bound: past `DECODED_FLOOR` bytes, no stage may have produced
more than `ratio` times the encoded bytes received so far, so a small body cannot expand without
bound (a "compression bomb"); each step asks the decompressor for no more than the room left,
so the bound holds in memory as well as in the count, and a streamed body comes out in pieces
of at most `PIECE` bytes whatever the bound."""

from __future__ import annotations

import zlib
from collections.abc import Iterator

from ._exceptions import DecodingError

try:
    import brotli as _brotli
except ImportError:  # the optional extra: quillet[brotli]
    _brotli = None

__all__ = ["ACCEPT_ENCODING", "DEFAULT_MAX_RATIO", "DECODED_FLOOR", "make_decoder",
           "supported_codings"]

# Up to this many decoded bytes are allowed whatever the ratio: small bodies of highly
# repetitive text compress far better than large ones.
DECODED_FLOOR = 10 * 1024 * 1024
DEFAULT_MAX_RATIO = 100.0
# The most one step of a decoder produces: a streamed body is held a piece at a time.
PIECE = 256 * 1024


def supported_codings() -> tuple[str, ...]:
    return ("gzip", "deflate", "br") if _brotli is not None else ("gzip", "deflate")


ACCEPT_ENCODING = ", ".join(supported_codings())


class _Budget:
    """The bound every stage of one body's decoding shares."""

    __slots__ = ("ratio", "encoded")

    def __init__(self, ratio: float | None) -> None:
        self.ratio = ratio
        self.encoded = 0

    def room(self, produced: int) -> int:
        """How many more bytes a stage that has produced `produced` may produce; -1: no bound."""
        if self.ratio is None:
            return -1
        return max(DECODED_FLOOR, int(self.encoded * self.ratio)) - produced

    def exceeded(self, coding: str) -> DecodingError:
        return DecodingError(
            f"the {coding} content decoded to more than {self.ratio:g} times its encoded size "
            f"(past {DECODED_FLOOR} bytes): refused as a compression bomb")


class _Stage:
    """One coding's decoder: `decode` yields its output in pieces of about `PIECE` bytes at
    most (zlib keeps to it exactly; brotli may pass it by one of its output blocks)."""

    __slots__ = ("coding", "budget", "produced")

    def __init__(self, coding: str, budget: _Budget) -> None:
        self.coding = coding
        self.budget = budget
        self.produced = 0

    def _limit(self) -> tuple[int, int]:
        """(the room left, -1 for none; the most the next step may produce)."""
        room = self.budget.room(self.produced)
        return room, PIECE if room < 0 or room >= PIECE else room + 1

    def _count(self, out: bytes, room: int) -> None:
        if 0 <= room < len(out):
            raise self.budget.exceeded(self.coding)
        self.produced += len(out)

    def decode(self, data: bytes) -> Iterator[bytes]:
        raise NotImplementedError

    def flush(self) -> None:
        raise NotImplementedError


class _ZlibStage(_Stage):
    """gzip (with any number of members one after another) and deflate, which servers send both
    as RFC 1950 zlib data and as bare RFC 1951 deflate data: the first two bytes tell which."""

    __slots__ = ("obj", "head", "gzip")

    def __init__(self, coding: str, budget: _Budget) -> None:
        super().__init__(coding, budget)
        self.gzip = coding == "gzip"
        self.obj = zlib.decompressobj(16 + zlib.MAX_WBITS) if self.gzip else None
        self.head = b""  # deflate: the bytes before the first two, which decide the format

    def decode(self, data: bytes) -> Iterator[bytes]:
        if self.obj is None:
            data = self.head + data
            if len(data) < 2:
                self.head = data
                return
            self.head = b""
            wrapped = data[0] & 0x0F == 8 and (data[0] << 8 | data[1]) % 31 == 0
            self.obj = zlib.decompressobj(zlib.MAX_WBITS if wrapped else -zlib.MAX_WBITS)
        while True:
            obj = self.obj
            if obj.eof:
                if not (self.gzip and data):
                    return  # bytes past the end of deflate data are ignored
                obj = self.obj = zlib.decompressobj(16 + zlib.MAX_WBITS)  # the next member
            room, limit = self._limit()
            try:
                out = obj.decompress(data, limit)
            except zlib.error as exc:
                raise DecodingError(f"invalid {self.coding} content: {exc}") from None
            self._count(out, room)
            data = obj.unconsumed_tail or (obj.unused_data if obj.eof else b"")
            if out:
                yield out
            if not data and len(out) < limit:
                return  # all input taken and no output held back

    def flush(self) -> None:
        if self.head or (self.obj is not None and not self.obj.eof):
            raise DecodingError(f"the {self.coding} content ended early")


class _BrotliStage(_Stage):
    __slots__ = ("obj",)

    def __init__(self, coding: str, budget: _Budget) -> None:
        super().__init__(coding, budget)
        self.obj = _brotli.Decompressor()

    def decode(self, data: bytes) -> Iterator[bytes]:
        obj = self.obj
        while True:
            room, limit = self._limit()
            try:
                out = obj.process(data, output_buffer_limit=limit)
            except _brotli.error as exc:
                raise DecodingError(f"invalid br content: {exc}") from None
            data = b""
            self._count(out, room)
            if out:
                yield out
            # below the limit, it stopped for want of input (or at the end); at it, it may
            # hold more output back, which only calls with no input bring out
            if len(out) < limit and obj.can_accept_more_data():
                return

    def flush(self) -> None:
        if not self.obj.is_finished():
            raise DecodingError("the br content ended early")


_STAGES: dict[str, type[_Stage]] = {"gzip": _ZlibStage, "x-gzip": _ZlibStage, "deflate": _ZlibStage}
if _brotli is not None:
    _STAGES["br"] = _BrotliStage


class ContentDecoder:
    """Decodes one response body: raw pieces in, decoded bytes out."""

    __slots__ = ("stages", "budget", "seen")

    def __init__(self, stages: list[_Stage], budget: _Budget) -> None:
        self.stages = stages  # in decoding order: the last coding applied first
        self.budget = budget
        self.seen = False

    def decode(self, data: bytes) -> Iterator[bytes]:
        """The decoded pieces of one raw piece, each at most `PIECE` bytes."""
        if data:
            self.seen = True
            self.budget.encoded += len(data)
            stages = self.stages
            if len(stages) == 1:
                return stages[0].decode(data)
            return self._through(0, data)
        return iter(())

    def _through(self, index: int, data: bytes) -> Iterator[bytes]:
        if index == len(self.stages) - 1:
            yield from self.stages[index].decode(data)
        else:
            for piece in self.stages[index].decode(data):
                yield from self._through(index + 1, piece)

    def flush(self) -> bytes:
        """The end of the body: what is left, or DecodingError for a body cut short. An empty
        body (a HEAD response's, a 204's) decodes to nothing."""
        if self.seen:
            for stage in self.stages:
                stage.flush()
        return b""


def make_decoder(content_encoding: bytes | str | None, ratio: float | None
                 ) -> ContentDecoder | None:
    """The decoder for a Content-Encoding value; None when the body is sent as it is (no coding,
    identity only) or names a coding this client cannot undo (the body is then left encoded)."""
    if not content_encoding:
        return None
    if isinstance(content_encoding, bytes):
        content_encoding = content_encoding.decode("latin-1")
    names = [name.strip().lower() for name in content_encoding.split(",")]
    names = [name for name in names if name and name != "identity"]
    if not names or any(name not in _STAGES for name in names):
        return None
    budget = _Budget(ratio)
    return ContentDecoder([_STAGES[name](name, budget) for name in reversed(names)], budget)
