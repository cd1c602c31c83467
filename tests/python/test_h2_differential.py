"""The frame layer, HPACK and the connection against independent peers used as black boxes:
frames written here parse with hyperframe and frames written by hyperframe decode here to the
same fields; header blocks written here decode with hpack, and blocks written by hpack decode
here, over a varied corpus that keeps one compression context per side across many blocks; and
requests sent by an h2 client, responses sent by an h2 server, arrive at H2Streams with the same
fields, bodies and trailers."""

import string

import h2.config
import h2.connection
import h2.events
import hpack
import hyperframe.frame as hf
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _quillet import (H2_HEADERS_HEAD, H2_HEADERS_OPENED, H2_HEADERS_TRAILERS, H2_PREFACE,
                      H2Codec, H2FrameData, H2FrameGoAway, H2FrameHeaders, H2FramePing,
                      H2FramePriority, H2FrameRstStream, H2FrameSettings, H2FrameStreamError,
                      H2FrameWindowUpdate, H2Streams, HeaderMap)


def parse_all(data):
    """hyperframe's frames for `data`."""
    frames, pos = [], 0
    while pos < len(data):
        frame, length = hf.Frame.parse_frame_header(memoryview(data[pos:pos + 9]))
        frame.parse_body(memoryview(data[pos + 9:pos + 9 + length]))
        frames.append(frame)
        pos += 9 + length
    return frames


def with_flags(frame, *flags, **fields):
    for flag in flags:
        frame.flags.add(flag)
    for name, value in fields.items():
        setattr(frame, name, value)
    return frame


def test_frames_written_here_parse_with_hyperframe():
    codec = H2Codec()
    headers = HeaderMap([("x-big", "v" * 20000)])
    data = (codec.serialize_data(1, b"payload", True)
            + codec.serialize_response_headers(3, 200, headers, True)
            + codec.serialize_rst_stream(5, 8)
            + codec.serialize_settings(header_table_size=1, enable_push=False,
                                       max_concurrent_streams=3, initial_window_size=4,
                                       max_frame_size=16385, max_header_list_size=6)
            + codec.serialize_settings_ack()
            + codec.serialize_ping(b"abcdefgh") + codec.serialize_ping_ack(b"12345678")
            + codec.serialize_go_away(7, 11, b"calm")
            + codec.serialize_window_update(0, 2**31 - 1))
    frames = parse_all(data)
    assert [type(f).__name__ for f in frames] == [
        "DataFrame", "HeadersFrame", "ContinuationFrame", "RstStreamFrame", "SettingsFrame",
        "SettingsFrame", "PingFrame", "PingFrame", "GoAwayFrame", "WindowUpdateFrame"]
    d, h, c, r, s, sa, p, pa, g, w = frames
    assert (d.stream_id, d.data, d.flags) == (1, b"payload", {"END_STREAM"})
    assert (h.stream_id, h.flags, c.stream_id, c.flags) == (3, {"END_STREAM"}, 3, {"END_HEADERS"})
    assert hpack.Decoder().decode(h.data + c.data) == [(":status", "200"), ("x-big", "v" * 20000)]
    assert (r.stream_id, r.error_code) == (5, 8)
    assert s.settings == {1: 1, 2: 0, 3: 3, 4: 4, 5: 16385, 6: 6} and s.flags == set()
    assert sa.flags == {"ACK"} and sa.settings == {}
    assert (p.opaque_data, p.flags, pa.opaque_data, pa.flags) == \
        (b"abcdefgh", set(), b"12345678", {"ACK"})
    assert (g.last_stream_id, g.error_code, g.additional_data) == (7, 11, b"calm")
    assert (w.stream_id, w.window_increment) == (0, 2**31 - 1)


