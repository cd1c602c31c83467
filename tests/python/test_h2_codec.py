"""H2Codec, the frame events and H2Reason at the boundary: every frame type and every reason as
Python sees them, the exact messages of every connection error and argument refusal, the
header-block rules of the serializers, and the reprs. The decoder's own rules (splitting,
padding, CONTINUATION assembly, the flood cap) are tested in tests/cpp/h2/frame_test.cc."""

import struct

import hpack
import pytest

from _quillet import (H2_PREFACE, H2Codec, H2FrameData, H2FrameGoAway, H2FrameHeaders,
                      H2FramePing, H2FramePriority, H2FrameRstStream, H2FrameSettings,
                      H2FrameStreamError, H2FrameWindowUpdate, H2ProtocolError, H2Reason,
                      H2Streams, H2UserError, HeaderMap)


def frame(ftype, flags, stream, payload=b""):
    return struct.pack(">I", len(payload))[1:] + bytes([ftype, flags]) + \
        struct.pack(">I", stream) + payload


def block(*fields):
    return hpack.Encoder().encode(list(fields))


def decoded(data):
    """The fields of the header blocks in `data` (one fresh HPACK context)."""
    dec = hpack.Decoder()
    out, pos, pending = [], 0, b""
    while pos < len(data):
        length = int.from_bytes(data[pos:pos + 3], "big")
        ftype, flags = data[pos + 3], data[pos + 4]
        pending += data[pos + 9:pos + 9 + length]
        if ftype in (1, 9) and flags & 0x4:
            out.append(dec.decode(pending, raw=False))
            pending = b""
        pos += 9 + length
    return out


def test_every_frame_type_becomes_its_event():
    codec = H2Codec()
    events = codec.receive(
        frame(0, 0x9, 1, b"\x02abcxx")
        + frame(1, 0x5, 3, block((":status", "103"), ("content-length", "12"), ("a", "b")))
        + frame(2, 0, 5, b"\x00\x00\x00\x01\x10")
        + frame(3, 0, 7, struct.pack(">I", 0xdeadbeef))
        + frame(4, 0, 0, struct.pack(">HI", 2, 1) + struct.pack(">HI", 6, 100))
        + frame(6, 1, 0, b"12345678")
        + frame(7, 0, 0, struct.pack(">II", 0x80000009, 13) + b"dbg")
        + frame(8, 0, 3, struct.pack(">I", 0xffffffff))
        + frame(2, 0, 9, b"\x00\x00\x00\x09\x10"))
    assert [type(e) for e in events] == [
        H2FrameData, H2FrameHeaders, H2FramePriority, H2FrameRstStream, H2FrameSettings,
        H2FramePing, H2FrameGoAway, H2FrameWindowUpdate, H2FrameStreamError]
    data, headers, priority, rst, settings, ping, goaway, window, error = events
    assert (data.stream_id, data.end_stream, data.data, data.flow_controlled_len,
            data.padding) == (1, True, b"abc", 6, 3)
    assert (headers.stream_id, headers.end_stream, headers.end_headers, headers.status,
            headers.method, headers.scheme, headers.authority, headers.path) == \
        (3, True, True, 103, None, None, None, None)
    assert list(headers.headers.items()) == [("content-length", b"12"), ("a", b"b")]
    assert (headers.content_length, headers.content_length_invalid,
            headers.is_informational) == (12, False, True)
    assert priority.stream_id == 5
    assert (rst.stream_id, rst.error_code) == (7, 0xdeadbeef)
    assert (settings.ack, settings.enable_push, settings.max_header_list_size,
            settings.header_table_size, settings.max_concurrent_streams,
            settings.initial_window_size, settings.max_frame_size) == \
        (False, True, 100, None, None, None, None)
    assert (ping.ack, ping.data) == (True, b"12345678")
    assert (goaway.last_stream_id, goaway.error_code, goaway.debug_data) == (9, 13, b"dbg")
    assert (window.stream_id, window.increment) == (3, 0x7fffffff)
    assert (error.stream_id, error.error_code) == (9, 1)
    assert codec.buffered() == 0


def test_events_are_frozen_and_made_only_by_the_decoder():
    event = H2Codec().receive(frame(0, 0, 1, b"x"))[0]
    with pytest.raises(AttributeError):
        event.data = b"y"
    for cls in (H2FrameData, H2FrameHeaders, H2FrameStreamError):
        with pytest.raises(TypeError):
            cls()


