"""python -m quillet: the command-line entry of the package."""

import argparse
import functools
import importlib
import importlib.util
import os
import logging
import sys

import _quillet


def demo() -> int:
    """Shows what the native core offers today, by driving it the way a server would."""
    print(f"_quillet {_quillet.__version__}: the sans-IO HTTP core of quillet\n")

    request = (b"POST /echo?x=1 HTTP/1.1\r\nHost: example.com\r\nContent-Type: text/plain\r\n"
               b"Content-Length: 11\r\n\r\nhello worldGET /next HTTP/1.1\r\nHost: example.com\r\n\r\n")
    codec = _quillet.H1Codec()
    print(f"received {len(request)} bytes: two pipelined requests")
    head = codec.receive_request_head(request)
    print(f"  {head!r}")
    print(f"  headers: {head.headers.items()}")
    buffered = codec.take_body()  # the body and whatever followed it
    body, rest = buffered[: head.content_length], buffered[head.content_length:]
    codec.feed(rest)  # the next request's bytes go back for the next parse
    print(f"  body: {body!r}")
    response = codec.serialize_response(
        200, {"content-type": "text/plain"}, content_length=len(body))
    print(f"answer head ({len(response)} bytes):")
    for line in response.decode().split("\r\n")[:-2]:
        print(f"  {line}")
    print(f"  reuse the connection: {not codec.response_is_last}")
    codec.reset()
    print(f"  next: {codec.receive_request_head(b'')!r}\n")

    try:
        _quillet.H1Codec().receive_request_head(b"GET / HTTP/1.1\r\nBad Header: x\r\n\r\n")
    except _quillet.H1ParseError as err:
        print(f"a malformed head: {type(err).__name__}{err.args}\n")

    for url in ("https://[::1]:8443/x", "ws://example.com/chat", "/only/a/path"):
        print(f"uri_parts({url!r}) = {_quillet.uri_parts(url)}")
    print(f"http_date() = {_quillet.http_date()!r}")
    latch = _quillet.OnceLatch()
    print(f"OnceLatch: first try {latch.try_acquire()}, second try {latch.try_acquire()}")
    return 0


def load_app(spec: str):
    """The application named by "module:attribute" (attribute may be dotted)."""
    module_name, sep, attr = spec.partition(":")
    if not sep or not module_name or not attr:
        raise SystemExit(f"application must be given as module:attribute, not {spec!r}")
    if "" not in sys.path:
        sys.path.insert(0, "")
    obj = importlib.import_module(module_name)
    for part in attr.split("."):
        obj = getattr(obj, part)
    return obj


