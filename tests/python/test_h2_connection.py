"""H2Streams at the boundary: construction and its messages, a client and a server wired back to
back through their own bytes, the write batch, the handles the object holds, and the errors each
refusal becomes. The connection's rules themselves are tested in tests/cpp/h2/."""

import ctypes
import gc
import weakref

import pytest

from _quillet import (H2_FLAG_SLOT_FREED, H2_FLAG_STOP_ACCEPTING, H2_FLAG_WAKE,
                      H2_HEADERS_OPENED, H2_PREFACE, ConnectionClosedError, H2Codec,
                      H2FlowControlError, H2FramePing, H2FrameSettings, H2ProtocolError,
                      H2RecvDataVerdict, H2ResetVerdict, H2Stopped, H2StreamError, H2Streams,
                      H2UserError, HeaderMap)

LIMITS = dict(initial_window_size=65535, connection_window=65535, max_frame_size=16384,
              max_header_list_size=65536, max_send_buf_size=1 << 20)


def streams(role, **overrides):
    return H2Streams(role, **{**LIMITS, **overrides})


class Handle:
    """A driver's per-stream record: any object, weak-referenceable so leaks show."""


def take(conn):
    view, _ = conn.take_pending()
    data = bytes(view)
    view.release()
    return data


def deliver(conn, data):
    """Hands every frame of `data` to `conn` the way a read pump does; returns the results of
    the SETTINGS and PING frames in order."""
    results = []
    for frame in conn.receive(data):
        if isinstance(frame, H2FrameSettings):
            results.append(conn.recv_settings(frame))
        elif isinstance(frame, H2FramePing):
            results.append(conn.recv_ping(frame))
    return results


def pair(**client_overrides):
    client, server = streams("client", **client_overrides), streams("server")
    client.begin()
    server.begin()
    return client, server


def exchange(client, server):
    while client.has_pending() or server.has_pending():
        deliver(server, take(client))
        deliver(client, take(server))


def get(conn, sid=None, handle=None):
    assert conn.try_claim_slot()
    return conn.open_stream("GET", "/", None, sid is None, False, handle or Handle(),
                            scheme="http", authority="example.com")


# ---------------------------------------------------------------------------------------------
# construction


@pytest.mark.parametrize("role,overrides,message", [
    ("Client", {"max_frame_size": 1}, 'role must be \'client\' or \'server\', got "Client"'),
    ("serv\ner", {}, 'role must be \'client\' or \'server\', got "serv\\ner"'),
    ("client", {"max_frame_size": 16383, "initial_window_size": 2**31},
     "max_frame_size must be in [16384, 16777215], got 16383"),
    ("client", {"max_frame_size": 16777216}, "max_frame_size must be in [16384, 16777215], got "
                                             "16777216"),
    ("server", {"initial_window_size": 2**31}, "window sizes must be <= 2147483647 (RFC 9113 "
                                               "6.9.1)"),
    ("server", {"connection_window": 2**32 - 1}, "window sizes must be <= 2147483647 (RFC 9113 "
                                                 "6.9.1)"),
])
def test_construction_is_validated_in_order(role, overrides, message):
    with pytest.raises(ValueError) as info:
        streams(role, **overrides)
    assert str(info.value) == message


@pytest.mark.parametrize("overrides,exc,names", [
    ({"max_send_buf_size": -1}, OverflowError, "max_send_buf_size"),
    ({"connection_window": 2**32}, OverflowError, "connection_window"),
    ({"max_concurrent_streams": "1"}, TypeError, "max_concurrent_streams"),
    ({"max_pending_accept_reset_streams": None}, TypeError, "max_pending_accept_reset_streams"),
    ({"auto_date_header": 1}, TypeError, "auto_date_header"),
    ({"enable_push": 0}, TypeError, "enable_push"),
    ({"enable_connect_protocol": 1}, TypeError, "enable_connect_protocol"),
])
def test_argument_conversion_names_the_argument(overrides, exc, names):
    with pytest.raises(exc, match=names):
        streams("client", **overrides)


