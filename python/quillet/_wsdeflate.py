"""permessage-deflate (RFC 7692) for the WebSocket server, through the zlib module: the answer to
the client's offers, and the compression of each message either way.

A message is compressed as raw deflate ending with an empty stored block whose last four octets
(00 00 FF FF) are left off on the wire (RFC 7692 section 7.2.1). Inflation is bounded: a message
that inflates past the size limit fails the connection with 1009 once that many octets are out,
so a small compressed message cannot make the server hold more than the limit.
"""

from __future__ import annotations

import zlib

from ._native import ws_deflate_offers

_TAIL = b"\x00\x00\xff\xff"
# Messages shorter than this go out uncompressed: deflate's framing would outweigh the gain.
MIN_SIZE = 64


class InflateError(Exception):
    """A compressed message that cannot be taken: args (close code, message)."""


class Deflate:
    """The state of permessage-deflate on one connection, server side."""

    __slots__ = ("response", "max_size", "_inflater", "_deflater", "_reset_in", "_reset_out",
                 "_wbits")

    def __init__(self, offer: tuple, max_size: int) -> None:
        server_no_takeover, client_no_takeover, server_bits, _, _ = offer
        params = ["permessage-deflate"]
        if server_no_takeover:
            params.append("server_no_context_takeover")
        if client_no_takeover:
            params.append("client_no_context_takeover")
        if server_bits is not None:
            params.append(f"server_max_window_bits={server_bits}")
        self.response = "; ".join(params).encode()
        self.max_size = max_size
        self._wbits = server_bits or 15
        self._reset_in = client_no_takeover
        self._reset_out = server_no_takeover
        self._inflater = zlib.decompressobj(-15)
        self._deflater = zlib.compressobj(6, zlib.DEFLATED, -self._wbits)

    @classmethod
    def negotiate(cls, headers, max_size: int) -> Deflate | None:
        """The client's first offer we can take, or None. A window of 8 octets' bits for our
        side is declined: zlib cannot compress within it."""
        for offer in ws_deflate_offers(headers):
            if offer[2] == 8:
                continue
            return cls(offer, max_size)
        return None

    @classmethod
    def for_client(cls, window_bits: int, reset_out: bool, reset_in: bool,
                   max_size: int) -> Deflate:
        """The client's side of an agreed permessage-deflate: our window (`window_bits`), and
        whether our context (`client_no_context_takeover`) and the server's
        (`server_no_context_takeover`) start anew with each message."""
        deflate = cls.__new__(cls)
        deflate.response = b""
        deflate.max_size = max_size
        deflate._wbits = window_bits
        deflate._reset_in = reset_in
        deflate._reset_out = reset_out
        deflate._inflater = zlib.decompressobj(-15)
        deflate._deflater = zlib.compressobj(6, zlib.DEFLATED, -window_bits)
        return deflate

    def inflate(self, payload: bytes, text: bool) -> str | bytes:
        """The message a compressed payload holds; InflateError (1009 past the size limit,
        1007 for text that is not UTF-8, 1002 for data that is not deflate)."""
        if self._reset_in:
            self._inflater = zlib.decompressobj(-15)
        inflater = self._inflater
        limit = self.max_size + 1
        try:
            data = inflater.decompress(payload, limit)
            if len(data) < limit and not inflater.unconsumed_tail and not inflater.eof:
                data += inflater.decompress(_TAIL, limit - len(data))
        except zlib.error as exc:
            raise InflateError(1002, "invalid compressed data") from exc
        if inflater.eof:  # the sender ended its stream: a new one starts with the next message
            self._inflater = zlib.decompressobj(-15)
        if len(data) >= limit or inflater.unconsumed_tail:
            raise InflateError(1009, "message too big")
        if not text:
            return data
        try:
            return data.decode("utf-8")
        except UnicodeDecodeError:
            raise InflateError(1007, "invalid UTF-8 in a text message") from None

    def deflate(self, data: bytes) -> bytes:
        """The payload of a compressed message (to be sent with RSV1)."""
        deflater = self._deflater
        out = deflater.compress(data) + deflater.flush(
            zlib.Z_FULL_FLUSH if self._reset_out else zlib.Z_SYNC_FLUSH)
        return out[:-4] if out.endswith(_TAIL) else out
