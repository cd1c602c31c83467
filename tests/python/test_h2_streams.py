"""The HTTP/2 stream primitives at the boundary: argument conversion, the exceptions each refusal
and each ending of a stream becomes (classes, args and messages), and the reprs. The transition
rules themselves are tested in tests/cpp/h2/."""

import pytest

from _quillet import (ConnectionClosedError, H2ContentLength, H2DataFrameBudget,
                      H2FlowControl, H2FlowControlError, H2ProtocolError, H2StreamError,
                      H2StreamState, H2UserError)

UNEXPECTED_FRAME = ("unexpected_frame_type", "unexpected frame type")
PROTOCOL_ERROR = (1, "unspecific protocol error detected")

REASONS = [
    (0, "not a result of an error"),
    (1, "unspecific protocol error detected"),
    (2, "unexpected internal error encountered"),
    (3, "flow-control protocol violated"),
    (4, "settings ACK not received in timely manner"),
    (5, "received frame when stream half-closed"),
    (6, "frame with invalid size"),
    (7, "refused stream before processing any application logic"),
    (8, "stream no longer needed"),
    (9, "unable to maintain the header compression context"),
    (10, "connection established in response to a CONNECT request was reset or abnormally "
         "closed"),
    (11, "detected excessive load generating behavior"),
    (12, "security properties do not meet minimum requirements"),
    (13, "endpoint requires HTTP/1.1"),
    (14, "unknown reason"),
    (2**32 - 1, "unknown reason"),
]


def state(*steps):
    s = H2StreamState()
    for name, *args in steps:
        getattr(s, name)(*args)
    return s


# ---------------------------------------------------------------------------------------------
# H2StreamState

# The text of every state is tested with the transitions (tests/cpp/h2); here, that the repr is it.
@pytest.mark.parametrize("steps,text", [
    ((), "Idle"),
    ((("send_open", False),), "Open { local: Streaming, remote: AwaitingHeaders }"),
    ((("recv_open", True, False), ("recv_reset", 2147483647, 4294967295, False)),
     "Closed(ErrorAfterEndStream(Reset { stream_id: 2147483647, reason: 4294967295, "
     "initiator: remote }))"),
    ((("recv_eof",),), "Closed(Error(Io(BrokenPipe)))"),
])
def test_state_repr(steps, text):
    assert repr(state(*steps)) == text


@pytest.mark.parametrize("steps,call,exc,args", [
    ((("send_open", True),), ("send_open", False), H2UserError, UNEXPECTED_FRAME),
    ((("reserve_remote",),), ("reserve_local",), H2UserError, UNEXPECTED_FRAME),
    ((("recv_open", False, False),), ("recv_open", False, False), H2ProtocolError,
     PROTOCOL_ERROR),
    ((("send_open", False),), ("reserve_remote",), H2ProtocolError, PROTOCOL_ERROR),
    ((), ("recv_close",), H2ProtocolError, PROTOCOL_ERROR),
])
def test_refusals_raise_and_leave_the_state(steps, call, exc, args):
    s = state(*steps)
    before = repr(s)
    with pytest.raises(exc) as info:
        getattr(s, call[0])(*call[1:])
    assert type(info.value) is exc and info.value.args == args
    assert repr(s) == before


def test_results_are_plain_values():
    s = H2StreamState()
    assert s.recv_open(False, True) is True      # opened the stream
    assert s.recv_open(False, False) is False    # it was open already
    assert s.send_open(False) is None
    assert (s.send_close(), s.send_close()) == (True, False)
    assert s.get_scheduled_reset() is None
    assert s.ensure_recv_open() is True
    t = H2StreamState()
    assert t.set_scheduled_reset(2**32 - 1) is True
    assert t.get_scheduled_reset() == 2**32 - 1


@pytest.mark.parametrize("initiator", ["user", "library", "remote"])
def test_a_reset_stream_raises_its_reset(initiator):
    s = state(("send_open", False), ("set_reset", 2**31 - 1, 2**32 - 1, initiator))
    with pytest.raises(H2StreamError) as info:
        s.ensure_recv_open()
    assert info.value.args == (2**31 - 1, 2**32 - 1, initiator)
    assert s.is_remote_reset() is (initiator == "remote")
    assert s.is_local_error() is (initiator != "remote")


def test_a_peer_reset_raises_as_remote():
    s = state(("send_open", False), ("recv_reset", 1, 8, False))
    with pytest.raises(H2StreamError) as info:
        s.ensure_recv_open()
    assert info.value.args == (1, 8, "remote")


def test_a_broken_transport_raises_connection_closed():
    s = state(("send_open", False), ("recv_eof",))
    with pytest.raises(ConnectionClosedError) as info:
        s.ensure_recv_open()
    assert type(info.value) is ConnectionClosedError
    assert info.value.args == ("stream closed because of a broken pipe",)


