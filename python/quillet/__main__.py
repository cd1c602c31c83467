"""python -m quillet: the command-line entry of the package."""

import argparse
import importlib
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


def serve(app_spec: str | None, host: str, port: int, log_level: str) -> int:
    from . import server

    logging.basicConfig(level=getattr(logging, log_level.upper()),
                        format="%(asctime)s %(levelname)s %(name)s: %(message)s")
    if app_spec is None:
        from .demo_app import app
        name = "the demo application"
    else:
        app = load_app(app_spec)
        name = app_spec

    def ready(srv: server.Server) -> None:
        shown = f"[{srv.host}]" if ":" in srv.host else srv.host
        print(f"quillet {_quillet.__version__} serving {name} on http://{shown}:{srv.port}/ "
              f"(Ctrl+C to stop)", flush=True)

    server.run(app, host, port, ready=ready)
    print("quillet: stopped", flush=True)
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quillet")
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("demo", help="show what the native core offers")
    serve_cmd = commands.add_parser("serve", help="serve an ASGI application over HTTP/1.1")
    serve_cmd.add_argument("app", nargs="?", default=None,
                           help="module:app to serve (default: the embedded demo application)")
    serve_cmd.add_argument("--host", default="127.0.0.1")
    serve_cmd.add_argument("--port", type=int, default=8000)
    serve_cmd.add_argument("--log-level", default="warning",
                           choices=["debug", "info", "warning", "error"])
    args = parser.parse_args(argv)
    if args.command == "demo":
        return demo()
    if args.command == "serve":
        return serve(args.app, args.host, args.port, args.log_level)
    return 2


if __name__ == "__main__":
    sys.exit(main())
