"""HTTP/1 bodies: H1BodyDecoder and the codec's body framing, alone and end to end."""

import random

import pytest

from _quillet import H1BodyDecoder, H1BodyError, H1Codec, H1UserError, HeaderMap

PREFIX = "error reading a body from connection: "


def drain(decoder):
    out = []
    while (chunk := decoder.decode()) is not None:
        out.append(chunk)
    return out


# --- decoding ---

@pytest.mark.parametrize("raw", [
    b"5\r\nhello\r\n0\r\n\r\n",
    b"5;name=value\r\nhello\r\n0\r\n\r\n",
    b"5 ;x\r\nhello\r\n0\r\n\r\n",
    b"5\t\r\nhello\r\n0;last\r\n\r\n",
])
def test_chunked_basic(raw):
    d = H1BodyDecoder("chunked")
    d.feed(raw)
    assert drain(d) == [b"hello"]
    assert d.is_complete is True and d.take_trailers() is None and d.buffered == 0


def test_trailers_are_taken_once():
    d = H1BodyDecoder("chunked")
    d.feed(b"0\r\nExpires: never\r\nX-Sum: 1\r\n\r\nNEXT")
    assert drain(d) == []
    assert d.is_complete and d.buffered == 4
    trailers = d.take_trailers()
    assert trailers.items() == [("expires", b"never"), ("x-sum", b"1")]
    assert d.take_trailers() is None


@pytest.mark.parametrize("raw,io,text", [
    (b"5 5\r\n", "invalid_input", "Invalid chunk size linear white space"),
    (b"5\r\nhello\n", "invalid_input", "Invalid chunk body CR"),
    (b"5\r\nhello\rx", "invalid_input", "Invalid chunk body LF"),
    (b"5\nhello", "invalid_input", "Invalid chunk size line: Invalid Size"),
    (b"5\r\r", "invalid_input", "Invalid chunk size LF"),
    (b"x\r\n", "invalid_input", "Invalid chunk size line: missing size digit"),
    (b"5x\r\n", "invalid_input", "Invalid chunk size line: Invalid Size"),
    (b"5;a\nb", "invalid_data", "invalid chunk extension contains newline"),
    (b"F" * 17 + b"\r\n", "invalid_data", "invalid chunk size: overflow"),
    (b"0\r\n\rx", "invalid_input", "Invalid chunk end LF"),
    (b"0\r\nA: b\rx", "invalid_input", "Invalid trailer end LF"),
    (b"0\r\n" + b"a: b\r\n" * 101 + b"\r\n", "invalid_data", "chunk trailers count overflow"),
    (b"1;" + b"e" * 16384 + b"\r\n", "invalid_data", "chunk extensions over limit"),
])
def test_chunked_errors(raw, io, text):
    d = H1BodyDecoder("chunked")
    d.feed(raw)
    with pytest.raises(H1BodyError) as info:
        drain(d)
    assert info.value.args == (io, PREFIX + text)


def test_extension_limit_boundary():
    d = H1BodyDecoder("chunked")
    d.feed(b"1;" + b"e" * 16383 + b"\r\nx\r\n0\r\n\r\n")
    assert drain(d) == [b"x"] and d.is_complete


def test_sixteen_hex_digits_are_a_size():
    d = H1BodyDecoder("chunked")
    d.feed(b"FFFFFFFFFFFFFFFF\r\nabc")
    assert drain(d) == [b"abc"]
    assert not d.is_complete


@pytest.mark.parametrize("raw,text", [
    (b"5\r\nhel", "end of file before message length reached"),
    (b"5\r", "unexpected EOF during chunk size line"),
    (b"5\r\nhello\r\n0\r\n", "unexpected EOF during chunk size line"),
])
def test_chunked_truncated(raw, text):
    d = H1BodyDecoder("chunked")
    d.feed(raw)
    drain(d)
    d.mark_eof()
    with pytest.raises(H1BodyError) as info:
        drain(d)
    assert info.value.args == ("unexpected_eof", PREFIX + text)


def test_length_body():
    d = H1BodyDecoder("length", 5)
    d.feed(b"abc")
    assert d.decode() == b"abc" and d.decode() is None and not d.is_complete
    d.mark_eof()
    with pytest.raises(H1BodyError) as info:
        d.decode()
    assert info.value.args == (
        "unexpected_eof", PREFIX + "end of file before message length reached")
    d = H1BodyDecoder("length", length=5)
    d.feed(b"abcdefg")
    assert d.decode() == b"abcde" and d.is_complete and d.buffered == 2


def test_close_body_and_empty_kinds():
    d = H1BodyDecoder("close")
    assert d.decode() is None and not d.is_complete
    d.feed(b"x" * 20000)
    assert [len(c) for c in drain(d)] == [8192, 8192, 3616]
    d.mark_eof()
    assert d.decode() is None and d.is_complete
    for args in (("empty",), ("length", 0), ("something else", 9), ("chunked\ud800", 9)):
        assert H1BodyDecoder(*args).is_complete


