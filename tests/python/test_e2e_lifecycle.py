"""The server's life as a process: the lifespan protocol, the drain on a stop and its limit, a
second interrupt, an address in use, and the worker processes' start-up failures and crashes.
Each test starts `python -m quillet serve` and signals it."""

import os
import re
import select
import signal
import socket
import subprocess
import sys
import time

from test_e2e_cli import Serving, cli_env, one_error_line, run_cli
from test_e2e_deploy import get
from test_e2e_server import read_all, read_responses


def lifespan_env(tmp_path, mode="ok"):
    return cli_env(LIFESPAN_APP=mode, LIFESPAN_MARK=str(tmp_path / "mark"))


def marks(tmp_path, kind="lifespan."):
    """What the application noted, of one kind (lifespan messages, or requests begun)."""
    path = tmp_path / "mark"
    if not path.exists():
        return []
    return [line.split()[0] for line in path.read_text().splitlines() if line.startswith(kind)]


def wait_marks(tmp_path, count, kind="lifespan."):
    deadline = time.monotonic() + 30
    while len(marks(tmp_path, kind)) < count:
        assert time.monotonic() < deadline, marks(tmp_path, "")
        time.sleep(0.02)


def slow_request(tmp_path, port, seconds):
    """A request that runs `seconds`, once the application has begun it."""
    sock = socket.create_connection(("127.0.0.1", port), timeout=30)
    begun = len(marks(tmp_path, "request:/slow"))
    sock.sendall(b"GET /slow?%s HTTP/1.1\r\nHost: x\r\n\r\n" % str(seconds).encode())
    wait_marks(tmp_path, begun + 1, "request:/slow")
    return sock


def test_lifespan_off_on_and_auto(tmp_path):
    with Serving(tmp_path, "lifecycle_app:app", "--port", "0", "--lifespan", "off",
                 env=lifespan_env(tmp_path)) as srv:
        assert get(srv.port, "/pid")[0] == 200
        assert srv.stop() == 0
    assert marks(tmp_path) == []  # never called with a lifespan scope
    with Serving(tmp_path, "lifecycle_app:app", "--port", "0", "--lifespan", "on",
                 env=lifespan_env(tmp_path)) as srv:
        assert marks(tmp_path) == ["lifespan.startup"]
        assert srv.stop() == 0
    assert marks(tmp_path) == ["lifespan.startup", "lifespan.shutdown"]
    # an application without lifespan support: served under auto, refused under on
    with Serving(tmp_path, "lifecycle_app:app", "--port", "0",
                 env=lifespan_env(tmp_path, "raise")) as srv:
        assert get(srv.port, "/pid")[0] == 200
        assert srv.stop() == 0
    assert "does not support lifespan" in srv.log()
    result = run_cli("serve", "lifecycle_app:app", "--port", "0", "--lifespan", "on",
                     env=lifespan_env(tmp_path, "raise"))
    assert result.returncode == 1
    assert "lifespan failed: RuntimeError('this application has no lifespan')" in \
        one_error_line(result)


def test_the_drain_limit_cuts_the_requests_left_and_names_them(tmp_path):
    with Serving(tmp_path, "lifecycle_app:app", "--port", "0", "--timeout-graceful-shutdown",
                 "0.5", env=lifespan_env(tmp_path)) as srv:
        busy = slow_request(tmp_path, srv.port, 60)
        local = busy.getsockname()[1]
        assert srv.stop(timeout=30) == 0
        assert read_all(busy) == b""  # cut, unanswered
        busy.close()
    log = srv.log()
    assert "shutting down: waiting up to 0.5s for 1 request in progress" in log
    assert re.search(r'WARNING quillet.server: the 0.5s drain limit: cutting "GET /slow\?60 '
                     rf'HTTP/1.1" from 127\.0\.0\.1:{local}\n', log), log
    # the application's shutdown still ran, after the cut
    assert marks(tmp_path) == ["lifespan.startup", "lifespan.shutdown"]