def test_reprs():
    codec = H2Codec()
    data, headers, settings, ack = codec.receive(
        frame(0, 1, 1, b"abcd")
        + frame(1, 0x4, 3, block((":status", "200"), ("a", "1"), ("a", "2"), ("b", "3")))
        + frame(4, 0, 0, struct.pack(">HI", 4, 70000))
        + frame(4, 1, 0))
    assert repr(data) == "Data(stream_id=1, end_stream=true, len=4)"
    assert repr(headers) == "Headers(stream_id=3, status=Some(200), end_stream=false, fields=3)"
    assert repr(settings) == ("Settings(ack=false, max_concurrent_streams=None, "
                              "initial_window_size=Some(70000), max_frame_size=None)")
    assert repr(ack) == ("Settings(ack=true, max_concurrent_streams=None, "
                         "initial_window_size=None, max_frame_size=None)")
    assert repr(H2Codec().receive(frame(3, 0, 1, b"\0\0\0\0"))[0]).startswith(
        "<quillet._quillet.H2FrameRstStream object at ")


@pytest.mark.parametrize("value, length, invalid", [
    (None, None, False), ("", 0, False), ("0", 0, False), ("1234", 1234, False),
    ("9" * 19, 10**19 - 1, False), ("1" * 20, None, True), ("12a", None, True),
    ("-1", None, True), ("1 2", None, True)])
def test_content_length(value, length, invalid):
    fields = [(":status", "200")] + ([("content-length", value)] if value is not None else [])
    headers = H2Codec().receive(frame(1, 0x4, 1, block(*fields)))[0]
    assert (headers.content_length, headers.content_length_invalid) == (length, invalid)


def test_request_pseudo_headers_become_attributes():
    headers = H2Codec("server").receive(H2_PREFACE + frame(1, 0x4, 1, block(
        (":method", "POST"), (":scheme", "https"), (":authority", "h:1"), (":path", "/p?q"))))[0]
    assert (headers.method, headers.scheme, headers.authority, headers.path, headers.status,
            headers.is_informational) == ("POST", "https", "h:1", "/p?q", None, False)


STREAM_LIMITS = dict(initial_window_size=65535, connection_window=65535, max_frame_size=16384,
                     max_header_list_size=65536, max_send_buf_size=65536)


def test_a_connections_header_blocks_share_the_pairs_its_peer_repeats():
    """As for HTTP/1 heads, the raw list of each header block a connection receives hands out
    the pairs of the last blocks' lists for the fields that repeat: H2Codec and H2Streams alike."""
    client = H2Codec("client")
    fields = [("user-agent", "ua/1"), ("x-id", "1")]
    wire = H2_PREFACE + b"".join(
        client.serialize_request_headers(sid, "GET", "/", HeaderMap(fields + [("x-n", str(sid))]),
                                         True, scheme="https", authority="h")
        for sid in (1, 3))
    for receiver in (H2Codec("server"), H2Streams("server", **STREAM_LIMITS)):
        if isinstance(receiver, H2Streams):
            receiver.begin()
        first, second = [e.headers.raw_items() for e in receiver.receive(wire)
                         if isinstance(e, H2FrameHeaders)]
        assert first == [(b"user-agent", b"ua/1"), (b"x-id", b"1"), (b"x-n", b"1")]
        assert second[:2] == first[:2] and second[2] == (b"x-n", b"3")
        assert second[0] is first[0] and second[1] is first[1] and second[2] is not first[2]


SELF_DEPENDENT = frame(1, 0x24, 1, struct.pack(">IB", 1, 16) + block(("x-a", "1")))


