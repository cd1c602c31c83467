"""The client at scale, against our server in a process of its own and with the client in
another (scale_client.py), so that each measures only itself: a 1 GiB response streamed in
bounded memory, and 1,000 concurrent requests over one pool (HTTP/1.1 under a connection
limit, and HTTP/2).

QUILLET_STREAM_TEST_BYTES sets the streamed size (1 GiB by default, 256 MiB under the
sanitizers; a loaded machine may want less to stay within its time)."""

import json
import os
import subprocess
import sys

import pytest

from test_e2e_server import HERE
from test_e2e_tls_options import Process

SANITIZED = bool(os.environ.get("QUILLET_SANITIZED"))
# Under the sanitizers every allocation costs more: a quarter of the size says as much.
STREAM_BYTES = int(os.environ.get("QUILLET_STREAM_TEST_BYTES",
                                  str(1 << 28 if SANITIZED else 1 << 30)))


@pytest.fixture(scope="module")
def server():
    process = Process("--timeout-keep-alive", "30", app="client_app:app")
    yield process
    process.stop()


def client(*args):
    result = subprocess.run([sys.executable, os.path.join(HERE, "scale_client.py"), *args],
                            capture_output=True, timeout=120)
    assert result.returncode == 0, result.stderr.decode()
    return json.loads(result.stdout)


@pytest.mark.parametrize("http2", [False, True], ids=["http/1.1", "h2c"])
def test_a_huge_response_streams_in_bounded_memory(server, http2):
    got = client("stream", f"http://127.0.0.1:{server.port}/bytes?{STREAM_BYTES}",
                 "1" if http2 else "0")
    assert got["total"] == STREAM_BYTES
    assert got["version"] == ("HTTP/2" if http2 else "HTTP/1.1")
    assert got["traced_peak"] < 8 << 20, f"the client held {got['traced_peak']} bytes at most"
    # the whole process, interpreter and module included, stays far below the body's size
    # (not under the sanitizers, whose quarantine keeps freed memory resident)
    if not SANITIZED:
        assert got["max_rss"] < 64 << 20, f"the client process reached {got['max_rss']} bytes"


@pytest.mark.parametrize("http2", [False, True], ids=["http/1.1", "h2c"])
def test_a_thousand_concurrent_requests_over_one_pool(server, http2):
    got = client("concurrent", f"http://127.0.0.1:{server.port}", "1" if http2 else "0")
    assert got["right"] == [True] * 1000
    assert got["versions"] == ["HTTP/2" if http2 else "HTTP/1.1"]
    # never more than the limit; over HTTP/2 each connection carries up to the server's 100
    # streams at once before another is opened
    assert got["opened"] <= (20 if not http2 else 10), got["opened"]
