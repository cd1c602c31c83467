"""The HTTP/2 server against peers that send what the protocol forbids, on real loopback
sockets: malformed requests are reset one stream at a time, over-size header lists are answered
431 whatever the peer acknowledged, and neither reaches the application; a response to HEAD
carries no content (curl -I, nghttp); the client refuses an over-size response head."""

import asyncio
import os
import shutil
import socket
import struct
import subprocess
import sys

import hpack
import pytest

from _quillet import H2_PREFACE, ConnectionClosedError, H2Codec
from memory import assert_grew_less, status_kib
from quillet.client import Client
from test_e2e_server import CURL_ENV, ServerThread, needs_curl

PADDING = "p" * (70 * 1024)  # past the server's header-list budget of 64 KiB


async def recording_app(scope, receive, send):
    if scope["type"] != "http":
        return
    recording_app.seen.append((scope["method"], scope["path"], dict(scope["headers"])))
    while (await receive()).get("more_body"):
        pass  # the whole request first, so that a stream error in its trailers wins any race
    if scope["path"] == "/big-head":
        headers = [(b"x-big", PADDING.encode())]
    else:
        headers = [(b"content-type", b"text/plain"), (b"content-length", b"5")]
    await send({"type": "http.response.start", "status": 200, "headers": headers})
    await send({"type": "http.response.body", "body": b"hello"})

recording_app.seen = []


@pytest.fixture(scope="module")
def srv():
    server = ServerThread(recording_app)
    yield server
    server.stop()


def frame(kind, flags, sid, payload):
    return struct.pack(">I", len(payload))[1:] + bytes([kind, flags]) + struct.pack(">I", sid) + payload


def headers_frames(sid, block, end_stream=True, size=16384):
    """A header block as HEADERS and CONTINUATION frames."""
    pieces = [block[i:i + size] for i in range(0, len(block), size)] or [b""]
    out = []
    for i, piece in enumerate(pieces):
        flags = (0x4 if i == len(pieces) - 1 else 0) | (0x1 if i == 0 and end_stream else 0)
        out.append(frame(1 if i == 0 else 9, flags, sid, piece))
    return b"".join(out)