@pytest.mark.parametrize("data, reason, message", [
    (frame(0, 0, 1, b"x" * 16385)[:9], 6, "frame length exceeds SETTINGS_MAX_FRAME_SIZE"),
    (frame(1, 0, 1, block(("a", "b"))) + frame(6, 0, 0, b"12345678"), 1,
     "expected CONTINUATION frame"),
    (frame(0, 0, 0, b""), 1, "failed to load frame: InvalidStreamId"),
    (frame(0, 8, 1, b"\x01"), 1, "failed to load frame: TooMuchPadding"),
    (frame(1, 0x28, 1, b"\x00"), 1, "failed to load frame: MalformedMessage"),
    (frame(4, 0, 0, struct.pack(">HI", 2, 2)), 1, "failed to load frame: InvalidSettingValue"),
    (frame(4, 0, 0, struct.pack(">HI", 4, 2**31)), 1,
     "failed to load frame: InvalidSettingValue"),
    (frame(4, 0, 0, struct.pack(">HI", 5, 16383)), 1,
     "failed to load frame: InvalidSettingValue"),
    (frame(8, 0, 0, struct.pack(">I", 0x80000000)), 1,
     "failed to load frame: InvalidWindowUpdateValue"),
    (frame(3, 0, 1, b"abc"), 1, "failed to load frame: InvalidPayloadLength"),
    (frame(4, 0, 0, b"abc"), 1, "failed to load frame: InvalidPayloadAckSettings"),
    (frame(6, 0, 0, b"abc"), 1, "failed to load frame: BadFrameSize"),
    (frame(2, 0, 0, b"abcde"), 1, "PRIORITY frame with stream ID 0"),
    (frame(5, 4, 1, b"\0\0\0\2"), 1, "PUSH_PROMISE received but server push is disabled"),
    (frame(9, 4, 1), 1, "received unexpected CONTINUATION frame"),
    (frame(1, 0, 1, b"") + frame(9, 4, 3), 1,
     "CONTINUATION frame stream ID does not match previous frame stream ID"),
    (frame(1, 0, 1) + frame(9, 0, 1) * 1281, 11, "too_many_continuations"),
    (frame(1, 4, 1, b"\xbf"), 1, "HPACK decoding failed: Hpack(InvalidTableIndex)"),
    (frame(1, 4, 1, b"\x82\xff"), 1, "HPACK decoding failed: Hpack(NeedMore(IntegerUnderflow))"),
    (frame(1, 4, 1, b"\x40"), 1,
     "HPACK decoding failed: Hpack(NeedMore(UnexpectedEndOfStream))"),
    (frame(1, 4, 1, b"\x40\x85ab"), 1, "HPACK decoding failed: Hpack(NeedMore(StringUnderflow))"),
])
def test_connection_errors(data, reason, message):
    codec = H2Codec()
    with pytest.raises(H2ProtocolError) as info:
        codec.receive(frame(6, 0, 0, b"12345678") + data)
    assert info.value.args == (reason, message)


def test_over_size_and_abuse_errors():
    codec = H2Codec()
    codec.set_max_header_list_size(50)
    with pytest.raises(H2ProtocolError) as info:
        codec.receive(frame(1, 4, 1, block(("a", "x" * 100), ("b", "y" * 100))))
    assert info.value.args == (11, "decoded header list size over abuse limit")
    codec = H2Codec()
    codec.set_max_header_list_size(100)
    big = block(("a", "x" * 80), ("b", "y" * 300))
    codec.receive(frame(1, 0, 1, big[:-10]))
    with pytest.raises(H2ProtocolError) as info:
        codec.receive(frame(9, 0, 1, big[-10:-9]))
    assert info.value.args == (9, "CONTINUATION frame header block size over ignorable limit")


def test_server_preface():
    codec = H2Codec("server")
    assert [codec.receive(H2_PREFACE[i:i + 1]) for i in range(23)] == [[]] * 23
    assert [type(e) for e in codec.receive(H2_PREFACE[23:] + frame(6, 0, 0, b"p" * 8))] == \
        [H2FramePing]
    codec = H2Codec("server")
    for _ in range(2):  # the mismatch is sticky
        with pytest.raises(H2ProtocolError) as info:
            codec.receive(b"G")
        assert info.value.args == (1, "bad client connection preface")
    # feed_preface classifies without consuming the preface for receive.
    codec = H2Codec("server")
    assert codec.feed_preface(H2_PREFACE[:5]) is None
    assert codec.feed_preface(H2_PREFACE[5:] + b"abc") is True
    assert codec.buffered() == 3
    assert H2Codec("server").feed_preface(b"GET / HTTP/1.1\r\n") is False


def test_match_preface():
    assert H2Codec.match_preface(H2_PREFACE[:16]) is None
    assert H2Codec.match_preface(b"") is None
    assert H2Codec.match_preface(b"GET / HTTP/1.1\r\n") is False
    assert H2Codec.match_preface(H2_PREFACE + b"anything") is True


