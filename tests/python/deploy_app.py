"""The end-to-end application plus /pid, which names the worker process that answered, /loop,
which names the class of the event loop that runs it, and /env?NAME, the value of an
environment variable in the worker."""

import asyncio
import os

import e2e_app


async def app(scope, receive, send):
    if scope["type"] == "http" and scope["path"] == "/pid":
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": str(os.getpid()).encode()})
        return
    if scope["type"] == "http" and scope["path"] == "/loop":
        loop = type(asyncio.get_running_loop())
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body",
                    "body": f"{loop.__module__}.{loop.__qualname__}".encode()})
        return
    if scope["type"] == "http" and scope["path"] == "/env":
        value = os.environ.get(scope["query_string"].decode(), "(unset)")
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": value.encode()})
        return
    await e2e_app.app(scope, receive, send)
