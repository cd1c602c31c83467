"""Worker processes: the parent binds the listening socket, forks the workers that serve it, and
looks after them. A worker that dies is replaced (after a back-off when they keep dying);
SIGTERM or SIGINT asks every worker for a graceful shutdown and waits for them all. With a
file watcher (`--reload`), a change to the application's files replaces the worker.

Each worker tells the parent, through a pipe, once its application has started and it accepts
connections; one that exits before that failed at start-up (exit status `START_FAILED`)."""

from __future__ import annotations

import errno
import logging
import os
import select
import signal
import socket
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass

from ._asgi import StartupFailed

log = logging.getLogger("quillet.workers")

# The exit status of a worker whose application could not start (an import error, a lifespan
# startup that failed, an address in use).
START_FAILED = 3
# Start-up failures in a row, with no worker started in between, after which the parent gives
# up and exits with status 1. Before any worker has ever started, the first one is enough.
_MAX_START_FAILURES = 3
# A worker that crashes is replaced at once; while they keep crashing, after a delay that
# doubles from _BACKOFF_FIRST up to _BACKOFF_MAX. A crash this long after the previous one
# starts the count again.
_BACKOFF_FIRST = 0.5
_BACKOFF_MAX = 10.0
_BACKOFF_RESET = 30.0
# The signals the parent handles.
_HANDLED = (signal.SIGINT, signal.SIGTERM, signal.SIGCHLD)
# How often a worker checks that its parent is still there; without it, it stops.
_ORPHAN_CHECK = 1.0


@dataclass
class _Child:
    started: float
    ready: bool = False
    retiring: bool = False  # asked to stop so that a fresh one takes its place


