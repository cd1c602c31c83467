"""H1ServerState as the server driver sees it: whole scenarios with real request bytes, the
objects handed back (which must be the very objects handed in), tuple shapes, argument errors
and races. Each rule on its own is tested in C++ (tests/cpp/h1/server_state_test.cc)."""

import gc
import threading
import weakref

import pytest

from _quillet import (
    H1_NEXT_CLOSE, H1_NEXT_DRAIN, H1_READ_EOF, H1_NEXT_NONE, H1_NEXT_RAISE, H1_READ_PARSE,
    H1_READ_SHUTDOWN, H1_READ_TRANSPORT, H1_READ_WATCHER, H1_REQ_ALREADY, H1_REQ_CONTINUE,
    H1_REQ_OK, H1_REQ_PARKED, H1_REQ_PEER_CLOSED, H1_REQ_STALE, H1BodyDecoder, H1Codec,
    H1ParseError, H1ServerState, H1UserError, HeaderMap)


class Transport:
    def __repr__(self):
        return "<transport>"


class Event:
    pass


def new_state(**kw):
    transport = Transport()
    return H1ServerState(H1Codec(date_header=False), transport, **kw), transport


def test_fresh_state():
    state, transport = new_state()
    assert state.current_seq == 0 and state.closed is False and state.reusable is True
    assert repr(state) == ("H1ServerState(seq=0, closed=false, reusable=true, responded=false, "
                           "response_done=true, watcher=false)")
    assert state.begin_read() == (H1_READ_TRANSPORT, transport)
    assert state.transport_ref() is transport  # lent, not taken
    assert state.keep_alive_enabled is True and state.half_close is False
    with pytest.raises(AttributeError):
        state.closed = True


def test_constructor_arguments():
    with pytest.raises(TypeError, match="codec"):
        H1ServerState(object(), Transport())
    with pytest.raises(TypeError, match="keep_alive"):
        H1ServerState(H1Codec(), Transport(), keep_alive=1)
    with pytest.raises(TypeError):
        H1ServerState(H1Codec(), Transport(), True)


def test_keep_alive_loop_with_three_pipelined_requests():
    state, transport = new_state()
    assert state.begin_read() == (H1_READ_TRANSPORT, transport)
    data = b"".join(b"GET /%d HTTP/1.1\r\nHost: h\r\n\r\n" % i for i in (1, 2, 3))
    seen = []
    while True:
        head, seq, decoder = state.accept_head(data)
        data = b""
        assert decoder.is_complete
        seen.append((head.target, seq))
        code, out, armed = state.respond_head(seq, 200, None, Event(), content_length=2)
        assert code == H1_REQ_OK and out.startswith(b"HTTP/1.1 200 OK\r\n") and armed is False
        assert b"connection" not in out
        assert state.finish_response(seq) == (False, False, None, None)
        code, obj = state.begin_read()
        if code != H1_READ_PARSE:
            assert (code, obj) == (H1_READ_TRANSPORT, transport)
            break
    assert seen == [("/1", 1), ("/2", 2), ("/3", 3)]
    assert state.reusable and not state.closed


def test_incomplete_and_malformed_heads():
    state, transport = new_state()
    assert state.accept_head(b"GET / HT") is None
    assert state.current_seq == 0
    with pytest.raises(H1ParseError):
        state.accept_head(b"XP/1.1\r\n\r\n")
    assert state.current_seq == 0
    assert state.codec.parse_error_status == 400
    assert state.fail_read() is transport
    assert state.closed and not state.reusable
    assert state.fail_read() is None


