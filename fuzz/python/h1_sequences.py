#!/usr/bin/env python3
"""Fuzz target: H1Codec, H1BodyDecoder, H1ServerState and H1ClientState driven through the
Python surface by fuzzed call sequences, arguments and split points.

Run by scripts/fuzz-python against the sanitizer build. Properties checked beyond "no crash, no
sanitizer report, no undocumented exception":
- a request head parsed from one buffer equals the head parsed from the same bytes split at
  fuzzed points, with the same bytes left buffered, and its body decodes to the same data;
- a head written by serialize_request / serialize_response parses back to the same method,
  target, status and framing;
- the connection states hand the transport, the writer and every watcher handle out at most
  once and only the objects they were given; sequence numbers count up from 1; a closed state
  stays closed; codes and verdicts are in their documented sets; respond_head refuses a status
  serialize_response refuses;
- once the states are dropped, every object handed to them is back to its own references.
"""

import inspect
import operator
import sys

import atheris

with atheris.instrument_imports(include=["fuzzlib", "wiregen"]):
    import fuzzlib
    import wiregen as gen

import _quillet as q
from fuzzlib import BadIndex, Chunk, Raised, Tracked, call, check, compare

U64_MAX = 2**64 - 1
REQ_CODES = range(0, 6)
READ_CODES = range(0, 9)


class Transport:
    pass


class Event:
    pass


class Handle:
    pass


class Scope:
    pass


class ServerConn(q.H1ServerState):
    def __init__(self, codec, transport, **kwargs):
        super().__init__(codec, transport, **kwargs)
        self.extra = []


class ClientConn(q.H1ClientState):
    def __init__(self, transport):
        self.extra = []


class Stream:
    """Every byte given to one codec, for the known-bug guard."""

    def __init__(self):
        self.data = b""

    def add(self, data):
        if isinstance(data, (bytes, bytearray)):
            self.data += bytes(data)
        return data


# ---------------------------------------------------------------------------------------------
# Codec alone: split invariance and round trips.

HEAD_FIELDS = ("method", "target", "keep_alive", "body_kind", "content_length",
               "expect_continue", "is_upgrade", "http10", "allow_trailers")


def head_summary(head):
    return tuple(getattr(head, f) for f in HEAD_FIELDS) + (head.headers.items(),)


def decode_all(decoder, pieces, eof):
    """Feeds `pieces` to `decoder`, decoding after each; returns (data, outcome)."""
    out = []
    for piece in pieces + [None]:
        while True:
            chunk = call(decoder.decode)
            if isinstance(chunk, Raised):
                return b"".join(out), ("error",) + chunk.exc.args
            if not chunk:
                break
            check(type(chunk) is bytes, "decode returned a non-bytes chunk", chunk)
            out.append(chunk)
        if piece is None:
            break
        decoder.feed(piece)
    if eof and not decoder.is_complete:
        decoder.mark_eof()
        while True:
            chunk = call(decoder.decode)
            if isinstance(chunk, Raised):
                return b"".join(out), ("error",) + chunk.exc.args
            if not chunk:
                break
            out.append(chunk)
    return b"".join(out), (decoder.is_complete, decoder.buffered)


def split(fdp, data, most=6):
    cuts = sorted(fdp.ConsumeIntInRange(0, len(data)) for _ in range(fdp.ConsumeIntInRange(0, most)))
    pieces, start = [], 0
    for cut in cuts + [len(data)]:
        pieces.append(data[start:cut])
        start = cut
    return pieces