def test_stream_errors_keep_the_connection_and_the_table():
    """A self-dependent HEADERS frame and a malformed block are reported in their frame's
    place; their fields still reach the dynamic table, so the next block that refers to them
    decodes."""
    enc = hpack.Encoder()
    bad = enc.encode([(":status", "200"), ("connection", "close"), ("x-id", "7")])
    good = enc.encode([(":status", "200"), ("x-id", "7")])
    codec = H2Codec()
    events = codec.receive(frame(1, 0, 1, bad[:3]) + frame(9, 4, 1, bad[3:])
                           + frame(1, 4, 3, good))
    assert [type(e) for e in events] == [H2FrameStreamError, H2FrameHeaders]
    assert events[0].stream_id == 1
    assert list(events[1].headers.items()) == [("x-id", b"7")]

    enc = hpack.Encoder()
    first = enc.encode([("x-a", "1")])
    second = enc.encode([("x-a", "1")])
    events = H2Codec().receive(frame(1, 0x24, 1, struct.pack(">IB", 1, 16) + first)
                               + frame(1, 4, 3, second))
    assert [type(e) for e in events] == [H2FrameStreamError, H2FrameHeaders]
    assert list(events[1].headers.items()) == [("x-a", b"1")]


def test_receive_takes_bytes_only():
    codec = H2Codec()
    for bad in (bytearray(b"x"), memoryview(b"x"), "x"):
        with pytest.raises(TypeError):
            codec.receive(bad)


# --- H2Reason -------------------------------------------------------------------------------

REASON_NAMES = ["NO_ERROR", "PROTOCOL_ERROR", "INTERNAL_ERROR", "FLOW_CONTROL_ERROR",
                "SETTINGS_TIMEOUT", "STREAM_CLOSED", "FRAME_SIZE_ERROR", "REFUSED_STREAM",
                "CANCEL", "COMPRESSION_ERROR", "CONNECT_ERROR", "ENHANCE_YOUR_CALM",
                "INADEQUATE_SECURITY", "HTTP_1_1_REQUIRED"]


@pytest.mark.parametrize("code, name", list(enumerate(REASON_NAMES)))
def test_every_reason(code, name):
    reason = getattr(H2Reason, name)
    assert reason is H2Reason(code) is H2Reason(code=code)
    assert int(reason) == code and [0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13][reason] == code
    assert str(reason) == repr(reason) == f"H2Reason.{name}"
    assert reason == code and code == reason and not reason != code
    assert hash(reason) == hash(code)
    assert reason != code + 1 and reason != H2Reason((code + 1) % 14)
    assert {code: "x"}[reason] == "x"


def test_reason_refusals():
    for bad in (14, -1, 2**32 + 3, 2**64, "1", 1.0, None):
        with pytest.raises(ValueError) as info:
            H2Reason(bad)
        assert str(info.value) == f"{bad!r} is not a valid H2Reason"
    with pytest.raises(TypeError):
        H2Reason.CANCEL < 9
    assert H2Reason.CANCEL != "8"
    with pytest.raises(TypeError):
        H2Reason.CANCEL = H2Reason.NO_ERROR
    with pytest.raises(TypeError):
        type("Sub", (H2Reason,), {})


# --- H2Codec serializers ------------------------------------------------------------------------

def test_role():
    assert H2Codec().role_client is True
    assert H2Codec(role="server").role_client is False
    for bad, shown in (("Client", '"Client"'), ("", '""'), ("se\nrver", '"se\\nrver"')):
        with pytest.raises(ValueError) as info:
            H2Codec(bad)
        assert str(info.value) == f"role must be 'client' or 'server', got {shown}"