def test_required_settings_are_keyword_only():
    with pytest.raises(TypeError):
        H2Streams("client", 65535, 65535, 16384, 65536, 1024)
    with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
        H2Streams("client", **LIMITS, bogus=1)
    with pytest.raises(TypeError, match="max_send_buf_size"):
        H2Streams("client", **{k: v for k, v in LIMITS.items() if k != "max_send_buf_size"})


@pytest.mark.parametrize("overrides,budget", [
    ({}, 32767),
    ({"connection_window": 40000}, 25600),
    ({"connection_window": 1 << 20}, 1 << 19),
    ({"data_frame_budget": 7}, 7),
])
def test_the_data_frame_budget_resolves_from_the_connection_window(overrides, budget):
    assert streams("server", **overrides).data_frame_budget_available == budget


def test_a_fresh_connection_reports_its_settings():
    conn = streams("server", max_concurrent_streams=5, max_local_error_reset_streams=None,
                   max_pending_accept_reset_streams=3)
    assert repr(conn) == "H2Streams(role=server, streams=0, active=0, failed=false, goaway=false)"
    assert (conn.is_server, conn.num_streams, conn.num_open_streams, conn.stream_limit) == (
        True, 0, 0, None)
    assert (conn.peer_max_concurrent_streams, conn.peer_initial_window_size,
            conn.peer_max_frame_size) == (None, 65535, 16384)
    assert (conn.conn_send_window, conn.conn_recv_available) == (65535, 65535)
    assert (conn.max_pending_accept_reset_streams, conn.max_local_error_reset_streams,
            conn.local_error_resets, conn.data_frame_budget_empty_frames) == (3, None, 0, 0)
    assert (conn.graceful, conn.shutdown_final, conn.goaway_replied) == (False, False, False)
    assert (conn.last_processed_id, conn.max_stream_id) == (0, 2**31 - 1)
    assert streams("client").max_local_error_reset_streams == 1024
    with pytest.raises(AttributeError):
        conn.num_streams = 1


# ---------------------------------------------------------------------------------------------
# two sides back to back


def test_a_client_and_a_server_complete_the_handshake_and_exchange_pings():
    client, server = pair(connection_window=1 << 20)
    first = take(client)
    assert first.startswith(H2_PREFACE)
    assert deliver(server, first) == [(True, [], H2_FLAG_WAKE)]
    assert server.conn_send_window == 65535
    assert deliver(client, take(server)) == [(True, [], H2_FLAG_WAKE), (False, [], 0)]
    assert deliver(server, take(client)) == [(False, [], 0)]
    assert not client.has_pending() and not server.has_pending()

    ping = H2Codec("client").serialize_ping(b"12345678")
    assert deliver(server, ping) == [H2_FLAG_WAKE]
    assert deliver(client, take(server)) == [0]  # an ACK asks for nothing


def test_peer_settings_correct_the_send_windows_of_open_streams():
    client, server = pair()
    exchange(client, server)
    handle = Handle()
    sid = get(client, sid=1, handle=handle)
    assert sid == 1 and client.stream_state(sid) == "Open"
    peer = H2Codec("server")
    assert deliver(client, peer.serialize_settings(initial_window_size=0,
                                                   max_concurrent_streams=4)) == [
        (False, [], H2_FLAG_WAKE | H2_FLAG_SLOT_FREED)]
    assert client.stream_send_window(sid) == 0 and client.stream_limit == 4
    assert deliver(client, peer.serialize_settings(initial_window_size=70000)) == [
        (False, [handle], H2_FLAG_WAKE)]
    assert client.stream_send_window(sid) == 70000
    assert client.peer_initial_window_size == 70000


