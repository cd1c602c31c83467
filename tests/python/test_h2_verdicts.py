"""The HTTP/2 verdict objects and the write batch, built by the probe from plain values."""

import ctypes
import gc
import inspect
import weakref

import pytest

import _quillet_probe as probe


class Handle:
    """A driver's per-stream record: any object, weak-referenceable so leaks show."""


VERDICT_CLASSES = [probe.H2Stopped, probe.H2SendVerdict, probe.H2RecvHeadersVerdict,
                   probe.H2RecvDataVerdict, probe.H2ResetVerdict]


@pytest.mark.parametrize("stop,text", [
    ((None, False), "H2Stopped(reason=None, conn=false)"),
    ((None, True), "H2Stopped(reason=None, conn=true)"),
    ((0, False), "H2Stopped(reason=Some(0), conn=false)"),
    ((8, False), "H2Stopped(reason=Some(8), conn=false)"),
    ((2**32 - 1, True), "H2Stopped(reason=Some(4294967295), conn=true)"),
])
def test_stopped(stop, text):
    stopped = probe.stopped(stop)
    assert type(stopped) is probe.H2Stopped
    assert repr(stopped) == text
    assert (stopped.reason, stopped.conn) == stop
    assert type(stopped.conn) is bool
    assert probe.stopped(None) is None


def stop_fields(stopped):
    return None if stopped is None else (stopped.reason, stopped.conn)


@pytest.mark.parametrize("handle", [Handle(), None])
def test_send_verdict_fields(handle):
    v = probe.send_verdict(2**32 - 1, True, (None, False), handle, (8, False), 17)
    assert (v.sent, v.done, v.flags) == (2**32 - 1, True, 17)
    assert v.handle is handle
    assert stop_fields(v.stopped) == (None, False)
    assert stop_fields(v.reader_stop) == (8, False)
    v = probe.send_verdict(0, False, None, handle, None, 0)
    assert (v.sent, v.done, v.stopped, v.reader_stop, v.flags) == (0, False, None, None, 0)
    assert type(v.done) is bool


@pytest.mark.parametrize("kind", [0, 1, 2, 3])
@pytest.mark.parametrize("handle", [Handle(), None])
def test_recv_headers_verdict_fields(kind, handle):
    v = probe.recv_headers_verdict(kind, handle, 2**31 - 1, kind % 2 == 1, 2 | 4)
    assert (v.kind, v.stream_id, v.eof, v.flags) == (kind, 2**31 - 1, kind % 2 == 1, 6)
    assert v.handle is handle


@pytest.mark.parametrize("deliver", [True, False])
@pytest.mark.parametrize("handle", [Handle(), None])
def test_recv_data_verdict_fields(deliver, handle):
    payload = b"body bytes"
    v = probe.recv_data_verdict(handle, deliver, True, False, 1, payload)
    assert v.handle is handle
    assert v.payload is (payload if deliver else None)
    assert (v.budgeted, v.eof, v.flags) == (True, False, 1)
    v = probe.recv_data_verdict(handle, deliver, False, True, 0, payload)
    assert (v.budgeted, v.eof, v.flags) == (False, True, 0)


@pytest.mark.parametrize("handle,stop", [(Handle(), (7, True)), (None, None)])
def test_reset_verdict_fields(handle, stop):
    v = probe.reset_verdict(handle, stop, 2**32 - 1)
    assert v.handle is handle
    assert stop_fields(v.stop) == stop
    assert v.flags == 2**32 - 1


def sample_verdicts(handle):
    return [
        probe.stopped((1, True)),
        probe.send_verdict(1, True, (1, False), handle, (2, True), 1),
        probe.recv_headers_verdict(1, handle, 1, True, 1),
        probe.recv_data_verdict(handle, True, True, True, 1, b"x"),
        probe.reset_verdict(handle, (1, False), 1),
    ]


PROPERTIES = [
    {"reason", "conn"},
    {"sent", "done", "stopped", "handle", "reader_stop", "flags"},
    {"kind", "handle", "stream_id", "eof", "flags"},
    {"handle", "payload", "budgeted", "eof", "flags"},
    {"handle", "stop", "flags"},
]