def codec_split(fdp):
    data = gen.request(fdp)
    whole = q.H1Codec()
    head = call(whole.receive_request_head, data)
    if not isinstance(head, q.H1RequestHead):
        return
    left = whole.buffered()
    pieces = split(fdp, data)
    parts = q.H1Codec()
    got = None
    for i, piece in enumerate(pieces):
        got = call(parts.receive_request_head, piece)
        if got is not None:
            break
        compare(i + 1 < len(pieces) or got is not None, "a split head never completed", data, pieces)
    compare(isinstance(got, q.H1RequestHead), "a head that parses whole fails in pieces", data,
          pieces, got)
    if not isinstance(got, q.H1RequestHead):
        return  # only after an injected allocation failure: nothing more to compare
    rest = b"".join(pieces[i + 1:])
    compare(head_summary(got) == head_summary(head), "split head differs", data, pieces)
    compare(parts.buffered() + len(rest) == left, "split head leaves other bytes buffered", data)
    # The body: moved into a decoder whole, and in the pieces that arrived.
    kind, n = head.body_kind, head.content_length or 0
    eof = fdp.ConsumeBool()
    a = q.H1BodyDecoder(kind, n)
    whole.take_body_into(a)
    compare(whole.buffered() == 0, "take_body_into left bytes in the codec")
    one = decode_all(a, [], eof)
    b = q.H1BodyDecoder(kind, n)
    parts.take_body_into(b)
    many = decode_all(b, split(fdp, rest, 4) if rest else [], eof)
    compare(one == many, "a body decoded in pieces differs", data, pieces, one, many)
    if kind == "length" and isinstance(one[1][0], bool) and one[1][0]:
        compare(len(one[0]) == n, "a complete length body has another length", n, one)


PLAIN_NAMES = ["X-Request-Id", b"x-b", "accept", "x-t"]


def target_fits(method, target):
    """The request-target forms a method may use: the authority form for CONNECT and nothing
    else, the asterisk form for OPTIONS alone."""
    if method == "CONNECT":
        return target == "example.com:443"
    return target != "example.com:443" and (target != "*" or method == "OPTIONS")


def roundtrip_request(fdp):
    """A request head written from plain fields (none that frames the body or the connection)
    and one sound Host line parses back to the same method, target, fields and framing; a
    target in a form its method may not use is written, and refused by the parser."""
    method = fdp.PickValueInList(gen.METHODS)
    target = fdp.PickValueInList(["/", "/a?b", "/x/y%20z", "http://example.com/p?q",
                                  "example.com:443", "*"])
    pairs = [("Host", fdp.PickValueInList(["example.com", b"[::1]:8080", "a.b:1"]))]
    pairs += [(fdp.PickValueInList(PLAIN_NAMES), fdp.PickValueInList(gen.VALUES))
              for _ in range(fdp.ConsumeIntInRange(0, 4))]
    n = gen.optional_length(fdp)
    chunked = fdp.ConsumeBool()
    head = call(q.H1Codec().serialize_request, method, target, q.HeaderMap(pairs),
                content_length=n, chunked=chunked, http10=fdp.ConsumeBool())
    if isinstance(head, Raised):
        return
    n = None if n is None else operator.index(n)
    if not chunked and n is not None and n >= U64_MAX - 1:
        # written as given, but these two are the framing's internal markers: refused by a
        # parser, which is all the check below could say
        return
    parsed = call(q.H1Codec().receive_request_head, head)
    if not target_fits(method, target):
        compare(isinstance(parsed, Raised) and isinstance(parsed.exc, q.H1ParseError)
                and parsed.exc.args[0] == "uri",
                "a target its method may not use was not refused", head, parsed)
        return
    compare(isinstance(parsed, q.H1RequestHead), "a written request head does not parse back",
          head, parsed)
    if not isinstance(parsed, q.H1RequestHead):
        return  # only after an injected allocation failure
    compare(parsed.method == method, "method changed on the way", head, parsed.method)
    for name, _ in pairs:
        sent = [v.encode() if isinstance(v, str) else v for k, v in pairs
                if (k.lower() if isinstance(k, str) else k.decode().lower())
                == (name.lower() if isinstance(name, str) else name.decode().lower())]
        if name == "Host" and target.startswith("http://"):
            sent = [b"example.com"]  # an absolute-form target names the host the request is for
        compare(parsed.headers.get_all(name) == [v.strip(b" \t") for v in sent],
              "field values changed on the way", head, name)
    if parsed.body_kind == "length":
        compare(parsed.content_length == (n or 0), "length framing changed", head, n)
    elif parsed.body_kind == "chunked":
        compare(chunked or n is None, "chunked framing from a known length", head)


