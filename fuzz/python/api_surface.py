#!/usr/bin/env python3
"""Fuzz target: every class, function and method of _quillet called with fuzzed argument values,
types and counts.

Values: str with lone surrogates, str/bytes/int subclasses whose dunders raise, bytes, bytearray,
memoryview, huge and negative ints, bool for int, None, objects whose __index__, __eq__, __hash__
or __iter__ raise, wrong keyword names, too many and too few arguments. Only the module's own
exception classes and TypeError, ValueError, OverflowError, KeyError and MemoryError (by exact
type) may come out; an error raised by one of the misbehaving objects must come out unchanged.
Beyond that:
- a str, bytes or int subclass is read like the plain value: the result is the same;
- a HeaderMap stays consistent with itself after every operation (len, keys, items, iteration);
- uri_parts gives a default port and an authority for the schemes that have them;
- proxy choice ignores the letter case of both schemes;
- an exception class whose __new__ or __init__ was replaced yields that replacement's outcome or
  a TypeError, never a SystemError;
- assigning a property raises AttributeError and changes nothing.
"""

import inspect
import os
import sys

import atheris

with atheris.instrument_imports(include=["fuzzlib", "wiregen"]):
    import fuzzlib
    import wiregen as gen

import _quillet as q
from fuzzlib import (BadBytes, BadEqHash, BadIndex, BadInt, BadIter, BadMapping, BadPair,
                     BadPairs, BadStr, BigIndex, Chunk, Hostile, Raised, WeirdIndex, call, check,
                     compare)

U64_MAX = 2**64 - 1

TEXTS = ["", "GET", "chunked", "length", "close", "http://example.com/", "https://[::1]:8443/x",
         "ws://h/", "HTTP://Example.COM:80/", "/only/path", "h:443", "*", "x-a", "Content-Length",
         "socks5h://u:p@s:1080", "p.internal:3128", "localhost, .corp, 10.0.0.0/8, ::1", "é",
         "\x00", "a\ud800b", "\udfff", "http://\ud800/", "100-continue"]
INTS = [0, 1, 2, 5, 99, 100, 101, 200, 999, 1000, 8191, 8192, 65535, 65536, 2**31 - 1, 2**31,
        2**32 - 1, 2**32, 2**63, U64_MAX - 2, U64_MAX - 1, U64_MAX, 2**64, -1, -2**64, 10**40]


class Opaque:
    pass


def text(fdp):
    kind = fdp.ConsumeIntInRange(0, 7)
    if kind < 4:
        return fdp.PickValueInList(TEXTS)
    if kind < 6:
        return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 24))
    return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 24))


def value(fdp, depth=0):
    """Any argument value."""
    kind = fdp.ConsumeIntInRange(0, 31)
    if kind < 6:
        return text(fdp)
    if kind < 8:
        return BadStr(text(fdp))
    if kind < 11:
        return gen.wire(fdp) if fdp.ConsumeBool() else gen.raw(fdp, 24)
    if kind == 11:
        return fdp.PickValueInList([bytearray, memoryview, Chunk, BadBytes])(gen.raw(fdp, 16))
    if kind < 15:
        return fdp.PickValueInList(INTS)
    if kind == 15:
        return fdp.PickValueInList([True, False, None, 1.5, float("nan"), 1j])
    if kind == 16:
        return fdp.PickValueInList([BadIndex(), WeirdIndex(), BadInt(7), BigIndex(2**64),
                                    BigIndex(200), BadEqHash()])
    if kind == 17:
        return fdp.PickValueInList([BadIter(), BadPairs([("a", "b")]), [BadPair()],
                                    BadMapping(a="b"), [("a",)], [("a", "b", "c")], ["ab"]])
    if kind < 21:
        return gen.headers(fdp)
    if kind == 21 and depth < 2:
        return [value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 3))]
    if kind == 22 and depth < 2:
        return {value_key(fdp): value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 2))}
    if kind == 23:
        return fdp.PickValueInList([Opaque(), OSError("x"), q.H1ParseError("k", "m"), object,
                                    q.HeaderMap, len])
    return instance(fdp, depth + 1) if depth < 2 else None


