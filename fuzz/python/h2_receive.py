#!/usr/bin/env python3
"""Fuzz target: the HTTP/2 receive path through the Python surface. H2Codec.receive over fuzzed
bytes in fuzzed pieces, under fuzzed limits; and H2Streams in either role driven as a driver
drives it: the bytes a peer H2Codec writes (mostly well-formed frames with fuzzed fields,
sometimes raw bytes) are received in fuzzed pieces and every frame goes to its recv_* method;
a stream error is answered with reset_on_error, a connection error sends GOAWAY, fails the
connection and ends the input. Between reads, fuzzed sends (requests or responses, DATA,
trailers, resets, capacity released, the graceful shutdown) and writes of the pending batch,
which the peer decodes.

Run by scripts/fuzz-python against the sanitizer build. Properties checked beyond "no crash, no
sanitizer report, no undocumented exception":
- every H2Error has the documented args: H2ProtocolError (reason, message), H2StreamError
  (stream id, reason, initiator), H2FlowControlError (reason,), H2UserError (kind, message);
- every event and verdict field has its documented type; flags are within H2_FLAG_*, header
  kinds within H2_HEADERS_*; every handle in a verdict is None or one the driver handed in
  (an opened stream's is the spare it passed); a delivered payload equals the frame's data and
  a send never reports more than it was given;
- what the connection writes decodes at the peer without a connection error, as long as only
  the peer's own frames were delivered;
- once the connection is dropped, every handle handed to it has its own references only, and a
  connection whose handles refer back to it is collected.
"""

import inspect
import sys

import atheris

with atheris.instrument_imports(include=["fuzzlib"]):
    import fuzzlib

import _quillet as q
from fuzzlib import Raised, Tracked, call, check, compare

ALL_FLAGS = (q.H2_FLAG_WAKE | q.H2_FLAG_SLOT_FREED | q.H2_FLAG_CONN_DONE
             | q.H2_FLAG_STOP_ACCEPTING | q.H2_FLAG_CAPACITY)
HEADER_KINDS = (q.H2_HEADERS_IGNORED, q.H2_HEADERS_OPENED, q.H2_HEADERS_HEAD,
                q.H2_HEADERS_TRAILERS)
INITIATORS = ("user", "library", "remote")
REASONS = [0, 1, 2, 3, 5, 7, 8, 11, 13, 0xFFFFFFFF]
WINDOWS = [0, 1, 100, 16384, 65535, 1 << 20, 2**31 - 1]
STATUSES = [100, 103, 200, 204, 304, 404, 999]
FIELDS = [("x-a", "1"), ("content-length", "0"), ("content-length", "5"),
          ("content-length", "x"), ("te", "trailers"), ("cookie", "a=b"), ("x-b", "v" * 300),
          ("accept", "*/*")]
BAD_FIELDS = [("connection", "close"), ("te", "gzip"), ("upgrade", "h2c")]


class Handle:
    """A driver's per-stream object."""


class Conn(q.H2Streams):
    pass


def fields(fdp, bad_ok=True):
    pool = FIELDS + (BAD_FIELDS if bad_ok and fdp.ConsumeIntInRange(0, 7) == 0 else [])
    return q.HeaderMap([fdp.PickValueInList(pool) for _ in range(fdp.ConsumeIntInRange(0, 3))])


def check_error(exc):
    """An H2Error carries the documented args."""
    args = exc.args
    if isinstance(exc, q.H2StreamError):
        check(len(args) == 3 and type(args[0]) is int and type(args[1]) is int
              and args[2] in INITIATORS and 0 < args[0] < 2**31, "H2StreamError args", args)
    elif isinstance(exc, q.H2FlowControlError):
        check(args == (3,), "H2FlowControlError args", args)
    elif isinstance(exc, q.H2UserError):
        check(len(args) == 2 and all(type(a) is str for a in args), "H2UserError args", args)
    elif isinstance(exc, q.H2ProtocolError):
        check(len(args) == 2 and type(args[0]) is int and type(args[1]) is str,
              "H2ProtocolError args", args)


def outcome(r):
    """The result, or None after checking a raised error's args."""
    if isinstance(r, Raised):
        check_error(r.exc)
        return None
    return r


