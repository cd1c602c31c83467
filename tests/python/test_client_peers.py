"""The client against servers it shares no code with, as black boxes on loopback: nghttpd (the
HTTP/2 server of nghttp2) with prior knowledge and over TLS with ALPN, and granian serving
client_app over HTTP/1.1, h2c and TLS."""

import asyncio
import subprocess
import sys

import pytest

import quillet
from client_peers import free_port, need_module, wait_for_port
from test_e2e_server import CURL_ENV, HERE
from test_e2e_tls import make_cert
from test_e2e_tls_options import need

BIG = bytes(range(256)) * 4096 * 3  # 3 MiB: many DATA frames and window updates


def run(coro):
    return asyncio.run(coro)


class Peer:
    def __init__(self, args, name, port, scheme, cwd=None):
        self.port, self.scheme = port, scheme
        self.proc = subprocess.Popen(args, cwd=cwd, env=CURL_ENV, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE)
        wait_for_port(self.proc, port, name)

    def url(self, path):
        return f"{self.scheme}://localhost:{self.port}{path}"

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(5)
        self.proc.stderr.close()


@pytest.fixture(scope="module")
def cert(tmp_path_factory):
    need("openssl")
    return make_cert(str(tmp_path_factory.mktemp("peers-tls")))


@pytest.fixture(scope="module", params=["h2c", "tls"])
def nghttpd(request, tmp_path_factory, cert):
    need("nghttpd")
    docroot = tmp_path_factory.mktemp("docroot")
    (docroot / "small.txt").write_bytes(b"hello from the docroot\n")
    (docroot / "big.bin").write_bytes(BIG)
    port = free_port()
    tls = [cert[1], cert[0]] if request.param == "tls" else ["--no-tls"]
    peer = Peer(["nghttpd", "-a", "127.0.0.1", "-d", str(docroot), str(port), *tls],
                "nghttpd", port, "https" if request.param == "tls" else "http")
    yield peer
    peer.stop()


def test_nghttpd_files_over_one_http2_connection(nghttpd, cert):
    async def main():
        async with quillet.AsyncClient(http2=True, verify=cert[0], timeout=20) as client:
            small = await client.get(nghttpd.url("/small.txt"))
            many = await asyncio.gather(*(client.get(nghttpd.url("/big.bin" if i % 10 == 0
                                                                 else "/small.txt"))
                                          for i in range(60)))
            async with client.stream("GET", nghttpd.url("/big.bin")) as response:
                streamed = [chunk async for chunk in response.aiter_bytes()]
            head = await client.head(nghttpd.url("/big.bin"))
            missing = await client.get(nghttpd.url("/nothing-here"))
            return small, many, streamed, head, missing, client.connections_opened

    small, many, streamed, head, missing, opened = run(main())
    assert small.http_version == "HTTP/2" and small.content == b"hello from the docroot\n"
    assert [r.content for r in many] == [BIG if i % 10 == 0 else small.content
                                         for i in range(60)]
    assert b"".join(streamed) == BIG and len(streamed) > 1
    assert head.content == b"" and int(head.headers["content-length"]) == len(BIG)
    assert missing.status_code == 404
    assert opened == 1


@pytest.fixture(scope="module", params=["http/1.1", "h2c", "tls"])
def granian(request, cert):
    need_module("granian")
    port = free_port()
    args = [sys.executable, "-m", "granian", "--interface", "asgi",
            "--host", "127.0.0.1", "--port", str(port), "--no-ws", "--log-level", "warning"]
    if request.param == "http/1.1":
        args += ["--http", "1"]
    elif request.param == "tls":
        args += ["--ssl-certificate", cert[0], "--ssl-keyfile", cert[1]]
    peer = Peer([*args, "client_app:app"], "granian", port,
                "https" if request.param == "tls" else "http", cwd=HERE)
    peer.mode = request.param
    yield peer
    peer.stop()


def test_granian_as_a_black_box(granian, cert):
    async def main():
        async with quillet.AsyncClient(http2=granian.mode != "http/1.1", verify=cert[0],
                                       timeout=20, follow_redirects=True) as client:
            report = (await client.post(granian.url("/inspect?a=1"), json={"k": "v"})).json()
            echoes = await asyncio.gather(*(client.post(granian.url("/echo"),
                                                        content=BIG[:100_000 * (i + 1)])
                                            for i in range(8)))
            async with client.stream("GET", granian.url("/bytes?5000000")) as response:
                total = 0
                async for chunk in response.aiter_bytes():
                    total += len(chunk)
            redirected = await client.get(granian.url("/redirect/302?to=/status/201"))
            return report, echoes, total, redirected, response.http_version

    report, echoes, total, redirected, version = run(main())
    assert version == ("HTTP/1.1" if granian.mode == "http/1.1" else "HTTP/2")
    assert report["method"] == "POST" and report["query"] == "a=1"
    assert report["body"] == '{"k":"v"}' or report["body"].replace(" ", "") == '{"k":"v"}'
    assert [len(r.content) for r in echoes] == [100_000 * (i + 1) for i in range(8)]
    assert all(r.content == BIG[:len(r.content)] for r in echoes)
    assert total == 5_000_000
    assert redirected.status_code == 201 and [r.status_code for r in redirected.history] == [302]
