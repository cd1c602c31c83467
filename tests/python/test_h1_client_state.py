"""H1ClientState: the transitions a client driver asks of one HTTP/1 connection."""

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
    H1_WATCH_IDLE_ERROR,
    H1_WATCH_IGNORED,
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
    with pytest.raises(TypeError):
        H1ClientState()
    with pytest.raises(TypeError):
        H1ClientState(t, t)


def test_exchange_claim_is_exclusive():
    s, _ = fresh()
    assert s.try_begin_exchange() is True
    assert s.try_begin_exchange() is False
    s.writer_done()
    assert s.writer_finished and s.busy
    assert s.end_exchange() is True
    assert s.end_exchange() is False
    assert s.writer_finished  # kept until the next claim
    assert s.try_begin_exchange() is True
    assert not s.writer_finished


def test_first_error_wins_and_is_handed_back_unchanged():
    s, t = fresh()
    e1, e2 = _quillet.ConnectionClosedError("reset"), ValueError("later")
    assert s.fail(e1) is t
    assert s.fail(e2) is None
    assert s.error is e1 and s.error.args == ("reset",)
    assert s.is_dead() and s.closed
    assert s.close_now() is None and s.mark_closed()[0] is None


def test_fail_without_an_error_closes_only():
    s, t = fresh()
    assert s.fail() is t
    assert s.error is None and s.is_dead()
    e = RuntimeError()
    assert s.fail(exc=e) is None
    assert s.error is e


def test_close_now_hands_the_transport_out_once():
    s, t = fresh()
    assert s.close_now() is t
    assert s.close_now() is None and s.transport_ref() is None
    assert s.error is None and s.is_dead()


def test_upgrade_keeps_the_transport_from_every_later_close():
    s, t = fresh()
    assert s.arm_watcher(object())
    assert s.upgrade() is t
    assert s.upgraded and s.closed
    assert s.fail(ValueError()) is None
    assert s.close_now() is None
    assert s.mark_closed()[0] is None
    assert s.watcher_completed(b"") == (H1_WATCH_IDLE_EOF, None)
    assert s.upgrade() is None
    assert not t.closed


def test_upgrade_after_a_close_has_nothing_to_hand_over():
    s, t = fresh()
    assert s.close_now() is t
    assert s.upgrade() is None


def test_mark_closed_hands_out_what_close_needs():
    s, t = fresh()
    ev, scope = object(), object()
    assert s.arm_watcher(ev)
    assert s.store_writer(scope) is None
    assert s.mark_closed() == (t, ev, scope, True)
    assert s.has_watcher and s.watcher_done() is ev  # the slot stays for the join
    assert s.mark_closed() == (None, ev, None, True)

    busy, t2 = fresh()
    busy.try_begin_exchange()
    assert busy.mark_closed() == (t2, None, None, False)


def test_writer_store_take_and_refusal():
    s, _ = fresh()
    first, second = object(), object()
    assert s.store_writer(first) is None
    assert s.store_writer(second) is None  # replaces
    assert s.take_writer() is second
    assert s.take_writer() is None
    s.close_now()
    refused = object()
    assert s.store_writer(scope=refused) is refused
    assert s.take_writer() is None


def test_arm_watcher_refusals():
    s, _ = fresh()
    assert s.arm_watcher(done=object()) is True
    assert s.arm_watcher(object()) is False  # a slot exists
    s.watcher_aborted()
    assert s.arm_watcher(object()) is False  # completed but not freed
    s.take_watcher_handle()
    s.take_watcher_result()
    assert not s.has_watcher
    assert s.arm_watcher(object()) is True

    closed, _ = fresh()
    closed.close_now()
    assert closed.arm_watcher(object()) is False
    assert H1ClientState(None).arm_watcher(object()) is False  # no transport


def test_watcher_handle_is_stored_once_and_handed_out_once():
    s, _ = fresh()
    task, late = object(), object()
    assert s.store_watcher_handle(task) is task  # no slot yet
    s.arm_watcher(object())
    assert s.store_watcher_handle(handle=task) is None
    assert s.store_watcher_handle(late) is late
    assert s.take_watcher_handle() is task
    assert s.take_watcher_handle() is None
    # whoever took it has moved on: a handle arriving now is the arming task's to join
    assert s.store_watcher_handle(late) is late

    c, _ = fresh()
    c.arm_watcher(object())
    c.mark_closed()
    assert c.store_watcher_handle(task) is task


def test_idle_end_of_input_closes():
    s, t = fresh()
    s.arm_watcher(object())
    assert s.watcher_completed(b"") == (H1_WATCH_IDLE_EOF, t)
    assert s.closed and s.error is None
    assert s.close_now() is None


def test_watcher_without_transport_counts_as_end_of_input():
    s, t = fresh()
    s.arm_watcher(object())
    assert s.watcher_completed() == (H1_WATCH_IDLE_EOF, t)


def test_idle_bytes_leave_the_connection_open():
    s, _ = fresh()
    s.arm_watcher(object())
    assert s.watcher_completed(b"H") == (H1_WATCH_IDLE_BYTES, None)
    assert not s.closed
    assert s.take_watcher_result() == (None, None)  # an idle read is not kept


