"""H1ClientState at the Python boundary: the objects handed back (the very objects handed in),
tuple shapes, argument conversions and their messages, references, garbage collection and
threads, and one client driver's exchanges with real bytes. The transitions themselves are
tested in C++ (tests/cpp/h1/client_state_test.cc), the codec's reuse verdict in
tests/cpp/h1/codec_test.cc."""

import gc
import sys
import threading
import weakref

import pytest

import _quillet
from _quillet import (
    H1_WATCH_HANDOFF,
    H1_WATCH_IDLE_BYTES,
    H1_WATCH_IDLE_EOF,
    H1ClientState,
)


class Transport:
    """Stands in for the driver's transport: the module only stores and returns it."""

    def __init__(self):
        self.written = []
        self.closed = False

    def write(self, data):
        self.written.append(data)

    def close(self):
        assert not self.closed, "closed twice"
        self.closed = True


class Conn(H1ClientState):
    """A driver's subclass, with attributes of its own."""

    def __init__(self, transport):
        self.idle_event = threading.Event()


def fresh():
    t = Transport()
    return Conn(t), t


def test_repr_follows_the_state():
    s, _ = fresh()
    assert repr(s) == (
        "H1ClientState(closed=false, failed=false, busy=false, exchange_active=false, "
        "watcher=false)"
    )
    s.try_begin_exchange()
    s.exchange_started()
    s.arm_watcher(object())  # arming ends the exchange window
    s.try_begin_exchange()
    s.exchange_started()
    s.fail(ValueError("x"))
    assert repr(s) == (
        "H1ClientState(closed=true, failed=true, busy=true, exchange_active=true, watcher=true)"
    )


def test_fresh_state_and_constructor():
    t = Transport()
    s = H1ClientState(transport=t)
    assert s.transport_ref() is t and s.transport_ref() is t  # lent, not taken
    assert (s.closed, s.busy, s.upgraded, s.peer_http10, s.writer_finished) == (False,) * 5
    assert s.error is None and not s.has_watcher and not s.is_dead()
    with pytest.raises(TypeError, match="missing required argument 'transport'"):
        H1ClientState()
    with pytest.raises(TypeError):
        H1ClientState(t, t)
    none = H1ClientState(None)  # None is no transport: nothing to watch or hand out
    assert none.transport_ref() is None and none.arm_watcher(object()) is False
    assert none.close_now() is None


def test_stored_objects_come_back_as_themselves_once():
    s, t = fresh()
    ev, task, scope = object(), object(), object()
    assert s.arm_watcher(done=ev) is True
    assert s.store_watcher_handle(handle=task) is None
    late = object()
    assert s.store_watcher_handle(late) is late  # refused: the very object comes back
    assert s.store_writer(scope=scope) is None
    e1 = _quillet.ConnectionClosedError("reset")
    assert s.fail(exc=e1) is t
    assert s.fail(ValueError("later")) is None
    assert s.error is e1 and s.error.args == ("reset",)
    refused = object()
    assert s.store_writer(refused) is refused
    assert s.mark_closed() == (None, ev, scope, True)
    assert s.take_writer() is None
    assert s.watcher_done() is ev  # the slot stays for the join
    assert s.take_watcher_handle() is task and s.take_watcher_handle() is None
    assert s.take_watcher_result() == (None, None) and not s.has_watcher

    u, t2 = fresh()
    assert u.upgrade() is t2
    assert (u.upgraded, u.closed, u.close_now(), u.upgrade()) == (True, True, None, None)
    assert not t2.closed


def test_watcher_reads_come_back_as_the_objects_read():
    s, t = fresh()
    s.arm_watcher(object())
    s.try_begin_exchange()
    s.exchange_started()
    first, err = b"HTTP/1.1 200 OK\r\n", OSError("reset")
    assert s.watcher_completed(b"stale") == (H1_WATCH_HANDOFF, None)
    assert s.watcher_completed(data=first, error=err) == (H1_WATCH_HANDOFF, None)
    data, error = s.take_watcher_result()
    assert data is first and error is err

    idle, t = fresh()
    idle.arm_watcher(object())
    verdict, transport = idle.watcher_completed()  # no data and no error: no transport
    assert (verdict, transport) == (H1_WATCH_IDLE_EOF, t)
    assert type(verdict) is int


