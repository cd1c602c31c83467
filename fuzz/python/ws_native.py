#!/usr/bin/env python3
"""Fuzz target: quillet._native through its Python surface. Three modes:

- round trip: messages (text from fuzzed code points, binary, pings, pongs, a Close) written by
  ws_frame with fuzzed masks, the data messages cut into fragments with control frames between
  them, decoded by a server WSDecoder under a fuzzed size limit, fed whole and in fuzzed pieces;
- raw: fuzzed bytes (sometimes after a valid frame) fed whole and in fuzzed pieces, in either
  role, with or without RSV1 allowed;
- calls: every function, the decoder's constructor and feed, and the exception classes called
  with fuzzed values (str with lone surrogates, misbehaving subclasses, bytearray, memoryview,
  huge and negative ints, None, wrong keyword names).

Properties beyond "no crash, no sanitizer report, no undocumented exception":
- the round trip gives back exactly the messages written (str for text, bytes for binary,
  (opcode, payload, code) for the rest), in the order they complete, or the events before the
  first message over the limit followed by a failure with 1009;
- feeding in pieces gives the same events and the same failure as feeding at once;
- a WebSocketProtocolError carries 1002, 1007 or 1009 as close_code and its message as args[1];
- ws_frame takes a str as its UTF-8; ws_check_request reads a HeaderMap and its pairs alike;
- the bytes handed to feed keep their own reference counts once the decoder is gone.
"""

import sys

import atheris

with atheris.instrument_imports(include=["fuzzlib"]):
    import fuzzlib

import _quillet as q
from fuzzlib import (BadBytes, BadIndex, BadInt, BadIter, BadPair, BadPairs, BadStr, Chunk,
                     Raised, Tracked, call, check, compare)
from quillet import _native as n

DATA = [n.WS_TEXT, n.WS_BINARY]
CLOSE_CODES = [1000, 1001, 1002, 1003, 1007, 1011, 1014, 3000, 4000, 4999]
FAILURE_CODES = (1002, 1007, 1009)
UPGRADE = [(b"host", b"h"), (b"upgrade", b"websocket"), (b"connection", b"upgrade"),
           (b"sec-websocket-key", b"dGhlIHNhbXBsZSBub25jZQ=="),
           (b"sec-websocket-version", b"13")]
TEXTS = ["", "server", "client", "GET", "é", "a\ud800b", "\udfff", "chat, superchat",
         "permessage-deflate; client_max_window_bits", "dGhlIHNhbXBsZSBub25jZQ=="]
INTS = [0, 1, 2, 8, 9, 10, 3, 125, 126, 1000, 1005, 4999, 5000, 65535, 65536, 2**32, 2**64,
        -1, 10**40]
NAMES = ["role", "max_message_size", "allow_rsv1", "data", "opcode", "payload", "fin", "rsv1",
         "mask", "code", "reason", "key", "method", "headers", "http10", "bogus"]

tracked = Tracked()


def mask(fdp):
    return fdp.ConsumeBytes(4).ljust(4, b"\x00")


def pieces(fdp, data):
    """`data` cut at up to 8 fuzzed points."""
    cuts = sorted(fdp.ConsumeIntInRange(0, len(data)) for _ in range(fdp.ConsumeIntInRange(0, 8)))
    out, start = [], 0
    for cut in cuts + [len(data)]:
        out.append(data[start:cut])
        start = cut
    return out


def feed_all(decoder, chunks):
    """(events, failure code or None), or None when an allocation failure was injected."""
    events, code = [], None
    for chunk in chunks:
        chunk = tracked.add(Chunk(chunk))
        r = call(decoder.feed, chunk)
        del chunk
        if isinstance(r, Raised):
            if not isinstance(r.exc, n.WebSocketProtocolError):
                check(isinstance(r.exc, MemoryError), "feed raised", r.exc)
                return None
            code = r.exc.close_code
            check(code in FAILURE_CODES and isinstance(r.exc.args[1], str),
                  "a failure without its close code and message", r.exc.args)
            break
        events += r
    if code is None and decoder.failed:
        r = call(decoder.feed, b"")
        check(isinstance(r, Raised), "a failed decoder took more input", r)
        if not isinstance(r.exc, n.WebSocketProtocolError):
            return None
        code = r.exc.close_code
    return events, code


def compare_feeds(make, data, fdp):
    """The same bytes fed at once and in pieces give the same outcome; returns it."""
    whole = feed_all(make(), [data])
    cut = feed_all(make(), pieces(fdp, data))
    if whole is not None and cut is not None:
        compare(whole == cut, "pieces and whole differ", whole, cut)
    return whole


def roundtrip(fdp):
    limit = fdp.ConsumeIntInRange(0, 600)
    stream, expected, code = [], [], None
    for _ in range(fdp.ConsumeIntInRange(1, 6)):
        kind = fdp.ConsumeIntInRange(0, 3)
        if kind >= 2:  # a ping or a pong on its own
            opcode = n.WS_PING if kind == 2 else n.WS_PONG
            payload = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 125))
            stream.append(n.ws_frame(opcode, payload, mask=mask(fdp)))
            if code is None:
                expected.append((opcode, payload, 0))
            continue
        if kind == 0:
            message = fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 300))
            payload, opcode = message.encode(), n.WS_TEXT
        else:
            message = payload = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 800))
            opcode = n.WS_BINARY
        parts = pieces(fdp, payload) if fdp.ConsumeBool() else [payload]
        size = 0
        for i, part in enumerate(parts):
            last = i == len(parts) - 1
            # text pieces go out as bytes: a cut may fall inside a character
            stream.append(n.ws_frame(opcode if i == 0 else n.WS_CONTINUATION, part, fin=last,
                                     mask=mask(fdp)))
            size += len(part)
            if code is None and size > limit:
                code = 1009
            if not last and fdp.ConsumeBool():
                ping = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 10))
                stream.append(n.ws_frame(n.WS_PING, ping, mask=mask(fdp)))
                if code is None:
                    expected.append((n.WS_PING, ping, 0))
        if code is None:
            expected.append(message)
    if fdp.ConsumeBool():
        close_code = fdp.PickValueInList(CLOSE_CODES)
        reason = fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 40))
        payload = n.ws_close_payload(close_code, reason)
        stream.append(n.ws_frame(n.WS_CLOSE, payload, mask=mask(fdp)))
        if code is None:
            expected.append((n.WS_CLOSE, payload[2:].decode(), close_code))
    outcome = compare_feeds(lambda: n.WSDecoder("server", limit), b"".join(stream), fdp)
    if outcome is not None:
        compare(outcome == (expected, code), "the round trip changed the messages", outcome,
                (expected, code))


