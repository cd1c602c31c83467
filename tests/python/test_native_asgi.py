"""The native serve path's scope and application run, held to the Python ones they replace: the
same inputs give the same scope (key order included), and the same application gives the same
calls on its exchange and server, in the same order, whether it answers at once or waits."""

import asyncio
import logging

import pytest

from quillet import _asgi
from quillet._native import asgi_scope, run_app


class Conn:
    def __init__(self, tls=None):
        self.server = Server()
        self.scheme = "https" if tls else "http"
        self.client = ("127.0.0.1", 5000)
        self.sockname = ("127.0.0.1", 8000)
        self.tls = tls


class Server:
    """What run_app reads of the server, recording request_done."""

    def __init__(self, log_access=False):
        self.root_path = "/root"
        self.state = {"db": "handle"}
        self._log_access = log_access
        self.loop = None
        self.done = []

    def request_done(self, scope, target, status, sent, began):
        self.done.append((target, status, sent, began))


TARGETS = [
    "/", "/plain/path", "/a%20b/%E2%82%AC?x=1&y=%20", "/q?", "/?only=query", "*",
    "http://example.com", "http://example.com/", "http://example.com/p/q?r=s",
    "http://example.com?x=1", "https://h:8443/a?b", "relative/path?x", "/caf\xe9",
    "http://h/a/b?c=d?e",
    "http://h\u0100st/p?q",  # a wide character in the authority goes with it
]


@pytest.mark.parametrize("target", TARGETS)
@pytest.mark.parametrize("tls", [None, {"server_cert": None}])
def test_the_scope_is_the_python_scope(target, tls):
    conn = Conn(tls)
    headers = [(b"host", b"example.com")]
    ours = asgi_scope(_asgi.scope_template(conn), "1.1", "GET", target, headers)
    reference = _asgi.http_scope(conn, "1.1", "GET", target, headers)
    assert ours == reference
    assert list(ours) == list(reference)


def test_a_str_subclass_target_gives_plain_str_values():
    class Target(str):
        def __eq__(self, other):
            raise AssertionError("the scope must not use the subclass")

        __hash__ = str.__hash__

    conn = Conn()
    scope = asgi_scope(_asgi.scope_template(conn), "1.1", "GET", Target("/p"), [])
    assert type(scope["path"]) is str and str.__eq__(scope["path"], "/p")


def test_each_scope_has_its_own_state_and_extensions():
    conn = Conn(tls={"server_cert": None})
    template = _asgi.scope_template(conn)
    first = asgi_scope(template, "1.1", "GET", "/", [])
    first["state"]["user"] = "someone"
    first["extensions"]["mine"] = True
    second = asgi_scope(template, "1.1", "GET", "/", [])
    assert second["state"] == {"db": "handle"}
    assert second["extensions"] == {"tls": {"server_cert": None}}
    assert conn.server.state == {"db": "handle"}


def test_a_target_beyond_latin1_is_refused_as_the_python_scope_refuses_it():
    conn = Conn()
    with pytest.raises(UnicodeEncodeError):
        _asgi.http_scope(conn, "1.1", "GET", "/\u20ac", [])
    with pytest.raises(UnicodeEncodeError):
        asgi_scope(_asgi.scope_template(conn), "1.1", "GET", "/\u20ac", [])
    with pytest.raises(TypeError, match="template must be a dict"):
        asgi_scope([], "1.1", "GET", "/", [])


# --- the application's run ---

class Exchange:
    """Records what the run does with it; `settle` may hand back something to await."""

    Disconnected = _asgi.ClientDisconnected

    def __init__(self, log, settle_waits=False):
        self.log = log
        self.status = 0
        self.sent = 0
        self.settle_waits = settle_waits

    async def receive(self):
        self.log.append("receive")
        return {"type": "http.request", "body": b"", "more_body": False}

    async def send(self, message):
        self.log.append(("send", message["type"]))
        if message["type"] == "http.response.start":
            self.status = message["status"]
        else:
            self.sent += len(message.get("body", b""))

    def settle(self, raised):
        self.log.append(("settle", raised))
        if self.settle_waits:
            async def later():
                await asyncio.sleep(0)
                self.log.append("settled")
            return later()
        return None

    def cancelled(self):
        self.log.append("cancelled")


async def answers_at_once(scope, receive, send):
    await receive()
    await send({"type": "http.response.start", "status": 200})
    await send({"type": "http.response.body", "body": b"hello"})


async def waits_first(scope, receive, send):
    await asyncio.sleep(0)
    await answers_at_once(scope, receive, send)


async def fails(scope, receive, send):
    await send({"type": "http.response.start", "status": 200})
    raise ValueError("broken")


async def fails_after_waiting(scope, receive, send):
    await asyncio.sleep(0)
    raise ValueError("broken")


async def client_left(scope, receive, send):
    await asyncio.sleep(0)
    raise _asgi.ClientDisconnected("the client closed the connection")


