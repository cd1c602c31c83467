"""The frame layer and HPACK against independent peers used as black boxes: frames written here
parse with hyperframe and frames written by hyperframe decode here to the same fields; header
blocks written here decode with hpack, and blocks written by hpack decode here, over a varied
corpus that keeps one compression context per side across many blocks."""

import string

import hpack
import hyperframe.frame as hf
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _quillet import (H2_PREFACE, H2Codec, H2FrameData, H2FrameGoAway, H2FrameHeaders,
                      H2FramePing, H2FramePriority, H2FrameRstStream, H2FrameSettings,
                      H2FrameWindowUpdate, HeaderMap)


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
