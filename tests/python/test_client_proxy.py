"""The client through real proxies on loopback: tinyproxy as a forward proxy for http:// and a
CONNECT tunnel for https:// (with and without Basic credentials), microsocks as a SOCKS5 proxy
(with and without a user name and password), a small SOCKS5 recorder that shows where host
names are resolved, and proxies chosen from the environment with NO_PROXY."""

import asyncio
import os
import socket
import subprocess

import pytest

import client_app
import quillet
from client_peers import ServerThread, free_port, wait_for_port
from quillet.server import tls_context
from test_e2e_tls import make_cert
from test_e2e_tls_options import need

PROXY_ENV = ["HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "NO_PROXY", "http_proxy",
             "https_proxy", "all_proxy", "no_proxy", "REQUEST_METHOD"]
USER, PASSWORD = "quill", "p@ss%w:rd"
CREDENTIALS = "quill:p%40ss%25w%3Ard"  # the same, as a URL's user information
# tinyproxy's configuration takes fewer characters; escaped needlessly, they decode all the same
TINY_PASSWORD, TINY_CREDENTIALS = "pass-w.rd", "quill:pass%2Dw%2Erd"


def run(coro):
    return asyncio.run(coro)


class Tinyproxy:
    """tinyproxy with a generated configuration (it cannot pick a free port itself)."""

    def __init__(self, directory, auth=None):
        need("tinyproxy")
        self.port = free_port()
        self.log = os.path.join(directory, f"tinyproxy-{self.port}.log")
        conf = os.path.join(directory, f"tinyproxy-{self.port}.conf")
        lines = [f"Port {self.port}", "Listen 127.0.0.1", "Timeout 30", "MaxClients 200",
                 "LogLevel Connect", f'LogFile "{self.log}"', "Allow 127.0.0.1",
                 "ViaProxyName \"tinyproxy-under-test\""]
        if auth:
            lines.append(f"BasicAuth {auth[0]} {auth[1]}")
        with open(conf, "w") as f:
            f.write("\n".join(lines) + "\n")
        self.proc = subprocess.Popen(["tinyproxy", "-d", "-c", conf],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for_port(self.proc, self.port, "tinyproxy")

    def url(self, credentials=""):
        return f"http://{credentials + '@' if credentials else ''}127.0.0.1:{self.port}"

    def connects(self):
        with open(self.log) as f:
            return sum("Established connection" in line for line in f)

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)


class Microsocks:
    def __init__(self, auth=None):
        need("microsocks")
        self.port = free_port()
        args = ["microsocks", "-i", "127.0.0.1", "-p", str(self.port)]
        if auth:
            args += ["-u", auth[0], "-P", auth[1]]
        self.proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for_port(self.proc, self.port, "microsocks")

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)


@pytest.fixture(autouse=True)
def no_env_proxies(monkeypatch):
    for name in PROXY_ENV:
        monkeypatch.delenv(name, raising=False)
    return monkeypatch


@pytest.fixture(scope="module")
def cert(tmp_path_factory):
    need("openssl")
    return make_cert(str(tmp_path_factory.mktemp("proxy-tls")))


@pytest.fixture(scope="module")
def origins(cert):
    """An http:// and an https:// origin (HTTP/2 offered by ALPN)."""
    plain = ServerThread(client_app.app, access_log=False)
    tls = ServerThread(client_app.app, access_log=False, ssl=tls_context(*cert))
    yield plain, tls
    plain.stop()
    tls.stop()


@pytest.fixture(scope="module")
def tinyproxy(tmp_path_factory):
    proxy = Tinyproxy(str(tmp_path_factory.mktemp("tinyproxy")))
    yield proxy
    proxy.stop()


@pytest.fixture(scope="module")
def tinyproxy_auth(tmp_path_factory):
    proxy = Tinyproxy(str(tmp_path_factory.mktemp("tinyproxy-auth")), (USER, TINY_PASSWORD))
    yield proxy
    proxy.stop()