class Supervisor:
    """Runs `count` workers, each `serve_one(sock, ready)` in a forked child, until told to
    stop. `serve_one` calls `ready()` once it serves, and raises if it cannot start.

    With a `watcher` (an object whose `changes()` lists the files changed since its last
    call), the files are checked every `poll` seconds and a change replaces the workers;
    a worker that dies then waits for the next change instead of being restarted."""

    def __init__(self, count: int, sock: socket.socket,
                 serve_one: Callable[[socket.socket, Callable[[], None]], None], *,
                 watcher=None, poll: float = 0.25,
                 on_hangup: Callable[[], bool] | None = None) -> None:
        self.count = count
        self.sock = sock
        self.serve_one = serve_one
        self.watcher = watcher
        self.poll = poll
        # SIGHUP: when this says yes (the certificate loads), each worker gets the signal too
        self.on_hangup = on_hangup
        self.handled = _HANDLED + ((signal.SIGHUP,) if on_hangup is not None else ())
        self.children: dict[int, _Child] = {}
        self.stopping = False
        self.failed = False
        self.ever_ready = False
        self.start_failures = 0
        self.crashes = 0
        self.last_crash = -_BACKOFF_RESET
        self.due: list[float] = []  # when each pending replacement starts
        self.waiting_for_change = False
        self._ready_r = self._ready_w = self._wake_r = self._wake_w = -1

    # the children

    def _spawn(self) -> None:
        sys.stdout.flush()
        sys.stderr.flush()
        # A signal that reaches the child before it has dropped the parent's handlers would
        # run them there, and be lost: they stay blocked until it has.
        signal.pthread_sigmask(signal.SIG_BLOCK, self.handled)
        try:
            pid = os.fork()
            if pid == 0:
                self._child()
        finally:
            signal.pthread_sigmask(signal.SIG_UNBLOCK, self.handled)
        self.children[pid] = _Child(time.monotonic())
        log.info("started worker %d", pid)
        if self.stopping:  # a stop came while it was forked: it has not been told
            self._signal_children(signal.SIGTERM, [pid])

    def _child(self) -> None:
        status = START_FAILED
        started = False

        def ready() -> None:
            nonlocal started
            started = True
            os.write(self._ready_w, b"%d\n" % os.getpid())
        try:
            signal.set_wakeup_fd(-1)
            for sig in self.handled:
                signal.signal(sig, signal.SIG_DFL)
            # a stop asked for meanwhile ends this worker now; a SIGHUP stays held until the
            # worker's server handles it (Server.serve unblocks it), so a certificate reload
            # asked for while the worker starts is not lost
            signal.pthread_sigmask(signal.SIG_UNBLOCK, _HANDLED)
            for fd in (self._ready_r, self._wake_r, self._wake_w):
                os.close(fd)
            self.serve_one(self.sock, ready)
            status = 0
        except StartupFailed as exc:
            log.error("worker %d: %s", os.getpid(), exc)
        except BaseException:
            log.exception("worker %d failed", os.getpid())
            if started:
                status = 1
        finally:
            logging.shutdown()
            sys.stdout.flush()
            sys.stderr.flush()
            os._exit(status)

    def _signal_children(self, sig: int, which=None) -> None:
        for pid in list(self.children) if which is None else which:
            try:
                os.kill(pid, sig)
            except ProcessLookupError:
                pass

    # the parent's signals

    def _stop(self, signum, _frame) -> None:
        if self.stopping:
            if signum == signal.SIGINT:
                # a second interrupt: the workers cut the requests they still drain
                self._signal_children(signal.SIGINT)
            return
        if signum is not None:
            log.info("%s: asking %d workers to finish", signal.Signals(signum).name,
                     len(self.children))
        self.stopping = True
        self.due.clear()
        # The workers close their copies as they start to drain; with the parent's closed too,
        # the port refuses new connections at once instead of queueing them until the end.
        self.sock.close()
        self._signal_children(signal.SIGTERM)

    def _hangup(self, _signum, _frame) -> None:
        if self.stopping or not self.on_hangup():
            return
        log.info("SIGHUP: asking %d workers to reload the certificate", len(self.children))
        self._signal_children(signal.SIGHUP)

    @staticmethod
    def _woken(_signum, _frame) -> None:
        """SIGCHLD: the wake-up descriptor has done the work."""

    # the loop

    def run(self) -> int:
        """Returns the exit status for the parent: 0 after a requested stop, 1 when the
        workers fail at start-up."""
        self._ready_r, self._ready_w = os.pipe()
        self._wake_r, self._wake_w = os.pipe()
        os.set_blocking(self._ready_r, False)
        os.set_blocking(self._wake_r, False)
        os.set_blocking(self._wake_w, False)
        previous = {sig: signal.signal(sig, self._stop) for sig in (signal.SIGINT, signal.SIGTERM)}
        previous[signal.SIGCHLD] = signal.signal(signal.SIGCHLD, self._woken)
        if self.on_hangup is not None:
            previous[signal.SIGHUP] = signal.signal(signal.SIGHUP, self._hangup)
        old_wakeup = signal.set_wakeup_fd(self._wake_w)
        try:
            for _ in range(self.count):
                self._spawn()
            next_poll = time.monotonic() + self.poll
            while self.children or (not self.stopping and (self.due or self.waiting_for_change
                                                           or self.watcher is not None)):
                now = time.monotonic()
                timeout = None
                if self.due:
                    timeout = max(0.0, min(self.due) - now)
                if self.watcher is not None and not self.stopping:
                    timeout = max(0.0, min(timeout if timeout is not None else self.poll,
                                           next_poll - now))
                try:
                    readable, _, _ = select.select([self._ready_r, self._wake_r], [], [],
                                                   timeout)
                except InterruptedError:
                    readable = []
                if self._wake_r in readable:
                    _drain(self._wake_r)
                self._read_ready()  # before reaping: a worker may say it is ready and exit
                self._reap()
                if self.stopping:
                    continue
                now = time.monotonic()
                while self.due and min(self.due) <= now:
                    self.due.remove(min(self.due))
                    self._spawn()
                if self.watcher is not None and now >= next_poll:
                    next_poll = now + self.poll
                    self._check_files()
        finally:
            signal.set_wakeup_fd(old_wakeup)
            for sig, handler in previous.items():
                # Once stopped, a late copy of the interrupt (a terminal's Ctrl+C reaches every
                # process of the group, this one too, and one caught but not yet handled runs
                # whatever handler is in place by then) must not turn the clean exit into a
                # KeyboardInterrupt: the stop signals stay ignored.
                if self.stopping and sig in (signal.SIGINT, signal.SIGTERM):
                    handler = signal.SIG_IGN
                signal.signal(sig, handler)
            for fd in (self._ready_r, self._ready_w, self._wake_r, self._wake_w):
                os.close(fd)
        return 1 if self.failed else 0

    def _read_ready(self) -> None:
        for line in _drain(self._ready_r).split():
            child = self.children.get(int(line))
            if child is not None:
                child.ready = True
                self.ever_ready = True
                self.start_failures = 0

    def _reap(self) -> None:
        while self.children:
            try:
                pid, status = os.waitpid(-1, os.WNOHANG)
            except ChildProcessError:
                self.children.clear()
                return
            if pid == 0:
                return
            child = self.children.pop(pid, None)
            if child is not None:
                self._exited(pid, child, os.waitstatus_to_exitcode(status))

    def _exited(self, pid: int, child: _Child, code: int) -> None:
        how = f"status {code}" if code >= 0 else f"signal {signal.Signals(-code).name}"
        if self.stopping:
            return
        if child.retiring:
            if not any(c.retiring for c in self.children.values()):
                for _ in range(self.count - len(self.children)):
                    self._spawn()
            return
        if self.watcher is not None:
            log.warning("worker %d exited (%s): waiting for a change to the files to start "
                        "another", pid, how)
            self.waiting_for_change = True
            return
        if code == START_FAILED and not child.ready:
            self.start_failures += 1
            if not self.ever_ready or self.start_failures >= _MAX_START_FAILURES:
                log.error("worker %d failed at start-up: stopping", pid)
                self.failed = True
                self._stop(None, None)
                return
            delay = self._backoff()
            log.error("worker %d failed at start-up: starting another in %gs", pid, delay)
        elif code == 0:  # it served its --limit-max-requests
            log.info("worker %d exited (%s): starting another", pid, how)
            self._spawn()
            return
        else:  # a crash, a kill
            delay = self._backoff()
            log.warning("worker %d exited (%s): starting another%s", pid, how,
                        f" in {delay:g}s" if delay else "")
        self.due.append(time.monotonic() + delay)

    def _backoff(self) -> float:
        now = time.monotonic()
        if now - self.last_crash > _BACKOFF_RESET:
            self.crashes = 0
        self.last_crash = now
        self.crashes += 1
        if self.crashes == 1:
            return 0.0
        return min(_BACKOFF_FIRST * 2 ** (self.crashes - 2), _BACKOFF_MAX)

    def _check_files(self) -> None:
        changed = self.watcher.changes()
        if not changed:
            return
        shown = ", ".join(changed[:5]) + (f" and {len(changed) - 5} more"
                                          if len(changed) > 5 else "")
        log.warning("changes in %s: restarting the worker", shown)
        self.start_failures = 0
        if self.waiting_for_change or not self.children:
            self.waiting_for_change = False
            for _ in range(self.count - len(self.children)):
                self._spawn()
            return
        for pid, child in self.children.items():
            child.retiring = True
        self._signal_children(signal.SIGTERM)


def _drain(fd: int) -> bytes:
    chunks = []
    while True:
        try:
            data = os.read(fd, 4096)
        except BlockingIOError:
            break
        except OSError as exc:
            if exc.errno == errno.EINTR:
                continue
            break
        if not data:
            break
        chunks.append(data)
    return b"".join(chunks)


def serve_in_worker(make_server: Callable[[socket.socket], object],
                    loop: str = "asyncio") -> Callable:
    """A `serve_one` for the Supervisor: a server on the inherited socket, until SIGTERM, on the
    event loop named by `loop`."""

    def serve_one(sock: socket.socket, ready: Callable[[], None]) -> None:
        from .server import run_loop
        server = make_server(sock)
        parent = os.getppid()

        def started(srv) -> None:
            ready()

            def check() -> None:
                if os.getppid() != parent:  # killed outright: nobody would ever stop us
                    log.warning("worker %d: the parent process %d is gone: stopping",
                                os.getpid(), parent)
                    srv.request_stop()
                else:
                    srv.loop.call_later(_ORPHAN_CHECK, check)
            srv.loop.call_later(_ORPHAN_CHECK, check)
        run_loop(server.serve(ready=started, ignore_late_signals=True), loop)

    return serve_one