def serve(args: argparse.Namespace) -> int:
    from . import _workers, server

    logging.basicConfig(level=getattr(logging, args.log_level.upper()),
                        format="%(asctime)s %(levelname)s %(name)s: %(message)s")
    if args.app is None:
        from .demo_app import app
        name = "the demo application"
    else:
        app = load_app(args.app)
        name = args.app
    tls = tls_reload = None
    if args.ssl_certfile or args.ssl_keyfile:
        if not args.ssl_certfile:
            print("quillet: error: --ssl-keyfile needs --ssl-certfile", file=sys.stderr)
            return 2
        if args.ssl_cert_reqs and not args.ssl_ca_certs:
            print("quillet: error: --ssl-cert-reqs 1 or 2 needs --ssl-ca-certs, the CA "
                  "certificates that client certificates are checked against", file=sys.stderr)
            return 2
        tls_reload = functools.partial(
            server.tls_context, args.ssl_certfile, args.ssl_keyfile, args.ssl_keyfile_password,
            ca_certs=args.ssl_ca_certs, cert_reqs=args.ssl_cert_reqs, ciphers=args.ssl_ciphers,
            min_version=args.ssl_min_version)
        try:
            tls = tls_reload()
        except server.TLSConfigError as exc:
            print(f"quillet: error: {exc}", file=sys.stderr)
            return 1
    elif args.ssl_ca_certs or args.ssl_cert_reqs or args.ssl_ciphers:
        print("quillet: error: the --ssl-* options need --ssl-certfile", file=sys.stderr)
        return 2
    options = dict(
        ssl=tls, ssl_reload=tls_reload,
        root_path=args.root_path, proxy_headers=args.proxy_headers,
        forwarded_allow_ips=args.forwarded_allow_ips, keep_alive_timeout=args.timeout_keep_alive,
        body_timeout=args.timeout_body, h2_settings_timeout=args.timeout_h2_settings,
        limit_concurrency=args.limit_concurrency, limit_max_requests=args.limit_max_requests,
        limit_connections=args.limit_connections,
        backlog=args.backlog, access_log=args.access_log,
        ws=args.ws, ws_max_size=args.ws_max_size, ws_max_queue=args.ws_max_queue,
        ws_ping_interval=args.ws_ping_interval, ws_ping_timeout=args.ws_ping_timeout,
        ws_per_message_deflate=args.ws_per_message_deflate)

    def announce(srv: server.Server, extra: str = "") -> None:
        on = "" if args.loop == "asyncio" else f" on {args.loop}"
        print(f"quillet {_quillet.__version__} serving {name} on {srv.url}{extra}{on} "
              f"(Ctrl+C to stop)", flush=True)

    if args.loop == "uvloop" and importlib.util.find_spec("uvloop") is None:
        print("quillet: error: --loop uvloop needs uvloop: pip install 'quillet[uvloop]'",
              file=sys.stderr)
        return 1
    try:
        if args.workers <= 1:
            srv = server.Server(app, args.host, args.port, uds=args.uds, **options)
            server.run_loop(srv.serve(ready=announce), args.loop)
            status = 0
        else:
            sock = _workers.bind(args.host, args.port, args.uds, args.backlog)
            if args.uds is None:
                port = sock.getsockname()[1]
            else:
                port = args.port
            shown = server.Server(app, args.host, port, uds=args.uds, ssl=tls,
                                  ssl_reload=tls_reload)
            announce(shown, f" with {args.workers} workers (parent pid {os.getpid()})")
            serve_one = _workers.serve_in_worker(
                lambda s: server.Server(app, args.host, port, sock=s, **options), args.loop)

            def reload_check() -> bool:
                """On SIGHUP the parent loads the certificate first: only when it loads are
                the workers told, and a worker started later gets the new one."""
                if not shown.reload_tls():
                    return False
                options["ssl"] = shown.ssl
                return True

            status = _workers.Supervisor(args.workers, sock, serve_one,
                                         reload_check if tls is not None else None).run()
            sock.close()
    except OSError as exc:  # the address is taken, the socket path is not writable...
        print(f"quillet: error: cannot listen: {exc}", file=sys.stderr)
        return 1
    finally:
        if args.uds is not None and os.path.exists(args.uds):
            os.unlink(args.uds)
    print("quillet: stopped", flush=True)
    return status


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quillet")
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("demo", help="show what the native core offers")
    cmd = commands.add_parser("serve", help="serve an ASGI application over HTTP/1.1 and HTTP/2")
    cmd.add_argument("app", nargs="?", default=None,
                     help="module:app to serve (default: the embedded demo application)")
    cmd.add_argument("--host", default="127.0.0.1")
    cmd.add_argument("--port", type=int, default=8000)
    cmd.add_argument("--uds", metavar="PATH", help="listen on this Unix socket instead")
    cmd.add_argument("--workers", type=int, default=1, metavar="N",
                     help="worker processes sharing the listening socket")
    cmd.add_argument("--ssl-certfile", metavar="FILE", help="serve TLS with this certificate")
    cmd.add_argument("--ssl-keyfile", metavar="FILE", help="its private key")
    cmd.add_argument("--ssl-keyfile-password", metavar="PASSWORD")
    # TLS: client certificates, ciphers, protocol versions (SIGHUP reloads the files)
    cmd.add_argument("--ssl-ca-certs", metavar="FILE",
                     help="CA certificates (PEM) that client certificates are checked against")
    cmd.add_argument("--ssl-cert-reqs", type=int, choices=[0, 1, 2], default=0,
                     help="client certificates: 0 not asked for, 1 checked when sent, "
                          "2 required (as ssl.CERT_NONE/OPTIONAL/REQUIRED)")
    cmd.add_argument("--ssl-ciphers", metavar="LIST",
                     help="OpenSSL cipher list for TLS 1.2 (default: OpenSSL's own)")
    cmd.add_argument("--ssl-min-version", choices=["TLSv1.2", "TLSv1.3"], default="TLSv1.2",
                     help="the lowest TLS version a client may use")
    cmd.add_argument("--root-path", default="", help="the ASGI root_path of every request")
    cmd.add_argument("--proxy-headers", action="store_true",
                     help="take the client and scheme from X-Forwarded-For/-Proto")
    cmd.add_argument("--forwarded-allow-ips", default="127.0.0.1", metavar="LIST",
                     help="comma-separated addresses or networks trusted for proxy headers, "
                          "or *")
    cmd.add_argument("--timeout-keep-alive", type=float, default=5.0, metavar="SECONDS")
    cmd.add_argument("--timeout-body", type=float, default=30.0, metavar="SECONDS",
                     help="a request body, or an HTTP/2 stream's window, that stalls this long "
                          "is given up (HTTP/1.1: 408; HTTP/2: the stream is reset)")
    cmd.add_argument("--timeout-h2-settings", type=float, default=10.0, metavar="SECONDS",
                     help="end an HTTP/2 connection whose SETTINGS ACK is this late")
    cmd.add_argument("--limit-concurrency", type=int, metavar="N",
                     help="requests in progress per worker before answering 503")
    cmd.add_argument("--limit-connections", type=int, metavar="N",
                     help="open connections per worker; beyond it new ones are closed at once")
    cmd.add_argument("--limit-max-requests", type=int, metavar="N",
                     help="a worker stops (and is replaced) after this many requests")
    cmd.add_argument("--backlog", type=int, default=2048)
    # WebSocket
    cmd.add_argument("--ws", choices=["auto", "none"], default="auto",
                     help="serve WebSocket upgrades (auto), or answer them as plain HTTP (none)")
    cmd.add_argument("--ws-max-size", type=int, default=16 * 1024 * 1024, metavar="BYTES",
                     help="the largest WebSocket message taken; a larger one closes with 1009")
    cmd.add_argument("--ws-max-queue", type=int, default=32, metavar="N",
                     help="received messages held for a slow application before reading stops")
    cmd.add_argument("--ws-ping-interval", type=float, default=20.0, metavar="SECONDS",
                     help="ping a quiet WebSocket this often (0: never)")
    cmd.add_argument("--ws-ping-timeout", type=float, default=20.0, metavar="SECONDS",
                     help="close a WebSocket with 1011 when its pong is this late")
    cmd.add_argument("--ws-per-message-deflate", action=argparse.BooleanOptionalAction,
                     default=True, help="compress WebSocket messages when the client offers it")
    cmd.add_argument("--loop", choices=["asyncio", "uvloop"], default="asyncio",
                     help="the event loop: the standard one, or uvloop (the optional extra "
                          "quillet[uvloop])")
    cmd.add_argument("--access-log", action=argparse.BooleanOptionalAction, default=True,
                     help="one line per response on the quillet.access logger")
    cmd.add_argument("--log-level", default="info",
                     choices=["debug", "info", "warning", "error"])
    args = parser.parse_args(argv)
    if args.command == "demo":
        return demo()
    if args.command == "serve":
        if args.workers < 1:
            parser.error("--workers must be at least 1")
        return serve(args)
    return 2


if __name__ == "__main__":
    sys.exit(main())