async def fetch(client, url, count=2):
    """`count` requests to `url` one after another: the responses, and what the application
    saw of the last."""
    responses = [await client.get(url) for _ in range(count)]
    return responses, responses[-1].json()


def headers_of(report):
    return {name: value for name, value in report["headers"]}


@pytest.mark.parametrize("auth", [False, True], ids=["open", "basic-auth"])
def test_tinyproxy_forwards_http_and_tunnels_https(origins, cert, tinyproxy, tinyproxy_auth,
                                                   auth):
    plain, tls = origins
    proxy = tinyproxy_auth if auth else tinyproxy
    before = proxy.connects()

    async def main():
        async with quillet.AsyncClient(proxy=proxy.url(TINY_CREDENTIALS if auth else ""),
                                       verify=cert[0], timeout=20, http2=True) as client:
            forwarded = await fetch(client, plain.url("/inspect?x=1"))
            opened = client.connections_opened
            tunnelled = await fetch(client, f"https://localhost:{tls.port}/inspect")
            return forwarded, opened, tunnelled, client.connections_opened

    (responses, seen), opened, (tunnelled, tunnel_seen), total = run(main())
    # forward: the proxy got the absolute form and passed the request on, with its Via
    assert [r.status_code for r in responses] == [200, 200]
    # no prior knowledge through a forward proxy, even with http2=True: it speaks HTTP/1.1
    assert [r.http_version for r in responses] == ["HTTP/1.1", "HTTP/1.1"]
    fields = headers_of(seen)
    assert "tinyproxy-under-test" in fields["via"] and seen["query"] == "x=1"
    assert "proxy-authorization" not in fields  # the proxy takes its credentials off
    # tunnel: TLS with the origin through CONNECT, HTTP/2 chosen by ALPN inside it
    assert [r.http_version for r in tunnelled] == ["HTTP/2", "HTTP/2"]
    assert "via" not in headers_of(tunnel_seen)
    assert total - opened == 1  # (tinyproxy closes after each forwarded exchange; not a tunnel)
    assert proxy.connects() - before >= 2  # tinyproxy logged the forward and the tunnel


def test_tinyproxy_refusals_are_a_response_and_a_proxy_error(origins, cert, tinyproxy_auth):
    plain, tls = origins

    async def main():
        results = []
        for credentials in ("", "quill:wrong"):
            async with quillet.AsyncClient(proxy=tinyproxy_auth.url(credentials),
                                           verify=cert[0], timeout=20) as client:
                forwarded = await client.get(plain.url("/inspect"))
                with pytest.raises(quillet.ProxyError) as refused:
                    await client.get(f"https://localhost:{tls.port}/inspect")
                results.append((forwarded.status_code, refused.value))
        return results

    for status, error in run(main()):
        # a forward proxy's refusal is the response; a tunnel's, a ProxyError with the status
        # (tinyproxy says 401 where 407 is usual)
        assert status in (401, 407) and error.status == status
        assert isinstance(error, quillet.TransportError)
        assert f"refused the tunnel to localhost:{tls.port}: {status} " in str(error)
        assert str(error).endswith(f"(GET https://localhost:{tls.port}/inspect)")


@pytest.mark.parametrize("auth", [False, True], ids=["no-auth", "user-password"])
def test_microsocks_carries_http_h2c_and_tls(origins, cert, auth):
    plain, tls = origins
    proxy = Microsocks((USER, PASSWORD) if auth else None)
    creds = CREDENTIALS + "@" if auth else ""

    async def main():
        async with quillet.AsyncClient(proxy=f"socks5://{creds}127.0.0.1:{proxy.port}",
                                       verify=cert[0], timeout=20) as client:
            first = await fetch(client, plain.url("/inspect"))
            secure = await fetch(client, f"https://localhost:{tls.port}/inspect")
            opened = client.connections_opened
        async with quillet.AsyncClient(proxy=f"socks5h://{creds}127.0.0.1:{proxy.port}",
                                       http2=True, timeout=20) as client:
            h2c = await asyncio.gather(*(client.get(plain.url("/slow?0.2")) for _ in range(5)))
            h2c_opened = client.connections_opened
        return first, secure, opened, h2c, h2c_opened

    try:
        (plain_responses, _), (secure, _), opened, h2c, h2c_opened = run(main())
    finally:
        proxy.stop()
    assert [r.status_code for r in plain_responses] == [200, 200]
    assert [r.http_version for r in secure] == ["HTTP/2", "HTTP/2"]
    assert opened == 2  # one tunnel per origin, each reused
    assert [r.content for r in h2c] == [b"finished"] * 5 and h2c_opened == 1
    assert {r.http_version for r in h2c} == {"HTTP/2"}