def raw(fdp):
    role = fdp.PickValueInList(["server", "client"])
    limit = fdp.ConsumeIntInRange(0, 70000)
    rsv1 = fdp.ConsumeBool()
    head = b""
    if fdp.ConsumeBool():
        head = n.ws_frame(fdp.PickValueInList(DATA), fdp.ConsumeBytes(20), rsv1=rsv1,
                          mask=mask(fdp) if role == "server" else None)
    data = head + fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 1500))
    outcome = compare_feeds(lambda: n.WSDecoder(role, limit, rsv1), data, fdp)
    if outcome is not None:
        for event in outcome[0]:
            if isinstance(event, tuple):
                check(event[0] in (n.WS_PING, n.WS_PONG, n.WS_CLOSE) or (rsv1 and event[0] in DATA),
                      "an event of an unknown kind", event)
            else:
                check(len(event) <= limit, "a message over the limit", len(event), limit)


def value(fdp, depth=0):
    kind = fdp.ConsumeIntInRange(0, 19)
    if kind < 3:
        return fdp.PickValueInList(TEXTS)
    if kind < 5:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 40))
    if kind < 7:
        return fdp.PickValueInList(INTS)
    if kind == 7:
        return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 20))
    if kind == 8:
        return None
    if kind == 9:
        return fdp.ConsumeBool()
    if kind == 10:
        return bytearray(fdp.ConsumeBytes(8))
    if kind == 11:
        return memoryview(fdp.ConsumeBytes(8))
    if kind == 12:
        return fdp.PickValueInList([BadStr("server"), BadBytes(b"\x81\x00"), BadInt(1),
                                    BadIndex(), BadIter(), BadPair(), object()])
    if kind == 13:
        return BadPairs(UPGRADE[:2])
    if kind == 14:
        return q.HeaderMap(UPGRADE[:fdp.ConsumeIntInRange(0, len(UPGRADE))])
    if kind == 15 and depth == 0:
        return [(value(fdp, 1), value(fdp, 1)) for _ in range(fdp.ConsumeIntInRange(0, 3))]
    if kind == 16:
        return UPGRADE[:fdp.ConsumeIntInRange(0, len(UPGRADE))]
    if kind == 17:
        return n.ws_frame(fdp.PickValueInList(DATA), fdp.ConsumeBytes(10), mask=mask(fdp))
    return Chunk(fdp.ConsumeBytes(4))


def calls(fdp):
    decoder = n.WSDecoder("server")
    targets = [n.WSDecoder, n.ws_frame, n.ws_close_payload, n.ws_accept, n.ws_check_request,
               n.ws_subprotocols, n.ws_extensions, n.ws_deflate_offers, decoder.feed,
               n.WebSocketProtocolError, n.WebSocketError]
    for _ in range(fdp.ConsumeIntInRange(1, 6)):
        fn = fdp.PickValueInList(targets)
        args = [value(fdp) for _ in range(fdp.ConsumeIntInRange(0, 5))]
        kwargs = {fdp.PickValueInList(NAMES): value(fdp)
                  for _ in range(fdp.ConsumeIntInRange(0, 2))}
        r = call(fn, *args, **kwargs)
        if fn is n.WebSocketProtocolError and not isinstance(r, Raised):
            first = args[0] if args and isinstance(args[0], int) else None
            check(r.close_code is first, "close_code is not the first argument", args)
        if fn is n.ws_frame and len(args) == 2 and not kwargs and type(args[1]) is str:
            try:
                encoded = args[1].encode()
            except UnicodeEncodeError:
                encoded = None
            if encoded is not None:
                other = call(n.ws_frame, args[0], encoded)
                compare(type(r) is type(other) and (isinstance(r, Raised) or r == other),
                        "a str payload is not its UTF-8", args, r, other)
    pairs = UPGRADE[:fdp.ConsumeIntInRange(0, len(UPGRADE))]
    method = fdp.PickValueInList(["GET", "POST", "get"])
    a = call(n.ws_check_request, method, pairs)
    b = call(n.ws_check_request, method, q.HeaderMap(pairs))
    compare(a == b, "a HeaderMap and its pairs are read differently", pairs, a, b)


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    fuzzlib.plan_failure(fdp)
    try:
        mode = fdp.ConsumeIntInRange(0, 2)
        (roundtrip, raw, calls)[mode](fdp)
    except MemoryError:
        return  # the harness's own allocation failed
    tracked.verify("feed")


test_one_input = atheris.instrument_func(test_one_input)
for _fn in (roundtrip, raw, calls, feed_all, compare_feeds, value, pieces):
    globals()[_fn.__name__] = atheris.instrument_func(_fn)


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