def test_decoder_arguments():
    with pytest.raises(TypeError):
        H1BodyDecoder(b"chunked")
    with pytest.raises(OverflowError):
        H1BodyDecoder("length", -1)
    d = H1BodyDecoder("chunked")
    with pytest.raises(TypeError):
        d.feed(bytearray(b"0\r\n\r\n"))
    assert d.buffered == 0
    with pytest.raises(AttributeError):
        d.is_complete = True
    with pytest.raises(TypeError):
        class Sub(H1BodyDecoder):
            pass


def test_chunked_split_at_every_byte():
    raw = (b"4;ext=1\r\nWiki\r\n5 ; a=b\r\npedia\r\nE\r\n in\r\n\r\nchunks.\r\n"
           b"0\r\nX-Checksum: abc\r\nExpires: never\r\n\r\nnext")
    whole = H1BodyDecoder("chunked")
    whole.feed(raw)
    expected = b"".join(drain(whole))
    assert expected == b"Wikipedia in\r\n\r\nchunks."
    for i in range(len(raw) + 1):
        for j in range(i, len(raw) + 1, 7):
            d = H1BodyDecoder("chunked")
            got = []
            for piece in (raw[:i], raw[i:j], raw[j:]):
                d.feed(piece)
                got += drain(d)
            assert b"".join(got) == expected, (i, j)
            assert d.is_complete and d.buffered == 4
            assert d.take_trailers().items() == [("x-checksum", b"abc"), ("expires", b"never")]


# --- encoding ---

def server_codec(request=b"GET / HTTP/1.1\r\nHost: x\r\n\r\n"):
    codec = H1Codec(date_header=False)
    codec.receive_request_head(request)
    return codec


def test_chunked_encoding():
    codec = server_codec()
    codec.serialize_response(200, chunked=True)
    assert codec.serialize_data(b"hello") == b"5\r\nhello\r\n"
    assert codec.serialize_data(b"x" * 255).startswith(b"FF\r\n")
    end = codec.serialize_end()
    assert end == b"0\r\n\r\n"
    assert codec.serialize_end() == b""
    codec.serialize_response(200, chunked=True)
    assert codec.serialize_end() is end  # one shared terminator


def test_length_encoding_passes_the_callers_object():
    codec = server_codec()
    codec.serialize_response(200, content_length=5)
    chunk = b"abc"
    assert codec.serialize_data(chunk) is chunk
    assert codec.body_is_eof() is False
    assert codec.serialize_data(b"defg") == b"de"
    assert codec.body_is_eof() is True
    assert codec.serialize_data(b"x") == b""
    assert codec.serialize_end() == b""


def test_short_length_body_aborts():
    codec = server_codec()
    codec.serialize_response(200, content_length=5)
    codec.serialize_data(b"abc")
    with pytest.raises(H1UserError) as info:
        codec.serialize_end()
    assert info.value.args == (
        "body_write_aborted", "user body write aborted: early end, expected 2 more bytes")
    assert codec.serialize_end() == b""  # the encoder is gone


def test_no_request_in_flight():
    codec = H1Codec()
    empty = b""
    assert codec.serialize_data(empty) is empty
    with pytest.raises(ValueError, match="^serialize_data with no request in flight$"):
        codec.serialize_data(b"x")
    assert codec.body_is_eof() is True
    with pytest.raises(TypeError):
        codec.serialize_data(bytearray(b"x"))
    codec.serialize_request("POST", "/", chunked=True)
    codec.reset()
    with pytest.raises(ValueError):
        codec.serialize_data(b"x")
    assert codec.parse_error_status is None


def test_close_delimited_passes_through():
    codec = server_codec(b"GET / HTTP/1.0\r\n\r\n")
    codec.serialize_response(200, http10=True, keep_alive=False, chunked=True)
    chunk = b"raw"
    assert codec.serialize_data(chunk) is chunk
    assert codec.serialize_end() == b""


def test_request_trailers():
    codec = H1Codec()
    codec.serialize_request("POST", "/", {"Trailer": "X-Checksum"}, chunked=True)
    trailers = HeaderMap([("X-Checksum", "abc"), ("content-type", "x"), ("x-other", "1")])
    assert codec.serialize_trailers(trailers) == b"0\r\nx-checksum: abc\r\n\r\n"
    codec.serialize_request("POST", "/", {"Trailer": "X-Checksum"}, chunked=True)
    assert codec.serialize_trailers(HeaderMap({"x-undeclared": "1"})) == b"0\r\n\r\n"
    with pytest.raises(TypeError):
        codec.serialize_trailers({"x": "1"})


