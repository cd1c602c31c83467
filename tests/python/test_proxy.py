"""ProxyMatcher and ProxyIntercept: which proxy a request goes through."""

import base64
import random

import pytest

from _quillet import ProxyIntercept, ProxyMatcher

ENV_NAMES = [
    "ALL_PROXY", "all_proxy", "HTTP_PROXY", "http_proxy", "HTTPS_PROXY", "https_proxy",
    "NO_PROXY", "no_proxy", "REQUEST_METHOD",
]


@pytest.fixture
def env(monkeypatch):
    for name in ENV_NAMES:
        monkeypatch.delenv(name, raising=False)
    return monkeypatch


def uri_of(matcher, url):
    found = matcher.intercept(url)
    return None if found is None else found.uri


def basic(text):
    return "Basic " + base64.b64encode(text.encode()).decode()


# ---- the environment ----

def test_from_env_reads_the_variables(env):
    env.setenv("HTTP_PROXY", "http://p:3128")
    env.setenv("https_proxy", "socks5://s:1080")
    env.setenv("no_proxy", "internal.example")
    m = ProxyMatcher.from_env()
    assert uri_of(m, "http://example.com/") == "http://p:3128/"
    assert uri_of(m, "https://example.com/") == "socks5://s:1080/"
    assert m.intercept("http://api.internal.example/") is None


def test_from_env_upper_case_wins(env):
    env.setenv("HTTP_PROXY", "http://upper:1")
    env.setenv("http_proxy", "http://lower:2")
    env.setenv("NO_PROXY", "a.example")
    env.setenv("no_proxy", "b.example")
    m = ProxyMatcher.from_env()
    assert uri_of(m, "http://x/") == "http://upper:1/"
    assert m.intercept("http://a.example/") is None
    assert uri_of(m, "http://b.example/") == "http://upper:1/"


def test_from_env_all_proxy_is_the_fallback(env):
    env.setenv("all_proxy", "http://all:9")
    env.setenv("HTTPS_PROXY", "http://secure:8")
    m = ProxyMatcher.from_env()
    assert uri_of(m, "http://x/") == "http://all:9/"
    assert uri_of(m, "https://x/") == "http://secure:8/"


@pytest.mark.parametrize("value", ["GET", ""])
def test_from_env_cgi_protection(env, value):
    env.setenv("HTTP_PROXY", "http://attacker:80")
    env.setenv("ALL_PROXY", "http://attacker:80")
    env.setenv("REQUEST_METHOD", value)
    m = ProxyMatcher.from_env()
    assert m.intercept("http://example.com/") is None
    assert m.intercept("https://example.com/") is None
    env.delenv("REQUEST_METHOD")
    assert uri_of(ProxyMatcher.from_env(), "http://example.com/") == "http://attacker:80/"


def test_from_env_with_nothing_set(env):
    assert ProxyMatcher.from_env().intercept("http://example.com/") is None


# ---- building from parts ----

def test_all_covers_both_schemes_and_empty_is_unset():
    for m in (ProxyMatcher.from_parts(all="http://p:1"),
              ProxyMatcher.from_parts(all="http://p:1", https="", http="")):
        assert uri_of(m, "http://x/") == "http://p:1/"
        assert uri_of(m, "https://x/") == "http://p:1/"
    m = ProxyMatcher.from_parts(http="http://h:1")
    assert m.intercept("https://x/") is None
    assert ProxyMatcher.from_parts(all="").intercept("http://x/") is None


def test_unusable_scheme_proxy_falls_back_to_all():
    m = ProxyMatcher.from_parts(all="http://all:1", http="ftp://nope:2")
    assert uri_of(m, "http://x/") == "http://all:1/"


@pytest.mark.parametrize("text,uri", [
    ("p.example:8080", "http://p.example:8080/"),
    ("p.example", "http://p.example/"),
    ("http://p:3128/some/path?q=1", "http://p:3128/"),
    ("https://p", "https://p/"),
    ("socks4://p:1", "socks4://p:1/"),
    ("socks4a://p:1", "socks4a://p:1/"),
    ("socks5://p:1", "socks5://p:1/"),
    ("socks5h://[::1]:1080", "socks5h://[::1]:1080/"),
    ("http://u:pw@p:1", "http://p:1/"),
    ("u:pw@p:8080", "http://p:8080/"),
    # unusable: no proxy at all
    ("ftp://p:1", None),
    ("SOCKS5://p:1", "socks5://p:1/"),  # schemes ignore case
    ("HTTP://proxy:3128", "http://proxy:3128/"),
    ("*", None),
    ("http://p:70000", None),
    ("http://", None),
    ("http:/p", None),
    ("http://bad host", None),
    ("\ud800", None),
])
def test_proxy_urls(text, uri):
    assert uri_of(ProxyMatcher.from_parts(all=text), "http://x/") == uri