def roundtrip_response(fdp):
    """A response head written from plain fields parses back (on a client that sent the
    request) to the same status and framing; a status outside 100..999 is a ValueError."""
    codec = q.H1Codec(title_case_headers=fdp.ConsumeBool(), date_header=fdp.ConsumeBool())
    method = fdp.PickValueInList(["GET", "HEAD", "POST", "CONNECT"])
    target = "example.com:443" if method == "CONNECT" else "/"
    client = q.H1Codec()
    # each side records the method: a HEAD or CONNECT response is framed by it
    codec.receive_request_head(client.serialize_request(method, target,
                                                        q.HeaderMap([("host", "example.com")])))
    status = gen.status(fdp)
    pairs = [(fdp.PickValueInList(PLAIN_NAMES), fdp.PickValueInList(gen.VALUES))
             for _ in range(fdp.ConsumeIntInRange(0, 3))]
    n = gen.optional_length(fdp)
    chunked = gen.flag(fdp)
    out = call(codec.serialize_response, status, q.HeaderMap(pairs), keep_alive=gen.flag(fdp),
               http10=gen.flag(fdp), content_length=n, chunked=chunked)
    in_range = type(status) is int and 100 <= status <= 999
    if isinstance(out, Raised):
        if type(status) is int and not in_range:
            compare(type(out.exc) is ValueError, "out-of-range status raised something else", out)
        return
    compare(in_range or type(status) is not int, "out-of-range status accepted", status)
    status = operator.index(status)
    n = None if n is None else operator.index(n)
    if status == 101 or n is not None and n >= U64_MAX - 2 and chunked is not True:
        # after a 101 the client parses nothing more; the two largest lengths are the framing's
        # own markers, written as given but refused by a parser
        if status == 101 or n > U64_MAX - 2:
            return
    parsed = call(client.receive_head, out)
    compare(isinstance(parsed, q.H1ResponseHead), "a written response head does not parse back",
          out, parsed)
    if not isinstance(parsed, q.H1ResponseHead):
        return  # only after an injected allocation failure
    compare(parsed.status == status, "status changed on the way", out, parsed.status)
    if parsed.body_kind == "length":
        compare(parsed.content_length == n, "length framing changed", out, n)


# ---------------------------------------------------------------------------------------------
# Codec driven by any sequence.