# ---------------------------------------------------------------------------------------------
# Events and verdicts.

EVENT_FIELDS = {
    q.H2FrameHeaders: {"stream_id": int, "end_stream": bool, "end_headers": bool,
                       "method": (str, type(None)), "scheme": (str, type(None)),
                       "authority": (str, type(None)), "path": (str, type(None)),
                       "status": (int, type(None)), "headers": q.HeaderMap,
                       "content_length": (int, type(None)), "content_length_invalid": bool,
                       "is_informational": bool},
    q.H2FrameData: {"stream_id": int, "end_stream": bool, "data": bytes,
                    "flow_controlled_len": int, "padding": int},
    q.H2FrameSettings: {"ack": bool, "header_table_size": (int, type(None)),
                        "enable_push": (bool, type(None)),
                        "max_concurrent_streams": (int, type(None)),
                        "initial_window_size": (int, type(None)),
                        "max_frame_size": (int, type(None)),
                        "max_header_list_size": (int, type(None))},
    q.H2FrameWindowUpdate: {"stream_id": int, "increment": int},
    q.H2FramePing: {"ack": bool, "data": bytes},
    q.H2FrameGoAway: {"last_stream_id": int, "error_code": int, "debug_data": bytes},
    q.H2FrameRstStream: {"stream_id": int, "error_code": int},
    q.H2FramePriority: {"stream_id": int},
    q.H2FrameStreamError: {"stream_id": int, "error_code": int},
}


def check_events(events):
    check(type(events) is list, "receive result", events)
    for e in events:
        expected = EVENT_FIELDS.get(type(e))
        check(expected is not None, "an event of an undocumented class", e)
        for name, kind in expected.items():
            value = getattr(e, name)
            check(isinstance(value, kind) and (kind is not int or type(value) is int),
                  "event field type", type(e).__name__, name, value)
        if type(e) is q.H2FrameData:
            check(e.flow_controlled_len == len(e.data) + e.padding, "DATA lengths", e)
        elif type(e) is q.H2FramePing:
            check(len(e.data) == 8, "PING data", e)
        elif type(e) is q.H2FrameHeaders:
            check(e.status is None or 100 <= e.status <= 999, "status", e.status)
            for name, value in e.headers.items():
                check(type(name) is str and type(value) is bytes, "header types", name, value)
        repr(e)


def check_stop(stop, optional=True):
    if stop is None and optional:
        return
    check(type(stop) is q.H2Stopped, "a stop of the wrong class", stop)
    check(stop.reason is None or type(stop.reason) is int, "H2Stopped.reason", stop)
    check(type(stop.conn) is bool, "H2Stopped.conn", stop)


def check_flags(flags):
    check(type(flags) is int and flags & ~ALL_FLAGS == 0, "flags", flags)


def check_returned_flags(r):
    """The flags a call answered, unless it raised (its error checked instead)."""
    flags = outcome(r)
    if not isinstance(r, Raised):
        check_flags(flags)


class World:
    """What the driver knows: the handles it handed in, and the ids it has seen."""

    def __init__(self, tracked, server):
        self.tracked = tracked
        self.server = server
        self.handles = {}  # id -> handle
        self.sids = []
        self.unread = []  # (sid, chunk length, budgeted) not yet consumed
        self.raw = False  # bytes other than the peer's own frames were delivered
        # What the peer reads: never lowered, since frames queued before the connection saw a
        # lower value may still be on their way.
        self.peer_frame_size = 16384
        self.peer_table_size = 4096
        self.over = False  # a connection error ended the input

    def handle(self):
        h = self.tracked.add(Handle())
        self.handles[id(h)] = h
        return h

    def known(self, h):
        check(h is None or self.handles.get(id(h)) is h, "a handle the driver never handed in",
              h)

    def sid(self, fdp):
        if self.sids and fdp.ConsumeIntInRange(0, 7) != 0:
            return fdp.PickValueInList(self.sids)
        return fdp.PickValueInList([0, 1, 2, 3, 5, 7, 2**31 - 1])