def hyperframe_stream():
    enc = hpack.Encoder()
    frames = [
        with_flags(hf.DataFrame(1, data=b"body"), "END_STREAM", "PADDED", pad_length=7),
        with_flags(hf.DataFrame(3, data=b""), ),
        with_flags(hf.HeadersFrame(5, data=enc.encode([(":status", "200"), ("a", "b")])),
                   "END_HEADERS", "PRIORITY", "PADDED", depends_on=1, stream_weight=200,
                   exclusive=True, pad_length=3),
    ]
    # A block of its own context, cut inside a representation and continued.
    full = hpack.Encoder().encode([(":method", "GET"), (":path", "/x"), (":scheme", "http"),
                                   (":authority", "h")])
    frames.append(hf.HeadersFrame(7, data=full[:2]))
    frames.append(with_flags(hf.ContinuationFrame(7, data=full[2:]), "END_HEADERS"))
    frames += [
        hf.PriorityFrame(9, depends_on=1, stream_weight=1),
        hf.RstStreamFrame(11, error_code=0xffffffff),
        hf.SettingsFrame(0, settings={1: 8192, 2: 1, 3: 100, 4: 2**31 - 1, 5: 16777215,
                                      6: 2**32 - 1}),
        hf.SettingsFrame(0, flags=["ACK"]),
        hf.PingFrame(0, opaque_data=b"\x00\xff" * 4),
        with_flags(hf.PingFrame(0, opaque_data=b"pingpong"), "ACK"),
        hf.GoAwayFrame(0, last_stream_id=2**31 - 1, error_code=2, additional_data=b"x" * 300),
        hf.WindowUpdateFrame(13, window_increment=1),
    ]
    return frames


def test_frames_written_by_hyperframe_decode_here():
    frames = hyperframe_stream()
    # The two header blocks come from separate HPACK contexts, so each gets its own codec.
    events = H2Codec("server").receive(H2_PREFACE + b"".join(
        f.serialize() for i, f in enumerate(frames) if i not in (2,)))
    assert [type(e) for e in events] == [
        H2FrameData, H2FrameData, H2FrameHeaders, H2FramePriority, H2FrameRstStream,
        H2FrameSettings, H2FrameSettings, H2FramePing, H2FramePing, H2FrameGoAway,
        H2FrameWindowUpdate]
    d1, d2, h, pr, rst, s, sa, p, pa, g, w = events
    assert (d1.stream_id, d1.data, d1.end_stream, d1.flow_controlled_len, d1.padding) == \
        (1, b"body", True, 12, 8)
    assert (d2.stream_id, d2.data, d2.end_stream, d2.flow_controlled_len) == (3, b"", False, 0)
    assert (h.stream_id, h.method, h.path, h.scheme, h.authority, h.end_stream) == \
        (7, "GET", "/x", "http", "h", False)
    assert pr.stream_id == 9
    assert (rst.stream_id, rst.error_code) == (11, 0xffffffff)
    assert (s.header_table_size, s.enable_push, s.max_concurrent_streams,
            s.initial_window_size, s.max_frame_size, s.max_header_list_size, s.ack) == \
        (8192, True, 100, 2**31 - 1, 16777215, 2**32 - 1, False)
    assert sa.ack is True
    assert (p.data, p.ack, pa.data, pa.ack) == (b"\x00\xff" * 4, False, b"pingpong", True)
    assert (g.last_stream_id, g.error_code, g.debug_data) == (2**31 - 1, 2, b"x" * 300)
    assert (w.stream_id, w.increment) == (13, 1)

    (prioritised,) = H2Codec().receive(frames[2].serialize())
    assert (prioritised.stream_id, prioritised.status, list(prioritised.headers.items()),
            prioritised.end_stream) == (5, 200, [("a", b"b")], False)

    # The same bytes split at every position decode to the same events.
    client_wire = b"".join(f.serialize() for i, f in enumerate(frames) if i != 2)
    whole = [repr_event(e) for e in H2Codec().receive(client_wire)]
    for cut in range(len(client_wire) + 1):
        codec = H2Codec()
        got = codec.receive(client_wire[:cut]) + codec.receive(client_wire[cut:])
        assert [repr_event(e) for e in got] == whole, cut


def repr_event(event):
    names = [n for n in dir(type(event)) if not n.startswith("_")]
    values = []
    for name in names:
        value = getattr(event, name)
        values.append(list(value.items()) if isinstance(value, HeaderMap) else value)
    return type(event).__name__, values


# --- HPACK over a varied corpus -----------------------------------------------------------------

NAMES = ["accept", "accept-encoding", "cache-control", "content-type", "cookie", "user-agent",
         "x-request-id", "authorization", "content-length", "set-cookie", "via", "date",
         "www-authenticate", "x-a", "x-b"]