def test_a_frame_of_our_size_right_behind_the_ack_is_accepted():
    # One read can carry the peer's ACK and a frame sized to our new limit; decoding runs a whole
    # read ahead of the ACK being dispatched.
    server = streams("server", max_frame_size=32768)
    server.begin()
    peer = H2Codec("client")
    ping = peer.serialize_ping(b"12345678")
    unknown = (20000).to_bytes(3, "big") + b"\xfa\x00\x00\x00\x00\x00" + bytes(20000)
    frames = server.receive(H2_PREFACE + peer.serialize_settings_ack() + unknown + ping)
    assert [type(f).__name__ for f in frames] == ["H2FrameSettings", "H2FramePing"]


def test_the_graceful_shutdown_ping_ack_queues_the_final_goaway():
    client, server = pair()
    exchange(client, server)
    assert server.begin_graceful_shutdown() == H2_FLAG_WAKE
    assert server.begin_graceful_shutdown() == 0
    assert server.graceful and not server.shutdown_final
    # The client answers the PING; its ACK ends the first phase.
    assert deliver(client, take(server)) == [H2_FLAG_WAKE]
    server.set_last_processed_id(5)
    assert deliver(server, take(client)) == [H2_FLAG_WAKE | H2_FLAG_STOP_ACCEPTING]
    assert server.shutdown_final and server.max_stream_id == 5
    goaway = H2Codec("client").receive(take(server))
    assert [(type(f).__name__, f.last_stream_id, f.error_code) for f in goaway] == [
        ("H2FrameGoAway", 5, 0)]


def test_prime_checks_the_preface_and_keeps_the_bytes_after_it():
    server = streams("server")
    settings = H2Codec("client").serialize_settings(max_frame_size=20000)
    assert server.prime(H2_PREFACE[:10]) is None
    assert server.prime(H2_PREFACE[10:] + settings[:4]) is True
    assert server.prime(settings[4:]) is True
    [frame] = server.receive(b"")
    assert frame.max_frame_size == 20000
    assert streams("server").prime(b"GET / HTTP/1.1\r\n") is False
    assert streams("client").prime(settings) is True


def test_replies_the_driver_does_not_write_are_bounded():
    server = streams("server")
    ping = H2Codec("client").serialize_ping(b"12345678")
    frames = server.receive(H2_PREFACE + ping * 10001)
    for frame in frames[:10000]:
        server.recv_ping(frame)
    with pytest.raises(H2ProtocolError) as info:
        server.recv_ping(frames[10000])
    assert info.value.args == (11, "too many queued control frames")
    take(server)
    assert server.recv_ping(frames[10000]) == H2_FLAG_WAKE


def test_frames_of_the_wrong_class_are_refused():
    client, server = pair()
    [settings] = server.receive(take(client))
    with pytest.raises(TypeError, match="frame must be H2FramePing, not "):
        server.recv_ping(settings)
    with pytest.raises(TypeError, match="frame must be H2FrameSettings"):
        server.recv_settings(b"\x00" * 9)


# ---------------------------------------------------------------------------------------------
# stream slots and opening


def test_stream_ids_end_with_a_refused_stream_error_and_the_slot_back():
    client = streams("client")
    client.set_next_stream_id(2**31 - 1)
    assert get(client) == 2**31 - 1
    with pytest.raises(H2ProtocolError) as info:
        get(client)
    assert info.value.args == (7, "stream ID space exhausted (OverflowedStreamId)")
    assert client.num_open_streams == 1 and client.num_streams == 1
    assert repr(client) == ("H2Streams(role=client, streams=1, active=1, failed=false, "
                            "goaway=false)")


@pytest.mark.parametrize("args,kwargs,exc,text", [
    (("GET", "/", None, True, False), {}, ValueError,
     "request target is a bare path but the connection has no authority; pass authority=... to "
     "H2Connection or use an absolute-URL target"),
    (("G T", "/", None, True, False), {"scheme": "http", "authority": "a"}, ValueError,
     "invalid method: invalid HTTP method"),
    (("GET", "http://a/", HeaderMap([("connection", "close")]), True, False), {}, H2UserError,
     "malformed headers"),
    (("GET", "http://a/", [("a", "b")], True, False), {}, TypeError,
     "headers must be a HeaderMap, not list"),
    (("GET", "http://a/", None, 1, False), {}, TypeError, "end_stream must be a bool"),
])
def test_a_refused_request_gives_its_slot_back(args, kwargs, exc, text):
    client = streams("client")
    assert client.try_claim_slot()
    handle = Handle()
    ref = weakref.ref(handle)
    with pytest.raises(exc) as info:
        client.open_stream(*args, handle, **kwargs)
    assert text in str(info.value)
    assert client.num_open_streams == 0 and not client.has_pending()
    del handle
    assert ref() is None