@pytest.mark.parametrize("method, target, kwargs, fields", [
    ("GET", "/", {"scheme": "https", "authority": "127.0.0.1:8443"},
     [(":method", "GET"), (":scheme", "https"), (":authority", "127.0.0.1:8443"), (":path", "/")]),
    ("GET", "https://127.0.0.1:8443/x", {},
     [(":method", "GET"), (":scheme", "https"), (":authority", "127.0.0.1:8443"), (":path", "/x")]),
    ("GET", "http://h/x?y=1", {"scheme": "https", "authority": "ignored"},
     [(":method", "GET"), (":scheme", "http"), (":authority", "h"), (":path", "/x?y=1")]),
    ("GET", "http://h", {}, [(":method", "GET"), (":scheme", "http"), (":authority", "h"),
                             (":path", "/")]),
    ("OPTIONS", "http://h", {}, [(":method", "OPTIONS"), (":scheme", "http"),
                                 (":authority", "h"), (":path", "*")]),
    ("OPTIONS", "*", {"scheme": "http", "authority": "h"},
     [(":method", "OPTIONS"), (":scheme", "http"), (":authority", "h"), (":path", "*")]),
    ("CONNECT", "example.com:443", {}, [(":method", "CONNECT"), (":authority", "example.com:443")]),
    ("CONNECT", "https://proxy:1/", {}, [(":method", "CONNECT"), (":authority", "proxy:1")]),
    ("PURGE", "/a", {"scheme": "coap+tcp", "authority": "u@[::1]:5"},
     [(":method", "PURGE"), (":scheme", "coap+tcp"), (":authority", "u@[::1]:5"),
      (":path", "/a")]),
])
def test_request_headers(method, target, kwargs, fields):
    out = H2Codec().serialize_request_headers(1, method, target, **kwargs)
    assert out[3:9] == b"\x01\x04\x00\x00\x00\x01"
    assert decoded(out) == [fields]


def test_request_headers_regular_fields_and_end_stream():
    headers = HeaderMap([("x-b", "1"), ("x-a", "2"), ("x-b", "3")])
    out = H2Codec().serialize_request_headers(7, "POST", "http://h/", headers, True)
    assert out[4] == 0x5
    assert decoded(out)[0][4:] == [("x-b", "1"), ("x-b", "3"), ("x-a", "2")]


BARE_PATH = ("request target is a bare path but the connection has no authority; pass "
             "authority=... to H2Connection or use an absolute-URL target")


@pytest.mark.parametrize("method, target, kwargs, message", [
    ("GET", "/", {"scheme": "https"}, BARE_PATH),
    ("GET", "/", {"authority": "h"}, BARE_PATH),
    ("GET", "/", {"scheme": None, "authority": None}, BARE_PATH),
    ("GET", "h:80", {}, BARE_PATH),
    ("G T", "/", {}, "invalid method: invalid HTTP method"),
    ("", "/", {}, "invalid method: invalid HTTP method"),
    ("GET", "", {}, "invalid url: empty string"),
    ("GET", "/a b", {}, "invalid url: invalid uri character"),
    ("GET", "/", {"scheme": "ht:tp", "authority": "h"}, "invalid url: invalid scheme"),
    ("GET", "/", {"scheme": "1http", "authority": "h"}, "invalid url: invalid scheme"),
    ("GET", "/", {"scheme": "a" * 65, "authority": "h"}, "invalid url: scheme too long"),
    ("GET", "/", {"scheme": "https", "authority": "h/x"}, "invalid url: invalid authority"),
    ("GET", "/", {"scheme": "https", "authority": "h:1:2"}, "invalid url: invalid port"),
    ("GET", "/", {"scheme": "https", "authority": ""}, "invalid url: authority missing"),
])
def test_request_headers_refusals(method, target, kwargs, message):
    codec = H2Codec()
    with pytest.raises(ValueError) as info:
        codec.serialize_request_headers(1, method, target, **kwargs)
    assert str(info.value) == message
    # Nothing reached the encoder: the next block is the same as from a fresh codec.
    assert codec.serialize_request_headers(1, "GET", "http://h/x") == \
        H2Codec().serialize_request_headers(1, "GET", "http://h/x")


def test_response_headers():
    codec = H2Codec("server")
    out = codec.serialize_response_headers(1, 200, auto_date=True)
    (fields,) = decoded(out)
    assert fields[0] == (":status", "200") and [n for n, _ in fields] == [":status", "date"]
    assert len(fields[1][1]) == 29
    out = H2Codec().serialize_response_headers(1, 204, HeaderMap([("date", "x")]), True, True)
    assert decoded(out) == [[(":status", "204"), ("date", "x")]]
    assert out[4] == 0x5
    assert decoded(H2Codec().serialize_response_headers(3, 999)) == [[(":status", "999")]]
    for bad in (99, 1000, 0):
        with pytest.raises(ValueError) as info:
            H2Codec().serialize_response_headers(1, bad)
        assert str(info.value) == "invalid status: invalid status code"
    with pytest.raises(OverflowError):
        H2Codec().serialize_response_headers(1, 65536)


