"""The ASGI application the WebSocket client tests talk to, on our server and on uvicorn: the
paths of ws_app, and a refusal with a body of its own."""

import ws_app


async def app(scope, receive, send):
    if scope["type"] == "websocket" and scope["path"] == "/deny-body":
        await receive()
        await send({"type": "websocket.http.response.start", "status": 403,
                    "headers": [(b"content-type", b"text/plain"), (b"x-why", b"members only")]})
        await send({"type": "websocket.http.response.body", "body": b"go away"})
        return
    await ws_app.app(scope, receive, send)