def connection_error(conn, world, exc):
    """What a driver does on a connection error: GOAWAY, fail, publish the stops."""
    reason = exc.args[0] if isinstance(exc, (q.H2ProtocolError, q.H2FlowControlError)) else 2
    check_returned_flags(call(conn.send_goaway, reason))
    pairs = outcome(call(conn.fail, exc if isinstance(exc, q.H2Error) else None))
    for handle, stop in pairs or []:
        world.known(handle)
        check_stop(stop, optional=False)
    world.over = True


def answer(conn, world, r):
    """A step's raised error, handled as a driver would; the value otherwise."""
    if not isinstance(r, Raised):
        return r
    exc = r.exc
    check_error(exc)
    if isinstance(exc, q.H2StreamError):
        v = call(conn.reset_on_error, exc.args[0], exc.args[1])
        if isinstance(v, Raised):
            check_error(v.exc)
            compare(isinstance(v.exc, q.H2Error), "reset_on_error raised", v)
            connection_error(conn, world, v.exc)
        else:
            check_reset(world, v)
        return None
    compare(isinstance(exc, q.H2Error), "a receive step raised outside H2Error", exc)
    connection_error(conn, world, exc)
    return None


def check_reset(world, v):
    check(type(v) is q.H2ResetVerdict, "reset verdict", v)
    world.known(v.handle)
    check_stop(v.stop)
    check_flags(v.flags)


def check_send(world, v, given):
    check(type(v) is q.H2SendVerdict, "send verdict", v)
    check(type(v.sent) is int and 0 <= v.sent <= given, "sent", v.sent, given)
    check(type(v.done) is bool, "done", v)
    check_stop(v.stopped)
    check_stop(v.reader_stop)
    world.known(v.handle)
    check_flags(v.flags)


def consume(conn, world, fdp):
    """The application reads some of the chunks delivered so far."""
    keep = []
    for sid, n, budgeted in world.unread:
        if fdp.ConsumeBool():
            check_returned_flags(call(conn.release_capacity, sid, n))
            if budgeted:
                call(conn.release_data_frame, sid, n)
        else:
            keep.append((sid, n, budgeted))
    world.unread = keep


def dispatch(conn, world, fdp, frames):
    for frame in frames:
        if world.over:
            return
        kind = type(frame)
        if kind is q.H2FrameSettings:
            r = answer(conn, world, call(conn.recv_settings, frame))
            if r is not None:
                initial, wake, flags = r
                check(type(initial) is bool and type(wake) is list, "recv_settings", r)
                for h in wake:
                    world.known(h)
                check_flags(flags)
        elif kind is q.H2FramePing:
            r = answer(conn, world, call(conn.recv_ping, frame))
            if r is not None:
                check_flags(r)
        elif kind is q.H2FrameHeaders:
            spare = world.handle() if world.server else None
            v = answer(conn, world, call(conn.recv_headers, frame, spare))
            if v is not None:
                check(type(v) is q.H2RecvHeadersVerdict and v.kind in HEADER_KINDS
                      and type(v.eof) is bool and v.stream_id == frame.stream_id,
                      "headers verdict", v)
                check_flags(v.flags)
                world.known(v.handle)
                if v.kind == q.H2_HEADERS_OPENED:
                    check(world.server and v.handle is spare, "an opened stream's handle", v)
                    world.sids.append(v.stream_id)
                    if fdp.ConsumeBool():
                        call(conn.accepted, v.stream_id)
        elif kind is q.H2FrameData:
            v = answer(conn, world, call(conn.recv_data, frame))
            if v is not None:
                check(type(v) is q.H2RecvDataVerdict and type(v.budgeted) is bool
                      and type(v.eof) is bool, "data verdict", v)
                check(v.payload is None or v.payload == frame.data, "payload", v)
                world.known(v.handle)
                check_flags(v.flags)
                if v.payload is not None:
                    world.unread.append((frame.stream_id, len(v.payload), v.budgeted))
        elif kind is q.H2FrameWindowUpdate:
            r = answer(conn, world, call(conn.recv_window_update, frame))
            if r is not None:
                check(type(r) is list, "recv_window_update", r)
                for h in r:
                    world.known(h)
        elif kind is q.H2FrameRstStream:
            r = answer(conn, world, call(conn.recv_reset, frame))
            if r is not None:
                handle, stop, notify_body, flags = r
                world.known(handle)
                check_stop(stop)
                check(type(notify_body) is bool, "notify_body", r)
                check_flags(flags)
        elif kind is q.H2FrameGoAway:
            r = answer(conn, world, call(conn.recv_go_away, frame))
            if r is not None:
                pairs, flags = r
                for handle, stop in pairs:
                    world.known(handle)
                    check_stop(stop, optional=False)
                check_flags(flags)
        elif kind is q.H2FrameStreamError:
            v = call(conn.reset_on_error, frame.stream_id, frame.error_code)
            if isinstance(v, Raised):
                check_error(v.exc)
                connection_error(conn, world, v.exc)
            else:
                check_reset(world, v)
    if not world.over:
        check_returned_flags(call(conn.maybe_goaway_reply))


