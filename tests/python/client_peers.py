"""Servers for the client tests on loopback: ours in a thread (`ServerThread`), and uvicorn
and hypercorn as black boxes in processes of their own, serving client_app."""

import os
import socket
import subprocess
import sys
import time

import pytest

from test_e2e_server import CURL_ENV, HERE, ServerThread

__all__ = ["ServerThread", "PeerProcess", "free_port", "need_module", "wait_for_port"]


def need_module(name: str) -> None:
    """A Python test peer from scripts/requirements-dev.txt: missing, it fails a run through
    scripts/test (as `need` does for programs) and skips a bare pytest."""
    import importlib.util
    if importlib.util.find_spec(name) is None:
        if os.environ.get("QUILLET_REQUIRE_PEERS") or os.environ.get("CI"):
            pytest.fail(f"{name} is not installed: scripts/setup.sh should have installed it")
        pytest.skip(f"{name} is not installed")


def wait_for_port(proc: subprocess.Popen, port: int, name: str, timeout: float = 30) -> None:
    """Returns once `proc` accepts connections on `port`; fails, naming it, when it exits or
    `timeout` seconds pass first."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            if proc.poll() is not None or time.monotonic() > deadline:
                proc.kill()
                err = proc.stderr.read().decode(errors="replace") if proc.stderr else ""
                raise AssertionError(f"{name} did not start: {err}") from None
            time.sleep(0.05)


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


class PeerProcess:
    """uvicorn or hypercorn serving client_app:app on a free port (TLS when given a
    certificate and its key)."""

    def __init__(self, kind: str, cert: tuple[str, str] | None = None) -> None:
        pytest.importorskip(kind)
        self.port = free_port()
        self.scheme = "https" if cert else "http"
        if kind == "uvicorn":
            args = ["-m", "uvicorn", "client_app:app", "--host", "127.0.0.1", "--port",
                    str(self.port), "--log-level", "warning", "--no-access-log"]
            if cert:
                args += ["--ssl-certfile", cert[0], "--ssl-keyfile", cert[1]]
        else:
            args = ["-m", "hypercorn", "client_app:app", "--bind", f"127.0.0.1:{self.port}",
                    "--log-level", "warning"]
            if cert:
                args += ["--certfile", cert[0], "--keyfile", cert[1]]
        self.proc = subprocess.Popen([sys.executable, *args], cwd=HERE, env=CURL_ENV,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        wait_for_port(self.proc, self.port, kind)

    def url(self, path: str = "/") -> str:
        return f"{self.scheme}://127.0.0.1:{self.port}{path}"

    def stop(self) -> None:
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(5)
        self.proc.stderr.close()