def test_microsocks_refuses_missing_or_wrong_credentials(origins):
    proxy = Microsocks((USER, PASSWORD))

    async def attempt(user_info):
        async with quillet.AsyncClient(proxy=f"socks5://{user_info}127.0.0.1:{proxy.port}",
                                       timeout=10) as client:
            with pytest.raises(quillet.ProxyError) as refused:
                await client.get(origins[0].url("/inspect"))
            return refused.value

    try:
        missing = run(attempt(""))
        wrong = run(attempt("quill:nope@"))
    finally:
        proxy.stop()
    assert "accepts none of the offered authentication methods" in str(missing)
    assert "refused the user name and password" in str(wrong) and wrong.status not in (0, None)


class SocksRecorder:
    """A SOCKS5 proxy that records the address type and address of each request, and resolves
    the names it gets through `names` alone (so a name only it knows reaches the origin)."""

    def __init__(self, names):
        self.names = names
        self.seen = []

    async def start(self):
        self.server = await asyncio.start_server(self.serve, "127.0.0.1", 0)
        self.port = self.server.sockets[0].getsockname()[1]

    async def serve(self, reader, writer):
        try:
            _, count = await reader.readexactly(2)
            await reader.readexactly(count)
            writer.write(b"\x05\x00")
            _, _, _, kind = await reader.readexactly(4)
            if kind == 1:
                host = socket.inet_ntop(socket.AF_INET, await reader.readexactly(4))
            elif kind == 4:
                host = socket.inet_ntop(socket.AF_INET6, await reader.readexactly(16))
            else:
                host = (await reader.readexactly((await reader.readexactly(1))[0])).decode()
            port = int.from_bytes(await reader.readexactly(2), "big")
            self.seen.append((kind, host))
            up_reader, up_writer = await asyncio.open_connection(self.names.get(host, host),
                                                                 port)
            writer.write(b"\x05\x00\x00\x01\x7f\x00\x00\x01" + port.to_bytes(2, "big"))
        except (OSError, asyncio.IncompleteReadError):
            writer.close()
            return

        async def pipe(src, dst):
            try:
                while data := await src.read(65536):
                    dst.write(data)
                    await dst.drain()
            except OSError:
                pass
            finally:
                dst.close()

        await asyncio.gather(pipe(reader, up_writer), pipe(up_reader, writer))


def test_socks5h_resolves_at_the_proxy_and_socks5_here(origins):
    port = origins[0].port

    async def main():
        recorder = SocksRecorder({"origin.quillet-proxy.test": "127.0.0.1"})
        await recorder.start()
        statuses = []
        for scheme, host in (("socks5h", "origin.quillet-proxy.test"), ("socks5h", "localhost"),
                             ("socks5", "localhost"), ("socks5", "127.0.0.1")):
            async with quillet.AsyncClient(proxy=f"{scheme}://127.0.0.1:{recorder.port}",
                                           timeout=10) as client:
                statuses.append((await client.get(f"http://{host}:{port}/inspect")).status_code)
        recorder.server.close()
        return statuses, recorder.seen

    statuses, seen = run(main())
    assert statuses == [200] * 4
    # socks5h: the name as it is (address type 3), even one that only the proxy can resolve
    assert seen[:2] == [(3, "origin.quillet-proxy.test"), (3, "localhost")]
    # socks5: an address resolved here (type 1 or 4), never a name
    assert seen[2] in ((1, "127.0.0.1"), (4, "::1")) and seen[3] == (1, "127.0.0.1")


