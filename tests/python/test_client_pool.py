"""The client's connection pool against real servers on loopback: reuse, the idle watcher,
the limits and the pool timeout, idle expiry, HTTP/2 chosen by ALPN with its stream limit, and
closing with requests in flight."""

import asyncio
import shutil
import socket
import ssl
import threading
import time

import pytest

import client_app
import quillet
from client_peers import PeerProcess, ServerThread
from quillet.server import tls_context
from test_e2e_tls import make_cert


def run(coro):
    return asyncio.run(coro)


@pytest.fixture(scope="module")
def srv():
    server = ServerThread(client_app.app, access_log=False)
    yield server
    server.stop()


@pytest.fixture(scope="module")
def cert(tmp_path_factory):
    if shutil.which("openssl") is None:
        pytest.skip("the openssl command is not installed")
    return make_cert(str(tmp_path_factory.mktemp("client-tls")))


def trusting(cert) -> ssl.SSLContext:
    return ssl.create_default_context(cafile=cert[0])


@pytest.mark.parametrize("http2", [False, True], ids=["http/1.1", "h2c"])
def test_sequential_requests_share_one_connection(srv, http2):
    before = srv.server.connections_accepted

    async def main():
        async with quillet.AsyncClient(http2=http2) as client:
            responses = [await client.get(srv.url("/echo")) for _ in range(5)]
            responses.append(await client.post(srv.url("/echo"), content=b"body"))
            return responses, client.connections_opened

    responses, opened = run(main())
    assert [r.status_code for r in responses] == [200] * 6 and responses[-1].content == b"body"
    assert opened == 1 and srv.server.connections_accepted == before + 1
    assert not responses[0]._reused and all(r._reused for r in responses[1:])


def test_a_streamed_response_whose_body_came_whole_gives_its_connection_back_at_once(srv):
    # the body is in hand with the head, so the one connection serves the next request before
    # the first body is read; a body still to come keeps its connection until it is read
    async def main():
        limits = quillet.Limits(max_connections=1)
        async with quillet.AsyncClient(http2=False, limits=limits,
                                       timeout=quillet.Timeout(5, pool=0.5)) as client:
            async with client.stream("POST", srv.url("/echo"), content=b"first") as first:
                second = await client.get(srv.url("/text?charset=utf-8"))
                body = await first.aread()
            async with client.stream("GET", srv.url("/bytes?1000")) as chunked:
                with pytest.raises(quillet.PoolTimeout):
                    await client.get(srv.url("/echo"))
                rest = await chunked.aread()
            return body, second.text, rest, client.connections_opened

    body, text, rest, opened = run(main())
    assert body == b"first" and text == "h\u00e9llo w\u00f6rld \u20ac" and rest == b"q" * 1000
    assert opened == 1


def test_bytes_on_an_idle_connection_retire_it():
    # A raw server answers each request, and on its first connection sends an unasked response
    # afterwards: the client must not read that as the answer to its next request.
    listener = socket.create_server(("127.0.0.1", 0))
    port = listener.getsockname()[1]
    served = []
    stray_sent = threading.Event()

    def serve():
        for index in range(2):
            conn, _ = listener.accept()
            with conn:
                conn.recv(65536)
                body = b"answer %d" % index
                conn.sendall(b"HTTP/1.1 200 OK\r\ncontent-length: %d\r\n\r\n%s"
                             % (len(body), body))
                if index == 0:
                    time.sleep(0.2)
                    conn.sendall(b"HTTP/1.1 200 OK\r\ncontent-length: 5\r\n\r\nstray")
                    stray_sent.set()
                served.append(conn.recv(65536))  # the next request, or b"" when closed

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()

    async def main():
        async with quillet.AsyncClient(http2=False) as client:
            first = await client.get(f"http://127.0.0.1:{port}/")
            # the stray bytes arrive while the connection is idle
            await asyncio.get_running_loop().run_in_executor(None, stray_sent.wait, 10)
            await asyncio.sleep(0.2)
            second = await client.get(f"http://127.0.0.1:{port}/")
            return first.content, second.content, client.connections_opened

    try:
        assert run(main()) == (b"answer 0", b"answer 1", 2)
    finally:
        thread.join(5)
        listener.close()
    assert served[0] == b""  # the first connection was closed, never asked again