@pytest.mark.parametrize("kwargs,message", [
    ({"all": 1}, "all must be str or None, not int"),
    ({"http": b"http://p:1"}, "http must be str or None, not bytes"),
    ({"https": ["x"]}, "https must be str or None, not list"),
    ({"no": 0.5}, "no must be str or None, not float"),
])
def test_from_parts_wrong_types(kwargs, message):
    with pytest.raises(TypeError, match=message):
        ProxyMatcher.from_parts(**kwargs)


def test_from_parts_is_keyword_only_and_from_env_takes_nothing():
    with pytest.raises(TypeError):
        ProxyMatcher.from_parts("http://p:1")
    with pytest.raises(TypeError):
        ProxyMatcher.from_parts(other="x")
    with pytest.raises(TypeError, match="takes no arguments"):
        ProxyMatcher.from_env(1)


# ---- credentials ----

def test_basic_auth_decodes_the_user_information():
    m = ProxyMatcher.from_parts(all="http://John%20Doe:s3cret@p:1")
    found = m.intercept("https://x/")
    assert found.basic_auth() == basic("John Doe:s3cret")
    assert found.raw_auth() is None
    assert found.uri == "http://p:1/"
    no_password = ProxyMatcher.from_parts(all="https://John%20Doe@p:1").intercept("http://x/")
    assert no_password.basic_auth() == basic("John Doe:")
    # only the first ":" splits; the first "@" ends the user information
    assert ProxyMatcher.from_parts(all="http://u:a:b@p").intercept("http://x/").basic_auth() \
        == basic("u:a:b")


def test_invalid_utf8_is_replaced():
    found = ProxyMatcher.from_parts(all="socks5://a%FFb:%C3%A9%E2%82@p:1").intercept("http://x/")
    assert found.raw_auth() == ("a\ufffdb", "\u00e9\ufffd")
    found = ProxyMatcher.from_parts(all="http://%ff:x@p").intercept("http://x/")
    assert found.basic_auth() == basic("\ufffd:x")


@pytest.mark.parametrize("raw", [b"\xc0\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xe2\x82",
                                 b"\xf0\x9f\x98\x80\x80", b"ok\xe9"])
def test_replacement_agrees_with_python(raw):
    escaped = "".join(f"%{b:02X}" for b in raw)
    found = ProxyMatcher.from_parts(all=f"socks5h://{escaped}@p").intercept("http://x/")
    assert found.raw_auth() == (raw.decode("utf-8", "replace"), "")


def test_socks_gives_raw_auth():
    found = ProxyMatcher.from_parts(all="socks5://user:pa%3Ass@p:1080").intercept("http://x/")
    assert found.raw_auth() == ("user", "pa:ss")
    assert found.basic_auth() is None
    assert ProxyMatcher.from_parts(all="socks4://u@p").intercept("http://x/").raw_auth() == ("u", "")
    plain = ProxyMatcher.from_parts(all="socks5://p").intercept("http://x/")
    assert plain.raw_auth() is None and plain.basic_auth() is None
    assert ProxyMatcher.from_parts(all="http://p").intercept("http://x/").basic_auth() is None


# Printable ASCII without ":" (it would split) and "%" (it would start an escape); the rest is
# percent-encoded so that the URI grammar takes it.
ALPHABET = [chr(c) for c in range(0x20, 0x7F) if chr(c) not in ":%"]


def test_base64_agrees_with_the_standard_library():
    rng = random.Random(4648)
    for length in range(65):
        for _ in range(3):
            user_len = rng.randint(0, length)
            user = "".join(rng.choice(ALPHABET) for _ in range(user_len))
            # user ":" password is `length` bytes when there is a password (length >= 1)
            password = "".join(rng.choice(ALPHABET) for _ in range(max(length - user_len - 1, 0)))
            enc = lambda s: "".join(f"%{ord(c):02X}" for c in s)  # noqa: E731
            url = f"http://{enc(user)}:{enc(password)}@p:1"
            found = ProxyMatcher.from_parts(all=url).intercept("http://x/")
            expected = base64.b64encode(f"{user}:{password}".encode()).decode()
            assert found.basic_auth() == "Basic " + expected, (length, user, password)


