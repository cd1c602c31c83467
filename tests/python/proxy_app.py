"""The end-to-end application plus what the reverse-proxy tests need to see the proxy stream:

    /upload?MARKER   reads the body, writes the file MARKER when its first bytes arrive, and
                     answers how it came (messages, bytes, digest, transfer-encoding)
    /gate?FILE       sends a first line, waits until FILE exists, then sends a second one
    websocket        an echo of every message
"""

import asyncio
import hashlib
import json
import os

import e2e_app


async def upload(scope, receive, send):
    marker = scope["query_string"].decode()
    digest, size, messages = hashlib.sha256(), 0, 0
    while True:
        message = await receive()
        if message["type"] == "http.disconnect":
            return
        body = message.get("body", b"")
        if body and size == 0:
            with open(marker, "w"):
                pass
        digest.update(body)
        size += len(body)
        messages += 1
        if not message.get("more_body"):
            break
    headers = dict(scope["headers"])
    answer = json.dumps({"messages": messages, "bytes": size, "sha256": digest.hexdigest(),
                         "transfer-encoding": headers.get(b"transfer-encoding", b"").decode()})
    await send({"type": "http.response.start", "status": 200,
                "headers": [(b"content-type", b"application/json")]})
    await send({"type": "http.response.body", "body": answer.encode()})


async def gate(scope, receive, send):
    path = scope["query_string"].decode()
    await send({"type": "http.response.start", "status": 200,
                "headers": [(b"content-type", b"text/plain")]})
    await send({"type": "http.response.body", "body": b"first\n", "more_body": True})
    for _ in range(600):  # 30 s at most
        if os.path.exists(path):
            break
        await asyncio.sleep(0.05)
    await send({"type": "http.response.body", "body": b"second\n"})


async def echo(scope, receive, send):
    while True:
        message = await receive()
        if message["type"] == "websocket.connect":
            await send({"type": "websocket.accept"})
        elif message["type"] == "websocket.receive":
            await send({"type": "websocket.send", "text": message.get("text"),
                        "bytes": message.get("bytes")})
        else:
            return


async def app(scope, receive, send):
    if scope["type"] == "websocket":
        await echo(scope, receive, send)
    elif scope["type"] == "http" and scope["path"] == "/upload":
        await upload(scope, receive, send)
    elif scope["type"] == "http" and scope["path"] == "/gate":
        await gate(scope, receive, send)
    else:
        await e2e_app.app(scope, receive, send)
