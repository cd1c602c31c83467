"""H1Codec head parsing as a server and a client driver see it."""

import random
import sys

import pytest

from _quillet import H1Codec, H1ParseError, H1RequestHead, H1ResponseHead, HeaderMap

PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"


def parse_error(codec, data):
    with pytest.raises(H1ParseError) as info:
        codec.receive_request_head(data)
    return info.value.args[0], codec.parse_error_status


def test_simple_get():
    codec = H1Codec()
    head = codec.receive_request_head(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
    assert type(head) is H1RequestHead
    assert (head.method, head.target, head.body_kind, head.content_length) == ("GET", "/", "empty", 0)
    assert head.keep_alive is True and head.http10 is False
    assert head.expect_continue is False and head.allow_trailers is False
    assert head.is_upgrade is False
    assert type(head.headers) is HeaderMap and head.headers.raw_items() == [(b"host", b"x")]
    assert repr(head) == "H1RequestHead(method='GET', target='/', body_kind=empty)"
    assert codec.buffered() == 0


def test_shared_strings():
    codec = H1Codec()
    a = codec.receive_request_head(b"POST /x HTTP/1.1\r\nHost: x\r\nContent-Length: 1\r\n\r\n")
    codec.take_body()
    b = H1Codec().receive_request_head(b"POST /y HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n")
    assert a.method is b.method and a.body_kind is b.body_kind
    assert a.target is a.target and a.headers is a.headers
    ext = codec.receive_request_head(b"PURGE / HTTP/1.1\r\nHost: x\r\n\r\n")
    assert ext.method == "PURGE"


HEAD_FIELDS = [
    [],
    [(b"host", b"x"), (b"accept", b"*/*"), (b"x-trace", b"1")],
    [(b"cookie", b"a=1"), (b"host", b"x"), (b"Cookie", b"b=2"), (b"accept", b"*/*")],
]


def key_error(m, name):
    with pytest.raises(KeyError) as info:
        m[name]
    return info.value.args


@pytest.mark.parametrize("role", ["request", "response"])
@pytest.mark.parametrize("fields", HEAD_FIELDS)
def test_a_parsed_heads_map_behaves_as_one_built_from_its_fields(fields, role):
    """The map of a parsed head reads its lists straight from the parsed fields, answers lookups
    from them too, and builds its index only when something else is asked: every operation, in
    any order, sees one map."""
    lines = b"".join(n + b": " + v + b"\r\n" for n, v in fields) + b"\r\n"
    reads = [
        lambda m: m.raw_items(), lambda m: m.items(), lambda m: m.keys(), lambda m: m.values(),
        lambda m: len(m), lambda m: list(m), repr, lambda m: m.get("cookie"),
        lambda m: "host" in m, lambda m: m.get_all("COOKIE"), lambda m: m.get(b"Cookie", b"-"),
        lambda m: "content-encoding" in m, lambda m: m.get("x-trac"), lambda m: "x-traces" in m,
        lambda m: m["HOST"] if "Host" in m else key_error(m, "HOST"),
        lambda m: key_error(m, "X-Absent"),
    ]
    for first in range(len(reads)):
        if role == "request":
            parsed = H1Codec().receive_request_head(b"GET / HTTP/1.0\r\n" + lines).headers
        else:
            parsed = H1Codec().receive_head(b"HTTP/1.1 204 No Content\r\n" + lines).headers
        model = HeaderMap(fields)
        order = reads[first:] + reads[:first]
        assert [read(parsed) for read in order] == [read(model) for read in order]
        assert parsed == model and model == parsed
        for m in (parsed, model):
            m.add("accept", "text/html")
            if "host" in m:
                del m["host"]
        assert parsed.raw_items() == model.raw_items() and len(parsed) == len(model)


def test_common_pairs_share_one_tuple_and_one_value():
    """Pairs that clients send all the time come out as shared objects: their tuple in raw
    lists, their value bytes in every list; other values are new objects every time."""
    wire = b"GET / HTTP/1.1\r\nHost: a.example\r\nAccept: */*\r\nConnection: keep-alive\r\n\r\n"
    a = H1Codec().receive_request_head(wire).headers
    b = H1Codec().receive_request_head(wire).headers
    assert a.raw_items() == [(b"host", b"a.example"), (b"accept", b"*/*"), (b"connection", b"keep-alive")]
    shared = a.raw_items()[1]
    before = sys.getrefcount(shared)
    for _ in range(100):
        b.raw_items()
    assert sys.getrefcount(shared) == before  # every list gave its reference back
    for k in (1, 2):
        assert a.raw_items()[k] is b.raw_items()[k]
        assert a.values()[k] is b.values()[k] is a.items()[k][1]
    assert a.raw_items()[0] is not b.raw_items()[0]
    assert a.raw_items()[0][1] is not b.raw_items()[0][1]
    assert a.raw_items()[0][0] is b.raw_items()[0][0]  # a common name, shared as before
    # An uncommon value under a common name, and a common value under the wrong name, are not.
    c = HeaderMap([("accept", "*/*;q=0.5"), ("x-accept", "*/*")]).raw_items()
    assert c[0][1] is not c[1][1] and c[1] is not shared


def test_a_connections_heads_share_the_pairs_its_client_repeats():
    """A keep-alive client repeats most of its fields: the raw list of each head of a connection
    hands out the tuples of the last lists for the fields that repeat, wherever they moved, and
    new ones for the rest; long values and fields past the first sixteen get new ones always."""
    codec = H1Codec()

    def raw(*fields):
        wire = b"GET / HTTP/1.1\r\n" + b"".join(b"%s: %s\r\n" % f for f in fields) + b"\r\n"
        head = codec.receive_request_head(wire)
        codec.reset()
        pairs = head.headers.raw_items()
        assert pairs == [(n.lower(), v) for n, v in fields]
        return pairs

    host, agent = (b"Host", b"a.example"), (b"User-Agent", b"u/1")
    first = raw(host, agent, (b"X-Id", b"1"))
    second = raw(host, agent, (b"X-Id", b"2"))
    assert second[0] is first[0] and second[1] is first[1] and second[2] is not first[2]
    moved = raw(agent, (b"X-Id", b"2"), host)
    assert moved[0] is first[1] and moved[1] is second[2] and moved[2] is first[0]
    # The same value under another name, another value under the same name: new pairs.
    other = raw((b"X-Host", b"a.example"), (b"Host", b"b.example"))
    assert other[0] is not first[0] and other[1] is not first[0]
    long_value = (b"X-Long", b"v" * 257)
    many = [(b"X-F%d" % k, b"%d" % k) for k in range(19)]
    a, b = raw(long_value, host, *many), raw(long_value, host, *many)
    assert a[0] is not b[0] and all(a[k] is b[k] for k in range(1, 16))
    assert not any(a[k] is b[k] for k in range(16, 21))
    # A map outlives its codec; the codec and the last map gone, the pairs are released.
    head = codec.receive_request_head(b"GET / HTTP/1.1\r\nHost: a.example\r\nX-Id: 1\r\n\r\n")
    kept = raw(host, (b"X-Id", b"3"))[1]
    count = sys.getrefcount(kept)
    del codec
    assert head.headers.raw_items() == [(b"host", b"a.example"), (b"x-id", b"1")]
    del head
    assert sys.getrefcount(kept) == count - 1


def test_head_fields_are_read_only_and_not_constructible():
    head = H1Codec().receive_request_head(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
    with pytest.raises(AttributeError):
        head.method = "POST"
    for cls in (H1RequestHead, H1ResponseHead):
        with pytest.raises(TypeError):
            cls()


def test_headers_keep_wire_order_and_case_folding():
    head = H1Codec().receive_request_head(
        b"GET / HTTP/1.1\r\nHost: a\r\nX-B: 1\r\nx-b: 2\r\nAccept: */*\r\n\r\n")
    assert head.headers.items() == [
        ("host", b"a"), ("x-b", b"1"), ("x-b", b"2"), ("accept", b"*/*")]


def test_byte_at_a_time_equals_whole():
    raw = (b"POST /submit?x=1 HTTP/1.1\r\nHost: example.com\r\nContent-Length: 4\r\n"
           b"Connection: keep-alive\r\nExpect: 100-continue\r\n\r\nbody")
    whole = H1Codec().receive_request_head(raw)
    codec = H1Codec()
    results = [codec.receive_request_head(raw[i:i + 1]) for i in range(len(raw) - 4)]
    assert all(r is None for r in results[:-1])
    head = results[-1]
    assert (head.method, head.target, head.content_length, head.expect_continue) == (
        whole.method, whole.target, whole.content_length, whole.expect_continue)
    assert head.headers == whole.headers
    assert codec.receive_request_head(b"body") is None
    assert codec.take_body() == b"body"


def test_pipelined_requests_in_one_call():
    codec = H1Codec()
    first = codec.receive_request_head(b"GET /1 HTTP/1.1\r\nHost: x\r\n\r\nGET /2 HTTP/1.1\r\nHost: x\r\n\r\n")
    assert first.target == "/1"
    assert codec.buffered() == len(b"GET /2 HTTP/1.1\r\nHost: x\r\n\r\n")
    codec.reset()
    assert codec.receive_request_head(b"").target == "/2"
    assert codec.receive_request_head(b"") is None


def test_feed_and_take_body():
    codec = H1Codec()
    assert codec.take_body() == b"" and codec.buffered() == 0
    codec.feed(b"GET /fed HTTP/1.1\r\nHost: x\r\n\r\n")
    assert codec.receive_request_head(b"").target == "/fed"
    codec.feed(b"abc")
    assert codec.buffered() == 3
    assert codec.take_body() == b"abc"
    with pytest.raises(TypeError):
        codec.feed(bytearray(b"x"))
    with pytest.raises(TypeError):
        codec.receive_request_head(memoryview(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n"))
    assert codec.buffered() == 0


@pytest.mark.parametrize("raw,kind,status", [
    (b"\rGET / HTTP/1.1\r\nHost: x\r\n\r\n", "header_token", 400),
    (b"GET  / HTTP/1.1\r\nHost: x\r\n\r\n", "uri", 400),
    (b"GET / HTTP/1.2\r\n\r\n", "version", 400),
    (b"G@T / HTTP/1.1\r\nHost: x\r\n\r\n", "method", 400),
    (b"GET / HTTP/1.1\r\nHost: x\r\nContent-Length: 5,5\r\n\r\n", "header_content_length_invalid", 400),
    (b"GET / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip\r\n\r\n", "header_transfer_encoding_invalid",
     400),
    (b"GET / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n",
     "header_transfer_encoding_unexpected", 400),
    (b"GET / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip, chunked\r\n\r\n",
     "header_transfer_encoding_unsupported", 501),
    (b"GET / HTTP/1.1\r\n\r\n", "header_host_missing", 400),
    (b"GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", "header_host_invalid", 400),
    (b"GET /" + b"a" * 65534 + b" HTTP/1.1\r\nHost: x\r\n\r\n", "uri_too_long", 414),
    (b"GET / HTTP/1.1\r\nHost: x\r\n" + b"a: b\r\n" * 101 + b"\r\n", "too_large", 431),
    (PREFACE, "version_h2", None),
    (PREFACE[:16], "version", 400),
])
def test_errors_and_automatic_status(raw, kind, status):
    codec = H1Codec()
    assert parse_error(codec, raw) == (kind, status)
    # the buffer keeps every byte, the new ones included
    assert codec.buffered() == len(raw)
    codec.reset()
    assert codec.parse_error_status is None


def test_error_messages():
    with pytest.raises(H1ParseError) as info:
        H1Codec().receive_request_head(b"GET / HTTP/1.1\r\nHost: x\r\n" + b"a: b\r\n" * 101 + b"\r\n")
    assert info.value.args == ("too_large", "message head is too large")


def test_later_success_keeps_the_error_status():
    codec = H1Codec()
    parse_error(codec, b"GET / HTTP/9.9\r\n\r\n")
    codec.take_body()
    codec.receive_request_head(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
    assert codec.parse_error_status == 400


def test_max_buf_size():
    assert H1Codec().max_buf_size == 417792
    assert H1Codec(max_buf_size=8192).max_buf_size == 8192
    with pytest.raises(ValueError, match="the max_buf_size cannot be smaller than 8192"):
        H1Codec(max_buf_size=8191)
    partial = b"GET / HTTP/1.1\r\nHost: x\r\nX: " + b"v" * 9000
    codec = H1Codec(max_buf_size=len(partial) + 1)
    assert codec.receive_request_head(partial) is None
    codec = H1Codec(max_buf_size=len(partial))
    assert parse_error(codec, partial) == ("too_large", 431)


def test_constructor_arguments():
    with pytest.raises(TypeError):
        H1Codec(100)
    with pytest.raises(TypeError):
        H1Codec(ignore_invalid_headers=1)
    with pytest.raises(TypeError):
        H1Codec(bogus=True)
    with pytest.raises(OverflowError):
        H1Codec(max_headers=-1)
    with pytest.raises(TypeError):
        class Sub(H1Codec):
            pass
    codec = H1Codec(max_headers=2, ignore_invalid_headers=True)
    head = codec.receive_request_head(b"GET / HTTP/1.0\r\nbad line\r\na: 1\r\nb: 2\r\n\r\n")
    assert head.headers.keys() == ["a", "b"]
    assert parse_error(H1Codec(max_headers=0), b"GET / HTTP/1.0\r\na: 1\r\n\r\n")[0] == "too_large"


def test_request_verdicts():
    codec = H1Codec()

    def head(raw):
        codec.take_body()
        return codec.receive_request_head(raw)

    h = head(b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n")
    assert (h.body_kind, h.content_length, h.keep_alive) == ("chunked", None, False)
    assert "content-length" not in h.headers
    h = head(b"POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\n")
    assert (h.body_kind, h.keep_alive) == ("chunked", False)
    h = head(b"GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n")
    assert h.keep_alive is True and h.http10 is True
    h = head(b"GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\nConnection: keep-alive\r\n\r\n")
    assert h.keep_alive is False
    h = head(b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\n")
    assert (h.body_kind, h.content_length) == ("length", 10)
    h = head(b"GET / HTTP/1.1\r\nHost: x\r\nExpect: 100-Continue\r\nTE: trailers\r\nUpgrade: ws\r\n\r\n")
    assert h.expect_continue and h.allow_trailers and h.is_upgrade
    h = head(b"GET http://example.com?q HTTP/1.1\r\nHost: x\r\n\r\n")
    assert h.target == "http://example.com/?q"


def test_response_heads():
    codec = H1Codec()
    head = codec.receive_head(b"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc")
    assert type(head) is H1ResponseHead
    assert (head.status, head.body_kind, head.content_length) == (200, "length", 3)
    assert repr(head) == "H1ResponseHead(status=200, body_kind=length, keep_alive=true)"
    assert codec.take_body() == b"abc"
    head = codec.receive_head(b"HTTP/1.1 200 OK\r\n\r\n")
    assert (head.body_kind, head.content_length) == ("close", None)
    head = codec.receive_head(b"HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n")
    assert head.http10 is True and head.keep_alive is False and head.body_kind == "empty"


def test_informational_responses_are_consumed():
    codec = H1Codec()
    head = codec.receive_head(
        b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n")
    assert head.status == 200
    assert codec.receive_head(b"HTTP/1.1 100 Continue\r\n\r\n") is None
    assert codec.buffered() == 0
    assert codec.receive_head(b"HTTP/1.1 103 Hints\r\n\r\nHTTP/1.1 101 Up\r\n\r\n").status == 101


def test_response_errors_record_no_status():
    codec = H1Codec()
    with pytest.raises(H1ParseError) as info:
        codec.receive_head(b"HTTP/1.1 099 X\r\n\r\n")
    assert info.value.args == ("status", "invalid HTTP status-code parsed")
    assert codec.parse_error_status is None


def test_connection_close_and_continue():
    assert H1Codec.continue_response() == b"HTTP/1.1 100 Continue\r\n\r\n"
    assert H1Codec.connection_close(HeaderMap([("Connection", "keep-alive"),
                                               ("connection", "Upgrade, CLOSE")])) is True
    assert H1Codec.connection_close(HeaderMap({"connection": "closed"})) is False
    assert H1Codec.connection_close(HeaderMap()) is False


def test_random_and_mutated_heads_only_give_documented_outcomes():
    rng = random.Random(7)
    seeds = [
        b"GET / HTTP/1.1\r\nHost: a\r\n\r\n",
        b"POST /p?q HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\nabc",
        b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi",
        PREFACE,
    ]
    alphabet = b"\r\n :\t\x00\x7f\xff/GETPOSHT1.0,chunked" + bytes(range(32, 127))
    for _ in range(3000):
        data = bytearray(rng.choice(seeds))
        for _ in range(rng.randint(1, 6)):
            op = rng.randrange(3)
            pos = rng.randrange(len(data) + 1)
            if op == 0:
                data[pos:pos] = bytes([rng.choice(alphabet)])
            elif op == 1 and data:
                del data[min(pos, len(data) - 1)]
            elif data:
                data[min(pos, len(data) - 1)] = rng.randrange(256)
        for method in ("receive_request_head", "receive_head"):
            codec = H1Codec()
            try:
                result = getattr(codec, method)(bytes(data))
            except H1ParseError as err:
                assert len(err.args) == 2
                assert codec.buffered() == len(data)
            else:
                assert result is None or isinstance(result, (H1RequestHead, H1ResponseHead))


STANDARD_METHODS = ["OPTIONS", "GET", "POST", "PUT", "DELETE", "HEAD", "TRACE", "CONNECT",
                    "PATCH", "QUERY"]


@pytest.mark.parametrize("method", STANDARD_METHODS + ["PURGE"])
def test_every_method_through_parser_server_state_and_client(method):
    from _quillet import H1ServerState
    target = "h:443" if method == "CONNECT" else "/"
    raw = b"%s %s HTTP/1.1\r\nHost: h\r\n\r\n" % (method.encode(), target.encode())
    head = H1Codec().receive_request_head(raw)
    assert (head.method, head.target) == (method, target)
    assert repr(head) == f"H1RequestHead(method={method!r}, target={target!r}, body_kind=empty)"
    state = H1ServerState(H1Codec(), object())
    head, seq, decoder = state.accept_head(raw)
    assert (head.method, seq, decoder.is_complete) == (method, 1, True)
    client = H1Codec()
    assert client.serialize_request(method, target) == b"%s %s HTTP/1.1\r\n\r\n" % (
        method.encode(), target.encode())
    response = client.receive_head(b"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n")
    # A HEAD request's response carries no body; a tunnel's 2xx starts the tunnel.
    assert response.body_kind == ("empty" if method in ("HEAD", "CONNECT") else "length")
