"""H1Codec head encoding: exact bytes, framing decisions and the close verdicts."""

import re

import pytest

from _quillet import H1Codec, H1UserError, HeaderMap, http_date

DATE = re.compile(rb"date: [A-Z][a-z]{2}, \d\d [A-Z][a-z]{2} \d{4} \d\d:\d\d:\d\d GMT\r\n")


def server(request=b"GET / HTTP/1.1\r\nHost: x\r\n\r\n", **config):
    codec = H1Codec(date_header=False, **config)
    codec.receive_request_head(request)
    return codec


def test_plain_200_with_and_without_date():
    out = H1Codec().serialize_response(200)
    assert out.startswith(b"HTTP/1.1 200 OK\r\ncontent-length: 0\r\ndate: ")
    assert DATE.search(out) and out.endswith(b"\r\n\r\n") and len(out) == 17 + 19 + 37 + 2
    assert out[-33:-4] in (http_date(), out[-33:-4])
    assert server().serialize_response(200) == b"HTTP/1.1 200 OK\r\ncontent-length: 0\r\n\r\n"


def test_caller_date_wins():
    out = H1Codec().serialize_response(200, HeaderMap({"Date": "x"}))
    assert out == b"HTTP/1.1 200 OK\r\ndate: x\r\ncontent-length: 0\r\n\r\n"


@pytest.mark.parametrize("status,line", [
    (404, b"HTTP/1.1 404 Not Found\r\n"),
    (431, b"HTTP/1.1 431 Request Header Fields Too Large\r\n"),
    (599, b"HTTP/1.1 599 <none>\r\n"),
    (999, b"HTTP/1.1 999 <none>\r\n"),
])
def test_status_lines(status, line):
    assert server().serialize_response(status).startswith(line)


def test_status_range_and_informational():
    codec = server()
    for bad in (99, 1000, -1, 2**70):
        with pytest.raises(ValueError, match="^invalid status: invalid status code$"):
            codec.serialize_response(bad)
    with pytest.raises(TypeError):
        codec.serialize_response("200")
    with pytest.raises(H1UserError) as info:
        codec.serialize_response(100)
    assert info.value.args == (
        "unsupported_status_code", "response has 1xx status code, not supported by server")
    codec.serialize_response(101)
    assert codec.response_is_last is True


def test_chunked_and_http10_close_delimited():
    codec = server()
    assert codec.serialize_response(200, chunked=True) == (
        b"HTTP/1.1 200 OK\r\ntransfer-encoding: chunked\r\n\r\n")
    assert codec.response_close_delimited is False and codec.response_is_last is False
    codec = server(b"GET / HTTP/1.0\r\n\r\n")
    assert codec.serialize_response(200, http10=True, keep_alive=False, chunked=True) == (
        b"HTTP/1.0 200 OK\r\n\r\n")
    assert codec.response_close_delimited is True


def test_bodyless_statuses_and_head():
    codec = server()
    assert codec.serialize_response(204, content_length=5) == b"HTTP/1.1 204 No Content\r\n\r\n"
    head = server(b"HEAD / HTTP/1.1\r\nHost: x\r\n\r\n")
    assert head.serialize_response(200, content_length=5) == (
        b"HTTP/1.1 200 OK\r\ncontent-length: 5\r\n\r\n")
    head = server(b"HEAD / HTTP/1.1\r\nHost: x\r\n\r\n")
    assert head.serialize_response(200) == b"HTTP/1.1 200 OK\r\n\r\n"


def test_keep_alive_and_connection_fields():
    codec = server()
    assert codec.serialize_response(200, keep_alive=False) == (
        b"HTTP/1.1 200 OK\r\nconnection: close\r\ncontent-length: 0\r\n\r\n")
    assert codec.response_is_last is True
    codec = server()
    out = codec.serialize_response(200, HeaderMap([("Connection", "Close")]))
    assert out == b"HTTP/1.1 200 OK\r\nconnection: Close\r\ncontent-length: 0\r\n\r\n"
    assert codec.response_is_last is True
    codec = server()
    codec.serialize_response(200, HeaderMap([("connection", "a"), ("connection", "b")]))
    assert codec.response_is_last is False


