"""The ASGI application that `python -m quillet serve` runs when no application is named.

    /          a hello page that names the protocol it came over
    /echo      the request body sent back (any method; POST it something)
    /stream    a response streamed in chunks, with a pause between them
    /download  1 MiB of bytes, sent in 64 KiB pieces with a content-length
    /protocol  a page that says which protocol carried it, as the server and the browser saw it
"""

from __future__ import annotations

import asyncio

DOWNLOAD_SIZE = 1 << 20
_PIECE = bytes(range(256)) * 256  # 64 KiB

HELLO = """<!doctype html>
<html><head><meta charset="utf-8"><title>quillet</title></head>
<body>
<h1>Hello from quillet</h1>
<p>This page came over <b id="protocol">{protocol}</b>, served by the quillet reference
server.</p>
<ul>
<li><a href="/stream">/stream</a>: a chunked response, one line every 100 ms</li>
<li><a href="/download">/download</a>: 1 MiB of bytes</li>
<li>/echo: POST a body and get it back, e.g.
<code>curl --data-binary @file http://HOST/echo</code></li>
</ul>
</body></html>
"""


PROTOCOL = """<!doctype html>
<html><head><meta charset="utf-8"><title>quillet: protocol</title></head>
<body>
<h1>Which protocol carried this page</h1>
<p>The server answered over <b id="server">HTTP/{version}</b> ({scheme}).</p>
<p>The browser fetched it over <b id="browser">(script disabled)</b>.</p>
<script>
const nav = performance.getEntriesByType("navigation")[0];
document.getElementById("browser").textContent = nav ? nav.nextHopProtocol : "(unknown)";
document.title = "protocol: " + (nav ? nav.nextHopProtocol : "unknown");
</script>
</body></html>
"""


def protocol_name(scope: dict) -> str:
    """How the request came, for people: HTTP/1.1 or HTTP/2, in the clear or over TLS."""
    tls = scope["scheme"] == "https"
    if scope["http_version"] == "2":
        return "HTTP/2 over TLS" if tls else "HTTP/2 in the clear (h2c)"
    return f"HTTP/{scope['http_version']}" + (" over TLS" if tls else "")


async def _read_body(receive) -> bytes:
    parts = []
    while True:
        message = await receive()
        if message["type"] == "http.disconnect":
            break
        parts.append(message.get("body", b""))
        if not message.get("more_body", False):
            break
    return b"".join(parts)


async def _simple(send, status: int, body: bytes, content_type: bytes) -> None:
    await send({"type": "http.response.start", "status": status,
                "headers": [(b"content-type", content_type),
                            (b"content-length", str(len(body)).encode())]})
    await send({"type": "http.response.body", "body": body})


async def app(scope, receive, send) -> None:
    kind = scope["type"]
    if kind == "lifespan":
        while True:
            message = await receive()
            if message["type"] == "lifespan.startup":
                scope["state"]["started"] = True
                await send({"type": "lifespan.startup.complete"})
            elif message["type"] == "lifespan.shutdown":
                await send({"type": "lifespan.shutdown.complete"})
                return
    if kind != "http":
        raise ValueError(f"unsupported scope type {kind!r}")

    path = scope["path"]
    if path == "/":
        page = HELLO.format(protocol=protocol_name(scope))
        await _simple(send, 200, page.encode(), b"text/html; charset=utf-8")
    elif path == "/echo":
        body = await _read_body(receive)
        content_type = dict(scope["headers"]).get(b"content-type", b"application/octet-stream")
        await _simple(send, 200, body, content_type)
    elif path == "/stream":
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"content-type", b"text/plain; charset=utf-8")]})
        for i in range(1, 11):
            await send({"type": "http.response.body", "body": b"line %d of 10\n" % i,
                        "more_body": True})
            await asyncio.sleep(0.1)
        await send({"type": "http.response.body", "body": b""})
    elif path == "/protocol":
        page = PROTOCOL.format(version=scope["http_version"], scheme=scope["scheme"])
        await _simple(send, 200, page.encode(), b"text/html; charset=utf-8")
    elif path == "/download":
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"content-type", b"application/octet-stream"),
                                (b"content-length", str(DOWNLOAD_SIZE).encode())]})
        for offset in range(0, DOWNLOAD_SIZE, len(_PIECE)):
            await send({"type": "http.response.body", "body": _PIECE,
                        "more_body": offset + len(_PIECE) < DOWNLOAD_SIZE})
    else:
        await _simple(send, 404, b"not found\n", b"text/plain")