def value_key(fdp):
    key = value(fdp, 2)
    try:
        hash(key)
    except (TypeError, Hostile):
        return "k"
    return key


# ---------------------------------------------------------------------------------------------
# Instances of the module's classes.

def make_head(fdp, request=True):
    codec = q.H1Codec()
    data = gen.request(fdp) if request else gen.response(fdp)
    r = call(codec.receive_request_head if request else codec.receive_head, data)
    return None if isinstance(r, Raised) else r


def make_h2_streams(fdp):
    pick = fdp.PickValueInList
    conn = q.H2Streams(pick(["client", "server"]), initial_window_size=pick(WINDOWS),
                       connection_window=pick(WINDOWS), max_frame_size=pick([16384, 16777215]),
                       max_header_list_size=pick([0, 100, 65536, 2**32 - 1]),
                       max_send_buf_size=pick([0, 1, 65536]),
                       max_concurrent_streams=pick([None, 0, 1, 100]))
    if fdp.ConsumeBool():
        conn.begin()
    return conn


WINDOWS = [0, 1, 16384, 65535, 65536, 2**31 - 1]


def make_h2_frame(fdp):
    """A frame object the connection's recv_* methods take (their only source is a decoder)."""
    peer = q.H2Codec()
    pick = fdp.PickValueInList
    sid = pick([1, 2, 3, 2**31 - 1])
    data = pick([
        lambda: peer.serialize_settings(initial_window_size=pick(WINDOWS),
                                        max_concurrent_streams=pick([None, 0, 1]),
                                        header_table_size=pick([None, 0, 4096, 2**32 - 1]),
                                        max_frame_size=pick([None, 16384, 16777215])),
        lambda: peer.serialize_settings_ack(),
        lambda: peer.serialize_ping(pick([b"SHUTDOWN", b"\x00" * 8])),
        lambda: peer.serialize_ping_ack(pick([b"SHUTDOWN", b"12345678"])),
        lambda: peer.serialize_request_headers(sid, "POST", "/", gen.headers(fdp, map_only=True),
                                               fdp.ConsumeBool(), scheme="http", authority="a"),
        lambda: peer.serialize_response_headers(sid, pick([100, 200, 204]),
                                                gen.headers(fdp, map_only=True)),
        lambda: peer.serialize_data(sid, gen.raw(fdp, 16), fdp.ConsumeBool()),
        lambda: peer.serialize_window_update(pick([0, sid]), pick([1, 2**31 - 1])),
        lambda: peer.serialize_rst_stream(sid, pick([0, 8, 2**32 - 1])),
        lambda: peer.serialize_go_away(sid, pick([0, 2]), gen.raw(fdp, 8)),
        lambda: gen.raw(fdp, 40),
    ])
    data = call(data)
    if isinstance(data, Raised):
        return q.OnceLatch()
    r = call(q.H2Codec().receive, data)
    return r[0] if isinstance(r, list) and r else q.OnceLatch()


def instance(fdp, depth=0):
    kind = fdp.ConsumeIntInRange(0, 15)
    if kind == 0:
        r = call(q.HeaderMap, gen.header_pairs(fdp))
        return q.HeaderMap() if isinstance(r, Raised) else r
    if kind == 1:
        return q.H1Codec(max_buf_size=fdp.PickValueInList([8192, 417792]))
    if kind == 2:
        return q.H1BodyDecoder(fdp.PickValueInList(["length", "chunked", "close", "empty"]),
                               fdp.PickValueInList(gen.LENGTHS[:10]))
    if kind == 3:
        return q.H1ServerState(q.H1Codec(), Opaque())
    if kind == 4:
        return q.H1ClientState(Opaque())
    if kind == 5:
        return q.OnceLatch()
    if kind == 6:
        return q.ProxyMatcher.from_parts(all=fdp.PickValueInList(PROXIES),
                                         no=fdp.PickValueInList(NO_PROXY))
    if kind == 7:
        m = q.ProxyMatcher.from_parts(all=fdp.PickValueInList(PROXIES))
        return m.intercept("http://example.com/") or m
    if kind == 8:
        return make_head(fdp, True) or q.OnceLatch()
    if kind == 9:
        return make_head(fdp, False) or q.OnceLatch()
    if kind == 10:
        return fdp.PickValueInList(EXCEPTIONS)(*[value(fdp, 2)
                                                 for _ in range(fdp.ConsumeIntInRange(0, 2))])
    if kind == 11:
        return fdp.PickValueInList([q.H2StreamState, q.H2FlowControl, q.H2ContentLength,
                                    q.H2DataFrameBudget])()
    if kind == 12:
        return make_h2_streams(fdp)
    if kind == 13:
        return make_h2_frame(fdp)
    if kind == 14:
        return q.H2Codec(fdp.PickValueInList(["client", "server"]))
    return fdp.PickValueInList(CLASSES)


