"""Two in-memory HTTP/2 peers that speak through the bytes they hand each other: `QuilletPeer`
drives an H2Streams the way a read pump and a write pump do, `H2Peer` wraps the h2 package's
H2Connection (a black box), and `run` shuttles bytes between two of them.

Both record every stream the same way (`Stream`), so a test can run one exchange with any pair
and compare what each side saw with what the other sent. A server answers each request from its
`routes` once the whole request has arrived (or at its head, for `answer_early` paths); either
side can cancel a stream mid-body with `cancel_after`."""

from dataclasses import dataclass, field

import h2.config
import h2.connection
import h2.events
import h2.exceptions
import h2.settings

from _quillet import (H2_FLAG_CAPACITY, H2_FLAG_SLOT_FREED, H2_FLAG_STOP_ACCEPTING,
                      H2_HEADERS_HEAD, H2_HEADERS_OPENED, H2_HEADERS_TRAILERS, H2FlowControlError,
                      H2FrameData, H2FrameGoAway, H2FrameHeaders, H2FramePing, H2FramePriority,
                      H2FrameRstStream, H2FrameSettings, H2FrameStreamError, H2FrameWindowUpdate,
                      H2ProtocolError, H2Streams, H2StreamError, HeaderMap)

CANCEL = 8
AUTHORITY = "example.com"
LIMITS = dict(initial_window_size=65535, connection_window=65535, max_frame_size=16384,
              max_header_list_size=65536, max_send_buf_size=1 << 16)


def fields(pairs):
    """Header pairs as the bytes that travel: names in lower case."""
    if pairs is None:
        return None
    return [(n.lower().encode() if isinstance(n, str) else n,
             v.encode() if isinstance(v, str) else v) for n, v in pairs]


@dataclass
class Message:
    """One side of an exchange: the head's fields (pseudo fields aside), body and trailers."""
    headers: list = field(default_factory=list)
    body: bytes = b""
    trailers: list | None = None
    status: int = 200  # a response's


class Stream:
    """What one peer knows of one stream: the peer's head, body, trailers and end as they
    arrived, how much of our own body went out, and who reset the stream."""

    def __init__(self, sid=None):
        self.sid = sid
        self.pseudo = {}           # str -> str
        self.headers = None        # [(bytes, bytes)], pseudo fields aside
        self.body = bytearray()
        self.trailers = None
        self.ended = False         # the peer's END_STREAM arrived
        self.sent = 0              # our body bytes handed to the connection
        self.finished = False      # our END_STREAM is queued
        self.reset_sent = None     # the code of the RST_STREAM we sent
        self.reset_received = None  # the code of the RST_STREAM the peer sent
        self.stop = None           # the H2Stopped published to it (QuilletPeer)
        self.cancel_after = None   # reset with CANCEL once this many body bytes have arrived
        self.refused = False       # the connection would not open it
        self.window_event = True   # QuilletPeer: the sender may retry

    def __repr__(self):
        return (f"Stream({self.sid}, body={len(self.body)}, ended={self.ended}, "
                f"sent={self.sent}, finished={self.finished}, reset_sent={self.reset_sent}, "
                f"reset_received={self.reset_received}, stop={self.stop})")


class _Sending:
    """A body (and its trailers) on its way out."""

    def __init__(self, stream, body, trailers):
        self.stream, self.body, self.trailers = stream, body, trailers
        self.offset = 0


class Peer:
    def __init__(self, role):
        self.role = role
        self.streams = {}           # sid -> Stream
        self.routes = {}            # path -> Message (server)
        self.cancel_uploads = {}    # path -> bytes after which the server cancels the request
        self.answer_early = set()   # paths answered as soon as the request head arrives
        self.goaways = []           # (last_stream_id, error_code) of each GOAWAY received
        self._out = []
        self._waiting = []          # requests waiting for a stream slot

    def route(self, path, response):
        self.routes[path] = response

    def request(self, path, message, method="POST", cancel_after=None):
        """A request stream, opened now or as soon as the peer's stream limit allows; None when
        the connection takes no new streams."""
        stream = Stream()
        stream.cancel_after = cancel_after
        self._waiting.append((stream, path, message, method))
        self._open_waiting()
        return None if stream.refused else stream

    def _open_waiting(self):
        while self._waiting:
            stream, *args = self._waiting[0]
            opened = self._open(stream, *args)
            if opened is False:
                return
            self._waiting.pop(0)
            if opened:
                self.streams[stream.sid] = stream
            else:
                stream.refused = True

    def _on_body(self, stream, data):
        stream.body += data
        if (stream.cancel_after is not None and stream.reset_sent is None
                and stream.reset_received is None and len(stream.body) >= stream.cancel_after):
            self.reset(stream, CANCEL)

    def _on_head(self, stream, pseudo, headers):
        stream.pseudo, stream.headers = pseudo, headers
        if self.role == "server":
            path = pseudo[":path"]
            stream.cancel_after = self.cancel_uploads.get(path)
            if path in self.answer_early:
                self._respond(stream, self.routes[path])

    def _on_end(self, stream):
        stream.ended = True
        path = stream.pseudo.get(":path")
        if self.role == "server" and stream.reset_sent is None and path not in self.answer_early:
            self._respond(stream, self.routes[path])


