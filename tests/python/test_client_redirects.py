"""Redirects followed by quillet.AsyncClient against our server on loopback: the method and
body rules of each status, the history, the limit, credentials across origins, relative
Locations and fragments, and a streamed body that cannot follow."""

import asyncio
from urllib.parse import quote

import pytest

import client_app
import quillet
from client_peers import ServerThread


def run(coro):
    return asyncio.run(coro)


@pytest.fixture(scope="module")
def srv():
    server = ServerThread(client_app.app, access_log=False)
    yield server
    server.stop()


@pytest.fixture(scope="module")
def other():
    server = ServerThread(client_app.app, access_log=False)
    yield server
    server.stop()


def redirect(srv, status, to):
    return srv.url(f"/redirect/{status}?to={quote(to, safe='')}")


@pytest.mark.parametrize("status, method, after, keeps_body", [
    (301, "POST", "GET", False), (302, "POST", "GET", False), (303, "POST", "GET", False),
    (303, "PUT", "GET", False), (303, "HEAD", "HEAD", False), (301, "PUT", "PUT", True),
    (302, "DELETE", "DELETE", True), (307, "POST", "POST", True), (308, "PUT", "PUT", True),
    (307, "PATCH", "PATCH", True)])
def test_each_status_rewrites_the_method_and_body_as_rfc_9110_says(srv, status, method,
                                                                   after, keeps_body):
    async def main():
        async with quillet.AsyncClient(follow_redirects=True, timeout=10) as client:
            return await client.request(method, redirect(srv, status, "/inspect"),
                                        json={"k": "v"})

    response = run(main())
    assert [r.status_code for r in response.history] == [status]
    assert response.request.method == after
    if after == "HEAD":
        assert response.content == b""
        return
    seen = response.json()
    fields = dict(seen["headers"])
    assert seen["method"] == after
    if keeps_body:
        assert seen["body"] == '{"k":"v"}' and fields["content-type"] == "application/json"
    else:
        assert seen["body"] == "" and "content-type" not in fields
        assert fields.get("content-length", "0") == "0"


def test_history_records_each_hop_and_redirects_are_returned_unless_followed(srv):
    start = redirect(srv, 302, redirect(srv, 301, "/inspect?end=1"))

    async def main():
        async with quillet.AsyncClient(timeout=10) as client:
            unfollowed = await client.get(start)
            followed = await client.get(start, follow_redirects=True)
            return unfollowed, followed, client.connections_opened

    unfollowed, followed, opened = run(main())
    assert unfollowed.status_code == 302 and unfollowed.is_redirect
    assert unfollowed.content == b"moved " and unfollowed.history == []
    assert followed.status_code == 200 and followed.json()["query"] == "end=1"
    assert [(r.status_code, str(r.url)) for r in followed.history] == [
        (302, start), (301, redirect(srv, 301, "/inspect?end=1"))]
    assert str(followed.url) == srv.url("/inspect?end=1")
    assert opened == 1  # the redirects' bodies were read: one connection served every hop


def test_the_redirect_limit(srv):
    async def main():
        async with quillet.AsyncClient(follow_redirects=True, timeout=10) as client:
            with pytest.raises(quillet.TooManyRedirects) as default:
                await client.get(srv.url("/loop"))
            client.max_redirects = 3
            with pytest.raises(quillet.TooManyRedirects) as three:
                await client.get(srv.url("/loop"))
            return default.value, three.value

    default, three = run(main())
    assert str(default) == f"more than 20 redirects (GET {srv.url('/loop?n=20')})"
    assert str(three) == f"more than 3 redirects (GET {srv.url('/loop?n=3')})"


def test_credentials_are_dropped_when_the_origin_changes(srv, other):
    secret = {"authorization": "Bearer s3cret", "cookie": "id=1",
              "proxy-authorization": "Basic eDp5", "x-other": "kept"}

    async def main():
        async with quillet.AsyncClient(follow_redirects=True, timeout=10) as client:
            same = await client.get(redirect(srv, 302, "/inspect"), headers=secret)
            away = await client.get(redirect(srv, 307, other.url("/inspect")), headers=secret)
            return dict(same.json()["headers"]), dict(away.json()["headers"])

    same, away = run(main())
    assert {name: same[name] for name in secret} == secret
    assert away["x-other"] == "kept"
    assert not {"authorization", "cookie", "proxy-authorization"} & set(away)
    assert away["host"] == f"127.0.0.1:{other.port}"


@pytest.mark.parametrize("location, path, query", [
    ("/inspect", "/inspect", ""),
    ("inspect?a=1", "/redirect/inspect", "a=1"),
    ("../inspect", "/inspect", ""),
    ("?to=%2Finspect%3Fc%3D3", "/inspect", "c=3"),  # the same path, then on
    ("//127.0.0.1:{port}/inspect?b=2", "/inspect", "b=2"),
])
def test_relative_locations_resolve_against_the_request_url(srv, location, path, query):
    async def main():
        async with quillet.AsyncClient(timeout=10) as client:
            response = await client.get(redirect(srv, 302, location.format(port=srv.port)),
                                        follow_redirects=True)
            return response

    response = run(main())
    assert (response.url.path, response.url.query) == (path, query)
    if path == "/inspect":
        assert response.json()["path"] == "/inspect"


def test_the_fragment_carries_over_unless_the_location_has_its_own(srv):
    async def main():
        async with quillet.AsyncClient(follow_redirects=True, timeout=10) as client:
            kept = await client.get(redirect(srv, 301, "/inspect") + "#section")
            replaced = await client.get(redirect(srv, 301, "/inspect#other") + "#section")
            return kept, replaced

    kept, replaced = run(main())
    assert str(kept.url) == srv.url("/inspect#section")
    assert str(replaced.url) == srv.url("/inspect#other")


def test_a_streamed_body_ends_a_chain_that_needs_it_again(srv):
    async def body():
        yield b"stream"

    async def main():
        async with quillet.AsyncClient(follow_redirects=True, timeout=10) as client:
            with pytest.raises(quillet.StreamConsumed) as info:
                await client.post(redirect(srv, 307, "/inspect"), content=body())
            # a 303 drops the body, so the chain goes on
            after_303 = await client.post(redirect(srv, 303, "/inspect"), content=body())
            return info.value, after_303

    error, after_303 = run(main())
    assert str(error) == ("the request body was a stream, sent already; the 307 redirect to "
                          f"{srv.url('/inspect')} needs it again (POST "
                          f"{redirect(srv, 307, '/inspect')})")
    assert after_303.json()["method"] == "GET"


@pytest.mark.parametrize("location, error", [
    ("http://h:99999/", "invalid port"), ("ftp://example.com/", "is not http or https")])
def test_an_unusable_location_is_a_protocol_error(srv, location, error):
    async def main():
        async with quillet.AsyncClient(follow_redirects=True, timeout=10) as client:
            with pytest.raises(quillet.RemoteProtocolError, match=error):
                await client.get(redirect(srv, 302, location))
    run(main())