PROXIES = [None, "", "http://p:3128", "HTTP://p:3128", "https://u:pw@p:443/x?y",
           "socks5h://us%20er:p@s:1080", "socks4://s", "p.internal:3128", "ftp://p",
           "http://[::1]:1", "http://u@p"]
NO_PROXY = [None, "", "*", "localhost,.corp.example", "10.0.0.0/8, ::1", "example.com"]
EXCEPTIONS = [getattr(q, n) for n in q.__all__
              if isinstance(getattr(q, n), type) and issubclass(getattr(q, n), BaseException)]
CLASSES = [getattr(q, n) for n in q.__all__ if isinstance(getattr(q, n), type)]
FUNCTIONS = [q.http_date, q.uri_parts, q.ProxyMatcher.from_env, q.ProxyMatcher.from_parts,
             q.H1Codec.continue_response, q.H1Codec.connection_close]
KEYWORDS = ["all", "http", "https", "no", "headers", "content_length", "chunked", "http10",
            "keep_alive", "want", "head_negotiated", "max_buf_size", "max_headers",
            "ignore_invalid_headers", "title_case_headers", "date_header", "half_close",
            "data", "error", "default", "seq", "status", "bogus", "self", "init", "eos",
            "informational", "queued", "stream_id", "reason", "initiator", "sz", "capacity",
            "is_head", "configured", "connection_window", "payload_len", "charge", "frame",
            "sid", "limit", "method", "target", "end_stream", "handle", "scheme", "authority",
            "role", "initial_window_size", "max_frame_size", "max_header_list_size",
            "max_send_buf_size", "max_concurrent_streams", "enable_push", "data_frame_budget",
            "max_pending_accept_reset_streams", "max_local_error_reset_streams",
            "auto_date_header", "auto_date", "header_table_size", "trailers", "increment",
            "payload", "last_stream_id", "error_code", "debug_data", "exc", "message"]


def arguments(fdp):
    args = [value(fdp) for _ in range(fdp.PickValueInList([0, 1, 1, 2, 2, 3, 4, 7]))]
    kwargs = {}
    for _ in range(fdp.PickValueInList([0, 0, 0, 1, 2])):
        kwargs[fdp.PickValueInList(KEYWORDS)] = value(fdp)
    return args, kwargs


def methods(obj):
    names = [n for n in dir(obj) if not n.startswith("_")]
    names += ["__getitem__", "__setitem__", "__delitem__", "__contains__", "__len__",
              "__iter__", "__eq__", "__ne__", "__lt__", "__repr__", "__hash__", "__reduce_ex__",
              "__sizeof__", "__init__", "__new__", "__format__", "__bool__"]
    return [n for n in names if hasattr(obj, n)]


# ---------------------------------------------------------------------------------------------
# Checks.

def plain(v):
    """The plain value a subclass instance stands for, or None when there is none."""
    if isinstance(v, BadStr):
        return str.__str__(v)
    if isinstance(v, (Chunk, BadBytes)):
        return bytes.__getitem__(v, slice(None))
    if isinstance(v, BadInt):
        return int.__int__(v)
    return None


def same_outcome(a, b):
    if isinstance(a, Raised) or isinstance(b, Raised):
        return type(getattr(a, "exc", a)) is type(getattr(b, "exc", b))
    if isinstance(a, (tuple, list, bytes, str, int, bool, type(None))):
        return a == b
    return type(a) is type(b)


