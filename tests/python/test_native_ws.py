"""quillet._native as Python sees it: the classes it takes from _quillet, the conversions of its
arguments, the objects it hands back and its exceptions. The codec's rules themselves are tested
in C++ (tests/cpp/ws)."""

import threading

import pytest

import _quillet
from quillet import _native as n

KEY = "dGhlIHNhbXBsZSBub25jZQ=="  # RFC 6455 section 1.3
MASK = b"\x01\x02\x03\x04"
UPGRADE = [(b"Host", b"example.com"), (b"Upgrade", b"websocket"), (b"Connection", b"Upgrade"),
           (b"Sec-WebSocket-Key", KEY.encode()), (b"Sec-WebSocket-Version", b"13")]


def masked(opcode, payload, **kw):
    return n.ws_frame(opcode, payload, mask=MASK, **kw)


def test_exceptions_derive_from_the_quillet_classes():
    assert issubclass(n.WebSocketProtocolError, n.WebSocketError)
    assert n.WebSocketError.__bases__ == (_quillet.QuilletError,)
    assert n.WebSocketProtocolError.__module__ == "quillet._native"
    exc = n.WebSocketProtocolError(1007, "bad text")
    assert exc.close_code == 1007 and exc.args == (1007, "bad text")
    assert n.WebSocketProtocolError().close_code is None


def test_decoder_events_are_one_object_each():
    d = n.WSDecoder("server")
    data = (masked(n.WS_TEXT, "grüße") + masked(n.WS_BINARY, b"\x00\x01")
            + masked(n.WS_PING, b"hi") + masked(n.WS_PONG, b"")
            + masked(n.WS_CLOSE, n.ws_close_payload(4000, "bye")))
    events = d.feed(data)
    assert events == ["grüße", b"\x00\x01", (n.WS_PING, b"hi", 0), (n.WS_PONG, b"", 0),
                      (n.WS_CLOSE, "bye", 4000)]
    assert type(events[0]) is str and type(events[1]) is bytes
    assert d.closed and not d.failed
    # a Close without a payload reports 1005
    assert n.WSDecoder("server").feed(masked(n.WS_CLOSE, b"")) == [(n.WS_CLOSE, "", 1005)]


def test_compressed_message_is_handed_over_as_bytes_when_rsv1_is_allowed():
    d = n.WSDecoder("client", allow_rsv1=True)
    assert d.feed(n.ws_frame(n.WS_TEXT, b"\xff\x00raw", rsv1=True)) == [
        (n.WS_TEXT, b"\xff\x00raw", 0)]
    with pytest.raises(n.WebSocketProtocolError) as info:
        n.WSDecoder("client").feed(n.ws_frame(n.WS_TEXT, b"x", rsv1=True))
    assert info.value.close_code == 1002


def test_failure_after_events_is_raised_by_the_next_call():
    d = n.WSDecoder("server", 8)
    assert d.max_message_size == 8
    events = d.feed(masked(n.WS_TEXT, "ok") + masked(n.WS_BINARY, b"123456789"))
    assert events == ["ok"] and d.failed
    for _ in range(2):
        with pytest.raises(n.WebSocketProtocolError) as info:
            d.feed(b"")
        assert info.value.close_code == 1009
        assert info.value.args == (1009, "message too big")


def test_decoder_keeps_a_message_across_feeds():
    d = n.WSDecoder("server")
    frame = masked(n.WS_BINARY, b"x" * 1000, fin=False)
    assert d.feed(frame[:500]) == [] and d.feed(frame[500:]) == []
    assert d.in_message and d.buffered == 1000
    assert d.feed(masked(0, b"y")) == [b"x" * 1000 + b"y"]
    assert not d.in_message and d.buffered == 0


def test_decoder_arguments():
    with pytest.raises(ValueError, match="role must be 'server' or 'client'"):
        n.WSDecoder("peer")
    with pytest.raises(TypeError, match="role must be str"):
        n.WSDecoder(b"server")
    with pytest.raises(OverflowError):
        n.WSDecoder("server", -1)
    with pytest.raises(TypeError, match="allow_rsv1"):
        n.WSDecoder("server", allow_rsv1=1)
    d = n.WSDecoder("server")
    for data in (bytearray(b"\x81"), memoryview(b"\x81"), "text", None):
        with pytest.raises(TypeError, match="data must be bytes"):
            d.feed(data)
    assert not d.failed  # a refused argument changed nothing
    with pytest.raises(AttributeError):
        d.closed = True