def test_unanswered_request_and_stale_answers():
    state, transport = new_state()
    head, seq, _ = state.accept_head(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
    assert state.begin_read() == (H1_NEXT_RAISE, None)
    assert state.respond_head(0, 200, None, Event()) == (H1_REQ_STALE, None, False)
    assert state.respond_head(seq + 1, 200, None, Event()) == (H1_REQ_STALE, None, False)
    assert state.respond_head(seq, 204, None, Event())[0] == H1_REQ_OK
    assert state.respond_head(seq, 200, None, Event()) == (H1_REQ_ALREADY, None, False)
    assert state.finish_response(seq + 1) == (False, False, None, None)
    assert state.close_window(seq + 1) is False and state.peer_closed_now(seq + 1) is False
    assert state.detach(0) == (H1_REQ_STALE, None, None)


def test_unread_body_is_drained_then_the_next_request_follows():
    state, transport = new_state()
    head, seq, decoder = state.accept_head(
        b"POST /upload HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\nhello")
    assert not decoder.is_complete
    code, out, _ = state.respond_head(seq, 200, None, Event(), content_length=0)
    assert state.finish_response(seq) == (False, False, None, None)
    assert state.begin_read() == (H1_NEXT_DRAIN, None)
    # a second begin_read while the drain owns the read gives up on the connection
    other, other_transport = new_state()
    _, s2, _ = other.accept_head(b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\n")
    other.respond_head(s2, 200, None, Event())
    other.finish_response(s2)
    assert other.begin_read() == (H1_NEXT_DRAIN, None)
    assert other.begin_read() == (H1_NEXT_CLOSE, other_transport)
    assert other.closed
    # the driver drains what the application never read
    assert decoder.decode() == b"hello"
    decoder.feed(b"world" + b"GET /next HTTP/1.1\r\nHost: x\r\n\r\n")
    assert decoder.decode() == b"world" and decoder.is_complete
    assert state.drain_done(True) == (H1_READ_PARSE, None)
    head, seq2, _ = state.accept_head(b"")
    assert head.target == "/next" and seq2 == seq + 1


def test_body_reader_claims():
    state, _ = new_state()
    _, seq, decoder = state.accept_head(b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\n")
    assert state.begin_body_read(seq) is True
    assert state.begin_body_read(seq) is False
    decoder.feed(b"abc")
    assert decoder.decode() == b"abc"
    state.end_body_read(seq, True)
    assert state.begin_body_read(seq) is False  # the body has ended
    assert state.current_decoder() is decoder


def test_expect_continue_is_claimed_before_the_response():
    state, _ = new_state()
    _, seq, _ = state.accept_head(
        b"POST / HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\nContent-Length: 3\r\n\r\n")
    assert state.try_send_continue(seq) is True
    assert state.try_send_continue(seq) is False
    # the body reader is writing the 100 Continue: the response head waits for it
    assert state.respond_head(seq, 200, None, Event()) == (H1_REQ_CONTINUE, None, False)
    code, out, armed = state.respond_head(seq, 200, None, Event())
    assert code == H1_REQ_OK and out.startswith(b"HTTP/1.1 200 OK")
    assert state.respond_head(seq, 200, None, Event())[0] == H1_REQ_ALREADY


def test_upgrade_hands_over_the_transport_and_leftover():
    state, transport = new_state()
    _, seq, _ = state.accept_head(
        b"GET /chat HTTP/1.1\r\nHost: x\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n\r\n\x81\x05hello")
    fields = HeaderMap({"upgrade": "websocket", "connection": "Upgrade"})
    code, out, armed = state.respond_head(seq, 101, fields, Event(), want=True)
    assert code == H1_REQ_OK and out.startswith(b"HTTP/1.1 101 Switching Protocols\r\n")
    assert armed is False  # no watcher on a connection that switches
    assert state.arm_watcher(seq, Event(), head_negotiated=True) is False
    assert state.finish_response(seq) == (True, False, transport, b"\x81\x05hello")
    assert state.upgraded and state.closed
    assert state.fail_response(seq) is None and state.mark_closed()[0] is None


def test_connect_tunnel():
    state, transport = new_state()
    _, seq, _ = state.accept_head(b"CONNECT example.com:443 HTTP/1.1\r\nHost: x\r\n\r\n\x16\x03\x01")
    code, out, _ = state.respond_head(seq, 200, None, Event())
    assert out == b"HTTP/1.1 200 OK\r\n\r\n"
    assert state.finish_response(seq) == (True, False, transport, b"\x16\x03\x01")
    # a refused CONNECT is an ordinary response
    state, transport = new_state()
    _, seq, _ = state.accept_head(b"CONNECT example.com:443 HTTP/1.1\r\nHost: x\r\n\r\n")
    state.respond_head(seq, 407, None, Event())
    assert state.finish_response(seq)[0] is False


def test_detach():
    state, transport = new_state()
    _, seq, _ = state.accept_head(b"GET /raw HTTP/1.1\r\nHost: x\r\n\r\nextra bytes")
    assert state.detach(seq) == (H1_REQ_OK, transport, b"extra bytes")
    assert state.upgraded and state.closed
    assert state.detach(seq) == (H1_REQ_ALREADY, None, None)


def test_detach_refused_while_the_watcher_read_is_parked():
    state, transport = new_state()
    _, seq, _ = state.accept_head(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
    assert state.arm_watcher(seq, Event()) is True and state.watcher_parked
    assert state.detach(seq) == (H1_REQ_PARKED, None, None)
    state.watcher_completed(b"more")
    code, handed, leftover = state.detach(seq)
    assert (code, handed, leftover) == (H1_REQ_OK, transport, b"more")


def test_client_closing_mid_response():
    state, transport = new_state()
    _, seq, _ = state.accept_head(b"GET /stream HTTP/1.1\r\nHost: x\r\n\r\n")
    done = Event()
    code, out, armed = state.respond_head(seq, 200, None, done, chunked=True, want=True)
    assert armed is True and state.has_watcher and state.watcher_done() is done
    assert state.store_watcher_handle("task") is None
    assert state.store_watcher_handle("other") == "other"
    assert state.peer_closed_now(seq) is None
    assert state.watcher_completed(b"") is True  # end of input: the client is gone
    assert state.reusable is False and state.peer_closed_flag(seq) is True
    assert state.watcher_completed(b"") is False  # recorded once
    assert state.peer_closed_now(seq) is None
    assert state.close_window(seq) is True and state.close_window(seq) is False
    assert state.peer_closed_now(seq) is True
    assert state.finish_response(seq) == (False, True, transport, None)
    assert state.take_watcher_handle() == "task"
    assert state.take_watcher_result() == (b"", None)
    assert state.has_watcher is False
    assert state.watcher_completed(None, OSError()) is False


def test_peer_closed_before_the_head_is_written():
    state, _ = new_state()
    _, seq, _ = state.accept_head(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
    assert state.arm_watcher(seq, Event()) is True
    assert state.watcher_completed(None, ConnectionResetError()) is True
    assert state.respond_head(seq, 200, None, Event()) == (H1_REQ_PEER_CLOSED, None, False)


def test_pipelined_bytes_read_by_the_watcher_come_back():
    state, transport = new_state()
    _, seq, _ = state.accept_head(b"GET /1 HTTP/1.1\r\nHost: x\r\n\r\n")
    done = Event()
    assert state.arm_watcher(seq, done) is True
    assert state.watcher_completed(b"GET /2 HTTP/1.1\r\nHost: x\r\n\r\n") is False
    state.respond_head(seq, 200, None, Event())
    state.finish_response(seq)
    # the next head read belongs to the watcher, whose read already returned
    assert state.begin_read() == (H1_READ_WATCHER, done)
    assert state.take_watcher_handle() is None
    data, error = state.take_watcher_result()
    assert (data, error) == (b"GET /2 HTTP/1.1\r\nHost: x\r\n\r\n", None) and not state.has_watcher
    assert state.unpark_idle_read() is False
    head, seq2, _ = state.accept_head(data)
    assert head.target == "/2" and seq2 == 2


def test_none_is_no_transport():
    state = H1ServerState(H1Codec(), None)
    assert state.transport_ref() is None
    assert state.begin_read() == (H1_READ_EOF, None)
    state = H1ServerState(H1Codec(), None)
    _, seq, _ = state.accept_head(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
    assert state.respond_head(seq, 200, None, Event(), want=True)[2] is False  # nothing to watch
    assert state.arm_watcher(seq, Event()) is False
    assert state.finish_response(seq) == (False, False, None, None)
    assert state.begin_read() == (H1_READ_EOF, None)


def test_graceful_shutdown_while_an_idle_read_is_parked():
    state, transport = new_state()
    assert state.begin_read() == (H1_READ_TRANSPORT, transport)
    assert state.request_shutdown() is transport
    assert state.closed and state.shutdown_requested
    assert state.unpark_idle_read() is True


def test_graceful_shutdown_while_a_request_is_in_flight():
    state, transport = new_state()
    state.begin_read()
    state.unpark_idle_read()
    _, seq, _ = state.accept_head(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
    assert state.request_shutdown() is None
    code, out, _ = state.respond_head(seq, 200, None, Event(), content_length=0)
    assert b"connection: close\r\n" in out
    assert state.finish_response(seq) == (False, True, transport, None)
    assert state.begin_read() == (H1_NEXT_NONE, None)


def test_shutdown_at_the_next_head():
    state, _ = new_state()
    _, seq, _ = state.accept_head(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
    state.respond_head(seq, 200, None, Event())
    state.finish_response(seq)
    state.request_shutdown()
    # not reusable any more: the loop ends
    assert state.begin_read() == (H1_NEXT_NONE, None)


def test_unusable_connection_says_close():
    # the body read broke: the response must not promise keep-alive
    state, transport = new_state()
    _, seq, _ = state.accept_head(b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 9\r\n\r\n")
    state.mark_unusable()
    code, out, _ = state.respond_head(seq, 500, None, Event(), content_length=0)
    assert b"connection: close\r\n" in out
    assert state.finish_response(seq) == (False, True, transport, None)


def test_keep_alive_disabled_and_http10():
    state, transport = new_state(keep_alive=False)
    _, seq, _ = state.accept_head(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
    assert b"connection: close" in state.respond_head(seq, 200, None, Event())[1]
    state, transport = new_state()
    _, seq, _ = state.accept_head(b"GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n")
    out = state.respond_head(seq, 200, None, Event(), content_length=1)[1]
    assert out.startswith(b"HTTP/1.0 200 OK\r\nconnection: keep-alive\r\n")
    assert state.finish_response(seq) == (False, False, None, None)


def test_encoder_error_keeps_the_claim():
    state, transport = new_state()
    _, seq, _ = state.accept_head(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
    with pytest.raises(H1UserError):
        state.respond_head(seq, 100, None, Event())
    assert state.respond_head(seq, 200, None, Event())[0] == H1_REQ_ALREADY
    assert state.fail_response(seq) is transport and state.closed


def test_fail_response_with_a_stale_seq_still_closes():
    state, transport = new_state()
    assert state.fail_response(99) is transport
    assert state.closed and not state.reusable


def test_mark_closed():
    state, transport = new_state()
    _, seq, _ = state.accept_head(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
    done = Event()
    state.arm_watcher(seq, done)
    assert state.mark_closed() == (transport, done, False)
    assert state.mark_closed() == (None, done, True)
    assert state.store_watcher_handle("h") == "h"


def test_respond_head_argument_types():
    state, _ = new_state()
    _, seq, _ = state.accept_head(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
    with pytest.raises(TypeError):
        state.respond_head(seq, 200, {"a": "b"}, Event())
    with pytest.raises(OverflowError):
        state.respond_head(seq, 70000, None, Event())
    with pytest.raises(TypeError):
        state.accept_head(bytearray(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n"))
    with pytest.raises(TypeError):
        state.watcher_completed("text")
    for status in (0, 42, 99, 1000, 65535):  # a status line needs three digits
        with pytest.raises(ValueError) as info:
            state.respond_head(seq, status, None, Event())
        assert info.value.args == ("invalid status: invalid status code",)
    # nothing was claimed by the refused calls
    assert state.respond_head(seq, 200, HeaderMap(), Event())[0] == H1_REQ_OK


def test_subclass_cycle_is_collected():
    class Connection(H1ServerState):
        def __init__(self, codec, transport, **kw):
            super().__init__(codec, transport, **kw)
            self.pending = []

    transport = Transport()
    conn = Connection(H1Codec(), transport, keep_alive=True)
    transport.owner = conn  # a cycle through the stored transport
    conn.pending.append(conn)  # and through a subclass attribute
    alive = weakref.ref(conn)
    del conn, transport
    gc.collect()
    assert alive() is None


def test_transport_is_handed_out_at_most_once_under_races():
    for _ in range(200):
        state, transport = new_state()
        _, seq, _ = state.accept_head(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
        state.arm_watcher(seq, Event())
        state.respond_head(seq, 200, None, Event(), content_length=0)
        state.mark_unusable()
        barrier = threading.Barrier(4)
        handed = []

        def run(op):
            barrier.wait()
            result = op()
            for item in result if isinstance(result, tuple) else (result,):
                if item is transport:
                    handed.append(op)

        ops = [state.mark_closed, lambda: state.watcher_completed(b""),
               lambda: state.fail_response(seq), lambda: state.finish_response(seq)]
        threads = [threading.Thread(target=run, args=(op,)) for op in ops]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert len(handed) == 1