def test_references_come_back_to_what_they_were():
    objs = [Transport(), object(), object(), object(), HolderError(), bytes(bytearray(b"x"))]
    t, ev, task, scope, exc, data = objs
    before = [sys.getrefcount(o) for o in objs]
    s = H1ClientState(t)
    s.arm_watcher(ev)
    s.store_watcher_handle(task)
    s.store_writer(scope)
    s.exchange_started()
    s.watcher_completed(data, exc)
    s.fail(exc)
    s.fail(exc)
    s.store_writer(scope)
    del s
    assert [sys.getrefcount(o) for o in objs] == before


def test_argument_conversions_name_the_argument_and_change_nothing():
    s, t = fresh()
    s.arm_watcher(object())
    for bad in (bytearray(b""), memoryview(b""), "", 0):
        with pytest.raises(TypeError) as info:
            s.watcher_completed(bad)
        assert str(info.value) == f"data must be bytes, not {type(bad).__name__}"
    for value in (1, 0, None, "yes"):
        with pytest.raises(TypeError) as info:
            s.set_peer_http10(value)
        assert str(info.value) == f"value must be a bool, not {type(value).__name__}"
    with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
        s.store_writer(bogus=1)
    with pytest.raises(TypeError, match="missing required argument 'done'"):
        s.arm_watcher()
    assert s.peer_http10 is False and not s.closed and s.transport_ref() is t
    s.set_peer_http10(value=True)
    assert s.peer_http10 is True

    class Chunk(bytes):
        pass

    # the slot is still armed; a bytes subclass is wire data
    assert s.watcher_completed(Chunk(b"x")) == (H1_WATCH_IDLE_BYTES, None)


@pytest.mark.parametrize(
    "name",
    ["closed", "busy", "upgraded", "peer_http10", "writer_finished", "error", "has_watcher"],
)
def test_properties_are_read_only(name):
    s, _ = fresh()
    with pytest.raises(AttributeError):
        setattr(s, name, True)
    with pytest.raises(AttributeError):
        delattr(s, name)


def test_subclass_keeps_its_own_attributes():
    s, t = fresh()
    s.pool = "p"
    assert s.pool == "p" and isinstance(s.idle_event, threading.Event)
    assert type(s).__mro__[1] is H1ClientState
    assert H1ClientState.__module__ == "quillet._quillet"


# --- a client driver, end to end, with real bytes --------------------------------------------


def read_response(codec, first_read, more_reads):
    """Feeds reads into the codec until the head arrives, then the rest of a length body."""
    head = codec.receive_head(first_read)
    reads = iter(more_reads)
    while head is None:
        head = codec.receive_head(next(reads))
    body = codec.take_body()
    while len(body) < head.content_length:
        body += next(reads)
    return head, body


def test_client_driver_scenario():
    codec = _quillet.H1Codec()
    t = Transport()
    conn = Conn(t)

    # exchange 1, on a fresh connection: nothing is parked on the transport yet
    assert conn.try_begin_exchange()
    request = codec.serialize_request("GET", "/a", {"host": "example.com"})
    conn.exchange_started()
    t.write(request)
    assert t.written[0].startswith(b"GET /a HTTP/1.1\r\n")
    head, body = read_response(
        codec, b"HTTP/1.1 200 OK\r\ncontent-length: 5\r\n\r\nhe", [b"llo"]
    )
    assert (head.status, head.keep_alive, body) == (200, True, b"hello")
    codec.reset()
    assert codec.response_is_last is False  # the codec's verdict: keep the connection
    assert conn.end_exchange()

    # between exchanges the watcher parks a read on the transport
    done, task = threading.Event(), object()
    assert conn.arm_watcher(done) and conn.store_watcher_handle(task) is None

    # exchange 2: the parked read becomes the response's first read
    assert conn.try_begin_exchange()
    request = codec.serialize_request("POST", "/b", {"host": "example.com"}, content_length=2)
    conn.exchange_started()
    t.write(codec.serialize_head_and_body(request, b"hi"))  # the codec sees the body go out
    first = b"HTTP/1.1 201 Created\r\ncontent-le"
    assert conn.watcher_completed(first) == (H1_WATCH_HANDOFF, None)
    done.set()
    assert conn.take_watcher_handle() is task  # the exchange joins the watcher
    data, error = conn.take_watcher_result()
    assert data is first and error is None
    assert not conn.has_watcher
    head, body = read_response(codec, data, [b"ngth: 3\r\n\r\n", b"ok!"])
    assert (head.status, body) == (201, b"ok!")
    codec.reset()
    assert codec.response_is_last is False
    assert conn.end_exchange()

    # idle again; the server closes the idle connection
    done = threading.Event()
    assert conn.arm_watcher(done)
    verdict, transport = conn.watcher_completed(b"")
    assert verdict == H1_WATCH_IDLE_EOF and transport is t
    transport.close()
    assert conn.is_dead() and conn.closed and conn.error is None
    assert conn.arm_watcher(threading.Event()) is False

    # the driver's close(): nothing is left to close twice
    t_after, ev, writer, idle = conn.mark_closed()
    assert (t_after, ev, writer) == (None, done, None)
    assert conn.take_watcher_handle() is None
    assert conn.take_watcher_result() == (None, None)
    assert not conn.has_watcher


