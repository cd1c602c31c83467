"""Content decoding end to end: bodies our server sends gzip-, deflate- (zlib-wrapped and raw)
and br-encoded, alone and stacked, cut into awkward pieces, over HTTP/1.1 and h2c; the default
Accept-Encoding; broken and truncated data; and the guard against compression bombs."""

import asyncio
import gzip
import json
import zlib

import pytest

import quillet
from client_peers import ServerThread

try:
    import brotli
except ImportError:
    brotli = None

TEXT = b"".join(b"line %d of a body that compresses well\n" % i for i in range(20000))


def deflate_raw(data):
    obj = zlib.compressobj(6, zlib.DEFLATED, -zlib.MAX_WBITS)
    return obj.compress(data) + obj.flush()


def brotli_or_skip(data):
    if brotli is None:
        pytest.skip("the optional brotli package is not installed")
    return brotli.compress(data, quality=5)


ENCODERS = {"gzip": gzip.compress, "deflate": zlib.compress, "deflate-raw": deflate_raw,
            "br": brotli_or_skip}


def encode(codings, data):
    """`data` encoded by each coding in turn, and the Content-Encoding that says so."""
    for coding in codings:
        data = ENCODERS[coding](data)
    return data, ", ".join(c.replace("-raw", "") for c in codings)


# what the next request's response is: (content-encoding, body, piece size)
PLAN = {}


async def app(scope, receive, send):
    if scope["type"] != "http":
        return
    while (await receive()).get("more_body"):
        pass
    if scope["path"] == "/inspect":
        fields = {n.decode(): v.decode() for n, v in scope["headers"]}
        body = json.dumps(fields).encode()
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": body})
        return
    coding, body, piece = PLAN[scope["path"]]
    headers = [(b"content-encoding", coding.encode())] if coding else []
    await send({"type": "http.response.start", "status": 200, "headers": headers})
    for at in range(0, len(body), piece):
        await send({"type": "http.response.body", "body": body[at:at + piece],
                    "more_body": True})
    await send({"type": "http.response.body", "body": b""})


@pytest.fixture(scope="module")
def srv():
    server = ServerThread(app, access_log=False)
    yield server
    server.stop()


def run(coro):
    return asyncio.run(coro)


@pytest.mark.parametrize("http2", [False, True], ids=["http/1.1", "h2c"])
@pytest.mark.parametrize("codings", [
    ["gzip"], ["deflate"], ["deflate-raw"], ["br"], ["gzip", "br"], ["deflate-raw", "gzip"],
    ["br", "deflate", "gzip"]], ids=lambda c: "+".join(c))
def test_codings_alone_and_stacked_decode_in_every_reading_mode(srv, codings, http2):
    encoded, header = encode(codings, TEXT)
    PLAN["/4096"] = (header, encoded, 4096)
    PLAN["/7"] = (header, encoded, 7)  # cut anywhere
    PLAN["/1"] = (header, encoded[:200], 1)  # single bytes, and a body that ends early

    async def main():
        async with quillet.AsyncClient(http2=http2, timeout=20) as client:
            whole = await client.get(srv.url("/4096"))
            async with client.stream("GET", srv.url("/7")) as response:
                pieces = [chunk async for chunk in response.aiter_bytes()]
            async with client.stream("GET", srv.url("/7")) as response:
                raw = b"".join([chunk async for chunk in response.aiter_raw()])
            async with client.stream("GET", srv.url("/1")) as response:
                try:
                    prefix = b"".join([chunk async for chunk in response.aiter_bytes()])
                except quillet.DecodingError as exc:  # a prefix ends early, by design
                    prefix = exc
            return whole, pieces, raw, prefix

    whole, pieces, raw, prefix = run(main())
    assert whole.content == TEXT and whole.headers["content-encoding"] == header.encode()
    assert b"".join(pieces) == TEXT and len(pieces) > 1
    assert raw == encoded  # aiter_raw leaves the codings alone
    assert isinstance(prefix, quillet.DecodingError) and "ended early" in str(prefix)


