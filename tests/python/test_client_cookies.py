"""Cookies and credentials of quillet.AsyncClient against our server on loopback: what
responses set is kept and sent back where it belongs, across redirects too, and Basic
credentials come from the one place that should give them."""

import asyncio
import base64
import http.cookiejar
from urllib.parse import quote

import pytest

import client_app
import quillet
from client_peers import ServerThread


@pytest.fixture(scope="module")
def srv():
    server = ServerThread(client_app.app, access_log=False)
    yield server
    server.stop()


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 30))


def set_cookie(srv, *values, to=None, host="127.0.0.1"):
    query = "&".join(f"c={quote(v, safe='')}" for v in values)
    if to is not None:
        query += f"&to={quote(to, safe='')}"
    return f"http://{host}:{srv.port}/set-cookie?{query}"


async def cookie_sent(client, url):
    """The Cookie field that reached the server for `url` (an /inspect path), or None."""
    report = (await client.get(url)).json()
    values = [v for n, v in report["headers"] if n == "cookie"]
    assert len(values) <= 1, values
    return values[0] if values else None


def test_cookies_set_by_a_redirect_go_with_the_next_request_and_stay(srv):
    async def main():
        async with quillet.AsyncClient(follow_redirects=True) as client:
            # a login's usual shape: a POST answered by a redirect that sets the session
            response = await client.post(set_cookie(srv, "sid=abc; Path=/; HttpOnly",
                                                    to="/inspect"))
            first = [v for n, v in response.json()["headers"] if n == "cookie"]
            later = await cookie_sent(client, srv.url("/inspect"))
            kept = {c.name: c.value for c in client.cookies}
            # a cookie with Max-Age=0 is removed, another replaced
            await client.get(set_cookie(srv, "sid=; Max-Age=0", "theme=dark"))
            after = await cookie_sent(client, srv.url("/inspect"))
            return first, later, kept, after, response.request.headers.get("cookie")
    assert run(main()) == (["sid=abc"], "sid=abc", {"sid": "abc"}, "theme=dark", b"sid=abc")


def test_cookies_go_only_where_their_attributes_allow(srv):
    async def main():
        async with quillet.AsyncClient() as client:
            await client.get(set_cookie(srv, "any=1", "deep=2; Path=/deep", "safe=3; Secure"))
            root = await cookie_sent(client, srv.url("/inspect"))
            deep = await cookie_sent(client, srv.url("/deep/inspect"))
            # a cookie without Domain belongs to the host that set it, not to another name
            # of the same server
            other = await cookie_sent(client, f"http://localhost:{srv.port}/inspect")
            return root, deep, other
    # Secure: never over http://; the longer path first (RFC 6265 section 5.4)
    assert run(main()) == ("any=1", "deep=2; any=1", None)


def test_a_redirect_to_another_host_is_given_that_hosts_cookies(srv):
    async def main():
        async with quillet.AsyncClient(follow_redirects=True) as client:
            await client.get(set_cookie(srv, "mine=here"))
            await client.get(set_cookie(srv, "theirs=there", host="localhost"))
            away = f"http://localhost:{srv.port}/inspect"
            response = await client.get(set_cookie(srv, "more=1", to=away))
            return [v for n, v in response.json()["headers"] if n == "cookie"]
    assert run(main()) == ["theirs=there"]


def test_given_cookies_and_fields(srv):
    async def main():
        jar = http.cookiejar.CookieJar()
        async with quillet.AsyncClient(cookies={"a": "1", "b": "two"}) as client:
            mapped = await cookie_sent(client, f"http://localhost:{srv.port}/inspect")
            # a Cookie field of the caller's is sent as it is, the jar's cookies not added
            report = (await client.get(srv.url("/inspect"), headers={"cookie": "x=9"})).json()
            given = [v for n, v in report["headers"] if n == "cookie"]
        async with quillet.AsyncClient(cookies=jar) as client:
            await client.get(set_cookie(srv, "kept=yes"))
        return mapped, given, [c.name for c in jar]
    assert run(main()) == ("a=1; b=two", ["x=9"], ["kept"])
    for bad, error in [({"a": "x;y"}, ValueError), ({"": "1"}, ValueError),
                       ({"a": "\r\n"}, ValueError), ({"a": 1}, TypeError)]:
        with pytest.raises(error, match="cookie|cookie's"):
            quillet.AsyncClient(cookies=bad)


def test_basic_credentials_come_from_one_place(srv):
    def sent(client, url, **options):
        return client.build_request("GET", url, **options).headers.get("authorization")
    def basic(token):
        return b"Basic " + base64.b64encode(token)
    client = quillet.AsyncClient(auth=("client", "pw"))
    assert sent(client, "http://h/") == basic(b"client:pw")
    assert sent(client, "http://h/", auth=("req", "\u00e9")) == basic("req:\u00e9".encode())
    assert sent(client, "http://url:cred@h/") == basic(b"url:cred")
    assert sent(client, "http://h/", auth=None) is None
    assert sent(client, "http://url:cred@h/", auth=None) == basic(b"url:cred")
    assert sent(client, "http://h/", headers={"authorization": "Bearer t"}) == b"Bearer t"
    with pytest.raises(TypeError, match="auth is a"):
        quillet.AsyncClient(auth="user:pw")

    async def main():
        # the client's credentials do not follow a redirect to another origin
        async with quillet.AsyncClient(auth=("u", "p"), follow_redirects=True) as client:
            away = f"http://localhost:{srv.port}/inspect"
            to = srv.url(f"/redirect/302?to={quote(away, safe='')}")
            report = (await client.get(to)).json()
            here = (await client.get(srv.url("/inspect"))).json()
        fields = lambda r: {n for n, _ in r["headers"]}  # noqa: E731
        return "authorization" in fields(report), "authorization" in fields(here)
    assert run(main()) == (False, True)