# ---- no-proxy matching ----

@pytest.mark.parametrize("pattern", ["example.com", ".example.com", "EXAMPLE.com"])
@pytest.mark.parametrize("host,bypassed", [
    ("example.com", True),
    ("www.example.com", True),
    ("a.b.Example.COM", True),
    ("badexample.com", False),
    ("example.com.evil", False),
    ("example.org", False),
])
def test_domain_patterns(pattern, host, bypassed):
    m = ProxyMatcher.from_parts(all="http://p:1", no=f"other.test, {pattern} ,")
    assert (m.intercept(f"http://{host}/") is None) == bypassed


@pytest.mark.parametrize("no,host,bypassed", [
    ("10.0.0.0/8", "10.255.1.2", True),
    ("10.0.0.0/8", "11.0.0.1", False),
    ("10.0.0.0/8", "[::ffff:10.0.0.1]", False),  # families never mix
    ("0.0.0.0/0", "203.0.113.9", True),
    ("0.0.0.0/0", "[::1]", False),
    ("192.168.1.7/32", "192.168.1.7", True),
    ("192.168.1.7/32", "192.168.1.8", False),
    ("192.168.1.7", "192.168.1.7", True),
    ("::1", "[::1]", True),
    ("::1/128", "[::1]", True),
    ("::1/128", "[::2]", False),
    ("2001:db8::/32", "[2001:db8:ffff::1]", True),
    ("2001:db8::/32", "[2001:db9::1]", False),
    ("::/0", "[fe80::1]", True),
    ("::/0", "127.0.0.1", False),
    # a bad prefix makes a domain pattern, which never matches an address
    ("10.0.0.0/33", "10.0.0.1", False),
    # an address destination is never compared with the domain patterns
    ("0.0.1", "10.0.0.1", False),
])
def test_ip_entries(no, host, bypassed):
    m = ProxyMatcher.from_parts(all="http://p:1", no=no)
    assert (m.intercept(f"https://{host}:8443/") is None) == bypassed


@pytest.mark.parametrize("url", ["http://10.0.0.1/", "https://[2001:db8::1]/", "http://example.com"])
def test_star_bypasses_every_host(url):
    assert ProxyMatcher.from_parts(all="http://p:1", no="*").intercept(url) is None
    assert ProxyMatcher.from_parts(all="http://p:1", no="x.test, *").intercept(url) is None


# ---- destinations ----

@pytest.mark.parametrize("url", [
    "ws://example.com/", "wss://example.com/", "ftp://example.com/", "example.com:80",
    "/just/a/path", "*", "", "http://bad host/", "http://h:99999/", "not a url", "\udc80",
])
def test_direct_destinations(url):
    assert ProxyMatcher.from_parts(all="http://p:1").intercept(url) is None


def test_scheme_ignores_letter_case():
    m = ProxyMatcher.from_parts(http="http://h:1", https="http://s:2")
    assert uri_of(m, "HTTP://x/") == "http://h:1/"
    assert uri_of(m, "HttpS://x/") == "http://s:2/"


def test_intercept_arguments():
    m = ProxyMatcher.from_parts(all="http://p:1")
    with pytest.raises(TypeError, match="url must be str, not bytes"):
        m.intercept(b"http://x/")
    with pytest.raises(TypeError):
        m.intercept()
    assert m.intercept(url="http://x/").uri == "http://p:1/"


# ---- the classes ----

def test_classes_are_final_and_not_constructible():
    for cls in (ProxyMatcher, ProxyIntercept):
        with pytest.raises(TypeError):
            cls()
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    assert ProxyMatcher.__module__ == "quillet._quillet"


def test_intercept_is_frozen_and_repr():
    found = ProxyMatcher.from_parts(all="socks5h://u:p@[::1]:1080").intercept("http://x/")
    with pytest.raises(AttributeError):
        found.uri = "http://other/"
    assert repr(found) == 'ProxyIntercept(uri="socks5h://[::1]:1080/")'
    assert isinstance(found, ProxyIntercept)