@pytest.mark.parametrize("reason,description", REASONS)
def test_a_scheduled_reset_raises_its_reason_described(reason, description):
    s = state(("set_scheduled_reset", reason))
    with pytest.raises(H2ProtocolError) as info:
        s.ensure_recv_open()
    assert info.value.args == (reason, description)
    assert type(info.value.args[0]) is int


@pytest.mark.parametrize("given,shown", [
    ("peer", '"peer"'),
    ("", '""'),
    ("User", '"User"'),
    ('a"b\\c\n', '"a\\"b\\\\c\\n"'),
    ("r\u00e9mote", '"r\u00e9mote"'),
    ("\udcff", '"\\xed\\xb3\\xbf"'),
])
def test_set_reset_refuses_an_unknown_initiator(given, shown):
    s = state(("send_open", False))
    with pytest.raises(ValueError) as info:
        s.set_reset(1, 8, given)
    assert str(info.value) == "initiator must be 'user' | 'library' | 'remote', got " + shown
    assert repr(s) == "Open { local: Streaming, remote: AwaitingHeaders }"


@pytest.mark.parametrize("call,exc", [
    (lambda s: s.send_open(1), TypeError),
    (lambda s: s.send_open(None), TypeError),
    (lambda s: s.recv_open(False, 0), TypeError),
    (lambda s: s.recv_reset(1, 8, 1), TypeError),
    (lambda s: s.recv_reset(2**31, 8, False), OverflowError),
    (lambda s: s.recv_reset(-1, 8, False), OverflowError),
    (lambda s: s.recv_reset(1, 2**32, False), OverflowError),
    (lambda s: s.set_reset(2**31, 8, "user"), OverflowError),
    (lambda s: s.set_reset(1, 8, b"user"), TypeError),
    (lambda s: s.set_reset(1, 2**32, "user"), OverflowError),
    (lambda s: s.set_scheduled_reset(2**32), OverflowError),
    (lambda s: s.set_scheduled_reset("8"), TypeError),
    (lambda s: s.send_open(), TypeError),
    (lambda s: s.send_close(True), TypeError),
    (lambda s: s.recv_open(eos=False), TypeError),
])
def test_bad_arguments_change_nothing(call, exc):
    s = state(("send_open", False))
    with pytest.raises(exc):
        call(s)
    assert repr(s) == "Open { local: Streaming, remote: AwaitingHeaders }"


def test_stream_id_limit_names_the_argument():
    with pytest.raises(OverflowError, match="stream_id does not fit in an unsigned 31-bit"):
        H2StreamState().recv_reset(2**31, 0, False)


def test_keywords_are_accepted():
    s = H2StreamState()
    assert s.recv_open(eos=False, informational=False) is True
    s.send_open(eos=False)
    s.recv_reset(stream_id=1, reason=8, queued=True)
    s.set_reset(stream_id=1, reason=2, initiator="library")
    assert s.set_scheduled_reset(reason=1) is False
    assert repr(s) == "Closed(Error(Reset { stream_id: 1, reason: 2, initiator: library }))"


# ---------------------------------------------------------------------------------------------
# H2FlowControl

def test_flow_repr_and_readings():
    f = H2FlowControl()
    assert repr(f) == "FlowControl { window_size: Window(0), available: Window(0) }"
    assert (f.window_size(), f.available(), f.unclaimed_capacity()) == (0, 0, None)
    f.dec_send_window(2**31 - 1)
    f.dec_send_window(1)
    f.claim_capacity(5)
    assert repr(f) == ("FlowControl { window_size: Window(-2147483648), "
                       "available: Window(-5) }")
    assert f.window_size() == 0            # never reported negative
    assert f.available() == -5
    assert f.has_unavailable() is False
    f.inc_window(2**31 - 1)
    f.assign_capacity(2**31 - 1)
    f.assign_capacity(5)
    assert repr(f) == ("FlowControl { window_size: Window(-1), "
                       "available: Window(2147483647) }")
    with pytest.raises(H2FlowControlError) as info:  # 2147483647 - (-1) leaves 32 bits
        f.unclaimed_capacity()
    assert info.value.args == (3,)


@pytest.mark.parametrize("method", ["claim_capacity", "assign_capacity", "inc_window",
                                    "dec_send_window", "dec_recv_window"])
@pytest.mark.parametrize("size", [2**31, 2**32 - 1])
def test_window_sizes_past_the_limit_are_refused(method, size):
    f = H2FlowControl()
    with pytest.raises(ValueError) as info:
        getattr(f, method)(size)
    assert str(info.value) == (f"window size {size} exceeds the maximum 2147483647 "
                               "(RFC 9113 6.9.1)")
    assert repr(f) == "FlowControl { window_size: Window(0), available: Window(0) }"