def test_decoder_feeds_from_threads_are_serialised():
    d = n.WSDecoder("server")
    frame = masked(n.WS_BINARY, b"abc" * 100)
    per_thread, threads = 2000, 4
    counts = []

    def feed():
        got = 0
        for _ in range(per_thread):
            got += len(d.feed(frame))
        counts.append(got)
    workers = [threading.Thread(target=feed) for _ in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert sum(counts) == per_thread * threads and not d.failed


def test_frame_writer():
    assert n.ws_frame(n.WS_TEXT, "é") == b"\x81\x02\xc3\xa9" == n.ws_frame(1, "é".encode())
    assert n.ws_frame(n.WS_BINARY, b"", fin=False) == b"\x02\x00"
    assert len(n.ws_frame(n.WS_BINARY, b"x" * 70000, mask=MASK)) == 70000 + 14
    with pytest.raises(ValueError, match="opcode must be 0, 1, 2, 8, 9 or 10, not 3"):
        n.ws_frame(3, b"")
    with pytest.raises(ValueError, match="control frame payload over 125 octets"):
        n.ws_frame(n.WS_PING, b"x" * 126)
    with pytest.raises(ValueError, match="RSV1 on a control frame"):
        n.ws_frame(n.WS_PONG, b"", rsv1=True)
    with pytest.raises(ValueError, match="mask must be 4 bytes, not 3"):
        n.ws_frame(n.WS_TEXT, b"", mask=b"abc")
    with pytest.raises(TypeError, match="mask must be bytes"):
        n.ws_frame(n.WS_TEXT, b"", mask=bytearray(4))
    with pytest.raises(TypeError, match="payload must be bytes or str"):
        n.ws_frame(n.WS_TEXT, bytearray(b"x"))
    with pytest.raises(ValueError, match="lone surrogate"):
        n.ws_frame(n.WS_TEXT, "\ud800")
    with pytest.raises(TypeError, match="fin"):
        n.ws_frame(n.WS_TEXT, b"", fin=0)


@pytest.mark.parametrize("size", [0, 125, 126, 65535, 65536])
def test_frame_head_is_the_frame_without_its_payload(size):
    payload = b"p" * size
    head = n.ws_frame_head(n.WS_BINARY, size)
    assert head + payload == n.ws_frame(n.WS_BINARY, payload)
    assert n.ws_frame_head(n.WS_TEXT, size, fin=False, rsv1=True) + payload == n.ws_frame(
        n.WS_TEXT, payload, fin=False, rsv1=True)


def test_frame_head_refusals():
    with pytest.raises(ValueError, match="control frame payload over 125 octets"):
        n.ws_frame_head(n.WS_PING, 126)
    with pytest.raises(ValueError, match="RSV1 on a continuation frame"):
        n.ws_frame_head(n.WS_CONTINUATION, 1, rsv1=True)
    with pytest.raises(ValueError, match="opcode must be 0, 1, 2, 8, 9 or 10, not 4"):
        n.ws_frame_head(4, 0)
    with pytest.raises((ValueError, OverflowError), match="size"):
        n.ws_frame_head(n.WS_BINARY, -1)


def test_close_payload():
    assert n.ws_close_payload() == b""
    assert n.ws_close_payload(1000) == b"\x03\xe8"
    assert n.ws_close_payload(4000, "ok") == b"\x0f\xa0ok"
    assert len(n.ws_close_payload(1000, "é" * 100)) == 2 + 122  # cut between characters
    with pytest.raises(ValueError, match="close code not allowed on the wire"):
        n.ws_close_payload(1005)
    with pytest.raises(ValueError, match="close reason without a close code"):
        n.ws_close_payload(None, "why")
    with pytest.raises(TypeError, match="reason must be str"):
        n.ws_close_payload(1000, b"why")
    with pytest.raises(OverflowError):
        n.ws_close_payload(70000)


def test_handshake_helpers_read_a_header_map_or_pairs():
    assert n.ws_accept(KEY) == b"s3pPLMBiTxaQ9kYGzzhZRbK+xOo=" == n.ws_accept(KEY.encode())
    for headers in (UPGRADE, _quillet.HeaderMap(UPGRADE), iter(UPGRADE)):
        assert n.ws_check_request("GET", headers) == (101, "switching protocols")
    assert n.ws_check_request("GET", UPGRADE[:1]) is None  # not asking for WebSocket
    assert n.ws_check_request("GET", UPGRADE, http10=True) == (
        400, "a WebSocket upgrade needs HTTP/1.1")
    version8 = UPGRADE[:-1] + [(b"sec-websocket-version", b"8")]
    assert n.ws_check_request("GET", version8)[0] == 426
    with pytest.raises(TypeError, match="headers must be a HeaderMap"):
        n.ws_check_request("GET", b"upgrade: websocket")
    with pytest.raises(TypeError, match=r"a header must be a \(name, value\) tuple"):
        n.ws_check_request("GET", [[b"upgrade", b"websocket"]])
    with pytest.raises(ValueError):
        n.ws_check_request("GET", [(b"bad name", b"x")])
    with pytest.raises(ValueError):
        n.ws_check_request("GET", [(b"upgrade", b"web\r\nsocket")])


def test_the_extended_connect_check_takes_each_pseudo_field_or_none():
    pseudo = ("CONNECT", "https", "h", "/chat", "websocket")
    version = [(b"sec-websocket-version", b"13")]
    assert n.ws_check_connect(*pseudo, version) == (200, "switching protocols", False)
    assert n.ws_check_connect(*pseudo, _quillet.HeaderMap()) == (
        400, "unsupported Sec-WebSocket-Version (13 is supported)", True)
    assert n.ws_check_connect(*pseudo[:4], "connect-udp", version) == (
        501, "not a WebSocket upgrade request", False)
    assert n.ws_check_connect("CONNECT", "https", "h", None, "websocket", version) == (
        400, "a WebSocket CONNECT needs :scheme, :path and :authority", False)
    with pytest.raises(TypeError, match="path must be str"):
        n.ws_check_connect("CONNECT", "https", "h", b"/", "websocket", version)


def test_offers():
    headers = [("sec-websocket-protocol", "chat, v2.json"), ("sec-websocket-protocol", "x"),
               ("sec-websocket-extensions",
                'permessage-deflate; client_max_window_bits; server_max_window_bits="10", foo')]
    assert n.ws_subprotocols(headers) == ["chat", "v2.json", "x"]
    assert n.ws_extensions(headers) == [
        ("permessage-deflate", [("client_max_window_bits", None),
                                ("server_max_window_bits", "10")]),
        ("foo", [])]
    assert n.ws_deflate_offers(headers) == [(False, False, 10, True, None)]
    assert n.ws_subprotocols([]) == [] and n.ws_deflate_offers([]) == []