class Peer:
    """A raw client: our own frames, a black-box HPACK encoder, and the server's frames read
    back with a client codec. It never acknowledges the server's SETTINGS."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.encoder = hpack.Encoder()
        self.reader = H2Codec("client")
        self.resets, self.statuses, self.goaway = {}, {}, None
        self.sock.sendall(H2_PREFACE + H2Codec("client").serialize_settings())

    def send(self, sid, fields, end_stream=True):
        block = self.encoder.encode(fields, huffman=False)
        self.sock.sendall(headers_frames(sid, block, end_stream))

    def wait_for(self, sids):
        while not set(sids) <= set(self.resets) | set(self.statuses):
            data = self.sock.recv(65536)
            assert data, "the server closed the connection"
            for f in self.reader.receive(data):
                kind = type(f).__name__
                if kind == "H2FrameRstStream":
                    self.resets[f.stream_id] = f.error_code
                elif kind == "H2FrameHeaders":
                    self.statuses[f.stream_id] = (f.status, f.end_stream)
                elif kind == "H2FrameGoAway":
                    self.goaway = f.error_code
            assert self.goaway is None

    def close(self):
        self.sock.close()


def request(path="/", method="GET", extra=(), scheme="http"):
    return [(":method", method), (":scheme", scheme), (":authority", "a.example"),
            (":path", path), *extra]


MALFORMED = {
    "no method": [(":scheme", "http"), (":authority", "a"), (":path", "/")],
    "no scheme": [(":method", "GET"), (":authority", "a"), (":path", "/")],
    "no path": [(":method", "GET"), (":scheme", "http"), (":authority", "a")],
    "empty path": request(""),
    "relative path": request("a/b"),
    "asterisk for GET": request("*"),
    "space in path": request("/a b"),
    "fragment": request("/a#b"),
    "status in a request": request() + [(":status", "200")],
    "unknown pseudo-header": request() + [(":foo", "x")],
    "connect with path": [(":method", "CONNECT"), (":authority", "a:443"), (":path", "/")],
    "protocol without connect": request(extra=[(":protocol", "websocket")]),
    "host differs": request(extra=[("host", "b.example")]),
    "two lengths": request(extra=[("content-length", "0"), ("content-length", "1")]),
    "leading space": request(extra=[("x-a", " v")]),
    "upper-case name": request(extra=[("X-Upper", "v")]),
}


def test_malformed_requests_are_reset_alone_and_never_reach_the_application(srv):
    recording_app.seen.clear()
    peer = Peer(srv.port)
    try:
        sids = list(range(1, 2 * len(MALFORMED), 2))
        for sid, fields in zip(sids, MALFORMED.values()):
            peer.send(sid, fields)
        # trailers that carry a pseudo-header field
        trailed = sids[-1] + 2
        peer.send(trailed, request("/upload", "POST"), end_stream=False)
        peer.send(trailed, [(":path", "/x"), ("x-sum", "1")])
        good = trailed + 2
        peer.send(good, request("/after"))
        peer.wait_for(sids + [trailed, good])
        assert {sid: peer.resets.get(sid) for sid in sids} == {sid: 1 for sid in sids}
        assert peer.resets[trailed] == 1
        assert peer.statuses[good] == (200, False)
        assert [path for _, path, _ in recording_app.seen if path != "/upload"] == ["/after"]
    finally:
        peer.close()


def test_an_over_size_request_is_answered_431_before_any_settings_ack(srv):
    recording_app.seen.clear()
    peer = Peer(srv.port)  # never acknowledges our SETTINGS
    try:
        peer.send(1, request("/big", extra=[("x-padding", PADDING),
                                            ("x-forwarded-for", "10.9.9.9")]))
        peer.send(3, request("/after"))
        peer.wait_for([1, 3])
        assert peer.statuses[1] == (431, True)
        assert peer.statuses[3] == (200, False)
        assert [path for _, path, _ in recording_app.seen] == ["/after"]
    finally:
        peer.close()


def test_the_client_refuses_an_over_size_response_head(srv):
    async def main():
        async with Client("127.0.0.1", srv.port, http2=True) as client:
            with pytest.raises(ConnectionClosedError, match=r"^the stream was stopped: the "
                               r"response head is larger than the header-list limit of 65536 "
                               r"bytes$"):
                await client.request("GET", "/big-head")
            return (await client.request("GET", "/")).status
    assert asyncio.run(main()) == 200


@pytest.fixture(scope="module")
def served():
    """`python -m quillet serve` with its demo application, in a process of its own."""
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    sock.close()
    proc = subprocess.Popen([sys.executable, "-m", "quillet", "serve", "--port", str(port),
                             "--no-access-log"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        assert f"http://127.0.0.1:{port}/" in proc.stdout.readline().decode()
        yield f"http://127.0.0.1:{port}"
    finally:
        proc.terminate()
        proc.wait(10)


@needs_curl
def test_curl_head_gets_the_length_and_no_content(served):
    # /download sends its megabyte in sixteen body messages; none of them goes out.
    result = subprocess.run(["curl", "--http2-prior-knowledge", "-sS", "-I", served + "/download"],
                            capture_output=True, timeout=20, env=CURL_ENV)
    assert result.returncode == 0, result.stderr.decode()
    head = result.stdout.decode().lower()
    assert head.startswith("http/2 200") and "content-length: 1048576" in head


@pytest.mark.skipif(shutil.which("nghttp") is None, reason="nghttp is not installed")
def test_nghttp_head_ends_with_the_headers_frame(served):
    result = subprocess.run(["nghttp", "-nv", "-H", ":method: HEAD", served + "/download"],
                            capture_output=True, timeout=20, env=CURL_ENV)
    assert result.returncode == 0, result.stderr.decode()
    log = result.stdout.decode()
    assert "recv DATA" not in log and "RST_STREAM" not in log
    assert "content-length: 1048576" in log
    (line,) = [line for line in log.splitlines() if "recv HEADERS frame" in line]
    assert int(line.split("flags=")[1].split(",")[0], 16) & 0x1  # END_STREAM


def test_header_blocks_that_expand_stay_within_the_budget_without_a_settings_ack(srv):
    """Each block inserts one 4 KiB field and then names it again 4000 times, one octet each:
    16 MiB of header list from 8 KiB on the wire. The budget holds before any SETTINGS ACK, so
    decoding stops at four times it and the connection is refused, rather than each request
    growing the server by the 16 MiB a peer may send before it learns our limits."""
    before = status_kib(os.getpid(), "VmHWM")
    codes = []
    for _ in range(25):
        peer = Peer(srv.port)  # never acknowledges
        try:
            block = peer.encoder.encode(request())
            block += b"\x40\x05x-big\x7f\xa1\x1e" + b"a" * 4000  # a literal, indexed as 62
            block += b"\xbe" * 4000
            peer.sock.sendall(headers_frames(1, block))
            with pytest.raises(AssertionError):
                peer.wait_for([1])
            codes.append(peer.goaway)
        finally:
            peer.close()
    assert codes == [11] * 25  # ENHANCE_YOUR_CALM at the abuse limit
    assert_grew_less(status_kib(os.getpid(), "VmHWM") - before, 64 * 1024, "the peak")