_WS = dict(scheme="https", authority="a", protocol="websocket")


@pytest.mark.parametrize("method,kwargs,exc,args", [
    ("GET", _WS, H2UserError,
     ("rejected", "protocol is for an extended CONNECT: the method must be CONNECT")),
    ("CONNECT", {**_WS, "protocol": "web socket"}, ValueError,
     ("invalid protocol: not a token",)),
    ("CONNECT", {**_WS, "protocol": b"websocket"}, TypeError, None),
    # the server's SETTINGS have not enabled it
    ("CONNECT", _WS, H2UserError,
     ("rejected", "extended CONNECT refused: the peer did not enable it "
                  "(SETTINGS_ENABLE_CONNECT_PROTOCOL)")),
])
def test_a_refused_extended_connect_gives_its_slot_back(method, kwargs, exc, args):
    client, server = pair()
    exchange(client, server)
    assert client.try_claim_slot()
    with pytest.raises(exc) as info:
        client.open_stream(method, "/chat", None, False, False, Handle(), **kwargs)
    if args is not None:
        assert info.value.args == args
    else:
        assert str(info.value).startswith("protocol must be str")
    assert client.num_open_streams == 0 and client.num_streams == 0
    assert not client.has_pending()


def test_an_extended_connect_reaches_a_server_that_enabled_it():
    client = streams("client")
    server = streams("server", enable_connect_protocol=True)
    client.begin()
    server.begin()
    exchange(client, server)
    assert client.try_claim_slot()
    sid = client.open_stream("CONNECT", "/chat?x=1", None, False, False, Handle(), **_WS)
    [head] = [frame for frame in server.receive(take(client)) if frame.stream_id == sid]
    assert (head.method, head.protocol, head.scheme, head.authority, head.path,
            head.end_stream) == ("CONNECT", "websocket", "https", "a", "/chat?x=1", False)


def test_stream_queries_answer_none_or_false_for_an_unknown_stream():
    client = streams("client")
    sid = get(client)
    assert client.has_stream(sid) and not client.has_stream(sid + 2)
    assert [client.stream_state(sid), client.stream_recv_unreleased(sid),
            client.stream_recv_reclaimed(sid), client.stream_data_budget_charged(sid),
            client.stream_send_buffered(sid), client.is_recv_end_stream(sid)] == [
        "HalfClosedLocal", 0, False, 0, 0, False]
    assert [client.stream_state(9), client.stream_recv_unreleased(9),
            client.stream_recv_reclaimed(9), client.stream_data_budget_charged(9),
            client.stream_send_buffered(9), client.stream_send_window(9),
            client.is_recv_end_stream(9)] == [None, None, False, None, None, None, False]
    with pytest.raises(OverflowError):
        client.has_stream(-1)


def test_slots_and_the_stream_limit():
    client = streams("client")
    client.apply_stream_limit(1)
    assert client.try_claim_slot() and not client.can_open() and not client.try_claim_slot()
    client.release_slot_count()
    assert client.can_open()
    client.apply_stream_limit(None)
    assert client.stream_limit is None


# ---------------------------------------------------------------------------------------------
# the write batch


def buffer_address(view):
    """The address of the bytes a buffer exports (Py_buffer.buf)."""
    raw = ctypes.create_string_buffer(256)
    get = ctypes.pythonapi.PyObject_GetBuffer
    get.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_int]
    assert get(view, raw, 0) == 0
    address = ctypes.c_void_p.from_buffer(raw).value
    ctypes.pythonapi.PyBuffer_Release.argtypes = [ctypes.c_void_p]
    ctypes.pythonapi.PyBuffer_Release(raw)
    return address


