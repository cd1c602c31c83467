"""The client's timeouts and transport errors against peers that misbehave on purpose (raw
sockets on loopback): one that never completes a handshake or never accepts, one that never
answers, one that never reads; and the retry of an idempotent request that a reused
connection lost before any byte of its response."""

import asyncio
import socket
import threading
import time

import pytest

import client_app
import quillet
from client_peers import ServerThread


def run(coro):
    return asyncio.run(coro)


class RawServer:
    """A loopback listener whose connections are served by `handler(sock, index)`, each in a
    thread of its own; `heads` records the request heads read by `read_head`."""

    def __init__(self, handler, backlog: int = 16) -> None:
        self.handler = handler
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(backlog)
        self.port = self.listener.getsockname()[1]
        self.heads: list[bytes] = []
        self.stopping = threading.Event()
        self.conns: list[socket.socket] = []
        threading.Thread(target=self._accept, daemon=True).start()

    def url(self, path="/", scheme="http"):
        return f"{scheme}://127.0.0.1:{self.port}{path}"

    def _accept(self):
        index = 0
        while not self.stopping.is_set():
            try:
                sock, _ = self.listener.accept()
            except OSError:
                return
            self.conns.append(sock)
            threading.Thread(target=self._serve, args=(sock, index), daemon=True).start()
            index += 1

    def _serve(self, sock, index):
        try:
            self.handler(self, sock, index)
        except OSError:
            pass

    def read_head(self, sock) -> bytes | None:
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = sock.recv(65536)
            if not chunk:
                return None
            data += chunk
        head, _, rest = data.partition(b"\r\n\r\n")
        for line in head.split(b"\r\n"):
            if line.lower().startswith(b"content-length:"):
                size = int(line.split(b":")[1])
                while len(rest) < size:
                    rest += sock.recv(65536)
        self.heads.append(head)
        return head

    def close(self):
        self.stopping.set()
        self.listener.close()
        for sock in self.conns:
            sock.close()


def silent(server, sock, index):
    """Reads what comes and never answers."""
    while sock.recv(65536):
        pass


def deaf(server, sock, index):
    """Reads nothing at all."""
    server.stopping.wait(30)


@pytest.fixture
def raw():
    servers = []

    def make(handler, **options):
        servers.append(RawServer(handler, **options))
        return servers[-1]
    yield make
    for server in servers:
        server.close()


def test_a_connection_that_is_never_made_is_a_connect_timeout(raw):
    server = raw(silent)  # accepts TCP, but never answers the TLS handshake

    async def main():
        async with quillet.AsyncClient(timeout=quillet.Timeout(10, connect=0.3)) as client:
            with pytest.raises(quillet.ConnectTimeout) as info:
                await client.get(server.url("/x", "https"))
            return info.value

    error = run(main())
    assert isinstance(error, quillet.TimeoutException)
    assert str(error) == (f"no connection to 127.0.0.1:{server.port} within the connect "
                          f"timeout of 0.3 s (GET {server.url('/x', 'https')})")


def test_a_listener_that_never_accepts_is_a_connect_timeout():
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    address = listener.getsockname()
    fillers = []
    try:
        # fill the accept queue; further handshakes are then dropped by the kernel
        for _ in range(4):
            filler = socket.socket()
            filler.setblocking(False)
            filler.connect_ex(address)
            fillers.append(filler)
        try:
            socket.create_connection(address, timeout=0.5).close()
        except TimeoutError:
            pass  # dropped, as wanted
        except OSError:
            pytest.skip("this kernel refuses handshakes beyond a full backlog")
        else:
            pytest.skip("this kernel completes handshakes beyond a full backlog")

        async def main():
            async with quillet.AsyncClient(timeout=quillet.Timeout(10, connect=0.3)) as client:
                with pytest.raises(quillet.ConnectTimeout, match="within the connect timeout"):
                    await client.get(f"http://127.0.0.1:{address[1]}/")
        run(main())
    finally:
        for filler in fillers:
            filler.close()
        listener.close()


def test_a_refused_connection_is_a_connect_error():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]

    async def main():
        async with quillet.AsyncClient() as client:
            with pytest.raises(quillet.ConnectError) as info:
                await client.get(f"http://127.0.0.1:{port}/")
            return info.value

    error = run(main())
    assert isinstance(error, quillet.NetworkError) and isinstance(error.__cause__, OSError)
    assert str(error).startswith(f"cannot connect to 127.0.0.1:{port}: ")


def test_a_server_that_never_answers_is_a_read_timeout(raw):
    server = raw(silent)

    async def main():
        async with quillet.AsyncClient(timeout=quillet.Timeout(10, read=0.3)) as client:
            with pytest.raises(quillet.ReadTimeout) as info:
                await client.get(server.url("/never"))
            return info.value

    assert str(run(main())) == ("no response within the read timeout of 0.3 s "
                                f"(GET {server.url('/never')})")