FORBIDDEN = {"connection", "transfer-encoding", "upgrade", "keep-alive", "proxy-connection",
             "te"}
name_st = st.one_of(
    st.sampled_from(NAMES),
    st.text(string.ascii_lowercase + string.digits + "-_.", min_size=1, max_size=20)
    .filter(lambda n: n not in FORBIDDEN))
value_st = st.one_of(
    st.sampled_from(["", "gzip, deflate", "text/html; charset=utf-8", "no-cache", "0", "1"]),
    st.text(string.printable.strip(string.whitespace) + " \t", max_size=60)
    .map(lambda v: v.strip(" \t")),
    st.text(string.ascii_letters, min_size=200, max_size=3000))
block_st = st.lists(st.tuples(name_st, value_st), max_size=25)
table_st = st.sampled_from([None, None, None, 0, 256, 4096])


def grouped(fields):
    """The fields in the order a HeaderMap iterates them (values of one name together)."""
    return [(n, v.decode()) for n, v in HeaderMap(fields).items()]


@settings(max_examples=150, deadline=None)
@given(st.lists(st.tuples(block_st, table_st), min_size=1, max_size=8))
def test_blocks_written_here_decode_with_hpack(blocks):
    codec = H2Codec("server")
    peer = hpack.Decoder()
    peer.max_header_list_size = 2**31
    peer.max_allowed_table_size = 4096
    for stream, (fields, table) in enumerate(blocks):
        if table is not None:
            codec.set_send_header_table_size(table)
        out = codec.serialize_response_headers(2 * stream + 1, 200, HeaderMap(fields))
        payload = b"".join(f.data for f in parse_all(out))
        assert peer.decode(payload, raw=False) == [(":status", "200")] + grouped(fields)


@settings(max_examples=150, deadline=None)
@given(st.lists(st.tuples(block_st, table_st), min_size=1, max_size=8))
def test_blocks_written_by_hpack_decode_here(blocks):
    codec = H2Codec()
    peer = hpack.Encoder()
    for stream, (fields, table) in enumerate(blocks):
        if table is not None:
            peer.header_table_size = table
        block = peer.encode([(":status", "200")] + fields)
        frames = [with_flags(hf.HeadersFrame(2 * stream + 1, data=block[:7]),
                             *(["END_HEADERS"] if len(block) <= 7 else []))]
        if len(block) > 7:
            frames.append(with_flags(hf.ContinuationFrame(2 * stream + 1, data=block[7:]),
                                     "END_HEADERS"))
        (event,) = codec.receive(b"".join(f.serialize() for f in frames))
        assert event.status == 200
        assert [(n, v.decode()) for n, v in event.headers.items()] == grouped(fields)


@pytest.mark.parametrize("huffman", [True, False])
def test_request_blocks_decode_with_hpack(huffman):
    codec = H2Codec()
    peer = hpack.Decoder()
    for i, target in enumerate(["/", "/search?q=a%20b", "https://example.com:8443/x",
                                "/" + "p" * 5000]):
        out = codec.serialize_request_headers(
            2 * i + 1, "GET", target, HeaderMap([("accept", "*/*"), ("cookie", "a=b")]),
            scheme="https", authority="example.com")
        decoded = peer.decode(b"".join(f.data for f in parse_all(out)), raw=False)
        assert decoded[0] == (":method", "GET")
        assert dict(decoded[:4])[":path"].startswith("/")
        assert decoded[4:] == [("accept", "*/*"), ("cookie", "a=b")]
    # hpack's own request blocks, Huffman-coded or not, decode here.
    enc = hpack.Encoder()
    server = H2Codec("server")
    server.receive(H2_PREFACE)
    for i in range(3):
        block = enc.encode([(":method", "POST"), (":scheme", "https"), (":path", f"/{i}"),
                            (":authority", "h"), ("x-n", str(i))], huffman=huffman)
        (event,) = server.receive(with_flags(hf.HeadersFrame(2 * i + 1, data=block),
                                             "END_HEADERS").serialize())
        assert (event.method, event.path, list(event.headers.items())) == \
            ("POST", f"/{i}", [("x-n", str(i).encode())])