def test_environment_proxies_and_no_proxy(origins, cert, tinyproxy, no_env_proxies):
    plain, tls = origins
    proxy = Microsocks()
    env = no_env_proxies
    env.setenv("http_proxy", tinyproxy.url())
    env.setenv("ALL_PROXY", f"socks5://127.0.0.1:{proxy.port}")
    env.setenv("NO_PROXY", "localhost")

    async def main():
        async with quillet.AsyncClient(verify=cert[0], timeout=20) as client:
            via_proxy = (await client.get(plain.url("/inspect"))).json()
            direct = (await client.get(f"http://localhost:{plain.port}/inspect")).json()
            before = tinyproxy.connects()
            # https takes ALL_PROXY (SOCKS5) unless NO_PROXY says otherwise
            secure = await client.get(f"https://127.0.0.1:{tls.port}/inspect")
            secure_direct = await client.get(f"https://localhost:{tls.port}/inspect")
            through = {key[:4] for key in client._pool.origins}
            assert tinyproxy.connects() == before
        async with quillet.AsyncClient(trust_env=False, timeout=20) as client:
            ignored = (await client.get(plain.url("/inspect"))).json()
        return via_proxy, direct, secure, secure_direct, through, ignored

    try:
        via_proxy, direct, secure, secure_direct, through, ignored = run(main())
    finally:
        proxy.stop()
    assert "via" in headers_of(via_proxy) and "via" not in headers_of(direct)
    assert "via" not in headers_of(ignored)
    assert secure.status_code == secure_direct.status_code == 200
    # the pool keys connections by origin and proxy
    socks = f"socks5://127.0.0.1:{proxy.port}/"
    assert ("https", "127.0.0.1", tls.port, socks) in through
    assert ("https", "localhost", tls.port) in through


def test_unusable_proxies_are_refused_when_the_client_is_made(tinyproxy):
    with pytest.raises(quillet.UnsupportedProtocol, match="socks4"):
        quillet.AsyncClient(proxy="socks4://127.0.0.1:1080")
    with pytest.raises(ValueError, match="not a usable proxy URL"):
        quillet.AsyncClient(proxy="http://bad host:1")
    with pytest.raises(ValueError, match="unknown proxy keys"):
        quillet.AsyncClient(proxy={"ftp": "http://p:1"})
    # a mapping: per scheme, with its own no-proxy list
    client = quillet.AsyncClient(proxy={"http": tinyproxy.url(), "no": "example.org"})
    route = client._pool.proxies.route
    assert route(quillet.URL("http://example.com/")).kind == "forward"
    assert route(quillet.URL("http://example.org/")) is None
    assert route(quillet.URL("https://example.com/")) is None


def test_websockets_go_through_a_tunnel_or_socks5(tinyproxy, no_env_proxies):
    import ws_app
    server = ServerThread(ws_app.app, access_log=False)

    async def echo(ws_url, **options):
        async with quillet.AsyncClient(timeout=20, **options) as client:
            async with client.websocket(ws_url) as ws:
                await ws.send("through")
                return await ws.recv()

    async def main():
        recorder = SocksRecorder({"ws.quillet-proxy.test": "127.0.0.1"})
        await recorder.start()
        before = tinyproxy.connects()
        # ws:// through an HTTP proxy: a CONNECT tunnel, as for https://
        tunnelled = await echo(f"ws://127.0.0.1:{server.port}/echo", proxy=tinyproxy.url())
        connects = tinyproxy.connects() - before
        # a name only the SOCKS5 proxy can resolve; connect_ws takes the environment's
        no_env_proxies.setenv("ALL_PROXY", f"socks5h://127.0.0.1:{recorder.port}")
        async with quillet.connect_ws(f"ws://ws.quillet-proxy.test:{server.port}/echo") as ws:
            await ws.send("by name")
            named = await ws.recv()
        recorder.server.close()
        return tunnelled, connects, named, recorder.seen

    try:
        assert run(main()) == ("through", 1, "by name", [(3, "ws.quillet-proxy.test")])
    finally:
        server.stop()