@pytest.mark.parametrize("http2", [False, True], ids=["http/1.1", "h2c"])
def test_a_slow_application_is_a_read_timeout_and_the_client_goes_on(http2):
    server = ServerThread(client_app.app, access_log=False)

    async def main():
        async with quillet.AsyncClient(http2=http2, timeout=10) as client:
            with pytest.raises(quillet.ReadTimeout, match=r"/slow\?3\)$"):
                await client.get(server.url("/slow?3"), timeout=quillet.Timeout(10, read=0.3))
            return (await client.get(server.url("/echo"))).status_code

    try:
        assert run(main()) == 200
    finally:
        server.stop()


def test_each_read_keeps_its_own_deadline_on_a_reused_connection():
    # one timer serves the reads of a connection: one armed by an earlier read must neither cut
    # a later read short nor let a later, shorter timeout pass unnoticed
    server = ServerThread(client_app.app, access_log=False)

    async def main():
        async with quillet.AsyncClient(timeout=quillet.Timeout(10, read=1.5)) as client:
            assert (await client.get(server.url("/echo"))).status_code == 200
            await asyncio.sleep(0.9)
            # answered 1 s later: past the first read's deadline, well within its own
            assert (await client.get(server.url("/slow?1"))).content == b"finished"
            with pytest.raises(quillet.ReadTimeout, match=r"of 0.3 s"):
                await client.get(server.url("/slow?3"), timeout=quillet.Timeout(10, read=0.3))
            with pytest.raises(quillet.ReadTimeout, match=r"of 1.5 s"):
                await client.get(server.url("/slow?4"))
            assert (await client.get(server.url("/echo"))).status_code == 200

    try:
        run(main())
    finally:
        server.stop()


def stall_then_read(server, sock, index):
    """Answers a GET, then takes the next request's head and reads nothing of its chunked body
    for a second before reading it all and answering."""
    server.read_head(sock)
    sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")
    data = b""
    while b"\r\n\r\n" not in data:
        data += sock.recv(65536)
    time.sleep(1.0)
    while not data.endswith(b"0\r\n\r\n"):
        chunk = sock.recv(1 << 20)
        if not chunk:
            return
        data += chunk
    sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\ndone")


def test_a_finished_reads_deadline_does_not_cut_a_later_upload_short(raw):
    # the read timer outlives its read; when it fires during an upload that waits for the
    # server to take its bytes, that wait (bounded by the write timeout) is left alone
    server = raw(stall_then_read)

    async def body():
        for _ in range(512):
            yield b"x" * 65536

    async def main():
        async with quillet.AsyncClient(timeout=quillet.Timeout(10, read=0.5, write=5)) as client:
            assert (await client.get(server.url("/"))).content == b"ok"
            response = await client.post(server.url("/upload"), content=body())
            return response.content, client.connections_opened

    assert run(main()) == (b"done", 1)


@pytest.mark.parametrize("http2", [False, True], ids=["http/1.1", "h2c"])
def test_a_server_that_stops_reading_an_upload_is_a_write_timeout(raw, http2):
    server = raw(deaf)  # over HTTP/2 it never even sends its SETTINGS: no window opens

    async def main():
        async with quillet.AsyncClient(http2=http2,
                                       timeout=quillet.Timeout(10, write=0.5)) as client:
            with pytest.raises(quillet.WriteTimeout) as info:
                await client.post(server.url("/upload"), content=b"u" * (64 << 20))
            return info.value

    error = run(main())
    assert isinstance(error, quillet.TimeoutException)
    assert str(error).endswith(f"(POST {server.url('/upload')})")


OK = b"HTTP/1.1 200 OK\r\ncontent-length: 2\r\n\r\nok"


def planned(plans):
    """A handler that follows `plans[index]` on the index-th connection: for each request,
    "ok" answers it and "drop" closes the connection without a byte of answer."""
    def handler(server, sock, index):
        for step in plans[min(index, len(plans) - 1)]:
            if server.read_head(sock) is None:
                return
            if step == "drop":
                sock.close()
                return
            sock.sendall(OK)
        server.stopping.wait(30)
    return handler


# Responses sent in pieces with pauses between them: the head cut in two, the body after its
# head, a body cut in two, a chunked body a chunk at a time.
_PIECES = {
    "head split": [b"HTTP/1.1 200 OK\r\ncontent-le", b"ngth: 5\r\n\r\nhello"],
    "body after head": [b"HTTP/1.1 200 OK\r\ncontent-length: 5\r\n\r\n", b"hello"],
    "body split": [b"HTTP/1.1 200 OK\r\ncontent-length: 5\r\n\r\nhe", b"llo"],
    "chunked": [b"HTTP/1.1 200 OK\r\ntransfer-encoding: chunked\r\n\r\n", b"2\r\nhe\r\n",
                b"3\r\nllo\r\n", b"0\r\nx-end: yes\r\n\r\n"],
}