# --- Requests and responses through the h2 package ----------------------------------------------
#
# The h2 package drives one end of a connection through its public API (a client sending
# requests, or a server answering ours) and H2Streams the other, each fed what the other wrote,
# flow control included. What h2 agreed to send must arrive here as the same pseudo-header
# fields, fields, body and trailers.

LIMITS = dict(initial_window_size=65535, connection_window=65535, max_frame_size=16384,
              max_header_list_size=1 << 20, max_send_buf_size=1 << 20)

# Names h2 sends as given (it strips surrounding white space and refuses connection-specific
# fields, so values are generated without either).
field_name_st = st.one_of(
    st.sampled_from(["accept", "user-agent", "x-request-id", "content-type", "x-a", "x-b",
                     "cache-control", "via"]),
    st.text(string.ascii_lowercase + string.digits + "-_.!#$%&'*+^`|~", min_size=1,
            max_size=16).filter(lambda n: n not in FORBIDDEN | {"cookie", "content-length"}))
field_value_st = st.text(string.ascii_letters + string.digits + string.punctuation + " \t",
                         max_size=40).map(lambda v: v.strip(" \t"))
# One message in eight carries a field whose block needs a CONTINUATION frame ('~' takes 13 bits
# in the Huffman code, so 10200 of them fill more than one 16 KiB frame).
big_field_st = st.integers(0, 7).map(lambda i: [("x-big", "~" * 10200)] if i == 0 else [])
fields_st = st.tuples(st.lists(st.tuples(field_name_st, field_value_st), max_size=6),
                      big_field_st).map(lambda t: t[0] + t[1])