def test_a_second_sigint_cuts_the_drain_without_a_traceback(tmp_path):
    with Serving(tmp_path, "lifecycle_app:app", "--port", "0",
                 env=lifespan_env(tmp_path)) as srv:
        busy = slow_request(tmp_path, srv.port, 60)
        srv.proc.send_signal(signal.SIGINT)
        srv.wait_log("shutting down: waiting up to 25s for 1 request in progress "
                     "(a second SIGINT cuts it)")
        assert srv.stop(signal.SIGINT, timeout=30) == 0
        busy.close()
    log = srv.log()
    assert 'a second interrupt: cutting "GET /slow?60 HTTP/1.1"' in log
    assert "Traceback" not in log and "shutdown failed" not in log, log
    assert marks(tmp_path) == ["lifespan.startup", "lifespan.shutdown"]


def test_ctrl_c_twice_stops_workers_without_a_traceback(tmp_path):
    # the whole process group is interrupted, as a terminal does: each worker hears the second
    # interrupt twice, from the terminal and from its parent, and counts it once
    with Serving(tmp_path, "lifecycle_app:app", "--port", "0", "--workers", "2",
                 env=lifespan_env(tmp_path), start_new_session=True) as srv:
        wait_marks(tmp_path, 2)  # both workers have started their application
        busy = slow_request(tmp_path, srv.port, 60)
        os.killpg(srv.proc.pid, signal.SIGINT)
        srv.wait_log("shutting down: waiting up to 25s for 1 request in progress")
        os.killpg(srv.proc.pid, signal.SIGINT)
        assert srv.proc.wait(30) == 0
        busy.close()
    log = srv.log()
    assert 'a second interrupt: cutting "GET /slow?60 HTTP/1.1"' in log
    assert "Traceback" not in log and "shutdown failed" not in log, log
    assert sorted(marks(tmp_path)) == ["lifespan.shutdown"] * 2 + ["lifespan.startup"] * 2


def test_a_startup_that_hangs_gives_way_to_a_second_sigint(tmp_path):
    with open(tmp_path / "err", "wb") as err:
        proc = subprocess.Popen([sys.executable, "-m", "quillet", "serve", "lifecycle_app:app",
                                 "--port", "0"], stdout=subprocess.DEVNULL, stderr=err,
                                env=lifespan_env(tmp_path, "hang"))
    try:
        deadline = time.monotonic() + 30
        wait_marks(tmp_path, 1)
        proc.send_signal(signal.SIGINT)
        while "SIGINT: stopping" not in (tmp_path / "err").read_text():
            assert time.monotonic() < deadline and proc.poll() is None
            time.sleep(0.05)
        proc.send_signal(signal.SIGINT)
        assert proc.wait(30) == 1
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    log = (tmp_path / "err").read_text()
    assert "quillet: error: interrupted during the application's startup" in log
    assert "Traceback" not in log, log


def test_a_worker_drain_refuses_new_connections_at_once(tmp_path):
    with Serving(tmp_path, "lifecycle_app:app", "--port", "0", "--workers", "2",
                 "--no-access-log", env=lifespan_env(tmp_path)) as srv:
        busy = slow_request(tmp_path, srv.port, 4)
        srv.proc.send_signal(signal.SIGTERM)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", srv.port), timeout=10).close()
            except ConnectionRefusedError:
                break
            time.sleep(0.02)
        else:
            raise AssertionError("new connections were still accepted")
        # refused while the request in flight is still running...
        assert select.select([busy], [], [], 0)[0] == []
        # ...which then finishes
        [(status, _, body)], _ = read_responses(busy, 1)
        assert (status, body) == (200, b"finished")
        busy.close()
        assert srv.proc.wait(30) == 0


def test_an_address_in_use_fails_before_the_application_starts(tmp_path):
    taken = socket.socket()
    taken.bind(("127.0.0.1", 0))
    taken.listen(1)
    port = taken.getsockname()[1]
    try:
        for extra in ([], ["--workers", "2"], ["--reload"]):
            result = run_cli("serve", "lifecycle_app:app", "--port", str(port), *extra,
                             env=lifespan_env(tmp_path), cwd=tmp_path)
            assert result.returncode == 1
            assert one_error_line(result) == (
                f"quillet: error: cannot listen on 127.0.0.1:{port}: Address already in use "
                f"(another process listens there)")
            assert marks(tmp_path) == []
    finally:
        taken.close()