def test_accept_encoding_names_what_can_be_decoded(srv):
    async def main():
        async with quillet.AsyncClient() as client:
            default = (await client.get(srv.url("/inspect"))).json()
            own = (await client.get(srv.url("/inspect"),
                                    headers={"accept-encoding": "identity"})).json()
        return default, own

    default, own = run(main())
    expected = "gzip, deflate, br" if brotli is not None else "gzip, deflate"
    assert default["accept-encoding"] == expected
    assert own["accept-encoding"] == "identity"


def test_unknown_empty_invalid_and_multi_member_bodies(srv):
    PLAN["/unknown"] = ("zstd", b"\x28\xb5\x2f\xfdnot really", 100)
    PLAN["/empty"] = ("gzip", b"", 100)
    PLAN["/invalid"] = ("gzip", b"\x1f\x8b\x08\x00garbage" * 10, 100)
    PLAN["/members"] = ("gzip", gzip.compress(b"one ") + gzip.compress(b"two"), 5)
    PLAN["/identity"] = ("identity", b"as is", 100)

    async def main():
        async with quillet.AsyncClient() as client:
            got = {path: (await client.get(srv.url(path))).content
                   for path in ("/unknown", "/empty", "/members", "/identity")}
            with pytest.raises(quillet.DecodingError, match="invalid gzip content") as bad:
                await client.get(srv.url("/invalid"))
            after = await client.get(srv.url("/members"))  # the client goes on
        return got, bad.value, after

    got, error, after = run(main())
    assert got == {"/unknown": b"\x28\xb5\x2f\xfdnot really", "/empty": b"",
                   "/members": b"one two", "/identity": b"as is"}
    assert str(error).endswith(f"(GET {srv.url('/invalid')})")
    assert after.content == b"one two"


def zeros_encoded(coding, size):
    """`size` zero bytes in `coding`, made a MiB at a time (a 64 MiB object would move the
    allocator's thresholds for the rest of the test process)."""
    block = bytes(1 << 20)
    if coding == "br":
        if brotli is None:
            pytest.skip("the optional brotli package is not installed")
        obj = brotli.Compressor(quality=5)
        return b"".join(obj.process(block) for _ in range(size >> 20)) + obj.finish()
    obj = zlib.compressobj(9, zlib.DEFLATED, 16 + zlib.MAX_WBITS)
    return b"".join(obj.compress(block) for _ in range(size >> 20)) + obj.flush()


@pytest.mark.parametrize("codings", [["gzip"], ["gzip", "deflate-raw"], ["br"]],
                         ids=lambda c: "+".join(c))
def test_a_compression_bomb_is_refused_without_being_held(srv, codings):
    size = 64 << 20
    bomb = zeros_encoded(codings[0], size)
    bomb, header = encode(codings[1:], bomb)
    header = ", ".join([codings[0], header] if header else [codings[0]])
    assert len(bomb) * 100 < size  # far past the default ratio
    PLAN["/bomb"] = (header, bomb, 16384)

    async def main():
        async with quillet.AsyncClient(timeout=30) as client:
            with pytest.raises(quillet.DecodingError, match="compression bomb"):
                await client.get(srv.url("/bomb"))
            async with client.stream("GET", srv.url("/bomb")) as response:
                seen = 0
                with pytest.raises(quillet.DecodingError):
                    async for chunk in response.aiter_bytes():
                        seen += len(chunk)
        # a client that allows it decodes all of it, as it streams
        async with quillet.AsyncClient(timeout=30, max_decoded_ratio=None) as client:
            async with client.stream("GET", srv.url("/bomb")) as response:
                total = 0
                async for chunk in response.aiter_bytes():
                    total += len(chunk)
                    assert len(chunk) <= 1 << 20
        return seen, total

    seen, total = run(main())
    assert seen <= 10 << 20  # stopped at the floor: the bomb's encoded size is tiny
    assert total == size