@pytest.mark.parametrize("data", [None, b"", b"HTTP/1.1 200 OK\r\n"])
def test_idle_error_wins_over_data(data):
    s, _ = fresh()
    s.arm_watcher(object())
    assert s.watcher_completed(data, OSError("reset")) == (H1_WATCH_IDLE_ERROR, None)
    assert not s.closed  # the caller fails the connection itself


def test_handoff_keeps_the_read_for_the_exchange():
    s, _ = fresh()
    s.arm_watcher(object())
    s.try_begin_exchange()
    s.exchange_started()
    first = b"HTTP/1.1 200 OK\r\n"
    assert s.watcher_completed(b"stale") == (H1_WATCH_HANDOFF, None)
    assert s.watcher_completed(data=first, error=None) == (H1_WATCH_HANDOFF, None)
    data, error = s.take_watcher_result()
    assert data is first and error is None
    assert s.take_watcher_result() == (None, None)
    assert s.has_watcher  # the handle was never taken
    assert not s.closed


def test_handoff_of_an_error():
    s, _ = fresh()
    s.arm_watcher(object())
    s.exchange_started()
    err = OSError("reset")
    assert s.watcher_completed(None, err) == (H1_WATCH_HANDOFF, None)
    assert s.take_watcher_result() == (None, err)


def test_mark_closed_does_not_free_the_slot():
    s, t = fresh()
    ev, task = object(), object()
    s.arm_watcher(ev)
    s.store_watcher_handle(task)
    assert s.mark_closed()[:2] == (t, ev)
    assert s.watcher_completed(None, OSError()) == (H1_WATCH_IGNORED, None)
    assert s.take_watcher_handle() is task
    assert s.take_watcher_result() == (None, None)
    assert not s.has_watcher and s.watcher_done() is None
    for data, error in [(b"", None), (b"x", None), (None, OSError()), (None, None)]:
        assert s.watcher_completed(data, error) == (H1_WATCH_IGNORED, None)


def test_completion_without_a_slot_is_ignored_and_changes_nothing():
    s, t = fresh()
    assert s.watcher_completed(b"") == (H1_WATCH_IGNORED, None)
    assert not s.closed and s.transport_ref() is t


@pytest.mark.parametrize("bad", [bytearray(b""), memoryview(b""), "", 0])
def test_watcher_data_must_be_bytes(bad):
    s, t = fresh()
    s.arm_watcher(object())
    with pytest.raises(TypeError, match="data"):
        s.watcher_completed(bad)
    assert not s.closed and s.transport_ref() is t
    # the slot is still armed: a real completion still decides
    assert s.watcher_completed(b"") == (H1_WATCH_IDLE_EOF, t)


def test_bytes_subclass_is_wire_data():
    class Chunk(bytes):
        pass

    s, _ = fresh()
    s.arm_watcher(object())
    assert s.watcher_completed(Chunk(b"x")) == (H1_WATCH_IDLE_BYTES, None)


@pytest.mark.parametrize("value", [1, 0, None, "yes"])
def test_set_peer_http10_takes_a_strict_bool(value):
    s, _ = fresh()
    with pytest.raises(TypeError):
        s.set_peer_http10(value)
    assert s.peer_http10 is False
    s.set_peer_http10(value=True)
    assert s.peer_http10 is True


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
    assert conn.end_exchange()

    # between exchanges the watcher parks a read on the transport
    done, task = threading.Event(), object()
    assert conn.arm_watcher(done) and conn.store_watcher_handle(task) is None

    # exchange 2: the parked read becomes the response's first read
    assert conn.try_begin_exchange()
    request = codec.serialize_request("POST", "/b", {"host": "example.com"}, content_length=2)
    conn.exchange_started()
    t.write(request + b"hi")
    first = b"HTTP/1.1 201 Created\r\ncontent-le"
    assert conn.watcher_completed(first) == (H1_WATCH_HANDOFF, None)
    done.set()
    assert conn.take_watcher_handle() is task  # the exchange joins the watcher
    data, error = conn.take_watcher_result()
    assert data is first and error is None
    assert not conn.has_watcher
    head, body = read_response(codec, data, [b"ngth: 3\r\n\r\n", b"ok!"])
    assert (head.status, body) == (201, b"ok!")
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


def test_client_driver_poisoned_by_unsolicited_bytes():
    t = Transport()
    conn = Conn(t)
    assert conn.arm_watcher(threading.Event())
    verdict, transport = conn.watcher_completed(b"HTTP/1.1 408 Request Timeout\r\n\r\n")
    assert verdict == H1_WATCH_IDLE_BYTES and transport is None
    err = _quillet.H1UnexpectedMessageError("received unexpected message from connection")
    conn.fail(err).close()
    assert t.closed and conn.error is err
    # every later caller raises a fresh error chained from the stored one
    with pytest.raises(_quillet.ConnectionClosedError) as info:
        try:
            raise conn.error
        except _quillet.H1Error as stored:
            raise _quillet.ConnectionClosedError("connection is dead") from stored
    assert info.value.__cause__ is err
    assert conn.fail(ValueError()) is None and conn.error is err


def test_request_body_writer_torn_down_by_close():
    t = Transport()
    conn = Conn(t)
    conn.try_begin_exchange()
    conn.exchange_started()
    scope = object()
    assert conn.store_writer(scope) is None
    assert conn.mark_closed() == (t, None, scope, False)
    assert conn.take_writer() is None
    late = object()
    assert conn.store_writer(late) is late


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