class QuilletPeer(Peer):
    """A synchronous driver of one H2Streams. A blocked body waits for its stream's window
    event, which only the connection's verdicts set: a wake the connection forgets to give
    leaves the body unsent and shows up in the test."""

    def __init__(self, role, **overrides):
        super().__init__(role)
        # A client refuses server push: a PUSH_PROMISE would be a connection error.
        push = {"enable_push": False} if role == "client" else {}
        self.conn = H2Streams(role, **{**LIMITS, "auto_date_header": False, **push, **overrides})
        self.conn.begin()
        self.flags = 0               # every flag any verdict carried
        self.error = None            # a connection error this side detected
        self.stop_accepting = None   # server: the streams left when the accept loop would end

    # -- output ------------------------------------------------------------------------------

    def data_to_send(self):
        out = bytearray()
        while True:
            self._pump()
            view, _ = self.conn.take_pending()
            chunk = bytes(view)
            view.release()
            for handle in self.conn.credit_written():
                handle.window_event = True
            if not chunk:
                return bytes(out)
            out += chunk

    def _pump(self):
        progress = True
        while progress:
            progress = False
            for item in list(self._out):
                if item.stream.window_event and self._advance(item):
                    progress = True

    def _advance(self, item):
        """One sender's turn; True when it made progress."""
        stream, conn = item.stream, self.conn
        stream.window_event = False
        moved = False
        while item.offset < len(item.body):
            v = conn.send_data(stream.sid, item.body, item.offset, item.trailers is None)
            self._verdict(v)
            if v.stopped is not None:
                return self._drop(item, v.stopped)
            item.offset += v.sent
            stream.sent = item.offset
            moved = moved or v.sent > 0
            if not v.done:
                if v.sent == 0:
                    return moved
                continue
            assert item.offset == len(item.body)
        if item.trailers is not None:
            v = conn.send_trailers(stream.sid, HeaderMap(item.trailers))
            self._verdict(v)
            if v.stopped is not None:
                return self._drop(item, v.stopped)
        stream.finished = True
        self._out.remove(item)
        return True

    def _drop(self, item, stop):
        item.stream.stop = item.stream.stop or stop
        self._out.remove(item)
        return True

    def _send(self, stream, message):
        if message.body or message.trailers is not None:
            self._out.append(_Sending(stream, message.body, message.trailers))
        else:
            stream.finished = True

    def _verdict(self, v):
        handle = getattr(v, "handle", None)
        stop = getattr(v, "reader_stop", None) or getattr(v, "stop", None)
        if handle is not None and stop is not None:
            handle.stop = stop
            handle.window_event = True
        self._flags(v.flags)

    def _flags(self, flags):
        self.flags |= flags
        if flags & H2_FLAG_CAPACITY:
            handle = self.conn.next_capacity_wake()
            if handle is not None:
                handle.window_event = True
        if flags & H2_FLAG_SLOT_FREED:
            self._open_waiting()
        if flags & H2_FLAG_STOP_ACCEPTING and self.stop_accepting is None:
            self.stop_accepting = self.conn.num_streams

    # -- the application ---------------------------------------------------------------------

    def _open(self, stream, path, message, method):
        if not self.conn.try_claim_slot():
            return False
        end = not message.body and message.trailers is None
        sid = self.conn.open_stream(method, path, HeaderMap(message.headers), end,
                                    method == "HEAD", stream, scheme="http", authority=AUTHORITY)
        if sid is None:
            return None
        stream.sid = sid
        self._send(stream, message)
        return True

    def _respond(self, stream, response):
        end = not response.body and response.trailers is None
        v = self.conn.send_response_head(stream.sid, response.status,
                                         HeaderMap(response.headers), end)
        self._verdict(v)
        if v.stopped is not None:
            stream.stop = v.stopped
        else:
            self._send(stream, response)

    def reset(self, stream, code):
        v = self.conn.reset_stream(stream.sid, code)
        stream.reset_sent = code
        self._verdict(v)

    def goaway(self, code=0):
        self._flags(self.conn.send_goaway(code))

    # -- input -------------------------------------------------------------------------------

    def receive_data(self, data):
        try:
            frames = self.conn.receive(data)
            for frame in frames:
                try:
                    self._dispatch(frame)
                except H2StreamError as exc:
                    sid, reason, _ = exc.args
                    self._verdict(self.conn.reset_on_error(sid, reason))
            self._flags(self.conn.maybe_goaway_reply())
        except (H2ProtocolError, H2FlowControlError) as exc:
            self.error = exc
            self._flags(self.conn.send_goaway(exc.args[0] if exc.args[0] is not None else 1))
            for handle, stop in self.conn.fail(exc):
                handle.stop = stop

    def _dispatch(self, frame):
        conn = self.conn
        if isinstance(frame, H2FrameData):
            v = conn.recv_data(frame)
            self._flags(v.flags)
            if v.payload is not None:
                stream, n = v.handle, len(v.payload)
                self._on_body(stream, v.payload)
                self._flags(conn.release_capacity(frame.stream_id, n))
                if v.budgeted:
                    conn.release_data_frame(frame.stream_id, n)
                if v.eof:
                    self._on_end(stream)
        elif isinstance(frame, H2FrameHeaders):
            spare = Stream(frame.stream_id) if self.role == "server" else None
            v = conn.recv_headers(frame, spare)
            self._flags(v.flags)
            stream = v.handle
            if v.kind == H2_HEADERS_OPENED:
                self.streams[v.stream_id] = stream
                conn.accepted(v.stream_id)
                pseudo = {":method": frame.method, ":scheme": frame.scheme,
                          ":authority": frame.authority, ":path": frame.path}
                self._on_head(stream, pseudo, frame.headers.raw_items())
            elif v.kind == H2_HEADERS_HEAD:
                self._on_head(stream, {":status": str(frame.status)}, frame.headers.raw_items())
            elif v.kind == H2_HEADERS_TRAILERS:
                stream.trailers = frame.headers.raw_items()
            if stream is not None and v.eof:
                self._on_end(stream)
        elif isinstance(frame, H2FrameSettings):
            _, wake, flags = conn.recv_settings(frame)
            for handle in wake:
                handle.window_event = True
            self._flags(flags)
        elif isinstance(frame, H2FrameWindowUpdate):
            for handle in conn.recv_window_update(frame):
                handle.window_event = True
        elif isinstance(frame, H2FramePing):
            self._flags(conn.recv_ping(frame))
        elif isinstance(frame, H2FrameRstStream):
            handle, stop, _, flags = conn.recv_reset(frame)
            if handle is not None:
                handle.stop = stop
                handle.reset_received = frame.error_code
                handle.window_event = True
            self._flags(flags)
        elif isinstance(frame, H2FrameGoAway):
            pairs, flags = conn.recv_go_away(frame)
            self.goaways.append((frame.last_stream_id, frame.error_code))
            for handle, stop in pairs:
                handle.stop = stop
            self._flags(flags)
        elif isinstance(frame, H2FrameStreamError):
            self._verdict(conn.reset_on_error(frame.stream_id, frame.error_code))
        else:
            assert isinstance(frame, H2FramePriority), frame