def test_http10_peer_connection():
    codec = server(b"GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n")
    assert codec.serialize_response(200, http10=True) == (
        b"HTTP/1.0 200 OK\r\nconnection: keep-alive\r\ncontent-length: 0\r\n\r\n")
    # the application's own close survives on an HTTP/1.0 keep-alive connection
    codec = server(b"GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n")
    out = codec.serialize_response(200, HeaderMap({"connection": "close"}), http10=True)
    assert b"connection: close\r\n" in out and b"keep-alive" not in out
    assert codec.response_is_last is True


@pytest.mark.parametrize("fields", [
    [("content-length", "3"), ("transfer-encoding", "chunked")],
    [("transfer-encoding", "chunked"), ("content-length", "3")],
])
def test_length_and_chunked_fields_together_fail(fields):
    with pytest.raises(H1UserError) as info:
        server().serialize_response(200, HeaderMap(fields), content_length=3)
    assert info.value.args == ("unexpected_header", "user sent unexpected header")


def test_length_fields():
    codec = server()
    assert codec.serialize_response(200, HeaderMap({"content-length": "3"}), content_length=3) == (
        b"HTTP/1.1 200 OK\r\ncontent-length: 3\r\n\r\n")
    # a field that disagrees with the declared length would desynchronise the peer
    with pytest.raises(H1UserError):
        server().serialize_response(200, HeaderMap({"content-length": "4"}), content_length=3)
    codec = server()
    out = codec.serialize_response(
        200, HeaderMap([("content-length", "7"), ("content-length", "7")]), chunked=True)
    assert out == b"HTTP/1.1 200 OK\r\ncontent-length: 7\r\n\r\n"
    for fields in ([("content-length", "x")], [("content-length", "7"), ("content-length", "8")]):
        with pytest.raises(H1UserError):
            server().serialize_response(200, HeaderMap(fields), chunked=True)
    # without a body the caller's length is dropped for the implicit zero
    assert server().serialize_response(200, HeaderMap({"content-length": "9"})) == (
        b"HTTP/1.1 200 OK\r\ncontent-length: 0\r\n\r\n")


def test_transfer_encoding_fields():
    out = server().serialize_response(200, HeaderMap({"transfer-encoding": "gzip"}), chunked=True)
    assert out == b"HTTP/1.1 200 OK\r\ntransfer-encoding: gzip, chunked\r\n\r\n"
    out = server().serialize_response(
        200, HeaderMap([("transfer-encoding", "gzip"), ("transfer-encoding", "chunked")]),
        chunked=True)
    assert out == b"HTTP/1.1 200 OK\r\ntransfer-encoding: gzip, chunked\r\n\r\n"


def test_connect_2xx_refuses_length_fields():
    codec = server(b"CONNECT example.com:443 HTTP/1.1\r\nHost: x\r\n\r\n")
    with pytest.raises(H1UserError):
        codec.serialize_response(200, HeaderMap({"content-length": "0"}))
    codec = server(b"CONNECT example.com:443 HTTP/1.1\r\nHost: x\r\n\r\n")
    assert codec.serialize_response(200) == b"HTTP/1.1 200 OK\r\n\r\n"
    assert codec.response_is_last is True


def test_title_case_for_responses_only():
    codec = H1Codec(title_case_headers=True, date_header=False)
    fields = HeaderMap([("x-request-id", "1"), ("www-authenticate", "a")])
    assert codec.serialize_response(200, fields, content_length=2) == (
        b"HTTP/1.1 200 OK\r\nX-Request-Id: 1\r\nWww-Authenticate: a\r\nContent-Length: 2\r\n\r\n")
    assert codec.serialize_request("GET", "/", fields) == (
        b"GET / HTTP/1.1\r\nx-request-id: 1\r\nwww-authenticate: a\r\n\r\n")