def test_trailers():
    out = H2Codec().serialize_trailers(5, HeaderMap([("grpc-status", "0")]))
    assert out[3:5] == b"\x01\x05"
    assert decoded(out) == [[("grpc-status", "0")]]
    with pytest.raises(TypeError):
        H2Codec().serialize_trailers(5, None)


def test_header_block_split_into_continuations():
    codec = H2Codec()
    out = codec.serialize_response_headers(1, 200, HeaderMap([("x", "v" * 40000)]))
    frames = []
    pos = 0
    while pos < len(out):
        length = int.from_bytes(out[pos:pos + 3], "big")
        frames.append((length, out[pos + 3], out[pos + 4]))
        pos += 9 + length
    assert [(t, f) for _, t, f in frames] == [(1, 0), (9, 0), (9, 4)]
    assert frames[0][0] == frames[1][0] == 16384
    codec.set_send_max_frame_size(16777215)
    out = codec.serialize_response_headers(3, 200, HeaderMap([("x", "w" * 40000)]))
    assert out[3:5] == b"\x01\x04"


def test_data():
    codec = H2Codec()
    assert codec.serialize_data(1, b"x" * 16384) == frame(0, 0, 1, b"x" * 16384)
    assert codec.serialize_data(3, b"", True) == frame(0, 1, 3)
    with pytest.raises(H2UserError) as info:
        codec.serialize_data(1, b"x" * 16385)
    assert info.value.args == ("payload_too_big",
                               "DATA payload 16385 exceeds SETTINGS_MAX_FRAME_SIZE 16384")
    with pytest.raises(TypeError):
        codec.serialize_data(1, bytearray(b"x"))


def test_small_frames():
    codec = H2Codec()
    assert codec.serialize_settings_ack() == b"\x00\x00\x00\x04\x01\x00\x00\x00\x00"
    assert codec.serialize_settings() == frame(4, 0, 0)
    assert codec.serialize_settings(max_header_list_size=6, enable_push=False,
                                    initial_window_size=4, header_table_size=1,
                                    max_frame_size=16384, max_concurrent_streams=3) == \
        frame(4, 0, 0, b"".join(struct.pack(">HI", i, v) for i, v in
                                ((1, 1), (2, 0), (3, 3), (4, 4), (5, 16384), (6, 6))))
    assert codec.serialize_window_update(0, 2**31 - 1) == frame(8, 0, 0, b"\x7f\xff\xff\xff")
    assert codec.serialize_ping(b"12345678") == frame(6, 0, 0, b"12345678")
    assert codec.serialize_ping_ack(b"12345678") == frame(6, 1, 0, b"12345678")
    assert codec.serialize_go_away(2**31 - 1, 2**32 - 1) == \
        frame(7, 0, 0, b"\x7f\xff\xff\xff\xff\xff\xff\xff")
    assert codec.serialize_go_away(1, 0, b"bye") == frame(7, 0, 0, struct.pack(">II", 1, 0) + b"bye")
    assert codec.serialize_rst_stream(3, 8) == frame(3, 0, 3, struct.pack(">I", 8))


