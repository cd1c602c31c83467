"""The ASGI application the client tests serve, under our server and as black boxes under
uvicorn and hypercorn: it reports what it received, and answers with the statuses, redirects,
charsets and body sizes a test asks for. It imports nothing of quillet, so any server can load
it."""

import asyncio
import json
from urllib.parse import parse_qs


async def _body(receive) -> bytes:
    parts = []
    while True:
        message = await receive()
        parts.append(message.get("body", b""))
        if not message.get("more_body"):
            return b"".join(parts)


async def _answer(send, status, body=b"", headers=()):
    await send({"type": "http.response.start", "status": status,
                "headers": [(b"content-length", b"%d" % len(body)), *headers]})
    await send({"type": "http.response.body", "body": body})


async def app(scope, receive, send):
    if scope["type"] == "lifespan":
        while True:
            message = await receive()
            await send({"type": message["type"] + ".complete"})
            if message["type"] == "lifespan.shutdown":
                return
    path = scope["path"]
    query = parse_qs(scope["query_string"].decode(), keep_blank_values=True)
    arg = scope["query_string"].decode()
    if path.endswith("/inspect"):
        # what arrived: method, target, fields and body, as JSON
        body = await _body(receive)
        report = {"method": scope["method"], "path": path, "query": arg,
                  "http_version": scope["http_version"],
                  "headers": [[n.decode("latin-1"), v.decode("latin-1")]
                              for n, v in scope["headers"]],
                  "body": body.decode("latin-1")}
        await _answer(send, 200, json.dumps(report).encode(),
                      [(b"content-type", b"application/json")])
    elif path == "/echo":
        await _answer(send, 200, await _body(receive))
    elif path.startswith("/status/"):
        await _body(receive)
        await _answer(send, int(path.rsplit("/", 1)[1]), b"status body")
    elif path.startswith("/redirect/"):
        # /redirect/<status>?to=<location, form-encoded>: the location as given, relative or not
        body = await _body(receive)
        await _answer(send, int(path.rsplit("/", 1)[1]), b"moved " + body,
                      [(b"location", query["to"][0].encode())])
    elif path == "/set-cookie":
        # /set-cookie?c=<a Set-Cookie value>&c=...[&to=<location>]: those fields, and a 302 to
        # the location when there is one
        await _body(receive)
        fields = [(b"set-cookie", value.encode()) for value in query.get("c", [])]
        if "to" in query:
            fields.append((b"location", query["to"][0].encode()))
        await _answer(send, 302 if "to" in query else 200, b"", fields)
    elif path == "/loop":
        await _body(receive)
        count = int(query.get("n", ["0"])[0])
        await _answer(send, 302, b"", [(b"location", b"/loop?n=%d" % (count + 1))])
    elif path == "/text":
        # a text in the charset asked for, named in the content type (or not, for "none")
        charset = query["charset"][0]
        text = "h\u00e9llo w\u00f6rld \u20ac" if charset in ("utf-8", "utf-16") else "h\u00e9llo"
        content_type = b"text/plain" if charset == "none" else b"text/plain; charset=" + \
            charset.encode()
        await _answer(send, 200, text.encode("utf-8" if charset == "none" else charset),
                      [(b"content-type", content_type)])
    elif path == "/bytes":
        # that many bytes, streamed in 64 KiB pieces without a declared length
        size = int(arg or "65536")
        await send({"type": "http.response.start", "status": 200, "headers": []})
        piece = b"q" * 65536
        for at in range(0, size, 65536):
            await send({"type": "http.response.body", "body": piece[:min(65536, size - at)],
                        "more_body": True})
        await send({"type": "http.response.body", "body": b""})
    elif path == "/slow":
        await _body(receive)
        await asyncio.sleep(float(arg or "0.5"))
        await _answer(send, 200, b"finished")
    else:
        await _body(receive)
        await _answer(send, 404, b"not found")
