"""uri_parts(url): the parts a client dials and addresses a request with."""

import pytest

from _quillet import uri_parts

NONE4 = (None, None, None, None)


@pytest.mark.parametrize("url,parts", [
    ("http://example.com/a", ("http", "example.com", 80, "example.com:80")),
    ("https://[::1]:8443/", ("https", "::1", 8443, "[::1]:8443")),
    ("wss://h/x?y", ("wss", "h", 443, "h:443")),
    ("ws://h", ("ws", "h", 80, "h:80")),
    ("ftp://h/", ("ftp", "h", None, None)),
    ("socks5h://proxy:1080", ("socks5h", "proxy", 1080, "proxy:1080")),
    # only http and https are folded to lower case; the default table matches exactly
    ("HTTP://Example.COM/", ("http", "Example.COM", 80, "Example.COM:80")),
    ("HtTpS://h", ("https", "h", 443, "h:443")),
    ("WS://h/", ("WS", "h", None, None)),
    # user information is never part of the authority that is sent
    ("http://user:p%40ss@h:81/", ("http", "h", 81, "h:81")),
    # the port is written back in decimal; an empty port falls back to the default
    ("http://h:0080/", ("http", "h", 80, "h:80")),
    ("http://h:/", ("http", "h", 80, "h:80")),
    ("http://10.0.0.1:65535", ("http", "10.0.0.1", 65535, "10.0.0.1:65535")),
    ("h:8080", (None, "h", 8080, "h:8080")),
    ("[2001:db8::1]:0", (None, "2001:db8::1", 0, "[2001:db8::1]:0")),
    ("/path?q=1", NONE4),
    ("//not-a-host/", NONE4),
    ("*", NONE4),
])
def test_parts(url, parts):
    result = uri_parts(url)
    assert type(result) is tuple
    assert result == parts
    assert type(result[2]) is (int if parts[2] is not None else type(None))


@pytest.mark.parametrize("url,reason", [
    ("http://h:99999/", "invalid port"),  # never dialled on a default port instead
    ("http://h:65536/", "invalid port"),
    ("http://a b/", "invalid uri character"),
    ("http://h/#frag", "invalid uri character"),
    ("http://h/%zz", "invalid uri character"),
    ("1http://h/", "invalid scheme"),
    ("http://[::1/", "invalid authority"),
    ("http://:80/", "invalid authority"),
    ("example.com", "invalid format"),
    ("://h/", "scheme missing"),
    ("localhost:8080/x", "scheme missing"),
    ("http:///x", "authority missing"),
    ("?q", "path missing"),
    ("a/b", "path does not start with slash"),
    ("/" + "a" * 65534, "uri too long"),
    ("", "empty string"),
    ("a" * 65 + "://h/", "scheme too long"),
])
def test_reasons(url, reason):
    with pytest.raises(ValueError) as info:
        uri_parts(url)
    assert type(info.value) is ValueError
    assert str(info.value) == f'invalid url "{url}": {reason}'


@pytest.mark.parametrize("url,shown", [
    ('http://a"b/', r'"http://a\"b/"'),
    ("/a\\b c", r'"/a\\b c"'),
    ("http://a\x01\tb/", r'"http://a\x01\tb/"'),
    ("http://caf\u00e9/", '"http://caf\u00e9/"'),  # well-formed text is shown as it is
    ("/\ud800", r'"/\xed\xa0\x80"'),  # a lone surrogate, as the bytes of its code unit
])
def test_message_quotes_the_url(url, shown):
    with pytest.raises(ValueError) as info:
        uri_parts(url)
    assert str(info.value) == f"invalid url {shown}: invalid uri character"


def test_arguments():
    assert uri_parts(url="/") == NONE4
    for wrong in (b"http://h/", None, 1):
        with pytest.raises(TypeError, match="url must be str"):
            uri_parts(wrong)
    with pytest.raises(TypeError):
        uri_parts()
    with pytest.raises(TypeError):
        uri_parts("/", "/")
    with pytest.raises(TypeError):
        uri_parts(link="/")
