"""Request heads parsed by H1Codec and by h11 (a black-box peer): where both accept a head they
must agree on the method, the target, the header fields and the body framing; where they decide
differently, ours must be the outcome recorded in DIFFERENCES (each one is explained in
docs/reliability.md)."""

import pytest

from _quillet import H1Codec, H1ParseError
from h1_head_corpus import CASES

h11 = pytest.importorskip("h11")


def ours(data):
    """("head", method, target, {name: [values]}, framing) | ("incomplete",) | ("error", kind)."""
    codec = H1Codec()
    try:
        head = codec.receive_request_head(data)
    except H1ParseError as err:
        return ("error", err.args[0])
    if head is None:
        return ("incomplete",)
    fields = {}
    for name, value in head.headers.raw_items():
        fields.setdefault(name, []).append(value)
    return ("head", head.method, head.target, _fold_codings(fields),
            (head.body_kind, head.content_length), head.keep_alive)


def _fold_codings(fields):
    # h11 hands Transfer-Encoding values back in lower case; codings are case-insensitive.
    if b"transfer-encoding" in fields:
        fields[b"transfer-encoding"] = [v.lower() for v in fields[b"transfer-encoding"]]
    return fields


def theirs(data):
    conn = h11.Connection(h11.SERVER)
    conn.receive_data(data)
    try:
        event = conn.next_event()
    except h11.RemoteProtocolError:
        return ("error",)
    if event is h11.NEED_DATA:
        return ("incomplete",)
    assert isinstance(event, h11.Request), event
    fields = {}
    for name, value in event.headers:
        fields.setdefault(bytes(name), []).append(bytes(value))
    # h11 frames a request by the rules of RFC 9112 section 6.3 over the fields it kept.
    if b"transfer-encoding" in fields:
        framing = ("chunked", None)
    elif b"content-length" in fields:
        n = int(fields[b"content-length"][0])
        framing = ("length", n) if n else ("empty", 0)
    else:
        framing = ("empty", 0)
    return ("head", event.method.decode("latin-1"), event.target.decode("latin-1"),
            _fold_codings(fields), framing)


def verdict(outcome):
    return outcome[0]


# Cases where the two parsers decide differently, with our outcome: ("error", kind) for a refusal,
# ("head", framing) for an accepted head, ("incomplete",) for a head still being waited for.
# A dict as third item names head attributes that must have the given values.
CHUNKED = ("chunked", None)
DIFFERENCES = {
    # An absolute-form target with an empty path is handed on with the path "/".
    "ordinary-POST-5": ("head", ("empty", 0), {"target": "http://example.com/"}),
    "ordinary-HEAD-5": ("head", ("empty", 0), {"target": "http://example.com/"}),
    "ordinary-PURGE-5": ("head", ("empty", 0), {"target": "http://example.com/"}),
    # Empty lines before the request line are skipped (RFC 9112 section 2.2).
    "leading-crlf": ("head", ("empty", 0), {}),
    "leading-lf": ("head", ("empty", 0), {}),
    # Content-Length is one number, never a list, and stays below the reserved values.
    "cl-list-same": ("error", "header_content_length_invalid"),
    "cl-max-minus-one": ("error", "too_large"),
    # With Transfer-Encoding, every Content-Length is dropped from the head, and in either order
    # the connection ends after this request (RFC 9112 section 6.1).
    "cl-then-te": ("head", CHUNKED, {"fields": {b"transfer-encoding": [b"chunked"]}, "keep_alive": False}),
    "te-then-cl": ("head", CHUNKED, {"fields": {b"transfer-encoding": [b"chunked"]}, "keep_alive": False}),
    "cl-te-cl": ("head", CHUNKED, {"fields": {b"transfer-encoding": [b"chunked"]}, "keep_alive": False}),
    # An empty element of the coding list is skipped (RFC 9110 section 5.6.1).
    "te-leading-comma": ("head", CHUNKED, {}),
    # Refused outright where the peer repairs or guesses.
    "te-folded": ("error", "header_token"),
    "fold-space": ("error", "header_token"),
    "fold-tab": ("error", "header_token"),
    "fold-cl": ("error", "header_token"),
    "te-http10": ("error", "header_transfer_encoding_unexpected"),
    "te-http10-with-cl": ("error", "header_transfer_encoding_unexpected"),
    "ctl-01-in-value": ("error", "header_token"),
    "ctl-1f-in-value": ("error", "header_token"),
    "del-in-value": ("error", "header_token"),
    "esc-in-value": ("error", "header_token"),
    "fragment-target": ("error", "uri"),
    "relative-target": ("error", "uri"),
    "absolute-bad-port": ("error", "uri"),
    "version-12": ("error", "version"),
    "version-20": ("error", "version"),
    "h2-preface": ("error", "version_h2"),
    "long-name": ("error", "too_large"),
    "long-target-70k": ("error", "uri_too_long"),
}


@pytest.mark.parametrize("name,data", CASES, ids=[n for n, _ in CASES])
def test_against_h11(name, data):
    a, b = ours(data), theirs(data)
    if name in DIFFERENCES:
        expected = DIFFERENCES[name]
        assert a != b[: len(a)], "recorded as a difference, but both decide alike"
        if expected[0] == "head":
            assert a[0] == "head" and a[4] == expected[1], a
            checks = expected[2]
            if "target" in checks:
                assert a[2] == checks["target"]
            if "fields" in checks:
                assert {k: v for k, v in a[3].items() if k != b"host"} == checks["fields"]
            if "keep_alive" in checks:
                assert a[5] is checks["keep_alive"]
        else:
            assert a == expected, a
        return
    assert verdict(a) == verdict(b), (a, b)
    if a[0] == "head":
        assert a[1:5] == b[1:5]


def test_corpus_size():
    assert len(CASES) >= 100