# ---------------------------------------------------------------------------------------------
# The peer's frames.

def peer_frames(fdp, peer, world):
    """One or a few frames from the peer's codec (its HPACK state follows every block)."""
    op = fdp.ConsumeIntInRange(0, 15)
    sid = world.sid(fdp)
    pick = fdp.PickValueInList
    if op < 4:
        if world.server:
            if fdp.ConsumeIntInRange(0, 3) != 0 or not world.sids:
                sid = (max(world.sids) + 2) if world.sids else 1
            world.sids.append(sid)
            return call(peer.serialize_request_headers, sid, pick(["GET", "POST", "HEAD"]),
                        pick(["/", "/x?y", "http://h/p"]), fields(fdp), fdp.ConsumeBool(),
                        scheme="https", authority="h")
        return call(peer.serialize_response_headers, sid, pick(STATUSES), fields(fdp),
                    fdp.ConsumeBool())
    if op < 7:
        data = pick([b"", b"x", b"hello", b"d" * 300, b"b" * 20000])
        return call(peer.serialize_data, sid, data[:16384], fdp.ConsumeBool())
    if op == 7:
        return call(peer.serialize_trailers, sid, fields(fdp))
    if op == 8:
        frame_size = pick([None, 16384, 20000, 16777215])
        table = pick([None, 0, 100, 4096, 65536])
        r = call(peer.serialize_settings, initial_window_size=pick([None] + WINDOWS),
                 max_concurrent_streams=pick([None, 0, 1, 100]), max_frame_size=frame_size,
                 header_table_size=table, max_header_list_size=pick([None, 100, 65536]),
                 enable_push=pick([None, False]))
        if not isinstance(r, Raised):  # the peer now reads what it announced
            world.peer_frame_size = max(world.peer_frame_size, frame_size or 0)
            world.peer_table_size = max(world.peer_table_size, table or 0)
            peer.set_max_recv_frame_size(world.peer_frame_size)
            peer.set_recv_header_table_size(world.peer_table_size)
        return r
    if op == 9:
        return peer.serialize_settings_ack()
    if op == 10:
        payload = pick([b"12345678", b"SHUTDOWN"])
        writer = peer.serialize_ping_ack if fdp.ConsumeBool() else peer.serialize_ping
        return writer(payload)
    if op == 11:
        return call(peer.serialize_window_update, pick([0, sid]), pick([1, 1000, 2**31 - 1]))
    if op == 12:
        return call(peer.serialize_rst_stream, sid, pick(REASONS))
    if op == 13:
        return call(peer.serialize_go_away, pick([0, 1, sid, 2**31 - 1]), pick(REASONS),
                    pick([None, b"bye"]))
    if op == 14:
        # A frame by hand: unknown types, odd flags, padding, PRIORITY.
        world.raw = True
        payload = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 24))
        header = (len(payload).to_bytes(3, "big") + bytes([fdp.ConsumeIntInRange(0, 12),
                                                           fdp.ConsumeIntInRange(0, 255)])
                  + sid.to_bytes(4, "big"))
        return header + payload
    world.raw = True
    return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 64))