@pytest.mark.parametrize("http2", [False, True], ids=["http/1.1", "h2c"])
def test_a_server_that_closes_an_idle_connection_is_noticed_before_the_next_request(http2):
    # over HTTP/2 the server says GOAWAY first, then closes
    server = ServerThread(client_app.app, access_log=False, keep_alive_timeout=0.3)

    async def main():
        async with quillet.AsyncClient(http2=http2) as client:
            first = await client.get(server.url("/echo"))
            assert len(client._pool.connections) == 1
            await asyncio.sleep(1.5)  # the server closes the idle connection meanwhile
            noticed = len(client._pool.connections) == 0
            second = await client.get(server.url("/echo"))
            return first, second, noticed, client.connections_opened

    try:
        first, second, noticed, opened = run(main())
    finally:
        server.stop()
    assert first.status_code == second.status_code == 200
    assert noticed and opened == 2 and not second._reused


def test_the_per_origin_limit_bounds_concurrent_connections(srv):
    async def main():
        limits = quillet.Limits(max_connections_per_origin=2)
        async with quillet.AsyncClient(limits=limits, timeout=20) as client:
            responses = await asyncio.gather(*(client.get(srv.url("/slow?0.3"))
                                               for _ in range(6)))
            return responses, client.connections_opened

    responses, opened = run(main())
    assert [r.content for r in responses] == [b"finished"] * 6 and opened == 2


def test_the_total_limit_spans_origins_and_the_pool_timeout_names_the_url(srv):
    other = ServerThread(client_app.app, access_log=False)

    async def main():
        async with quillet.AsyncClient(limits=quillet.Limits(max_connections=1),
                                       timeout=20) as client:
            # the second origin waits for the first one's connection, then takes its place
            both = await asyncio.gather(client.get(srv.url("/slow?0.3")),
                                        client.get(other.url("/slow?0.3")))
            opened = client.connections_opened
            busy = asyncio.ensure_future(client.get(srv.url("/slow?3")))
            await asyncio.sleep(0.3)
            with pytest.raises(quillet.PoolTimeout) as info:
                await client.get(other.url("/echo"), timeout=quillet.Timeout(20, pool=0.2))
            return both, opened, await busy, info.value

    try:
        both, opened, busy, error = run(main())
    finally:
        other.stop()
    assert [r.content for r in both] == [b"finished"] * 2 and opened == 2
    assert busy.content == b"finished"
    assert isinstance(error, quillet.TimeoutException)
    assert str(error) == ("no connection came free within the pool timeout of 0.2 s "
                          f"(GET {other.url('/echo')})")


def test_idle_connections_expire(srv):
    async def main():
        limits = quillet.Limits(keepalive_expiry=0.2)
        async with quillet.AsyncClient(limits=limits, http2=None) as client:
            await client.get(srv.url("/echo"))
            kept = len(client._pool.connections)
            await asyncio.sleep(0.8)
            expired = len(client._pool.connections)
            await client.get(srv.url("/echo"))
            return kept, expired, client.connections_opened

    assert run(main()) == (1, 0, 2)


def test_many_concurrent_requests_over_a_small_pool(srv):
    async def main():
        limits = quillet.Limits(max_connections=10, max_keepalive_connections=10)
        async with quillet.AsyncClient(limits=limits, timeout=30) as client:
            responses = await asyncio.gather(
                *(client.post(srv.url("/echo"), content=b"%d" % i) for i in range(300)))
            return responses, client.connections_opened

    responses, opened = run(main())
    assert [r.content for r in responses] == [b"%d" % i for i in range(300)]
    assert opened <= 10