def test_a_batch_outlives_later_takes_and_its_buffer_comes_back_as_the_spare():
    client = streams("client")
    client.begin()
    kept, stopping = client.take_pending()
    assert not stopping and kept.readonly and bytes(kept[:24]) == H2_PREFACE
    first = bytes(kept)
    address = buffer_address(kept)
    ping = H2Codec("server").serialize_ping(b"abcdefgh")
    deliver(client, ping)
    second, _ = client.take_pending()
    deliver(client, ping)
    third, _ = client.take_pending()
    # The held batch is untouched, and its buffer was not reused while held.
    assert bytes(kept) == first and address not in (buffer_address(second),
                                                    buffer_address(third))
    assert len(second) == len(third) == 17
    kept.release()
    del kept
    deliver(client, ping)
    client.take_pending()  # the buffer in place when the batch came back
    deliver(client, ping)
    reused, _ = client.take_pending()
    assert buffer_address(reused) == address and len(reused) == 17
    client.stop_pump()
    empty, stopping = client.take_pending()
    assert stopping and len(empty) == 0


def test_credit_written_with_nothing_written_is_empty():
    client = streams("client")
    client.take_pending()
    assert client.credit_written() == []


# ---------------------------------------------------------------------------------------------
# held objects


def test_task_handles_are_handed_out_once():
    conn = streams("server")
    read, pump = Handle(), Handle()
    conn.store_task_handles(Handle(), None)
    conn.store_task_handles(read, pump)
    assert conn.take_read_handle() is read and conn.take_read_handle() is None
    assert conn.take_pump_handle() is pump and conn.take_pump_handle() is None


def test_the_collector_frees_cycles_through_subclass_attributes_and_held_handles():
    class Driver(H2Streams):
        pass

    def make():
        conn = Driver("client", **LIMITS)
        conn.begin()
        handle = Handle()
        handle.conn = conn  # the stream's record points back at its connection
        get(conn, handle=handle)
        task = Handle()
        task.conn = conn
        conn.store_task_handles(task, None)
        conn.pending_view, _ = conn.take_pending()  # a batch holds its connection too
        return weakref.ref(conn), weakref.ref(handle)

    conn_ref, handle_ref = make()
    gc.collect()
    assert conn_ref() is None and handle_ref() is None


# ---------------------------------------------------------------------------------------------
# sending, receiving and closing at the boundary: conversions, verdict objects, messages


def opened_server(end_stream=False, **overrides):
    """A server that received the request HEADERS of stream 1; returns (server, spare, peer)."""
    server = streams("server", **overrides)
    peer = H2Codec("client")
    [head] = server.receive(H2_PREFACE + peer.serialize_request_headers(
        1, "POST", "/", HeaderMap([("x-a", "1")]), end_stream=end_stream, scheme="http",
        authority="a"))
    spare = Handle()
    verdict = server.recv_headers(head, spare)
    assert (verdict.kind, verdict.handle, verdict.stream_id, verdict.eof, verdict.flags) == (
        H2_HEADERS_OPENED, spare, 1, end_stream, 0)
    return server, spare, peer


def test_send_verdicts_carry_the_sent_count_and_the_stop():
    client = streams("client")
    handle = Handle()
    sid = get(client, sid=1, handle=handle)
    v = client.send_data(sid, b"abcdef", 2, False)
    assert (v.sent, v.done, v.stopped, v.handle, v.reader_stop, v.flags) == (
        4, True, None, None, None, H2_FLAG_WAKE)
    v = client.send_data(sid, b"abc", 3, True)  # the offset at the end: END_STREAM alone
    assert (v.sent, v.done, v.stopped) == (0, True, None)
    stopped = client.send_data(sid, b"x", 0, False).stopped
    assert type(stopped) is H2Stopped and repr(stopped) == "H2Stopped(reason=None, conn=false)"
    assert repr(client.send_data(7, b"x", 0, False).stopped) == (
        "H2Stopped(reason=None, conn=false)")
    with pytest.raises(ValueError) as info:
        client.send_data(sid, b"abc", 4, False)
    assert str(info.value) == "offset must be <= len(data) (3), got 4"
    with pytest.raises(TypeError, match="data must be bytes"):
        client.send_data(sid, bytearray(b"x"), 0, False)