def test_requests():
    codec = H1Codec()
    assert codec.serialize_request("POST", "/x", chunked=True) == (
        b"POST /x HTTP/1.1\r\ntransfer-encoding: chunked\r\n\r\n")
    assert codec.serialize_request("GET", "/", chunked=True) == b"GET / HTTP/1.1\r\n\r\n"
    assert codec.serialize_request("GET", "/", http10=True) == (
        b"GET / HTTP/1.0\r\nconnection: keep-alive\r\n\r\n")
    assert codec.serialize_request("PUT", "http://h:8080?q", content_length=5) == (
        b"PUT http://h:8080/?q HTTP/1.1\r\ncontent-length: 5\r\n\r\n")
    assert codec.serialize_request("CONNECT", "h:443") == b"CONNECT h:443 HTTP/1.1\r\n\r\n"
    assert codec.serialize_request("POST", "/", {"Connection": "Keep-Alive, close"}) == (
        b"POST / HTTP/1.1\r\nconnection: close\r\n\r\n")
    assert codec.request_connection_close is True
    codec.serialize_request("POST", "/", [("transfer-encoding", "gzip")], content_length=3)
    assert codec.request_connection_close is False


def test_request_errors():
    codec = H1Codec()
    for method in ("G T", "", "G\ud800"):
        with pytest.raises(ValueError) as info:
            codec.serialize_request(method, "/")
        assert info.value.args == ("invalid method: invalid HTTP method",)
    for url, reason in [("", "empty string"), ("http://h:99999/", "invalid port"),
                        ("/\ud800", "invalid uri character"), ("/a b", "invalid uri character")]:
        with pytest.raises(ValueError) as info:
            codec.serialize_request("GET", url)
        assert info.value.args == (f"invalid url: {reason}",)
    with pytest.raises(TypeError):
        codec.serialize_request(b"GET", "/")
    with pytest.raises(TypeError):
        codec.serialize_request("GET", "/", content_length="5")


def test_request_method_drives_response_parsing():
    codec = H1Codec()
    codec.serialize_request("HEAD", "/")
    head = codec.receive_head(b"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n")
    assert (head.body_kind, head.content_length) == ("empty", 0)


def test_caller_headers_are_not_changed():
    fields = HeaderMap([("connection", "close"), ("transfer-encoding", "gzip")])
    H1Codec().serialize_request("POST", "/", fields, chunked=True)
    assert fields.items() == [("connection", b"close"), ("transfer-encoding", b"gzip")]


FULL_MAP = "header map is full (http::HeaderMap MAX_SIZE, 32768 entries)"


@pytest.mark.parametrize("extra, kw", [
    ({}, {"content_length": 5}),                         # content-length added
    ({}, {"content_length": 5, "http10": True}),         # content-length added, HTTP/1.0
    ({}, {"chunked": True}),                             # transfer-encoding added
    ({"transfer-encoding": "gzip"}, {"chunked": True}),  # transfer-encoding rebuilt
    ({"connection": "close"}, {}),                       # connection replaced
    ({}, {"http10": True}),                              # connection: keep-alive added
])
def test_request_framing_that_does_not_fit_fails_and_writes_nothing(extra, kw):
    # A map holding the most names a map can hold takes no new name: a body must not go out
    # without the field that frames it, or the peer reads it as the next request.
    names = [f"x-{i}" for i in range(24576 - len(extra))]
    headers = HeaderMap([(n, "v") for n in names] + list(extra.items()))
    codec = H1Codec()
    codec.serialize_request("HEAD", "/before")
    with pytest.raises(ValueError) as info:
        codec.serialize_request("POST", "/", headers, **kw)
    assert info.value.args == (FULL_MAP,)
    # Nothing recorded: the earlier HEAD request and its empty framing still hold.
    assert codec.body_is_eof() is True and codec.request_connection_close is False
    assert codec.receive_head(b"HTTP/1.1 200 OK\r\ncontent-length: 2\r\n\r\n").body_kind == "empty"
