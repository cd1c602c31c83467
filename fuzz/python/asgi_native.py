#!/usr/bin/env python3
"""Fuzz target: the native serve path's scope and application run, against the Python ones they
stand in for. Two modes:

- scope: a fuzzed request target (one octet per character, sometimes a wider character or a str
  subclass whose dunders raise), version, method and header list; `asgi_scope` on the
  connection's template and the Python `http_scope` must give equal scopes with their keys in
  the same order, or raise the same exception class;
- run: a fuzzed application, a script of awaits (receive, send, a sleep, a future completed
  later, a cancellation of its own task) ending in a return or a raise of a fuzzed class, run by
  the native `run_app` and by the Python one on recording exchanges; both must make the same
  calls (settle, cancelled, request_done with the same values), in the same order, and end the
  same way. `settle` may itself hand back something to await.
"""

import asyncio
import sys

import atheris

with atheris.instrument_imports(include=["fuzzlib"]):
    import fuzzlib

from fuzzlib import BadStr, Hostile, check
from quillet import _asgi
from quillet import _native as n

TARGET_PIECES = ["/", "?", "%", "%2", "%20", "%e2%82%ac", "://", "http", "https://h", "a", ":",
                 "#", "*", "é", "\xff", "\x00", " ", "//", "x=1&y=2"]


class Server:
    def __init__(self):
        self.root_path = ""
        self.state = {"k": 1}
        self._log_access = False
        self.loop = None
        self.calls = []

    def request_done(self, scope, target, status, sent, began):
        self.calls.append(("done", target, status, sent, began))


class Conn:
    def __init__(self, tls):
        self.server = Server()
        self.scheme = "https" if tls else "http"
        self.client = ("10.0.0.1", 1)
        self.sockname = ("10.0.0.2", 2)
        self.tls = {"server_cert": None} if tls else None


def outcome(fn, *args):
    try:
        return ("ok", fn(*args))
    except BaseException as exc:  # noqa: B036 (compared, not handled)
        return ("raised", type(exc))


def scope(fdp):
    parts = [fdp.PickValueInList(TARGET_PIECES) for _ in range(fdp.ConsumeIntInRange(0, 8))]
    target = "".join(parts)
    kind = fdp.ConsumeIntInRange(0, 5)
    if kind == 0:
        target += chr(fdp.ConsumeIntInRange(0x100, 0x10FFFF))  # not one octet per character
    elif kind == 2:
        target = fdp.ConsumeBytes(16).decode("latin-1")
    # the native scope reads a str subclass's own characters, never its methods: the Python
    # scope, which calls them, is given the plain str
    plain = target
    if kind == 1:
        target = BadStr(target)
    version = fdp.PickValueInList(["1.0", "1.1", "2"])
    method = fdp.PickValueInList(["GET", "POST", "CONNECT", ""])
    headers = [(b"host", fdp.ConsumeBytes(4))]
    conn = Conn(fdp.ConsumeBool())
    native = outcome(n.asgi_scope, _asgi.scope_template(conn), version, method, target, headers)
    python = outcome(_asgi.http_scope, conn, version, method, plain, headers)
    check(native == python, "the scopes differ", plain, native, python)
    if native[0] == "ok":
        check(list(native[1]) == list(python[1]), "the scope's keys are in another order")


class Exchange:
    Disconnected = _asgi.ClientDisconnected

    def __init__(self, calls, settle_waits):
        self.calls = calls
        self.status = 0
        self.sent = 0
        self.settle_waits = settle_waits

    async def receive(self):
        self.calls.append("receive")
        return {"type": "http.request", "body": b"", "more_body": False}

    async def send(self, message):
        self.calls.append(("send", message.get("status")))
        self.status = message.get("status", self.status)
        self.sent += 1

    def settle(self, raised):
        self.calls.append(("settle", raised))
        if self.settle_waits:
            async def later():
                await asyncio.sleep(0)
                self.calls.append("settled")
            return later()
        return None

    def cancelled(self):
        self.calls.append("cancelled")


ENDINGS = [None, ValueError, _asgi.ClientDisconnected, Hostile, KeyError, GeneratorExit,
           asyncio.CancelledError, "not-awaitable"]


def make_app(steps, ending):
    if ending == "not-awaitable":
        return lambda scope, receive, send: None

    async def app(scope, receive, send):
        loop = asyncio.get_running_loop()
        for step in steps:
            if step == 0:
                await receive()
            elif step == 1:
                await send({"type": "http.response.start", "status": 200})
            elif step == 2:
                await asyncio.sleep(0)
            elif step == 3:
                later = loop.create_future()
                loop.call_soon(later.set_result, None)
                await later
        if ending is not None:
            raise ending()
    return app


async def run_with(runner, app, settle_waits):
    calls = []
    server = Server()
    server.loop = asyncio.get_running_loop()
    exchange = Exchange(calls, settle_waits)
    try:
        wait = runner(server, app, {}, exchange, "/t")
        if wait is not None:
            await wait
        end = "returned"
    except BaseException as exc:  # noqa: B036 (compared, not handled)
        end = type(exc).__name__
    return calls, server.calls, end


def run(fdp):
    steps = [fdp.ConsumeIntInRange(0, 3) for _ in range(fdp.ConsumeIntInRange(0, 6))]
    ending = fdp.PickValueInList(ENDINGS)
    settle_waits = fdp.ConsumeBool()
    app = make_app(steps, ending)

    async def both():
        native = await asyncio.ensure_future(run_with(n.run_app, app, settle_waits))
        python = await asyncio.ensure_future(run_with(_asgi.run_app, app, settle_waits))
        return native, python

    native, python = asyncio.run(both(), debug=False)
    check(native == python, "the runs differ", steps, ending, native, python)
    check(len(native[1]) == 1, "request_done was not called once", native)


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    fuzzlib.plan_failure(fdp)
    try:
        (scope, run)[fdp.ConsumeIntInRange(0, 1)](fdp)
    except MemoryError:
        return  # the harness's own allocation failed


test_one_input = atheris.instrument_func(test_one_input)
for _fn in (scope, run, make_app, run_with):
    globals()[_fn.__name__] = atheris.instrument_func(_fn)


def main():
    import logging
    logging.disable(logging.CRITICAL)  # the application's failures are logged by both runs
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