def codec_sequence(fdp, tracked):
    codec = q.H1Codec(max_buf_size=fdp.PickValueInList([8192, 8192, 417792, 2**40]))
    stream = Stream()
    decoder = None
    for _ in range(fdp.ConsumeIntInRange(1, 24)):
        op = fdp.ConsumeIntInRange(0, 13)
        if op == 0:
            data = stream.add(gen.wire(fdp))
            head = call(codec.receive_request_head, data)
            status = codec.parse_error_status
            if isinstance(head, Raised) and isinstance(head.exc, q.H1ParseError):
                check(status in (None, 400, 414, 431, 501), "odd parse_error_status", status)
        elif op == 1:
            call(codec.receive_head, stream.add(gen.wire(fdp, gen.response)))
        elif op == 2:
            call(codec.feed, stream.add(gen.wire(fdp)))
        elif op == 3:
            body = codec.take_body()
            check(type(body) is bytes and codec.buffered() == 0, "take_body")
        elif op == 4:
            kind = fdp.PickValueInList(["length", "chunked", "close", "empty", "other", "\udc80"])
            decoder = call(q.H1BodyDecoder, kind, gen.optional_length(fdp) or 0)
            if isinstance(decoder, Raised):
                decoder = None
            else:
                before = codec.buffered()
                extra = decoder.buffered
                codec.take_body_into(decoder)
                check(decoder.buffered == before + extra and codec.buffered() == 0,
                      "take_body_into lost bytes", before, extra, decoder.buffered)
        elif op == 5 and decoder is not None:
            call(decoder.feed, stream.add(gen.wire(fdp)))
            decode_all(decoder, [], fdp.ConsumeBool())
            trailers = decoder.take_trailers()
            check(trailers is None or isinstance(trailers, q.HeaderMap), "take_trailers")
        elif op == 6:
            call(codec.serialize_request, fdp.PickValueInList(gen.METHODS + ["G\ud800T"]),
                 fdp.PickValueInList(["/", "http://h/", "h:1", "*", "", "/\x00", "/\udfff"]),
                 gen.headers(fdp), http10=gen.flag(fdp),
                 content_length=gen.optional_length(fdp), chunked=gen.flag(fdp))
        elif op == 7:
            call(codec.serialize_response, gen.status(fdp), gen.headers(fdp),
                 keep_alive=gen.flag(fdp), http10=gen.flag(fdp),
                 content_length=gen.optional_length(fdp), chunked=gen.flag(fdp))
        elif op == 8:
            write_body(fdp, codec, tracked)
        elif op == 9:
            codec.reset()
        elif op == 10:
            check(codec.body_is_eof() in (True, False), "body_is_eof")
            codec.request_connection_close, codec.response_is_last
            codec.response_close_delimited, codec.max_buf_size, codec.parse_error_status
        elif op == 11:
            r = call(q.H1Codec.connection_close, gen.headers(fdp, map_only=True) or q.HeaderMap())
            check(type(r) is bool or isinstance(r, Raised), "connection_close", r)
        elif op == 12:
            head = call(codec.serialize_head_and_body, gen.as_wire(fdp, gen.raw(fdp)),
                        tracked.add(Chunk(gen.raw(fdp))) if fdp.ConsumeBool() else None,
                        gen.headers(fdp, map_only=True))
            check(isinstance(head, (bytes, Raised)), "serialize_head_and_body", head)
        elif op == 13:
            roundtrip_request(fdp)


def write_body(fdp, codec, tracked):
    """One step of a body write: a chunk, the end, or trailers."""
    kind = fdp.ConsumeIntInRange(0, 3)
    if kind < 2:
        chunk = tracked.add(Chunk(gen.raw(fdp))) if kind else gen.as_wire(fdp, gen.raw(fdp))
        out = call(codec.serialize_data, chunk)
        check(isinstance(out, (bytes, Raised)), "serialize_data", out)
    elif kind == 2:
        call(codec.serialize_end)
    else:
        call(codec.serialize_trailers, gen.headers(fdp, map_only=True) or q.HeaderMap())


# ---------------------------------------------------------------------------------------------
# Server state.


class Handout:
    """Counts how often the transport came back out of a state."""

    def __init__(self, transport, what):
        self.transport = transport
        self.count = 0
        self.what = what

    def took(self, obj, op):
        if obj is None:
            return
        check(obj is self.transport, f"{self.what}.{op} handed out an object it was never given",
              obj)
        self.count += 1
        check(self.count == 1, f"{self.what}.{op} handed the transport out twice")


def seq_arg(fdp, state):
    kind = fdp.ConsumeIntInRange(0, 15)
    current = state.current_seq
    if kind < 11:
        return current
    return [current - 1 if current else 0, current + 1, 0, U64_MAX, U64_MAX + 1, -1,
            BadIndex(), "1", True, None][kind - 11]