@pytest.mark.parametrize("index", range(len(VERDICT_CLASSES)))
def test_verdicts_are_frozen_final_and_internal(index):
    cls = VERDICT_CLASSES[index]
    v = sample_verdicts(Handle())[index]
    assert type(v) is cls and cls.__doc__
    names = {name for name, value in vars(cls).items() if inspect.isgetsetdescriptor(value)}
    assert names == PROPERTIES[index]
    for name in names:
        with pytest.raises(AttributeError):
            setattr(v, name, getattr(v, name))
        with pytest.raises(AttributeError):
            delattr(v, name)
    with pytest.raises(AttributeError):
        v.extra = 1
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    if cls is not probe.H2Stopped:
        assert repr(v).startswith(f"<quillet._quillet.{cls.__name__} object at 0x")


def test_verdicts_release_their_handles_and_payloads():
    handle, payload = Handle(), bytes(range(50))
    handle_ref = weakref.ref(handle)
    verdicts = sample_verdicts(handle)
    data = probe.recv_data_verdict(handle, True, False, False, 0, payload)
    del handle
    assert handle_ref() is not None
    assert data.payload is payload
    del verdicts, data
    assert handle_ref() is None


# --- write batch -------------------------------------------------------------------------------

DATA = bytes(range(256)) * 4  # past any inline string capacity


def request_buffer(obj, flags):
    """PyObject_GetBuffer with the given flags; raises what the exporter raises."""
    get = ctypes.pythonapi.PyObject_GetBuffer
    get.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_int]
    view = ctypes.create_string_buffer(256)  # larger than a Py_buffer
    get(obj, view, flags)
    ctypes.pythonapi.PyBuffer_Release.argtypes = [ctypes.c_void_p]
    ctypes.pythonapi.PyBuffer_Release(view)


@pytest.mark.parametrize("data", [b"", b"a", DATA])
def test_write_batch_exports_read_only_bytes(data):
    probe.given_back()
    owner = Handle()
    view = probe.write_batch(owner, data)
    assert type(view) is memoryview and type(view.obj) is probe.H2WriteBatch
    assert view.readonly and view.tobytes() == data
    assert len(view) == len(view.obj) == len(data)
    with pytest.raises(TypeError):
        view[:1] = b"z"
    with pytest.raises(BufferError):
        request_buffer(view.obj, 1)  # PyBUF_WRITABLE
    request_buffer(view.obj, 0)
    with pytest.raises(TypeError):
        probe.H2WriteBatch()
    with pytest.raises(TypeError):
        type("Sub", (probe.H2WriteBatch,), {})
    assert probe.given_back()[0] == 0
    view.release()
    calls, given_owner, size, capacity = probe.given_back()
    assert (calls, given_owner, size) == (1, id(owner), 0) and capacity >= len(data)


def test_write_batch_lives_as_long_as_any_view():
    owner = Handle()
    owner_ref = weakref.ref(owner)
    probe.given_back()
    view = probe.write_batch(owner, DATA)
    tail = view[100:]
    again = memoryview(view.obj)
    del owner, view
    assert owner_ref() is not None  # the batch keeps its owner
    assert tail.tobytes() == DATA[100:]
    again.release()
    assert tail.tobytes() == DATA[100:] and probe.given_back()[0] == 0
    owner_id = id(owner_ref())
    del tail
    calls, given_owner, size, capacity = probe.given_back()
    assert (calls, given_owner, size) == (1, owner_id, 0)
    assert capacity >= len(DATA)
    assert owner_ref() is None  # dropped after the give-back
    assert probe.given_back()[0] == 0


def test_write_batch_cycle_through_owner_is_collected():
    class Owner:
        pass

    probe.given_back()
    owner = Owner()
    owner.view = probe.write_batch(owner, DATA)
    batch = owner.view.obj
    assert gc.is_tracked(batch) and owner in gc.get_referents(batch)
    owner_ref, owner_id = weakref.ref(owner), id(owner)
    del owner, batch
    gc.collect()
    assert owner_ref() is None
    calls, given_owner, size, capacity = probe.given_back()
    assert (calls, given_owner, size) == (1, owner_id, 0) and capacity >= len(DATA)
