"""The command line as a developer and a deployer use it: `python -m quillet serve` started as a
real process, with its options from the command line, the environment and files on disk."""

import asyncio
import json
import os
import re
import signal
import socket
import subprocess
import sys
import time

import pytest

import _quillet
from quillet.client import Client
from test_e2e_deploy import get
from test_e2e_server import HERE, read_responses
from test_e2e_tls import make_cert, needs_openssl


def cli_env(**extra):
    # a developer's own QUILLET_PORT and the like would set options; the build's own stay
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("QUILLET_") or k in ("QUILLET_ROOT", "QUILLET_VENV",
                                                     "QUILLET_PY", "QUILLET_SANITIZED")}
    env.pop("WEB_CONCURRENCY", None)
    env.pop("FORWARDED_ALLOW_IPS", None)
    env["PYTHONPATH"] = HERE + os.pathsep + os.environ.get("PYTHONPATH", "")
    env.update(extra)
    return env


class Serving:
    """`python -m quillet serve ARGS` until its "serving" line; its log goes to a file."""

    def __init__(self, tmp_path, *args, env=None, cwd=None, pass_fds=(), **popen):
        self.log_path = tmp_path / f"serve-{time.monotonic_ns()}.log"
        with open(self.log_path, "wb") as log:
            self.proc = subprocess.Popen(
                [sys.executable, "-m", "quillet", "serve", *args], stdout=subprocess.PIPE,
                stderr=log, env=env or cli_env(), cwd=cwd, pass_fds=pass_fds, **popen)
        self.line = self.proc.stdout.readline().decode()
        if "serving" not in self.line:
            self.proc.kill()
            self.proc.wait()
            raise AssertionError(f"no serving line: {self.line!r}\n{self.log()}")
        self.url = re.search(r" on (\S+)", self.line).group(1)
        self.port = int(self.url.rsplit(":", 1)[1].strip("/")) if ":" in self.url else None

    def log(self):
        return self.log_path.read_text()

    def wait_log(self, text, timeout=30):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if text in self.log():
                return self.log()
            time.sleep(0.05)
        raise AssertionError(f"{text!r} never logged:\n{self.log()}")

    def stop(self, sig=signal.SIGTERM, timeout=30):
        self.proc.send_signal(sig)
        return self.proc.wait(timeout)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()


def run_cli(*args, env=None, cwd=None, timeout=30):
    """A `python -m quillet` run that is expected to end by itself."""
    return subprocess.run([sys.executable, "-m", "quillet", *args], capture_output=True,
                          env=env or cli_env(), cwd=cwd, timeout=timeout)


def one_error_line(result):
    lines = result.stderr.decode().strip().splitlines()
    assert len(lines) == 1, result.stderr.decode()
    return lines[0]


def get_until(port, path, wanted, timeout=30):
    """GET `path` until the body contains `wanted` (a worker being replaced answers late)."""
    deadline = time.monotonic() + timeout
    body = b""
    while time.monotonic() < deadline:
        try:
            status, body = get(port, path)
            if wanted.encode() in body:
                return body.decode()
        except OSError:
            pass
        time.sleep(0.05)
    raise AssertionError(f"{wanted!r} never served; last body {body!r}")


APP_V1 = '''
import os, pathlib
MESSAGE = (pathlib.Path(__file__).parent.parent / "data" / "message.txt").read_text().strip()
VERSION = "{version}"

async def app(scope, receive, send):
    if scope["type"] != "http":
        return
    await send({{"type": "http.response.start", "status": 200, "headers": []}})
    await send({{"type": "http.response.body",
                "body": f"{{VERSION}} {{MESSAGE}} {{os.getpid()}}".encode()}})
'''