def test_send_data_queues_up_to_max_frames_in_one_call():
    client = streams("client", max_frame_size=16384)
    sid = get(client, sid=1)
    body = bytes(50000)
    v = client.send_data(sid, body, 0, False, max_frames=2)
    assert (v.sent, v.done, v.flags) == (32768, False, H2_FLAG_WAKE)
    v = client.send_data(sid, body, 32768, True, max_frames=10)
    assert (v.sent, v.done) == (50000 - 32768, True)
    assert client.stream_send_buffered(sid) == 50000
    for bad, exc, message in ((0, ValueError, "max_frames must be at least 1"),
                              (-1, OverflowError, None), ("2", TypeError, None)):
        with pytest.raises(exc, match=message):
            client.send_data(sid, body, 0, False, max_frames=bad)
    with pytest.raises(TypeError):
        client.send_data(sid, body, 0, False, 2)  # keyword only


def test_a_response_that_ends_early_stops_the_request_reader():
    server, spare, _ = opened_server()
    v = server.send_response_head(1, 200, HeaderMap([("x-b", "2")]), False)
    assert (v.sent, v.done, v.flags) == (0, True, H2_FLAG_WAKE)
    v = server.send_data(1, b"bye", 0, True)
    assert v.handle is spare
    assert repr(v.reader_stop) == "H2Stopped(reason=Some(0), conn=false)"
    assert server.in_reset_store(1) and not server.has_stream(1)
    codec = H2Codec("client")
    frames = codec.receive(take(server))
    assert [type(f).__name__ for f in frames][-3:] == ["H2FrameHeaders", "H2FrameData",
                                                       "H2FrameRstStream"]
    assert frames[-3].headers.get("x-b") == b"2" and frames[-1].error_code == 0


@pytest.mark.parametrize("call,exc,args", [
    (lambda s: s.send_response_head(1, 99, None, False), ValueError, None),
    (lambda s: s.send_response_head(1, 200, HeaderMap([("connection", "close")]), False),
     H2UserError, ("malformed_headers", "malformed headers")),
    (lambda s: s.send_trailers(1, HeaderMap([("upgrade", "h2c")])), H2UserError,
     ("malformed_headers", "malformed headers")),
    (lambda s: s.send_trailers(1, None), TypeError, None),
])
def test_outbound_fields_are_checked_before_anything_is_queued(call, exc, args):
    server, _, _ = opened_server()
    with pytest.raises(exc) as info:
        call(server)
    if args is not None:
        assert info.value.args == args
    assert not server.has_pending()


def test_a_second_response_head_is_the_callers_mistake():
    server, _, _ = opened_server(end_stream=True)
    server.send_response_head(1, 204, None, False)
    with pytest.raises(H2UserError) as info:
        server.send_response_head(1, 200, None, False)
    assert info.value.args == ("unexpected_frame_type", "unexpected frame type")


@pytest.mark.parametrize("auto", [True, False])
def test_response_heads_carry_a_date_unless_turned_off(auto):
    server, _, _ = opened_server(end_stream=True, auto_date_header=auto)
    server.send_response_head(1, 200, None, True)
    head = [f for f in H2Codec("client").receive(take(server)) if f.stream_id == 1][0]
    assert head.status == 200 and ("date" in head.headers) is auto


def test_received_data_is_delivered_as_the_frames_own_bytes():
    server, spare, peer = opened_server()
    [frame] = server.receive(peer.serialize_data(1, b"hello", end_stream=True))
    v = server.recv_data(frame)
    assert type(v) is H2RecvDataVerdict
    assert (v.handle, v.payload, v.budgeted, v.eof, v.flags) == (spare, b"hello", False, True, 0)
    assert v.payload is frame.data
    assert server.stream_recv_unreleased(1) == 5 and server.is_recv_end_stream(1)
    assert server.release_capacity(1, 5) == 0