def server_sequence(fdp, tracked):
    transport = None if fdp.ConsumeIntInRange(0, 15) == 0 else tracked.add(Transport())
    codec = q.H1Codec(date_header=fdp.ConsumeBool(), max_headers=fdp.PickValueInList([None, 2, 100]))
    cls = ServerConn if fdp.ConsumeBool() else q.H1ServerState
    state = cls(codec, transport, keep_alive=fdp.ConsumeIntInRange(0, 7) != 0,
                half_close=fdp.ConsumeIntInRange(0, 7) == 0)
    if cls is ServerConn and fdp.ConsumeIntInRange(0, 3) == 0:
        # the objects the state holds refer back to it, and so does the subclass's attribute
        tracked.tie(state)
        state.extra.append(state)
    out = Handout(transport, "H1ServerState")
    stream = Stream()
    last_seq = 0
    stored_handle = None  # the handle the state holds, as far as the harness knows
    slot_event = None
    closed = False
    other = None
    for _ in range(fdp.ConsumeIntInRange(1, 40)):
        op = fdp.ConsumeIntInRange(0, 29)
        if op == 0:
            code, obj = state.begin_read()
            check(code in READ_CODES, "begin_read code", code)
            check_read(out, state, code, obj, slot_event, "begin_read")
        elif op == 1:
            data = stream.add(gen.wire(fdp))
            got = call(state.accept_head, data)
            if isinstance(got, tuple):
                head, seq, decoder = got
                check(type(head) is q.H1RequestHead and type(decoder) is q.H1BodyDecoder,
                      "accept_head result types", got)
                check(seq == last_seq + 1 and state.current_seq == seq, "seq numbering", seq,
                      last_seq)
                check(state.current_decoder() is decoder, "current_decoder")
                last_seq = seq
            else:
                check(got is None or isinstance(got, Raised), "accept_head result", got)
        elif op == 2:
            decoder = state.current_decoder()
            if decoder is not None:
                drive_decoder(fdp, decoder, stream)
            r = call(state.drain_done, gen.flag(fdp))
            if not isinstance(r, Raised):
                code, obj = r
                check(code in READ_CODES, "drain_done code", code)
                check_read(out, state, code, obj, slot_event, "drain_done")
        elif op == 3:
            r = call(state.begin_body_read, seq_arg(fdp, state))
            check(r in (True, False) or isinstance(r, Raised), "begin_body_read", r)
        elif op == 4:
            call(state.end_body_read, seq_arg(fdp, state), gen.flag(fdp))
        elif op == 5:
            decoder = state.current_decoder()
            if decoder is not None:
                drive_decoder(fdp, decoder, stream)
        elif op == 6:
            r = call(state.try_send_continue, seq_arg(fdp, state))
            check(r in (True, False) or isinstance(r, Raised), "try_send_continue", r)
        elif op == 7:
            done = tracked.add(Event())
            status = gen.status(fdp)
            r = call(state.respond_head, seq_arg(fdp, state), status,
                     gen.headers(fdp, map_only=fdp.ConsumeIntInRange(0, 7) != 0), done,
                     content_length=gen.optional_length(fdp), chunked=gen.flag(fdp),
                     want=gen.flag(fdp))
            if not isinstance(r, Raised):
                code, head, armed = r
                check(code in REQ_CODES, "respond_head code", r)
                if code == q.H1_REQ_OK:
                    check(type(head) is bytes and head.startswith(b"HTTP/1.")
                          and head.endswith(b"\r\n\r\n"), "respond_head head bytes", head)
                    check(100 <= int(status) <= 999, "respond_head accepted status", status)
                else:
                    check(head is None and armed is False, "respond_head refusal", r)
                if armed:
                    slot_event = done
                    check(state.has_watcher and state.watcher_done() is done, "armed slot")
        elif op == 8:
            write_body(fdp, state.codec, tracked)
        elif op == 9:
            r = call(state.finish_response, seq_arg(fdp, state))
            if isinstance(r, Raised):
                continue
            switch, close, obj, leftover = r
            out.took(obj, "finish_response")
            if switch:
                check(type(leftover) is bytes and state.upgraded and state.closed,
                      "switch without its leftover", leftover)
        elif op == 10:
            r = call(state.fail_response, seq_arg(fdp, state))
            if not isinstance(r, Raised):
                out.took(r, "fail_response")
        elif op == 11:
            r = call(state.detach, seq_arg(fdp, state))
            if not isinstance(r, Raised):
                code, obj, leftover = r
                check(code in (0, 1, 2, 3), "detach code", r)
                out.took(obj, "detach")
                check(code != 0 or type(leftover) is bytes, "detach leftover", r)
        elif op == 12:
            r = call(state.close_window, seq_arg(fdp, state))
            check(r in (True, False) or isinstance(r, Raised), "close_window", r)
        elif op == 13:
            out.took(state.request_shutdown(), "request_shutdown")
        elif op == 14:
            check(state.unpark_idle_read() in (True, False), "unpark_idle_read")
        elif op == 15:
            seq = seq_arg(fdp, state)
            r = call(state.peer_closed_now, seq)
            check(r in (True, False, None) or isinstance(r, Raised), "peer_closed_now", r)
            call(state.peer_closed_flag, seq)
        elif op == 16:
            done = tracked.add(Event())
            r = call(state.arm_watcher, seq_arg(fdp, state), done, want=gen.flag(fdp),
                     head_negotiated=gen.flag(fdp))
            if r is True:
                slot_event = done
                check(state.watcher_done() is done, "arm_watcher slot event")
        elif op == 17:
            handle = tracked.add(Handle())
            r = state.store_watcher_handle(handle)
            check(r is None or r is handle, "store_watcher_handle result", r)
            if r is None:
                check(stored_handle is None, "a second handle stored over the first")
                stored_handle = handle
        elif op == 18:
            data = stream.add(gen.wire(fdp)) if fdp.ConsumeBool() else None
            error = tracked.add(OSError("read")) if fdp.ConsumeIntInRange(0, 3) == 0 else None
            r = call(state.watcher_completed, data, error)
            check(r in (True, False) or isinstance(r, Raised), "watcher_completed", r)
        elif op == 19:
            state.watcher_aborted()
        elif op == 20:
            r = state.take_watcher_handle()
            check(r is stored_handle or r is None and stored_handle is None,
                  "take_watcher_handle returned another object", r, stored_handle)
            stored_handle = None
        elif op == 21:
            data, error = state.take_watcher_result()
            check(data is None or isinstance(data, bytes), "take_watcher_result data", data)
        elif op == 22:
            ev = state.watcher_done()
            check(ev is None or ev is slot_event, "watcher_done is another event", ev)
        elif op == 23:
            out.took(state.fail_read(), "fail_read")
        elif op == 24:
            which = fdp.ConsumeIntInRange(0, 2)
            if which == 0:
                state.stop_serving()
            elif which == 1:
                state.mark_unusable()
            else:
                obj, ev, was_closed = state.mark_closed()
                out.took(obj, "mark_closed")
                check(was_closed == closed, "mark_closed was_closed", was_closed, closed)
                check(ev is None or ev is slot_event, "mark_closed event", ev)
        elif op == 25:
            repr(state)
            state.reusable, state.half_close, state.keep_alive_enabled, state.shutdown_requested
            state.watcher_parked
            check(state.codec is codec, "codec property")
        elif op == 26:
            # the codec used behind the state's back: any order must stay safe
            which = fdp.ConsumeIntInRange(0, 3)
            if which == 0:
                codec.reset()
            elif which == 1:
                call(codec.feed, stream.add(gen.wire(fdp)))
            elif which == 2:
                codec.take_body()
            else:
                call(codec.receive_request_head, stream.add(gen.wire(fdp)))
        elif op == 27:
            ref = state.transport_ref()
            check(ref is None or ref is transport, "transport_ref")
            if out.count:
                check(ref is None, "transport_ref after the transport was handed out")
        elif op == 28:
            # the state's codec moved into another decoder behind its back
            decoder = state.current_decoder()
            if decoder is not None and fdp.ConsumeBool():
                codec.take_body_into(decoder)
            else:
                codec.take_body_into(q.H1BodyDecoder("chunked"))
        elif op == 29:
            # a second state on the same codec: nothing is promised but safety
            if other is None:
                other = ServerConn(codec, tracked.add(Transport()))
            step_other(fdp, other, stream, tracked)
        # Properties that hold after every step.
        check(not closed or state.closed, "a closed state reopened")
        closed = state.closed
        check(not state.upgraded or state.closed, "upgraded but not closed")
        if not state.has_watcher:
            check(stored_handle is None, "a stored watcher handle was dropped with its slot")
            slot_event = None