# Calls without side effects, whose outcome with a subclass argument can be compared with the
# outcome with the plain value.
PURE = {"uri_parts", "get", "get_all", "__contains__", "__getitem__", "connection_close",
        "intercept", "H1BodyDecoder", "H1Codec", "H1ClientState"}


def check_subclass_reads_like_plain(fn, args, first, extra):
    plain_args = [plain(a) if plain(a) is not None else a for a in args]
    if (all(p is a for p, a in zip(plain_args, args))
            or any(isinstance(a, BadInt) for a in args)):
        # BadInt's __index__ raises by design: an int subclass is converted through it
        return
    second = call(fn, *plain_args, _extra=extra)
    if isinstance(first, Raised) and isinstance(first.exc, Hostile):
        compare(False, "the module called a dunder of a str or bytes subclass", fn, first)
    compare(same_outcome(first, second), "a subclass argument reads unlike the plain value",
          fn, args, first, second)


def check_header_map(m):
    items = m.items()
    keys = m.keys()
    check(len(m) == len(items) == len(m.values()), "HeaderMap lengths disagree", items)
    check(len(set(keys)) == len(keys) and list(m) == keys, "HeaderMap keys", keys)
    check([(k.encode(), v) for k, v in items] == m.raw_items(), "HeaderMap raw_items", items)
    check(sorted(set(k for k, _ in items)) == sorted(keys), "HeaderMap items and keys", items)
    for k in keys:
        check(m.get_all(k) == [v for n, v in items if n == k], "HeaderMap get_all", k)


def check_uri_parts(url, r):
    if isinstance(r, Raised):
        compare(type(r.exc) is ValueError, "uri_parts raised", r)
        return
    scheme, host, port, authority = r
    if scheme in ("http", "https", "ws", "wss") and host is not None:
        compare(port is not None and authority is not None and authority.endswith(":%d" % port),
              "uri_parts without a port", url, r)
    if scheme is not None and scheme.lower() in ("http", "https"):
        compare(scheme in ("http", "https"), "uri_parts kept the case of http(s)", url, r)


def flip_scheme(url):
    head, sep, rest = url.partition("://")
    return head.swapcase() + sep + rest if sep else url


def check_proxy_case(fdp):
    proxy = fdp.PickValueInList(PROXIES[2:])
    dest = fdp.PickValueInList(["http://example.com/", "https://x.corp/", "ws://h/", "http://[::1]/"])
    no = fdp.PickValueInList(NO_PROXY)
    base = q.ProxyMatcher.from_parts(all=proxy, no=no).intercept(dest)
    flipped_dest = q.ProxyMatcher.from_parts(all=proxy, no=no).intercept(flip_scheme(dest))
    check(repr(base) == repr(flipped_dest), "destination scheme case changes the proxy", dest)
    # Schemes ignore case, the SOCKS ones included.
    flipped = q.ProxyMatcher.from_parts(all=flip_scheme(proxy), no=no).intercept(dest)
    check(repr(base) == repr(flipped), "proxy scheme case changes the proxy", proxy, dest, base,
          flipped)


ENV_SETTINGS = [("ALL_PROXY", "all_proxy"), ("HTTP_PROXY", "http_proxy"),
                ("HTTPS_PROXY", "https_proxy"), ("NO_PROXY", "no_proxy")]
ENV_VALUES = [b"", b"http://p:3128", b"HTTP://P:1", b"socks5://u:p@s:1080", b"p:8080",
              b"https://u%20x:pw@p:443", b"ftp://p", b"*", b".corp,localhost", b"10.0.0.0/8",
              b"http://\xff:1", b"http://\xed\xa0\x80:1", b"\xc3\xa9"]
ENV_URLS = ["http://example.com/", "https://x.corp/", "http://10.1.2.3/", "https://localhost/",
            "ws://h/", "http://[::1]/"]


def env_text(name):
    value = os.environb.get(name.encode())
    if value is None:
        return None
    try:
        return value.decode("utf-8")
    except UnicodeDecodeError:
        return None