@pytest.mark.parametrize("frames,exc,args", [
    # a client DATA frame for a stream it never opened
    (lambda p: p.serialize_data(3, b"x"), H2ProtocolError, (1, "frame on idle stream 3")),
    (lambda p: p.serialize_request_headers(2, "GET", "/", None, end_stream=True, scheme="h",
                                           authority="a"),
     H2ProtocolError, (1, "invalid new stream id 2")),
    (lambda p: p.serialize_window_update(0, 2**31 - 1), H2FlowControlError, (3,)),
    (lambda p: p.serialize_data(1, b"x"), H2ProtocolError, (1, "unexpected DATA on stream 1")),
    (lambda p: p.serialize_go_away(3, 0) + p.serialize_go_away(5, 0), H2ProtocolError,
     (1, "GOAWAY may not raise last_stream_id")),
])
def test_connection_errors_of_the_receive_path(frames, exc, args):
    server, _, peer = opened_server(end_stream=True)
    with pytest.raises(exc) as info:
        for frame in server.receive(frames(peer)):
            method = {"H2FrameData": server.recv_data, "H2FrameHeaders": server.recv_headers,
                      "H2FrameWindowUpdate": server.recv_window_update,
                      "H2FrameGoAway": server.recv_go_away}[type(frame).__name__]
            method(frame) if method != server.recv_headers else method(frame, Handle())
    assert info.value.args == args


def test_stream_errors_name_the_stream_and_the_library():
    server, _, peer = opened_server(max_concurrent_streams=1)
    [head] = server.receive(peer.serialize_request_headers(3, "GET", "/", None, end_stream=True,
                                                           scheme="h", authority="a"))
    with pytest.raises(H2StreamError) as info:
        server.recv_headers(head, Handle())
    assert info.value.args == (3, 7, "library")
    v = server.reset_on_error(3, 7)
    assert (v.handle, v.stop, v.flags) == (None, None, H2_FLAG_WAKE)
    assert server.local_error_resets == 1 and server.in_reset_store(3)
    [head] = server.receive(peer.serialize_request_headers(5, "GET", "/", None, end_stream=True,
                                                           scheme="h", authority="a"))
    with pytest.raises(ValueError) as info:
        server.recv_headers(head)
    assert str(info.value) == "recv_headers: the server role needs a spare stream handle"


def test_the_reset_caps_raise_enhance_your_calm():
    server = streams("server", max_local_error_reset_streams=0)
    with pytest.raises(H2ProtocolError) as info:
        server.reset_on_error(1, 1)
    assert info.value.args == (11, "too many stream resets")
    server, _, peer = opened_server(max_pending_accept_reset_streams=0)
    [reset] = server.receive(peer.serialize_rst_stream(1, 8))
    with pytest.raises(H2ProtocolError) as info:
        server.recv_reset(reset)
    assert info.value.args == (11, "too_many_resets")
    server.accepted(1)
    handle, stop, notify_body, flags = server.recv_reset(reset)
    assert repr(stop) == "H2Stopped(reason=Some(8), conn=false)" and notify_body


def test_a_flood_of_small_data_frames_is_a_connection_error():
    server, _, peer = opened_server(data_frame_budget=300)
    frames = server.receive(peer.serialize_data(1, b"x") * 2)
    assert server.recv_data(frames[0]).budgeted
    with pytest.raises(H2ProtocolError) as info:
        server.recv_data(frames[1])
    assert info.value.args == (11, "too_many_data_frames")


@pytest.mark.parametrize("initiator", ["User", "", "remote "])
def test_reset_stream_names_a_bad_initiator(initiator):
    with pytest.raises(ValueError) as info:
        streams("client").reset_stream(1, 8, initiator)
    assert str(info.value) == f"initiator must be 'user' | 'library' | 'remote', got \"{initiator}\""


