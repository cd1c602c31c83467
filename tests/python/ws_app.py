"""The ASGI application of the WebSocket end-to-end tests: one behaviour per path. What each
connection saw (its disconnect, its scope) goes into `seen`, for the tests to read."""

import asyncio
import json
import threading

seen: list = []
# /slow waits for this before it reads anything (set from the test's thread)
release = threading.Event()


async def app(scope, receive, send):
    if scope["type"] == "lifespan":
        while True:
            message = await receive()
            await send({"type": message["type"] + ".complete"})
            if message["type"] == "lifespan.shutdown":
                return
    if scope["type"] == "http":
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"content-type", b"text/plain")]})
        await send({"type": "http.response.body", "body": b"plain http"})
        return
    path = scope["path"]
    message = await receive()
    assert message == {"type": "websocket.connect"}, message
    seen.append(("connect", path))
    handler = ROUTES.get(path, echo)
    await handler(scope, receive, send)


async def accept(scope, send, **extra):
    offered = scope["subprotocols"]
    chosen = "chat" if "chat" in offered else None
    await send({"type": "websocket.accept", "subprotocol": chosen, **extra})


async def echo(scope, receive, send):
    await accept(scope, send, headers=[(b"x-echo", b"yes")])
    while True:
        message = await receive()
        if message["type"] == "websocket.disconnect":
            seen.append(("disconnect", message["code"], message.get("reason", "")))
            return
        text = message.get("text")
        if text is not None and text.startswith("close:"):
            code, _, reason = text[6:].partition(":")
            await send({"type": "websocket.close", "code": int(code), "reason": reason})
            continue
        if text == "scope":
            shown = {k: v for k, v in scope.items() if k not in ("headers", "state")}
            shown["header_names"] = [name.decode() for name, _ in scope["headers"]]
            await send({"type": "websocket.send", "text": json.dumps(shown, default=lambda b: b.decode("latin-1"))})
            continue
        await send({"type": "websocket.send", "text": text, "bytes": message.get("bytes")})


async def deny(scope, receive, send):
    await send({"type": "websocket.close"})


async def deny_custom(scope, receive, send):
    await send({"type": "websocket.http.response.start", "status": 418,
                "headers": [(b"content-type", b"text/plain"), (b"x-why", b"teapot")]})
    await send({"type": "websocket.http.response.body", "body": b"not a ", "more_body": True})
    await send({"type": "websocket.http.response.body", "body": b"websocket"})


async def raise_after_accept(scope, receive, send):
    await accept(scope, send)
    await receive()
    raise RuntimeError("the application failed on purpose")


async def raise_before_accept(scope, receive, send):
    raise RuntimeError("the application failed on purpose")


async def slow(scope, receive, send):
    """Reads nothing until released, then counts what came, in order."""
    await accept(scope, send)
    loop = asyncio.get_running_loop()
    await loop.run_in_executor(None, release.wait, 120)
    count = 0
    while True:
        message = await receive()
        if message["type"] == "websocket.disconnect":
            seen.append(("slow", count, message["code"]))
            return
        assert message["bytes"][:4] == count.to_bytes(4, "big"), "out of order"
        count += 1
        if count % 64 == 0:
            try:
                await send({"type": "websocket.send", "text": str(count)})
            except OSError:
                pass  # the client's Close came in behind messages not yet read: keep counting


async def flood(scope, receive, send):
    """Sends 64 KiB messages until the client is found gone."""
    await accept(scope, send)
    chunk = b"\x00" * 65536
    sent = 0
    try:
        while sent < 1 << 30:
            await send({"type": "websocket.send", "bytes": chunk})
            sent += len(chunk)
    except OSError:
        seen.append(("flood", sent))
        raise


ROUTES = {
    "/deny": deny,
    "/deny-custom": deny_custom,
    "/raise": raise_after_accept,
    "/raise-before": raise_before_accept,
    "/slow": slow,
    "/flood": flood,
}