def check_proxy_env(fdp):
    """from_env reads each setting from the first of its two variables that is set and valid
    UTF-8, upper case first, and nothing at all under REQUEST_METHOD: the same matcher as
    from_parts with those strings."""
    names = [n for pair in ENV_SETTINGS for n in pair] + ["REQUEST_METHOD"]
    saved = {n: os.environb.get(n.encode()) for n in names}
    try:
        for n in names:
            choice = fdp.ConsumeIntInRange(0, 15 if n == "REQUEST_METHOD" else 3)
            if choice == 0 and n == "REQUEST_METHOD":
                os.environb[n.encode()] = b"GET"
            elif choice == 0 or n == "REQUEST_METHOD":
                os.environb.pop(n.encode(), None)
            else:
                os.environb[n.encode()] = fdp.PickValueInList(ENV_VALUES)
        got = q.ProxyMatcher.from_env()
        if "REQUEST_METHOD" in os.environ:
            want = q.ProxyMatcher.from_parts()
        else:
            picked = []
            for upper, lower in ENV_SETTINGS:
                text = env_text(upper)
                picked.append(env_text(lower) if text is None else text)
            want = q.ProxyMatcher.from_parts(all=picked[0], http=picked[1], https=picked[2],
                                             no=picked[3])
        for url in ENV_URLS:
            a, b = got.intercept(url), want.intercept(url)
            compare(repr(a) == repr(b) and (a is None or (a.basic_auth(), a.raw_auth())
                                            == (b.basic_auth(), b.raw_auth())),
                    "from_env differs from from_parts with the same settings", url, a, b,
                    {n: os.environb.get(n.encode()) for n in names})
    finally:
        for n, v in saved.items():
            if v is None:
                os.environb.pop(n.encode(), None)
            else:
                os.environb[n.encode()] = v


FULL = 24576  # distinct names a HeaderMap holds


def check_header_map_full(fdp):
    """A map holds 24576 distinct names; past that every insertion and append is refused with
    ValueError and changes nothing."""
    m = call(q.HeaderMap, [(f"h{i}", "v") for i in range(FULL)])
    if isinstance(m, Raised):
        compare(False, "a map of 24576 names was refused", m)
        return
    check(len(m) == FULL, "a full map lost names", len(m))
    ops = [lambda: m.add("new", "v"), lambda: m.add("h0", "v2"), lambda: m.__setitem__("h1", "x"),
           lambda: m.setdefault("new", "x")]
    r = call(fdp.PickValueInList(ops))
    compare(isinstance(r, Raised) and type(r.exc) is ValueError
            and r.exc.args == ("header map is full (http::HeaderMap MAX_SIZE, 32768 entries)",),
            "an insertion into a full map was not refused", r)
    check(len(m) == FULL and m.get_all("h0") == [b"v"] and m["h1"] == b"v" and "new" not in m,
          "a refused insertion changed the map")
    del m[f"h{fdp.ConsumeIntInRange(0, FULL - 1)}"]
    r = call(m.add, "new", "v")
    compare(r is None and len(m) == FULL, "a freed place could not be used", r)


# A call of the module that raises each class, for the tampered-class check.
RAISERS = {
    q.H1ParseError: lambda: q.H1Codec().receive_request_head(b"\x01 / HTTP/1.1\r\n\r\n"),
    q.H1UserError: lambda: q.H1Codec().serialize_response(100),
    q.H1BodyError: lambda: (lambda d: (d.feed(b"zz\r\n"), d.decode()))(q.H1BodyDecoder("chunked")),
}


class Unrelated(Exception):
    pass


def _new_returning_int(cls, *args, **kwargs):
    return 42


def _new_raising(cls, *args, **kwargs):
    raise Hostile("__new__")


def _new_returning_other(cls, *args, **kwargs):
    return Unrelated("other")


def _init_raising(self, *args, **kwargs):
    raise Hostile("__init__")


def _new_plain(cls, *args, **kwargs):
    return Exception.__new__(cls, "replaced")