def test_a_local_reset_returns_the_handle_and_its_stop():
    client = streams("client")
    handle = Handle()
    sid = get(client, sid=1, handle=handle)
    v = client.reset_stream(sid, 8)
    assert type(v) is H2ResetVerdict
    assert (v.handle, repr(v.stop), v.flags) == (handle, "H2Stopped(reason=Some(8), conn=false)",
                                                 H2_FLAG_WAKE | H2_FLAG_SLOT_FREED)
    assert client.aclose_body(sid).handle is None
    assert client.reset_stream(sid, 8, "library").handle is None


def test_goaway_pairs_and_info():
    client = streams("client")
    kept, aborted = Handle(), Handle()
    get(client, sid=1, handle=kept)
    get(client, sid=1, handle=aborted)
    [goaway] = client.receive(H2Codec("server").serialize_go_away(1, 2, b"later"))
    pairs, flags = client.recv_go_away(goaway)
    assert [(h, repr(s)) for h, s in pairs] == [(aborted, "H2Stopped(reason=Some(2), conn=true)")]
    assert flags & H2_FLAG_SLOT_FREED
    assert client.goaway_info() == (1, 2, b"later")
    assert client.is_closed() and not client.is_failed()
    assert get_refused(client) is None


def get_refused(conn):
    assert conn.try_claim_slot()
    return conn.open_stream("GET", "/", None, True, False, Handle(), scheme="h", authority="a")


def test_fail_keeps_the_first_error_and_hands_out_the_same_object():
    client = streams("client")
    handle = Handle()
    get(client, sid=1, handle=handle)
    error = OSError("reset by peer")
    pairs = client.fail(error)
    assert [(h, repr(s)) for h, s in pairs] == [(handle, "H2Stopped(reason=None, conn=true)")]
    assert client.fail(message="later") == []
    assert client.conn_error() is error and client.is_failed()
    other = streams("client")
    other.fail(message="x")
    other.fail(exc=ValueError("y"))
    stored = other.conn_error()
    assert type(stored) is ConnectionClosedError and stored.args == ("x",)
    assert streams("client").conn_error() is None
    with pytest.raises(TypeError, match="exc must be an exception or None"):
        other.fail(exc="boom")
    assert repr(other) == "H2Streams(role=client, streams=0, active=0, failed=true, goaway=false)"


def test_writers_and_the_capacity_wake():
    client = streams("client")
    assert client.writer_start() and not client.release_writers()
    assert not client.writer_start() and client.writer_end()
    assert client.next_capacity_wake() is None


def _extended_connect(sid):
    """A HEADERS frame of an extended CONNECT for a WebSocket (RFC 8441), its block written
    literally: :method CONNECT, :protocol websocket, :scheme https, :path /chat, :authority a."""
    def literal(index, value, name=b""):
        named = bytes([len(name)]) + name if not index else b""
        return bytes([index]) + named + bytes([len(value)]) + value
    block = (literal(2, b"CONNECT") + literal(0, b"websocket", b":protocol") + b"\x87"
             + literal(4, b"/chat") + literal(1, b"a"))
    return len(block).to_bytes(3, "big") + b"\x01\x04" + sid.to_bytes(4, "big") + block


def test_extended_connect_reaches_a_server_that_announced_it():
    server = streams("server", enable_connect_protocol=True)
    client = streams("client")
    server.begin()
    client.begin()
    exchange(client, server)
    assert client.peer_enable_connect_protocol and not server.peer_enable_connect_protocol
    [head] = server.receive(_extended_connect(1))
    assert (head.method, head.protocol, head.path) == ("CONNECT", "websocket", "/chat")
    assert server.recv_headers(head, Handle()).kind == H2_HEADERS_OPENED

    plain = streams("server")
    [head] = plain.receive(H2_PREFACE + _extended_connect(1))
    assert head.protocol == "websocket"
    with pytest.raises(H2StreamError) as info:
        plain.recv_headers(head, Handle())
    assert info.value.args == (1, 1, "library")