body_st = st.lists(st.one_of(st.binary(max_size=300), st.integers(1, 70000).map(
    lambda n: bytes(range(256)) * (n // 256) + bytes(n % 256))), max_size=3)
message_st = st.tuples(fields_st, body_st, st.none() | fields_st.filter(bool), st.booleans())


class Received:
    """What one stream delivered to H2Streams."""

    def __init__(self, head):
        self.head = head
        self.body = b""
        self.trailers = None
        self.ended = False


def items_of(headers):
    return [(n, v.decode("latin-1")) for n, v in headers.items()]


def deliver_to_ours(conn, data, streams, spare=None):
    """A read pump: every frame to its method; the application reads each chunk at once."""
    for frame in conn.receive(data):
        if isinstance(frame, H2FrameHeaders):
            v = conn.recv_headers(frame, spare() if spare else None)
            if v.kind in (H2_HEADERS_OPENED, H2_HEADERS_HEAD):
                streams[v.stream_id] = Received(frame)
                if v.kind == H2_HEADERS_OPENED:
                    conn.accepted(v.stream_id)
            elif v.kind == H2_HEADERS_TRAILERS:
                streams[v.stream_id].trailers = items_of(frame.headers)
            if v.eof and v.stream_id in streams:
                streams[v.stream_id].ended = True
        elif isinstance(frame, H2FrameData):
            v = conn.recv_data(frame)
            assert v.payload is not None, frame
            streams[frame.stream_id].body += v.payload
            streams[frame.stream_id].ended |= v.eof
            conn.release_capacity(frame.stream_id, len(v.payload))
            if v.budgeted:
                conn.release_data_frame(frame.stream_id, len(v.payload))
        elif isinstance(frame, H2FrameSettings):
            conn.recv_settings(frame)
        elif isinstance(frame, H2FramePing):
            conn.recv_ping(frame)
        elif isinstance(frame, H2FrameWindowUpdate):
            conn.recv_window_update(frame)
        else:
            assert not isinstance(frame, (H2FrameRstStream, H2FrameStreamError)), frame


def take_ours(conn):
    view, _ = conn.take_pending()
    data = bytes(view)
    view.release()
    return data


def pump(peer, ours, streams, spare=None):
    """Bytes both ways until neither side has anything to say."""
    while True:
        out = peer.data_to_send()
        if out:
            deliver_to_ours(ours, out, streams, spare)
        back = take_ours(ours)
        if back:
            for event in peer.receive_data(back):
                assert not isinstance(event, (h2.events.StreamReset,
                                              h2.events.ConnectionTerminated)), event
                if isinstance(event, h2.events.DataReceived):
                    peer.acknowledge_received_data(event.flow_controlled_length,
                                                   event.stream_id)
        if not out and not back:
            return


def send_body(peer, ours, streams, sid, chunks, end_stream, spare=None):
    """h2's send_data within its windows and frame size, pumping while a window is shut."""
    for i, chunk in enumerate(chunks):
        last = end_stream and i == len(chunks) - 1
        view = memoryview(chunk)
        while True:
            n = min(len(view), peer.local_flow_control_window(sid),
                    peer.max_outbound_frame_size)
            if n or not view:
                peer.send_data(sid, view[:n].tobytes(), end_stream=last and n == len(view))
                view = view[n:]
                if not view:
                    break
            pump(peer, ours, streams, spare)
    if end_stream and not chunks:
        peer.send_data(sid, b"", end_stream=True)


@settings(max_examples=50, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(["GET", "POST", "PUT", "OPTIONS"]),
                          st.sampled_from(["/", "/a/b?c=d", "/%7Euser", "*"]),
                          message_st).filter(lambda r: r[1] != "*" or r[0] == "OPTIONS"),
                min_size=1, max_size=3))
def test_requests_sent_by_h2_arrive_here_whole(requests):
    client = h2.connection.H2Connection(
        h2.config.H2Configuration(client_side=True, header_encoding=None))
    client.initiate_connection()
    server = H2Streams("server", **LIMITS)
    server.begin()
    streams = {}
    spare = object
    pump(client, server, streams, spare)
    sent = []
    for i, (method, path, (fields, body, trailers, with_length)) in enumerate(requests):
        sid = 2 * i + 1
        length = [("content-length", str(sum(map(len, body))))] if with_length else []
        ends = not body and trailers is None
        client.send_headers(sid, [(":method", method), (":scheme", "https"),
                                  (":authority", "example.com"), (":path", path)]
                            + length + fields, end_stream=ends)
        send_body(client, server, streams, sid, body, trailers is None and not ends, spare)
        if trailers is not None:
            client.send_headers(sid, trailers, end_stream=True)
        pump(client, server, streams, spare)
        sent.append((sid, method, path, grouped(length + fields), body, trailers))
    for sid, method, path, fields, body, trailers in sent:
        got = streams[sid]
        assert (got.head.method, got.head.scheme, got.head.authority, got.head.path) == (
            method, "https", "example.com", path)
        assert items_of(got.head.headers) == fields
        assert got.body == b"".join(body) and got.ended
        assert got.trailers == (None if trailers is None else grouped(trailers))


@settings(max_examples=50, deadline=None)
@given(st.lists(st.tuples(st.sampled_from([200, 201, 204, 404, 500]),
                          st.booleans(), message_st), min_size=1, max_size=3))
def test_responses_sent_by_h2_arrive_here_whole(responses):
    server = h2.connection.H2Connection(
        h2.config.H2Configuration(client_side=False, header_encoding=None))
    server.initiate_connection()
    client = H2Streams("client", **LIMITS)
    client.begin()
    streams = {}
    pump(server, client, streams)
    sent = []
    for status, early_hints, (fields, body, trailers, with_length) in responses:
        if status == 204:
            body, with_length = [], False
        assert client.try_claim_slot()
        sid = client.open_stream("GET", "/", None, True, False, object(), scheme="https",
                                 authority="example.com")
        pump(server, client, streams)
        if early_hints:  # an informational head first, which the client passes over
            server.send_headers(sid, [(":status", "103"), ("link", "</s.css>")])
        length = [("content-length", str(sum(map(len, body))))] if with_length else []
        ends = not body and trailers is None
        server.send_headers(sid, [(":status", str(status))] + length + fields, end_stream=ends)
        send_body(server, client, streams, sid, body, trailers is None and not ends)
        if trailers is not None:
            server.send_headers(sid, trailers, end_stream=True)
        pump(server, client, streams)
        sent.append((sid, status, grouped(length + fields), body, trailers))
    for sid, status, fields, body, trailers in sent:
        got = streams[sid]
        assert got.head.status == status and items_of(got.head.headers) == fields
        assert got.body == b"".join(body) and got.ended
        assert got.trailers == (None if trailers is None else grouped(trailers))
    assert client.num_streams == 0
