"""Several threads on one object at once: no crash, nothing lost, nothing handed out twice."""

import sys
import threading

import pytest

from _quillet import H1Codec, H1ParseError, HeaderMap

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
