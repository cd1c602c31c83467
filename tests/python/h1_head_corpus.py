"""Request heads for the differential check against h11: ordinary heads and the shapes used to
smuggle requests past one parser and into another."""

H = b"Host: example.com\r\n"


def _ordinary():
    cases = []
    methods = [b"GET", b"POST", b"PUT", b"DELETE", b"HEAD", b"OPTIONS", b"PATCH", b"PURGE", b"M-SEARCH"]
    targets = [b"/", b"/a/b/c", b"/search?q=a+b&x=%20", b"/%7Euser/", b"http://example.com/x?y",
               b"http://example.com", b"/a:b@c"]
    for i, m in enumerate(methods):
        for j, t in enumerate(targets):
            if (i + j) % 3:
                continue
            cases.append((f"ordinary-{m.decode()}-{j}", m + b" " + t + b" HTTP/1.1\r\n" + H + b"\r\n"))
    cases += [
        ("connect-authority", b"CONNECT example.com:443 HTTP/1.1\r\nHost: example.com:443\r\n\r\n"),
        ("options-asterisk", b"OPTIONS * HTTP/1.1\r\n" + H + b"\r\n"),
        ("http10-no-host", b"GET / HTTP/1.0\r\n\r\n"),
        ("http10-keep-alive", b"GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n"),
        ("post-length", b"POST /f HTTP/1.1\r\n" + H + b"Content-Length: 11\r\n\r\n"),
        ("post-length-zero", b"POST /f HTTP/1.1\r\n" + H + b"Content-Length: 0\r\n\r\n"),
        ("post-chunked", b"POST /f HTTP/1.1\r\n" + H + b"Transfer-Encoding: chunked\r\n\r\n"),
        ("chunked-upper", b"POST /f HTTP/1.1\r\n" + H + b"Transfer-Encoding: CHUNKED\r\n\r\n"),
        ("many-headers", b"GET / HTTP/1.1\r\n" + H + b"".join(b"X-H%d: v%d\r\n" % (i, i) for i in range(50)) + b"\r\n"),
        ("repeated-name", b"GET / HTTP/1.1\r\n" + H + b"Cookie: a=1\r\nAccept: */*\r\nCookie: b=2\r\n\r\n"),
        ("mixed-case-names", b"GET / HTTP/1.1\r\nHOST: example.com\r\nx-MiXeD: Value\r\n\r\n"),
        ("empty-value", b"GET / HTTP/1.1\r\n" + H + b"X-Empty:\r\n\r\n"),
        ("value-inner-spaces", b"GET / HTTP/1.1\r\n" + H + b"X-S: a  b \t c\r\n\r\n"),
        ("value-trailing-ws", b"GET / HTTP/1.1\r\n" + H + b"X-S: abc \t \r\n\r\n"),
        ("value-leading-tab", b"GET / HTTP/1.1\r\n" + H + b"X-S:\tabc\r\n\r\n"),
        ("value-utf8", b"GET / HTTP/1.1\r\n" + H + "X-U: caf\u00e9\r\n".encode() + b"\r\n"),
        ("value-latin1", b"GET / HTTP/1.1\r\n" + H + b"X-U: caf\xe9\r\n\r\n"),
        ("token-chars-name", b"GET / HTTP/1.1\r\n" + H + b"X!#$%&'*+-.^_`|~9: v\r\n\r\n"),
        ("expect-continue", b"PUT /u HTTP/1.1\r\n" + H + b"Expect: 100-continue\r\nContent-Length: 3\r\n\r\n"),
        ("upgrade", b"GET /ws HTTP/1.1\r\n" + H + b"Connection: Upgrade\r\nUpgrade: websocket\r\n\r\n"),
        ("te-trailers", b"GET / HTTP/1.1\r\n" + H + b"TE: trailers\r\n\r\n"),
        ("connection-close", b"GET / HTTP/1.1\r\n" + H + b"Connection: close\r\n\r\n"),
        ("incomplete-line", b"GET / HTTP/1.1\r\n" + H),
        ("incomplete-request-line", b"GET /ab"),
        ("leading-crlf", b"\r\nGET / HTTP/1.1\r\n" + H + b"\r\n"),
        ("leading-lf", b"\nGET / HTTP/1.1\r\n" + H + b"\r\n"),
        ("long-target", b"GET /" + b"a" * 8000 + b" HTTP/1.1\r\n" + H + b"\r\n"),
        ("long-value", b"GET / HTTP/1.1\r\n" + H + b"X-Long: " + b"v" * 8000 + b"\r\n\r\n"),
    ]
    return cases


