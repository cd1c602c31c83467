"""Response content codings (RFC 9110 section 8.4): gzip and deflate through zlib, br through the
optional `brotli` package, several of them stacked in the order the server applied them.

Every coding's output is held to a bound: past `DECODED_FLOOR` bytes, no stage may have produced
more than `ratio` times the encoded bytes received so far, so a small body cannot expand without
bound (a "compression bomb"); each step asks the decompressor for no more than the room left,
so the bound holds in memory as well as in the count."""

from __future__ import annotations

import zlib

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
    """One coding's decoder."""

    __slots__ = ("coding", "budget", "produced")

    def __init__(self, coding: str, budget: _Budget) -> None:
        self.coding = coding
        self.budget = budget
        self.produced = 0

    def _take(self, out: bytes, over: bool) -> bytes:
        if over:
            raise self.budget.exceeded(self.coding)
        self.produced += len(out)
        return out

    def decode(self, data: bytes) -> bytes:
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

    def decode(self, data: bytes) -> bytes:
        if self.obj is None:
            data = self.head + data
            if len(data) < 2:
                self.head = data
                return b""
            self.head = b""
            wrapped = data[0] & 0x0F == 8 and (data[0] << 8 | data[1]) % 31 == 0
            self.obj = zlib.decompressobj(zlib.MAX_WBITS if wrapped else -zlib.MAX_WBITS)
        parts = []
        while data:
            obj = self.obj
            if obj.eof:
                if not self.gzip:
                    break  # bytes past the end of deflate data: ignored
                obj = self.obj = zlib.decompressobj(16 + zlib.MAX_WBITS)  # the next member
            room = self.budget.room(self.produced)
            try:
                out = obj.decompress(data, room + 1 if room >= 0 else 0)
            except zlib.error as exc:
                raise DecodingError(f"invalid {self.coding} content: {exc}") from None
            parts.append(self._take(out, room >= 0 and len(out) > room))
            data = obj.unconsumed_tail or (obj.unused_data if obj.eof else b"")
        return b"".join(parts)

    def flush(self) -> None:
        if self.head or (self.obj is not None and not self.obj.eof):
            raise DecodingError(f"the {self.coding} content ended early")


class _BrotliStage(_Stage):
    __slots__ = ("obj",)

    def __init__(self, coding: str, budget: _Budget) -> None:
        super().__init__(coding, budget)
        self.obj = _brotli.Decompressor()

    def decode(self, data: bytes) -> bytes:
        obj = self.obj
        parts = []
        try:
            while True:
                room = self.budget.room(self.produced)
                if room >= 0:
                    out = obj.process(data, output_buffer_limit=room + 1)
                else:
                    out = obj.process(data)
                data = b""
                parts.append(self._take(out, room >= 0 and len(out) > room))
                if obj.can_accept_more_data():
                    break
        except _brotli.error as exc:
            raise DecodingError(f"invalid br content: {exc}") from None
        return b"".join(parts)

    def flush(self) -> None:
        if not self.obj.is_finished():
            raise DecodingError("the br content ended early")


_STAGES = {"gzip": _ZlibStage, "x-gzip": _ZlibStage, "deflate": _ZlibStage}
if _brotli is not None:
    _STAGES["br"] = _BrotliStage


class ContentDecoder:
    """Decodes one response body: raw pieces in, decoded bytes out."""

    __slots__ = ("stages", "budget", "seen")

    def __init__(self, stages: list[_Stage], budget: _Budget) -> None:
        self.stages = stages  # in decoding order: the last coding applied first
        self.budget = budget
        self.seen = False

    def decode(self, data: bytes) -> bytes:
        if not data:
            return b""
        self.seen = True
        self.budget.encoded += len(data)
        for stage in self.stages:
            data = stage.decode(data)
            if not data:
                break
        return data

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
