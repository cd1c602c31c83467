"""Several threads on one object at once: no crash, nothing lost, nothing handed out twice."""

import queue
import sys
import threading
import time

import pytest

from _quillet import (H2_HEADERS_OPENED, H2_PREFACE, H1Codec, H1ParseError, H2Codec,
                      H2FrameData, H2FrameHeaders, H2FramePing, H2FrameSettings, H2Streams,
                      HeaderMap)

THREADS = 6
OPS = 1500


@pytest.fixture(autouse=True)
def fast_switching():
    # Switch threads as often as the interpreter allows, so the calls really interleave.
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(old)


def run_threads(fn):
    start = threading.Barrier(THREADS)
    errors = []

    def body(i):
        try:
            start.wait()
            fn(i)
        except BaseException as exc:  # reported in the main thread
            errors.append(exc)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors


def test_one_header_map():
    m = HeaderMap()

    def work(i):
        own = f"x-thread-{i}"
        for k in range(OPS):
            m.add(own, str(k))
            m.add("shared", b"v")
            m.get("shared"), "shared" in m
            if k % 50 == 0:
                m.items()
                try:
                    del m["shared"]
                except KeyError:  # another thread removed it first
                    pass

    run_threads(work)
    for i in range(THREADS):
        assert m.get_all(f"x-thread-{i}") == [str(k).encode() for k in range(OPS)]
    assert len(m) == THREADS * OPS + len(m.get_all("shared"))


def test_one_codec_loses_no_fed_byte():
    codec = H1Codec()
    chunk = b"abcdefgh"

    def work(i):
        for _ in range(OPS):
            codec.feed(chunk)
            codec.buffered()

    run_threads(work)
    assert codec.buffered() == THREADS * OPS * len(chunk)
    assert codec.take_body() == chunk * (THREADS * OPS)


def test_one_codec_hands_each_request_out_once():
    codec = H1Codec()
    request = b"GET /%d HTTP/1.1\r\nHost: x\r\n\r\n"
    seen = []

    def work(i):
        for k in range(OPS // 3):
            codec.feed(request % (i * OPS + k))
        for _ in range(OPS):
            try:
                head = codec.receive_request_head(b"")
            except H1ParseError:  # never: every fed request is whole
                raise
            if head is not None:
                seen.append(head.target)

    run_threads(work)
    while (head := codec.receive_request_head(b"")) is not None:
        seen.append(head.target)
    expected = sorted(f"/{i * OPS + k}" for i in range(THREADS) for k in range(OPS // 3))
    assert sorted(seen) == expected


def test_one_h2_codec_hands_each_frame_to_the_call_that_brought_it():
    codec = H2Codec("client")
    writer = H2Codec("server")

    def work(i):
        for k in range(OPS // 3):
            payload = b"%02d%06d" % (i, k)
            ping, data = writer.serialize_ping(payload), writer.serialize_data(2 * k + 1, payload)
            events = codec.receive(ping + data)
            assert [(type(e), e.data) for e in events] == [
                (H2FramePing, payload), (H2FrameData, payload)]

    run_threads(work)
    assert codec.buffered() == 0


def test_one_h2_connection_serves_streams_from_many_threads():
    """A read pump, a write pump and application threads on one server connection: every
    request gets exactly its response, whole and in order on its stream, and the connection
    ends with no stream left."""
    limits = dict(initial_window_size=65535, connection_window=1 << 20, max_frame_size=16384,
                  max_header_list_size=65536, max_send_buf_size=1 << 20)
    server = H2Streams("server", **limits)
    server.begin()
    client = H2Codec("client")
    requests = 600
    reads = [H2_PREFACE + client.serialize_settings() + client.serialize_settings_ack()]
    reads += [client.serialize_request_headers(sid, "GET", f"/{sid}", None, True,
                                               scheme="https", authority="h")
              for sid in range(1, 2 * requests, 2)]
    opened = queue.Queue()
    written = []
    finished = threading.Event()

    def body_of(sid):
        return b"%d;" % sid * (sid % 7 + 1)

    def read_pump():
        try:
            for data in reads:
                for frame in server.receive(data):
                    if isinstance(frame, H2FrameSettings):
                        server.recv_settings(frame)
                    elif isinstance(frame, H2FrameHeaders):
                        v = server.recv_headers(frame, object())
                        assert v.kind == H2_HEADERS_OPENED
                        opened.put(v.stream_id)
        finally:
            for _ in range(THREADS - 2):
                opened.put(None)

    def write_pump():
        while not finished.is_set() or server.has_pending():
            view, _ = server.take_pending()
            written.append(bytes(view))
            view.release()
            server.credit_written()
            time.sleep(0)  # a real pump waits for its wake-up; the others run meanwhile

    def application():
        while (sid := opened.get()) is not None:
            server.accepted(sid)
            server.send_response_head(sid, 200, HeaderMap([("x-sid", str(sid))]), False)
            body = body_of(sid)
            offset = 0
            while True:
                v = server.send_data(sid, body, offset, True)
                offset += v.sent
                assert v.stopped is None
                if v.done:
                    break

    applications = [THREADS - 2]
    lock = threading.Lock()

    def work(i):
        if i == 0:
            read_pump()
        elif i == 1:
            write_pump()
        else:
            try:
                application()
            finally:
                with lock:
                    applications[0] -= 1
                    if applications[0] == 0:
                        finished.set()

    run_threads(work)
    view, _ = server.take_pending()
    written.append(bytes(view))
    view.release()

    heads, bodies, ended = {}, {}, set()
    for frame in client.receive(b"".join(written)):
        if isinstance(frame, H2FrameHeaders):
            assert frame.stream_id not in heads
            heads[frame.stream_id] = frame.headers.get("x-sid")
        elif isinstance(frame, H2FrameData):
            assert frame.stream_id not in ended
            bodies[frame.stream_id] = bodies.get(frame.stream_id, b"") + frame.data
            if frame.end_stream:
                ended.add(frame.stream_id)
    sids = set(range(1, 2 * requests, 2))
    assert heads == {sid: str(sid).encode() for sid in sids}
    assert ended == sids and bodies == {sid: body_of(sid) for sid in sids}
    assert server.num_streams == 0