def test_server_trailers_need_te_trailers():
    fields = HeaderMap({"trailer": "x-sum"})
    codec = server_codec(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
    codec.serialize_response(200, fields, chunked=True)
    assert codec.serialize_trailers(HeaderMap({"x-sum": "1"})) == b"0\r\n\r\n"
    codec = server_codec(b"GET / HTTP/1.1\r\nHost: x\r\nTE: trailers\r\n\r\n")
    codec.serialize_response(200, fields, chunked=True)
    assert codec.serialize_trailers(HeaderMap({"X-Sum": "1"})) == b"0\r\nx-sum: 1\r\n\r\n"


def test_head_and_body_in_one_buffer():
    codec = server_codec(b"HEAD / HTTP/1.1\r\nHost: x\r\n\r\n")
    head = codec.serialize_response(200, content_length=4)
    assert codec.serialize_head_and_body(head, b"data") is head
    codec = server_codec()
    head = codec.serialize_response(200, chunked=True)
    assert codec.serialize_head_and_body(head, b"data") == head + b"4\r\ndata\r\n0\r\n\r\n"
    head = codec.serialize_response(200, content_length=6)
    with pytest.raises(H1UserError):
        codec.serialize_head_and_body(head, b"data")
    head = codec.serialize_response(200, content_length=2)
    assert codec.serialize_head_and_body(head, b"data") == head + b"da"
    assert H1Codec().serialize_head_and_body(b"HEAD-ONLY") == b"HEAD-ONLY"


def test_take_body_into():
    codec = H1Codec()
    head = codec.receive_request_head(b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhelloGET")
    decoder = H1BodyDecoder(head.body_kind, head.content_length)
    codec.take_body_into(decoder)
    assert codec.buffered() == 0 and decoder.buffered == 8
    assert decoder.decode() == b"hello" and decoder.is_complete and decoder.buffered == 3
    codec.take_body_into(decoder)  # an empty buffer appends nothing
    assert decoder.buffered == 3
    with pytest.raises(TypeError, match="decoder"):
        codec.take_body_into(b"not a decoder")


# --- encoder then decoder ---

@pytest.mark.parametrize("framing", ["length", "chunked", "close"])
def test_round_trip(framing):
    rng = random.Random(framing)
    for _ in range(60):
        body = rng.randbytes(rng.randrange(0, 5000))
        pieces, pos = [], 0
        while pos < len(body):
            step = rng.randrange(1, 700)
            pieces.append(body[pos:pos + step])
            pos += step
        request = b"GET / HTTP/1.0\r\n\r\n" if framing == "close" else b"GET / HTTP/1.1\r\nHost: x\r\n\r\n"
        codec = server_codec(request)
        if framing == "length":
            codec.serialize_response(200, content_length=len(body))
        elif framing == "chunked":
            codec.serialize_response(200, chunked=True)
        else:
            codec.serialize_response(200, http10=True, keep_alive=False, chunked=True)
        wire = b"".join(codec.serialize_data(p) for p in pieces) + codec.serialize_end()
        decoder = H1BodyDecoder(framing, len(body))
        got = []
        pos = 0
        while pos < len(wire):
            step = rng.randrange(1, 900)
            decoder.feed(wire[pos:pos + step])
            got += drain(decoder)
            pos += step
        decoder.mark_eof()
        got += drain(decoder)
        assert b"".join(got) == body
        assert decoder.is_complete


def test_random_bytes_only_give_documented_outcomes():
    rng = random.Random(3)
    for _ in range(3000):
        d = H1BodyDecoder(rng.choice(["chunked", "length", "close"]), rng.randrange(50))
        data = bytes(rng.choice(b"0123456789abcdefABCDEF;= \t\r\n:xX\x00\xff")
                     for _ in range(rng.randrange(60)))
        try:
            d.feed(data)
            drain(d)
            d.mark_eof()
            drain(d)
        except H1BodyError as err:
            assert err.args[0] in ("invalid_input", "invalid_data", "unexpected_eof")
            assert err.args[1].startswith(PREFIX)
        else:
            assert d.is_complete


@pytest.mark.parametrize("chunk_size,read_size", [(16384, 65536), (5000, 4096), (100, 8192)])
def test_large_reads_are_decoded_in_place_and_correctly(chunk_size, read_size):
    rng = random.Random(chunk_size)
    body = rng.randbytes(200_000)
    wire = b"".join(b"%X\r\n%s\r\n" % (len(body[i:i + chunk_size]), body[i:i + chunk_size])
                    for i in range(0, len(body), chunk_size)) + b"0\r\n\r\nNEXT"
    d = H1BodyDecoder("chunked")
    got = []
    for i in range(0, len(wire), read_size):
        read = bytes(wire[i:i + read_size])
        d.feed(read)
        del read  # the decoder alone keeps the read alive while it decodes from it
        got += drain(d)
    assert b"".join(got) == body
    assert d.is_complete and d.buffered == 4


def test_a_large_read_that_is_all_body_is_handed_back_without_a_copy():
    d = H1BodyDecoder("length", 2 * 65536 + 10)
    first, second = bytes(range(256)) * 256, bytes(range(255, -1, -1)) * 256
    d.feed(first)
    assert d.decode() is first
    d.feed(second)
    assert d.decode() is second
    last = b"0123456789NEXT" + b"x" * 5000  # the body ends inside this read
    d.feed(last)
    assert d.decode() == b"0123456789" and d.is_complete and d.buffered == len(last) - 10
