"""python -m quillet: the command-line entry of the package."""

import argparse
import functools
import importlib
import importlib.util
import os
import logging
import platform
import socket
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


def serve(args: argparse.Namespace) -> int:
    from . import _sockets, _workers, server
    from ._config import ConfigError, configure_logging, load_app

    try:
        configure_logging(args.log_config, args.log_level)
    except ConfigError as exc:
        print(f"quillet: error: {exc}", file=sys.stderr)
        return 1
    if args.app is None:
        from .demo_app import app
        name = "the demo application"
    elif args.reload:
        app = None  # each worker imports it afresh
        name = args.app
    else:
        try:
            app = load_app(args.app, args.factory, args.app_dir)
        except ConfigError as exc:
            print(f"quillet: error: {exc}", file=sys.stderr)
            return 1
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
        backlog=args.backlog, access_log=args.access_log)
    options.update(
        lifespan=args.lifespan, shutdown_timeout=args.timeout_graceful_shutdown,
        head_timeout=args.timeout_head, access_log_format=args.access_logformat,
        server_header=args.server_header, date_header=args.date_header, headers=args.header,
        h2_max_concurrent_streams=args.h2_max_concurrent_streams,
        h2_initial_window_size=args.h2_initial_window_size,
        h2_max_frame_size=args.h2_max_frame_size,
        h2_max_header_list_size=args.h2_max_header_list_size)
    options.update(
        ws=args.ws, ws_max_size=args.ws_max_size, ws_max_queue=args.ws_max_queue,
        ws_ping_interval=args.ws_ping_interval, ws_ping_timeout=args.ws_ping_timeout,
        ws_per_message_deflate=args.ws_per_message_deflate, driver=args.driver)

    def announce(srv: server.Server, extra: str = "") -> None:
        on = "" if args.loop == "asyncio" else f" on {args.loop}"
        print(f"quillet {_quillet.__version__} serving {name} on {srv.url}{extra}{on} "
              f"(Ctrl+C to stop)", flush=True)

    if args.loop == "uvloop" and importlib.util.find_spec("uvloop") is None:
        print("quillet: error: --loop uvloop needs uvloop: pip install 'quillet[uvloop]'",
              file=sys.stderr)
        return 1
    inherited = None
    if args.fd is not None:
        try:
            inherited = _sockets.inherited_socket(args.fd)
        except ValueError as exc:
            print(f"quillet: error: {exc}", file=sys.stderr)
            return 1
    workers = args.workers
    if args.reload and workers > 1:
        logging.getLogger("quillet.workers").warning(
            "--reload serves with one worker: --workers %d is ignored", workers)
        workers = 1
    try:
        if workers <= 1 and not args.reload:
            srv = server.Server(app, args.host, args.port, uds=args.uds, sock=inherited,
                                **options)
            server.run_loop(srv.serve(ready=announce), args.loop)
            status = 0
        else:
            if inherited is not None:
                sock = inherited
            else:
                try:
                    sock = _sockets.bind(args.host, args.port, args.uds, args.backlog)
                except OSError as exc:
                    raise server.ListenError(args.host, args.port, args.uds, exc) from None
            port = sock.getsockname()[1] if sock.family != socket.AF_UNIX else args.port
            shown = server.Server(app, args.host, port, uds=args.uds, ssl=tls,
                                  ssl_reload=tls_reload, sock=inherited)
            watcher = None
            if args.reload:
                from ._reload import Watcher
                watcher = Watcher(args.reload_dir or [args.app_dir], args.reload_include,
                                  args.reload_exclude)
                announce(shown, f" with reload (parent pid {os.getpid()})")
                print(f"quillet: watching {', '.join(watcher.directories)} for changes",
                      flush=True)
            else:
                announce(shown, f" with {workers} workers (parent pid {os.getpid()})")

            def make_server(s: socket.socket) -> server.Server:
                the_app = app
                if the_app is None:
                    try:
                        the_app = load_app(args.app, args.factory, args.app_dir)
                    except ConfigError as exc:
                        raise _workers.StartupFailed(str(exc)) from None
                return server.Server(the_app, args.host, port, sock=s, **options)
            serve_one = _workers.serve_in_worker(make_server, args.loop)

            def reload_check() -> bool:
                """On SIGHUP the parent loads the certificate first: only when it loads are
                the workers told, and a worker started later gets the new one."""
                if not shown.reload_tls():
                    return False
                options["ssl"] = shown.ssl
                return True

            status = _workers.Supervisor(
                workers, sock, serve_one, watcher=watcher, poll=args.reload_delay,
                on_hangup=reload_check if tls is not None else None).run()
            sock.close()
    except server.StartupFailed as exc:
        print(f"quillet: error: {exc}", file=sys.stderr)
        return 1
    except OSError as exc:  # the address is taken, the socket path is not writable...
        print(f"quillet: error: {exc}", file=sys.stderr)
        return 1
    finally:
        if args.uds is not None and os.path.exists(args.uds):
            os.unlink(args.uds)
    print("quillet: stopped", flush=True)
    return status


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quillet")
    parser.add_argument("--version", action="version", version=version())
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
    cmd.add_argument("--forwarded-allow-ips", default="127.0.0.1,::1", metavar="LIST",
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
    cmd.add_argument("--driver", choices=["native", "python"], default="native",
                     help="the native serve path, or every request in Python (the reference)")
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
    cmd.add_argument("--log-level", default=None,
                     choices=["debug", "info", "warning", "error"],
                     help="the level of the quillet loggers (default: info)")
    add_serve_options(cmd)
    args = parser.parse_args(argv)
    if args.command == "demo":
        return demo()
    if args.command == "serve":
        args = with_environment(parser, cmd, argv)
        if isinstance(args, int):
            return args
        check_serve_options(cmd, args)
        return serve(args)
    return 2


def version() -> str:
    return (f"quillet {_quillet.__version__} ({platform.python_implementation()} "
            f"{platform.python_version()} on {platform.system()})")


def add_serve_options(cmd: argparse.ArgumentParser) -> None:
    """The options of development, the lifecycle, logging and HTTP/2 settings."""
    from .server import SHUTDOWN_TIMEOUT
    from ._h2 import LIMITS

    cmd.add_argument("--version", action="version", version=version())
    cmd.epilog = ("Every option can also come from the environment: QUILLET_ and its name in "
                  "capitals (QUILLET_PORT, QUILLET_TIMEOUT_KEEP_ALIVE, QUILLET_APP), and "
                  "WEB_CONCURRENCY and FORWARDED_ALLOW_IPS; the command line wins.")
    dev = cmd.add_argument_group("development")
    dev.add_argument("--reload", action="store_true",
                     help="restart the worker when the application's files change")
    dev.add_argument("--reload-dir", action="append", metavar="DIR",
                     help="a directory to watch (repeatable; default: --app-dir)")
    dev.add_argument("--reload-include", action="append", metavar="PATTERN",
                     help="files to watch, as a glob (repeatable; default: *.py)")
    dev.add_argument("--reload-exclude", action="append", metavar="PATTERN",
                     help="files and directories to ignore, as a glob (repeatable; hidden "
                          "ones, __pycache__, virtual environments... are ignored already)")
    dev.add_argument("--reload-delay", type=float, default=0.25, metavar="SECONDS",
                     help="how often the files are checked")
    dev.add_argument("--factory", action="store_true",
                     help="the application named is a function that returns the application")
    dev.add_argument("--app-dir", default=".", metavar="DIR",
                     help="the directory the application is imported from (default: .)")
    dev.add_argument("--env-file", metavar="FILE",
                     help="NAME=value lines put into the environment (where not set already) "
                          "before anything else; QUILLET_ variables there set options too")
    life = cmd.add_argument_group("lifecycle")
    life.add_argument("--lifespan", choices=["auto", "on", "off"], default="auto",
                      help="the ASGI lifespan protocol: auto (used when the application "
                           "supports it), on (required), off")
    life.add_argument("--timeout-graceful-shutdown", type=float, default=SHUTDOWN_TIMEOUT,
                      metavar="SECONDS",
                      help="how long a stop lets the requests in progress finish before "
                           "cutting them (a second SIGINT cuts them at once)")
    life.add_argument("--fd", type=int, metavar="N",
                      help="serve on the listening socket inherited as descriptor N (socket "
                           "activation) instead of binding one")
    logs = cmd.add_argument_group("logging and responses")
    logs.add_argument("--log-config", metavar="FILE",
                      help="the logging set-up: a dictConfig in JSON, or an .ini file")
    logs.add_argument("--access-logformat", "--access-log-format", metavar="FORMAT",
                      help="the access log line, with fields like %%(h)s %%(r)s %%(s)s "
                           "%%(b)s %%(L)s %%({user-agent}i)s (README.md lists them)")
    logs.add_argument("--server-header", action=argparse.BooleanOptionalAction, default=True,
                      help="a 'server: quillet' field on every response")
    logs.add_argument("--date-header", action=argparse.BooleanOptionalAction, default=True,
                      help="a 'date' field on every response")
    logs.add_argument("--header", action="append", type=_header, metavar="NAME:VALUE",
                      help="a field added to every response that does not set it (repeatable)")
    h2 = cmd.add_argument_group("HTTP/2 and timeouts")
    h2.add_argument("--h2-max-concurrent-streams", type=int, default=100, metavar="N",
                    help="streams a client may have open at once on one connection")
    h2.add_argument("--h2-initial-window-size", type=int, metavar="BYTES",
                    default=LIMITS["initial_window_size"],
                    help="the flow-control window of each stream for a request body")
    h2.add_argument("--h2-max-frame-size", type=int, metavar="BYTES",
                    default=LIMITS["max_frame_size"],
                    help="the largest frame a client may send (16384 to 16777215)")
    h2.add_argument("--h2-max-header-list-size", type=int, metavar="BYTES",
                    default=LIMITS["max_header_list_size"],
                    help="the largest request header list; beyond it the answer is 431")
    h2.add_argument("--timeout-head", type=float, default=10.0, metavar="SECONDS",
                    help="time for a whole HTTP/1.1 request head, and for a TLS handshake")


def _header(text: str) -> tuple[str, str]:
    name, sep, value = text.partition(":")
    if not sep or not name.strip() or any(c in name.strip() for c in " \t"):
        raise argparse.ArgumentTypeError(f"give NAME:VALUE, not {text!r}")
    return name.strip(), value.strip()


def with_environment(parser: argparse.ArgumentParser, cmd: argparse.ArgumentParser,
                     argv: list[str] | None) -> argparse.Namespace | int:
    """The arguments again, with the defaults the environment (and --env-file) sets."""
    from ._config import ConfigError, environment_defaults, load_env_file
    try:
        environment_defaults(cmd)
        args = parser.parse_args(argv)
        if args.env_file:
            load_env_file(args.env_file)
            environment_defaults(cmd)
            args = parser.parse_args(argv)
    except ConfigError as exc:
        print(f"quillet: error: {exc}", file=sys.stderr)
        return 2
    return args


def check_serve_options(cmd: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    from ._config import H2_SETTING_RANGES, default_headers, h2_setting_problem
    if args.workers < 1:
        cmd.error("--workers must be at least 1")
    for name in H2_SETTING_RANGES:
        problem = h2_setting_problem(name, getattr(args, name))
        if problem is not None:
            cmd.error(f"--{name.replace('_', '-')} {problem}")
    for name in ("timeout_graceful_shutdown", "timeout_head", "timeout_keep_alive",
                 "timeout_body", "timeout_h2_settings"):
        if getattr(args, name) < 0:
            cmd.error(f"--{name.replace('_', '-')} must not be negative")
    for name in ("ws_max_size", "ws_max_queue"):
        if getattr(args, name) < 1:
            cmd.error(f"--{name.replace('_', '-')} must be at least 1")
    for name in ("ws_ping_interval", "ws_ping_timeout"):
        if getattr(args, name) < 0:
            cmd.error(f"--{name.replace('_', '-')} must not be negative")
    for directory in args.reload_dir or ():
        if not os.path.isdir(directory):
            cmd.error(f"--reload-dir {directory} is not a directory")
    if args.reload_delay <= 0:
        cmd.error("--reload-delay must be more than 0")
    try:
        default_headers(args.server_header, args.header)
    except ValueError as exc:
        cmd.error(f"--header: {exc}")
    if args.access_logformat:
        from ._access import AccessFormat
        try:
            AccessFormat(args.access_logformat)
        except ValueError as exc:
            cmd.error(f"--access-logformat: {exc}")
    if args.fd is not None and (args.uds is not None):
        cmd.error("--fd and --uds both name the socket: give one")
    if args.reload and args.app is None:
        cmd.error("--reload needs the application to serve (module:app)")


if __name__ == "__main__":
    sys.exit(main())