def _smuggling():
    cl, te = b"Content-Length", b"Transfer-Encoding"
    req = b"POST /s HTTP/1.1\r\n" + H
    c = [
        # Content-Length repeated or conflicting
        ("cl-duplicate-same", req + b"Content-Length: 5\r\nContent-Length: 5\r\n\r\n"),
        ("cl-duplicate-differ", req + b"Content-Length: 5\r\nContent-Length: 6\r\n\r\n"),
        ("cl-list-same", req + b"Content-Length: 5, 5\r\n\r\n"),
        ("cl-list-differ", req + b"Content-Length: 5, 6\r\n\r\n"),
        ("cl-plus", req + b"Content-Length: +5\r\n\r\n"),
        ("cl-minus", req + b"Content-Length: -5\r\n\r\n"),
        ("cl-hex", req + b"Content-Length: 0x5\r\n\r\n"),
        ("cl-empty", req + b"Content-Length:\r\n\r\n"),
        ("cl-space-inside", req + b"Content-Length: 1 2\r\n\r\n"),
        ("cl-leading-zeros", req + b"Content-Length: 005\r\n\r\n"),
        ("cl-huge", req + b"Content-Length: 99999999999999999999999\r\n\r\n"),
        ("cl-max-minus-one", req + b"Content-Length: 18446744073709551614\r\n\r\n"),
        ("cl-u64-fits", req + b"Content-Length: 1844674407370955161\r\n\r\n"),
        ("cl-trailing-ws", req + b"Content-Length: 5 \t\r\n\r\n"),
        ("cl-underscore-name", req + b"Content_Length: 5\r\n\r\n"),
        # Content-Length with Transfer-Encoding, both orders
        ("cl-then-te", req + b"Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n"),
        ("te-then-cl", req + b"Transfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\n"),
        ("cl-te-cl", req + b"Content-Length: 5\r\nTransfer-Encoding: chunked\r\nContent-Length: 7\r\n\r\n"),
        # Transfer-Encoding variants and obfuscations
        ("te-gzip", req + b"Transfer-Encoding: gzip\r\n\r\n"),
        ("te-gzip-chunked", req + b"Transfer-Encoding: gzip, chunked\r\n\r\n"),
        ("te-chunked-gzip", req + b"Transfer-Encoding: chunked, gzip\r\n\r\n"),
        ("te-two-lines", req + b"Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n"),
        ("te-two-lines-last-gzip", req + b"Transfer-Encoding: chunked\r\nTransfer-Encoding: gzip\r\n\r\n"),
        ("te-chunked-twice", req + b"Transfer-Encoding: chunked, chunked\r\n\r\n"),
        ("te-identity", req + b"Transfer-Encoding: identity\r\n\r\n"),
        ("te-xchunked", req + b"Transfer-Encoding: xchunked\r\n\r\n"),
        ("te-chunked-x", req + b"Transfer-Encoding: chunked-x\r\n\r\n"),
        ("te-quoted", req + b'Transfer-Encoding: "chunked"\r\n\r\n'),
        ("te-trailing-comma", req + b"Transfer-Encoding: chunked,\r\n\r\n"),
        ("te-leading-comma", req + b"Transfer-Encoding: ,chunked\r\n\r\n"),
        ("te-tab", req + b"Transfer-Encoding:\tchunked\r\n\r\n"),
        ("te-trailing-tab", req + b"Transfer-Encoding: chunked\t\r\n\r\n"),
        ("te-empty", req + b"Transfer-Encoding:\r\n\r\n"),
        ("te-mixed-case", req + b"tRaNsFeR-eNcOdInG: cHuNkEd\r\n\r\n"),
        ("te-space-before-colon", req + b"Transfer-Encoding : chunked\r\n\r\n"),
        ("te-tab-before-colon", req + b"Transfer-Encoding\t: chunked\r\n\r\n"),
        ("te-folded", req + b"Transfer-Encoding:\r\n chunked\r\n\r\n"),
        ("te-vertical-tab", req + b"Transfer-Encoding:\x0bchunked\r\n\r\n"),
        ("te-form-feed", req + b"Transfer-Encoding: chunked\x0c\r\n\r\n"),
        ("te-nul", req + b"Transfer-Encoding: chunked\x00\r\n\r\n"),
        ("te-http10", b"POST /s HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n"),
        ("te-http10-with-cl", b"POST /s HTTP/1.0\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n"),
        ("te-name-underscore", req + b"Transfer_Encoding: chunked\r\n\r\n"),
        # obsolete line folding
        ("fold-space", b"GET / HTTP/1.1\r\n" + H + b"X-A: one\r\n two\r\n\r\n"),
        ("fold-tab", b"GET / HTTP/1.1\r\n" + H + b"X-A: one\r\n\ttwo\r\n\r\n"),
        ("fold-first-line", b"GET / HTTP/1.1\r\n two\r\n" + H + b"\r\n"),
        ("fold-cl", req + b"Content-Length:\r\n 5\r\n\r\n"),
        # whitespace before the colon, and around names
        ("space-before-colon", b"GET / HTTP/1.1\r\n" + H + b"X-A : v\r\n\r\n"),
        ("cl-space-before-colon", req + b"Content-Length : 5\r\n\r\n"),
        ("space-in-name", b"GET / HTTP/1.1\r\n" + H + b"X A: v\r\n\r\n"),
        ("empty-name", b"GET / HTTP/1.1\r\n" + H + b": v\r\n\r\n"),
        ("no-colon", b"GET / HTTP/1.1\r\n" + H + b"X-A v\r\n\r\n"),
        ("name-high-byte", b"GET / HTTP/1.1\r\n" + H + b"X-\xe9: v\r\n\r\n"),
        # bare CR, bare LF
        ("bare-cr-in-value", b"GET / HTTP/1.1\r\n" + H + b"X-A: a\rb\r\n\r\n"),
        ("bare-cr-line-end", b"GET / HTTP/1.1\r\n" + H + b"X-A: a\r\r\n\r\n"),
        ("bare-cr-request-line", b"GET / HTTP/1.1\r" + H + b"\r\n"),
        ("bare-cr-before-request", b"\rGET / HTTP/1.1\r\n" + H + b"\r\n"),
        ("bare-lf-all", b"GET / HTTP/1.1\n" + H.replace(b"\r\n", b"\n") + b"\n"),
        ("bare-lf-header", b"GET / HTTP/1.1\r\n" + H + b"X-A: v\n\r\n"),
        ("bare-lf-end", b"GET / HTTP/1.1\r\n" + H + b"\n"),
        ("bare-lf-cl", req + b"Content-Length: 5\n\r\n"),
        # NUL and other control bytes
        ("nul-in-value", b"GET / HTTP/1.1\r\n" + H + b"X-A: a\x00b\r\n\r\n"),
        ("nul-in-name", b"GET / HTTP/1.1\r\n" + H + b"X-\x00A: v\r\n\r\n"),
        ("nul-in-target", b"GET /a\x00b HTTP/1.1\r\n" + H + b"\r\n"),
        ("nul-in-method", b"G\x00T / HTTP/1.1\r\n" + H + b"\r\n"),
        ("ctl-01-in-value", b"GET / HTTP/1.1\r\n" + H + b"X-A: a\x01b\r\n\r\n"),
        ("ctl-1f-in-value", b"GET / HTTP/1.1\r\n" + H + b"X-A: a\x1fb\r\n\r\n"),
        ("del-in-value", b"GET / HTTP/1.1\r\n" + H + b"X-A: a\x7fb\r\n\r\n"),
        ("esc-in-value", b"GET / HTTP/1.1\r\n" + H + b"X-A: \x1b[31m\r\n\r\n"),
        ("tab-in-target", b"GET /a\tb HTTP/1.1\r\n" + H + b"\r\n"),
        ("del-in-target", b"GET /a\x7fb HTTP/1.1\r\n" + H + b"\r\n"),
        ("high-byte-target", b"GET /caf\xc3\xa9 HTTP/1.1\r\n" + H + b"\r\n"),
        ("invalid-utf8-target", b"GET /caf\xe9 HTTP/1.1\r\n" + H + b"\r\n"),
        ("fragment-target", b"GET /a#frag HTTP/1.1\r\n" + H + b"\r\n"),
        # request line shapes
        ("two-spaces-after-method", b"GET  / HTTP/1.1\r\n" + H + b"\r\n"),
        ("two-spaces-after-target", b"GET /  HTTP/1.1\r\n" + H + b"\r\n"),
        ("tab-separator", b"GET\t/\tHTTP/1.1\r\n" + H + b"\r\n"),
        ("trailing-space-version", b"GET / HTTP/1.1 \r\n" + H + b"\r\n"),
        ("lower-version", b"GET / http/1.1\r\n" + H + b"\r\n"),
        ("version-12", b"GET / HTTP/1.2\r\n" + H + b"\r\n"),
        ("version-20", b"GET / HTTP/2.0\r\n" + H + b"\r\n"),
        ("version-09", b"GET /\r\n\r\n"),
        ("lower-method", b"get / HTTP/1.1\r\n" + H + b"\r\n"),
        ("method-separator-char", b"GE(T / HTTP/1.1\r\n" + H + b"\r\n"),
        ("relative-target", b"GET a/b HTTP/1.1\r\n" + H + b"\r\n"),
        ("absolute-bad-port", b"GET http://h:99999/ HTTP/1.1\r\n" + H + b"\r\n"),
        ("h2-preface", b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"),
        # over-long lines and names
        ("long-name", b"GET / HTTP/1.1\r\n" + H + b"X" * 70000 + b": v\r\n\r\n"),
        ("long-header-line", b"GET / HTTP/1.1\r\n" + H + b"X-L: " + b"v" * 70000 + b"\r\n\r\n"),
        ("long-target-70k", b"GET /" + b"a" * 70000 + b" HTTP/1.1\r\n" + H + b"\r\n"),
        ("long-method", b"A" * 20000 + b" / HTTP/1.1\r\n" + H + b"\r\n"),
        ("too-many-headers", b"GET / HTTP/1.1\r\n" + b"".join(b"X-%d: v\r\n" % i for i in range(101)) + b"\r\n"),
    ]
    return c


CASES = _ordinary() + _smuggling()
