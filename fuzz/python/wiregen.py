"""Fuzzed HTTP/1 bytes and arguments, built from a FuzzedDataProvider: mostly well-formed
messages with fuzzed parts (so the state machines get past the parser), sometimes raw bytes."""

import _quillet as q

from fuzzlib import BadIndex, BigIndex, Chunk

U64_MAX = 2**64 - 1
# Lengths near the edges of the 64-bit framing.
LENGTHS = [0, 1, 2, 5, 16, 255, 2**31, 2**32, 2**63, U64_MAX - 2, U64_MAX - 1, U64_MAX]

METHODS = ["GET", "HEAD", "POST", "PUT", "DELETE", "CONNECT", "OPTIONS", "TRACE", "PATCH",
           "QUERY", "get", "M-SEARCH", "X"]
TARGETS = [b"/", b"/a/b?c=d", b"*", b"example.com:443", b"http://example.com",
           b"http://[::1]:8080/x?y", b"/%41%zz", b"/\xc3\xa9", b"//x", b""]
FIELDS = [b"host: example.com", b"content-length: %d", b"transfer-encoding: chunked",
          b"transfer-encoding: gzip, chunked", b"transfer-encoding: gzip",
          b"expect: 100-continue", b"connection: close", b"connection: keep-alive",
          b"connection: upgrade", b"upgrade: websocket", b"te: trailers", b"trailer: x-t",
          b"content-length: 1, 1", b"x-a: \xff\tb", b"Content-Length: +5", b"x: \x00"]
STATUSES = [100, 101, 103, 199, 200, 204, 206, 304, 400, 404, 417, 500, 999, 0, 42, 99, 1000,
            65535]
NAMES = ["content-length", "transfer-encoding", "connection", "trailer", "date", "x-t",
         "upgrade", "Host", "X-Request-Id", b"x-b", "expect", "te"]
VALUES = ["0", "5", "12", "chunked", "gzip", "gzip, chunked", "close", "keep-alive",
          "upgrade", "x-t", "", " padded ", b"\xff", "100-continue", "trailers", "1, 2"]


def small_int(fdp):
    return fdp.ConsumeIntInRange(0, 3)


def length(fdp):
    if fdp.ConsumeBool():
        return fdp.PickValueInList(LENGTHS)
    return fdp.ConsumeIntInRange(0, 64)


def raw(fdp, limit=48):
    return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, limit))


def chunked_body(fdp):
    out = []
    for _ in range(fdp.ConsumeIntInRange(0, 3)):
        data = raw(fdp, 12)
        ext = b";x=y" if fdp.ConsumeIntInRange(0, 7) == 0 else b""
        out.append(b"%x%s\r\n%s\r\n" % (len(data), ext, data))
    if fdp.ConsumeIntInRange(0, 3):
        out.append(b"0\r\n")
        if fdp.ConsumeBool():
            out.append(b"x-t: v\r\n")
        out.append(b"\r\n")
    return b"".join(out)


def body(fdp):
    choice = fdp.ConsumeIntInRange(0, 3)
    if choice == 0:
        return b""
    if choice == 1:
        return chunked_body(fdp)
    return raw(fdp, 24)


def fields(fdp, cl):
    lines = []
    for _ in range(fdp.ConsumeIntInRange(0, 4)):
        line = fdp.PickValueInList(FIELDS)
        if b"%d" in line:
            line = line % cl
        lines.append(line)
    if fdp.ConsumeIntInRange(0, 7) == 0:
        lines.append(raw(fdp, 16))
    return lines


def request(fdp):
    """One request (head and some body bytes), raw bytes one time in eight."""
    if fdp.ConsumeIntInRange(0, 7) == 0:
        return raw(fdp)
    method = fdp.PickValueInList(METHODS).encode()
    target = fdp.PickValueInList(TARGETS)
    version = b"HTTP/1.0" if fdp.ConsumeIntInRange(0, 3) == 0 else b"HTTP/1.1"
    eol = b"\n" if fdp.ConsumeIntInRange(0, 15) == 0 else b"\r\n"
    lines = [method + b" " + target + b" " + version] + fields(fdp, length(fdp) % 40)
    return eol.join(lines) + eol + eol + body(fdp)


def response(fdp):
    if fdp.ConsumeIntInRange(0, 7) == 0:
        return raw(fdp)
    status = fdp.PickValueInList(STATUSES)
    version = b"HTTP/1.0" if fdp.ConsumeIntInRange(0, 3) == 0 else b"HTTP/1.1"
    lines = [b"%s %03d Reason" % (version, status % 1000)] + fields(fdp, length(fdp) % 40)
    return b"\r\n".join(lines) + b"\r\n\r\n" + body(fdp)


def wire(fdp, make=request):
    """Bytes for a parser or decoder: a message, a raw piece, or rarely a repeated piece of up
    to 64 KiB (the buffers grow, and a head outgrows max_buf_size)."""
    choice = fdp.ConsumeIntInRange(0, 127)
    if choice == 0:
        piece = raw(fdp, 16) or b"a"
        data = piece * fdp.ConsumeIntInRange(1, (64 << 10) // len(piece))
    elif choice < 32:
        data = raw(fdp)
    else:
        data = make(fdp)
    return as_wire(fdp, data)


def as_wire(fdp, data):
    """The same bytes as `bytes`, a bytes subclass, or (rarely, refused) a bytearray."""
    kind = fdp.ConsumeIntInRange(0, 15)
    if kind < 10:
        return data
    if kind < 15:
        return Chunk(data)
    return bytearray(data)


def header_pairs(fdp):
    return [(fdp.PickValueInList(NAMES), fdp.PickValueInList(VALUES))
            for _ in range(fdp.ConsumeIntInRange(0, 4))]


def headers(fdp, map_only=False):
    """A headers argument: None, a HeaderMap, or (unless `map_only`) a dict or a list."""
    kind = fdp.ConsumeIntInRange(0, 7)
    if kind == 0:
        return None
    pairs = header_pairs(fdp)
    if kind == 7 or not map_only and kind == 6:
        return dict(pairs) if kind == 6 else pairs
    try:
        return q.HeaderMap(pairs)
    except ValueError:
        return q.HeaderMap()


def optional_length(fdp):
    kind = fdp.ConsumeIntInRange(0, 15)
    if kind < 6:
        return None
    if kind < 14:
        return length(fdp)
    return fdp.PickValueInList([-1, U64_MAX + 1, BadIndex(), BigIndex(7), 2.5, "3", True])


def status(fdp):
    if fdp.ConsumeIntInRange(0, 7) == 0:
        return fdp.PickValueInList([-1, 65536, BadIndex(), BigIndex(200), "200", None, 200.0])
    return fdp.PickValueInList(STATUSES)


def flag(fdp):
    """A bool argument, rarely something that is not one (refused with TypeError)."""
    if fdp.ConsumeIntInRange(0, 31) == 0:
        return fdp.PickValueInList([0, 1, None, "yes"])
    return fdp.ConsumeBool()