def parent_of(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(re.search(r"PPid:\s+(\d+)", f.read()).group(1))


def test_reload_replaces_the_worker_when_watched_files_change(tmp_path):
    src, data = tmp_path / "src", tmp_path / "data"
    src.mkdir()
    data.mkdir()
    venv = src / "venv"  # a virtual environment inside a watched directory is left alone
    venv.mkdir()
    (venv / "pyvenv.cfg").write_text("home = /usr/bin\n")
    (src / "main.py").write_text(APP_V1.format(version="v1"))
    first_written = (src / "main.py").stat().st_mtime_ns
    (data / "message.txt").write_text("hello")
    env = cli_env()
    env.pop("PYTHONDONTWRITEBYTECODE", None)  # as a developer's shell has it: bytecode cached
    with Serving(tmp_path, "main:app", "--app-dir", "src", "--reload", "--reload-delay", "0.05",
                 "--reload-dir", "src", "--reload-dir", "data", "--reload-include", "*.txt",
                 "--reload-exclude", "skip_*", "--port", "0", cwd=tmp_path, env=env) as srv:
        assert "with reload" in srv.line
        first = get_until(srv.port, "/", "v1 hello")
        pid1 = int(first.split()[-1])
        assert parent_of(pid1) == srv.proc.pid
        # an excluded file changes, then an included one that is not Python, elsewhere
        (src / "skip_me.py").write_text("x = 1\n")
        (venv / "installed.py").write_text("x = 1\n")
        (data / "message.txt").write_text("bye")
        second = get_until(srv.port, "/", "v1 bye")
        pid2 = int(second.split()[-1])
        assert pid2 != pid1 and parent_of(pid2) == srv.proc.pid
        changes = [line for line in srv.log().splitlines() if "changes in" in line]
        assert len(changes) == 1 and "message.txt" in changes[0], changes
        # a broken module: the worker fails, the parent waits for the fix
        (src / "main.py").write_text("def broken(:\n")
        srv.wait_log("waiting for a change to the files")
        assert srv.proc.poll() is None
        # the fix has the first version's size and, to the second, its time: what the
        # bytecode cache compares
        (src / "main.py").write_text(APP_V1.format(version="v3"))
        os.utime(src / "main.py", ns=(first_written + 1000, first_written + 1000))
        third = get_until(srv.port, "/", "v3 bye")
        assert int(third.split()[-1]) not in (pid1, pid2)
        assert "SyntaxError" in srv.log()
        assert srv.stop() == 0
    assert "skip_me" not in srv.log() and "installed.py" not in srv.log()


FACTORY_APP = '''
async def app(scope, receive, send):
    if scope["type"] != "http":
        return
    await send({"type": "http.response.start", "status": 200, "headers": []})
    await send({"type": "http.response.body", "body": b"made by the factory"})

def create_app():
    return app

class Asgi2:
    def __init__(self, scope):
        self.scope = scope

not_callable = 42
'''


def test_factories_and_targets_that_are_not_applications(tmp_path):
    (tmp_path / "factory.py").write_text(FACTORY_APP)
    env = cli_env()
    with Serving(tmp_path, "factory:create_app", "--factory", "--port", "0", "--app-dir",
                 str(tmp_path)) as srv:
        assert get(srv.port, "/") == (200, b"made by the factory")
        assert srv.stop() == 0
    cases = {
        # today's trap: a factory served as the application answers every request with 500
        "factory:create_app": ["not an ASGI application", "takes 0 arguments", "--factory"],
        "factory:Asgi2": ["not an ASGI application", "takes 1 argument (an ASGI 2"],
        "factory:not_callable": ["not an ASGI application", "'int', not callable"],
        "factory:nothing": ["factory has no attribute 'nothing'"],
        "no_such_module:app": ["cannot import 'no_such_module'", str(tmp_path)],
        "factory": ["module:attribute"],
    }
    for target, pieces in cases.items():
        result = run_cli("serve", target, "--port", "0", env=env, cwd=tmp_path)
        line = one_error_line(result)
        assert result.returncode == 1 and line.startswith("quillet: error: "), line
        assert all(piece in line for piece in pieces), (target, line)
    result = run_cli("serve", "factory:app", "--factory", "--port", "0", env=env, cwd=tmp_path)
    assert result.returncode == 1 and "drop --factory" in one_error_line(result)


def test_version_and_invalid_option_values():
    for args in (["--version"], ["serve", "--version"]):
        result = run_cli(*args)
        assert result.returncode == 0
        assert result.stdout.decode().startswith(f"quillet {_quillet.__version__} (")
    cases = [
        (["--h2-max-frame-size", "100"],
         "--h2-max-frame-size must be between 16384 and 16777215, not 100"),
        (["--h2-initial-window-size", str(2**31)],
         "--h2-initial-window-size must be between 1 and 2147483647, not 2147483648"),
        (["--h2-max-concurrent-streams", "0"], "--h2-max-concurrent-streams must be between"),
        (["--h2-max-header-list-size", "0"], "--h2-max-header-list-size must be between"),
        (["--access-logformat", "%(zz)s"], "unknown access log field %(zz)s"),
        (["--header", "no-colon"], "give NAME:VALUE"),
        (["--header", "X(a): 1"], "invalid default header b'x(a)'"),
        (["--timeout-graceful-shutdown", "-1"], "must not be negative"),
        (["--reload-dir", "/no/such/dir"], "--reload-dir /no/such/dir is not a directory"),
        (["--env-file", "/no/such.env"], "cannot read the env file /no/such.env"),
    ]
    for args, message in cases:
        result = run_cli("serve", "--port", "0", *args)
        assert result.returncode == 2 and message in result.stderr.decode(), (args, result)
    result = run_cli("serve", env=cli_env(QUILLET_PORT="eighty"))
    assert result.returncode == 2
    assert one_error_line(result) == "quillet: error: QUILLET_PORT='eighty': invalid int value"
    result = run_cli("serve", env=cli_env(QUILLET_ACCESS_LOG="maybe"))
    assert result.returncode == 2 and "QUILLET_ACCESS_LOG='maybe'" in one_error_line(result)


def test_options_from_the_environment_and_an_env_file(tmp_path):
    (tmp_path / "app.env").write_text(
        "# comments and blank lines are skipped\n\n"
        "export GREETING='from the file'\n"
        'QUILLET_ROOT_PATH="/from-file"\n'
        "QUILLET_LIMIT_CONCURRENCY=5  # a comment after the value\n"
        "KEPT=file\n")
    env = cli_env(QUILLET_APP="deploy_app:app", QUILLET_PORT="0", WEB_CONCURRENCY="2",
                  QUILLET_SERVER_HEADER="false", QUILLET_ACCESS_LOG="0",
                  QUILLET_HEADER="X-One: 1\nX-Two: two words",
                  QUILLET_PROXY_HEADERS="yes", FORWARDED_ALLOW_IPS="192.0.2.1",
                  QUILLET_ENV_FILE="app.env", KEPT="environment")
    with Serving(tmp_path, env=env, cwd=tmp_path) as srv:
        assert "serving deploy_app:app" in srv.line and "with 2 workers" in srv.line
        assert get(srv.port, "/env?GREETING") == (200, b"from the file")
        assert get(srv.port, "/env?KEPT") == (200, b"environment")  # the environment wins
        with socket.create_connection(("127.0.0.1", srv.port), timeout=10) as sock:
            sock.sendall(b"GET /scope/x HTTP/1.1\r\nHost: x\r\n"
                         b"X-Forwarded-For: 203.0.113.9\r\n\r\n")
            [(status, headers, body)], _ = read_responses(sock, 1)
        scope = json.loads(body)
        assert scope["root_path"] == "/from-file"
        assert scope["client"][0] == "127.0.0.1"  # only 192.0.2.1 may say who the client is
        assert "server" not in headers
        assert headers["x-one"] == "1" and headers["x-two"] == "two words", headers
        assert srv.stop() == 0
    assert "quillet.access" not in srv.log()
    # the command line wins over both
    env.update(WEB_CONCURRENCY="3", QUILLET_ROOT_PATH="/from-env")
    with Serving(tmp_path, "--workers", "1", "--root-path", "/cli", env=env,
                 cwd=tmp_path) as srv:
        assert "workers" not in srv.line
        status, body = get(srv.port, "/scope/x")
        assert json.loads(body)["root_path"] == "/cli"
        assert srv.stop() == 0


def test_an_inherited_socket_serves_with_workers_and_trusts_ipv6_loopback_proxies(tmp_path):
    listener = socket.socket(socket.AF_INET6)
    try:
        listener.bind(("::1", 0))
    except OSError:
        listener.close()
        pytest.skip("no IPv6 loopback here")
    listener.listen(16)
    port = listener.getsockname()[1]
    fd = listener.fileno()
    try:
        with Serving(tmp_path, "deploy_app:app", "--fd", str(fd), "--workers", "2",
                     "--proxy-headers", "--no-access-log", pass_fds=(fd,)) as srv:
            listener.close()  # the server's copy serves on
            assert f"http://[::1]:{port}/" in srv.line
            with socket.create_connection(("::1", port), timeout=10) as sock:
                sock.sendall(b"GET /scope/x HTTP/1.1\r\nHost: x\r\n"
                             b"X-Forwarded-For: 203.0.113.9\r\n\r\n")
                [(status, _, body)], _ = read_responses(sock, 1)
            # the default trusts both loopback addresses
            assert status == 200 and json.loads(body)["client"] == ["203.0.113.9", 0]
            assert srv.stop() == 0
    finally:
        listener.close()
    plain = socket.socket()
    try:
        result = subprocess.run(
            [sys.executable, "-m", "quillet", "serve", "--fd", str(plain.fileno())],
            capture_output=True, env=cli_env(), timeout=30, pass_fds=(plain.fileno(),))
        assert result.returncode == 1
        assert one_error_line(result) == (f"quillet: error: --fd {plain.fileno()} is not a "
                                          f"listening stream socket")
    finally:
        plain.close()


def test_log_config_files_and_the_access_log_format(tmp_path):
    access = tmp_path / "access.log"
    config = {
        "version": 1,
        "formatters": {"bare": {"format": "%(message)s"}},
        "handlers": {"file": {"class": "logging.FileHandler", "filename": str(access),
                              "formatter": "bare"}},
        "loggers": {"quillet.access": {"handlers": ["file"], "level": "INFO",
                                       "propagate": False}},
    }
    (tmp_path / "log.json").write_text(json.dumps(config))
    fmt = '%(h)s "%(r)s" %(s)s %(b)s %(m)s %(U)s %(q)s "%({user-agent}i)s" %(p)s'
    with Serving(tmp_path, "deploy_app:app", "--port", "0", "--log-config",
                 str(tmp_path / "log.json"), "--access-logformat", fmt) as srv:
        with socket.create_connection(("127.0.0.1", srv.port), timeout=10) as sock:
            sock.sendall(b"GET /missing?y=1 HTTP/1.1\r\nHost: x\r\nUser-Agent: probe/1\r\n\r\n")
            read_responses(sock, 1)
        assert srv.stop() == 0
    [line] = access.read_text().splitlines()
    assert re.fullmatch(r'127\.0\.0\.1 "GET /missing\?y=1 HTTP/1\.1" 404 10 GET /missing y=1 '
                        r'"probe/1" <\d+>', line), line
    server_log = tmp_path / "server.log"
    (tmp_path / "log.ini").write_text(f"""
[loggers]
keys=root,quillet
[handlers]
keys=file
[formatters]
keys=plain
[logger_root]
handlers=
[logger_quillet]
qualname=quillet
level=DEBUG
handlers=file
[handler_file]
class=FileHandler
args=({str(server_log)!r},)
formatter=plain
[formatter_plain]
format=%(levelname)s %(name)s %(message)s
""")
    with Serving(tmp_path, "deploy_app:app", "--port", "0", "--log-config",
                 str(tmp_path / "log.ini")) as srv:
        get(srv.port, "/")
        assert srv.stop() == 0
    text = server_log.read_text()
    assert re.search(r'INFO quillet.access 127\.0\.0\.1:\d+ - "GET / HTTP/1\.1" 200 \d+ ', text)
    assert "quillet.access" not in srv.log()  # the file took it, not the default set-up
    result = run_cli("serve", "--log-config", str(tmp_path / "nothing.json"))
    assert result.returncode == 1 and "cannot read the log config" in one_error_line(result)


async def both_protocols(port):
    async with Client("127.0.0.1", port) as h1, Client("127.0.0.1", port, http2=True) as h2:
        return [(await c.request("GET", "/")).headers for c in (h1, h2)]


def test_server_and_date_headers_and_extra_response_headers(tmp_path):
    with Serving(tmp_path, "deploy_app:app", "--port", "0") as srv:
        for headers in asyncio.run(both_protocols(srv.port)):
            assert headers.get_all("server") == [b"quillet"] and "date" in headers
        assert srv.stop() == 0
    with Serving(tmp_path, "deploy_app:app", "--port", "0", "--no-server-header",
                 "--no-date-header", "--header", "X-Frame-Options: DENY",
                 "--header", "Content-Type:text/x-default") as srv:
        for headers in asyncio.run(both_protocols(srv.port)):
            assert "server" not in headers and "date" not in headers
            assert headers.get_all("x-frame-options") == [b"DENY"]
            # the application's own field wins over a default one
            assert headers.get_all("content-type") == [b"text/html; charset=utf-8"]
        # the server's own refusals carry them too
        with socket.create_connection(("127.0.0.1", srv.port), timeout=10) as sock:
            sock.sendall(b"GET / HTTP/1.1\r\n\r\n")  # no Host
            [(status, headers, _)], _ = read_responses(sock, 1)
        assert status == 400 and headers["x-frame-options"] == "deny"
        assert "date" not in headers and "server" not in headers
        assert srv.stop() == 0


def test_http2_settings_and_the_head_timeout_from_the_command_line(tmp_path):
    h2 = pytest.importorskip("h2.connection")
    from test_e2e_h2 import RawClient
    with Serving(tmp_path, "deploy_app:app", "--port", "0", "--h2-max-concurrent-streams", "7",
                 "--h2-initial-window-size", "100000", "--h2-max-frame-size", "32768",
                 "--h2-max-header-list-size", "8000", "--timeout-head", "0.3") as srv:
        client = RawClient(srv.port)
        client.wait(lambda: client.h2.remote_settings.max_concurrent_streams == 7)
        remote = client.h2.remote_settings
        assert (remote.initial_window_size, remote.max_frame_size,
                remote.max_header_list_size) == (100000, 32768, 8000)
        client.h2.send_headers(1, [(":method", "GET"), (":path", "/"), (":scheme", "http"),
                                   (":authority", "t"), ("x-big", "a" * 9000)], end_stream=True)
        client.flush()
        client.wait(lambda: 1 in client.heads)
        assert client.heads[1][b":status"] == b"431"
        client.close()
        # a head that stalls half-way is cut after 0.3 s, well inside the socket's 10 s
        with socket.create_connection(("127.0.0.1", srv.port), timeout=10) as sock:
            sock.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n")
            data = sock.recv(65536)
            while data and not data.endswith(b"\r\n\r\n"):
                data += sock.recv(65536)
        assert data == b"" or data.startswith(b"HTTP/1.1 408"), data
        assert srv.stop() == 0
    assert h2


@needs_openssl
def test_the_head_timeout_also_bounds_a_tls_handshake(tmp_path):
    cert, key = make_cert(str(tmp_path))
    with Serving(tmp_path, "deploy_app:app", "--port", "0", "--ssl-certfile", cert,
                 "--ssl-keyfile", key, "--timeout-head", "0.3") as srv:
        # a client that says nothing: the handshake is given up well inside the 10 s
        with socket.create_connection(("127.0.0.1", srv.port), timeout=10) as sock:
            try:
                assert sock.recv(1) == b""
            except ConnectionResetError:
                pass
        assert srv.stop() == 0
