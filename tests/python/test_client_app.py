"""quillet.AsyncClient(app=...): requests answered by an ASGI application in the same process,
a plain one and a FastAPI one, with no socket: the scope and body it gets, the response as it
streams, its failures raised to the caller, and calls ended when their response is given up."""

import asyncio
import json

import pytest

import quillet


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 30))


class Recorder:
    """A plain ASGI application; what it does depends on the path."""

    def __init__(self):
        self.scopes = []
        self.events = []
        self.release = None

    async def __call__(self, scope, receive, send):
        self.scopes.append(scope)
        path = scope["path"]
        if path == "/fail-first":
            raise KeyError("before any response")
        if path == "/nothing":
            return
        if path == "/redirected":
            await send({"type": "http.response.start", "status": 302,
                        "headers": [(b"location", b"/final")]})
            await send({"type": "http.response.body", "body": b""})
            return
        if path == "/timeout":
            await asyncio.sleep(5)
        body = b""
        while True:
            message = await receive()
            body += message.get("body", b"")
            if not message.get("more_body"):
                break
        start = {"type": "http.response.start", "status": 200,
                 "headers": [(b"content-type", b"application/json")]}
        if path == "/stream":
            self.release = asyncio.Event()
            await send({**start, "trailers": True})
            await send({"type": "http.response.body", "body": b"first ", "more_body": True})
            await self.release.wait()  # the caller has the first piece before the second is sent
            await send({"type": "http.response.body", "body": b"second", "more_body": False})
            await send({"type": "http.response.trailers", "headers": [(b"x-sum", b"ok")]})
            self.events.append(await receive())
            return
        if path == "/fail-later":
            await send(start)
            await send({"type": "http.response.body", "body": b"part", "more_body": True})
            raise ValueError("half way")
        if path == "/endless":
            sent = 0
            try:
                while True:
                    await send({"type": "http.response.body" if sent else
                                "http.response.start", "status": 200, "headers": [],
                                "body": b"x" * 65536, "more_body": True})
                    sent += 65536
                    self.events.append(sent)
            except asyncio.CancelledError:
                self.events.append("cancelled")
                raise
        report = {"method": scope["method"], "path": path, "raw_path": scope["raw_path"].decode(),
                  "query": scope["query_string"].decode(), "body": body.decode(),
                  "headers": [[n.decode(), v.decode()] for n, v in scope["headers"]],
                  "client": list(scope["client"]), "server": list(scope["server"])}
        await send({**start, "headers": start["headers"] + [(b"set-cookie", b"seen=1; Path=/")]})
        await send({"type": "http.response.body", "body": json.dumps(report).encode()})


def test_requests_reach_the_application_as_a_server_would_give_them():
    app = Recorder()

    async def chunks():
        yield b"streamed "
        yield b"body"

    async def main():
        async with quillet.AsyncClient(app=app, base_url="http://testserver") as client:
            first = await client.post("/caf%C3%A9/x?q=1%202", content=b"payload",
                                      headers={"x-mine": "yes"})
            second = await client.put("/up", content=chunks())
            followed = await client.get("/redirected", follow_redirects=True)
            return first, second.json(), followed
    first, second, followed = run(main())
    report = first.json()
    assert first.status_code == 200 and first.http_version == "HTTP/1.1"
    assert first.headers["content-type"] == b"application/json"
    assert (report["method"], report["path"], report["raw_path"], report["query"]) == (
        "POST", "/caf\u00e9/x", "/caf%C3%A9/x", "q=1%202")
    assert report["body"] == "payload" and ["x-mine", "yes"] in report["headers"]
    assert ["host", "testserver"] in report["headers"]
    assert report["server"] == ["testserver", 80] and report["client"][0] == "127.0.0.1"
    assert second["body"] == "streamed body" and ["transfer-encoding", "chunked"] not in \
        second["headers"]
    # the cookie the first response set goes with the later requests
    assert ["cookie", "seen=1"] in second["headers"]
    assert followed.status_code == 200 and followed.json()["path"] == "/final"
    assert [r.status_code for r in followed.history] == [302]
    assert all(scope["type"] == "http" and scope["asgi"]["version"] == "3.0"
               for scope in app.scopes)


def test_a_streamed_response_arrives_piece_by_piece_with_its_trailers():
    app = Recorder()

    async def main():
        async with quillet.AsyncClient(app=app, base_url="http://testserver") as client:
            async with client.stream("GET", "/stream") as response:
                pieces = []
                async for piece in response.aiter_bytes():
                    pieces.append(piece)
                    app.release.set()
                return pieces, response.trailers, app.events
    pieces, trailers, events = run(main())
    assert pieces == [b"first ", b"second"] and trailers["x-sum"] == b"ok"
    assert events == [{"type": "http.disconnect"}]


def test_the_applications_failures_reach_the_caller():
    app = Recorder()

    async def main():
        async with quillet.AsyncClient(app=app, base_url="http://testserver",
                                       timeout=0.3) as client:
            with pytest.raises(KeyError, match="before any response"):
                await client.get("/fail-first")
            with pytest.raises(ValueError, match="half way"):
                await client.get("/fail-later")
            with pytest.raises(quillet.RemoteProtocolError,
                               match="returned without a response"):
                await client.get("/nothing")
            with pytest.raises(quillet.ReadTimeout, match="read timeout of 0.3 s"):
                await client.get("/timeout")
            with pytest.raises(quillet.UnsupportedProtocol, match="in this process"):
                client.websocket("/ws")
            # and the client goes on
            return (await client.get("/after")).status_code
    assert run(main()) == 200


def test_a_response_given_up_ends_its_call_and_the_reader_holds_the_application_back():
    app = Recorder()

    async def main():
        async with quillet.AsyncClient(app=app, base_url="http://testserver") as client:
            async with client.stream("GET", "/endless") as response:
                await asyncio.sleep(0.2)  # nothing read: the application must wait
                held = app.events[-1]
                async for _ in response.aiter_raw():
                    break
            given_up = list(app.events)
            async with client.stream("GET", "/endless"):
                pass
        return held, given_up, app.events[-1]
    held, given_up, last = run(main())
    assert 1 << 20 <= held <= (1 << 20) + 2 * 65536
    assert given_up[-1] == "cancelled" and last == "cancelled"


def test_a_fastapi_application_with_a_background_task():
    fastapi = pytest.importorskip("fastapi")
    app = fastapi.FastAPI()
    done = []

    @app.post("/items/{name}")
    async def create(name: str, item: dict, tasks: fastapi.BackgroundTasks):
        tasks.add_task(done.append, name)
        return {"name": name, **item}

    @app.get("/missing")
    async def missing():
        raise fastapi.HTTPException(404, "no such thing")

    async def main():
        async with quillet.AsyncClient(app=app, base_url="http://testserver") as client:
            created = await client.post("/items/pen", json={"colour": "blue"})
            # the background task has run by the time the response is read
            after = list(done)
            gone = await client.get("/missing")
            return created, after, gone
    created, after, gone = run(main())
    assert created.json() == {"name": "pen", "colour": "blue"} and after == ["pen"]
    assert gone.status_code == 404 and gone.json() == {"detail": "no such thing"}