def check_tampered_exception(fdp):
    cls = fdp.PickValueInList(list(RAISERS))
    variant = fdp.ConsumeIntInRange(0, 4)
    replacements = [
        ("__new__", staticmethod(_new_returning_int)),
        ("__new__", staticmethod(_new_raising)),
        ("__new__", staticmethod(_new_returning_other)),
        ("__init__", _init_raising),
        ("__new__", staticmethod(_new_plain)),
    ]
    name, fn = replacements[variant]
    setattr(cls, name, fn)
    try:
        r = call(RAISERS[cls], _extra=(Unrelated,))
    finally:
        delattr(cls, name)
    compare(isinstance(r, Raised), "a tampered exception class raised nothing", cls, variant)
    if not isinstance(r, Raised):
        return  # only after an injected allocation failure
    # Whatever the replacement returns or raises, the module's error is raised as itself: what
    # the class made is checked, and BaseException's own construction stands in for it.
    compare(type(r.exc) is cls, "a tampered exception class gave another error", cls, variant, r)


def check_read_only(obj):
    cls = type(obj)
    for name, attr in vars(cls).items():
        if name.startswith("__"):
            continue
        if isinstance(attr, property) or type(attr).__name__ == "getset_descriptor":
            before = call(getattr, obj, name)
            r = call(setattr, obj, name, 1, _extra=(AttributeError,))
            compare(isinstance(r, Raised) and type(r.exc) is AttributeError,
                  "a property could be assigned", cls, name, r)
            after = call(getattr, obj, name)
            compare(same_outcome(before, after), "a refused assignment changed a property",
                  cls, name)


# ---------------------------------------------------------------------------------------------

def one_call(fdp, pool):
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind < 5 and pool:
        obj = fdp.PickValueInList(pool)
        names = methods(obj)
        name = fdp.PickValueInList(names)
        fn = getattr(obj, name)
    elif kind < 7:
        fn = fdp.PickValueInList(FUNCTIONS + CLASSES)
    elif kind == 7:
        check_proxy_case(fdp)
        return
    elif kind == 8:
        which = fdp.ConsumeIntInRange(0, 127)
        if which < 96:
            check_tampered_exception(fdp)
        elif which < 127:
            check_proxy_env(fdp)
        else:
            check_header_map_full(fdp)
        return
    else:
        if pool:
            check_read_only(fdp.PickValueInList(pool))
        return
    args, kwargs = arguments(fdp)
    # IndexError: a header initialiser's element lookup (e[0], e[1]) fails and propagates
    # unchanged, as it should
    extra = (IndexError,)
    r = call(fn, *args, _extra=extra, **kwargs)
    if fn is q.uri_parts and len(args) == 1 and not kwargs and isinstance(args[0], str):
        check_uri_parts(args[0], r)
    if (not kwargs and getattr(fn, "__name__", None) in PURE
            and any(plain(a) is not None for a in args)):
        check_subclass_reads_like_plain(fn, args, r, extra)
    if isinstance(r, (q.HeaderMap, q.H1Codec, q.H1BodyDecoder, q.OnceLatch, q.ProxyMatcher,
                      q.ProxyIntercept, q.H1ServerState, q.H1ClientState, q.H2StreamState,
                      q.H2FlowControl, q.H2ContentLength, q.H2DataFrameBudget, q.H2Streams,
                      q.H2Codec, q.H2Stopped, q.H2SendVerdict, q.H2ResetVerdict,
                      q.H2RecvHeadersVerdict, q.H2RecvDataVerdict)):
        pool.append(r)
    elif isinstance(r, list) and r and type(r[0]).__name__.startswith("H2Frame"):
        pool.append(r[0])
    for obj in pool:
        if isinstance(obj, q.HeaderMap):
            check_header_map(obj)


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    fuzzlib.plan_failure(fdp)
    try:
        pool = [instance(fdp) for _ in range(fdp.ConsumeIntInRange(0, 2))]
        for _ in range(fdp.ConsumeIntInRange(1, 8)):
            one_call(fdp, pool)
    except MemoryError:
        return  # the harness's own allocation failed


for _name, _fn in list(globals().items()):
    if inspect.isfunction(_fn) and _fn.__module__ == __name__:
        globals()[_name] = atheris.instrument_func(_fn)


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
