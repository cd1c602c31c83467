"""The ASGI application the end-to-end tests serve: the demo routes plus probes that report
what the server did to the application."""

import asyncio
import json
import threading

from quillet.demo_app import app as demo_app
from quillet.server import ClientDisconnected

# filled by the application, read by the tests
events: dict = {}
disconnect_seen = threading.Event()
lifespan_log: list = []


async def app(scope, receive, send):
    if scope["type"] == "lifespan":
        while True:
            message = await receive()
            lifespan_log.append(message["type"])
            if message["type"] == "lifespan.startup":
                scope["state"]["greeting"] = "from lifespan"
                await send({"type": "lifespan.startup.complete"})
            else:
                await send({"type": "lifespan.shutdown.complete"})
                return
    path = scope["path"]
    if path.startswith("/scope/"):
        first = await receive()
        fields = {k: v for k, v in scope.items() if k not in ("headers", "raw_path",
                                                              "query_string", "state")}
        fields.update(raw_path=scope["raw_path"].decode(),
                      query_string=scope["query_string"].decode(),
                      headers=[[n.decode(), v.decode()] for n, v in scope["headers"]],
                      state=scope["state"], first=first["type"])
        body = json.dumps(fields).encode()
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"content-type", b"application/json")]})
        await send({"type": "http.response.body", "body": body})
    elif path == "/forever":
        # streams until the client goes; a parallel receive() must report http.disconnect
        await receive()
        waiter = asyncio.ensure_future(receive())
        await send({"type": "http.response.start", "status": 200, "headers": []})
        sent = 0
        try:
            while not waiter.done() and sent < 1000:
                await send({"type": "http.response.body", "body": b"tick\n" * 100,
                            "more_body": True})
                sent += 1
                await asyncio.sleep(0.01)
        except ClientDisconnected:
            events["send_raised"] = True
        events["message"] = (await asyncio.wait_for(waiter, 5))["type"]
        disconnect_seen.set()
    elif path == "/bytes":
        # that many bytes, in one write
        body = b"b" * int(scope["query_string"] or b"65536")
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"content-length", b"%d" % len(body))]})
        await send({"type": "http.response.body", "body": body})
    elif path == "/bytes-streamed":
        # that many bytes, in 64 KiB pieces
        size = int(scope["query_string"] or b"65536")
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"content-length", b"%d" % size)]})
        for at in range(0, size, 65536):
            await send({"type": "http.response.body", "body": b"b" * min(65536, size - at),
                        "more_body": at + 65536 < size})
    elif path == "/answer-then-read":
        # begins its response, then reads the body, then ends the response
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"early ", "more_body": True})
        while (message := await receive()).get("more_body"):
            pass
        events["answer-then-read"] = message["type"]
        await send({"type": "http.response.body", "body": b"late"})
    elif path == "/read-body":
        # reads the body to its end, or until it hears the client has gone, then answers
        messages = []
        while True:
            message = await receive()
            messages.append((message["type"], message.get("body", b"")))
            if not message.get("more_body"):
                break
        events["read-body"] = messages
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"read"})
    elif path == "/slow":
        await asyncio.sleep(float(scope["query_string"] or b"0.5"))
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"finished"})
    elif path == "/trailers":
        await send({"type": "http.response.start", "status": 200, "headers": [],
                    "trailers": True})
        await send({"type": "http.response.body", "body": b"body"})
        await send({"type": "http.response.trailers", "headers": [(b"x-t", b"done")]})
    elif path == "/crash":
        raise RuntimeError("the application failed")
    elif path == "/silent":
        return
    elif path == "/ignore-body":
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"ignored"})
    else:
        await demo_app(scope, receive, send)
