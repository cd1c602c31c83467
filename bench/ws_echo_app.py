"""The ASGI application of bench_ws.py: every WebSocket message is sent back as it came."""


async def app(scope, receive, send):
    if scope["type"] == "lifespan":
        while True:
            message = await receive()
            await send({"type": message["type"] + ".complete"})
            if message["type"] == "lifespan.shutdown":
                return
    if scope["type"] == "http":
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"echo"})
        return
    await receive()  # websocket.connect
    await send({"type": "websocket.accept"})
    while True:
        message = await receive()
        if message["type"] == "websocket.disconnect":
            return
        if message.get("bytes") is not None:
            await send({"type": "websocket.send", "bytes": message["bytes"]})
        else:
            await send({"type": "websocket.send", "text": message["text"]})