def test_http2_by_alpn_carries_concurrent_requests_on_one_connection(cert):
    server = ServerThread(client_app.app, access_log=False, ssl=tls_context(*cert))

    async def main():
        async with quillet.AsyncClient(verify=trusting(cert), timeout=20) as client:
            responses = await asyncio.gather(
                *(client.get(f"https://localhost:{server.port}/slow?0.3") for _ in range(10)))
            return responses, client.connections_opened
        
    try:
        responses, opened = run(main())
    finally:
        server.stop()
    assert {r.http_version for r in responses} == {"HTTP/2"} and opened == 1
    assert [r.content for r in responses] == [b"finished"] * 10


@pytest.mark.parametrize("kind, version", [("hypercorn", "HTTP/2"), ("uvicorn", "HTTP/1.1")])
def test_alpn_against_other_servers(cert, kind, version):
    process = PeerProcess(kind, cert)

    async def main():
        async with quillet.AsyncClient(verify=trusting(cert), timeout=20) as client:
            responses = await asyncio.gather(
                *(client.post(process.url("/echo"), content=b"x" * 200_000) for _ in range(4)))
            return responses, client.connections_opened

    try:
        responses, opened = run(main())
    finally:
        process.stop()
    assert {r.http_version for r in responses} == {version}
    assert [len(r.content) for r in responses] == [200_000] * 4
    assert opened == (1 if version == "HTTP/2" else 4)


@pytest.mark.parametrize("tls", [True, False], ids=["alpn", "prior-knowledge"])
def test_a_second_http2_connection_beyond_the_stream_limit(cert, tls):
    server = ServerThread(client_app.app, access_log=False, h2_max_concurrent_streams=2,
                          ssl=tls_context(*cert) if tls else None)
    url = f"{'https' if tls else 'http'}://localhost:{server.port}/slow?0.5"

    async def main():
        async with quillet.AsyncClient(verify=trusting(cert), http2=True, timeout=20) as client:
            responses = await asyncio.gather(*(client.get(url) for _ in range(4)))
            return responses, client.connections_opened

    try:
        responses, opened = run(main())
    finally:
        server.stop()
    assert {r.http_version for r in responses} == {"HTTP/2"}
    assert [r.content for r in responses] == [b"finished"] * 4
    assert opened == 2


@pytest.mark.parametrize("http2", [False, True], ids=["http/1.1", "h2c"])
def test_aclose_fails_requests_in_flight_and_waiting_with_a_clear_error(srv, http2):
    async def main():
        limits = quillet.Limits(max_connections=1)
        client = quillet.AsyncClient(http2=http2, limits=limits, timeout=20)
        in_flight = asyncio.ensure_future(client.get(srv.url("/slow?5")))
        streamed = None
        if not http2:  # the one connection is busy: the next request waits for it
            waiting = asyncio.ensure_future(client.get(srv.url("/echo")))
        else:
            waiting = asyncio.ensure_future(client.get(srv.url("/slow?5")))
            response = await client.send(client.build_request("GET", srv.url("/bytes?10000000")),
                                         stream=True)
            streamed = response
        await asyncio.sleep(0.5)
        await client.aclose()
        results = await asyncio.gather(in_flight, waiting, return_exceptions=True)
        if streamed is not None:
            with pytest.raises(quillet.ClientClosedError):
                async for _ in streamed.aiter_bytes():
                    pass
        with pytest.raises(quillet.ClientClosedError, match="the client has been closed"):
            await client.get(srv.url("/echo"))
        return results, len(client._pool.connections)

    results, left = run(main())
    assert left == 0
    for result in results:
        assert isinstance(result, quillet.ClientClosedError), repr(result)
        assert "the client was closed" in str(result) and srv.url("/") in str(result)
