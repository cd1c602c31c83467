"""A real browser's WebSocket over HTTP/2: headless Chromium loads a page from the server over
TLS (ALPN h2); the page opens wss:// to the same origin, which Chromium carries over the h2
connection as an extended CONNECT since the server announces it; it exchanges text and binary
messages and writes what it got into the DOM, which the test reads (`--dump-dom`)."""

import asyncio
import re

import pytest

from quillet.server import tls_context
from test_browser import CHROMIUM, chromium  # noqa: F401 (the skip condition's inputs)
from test_e2e_server import ServerThread
from test_e2e_tls import make_cert

pytestmark = pytest.mark.skipif(CHROMIUM is None, reason="chromium is not installed")

# The page writes what came back into #result, then closes. Its image is held by the server
# until the session is over, so that the load event (after which the DOM is dumped) comes after.
PAGE = b"""<!doctype html>
<html><head><meta charset="utf-8"><title>quillet websocket</title></head><body>
<p>WebSocket: <b id="result">pending</b></p>
<script>
const out = document.getElementById("result");
const got = [];
const ws = new WebSocket("wss://" + location.host + "/ws", ["chat"]);
ws.binaryType = "arraybuffer";
ws.onmessage = (e) => {
  got.push(typeof e.data === "string" ? "text:" + e.data
                                      : "binary:" + Array.from(new Uint8Array(e.data)).join(","));
  if (got.length === 1) ws.send("h\\u00e9llo");
  else if (got.length === 2) ws.send(new Uint8Array([0, 1, 2, 255]));
  else if (got.length === 3) {
    out.textContent = got.join("|") + "|protocol:" + ws.protocol;
    ws.close(1000, "done");
  }
};
ws.onclose = (e) => { if (got.length < 3) out.textContent = "closed:" + e.code; };
</script>
<img src="/hold" alt="">
</body></html>"""


class App:
    def __init__(self):
        self.sessions = []  # (http_version, disconnect code) of each WebSocket

    async def __call__(self, scope, receive, send):
        if scope["type"] == "lifespan":
            while (await receive())["type"] != "lifespan.shutdown":
                await send({"type": "lifespan.startup.complete"})
            await send({"type": "lifespan.shutdown.complete"})
            return
        if scope["type"] == "websocket":
            return await self.websocket(scope, receive, send)
        if scope["path"] == "/hold":
            for _ in range(300):  # the session ends, or 15 s
                if self.sessions:
                    break
                await asyncio.sleep(0.05)
            body, kind = b"", b"image/gif"
        else:
            body, kind = PAGE, b"text/html; charset=utf-8"
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"content-type", kind), (b"cache-control", b"no-store")]})
        await send({"type": "http.response.body", "body": body})

    async def websocket(self, scope, receive, send):
        assert (await receive())["type"] == "websocket.connect"
        await send({"type": "websocket.accept", "subprotocol": "chat"})
        await send({"type": "websocket.send", "text": "http/" + scope["http_version"]})
        while True:
            message = await receive()
            if message["type"] == "websocket.disconnect":
                self.sessions.append((scope["http_version"], message["code"]))
                return
            await send({"type": "websocket.send", "text": message.get("text"),
                        "bytes": message.get("bytes")})


def test_chromium_websocket_over_http2(tmp_path):
    app = App()
    server = ServerThread(app, ssl=tls_context(*make_cert(str(tmp_path))))
    try:
        url = f"https://127.0.0.1:{server.port}/"
        dom = chromium(tmp_path / "profile", "--dump-dom", url)
        result = re.search(r'<b id="result">([^<]*)</b>', dom)
        assert result, dom[:2000]
        assert result.group(1) == ("text:http/2|text:h\u00e9llo|binary:0,1,2,255|protocol:chat")
        assert app.sessions == [("2", 1000)]  # the server saw it over HTTP/2, closed in order
    finally:
        server.stop()