def deliver(conn, world, fdp, data):
    """`data` received in fuzzed pieces, each read's frames dispatched."""
    pos = 0
    while pos < len(data) and not world.over:
        n = fdp.ConsumeIntInRange(1, len(data) - pos) if fdp.ConsumeBool() else len(data) - pos
        frames = answer(conn, world, call(conn.receive, data[pos:pos + n]))
        pos += n
        if frames is not None:
            check_events(frames)
            dispatch(conn, world, fdp, frames)
    if not world.over and data == b"" and fdp.ConsumeBool():
        frames = answer(conn, world, call(conn.receive, b""))
        if frames is not None:
            check_events(frames)
            dispatch(conn, world, fdp, frames)


def write_out(conn, world, peer):
    """The write pump: the batch goes to the peer, which must decode it."""
    r = call(conn.take_pending)
    if isinstance(r, Raised):
        return
    view, stopping = r
    check(type(view) is memoryview and view.readonly and type(stopping) is bool, "take_pending",
          r)
    data = bytes(view)
    view.release()
    for h in outcome(call(conn.credit_written)) or []:
        world.known(h)
    events = call(peer.receive, data)
    if isinstance(events, Raised):
        check_error(events.exc)
        compare(world.raw, "the peer could not decode what the connection wrote", events, data)


# ---------------------------------------------------------------------------------------------
# Sequences.

def codec_sequence(fdp):
    """H2Codec alone under fuzzed limits: receive and the setters, in any order."""
    codec = q.H2Codec(fdp.PickValueInList(["client", "server"]))
    peer = q.H2Codec("server" if codec.role_client else "client")
    world = World(Tracked(), not codec.role_client)
    if world.server and fdp.ConsumeIntInRange(0, 7) != 0:
        check(codec.receive(q.H2_PREFACE) == [], "the preface alone")
    for _ in range(fdp.ConsumeIntInRange(1, 30)):
        op = fdp.ConsumeIntInRange(0, 9)
        if op < 5:
            data = peer_frames(fdp, peer, world)
            if isinstance(data, Raised):
                continue
            pos = 0
            while pos < len(data):
                n = fdp.ConsumeIntInRange(1, len(data) - pos)
                events = outcome(call(codec.receive, data[pos:pos + n]))
                pos += n
                if events is not None:
                    check_events(events)
                    for e in events:
                        if type(e) is q.H2FrameHeaders and fdp.ConsumeBool():
                            world.sids.append(e.stream_id)
        elif op == 5:
            call(codec.set_max_recv_frame_size, fdp.PickValueInList([16383, 16384, 65536,
                                                                      16777215, 16777216]))
        elif op == 6:
            call(codec.set_max_header_list_size, fdp.PickValueInList([0, 50, 4096, 2**32 - 1]))
        elif op == 7:
            call(codec.set_recv_header_table_size, fdp.PickValueInList([0, 100, 4096, 2**32]))
        elif op == 8:
            r = outcome(call(codec.feed_preface, fdp.PickValueInList(
                [q.H2_PREFACE[:5], q.H2_PREFACE, b"GET / HTTP/1.1\r\n"])))
            check(r in (True, False, None), "feed_preface", r)
        else:
            check(type(codec.buffered()) is int, "buffered")