@pytest.mark.parametrize("call, exc, message", [
    (lambda c: c.serialize_ping(b"1234567"), ValueError, "ping payload must be exactly 8 bytes"),
    (lambda c: c.serialize_ping_ack(b"123456789"), ValueError,
     "ping payload must be exactly 8 bytes"),
    (lambda c: c.serialize_settings(max_frame_size=16383, initial_window_size=2**31), ValueError,
     "max_frame_size must be in [16384, 16777215], got 16383"),
    (lambda c: c.serialize_settings(max_frame_size=16777216), ValueError,
     "max_frame_size must be in [16384, 16777215], got 16777216"),
    (lambda c: c.serialize_settings(initial_window_size=2**31), ValueError,
     "initial_window_size must be <= 2147483647, got 2147483648"),
    (lambda c: c.set_max_recv_frame_size(16383), ValueError,
     "max_frame_size must be in [16384, 16777215], got 16383"),
    (lambda c: c.set_send_max_frame_size(16777216), ValueError,
     "max_frame_size must be in [16384, 16777215], got 16777216"),
    (lambda c: c.serialize_window_update(1, 0), ValueError,
     "increment must be in [1, 2147483647], got 0"),
    (lambda c: c.serialize_window_update(1, 2**31), ValueError,
     "increment must be in [1, 2147483647], got 2147483648"),
    (lambda c: c.serialize_go_away(2**31, 0), ValueError,
     "last_stream_id must be <= 2147483647, got 2147483648"),
    (lambda c: c.serialize_data(0, b""), ValueError, "stream_id must not be 0"),
    (lambda c: c.serialize_rst_stream(0, 0), ValueError, "stream_id must not be 0"),
    (lambda c: c.serialize_request_headers(0, "GET", "http://h/"), ValueError,
     "stream_id must not be 0"),
    (lambda c: c.serialize_response_headers(0, 200), ValueError, "stream_id must not be 0"),
    (lambda c: c.serialize_trailers(0, HeaderMap()), ValueError, "stream_id must not be 0"),
    (lambda c: c.serialize_data(2**31, b""), OverflowError, None),
    (lambda c: c.serialize_settings(enable_push=1), TypeError, None),
    (lambda c: c.serialize_settings(1), TypeError, None),
])
def test_writer_refusals(call, exc, message):
    with pytest.raises(exc) as info:
        call(H2Codec())
    if message is not None:
        assert str(info.value) == message


def test_frame_size_setters():
    codec = H2Codec()
    codec.set_max_recv_frame_size(16777215)
    codec.receive(frame(0, 0, 1, b"x" * 20000))
    codec = H2Codec()
    codec.set_max_recv_frame_size(16777215)
    # With the default header-list size the flood cap falls to 5.
    with pytest.raises(H2ProtocolError) as info:
        codec.receive(frame(1, 0, 1) + frame(9, 0, 1) * 6)
    assert info.value.args == (11, "too_many_continuations")
    codec = H2Codec()
    codec.set_max_recv_frame_size(16777215)
    codec.receive(frame(1, 0, 1) + frame(9, 0, 1) * 5)


def test_header_table_setters():
    codec = H2Codec()
    codec.set_send_header_table_size(0)
    out = codec.serialize_response_headers(1, 200, HeaderMap([("x-a", "1")]))
    dec = hpack.Decoder()
    assert dec.decode(out[9:]) == [(":status", "200"), ("x-a", "1")]
    assert dec.header_table_size == 0
    codec = H2Codec()
    codec.set_recv_header_table_size(0)
    with pytest.raises(H2ProtocolError) as info:  # the peer may no longer use 4096
        codec.receive(frame(1, 4, 1, b"\x3f\xe1\x1f\x88"))
    assert info.value.args == (1, "HPACK decoding failed: Hpack(InvalidMaxDynamicSize)")


@pytest.mark.parametrize("fields, allowed", [
    ([], True), ([("te", "trailers")], True), ([("x", "y"), ("te", "trailers")], True),
    ([("connection", "close")], False), ([("Transfer-Encoding", "chunked")], False),
    ([("upgrade", "h2c")], False), ([("keep-alive", "1")], False),
    ([("proxy-connection", "x")], False), ([("te", "gzip")], False),
    ([("te", "Trailers")], False), ([("te", "trailers"), ("te", "gzip")], False)])
def test_check_send_headers(fields, allowed):
    headers = HeaderMap(fields)
    if allowed:
        assert H2Codec.check_send_headers(headers) is None
    else:
        with pytest.raises(H2UserError) as info:
            H2Codec.check_send_headers(headers)
        assert info.value.args == ("malformed_headers", "malformed headers")
    assert list(headers.items()) == [(n.lower(), v.encode()) for n, v in fields]


def test_static_helpers():
    assert H2Codec.method_is_head("HEAD") is True
    assert [H2Codec.method_is_head(m) for m in ("head", "GET", "HEAD ", "")] == [False] * 4
    assert [H2Codec.is_client_initiated(i) for i in (0, 1, 2, 2**31 - 1)] == \
        [False, True, False, True]
    assert H2Codec().method_is_head("HEAD") is True