def step_other(fdp, other, stream, tracked):
    seq = other.current_seq
    which = fdp.ConsumeIntInRange(0, 6)
    if which == 0:
        call(other.begin_read)
    elif which == 1:
        call(other.accept_head, stream.add(gen.wire(fdp)))
    elif which == 2:
        call(other.respond_head, seq, 200, None, tracked.add(Event()),
             content_length=gen.optional_length(fdp), want=gen.flag(fdp))
    elif which == 3:
        call(other.finish_response, seq)
    elif which == 4:
        call(other.arm_watcher, seq, tracked.add(Event()))
    elif which == 5:
        call(other.watcher_completed, stream.add(gen.wire(fdp)) if fdp.ConsumeBool() else None)
    else:
        call(other.detach, seq)


def check_read(out, state, code, obj, slot_event, op):
    if code == q.H1_READ_TRANSPORT:
        check(obj is not None and obj is out.transport and out.count == 0,
              f"{op} lent a transport it does not hold", obj)
    elif code == q.H1_READ_WATCHER:
        check(obj is not None and obj is slot_event, f"{op} gave another watcher event", obj)
    elif code == q.H1_NEXT_CLOSE:
        out.took(obj, op)
    else:
        check(obj is None, f"{op} code {code} with an object", obj)


def drive_decoder(fdp, decoder, stream):
    for _ in range(fdp.ConsumeIntInRange(0, 3)):
        which = fdp.ConsumeIntInRange(0, 3)
        if which == 0:
            call(decoder.feed, stream.add(gen.wire(fdp)))
        elif which == 1:
            decoder.mark_eof()
        else:
            r = call(decoder.decode)
            check(r is None or isinstance(r, (bytes, Raised)), "decode result", r)