def test_client_driver_closes_when_the_codec_says_the_response_is_last():
    codec, t = _quillet.H1Codec(), Transport()
    conn = Conn(t)
    assert conn.try_begin_exchange()
    request = codec.serialize_request("GET", "/", {"host": "h", "connection": "close"})
    conn.exchange_started()
    t.write(request)
    head, body = read_response(codec, b"HTTP/1.1 200 OK\r\ncontent-length: 2\r\n\r\nok", [])
    assert head.keep_alive is True  # the response alone would keep the connection
    codec.reset()
    assert codec.response_is_last is True
    assert conn.close_now() is t and conn.end_exchange() is True
    assert conn.is_dead() and conn.arm_watcher(object()) is False


# --- garbage collection ----------------------------------------------------------------------


class Holder:
    """A Python object that points back at the state, closing a cycle through one slot."""

    def __init__(self, state=None):
        self.state = state


class HolderError(Exception):
    """An exception that can be weakly referenced and given attributes."""


def _place(slot, conn, h):
    if slot == "error":
        conn.fail(h)
    elif slot == "writer":
        conn.store_writer(h)
    elif slot == "done":
        conn.arm_watcher(h)
    elif slot == "task":
        conn.arm_watcher(object())
        conn.store_watcher_handle(h)
    elif slot == "handoff_error":
        conn.arm_watcher(object())
        conn.exchange_started()
        conn.watcher_completed(None, h)


def test_cycle_through_the_transport_and_a_subclass_attribute_is_collected():
    t = Holder()
    conn = Conn(t)
    t.state = conn  # transport -> state
    conn.me = t  # state -> (attribute) -> transport
    refs = weakref.ref(conn), weakref.ref(t)
    del conn, t
    gc.collect()
    assert refs[0]() is None and refs[1]() is None


@pytest.mark.parametrize("slot", ["error", "writer", "done", "task", "handoff_error"])
def test_cycle_through_each_held_object_is_collected(slot):
    conn = Conn(Transport())
    h = HolderError() if slot.endswith("error") else Holder()
    h.state = conn
    _place(slot, conn, h)
    refs = weakref.ref(conn), weakref.ref(h)
    del conn, h
    gc.collect()
    assert refs[0]() is None and refs[1]() is None


def test_finalisers_may_reenter_the_state():
    # A reference dropped under the object's lock would run this finaliser there and deadlock.
    seen = []

    class Reenter:
        def __init__(self, state):
            self.state = state

        def __del__(self):
            seen.append(repr(self.state))

    conn = Conn(Transport())
    conn.store_writer(Reenter(conn))
    conn.store_writer(None)  # drops the only reference to the old writer
    assert len(seen) == 1

    conn.arm_watcher(Reenter(conn))
    conn.take_watcher_handle()
    conn.take_watcher_result()  # frees the slot and its done event
    assert len(seen) == 2
    assert seen[1].endswith("watcher=false)")


# --- threads ---------------------------------------------------------------------------------


def _closers(conn, exc):
    return [
        conn.close_now,
        lambda: conn.fail(exc),
        lambda: conn.mark_closed()[0],
        conn.upgrade,
        lambda: conn.watcher_completed(b"")[1],
        lambda: conn.end_exchange() and None,
    ]


def test_racing_closers_hand_the_transport_out_at_most_once():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for _ in range(300):
            t = Transport()
            conn = Conn(t)
            conn.try_begin_exchange()
            assert conn.arm_watcher(object())
            exc = ValueError()
            calls = _closers(conn, exc)
            results = [None] * len(calls)
            barrier = threading.Barrier(len(calls))

            def run(i):
                barrier.wait()
                results[i] = calls[i]()

            threads = [threading.Thread(target=run, args=(i,)) for i in range(len(calls))]
            for th in threads:
                th.start()
            for th in threads:
                th.join()
            handed = [r for r in results if r is t]
            assert len(handed) == 1, results
            assert conn.closed and conn.transport_ref() is None
            assert conn.error in (None, exc)
    finally:
        sys.setswitchinterval(old)