def not_awaitable(scope, receive, send):
    return None


class Interrupt(BaseException):
    pass


async def interrupted(scope, receive, send):
    raise Interrupt()


async def run_both(app, settle_waits=False, log_access=False):
    """The calls each run made, Python's and native's, and what each raised."""
    outcomes = []
    for runner in (_asgi.run_app, run_app):
        log = []
        server = Server(log_access)
        server.loop = asyncio.get_running_loop()
        exchange = Exchange(log, settle_waits)
        raised = None
        try:
            wait = runner(server, app, {}, exchange, "/t")
            if wait is not None:
                await wait
        except BaseException as exc:  # noqa: B036 (the outcome compared)
            raised = type(exc)
        outcomes.append((log, [d[:3] for d in server.done], raised))
        assert len(server.done) == 1  # counted once, whatever happened
        began = server.done[0][3]
        assert (began > 0) if log_access else began == 0.0
    return outcomes


@pytest.mark.parametrize("app", [answers_at_once, waits_first, fails, fails_after_waiting,
                                 client_left, not_awaitable, interrupted])
@pytest.mark.parametrize("settle_waits", [False, True])
def test_the_native_run_does_what_the_python_run_does(app, settle_waits, caplog):
    caplog.set_level(logging.ERROR, logger="quillet.server")
    python, native = asyncio.run(run_both(app, settle_waits))
    assert native == python
    failed = [r for r in caplog.records if r.getMessage() == "the application raised an exception"]
    assert len(failed) == (2 if app in (fails, fails_after_waiting, not_awaitable) else 0)
    assert all(r.exc_info is not None for r in failed)


def test_an_application_that_answers_at_once_needs_nothing_awaited():
    async def main():
        log = []
        server = Server()
        assert run_app(server, answers_at_once, {}, Exchange(log), "/") is None
        assert log == ["receive", ("send", "http.response.start"),
                       ("send", "http.response.body"), ("settle", False)]
        assert server.done == [("/", 200, 5, 0.0)]
        server.loop = asyncio.get_running_loop()
        pending = run_app(server, waits_first, {}, Exchange([]), "/")
        assert pending is not None and len(server.done) == 1  # not counted before its end
        await pending
        assert len(server.done) == 2
    asyncio.run(main())


def test_the_access_log_clock_starts_with_the_run():
    python, native = asyncio.run(run_both(answers_at_once, log_access=True))
    assert native == python


def test_cancelling_the_task_while_the_application_waits():
    async def main():
        started = asyncio.Event()

        async def sleeper(scope, receive, send):
            started.set()
            await asyncio.sleep(3600)

        for runner in (_asgi.run_app, run_app):
            log = []
            server = Server()

            async def serve():
                wait = runner(server, sleeper, {}, Exchange(log), "/")
                await wait

            started.clear()
            task = asyncio.ensure_future(serve())
            await started.wait()
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            assert log == ["cancelled"]  # not settled: the task's cancellation goes on up
            assert server.done == [("/", 0, 0, 0.0)]
    asyncio.run(main())


def test_a_run_is_freed_with_its_coroutine():
    import gc
    import weakref

    async def main():
        server = Server()
        server.loop = asyncio.get_running_loop()
        exchange = Exchange([])
        wait = run_app(server, waits_first, {}, exchange, "/")
        ref = weakref.ref(exchange)
        del exchange
        await wait
        del wait
        gc.collect()
        assert ref() is None
    asyncio.run(main())


# --- the server stream's data_received ---

def test_the_reader_routes_the_bytes_by_what_the_stream_is_waiting_for():
    from quillet._native import H1Reader

    taken = []

    class Parked:  # a reader other than an HTTP/1 connection: it has no `native`
        def _answer(self, data):
            taken.append(("answer", data))

    class Stream:
        data_received = H1Reader(lambda stream, data: taken.append(("buffer", data)))

        def __init__(self, parked, chunks):
            self.parked = parked
            self._chunks = chunks

    Stream(None, []).data_received(b"a")
    Stream(Parked(), []).data_received(b"b")
    Stream(Parked(), [b"earlier"]).data_received(b"c")  # bytes wait already: they stay in order
    assert taken == [("buffer", b"a"), ("answer", b"b"), ("buffer", b"c")]
    assert isinstance(Stream.__dict__["data_received"], H1Reader)
    with pytest.raises(TypeError, match="data_received takes the stream and the bytes"):
        Stream.data_received(b"x")
    with pytest.raises(TypeError):
        H1Reader(42)


def test_ready_is_done_when_made():
    from quillet._native import ready

    async def main():
        message = {"type": "http.request"}
        assert await ready(message) is message
        assert await ready() is None
        assert ready() is ready(None)  # one shared awaitable for None
        pair = (1, 2)
        assert await ready(pair) is pair  # a tuple comes back whole, not as arguments
    asyncio.run(main())