@pytest.mark.parametrize("setup,call", [
    ([("inc_window", 1)], ("inc_window", 2**31 - 1)),
    ([("assign_capacity", 1)], ("assign_capacity", 2**31 - 1)),
    ([("dec_send_window", 2)], ("dec_send_window", 2**31 - 1)),
    ([("claim_capacity", 2)], ("claim_capacity", 2**31 - 1)),
    ([("inc_window", 5)], ("send_data", 10)),
    ([("inc_window", 5)], ("send_data", 2**32 - 1)),  # past the window, not a size error
])
def test_overflow_raises_flow_control_error(setup, call):
    f = H2FlowControl()
    for name, arg in setup:
        getattr(f, name)(arg)
    before = repr(f)
    with pytest.raises(H2FlowControlError) as info:
        getattr(f, call[0])(call[1])
    assert type(info.value) is H2FlowControlError and info.value.args == (3,)
    assert repr(f) == before


def test_flow_arguments():
    f = H2FlowControl()
    f.send_data(sz=0)
    f.inc_window(sz=10)
    f.claim_capacity(capacity=1)
    for bad, exc in [(-1, OverflowError), (2**32, OverflowError), (1.0, TypeError),
                     (None, TypeError)]:
        with pytest.raises(exc):
            f.inc_window(bad)
    with pytest.raises(TypeError):
        H2FlowControl(65535)
    assert repr(f) == "FlowControl { window_size: Window(10), available: Window(-1) }"


# ---------------------------------------------------------------------------------------------
# H2ContentLength

def test_content_length_arguments():
    declared = H2ContentLength()
    assert declared.is_head() is False
    declared.set(value=2**64 - 1)
    assert declared.dec(len=2**64 - 1) is True
    assert declared.is_satisfied() is True
    assert declared.dec(1) is False
    assert H2ContentLength(is_head=True).is_head() is True
    assert H2ContentLength(True).dec(1) is False
    for bad, exc in [(2**64, OverflowError), (-1, OverflowError), ("1", TypeError)]:
        with pytest.raises(exc):
            declared.set(bad)
        with pytest.raises(exc):
            declared.dec(bad)
    with pytest.raises(TypeError):
        H2ContentLength(is_head=1)
    with pytest.raises(TypeError):
        H2ContentLength(False, True)


# ---------------------------------------------------------------------------------------------
# H2DataFrameBudget

def test_budget_construction_arguments():
    assert H2DataFrameBudget(None, None).available == 32767
    assert H2DataFrameBudget(configured=0, connection_window=2**32 - 1).available == 0
    assert H2DataFrameBudget(connection_window=1048576).available == 524288


def test_budget_refusals_raise_too_many_data_frames():
    b = H2DataFrameBudget(1000)
    assert [b.record(1) for _ in range(3)] == [255, 255, 255]
    with pytest.raises(H2ProtocolError) as info:
        b.record(payload_len=1)
    assert type(info.value) is H2ProtocolError
    assert info.value.args == (11, "too_many_data_frames")
    b.release(charge=255)
    assert b.available == 490
    for _ in range(100):
        b.record(0)
    with pytest.raises(H2ProtocolError) as info:
        b.record(0)
    assert info.value.args == (11, "too_many_data_frames")
    assert b.empty_frames == 101


def test_budget_arguments():
    for bad, exc in [(2**32, OverflowError), (-1, OverflowError), (1.5, TypeError)]:
        with pytest.raises(exc):
            H2DataFrameBudget(bad)
        with pytest.raises(exc):
            H2DataFrameBudget(connection_window=bad)
        b = H2DataFrameBudget()
        with pytest.raises(exc):
            b.record(bad)
        with pytest.raises(exc):
            b.release(bad)
        assert (b.available, b.empty_frames) == (32767, 0)
    with pytest.raises(TypeError):
        H2DataFrameBudget(1, 2, 3)
    with pytest.raises(TypeError):
        H2DataFrameBudget(budget=1)


# ---------------------------------------------------------------------------------------------
# All four

@pytest.mark.parametrize("cls", [H2StreamState, H2FlowControl, H2ContentLength,
                                 H2DataFrameBudget])
def test_classes_are_final_and_frozen(cls):
    assert cls.__module__ == "quillet._quillet"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    obj = cls()
    with pytest.raises(AttributeError):
        obj.extra = 1
    names = [n for n in dir(cls) if not n.startswith("_")]
    for name in names:
        with pytest.raises(AttributeError):
            setattr(obj, name, 1)


def test_budget_properties_are_read_only():
    b = H2DataFrameBudget()
    for name in ("available", "empty_frames"):
        with pytest.raises(AttributeError):
            setattr(b, name, 0)
    assert (b.available, b.empty_frames) == (32767, 0)
