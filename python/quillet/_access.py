"""The access log's line in a format of the deployer's choosing.

The format names fields as `%(name)s`, in the notation Python's own logging uses:

    h  client address        l  "-"                  u  "-" (no user name is known)
    t  time, [10/Oct/2000:13:55:36 +0000]            r  request line ("GET /x?y=1 HTTP/1.1")
    m  method                U  path                 q  query string
    H  protocol (HTTP/1.1)   s  status               B  body bytes sent
    b  body bytes, or "-" for none                   f  Referer       a  User-Agent
    T  duration in whole seconds, M in milliseconds, D in microseconds, L in decimal seconds
    p  the process id, <1234>                        {name}i  a request header field
"""

from __future__ import annotations

import os
import time

_ATOMS = frozenset("hlutrmUqHsBbfaTMDLp")


class _Fields:
    """The fields of one response, computed as the format asks for them."""

    __slots__ = ("scope", "target", "status", "sent", "duration")

    def __init__(self, scope: dict, target: str, status: int, sent: int,
                 duration: float) -> None:
        self.scope = scope
        self.target = target
        self.status = status
        self.sent = sent
        self.duration = duration

    @property
    def method(self) -> str:
        # a WebSocket's scope has none: its handshake is a GET
        return self.scope.get("method", "GET")

    def header(self, name: str) -> str:
        wanted = name.lower().encode("latin-1")
        values = [v.decode("latin-1") for n, v in self.scope["headers"] if n == wanted]
        return ", ".join(values) if values else "-"

    def __getitem__(self, key: str) -> str | int:
        scope = self.scope
        if key.startswith("{") and key.endswith("}i"):
            return self.header(key[1:-2])
        if key == "h":
            client = scope["client"]
            return client[0] if client else "-"
        if key in ("l", "u"):
            return "-"
        if key == "t":
            return time.strftime("[%d/%b/%Y:%H:%M:%S %z]")
        if key == "r":
            return f"{self.method} {self.target} HTTP/{scope['http_version']}"
        if key == "m":
            return self.method
        if key == "U":
            return scope["path"]
        if key == "q":
            return scope["query_string"].decode("latin-1")
        if key == "H":
            return f"HTTP/{scope['http_version']}"
        if key == "s":
            return self.status
        if key == "B":
            return self.sent
        if key == "b":
            return self.sent or "-"
        if key == "f":
            return self.header("referer")
        if key == "a":
            return self.header("user-agent")
        if key == "T":
            return int(self.duration)
        if key == "M":
            return int(self.duration * 1000)
        if key == "D":
            return int(self.duration * 1_000_000)
        if key == "L":
            return f"{self.duration:.6f}"
        if key == "p":
            return f"<{os.getpid()}>"
        raise KeyError(key)


class AccessFormat:
    """A format for the access log's lines; ValueError names a field it does not know."""

    def __init__(self, fmt: str) -> None:
        sample = {"type": "http", "method": "GET", "path": "/", "query_string": b"",
                  "http_version": "1.1", "headers": [], "client": ("127.0.0.1", 1)}
        try:
            fmt % _Fields(sample, "/", 200, 0, 0.0)
        except KeyError as exc:
            known = ", ".join(sorted(_ATOMS, key=str.lower))
            raise ValueError(f"unknown access log field %({exc.args[0]})s in {fmt!r}: the "
                             f"fields are {known} and {{header}}i") from None
        except (TypeError, ValueError) as exc:
            raise ValueError(f"invalid access log format {fmt!r}: {exc}") from None
        self.fmt = fmt

    def line(self, scope: dict, target: str, status: int, sent: int, duration: float) -> str:
        return self.fmt % _Fields(scope, target, status, sent, duration)
