"""How the HTTP/2 server runs the requests that arrive together: each as if in a task of its
own (its own context variables, its own cancellations), and none held up by another that
waits."""

import asyncio
import contextvars

import h2.events
import pytest

from test_e2e_h2 import RawClient
from test_e2e_h2_hostile import LOOPS
from test_e2e_server import ServerThread

_who = contextvars.ContextVar("who", default=None)
_gates: dict = {}


async def app(scope, receive, send):
    if scope["type"] != "http":
        raise ValueError("no lifespan here")
    path = scope["path"]
    earlier = _who.get()  # what a request before this one left behind, if it leaked
    _who.set(path)
    gate = _gates.setdefault(asyncio.get_running_loop(), asyncio.Event())
    note = ""
    if path == "/wait":
        await gate.wait()
    elif path == "/open":
        gate.set()
    elif path == "/yield":
        await asyncio.sleep(0)  # a bare yield, not a future
    elif path == "/timeout":
        try:
            async with asyncio.timeout(0.05):
                await asyncio.sleep(5)
        except TimeoutError:
            note = " timed out"
    body = f"{path} after {earlier}{note}".encode()
    await send({"type": "http.response.start", "status": 200, "headers": []})
    await send({"type": "http.response.body", "body": body})


def send_together(client, paths):
    """The requests' HEADERS in one write, on streams 1, 3, 5..."""
    sids = []
    for i, path in enumerate(paths):
        sid = 1 + 2 * i
        client.h2.send_headers(sid, [(":method", "GET"), (":path", path), (":scheme", "http"),
                                     (":authority", "test")], end_stream=True)
        sids.append(sid)
    client.flush()
    client.wait(lambda: all(sid in client.ended for sid in sids))
    return [client.bodies.get(sid, b"").decode() for sid in sids]


@pytest.fixture(params=LOOPS)
def server(request):
    srv = ServerThread(app, loop=request.param)
    yield srv
    srv.stop()


def test_a_waiting_request_holds_up_none_behind_it_and_none_sees_anothers_context(server):
    client = RawClient(server.port)
    # /wait ends only once /open, sent after it in the same write, has run
    assert send_together(client, ["/wait", "/yield", "/open", "/plain"]) == [
        "/wait after None", "/yield after None", "/open after None", "/plain after None"]


def test_a_timeout_in_the_application_ends_its_own_wait_only(server):
    client = RawClient(server.port)
    assert send_together(client, ["/timeout", "/plain"]) == [
        "/timeout after None timed out", "/plain after None"]
    # the connection, and its reading, went on
    client.h2.send_headers(7, [(":method", "GET"), (":path", "/again"), (":scheme", "http"),
                               (":authority", "test")], end_stream=True)
    client.flush()
    client.wait(lambda: 7 in client.ended)
    assert client.bodies[7] == b"/again after None"
    assert client.terminated is None and not client.resets