# ---------------------------------------------------------------------------------------------
# Client state.


def client_sequence(fdp, tracked):
    transport = None if fdp.ConsumeIntInRange(0, 15) == 0 else tracked.add(Transport())
    cls = ClientConn if fdp.ConsumeBool() else q.H1ClientState
    state = cls(transport)
    if cls is ClientConn and fdp.ConsumeIntInRange(0, 3) == 0:
        tracked.tie(state)
        state.extra.append(state)
    codec = q.H1Codec()
    stream = Stream()
    out = Handout(transport, "H1ClientState")
    first_error = None
    writer = None
    stored_handle = None
    slot_event = None
    decoder = None
    closed = False
    for _ in range(fdp.ConsumeIntInRange(1, 40)):
        op = fdp.ConsumeIntInRange(0, 21)
        if op == 0:
            check(state.try_begin_exchange() in (True, False), "try_begin_exchange")
        elif op == 1:
            check(state.end_exchange() in (True, False), "end_exchange")
        elif op == 2:
            state.exchange_started()
        elif op == 3:
            exc = tracked.add(OSError("boom")) if fdp.ConsumeBool() else None
            out.took(call(state.fail, exc), "fail")
            if first_error is None and exc is not None:
                first_error = exc
        elif op == 4:
            out.took(state.close_now(), "close_now")
        elif op == 5:
            obj, ev, w, idle = state.mark_closed()
            out.took(obj, "mark_closed")
            check(ev is None or ev is slot_event, "mark_closed event", ev)
            check(w is writer, "mark_closed writer", w, writer)
            writer = None
            check(idle in (True, False), "idle")
        elif op == 6:
            out.took(state.upgrade(), "upgrade")
        elif op == 7:
            scope = tracked.add(Scope())
            r = state.store_writer(scope)
            check(r is None or r is scope, "store_writer result", r)
            if r is None:
                writer = scope  # replaces (and releases) any earlier writer
        elif op == 8:
            w = state.take_writer()
            check(w is writer, "take_writer", w, writer)
            writer = None
        elif op == 9:
            state.writer_done()
        elif op == 10:
            done = tracked.add(Event())
            if state.arm_watcher(done):
                slot_event = done
                check(state.has_watcher and state.watcher_done() is done, "armed slot")
        elif op == 11:
            handle = tracked.add(Handle())
            r = state.store_watcher_handle(handle)
            check(r is None or r is handle, "store_watcher_handle result", r)
            if r is None:
                check(stored_handle is None, "a second handle stored over the first")
                stored_handle = handle
        elif op == 12:
            data = stream.add(gen.wire(fdp, gen.response)) if fdp.ConsumeBool() else None
            error = tracked.add(OSError("read")) if fdp.ConsumeIntInRange(0, 3) == 0 else None
            r = call(state.watcher_completed, data, error)
            if not isinstance(r, Raised):
                verdict, obj = r
                check(verdict in range(0, 5), "watcher verdict", r)
                check(obj is None or verdict == q.H1_WATCH_IDLE_EOF, "transport with a verdict", r)
                out.took(obj, "watcher_completed")
        elif op == 13:
            state.watcher_aborted()
        elif op == 14:
            ev = state.watcher_done()
            check(ev is None or ev is slot_event, "watcher_done", ev)
        elif op == 15:
            r = state.take_watcher_handle()
            check(r is stored_handle or r is None and stored_handle is None,
                  "take_watcher_handle returned another object", r, stored_handle)
            stored_handle = None
        elif op == 16:
            data, error = state.take_watcher_result()
            check(data is None or isinstance(data, bytes), "take_watcher_result", data)
        elif op == 17:
            call(state.set_peer_http10, gen.flag(fdp))
        elif op == 18:
            repr(state)
            check(state.is_dead() == (state.closed or state.error is not None), "is_dead")
            ref = state.transport_ref()
            check(ref is None or ref is transport, "transport_ref")
            if out.count:
                check(ref is None, "transport_ref after the transport was handed out")
            state.busy, state.peer_http10, state.writer_finished, state.upgraded
        elif op == 19:
            call(codec.serialize_request, fdp.PickValueInList(gen.METHODS),
                 fdp.PickValueInList(["/", "http://h/x", "h:443"]), gen.headers(fdp),
                 content_length=gen.optional_length(fdp), chunked=gen.flag(fdp))
        elif op == 20:
            head = call(codec.receive_head, stream.add(gen.wire(fdp, gen.response)))
            if isinstance(head, q.H1ResponseHead):
                decoder = q.H1BodyDecoder(head.body_kind, head.content_length or 0)
                codec.take_body_into(decoder)
            elif decoder is not None:
                drive_decoder(fdp, decoder, stream)
        elif op == 21:
            write_body(fdp, codec, tracked)
        check(state.error is first_error, "the first stored error did not stay", state.error)
        check(not closed or state.closed, "a closed state reopened")
        closed = state.closed
        check(not state.upgraded or state.closed, "upgraded but not closed")
        if not state.has_watcher:
            check(stored_handle is None, "a stored watcher handle was dropped with its slot")
            slot_event = None


# ---------------------------------------------------------------------------------------------

MODES = [codec_split, roundtrip_request, roundtrip_response]
SEQUENCES = [codec_sequence, server_sequence, client_sequence]


def run(fdp, tracked):
    mode = fdp.ConsumeIntInRange(0, 5)
    if mode < len(MODES):
        MODES[mode](fdp)
    else:
        SEQUENCES[mode % len(SEQUENCES)](fdp, tracked)


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    tracked = Tracked()
    fuzzlib.plan_failure(fdp)
    try:
        run(fdp, tracked)
    except MemoryError:
        # the harness's own allocation hit the run's limit: not a finding
        return
    tracked.verify("h1_sequences")


# The harness's own branches guide the fuzzer too (which operation ran, which verdict came back).
for _name, _fn in list(globals().items()):
    if inspect.isfunction(_fn) and _fn.__module__ == __name__:
        globals()[_name] = atheris.instrument_func(_fn)


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
