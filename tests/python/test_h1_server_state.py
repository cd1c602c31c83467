"""H1ServerState at the Python boundary: the objects handed back (the very objects handed in),
tuple shapes and types, argument conversions and their messages, the exception classes,
references, garbage collection and threads. The rules themselves (which step comes next, the
claims, the switch and reuse decisions, the watcher) are tested in C++
(tests/cpp/h1/server_state_test.cc), and the server as a whole end to end."""

import gc
import sys
import threading
import weakref

import pytest

from _quillet import (
    H1_NEXT_CLOSE, H1_NEXT_DRAIN, H1_READ_EOF, H1_READ_PARSE, H1_READ_TRANSPORT,
    H1_READ_WATCHER, H1_REQ_ALREADY, H1_REQ_OK, H1_REQ_STALE, H1BodyDecoder, H1Codec,
    H1ParseError, H1RequestHead, H1ServerState, H1UserError, HeaderMap)


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
    assert state.shutdown_requested is False and state.upgraded is False
    assert state.has_watcher is False and state.watcher_parked is False
    assert isinstance(state.codec, H1Codec) and state.current_decoder() is None
    for name in ("closed", "reusable", "current_seq", "codec"):
        with pytest.raises(AttributeError):
            setattr(state, name, True)


def test_argument_conversions_name_the_argument_and_change_nothing():
    with pytest.raises(TypeError, match="codec"):
        H1ServerState(object(), Transport())
    with pytest.raises(TypeError, match="keep_alive must be a bool, not int"):
        H1ServerState(H1Codec(), Transport(), keep_alive=1)
    with pytest.raises(TypeError, match="half_close must be a bool, not int"):
        H1ServerState(H1Codec(), Transport(), half_close=0)
    with pytest.raises(TypeError):
        H1ServerState(H1Codec(), Transport(), True)  # the settings are keyword-only

    state, _ = new_state()
    with pytest.raises(TypeError, match="data must be bytes, not bytearray"):
        state.accept_head(bytearray(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n"))
    _, seq, _ = state.accept_head(b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 1\r\n\r\n")
    bad_calls = [
        (lambda: state.respond_head(seq, 200, {"a": "b"}, Event()), TypeError, None),
        (lambda: state.respond_head(seq, "200", None, Event()), TypeError,
         "status must be an int, not str"),
        (lambda: state.respond_head(seq, 70000, None, Event()), OverflowError, None),
        (lambda: state.respond_head(-1, 200, None, Event()), OverflowError,
         "seq must not be negative"),
        (lambda: state.respond_head(seq, 200, None, Event(), chunked=1), TypeError,
         "chunked must be a bool, not int"),
        (lambda: state.respond_head(seq, 200, None, Event(), content_length=-1), OverflowError,
         "content_length must not be negative"),
        (lambda: state.respond_head(seq, 200, None, Event(), bogus=1), TypeError,
         "unexpected keyword argument 'bogus'"),
        (lambda: state.try_send_continue(2**64), OverflowError, None),
        (lambda: state.drain_done(1), TypeError, "complete must be a bool, not int"),
        (lambda: state.end_body_read(seq, 1), TypeError, "complete must be a bool, not int"),
        (lambda: state.watcher_completed("text"), TypeError, "data"),
    ]
    for call, error, text in bad_calls:
        with pytest.raises(error) as info:
            call()
        assert text is None or text in str(info.value)
    for status in (0, 42, 99, 1000, 65535):  # a status line needs three digits
        with pytest.raises(ValueError) as info:
            state.respond_head(seq, status, None, Event())
        assert info.value.args == ("invalid status: invalid status code",)
    # nothing was claimed or read by the refused calls
    assert state.begin_body_read(seq) is True
    assert state.respond_head(seq, 200, HeaderMap(), Event())[0] == H1_REQ_OK


def test_protocol_errors_are_raised_as_their_classes():
    state, transport = new_state()
    assert state.accept_head(b"GET / HT") is None
    with pytest.raises(H1ParseError) as info:
        state.accept_head(b"XP/1.1\r\n\r\n")
    assert info.value.args == ("version", "invalid HTTP version parsed")
    assert state.current_seq == 0 and state.codec.parse_error_status == 400
    assert state.fail_read() is transport

    state, transport = new_state()
    _, seq, _ = state.accept_head(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
    with pytest.raises(H1UserError) as info:
        state.respond_head(seq, 100, None, Event())
    assert info.value.args == (
        "unsupported_status_code", "response has 1xx status code, not supported by server")
    assert state.respond_head(seq, 200, None, Event()) == (H1_REQ_ALREADY, None, False)
    assert state.fail_response(seq) is transport


def test_a_connection_hands_back_the_objects_it_was_given():
    state, transport = new_state()
    data = (b"GET /1 HTTP/1.1\r\nHost: h\r\n\r\n"
            b"POST /2 HTTP/1.1\r\nHost: h\r\nContent-Length: 4\r\n\r\nab")
    head, seq, decoder = state.accept_head(data)
    assert isinstance(head, H1RequestHead) and head.target == "/1"
    assert type(seq) is int and seq == 1 and isinstance(decoder, H1BodyDecoder)
    assert state.current_decoder() is decoder
    code, out, armed = state.respond_head(seq, 200, None, Event(), content_length=2)
    assert (code, type(out), armed) == (H1_REQ_OK, bytes, False)
    assert out == b"HTTP/1.1 200 OK\r\ncontent-length: 2\r\n\r\n"
    assert state.finish_response(seq) == (False, False, None, None)
    assert state.begin_read() == (H1_READ_PARSE, None)

    # the second request's body is left unread; the drain reads it
    head, seq, decoder = state.accept_head(b"")
    assert head.target == "/2" and seq == 2 and decoder.decode() == b"ab"
    assert state.begin_body_read(seq) is True
    state.end_body_read(seq, False)
    done = Event()
    code, out, armed = state.respond_head(seq, 200, None, done, chunked=True, want=True)
    assert armed is False  # the body is unread: the transport read is not the watcher's
    state.end_body_read(seq, True)
    assert state.arm_watcher(seq, done) is True
    assert state.watcher_done() is done and state.watcher_parked
    task, other = Event(), Event()
    assert state.store_watcher_handle(task) is None
    assert state.store_watcher_handle(other) is other
    pipelined = b"GET /3 HTTP/1.1\r\nHost: h\r\n\r\n"
    assert state.watcher_completed(pipelined) is False
    assert state.finish_response(seq) == (False, False, None, None)
    assert state.begin_read() == (H1_READ_WATCHER, done)
    assert state.take_watcher_handle() is task
    read, error = state.take_watcher_result()
    assert read is pipelined and error is None and not state.has_watcher
    assert state.unpark_idle_read() is False

    head, seq, _ = state.accept_head(read)
    assert head.target == "/3" and state.current_seq == seq == 3
    state.arm_watcher(seq, done)
    assert state.mark_closed() == (transport, done, False)
    assert state.mark_closed() == (None, done, True)


def test_references_come_back_to_what_they_were():
    transport, done, task, read = Transport(), Event(), Event(), bytes(bytearray(b"GET /2"))
    before = [sys.getrefcount(o) for o in (transport, done, task, read)]
    state = H1ServerState(H1Codec(), transport)
    _, seq, _ = state.accept_head(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
    state.arm_watcher(seq, done)
    state.store_watcher_handle(task)
    state.watcher_completed(read)
    state.respond_head(seq, 200, None, Event(), content_length=0)
    state.finish_response(seq)
    state.begin_read()
    del state
    assert [sys.getrefcount(o) for o in (transport, done, task, read)] == before


def test_hand_over_gives_the_transport_and_the_bytes_read_past_the_head():
    state, transport = new_state()
    _, seq, _ = state.accept_head(
        b"GET /chat HTTP/1.1\r\nHost: x\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n\r\n"
        b"\x81\x05hello")
    fields = HeaderMap({"upgrade": "websocket", "connection": "Upgrade"})
    code, out, _ = state.respond_head(seq, 101, fields, Event(), want=True)
    assert code == H1_REQ_OK and out.startswith(b"HTTP/1.1 101 Switching Protocols\r\n")
    switched, close, handed, leftover = state.finish_response(seq)
    assert (switched, close, handed, leftover) == (True, False, transport, b"\x81\x05hello")
    assert type(leftover) is bytes and state.upgraded

    state, transport = new_state()
    _, seq, _ = state.accept_head(b"GET /raw HTTP/1.1\r\nHost: x\r\n\r\n")
    state.arm_watcher(seq, Event())
    state.watcher_completed(b"read by the watcher")
    assert state.detach(seq) == (H1_REQ_OK, transport, b"read by the watcher")
    assert state.detach(seq) == (H1_REQ_ALREADY, None, None)
    assert state.detach(0) == (H1_REQ_STALE, None, None)


def test_none_is_no_transport():
    state = H1ServerState(H1Codec(), None)
    assert state.transport_ref() is None
    assert state.begin_read() == (H1_READ_EOF, None)
    _, seq, _ = state.accept_head(b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 1\r\n\r\n")
    state.respond_head(seq, 200, None, Event())
    state.finish_response(seq)
    assert state.begin_read() == (H1_NEXT_DRAIN, None)
    assert state.begin_read() == (H1_NEXT_CLOSE, None)


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