def streams_sequence(fdp, tracked):
    server = fdp.ConsumeBool()
    pick = fdp.PickValueInList
    cls = Conn if fdp.ConsumeBool() else q.H2Streams
    conn = cls("server" if server else "client",
               initial_window_size=pick(WINDOWS), connection_window=pick(WINDOWS),
               max_frame_size=pick([16384, 16777215]),
               max_header_list_size=pick([0, 100, 65536, 2**32 - 1]),
               max_send_buf_size=pick([0, 1, 65536, 1 << 20]),
               max_concurrent_streams=pick([None, 0, 1, 100]),
               max_pending_accept_reset_streams=pick([0, 1, 20]),
               max_local_error_reset_streams=pick([None, 0, 3, 1024]),
               data_frame_budget=pick([None, 0, 300, 25600]),
               auto_date_header=fdp.ConsumeBool())
    if cls is Conn and fdp.ConsumeIntInRange(0, 3) == 0:
        tracked.tie(conn)  # the handles refer back to the connection
        conn.extra = conn
    world = World(tracked, server)
    peer = q.H2Codec("client" if server else "server")
    conn.begin()
    if server:
        deliver(conn, world, fdp, q.H2_PREFACE)
    for _ in range(fdp.ConsumeIntInRange(1, 40)):
        if world.over:
            break
        op = fdp.ConsumeIntInRange(0, 19)
        if op < 7:
            data = b"".join(d for d in (peer_frames(fdp, peer, world)
                                        for _ in range(fdp.ConsumeIntInRange(1, 4)))
                            if type(d) is bytes)
            deliver(conn, world, fdp, data)
        elif op == 7:
            write_out(conn, world, peer)
        elif op == 8:
            consume(conn, world, fdp)
        elif op == 9:
            if server:
                v = outcome(call(conn.send_response_head, world.sid(fdp), pick(STATUSES),
                                 fields(fdp), fdp.ConsumeBool()))
                if v is not None:
                    check_send(world, v, 0)
            elif outcome(call(conn.try_claim_slot)):
                sid = outcome(call(conn.open_stream, pick(["GET", "POST", "HEAD", "CONNECT"]),
                                   pick(["/", "http://h/x", "h:443"]), fields(fdp),
                                   fdp.ConsumeBool(), fdp.ConsumeBool(), world.handle(),
                                   scheme="http", authority="h"))
                check(sid is None or (type(sid) is int and sid % 2 == 1), "open_stream", sid)
                if sid is not None:
                    world.sids.append(sid)
        elif op == 10:
            data = pick([b"", b"abc", b"x" * 70000])
            offset = fdp.ConsumeIntInRange(0, len(data))
            v = outcome(call(conn.send_data, world.sid(fdp), data, offset, fdp.ConsumeBool()))
            if v is not None:
                check_send(world, v, len(data) - offset)
                if v.flags & q.H2_FLAG_CAPACITY:
                    world.known(conn.next_capacity_wake())
        elif op == 11:
            v = outcome(call(conn.send_trailers, world.sid(fdp), fields(fdp)))
            if v is not None:
                check_send(world, v, 0)
        elif op == 12:
            v = outcome(call(conn.reset_stream, world.sid(fdp), pick(REASONS),
                             pick(["user", "library", "remote"])))
            if v is not None:
                check_reset(world, v)
        elif op == 13:
            v = outcome(call(conn.aclose_body, world.sid(fdp)))
            if v is not None:
                check_reset(world, v)
        elif op == 14:
            call(conn.accepted, world.sid(fdp))
        elif op == 15:
            check_returned_flags(call(conn.begin_graceful_shutdown))
        elif op == 16:
            check_returned_flags(call(conn.send_goaway, pick(REASONS)))
        elif op == 17:
            started = outcome(call(conn.writer_start))
            if started and fdp.ConsumeBool():
                call(conn.writer_end)
        elif op == 18:
            sid = world.sid(fdp)
            state = conn.stream_state(sid)
            check(state is None or type(state) is str, "stream_state", state)
            for query in (conn.stream_recv_unreleased, conn.stream_data_budget_charged,
                          conn.stream_send_buffered, conn.stream_send_window):
                value = query(sid)
                check(value is None or type(value) is int, query.__name__, value)
            check(type(conn.in_reset_store(sid)) is bool, "in_reset_store")
            repr(conn)
        else:
            pairs = outcome(call(conn.fail, None, "fuzzed close"))
            for handle, stop in pairs or []:
                world.known(handle)
                check_stop(stop, optional=False)
            check(conn.is_failed() and conn.is_closed(), "fail did not close")
    if not world.over and fdp.ConsumeBool():
        write_out(conn, world, peer)


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    tracked = Tracked()
    fuzzlib.plan_failure(fdp)
    try:
        if fdp.ConsumeIntInRange(0, 3) == 0:
            codec_sequence(fdp)
        else:
            streams_sequence(fdp, tracked)
    except MemoryError:
        return  # the harness's own allocation failed
    tracked.verify("h2_receive")


for _name, _fn in list(globals().items()):
    if inspect.isfunction(_fn) and _fn.__module__ == __name__:
        globals()[_name] = atheris.instrument_func(_fn)


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
