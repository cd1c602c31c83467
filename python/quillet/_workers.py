"""Worker processes: the parent binds the listening socket, forks the workers that serve it, and
looks after them. A worker that dies is replaced; SIGTERM or SIGINT asks every worker for a
graceful shutdown and waits for them all."""

from __future__ import annotations

import logging
import os
import signal
import socket
import sys
import time
from collections.abc import Callable

log = logging.getLogger("quillet.workers")

# A worker that exits with an error this soon after its start is failing at start-up (a
# lifespan error, a broken application): starting it again would only fail again, in a loop.
_MIN_UPTIME = 1.0


def bind(host: str, port: int, uds: str | None, backlog: int) -> socket.socket:
    """The listening socket every worker accepts on."""
    if uds is not None:
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            os.unlink(uds)  # a socket file left by an earlier run
        except FileNotFoundError:
            pass
        sock.bind(uds)
    else:
        family, _, _, _, address = socket.getaddrinfo(
            host, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)[0]
        sock = socket.socket(family, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(address)
    sock.listen(backlog)
    sock.set_inheritable(True)
    return sock


class Supervisor:
    """Runs `count` workers, each `serve_one(sock)` in a forked child, until told to stop."""

    def __init__(self, count: int, sock: socket.socket,
                 serve_one: Callable[[socket.socket], None],
                 on_hangup: Callable[[], bool] | None = None) -> None:
        self.count = count
        self.sock = sock
        self.serve_one = serve_one
        # SIGHUP: when this says yes (the certificate loads), each worker gets the signal too
        self.on_hangup = on_hangup
        self.children: dict[int, float] = {}  # pid -> start time
        self.stopping = False

    def _spawn(self) -> None:
        sys.stdout.flush()
        sys.stderr.flush()
        pid = os.fork()
        if pid == 0:
            status = 1
            try:
                signal.signal(signal.SIGINT, signal.SIG_DFL)
                signal.signal(signal.SIGTERM, signal.SIG_DFL)
                if self.on_hangup is not None:
                    # held until the worker's server handles it (Server.serve unblocks it),
                    # so a reload asked for while the worker starts is not lost
                    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGHUP})
                self.serve_one(self.sock)
                status = 0
            except BaseException:
                log.exception("worker %d failed", os.getpid())
            finally:
                logging.shutdown()
                sys.stdout.flush()
                sys.stderr.flush()
                os._exit(status)
        self.children[pid] = time.monotonic()
        log.info("started worker %d", pid)

    def _stop(self, signum, _frame) -> None:
        if not self.stopping:
            log.info("%s: asking %d workers to finish", signal.Signals(signum).name,
                     len(self.children))
        self.stopping = True
        for pid in list(self.children):
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass

    def _hangup(self, _signum, _frame) -> None:
        if self.stopping or not self.on_hangup():
            return
        log.info("SIGHUP: asking %d workers to reload the certificate", len(self.children))
        for pid in list(self.children):
            try:
                os.kill(pid, signal.SIGHUP)
            except ProcessLookupError:
                pass

    def run(self) -> int:
        """Returns the exit status for the parent: 0 after a requested stop."""
        previous = {sig: signal.signal(sig, self._stop) for sig in (signal.SIGINT, signal.SIGTERM)}
        if self.on_hangup is not None:
            previous[signal.SIGHUP] = signal.signal(signal.SIGHUP, self._hangup)
        failed = False
        try:
            for _ in range(self.count):
                self._spawn()
            while self.children:
                try:
                    pid, status = os.wait()
                except ChildProcessError:
                    break
                started = self.children.pop(pid, None)
                if started is None or self.stopping:
                    continue
                code = os.waitstatus_to_exitcode(status)
                if code > 0 and time.monotonic() - started < _MIN_UPTIME:
                    log.error("worker %d failed at start-up (exit status %d): stopping", pid,
                              code)
                    failed = True
                    self._stop(signal.SIGTERM, None)
                    continue
                # a crash, a kill, or a worker that served its --limit-max-requests
                log.log(logging.INFO if code == 0 else logging.WARNING,
                        "worker %d exited (status %d): starting another", pid, code)
                self._spawn()
        finally:
            for sig, handler in previous.items():
                signal.signal(sig, handler)
        return 1 if failed else 0


def serve_in_worker(make_server: Callable[[socket.socket], object],
                    loop: str = "asyncio") -> Callable:
    """A `serve_one` for the Supervisor: a server on the inherited socket, until SIGTERM, on the
    event loop named by `loop`."""

    def serve_one(sock: socket.socket) -> None:
        from .server import run_loop
        server = make_server(sock)
        run_loop(server.serve(), loop)

    return serve_one