def test_workers_stop_when_the_startup_fails_late_or_keeps_failing(tmp_path):
    # a startup that fails after more than a second is still a start-up failure
    result = run_cli("serve", "lifecycle_app:app", "--port", "0", "--workers", "2",
                     env=lifespan_env(tmp_path, "fail-late"), timeout=60)
    assert result.returncode == 1
    log = result.stderr.decode()
    assert "application startup failed: no database" in log
    assert "failed at start-up: stopping" in log and "Traceback" not in log
    assert len(re.findall(r"started worker", log)) == 2  # none was started again
    # workers that started once, whose replacements then cannot start: a few tries, then stop
    flag = tmp_path / "database-down"
    with Serving(tmp_path, "lifecycle_app:app", "--port", "0", "--workers", "2",
                 "--no-access-log", env=lifespan_env(tmp_path, f"fail-if:{flag}")) as srv:
        pid = int(get(srv.port, "/pid")[1])
        wait_marks(tmp_path, 2)  # both workers are past the check of the flag
        flag.write_text("")
        os.kill(pid, signal.SIGKILL)
        assert srv.proc.wait(60) == 1
    log = srv.log()
    assert len(re.findall(r"failed at start-up: starting another in", log)) == 2, log
    assert "failed at start-up: stopping" in log


def test_crashing_workers_are_replaced_after_a_growing_delay(tmp_path):
    with Serving(tmp_path, "lifecycle_app:app", "--port", "0", "--workers", "2",
                 "--no-access-log", env=lifespan_env(tmp_path)) as srv:
        assert get(srv.port, "/pid")[0] == 200
        while len(re.findall(r"started worker", srv.log())) < 2:
            time.sleep(0.05)
        killed = set()
        for expected in ("starting another\n", "starting another in 0.5s",
                         "starting another in 1s"):
            started = re.findall(r"started worker (\d+)", srv.log())
            killed.add(started[-1])
            os.kill(int(started[-1]), signal.SIGKILL)
            deadline = time.monotonic() + 30
            while len(re.findall(r"started worker", srv.log())) == len(started):
                assert time.monotonic() < deadline, srv.log()
                time.sleep(0.05)
            exits = re.findall(r"exited \(signal SIGKILL\): (starting another.*\n)", srv.log())
            assert exits[-1].startswith(expected), exits
        # two workers run again, and serve
        alive = set(re.findall(r"started worker (\d+)", srv.log())) - killed
        assert len(alive) == 2
        for pid in alive:
            os.kill(int(pid), 0)
        assert get(srv.port, "/pid")[0] == 200
        assert srv.stop() == 0


def gone(pid):
    """Whether a process has ended (whoever reaps it, if anyone)."""
    try:
        with open(f"/proc/{pid}/status") as f:
            return re.search(r"State:\s+Z", f.read()) is not None
    except FileNotFoundError:
        return True


def test_workers_stop_when_their_parent_is_killed(tmp_path):
    with Serving(tmp_path, "lifecycle_app:app", "--port", "0", "--workers", "2",
                 "--no-access-log", env=lifespan_env(tmp_path)) as srv:
        wait_marks(tmp_path, 2)
        pids = [int(p) for p in re.findall(r"started worker (\d+)", srv.log())]
        srv.proc.kill()  # no chance to stop them
        srv.proc.wait()
        deadline = time.monotonic() + 30
        while not all(gone(pid) for pid in pids):
            assert time.monotonic() < deadline, srv.log()
            time.sleep(0.05)
    assert srv.log().count("is gone: stopping") == 2
    assert sorted(marks(tmp_path)) == ["lifespan.shutdown"] * 2 + ["lifespan.startup"] * 2