class H2Peer(Peer):
    """The h2 package's H2Connection in either role, used through its public interface. `pad`
    pads every DATA frame it sends; `hints` has a server send a 103 response before each final
    one; `max_concurrent_streams` is announced to the peer."""

    def __init__(self, role, pad=0, hints=False, max_concurrent_streams=None):
        super().__init__(role)
        config = h2.config.H2Configuration(client_side=role == "client", header_encoding=None)
        self.conn = h2.connection.H2Connection(config=config)
        self.conn.initiate_connection()
        if max_concurrent_streams is not None:
            self.conn.update_settings(
                {h2.settings.SettingCodes.MAX_CONCURRENT_STREAMS: max_concurrent_streams})
        self.pad, self.hints = pad, hints

    def data_to_send(self):
        self._open_waiting()
        self._pump()
        return self.conn.data_to_send()

    def _pump(self):
        for item in list(self._out):
            stream, conn = item.stream, self.conn
            if stream.reset_sent is not None or stream.reset_received is not None:
                self._out.remove(item)
                continue
            while item.offset < len(item.body):
                overhead = self.pad + 1 if self.pad else 0  # the pad length byte and the padding
                n = min(conn.local_flow_control_window(stream.sid) - overhead,
                        conn.max_outbound_frame_size - overhead, len(item.body) - item.offset)
                if n <= 0:
                    break
                end = item.offset + n == len(item.body) and item.trailers is None
                conn.send_data(stream.sid, item.body[item.offset:item.offset + n], end_stream=end,
                               pad_length=self.pad or None)
                item.offset += n
                stream.sent = item.offset
            if item.offset < len(item.body):
                continue
            if item.trailers is not None:
                conn.send_headers(stream.sid, item.trailers, end_stream=True)
            stream.finished = True
            self._out.remove(item)

    def _send_head(self, stream, pseudo, message):
        end = not message.body and message.trailers is None
        self.conn.send_headers(stream.sid, pseudo + fields(message.headers), end_stream=end)
        if end:
            stream.finished = True
        else:
            self._out.append(_Sending(stream, message.body, fields(message.trailers)))

    def _open(self, stream, path, message, method):
        conn = self.conn
        if conn.open_outbound_streams >= conn.remote_settings.max_concurrent_streams:
            return False
        try:
            stream.sid = conn.get_next_available_stream_id()
            self._send_head(stream, [(b":method", method.encode()), (b":scheme", b"http"),
                                     (b":authority", AUTHORITY.encode()),
                                     (b":path", path.encode())], message)
        except h2.exceptions.ProtocolError:
            return None  # the connection is closed to new streams
        return True

    def _respond(self, stream, response):
        if self.hints:
            self.conn.send_headers(stream.sid, [(b":status", b"103"),
                                                (b"link", b"</style.css>; rel=preload")])
        self._send_head(stream, [(b":status", str(response.status).encode())], response)

    def reset(self, stream, code):
        self.conn.reset_stream(stream.sid, code)
        stream.reset_sent = code

    def goaway(self, code=0):
        self.conn.close_connection(error_code=code)

    def receive_data(self, data):
        for ev in self.conn.receive_data(data):
            sid = getattr(ev, "stream_id", None)
            if isinstance(ev, (h2.events.RequestReceived, h2.events.ResponseReceived)):
                stream = self.streams.setdefault(sid, Stream(sid))
                pseudo = {n.decode(): v.decode() for n, v in ev.headers if n.startswith(b":")}
                self._on_head(stream, pseudo, [(n, v) for n, v in ev.headers
                                               if not n.startswith(b":")])
            elif isinstance(ev, h2.events.DataReceived):
                self.conn.acknowledge_received_data(ev.flow_controlled_length, sid)
                self._on_body(self.streams[sid], ev.data)
            elif isinstance(ev, h2.events.TrailersReceived):
                self.streams[sid].trailers = list(ev.headers)
            elif isinstance(ev, h2.events.StreamEnded):
                self._on_end(self.streams[sid])
            elif isinstance(ev, h2.events.StreamReset):  # its own resets count as sent
                stream = self.streams[sid]
                if ev.remote_reset:
                    stream.reset_received = int(ev.error_code)
                else:
                    stream.reset_sent = int(ev.error_code)
            elif isinstance(ev, h2.events.ConnectionTerminated):
                self.goaways.append((ev.last_stream_id, int(ev.error_code)))


def run(a, b, until=None, rounds=1000):
    """Shuttles bytes both ways, one batch per side per round, until neither side has anything
    to send (or `until()` holds after a round)."""
    for _ in range(rounds):
        out_a, out_b = a.data_to_send(), b.data_to_send()
        if not out_a and not out_b:
            return
        if out_a:
            b.receive_data(out_a)
        if out_b:
            a.receive_data(out_b)
        if until is not None and until():
            return
    raise AssertionError(f"still talking after {rounds} rounds")