@pytest.mark.parametrize("kind", list(_PIECES))
def test_a_response_in_pieces_is_read_whole_and_its_connection_reused(raw, kind):
    def handler(server, sock, index):
        while server.read_head(sock) is not None:
            for piece in _PIECES[kind]:
                sock.sendall(piece)
                time.sleep(0.02)

    server = raw(handler)

    async def main():
        async with quillet.AsyncClient(timeout=10) as client:
            responses = [await client.get(server.url(f"/{i}")) for i in range(3)]
            async with client.stream("GET", server.url("/streamed")) as streamed:
                pieces = [piece async for piece in streamed.aiter_bytes()]
            return responses, pieces, streamed, client.connections_opened

    responses, pieces, streamed, opened = run(main())
    assert [r.content for r in responses] == [b"hello"] * 3 and b"".join(pieces) == b"hello"
    assert all(r.is_closed for r in (*responses, streamed)) and opened == 1
    if kind == "chunked":
        assert responses[-1].trailers["x-end"] == b"yes"
        assert pieces == [b"he", b"llo"]


@pytest.mark.parametrize("method", ["GET", "PUT", "DELETE", "OPTIONS"])
def test_an_idempotent_request_lost_by_a_reused_connection_is_retried_once(raw, method):
    server = raw(planned([["ok", "drop"], ["ok"]]))

    async def main():
        async with quillet.AsyncClient(timeout=10) as client:
            first = await client.request(method, server.url("/a"), content=b"same")
            second = await client.request(method, server.url("/b"), content=b"same")
            return first, second, client.connections_opened

    first, second, opened = run(main())
    assert first.content == second.content == b"ok" and opened == 2
    assert [head.split(b" ")[1] for head in server.heads] == [b"/a", b"/b", b"/b"]


def test_a_post_is_not_retried_and_a_retry_happens_only_once(raw):
    server = raw(planned([["ok", "drop"], ["ok", "drop"], ["drop"]]))

    async def main():
        async with quillet.AsyncClient(timeout=10) as client:
            await client.post(server.url("/a"))
            with pytest.raises(quillet.RemoteProtocolError) as post_error:
                await client.post(server.url("/post"))
            await client.get(server.url("/c"))  # a fresh connection: served
            with pytest.raises(quillet.RemoteProtocolError) as get_error:
                await client.get(server.url("/get"))  # lost, retried once, lost again
            return post_error.value, get_error.value, client.connections_opened

    post_error, get_error, opened = run(main())
    assert [head.split(b" ")[1] for head in server.heads] == [
        b"/a", b"/post", b"/c", b"/get", b"/get"]
    assert str(post_error) == ("the server closed the connection without sending a complete "
                               f"response (POST {server.url('/post')})")
    assert str(get_error).endswith(f"(GET {server.url('/get')})") and opened == 3


def test_a_streamed_body_is_not_retried(raw):
    server = raw(planned([["ok", "drop"], ["ok"]]))

    async def body():
        yield b"once"

    async def main():
        async with quillet.AsyncClient(timeout=10) as client:
            await client.put(server.url("/a"))
            with pytest.raises(quillet.TransportError):  # a reset, or the end of input
                await client.put(server.url("/b"), content=body())

    run(main())
    assert len(server.heads) == 2


def h2_planned(plans):
    """An HTTP/2 server (the h2 package, a black box) that follows `plans[index]` on the
    index-th connection, one step per request: "ok" answers it, "refuse" resets its stream
    with REFUSED_STREAM, "goaway" sends GOAWAY naming the stream before it as the last one
    processed."""
    import h2.config
    import h2.connection
    import h2.events

    def handler(server, sock, index):
        conn = h2.connection.H2Connection(h2.config.H2Configuration(client_side=False))
        conn.initiate_connection()
        sock.sendall(conn.data_to_send())
        steps = iter(plans[min(index, len(plans) - 1)])
        paths = {}
        while data := sock.recv(65536):
            for event in conn.receive_data(data):
                if isinstance(event, h2.events.RequestReceived):
                    paths[event.stream_id] = dict(event.headers)[b":path"]
                elif isinstance(event, h2.events.DataReceived):
                    conn.acknowledge_received_data(event.flow_controlled_length,
                                                   event.stream_id)
                elif isinstance(event, h2.events.StreamEnded):
                    sid = event.stream_id
                    server.heads.append((index, paths[sid]))
                    step = next(steps, "ok")
                    if step == "ok":
                        conn.send_headers(sid, [(":status", "200"), ("content-length", "2")])
                        conn.send_data(sid, b"ok", end_stream=True)
                    elif step == "refuse":
                        conn.reset_stream(sid, error_code=7)
                    else:
                        conn.close_connection(last_stream_id=sid - 2)
            sock.sendall(conn.data_to_send())
    return handler


@pytest.mark.parametrize("step", ["refuse", "goaway"])
def test_a_request_the_server_never_processed_is_retried_whatever_its_method(raw, step):
    server = raw(h2_planned([["ok", step], ["ok"]]))

    async def main():
        async with quillet.AsyncClient(http2=True, timeout=10) as client:
            first = await client.post(server.url("/a"), content=b"1")
            second = await client.post(server.url("/b"), content=b"2")
            return first, second, client.connections_opened

    first, second, opened = run(main())
    assert first.http_version == second.http_version == "HTTP/2"
    assert first.content == second.content == b"ok" and opened == 2
    assert server.heads == [(0, b"/a"), (0, b"/b"), (1, b"/b")]
