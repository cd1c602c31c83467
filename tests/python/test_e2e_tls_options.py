"""The TLS options of `python -m quillet serve` against the real process: client certificates
checked against a CA, the cipher list and the lowest protocol version (with curl as the peer),
and the certificate reloaded on SIGHUP, alone and with worker processes."""

import json
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time

import pytest

from test_e2e_server import CURL_ENV, HERE, read_responses
from test_e2e_tls import make_cert, serve_cli


def need(tool):
    """A tool the tests cannot do without: scripts/setup.sh installs it, so a run through
    scripts/test (QUILLET_REQUIRE_PEERS=1, as in CI) fails without it; a bare pytest skips."""
    if shutil.which(tool) is None:
        if os.environ.get("QUILLET_REQUIRE_PEERS") or os.environ.get("CI"):
            pytest.fail(f"{tool} is not installed: scripts/setup.sh should have installed it")
        pytest.skip(f"{tool} is not installed")


@pytest.fixture(autouse=True)
def tools():
    need("openssl")
    need("curl")


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, capture_output=True, env=CURL_ENV)


def make_ca(directory):
    """A certificate authority and a client certificate it signed: (ca_cert, client_cert,
    client_key)."""
    ca_crt, ca_key = os.path.join(directory, "ca.crt"), os.path.join(directory, "ca.key")
    openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
            "-nodes", "-days", "2", "-subj", "/CN=quillet test CA",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign", "-keyout", ca_key, "-out", ca_crt)
    key, csr, crt = (os.path.join(directory, f"client.{ext}") for ext in ("key", "csr", "crt"))
    openssl("req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
            "-nodes", "-subj", "/CN=client", "-keyout", key, "-out", csr)
    openssl("x509", "-req", "-in", csr, "-CA", ca_crt, "-CAkey", ca_key, "-CAcreateserial",
            "-days", "2", "-out", crt)
    return ca_crt, crt, key


class Process:
    """`python -m quillet serve` in a child process; its stderr is collected line by line."""

    def __init__(self, *args, app="deploy_app:app"):
        env = dict(os.environ, PYTHONPATH=HERE + os.pathsep + os.environ.get("PYTHONPATH", ""))
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "quillet", "serve", *([app] if app else []), "--port", "0",
             "--no-access-log", *args],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        self.lines = []
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        line = self.proc.stdout.readline().decode()
        assert "serving" in line, (line, self.lines)
        self.url = line.split(" on ")[1].split()[0]  # http(s)://127.0.0.1:PORT/ or unix:PATH
        self.port = int(self.url.split(":")[2].strip("/")) if "://" in self.url else None

    def _read(self):
        for line in self.proc.stderr:
            self.lines.append(line.decode())

    def wait_for(self, text, count=1):
        deadline = time.monotonic() + 20
        while sum(text in line for line in self.lines) < count:
            assert time.monotonic() < deadline, (text, self.lines)
            assert self.proc.poll() is None, self.lines
            time.sleep(0.05)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
        try:
            return self.proc.wait(15)
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()


def curl_status(port, cert, *args):
    """curl's exit status and the HTTP status it printed (0 when it got none)."""
    result = subprocess.run(
        ["curl", "-sS", "--cacert", cert, "-o", "/dev/null", "-w", "%{http_code}", *args,
         f"https://127.0.0.1:{port}/pid"], capture_output=True, timeout=20, env=CURL_ENV)
    return result.returncode, int(result.stdout or 0)


def tls_seen(port, cert, *args):
    """The scope's "tls" extension as the application saw it (with the other extensions)."""
    result = subprocess.run(["curl", "-sS", "--cacert", cert, *args,
                             f"https://127.0.0.1:{port}/scope/x"],
                            capture_output=True, timeout=20, env=CURL_ENV)
    assert result.returncode == 0, result.stderr.decode()
    extensions = json.loads(result.stdout)["extensions"]
    return extensions.pop("tls"), extensions


def test_client_certificates_are_checked_against_the_ca(tmp_path):
    cert, key = make_cert(str(tmp_path))
    ca, client_crt, client_key = make_ca(str(tmp_path))
    stray_crt, stray_key = make_cert(str(tmp_path), "stray")  # signed by no CA we trust
    tls = ["--ssl-certfile", cert, "--ssl-keyfile", key, "--ssl-ca-certs", ca]
    required, optional = Process(*tls, "--ssl-cert-reqs", "2"), Process(*tls, "--ssl-cert-reqs", "1")
    ignoring = Process(*tls)  # the default, 0: no certificate is asked for
    good = ["--cert", client_crt, "--key", client_key]
    stray = ["--cert", stray_crt, "--key", stray_key]
    try:
        for http in ("--http1.1", "--http2"):
            assert curl_status(required.port, cert, http, *good) == (0, 200)
            assert curl_status(required.port, cert, http)[1] == 0
            assert curl_status(required.port, cert, http, *stray)[1] == 0
            assert curl_status(optional.port, cert, http, *good) == (0, 200)
            assert curl_status(optional.port, cert, http) == (0, 200)
            assert curl_status(optional.port, cert, http, *stray)[1] == 0
            assert curl_status(ignoring.port, cert, http, *stray) == (0, 200)
            # the application learns who the client is
            tls, others = tls_seen(required.port, cert, http, *good)
            assert tls["client_cert_name"] == "CN=client" and tls["client_cert_error"] is None
            assert [ssl.PEM_cert_to_DER_cert(pem) for pem in tls["client_cert_chain"]] == \
                [der(client_crt)]
            assert tls["tls_version"] == 0x0304 and tls["cipher_suite"] in (0x1301, 0x1302, 0x1303)
            assert list(others) == (["http.response.trailers"] if http == "--http2" else [])
            tls, _ = tls_seen(optional.port, cert, http)
            assert tls["client_cert_chain"] == [] and tls["client_cert_name"] is None
    finally:
        for proc in (required, optional, ignoring):
            assert proc.stop() == 0


def test_cipher_list_and_lowest_protocol_version(tmp_path):
    cert, key = make_cert(str(tmp_path))
    tls = ["--ssl-certfile", cert, "--ssl-keyfile", key]
    aes256 = Process(*tls, "--ssl-ciphers", "ECDHE-ECDSA-AES256-GCM-SHA384")
    tls13 = Process(*tls, "--ssl-min-version", "TLSv1.3")
    tls12 = ["--tlsv1.2", "--tls-max", "1.2"]
    try:
        # TLS 1.2 is allowed by default, with the listed ciphers only
        assert curl_status(aes256.port, cert, *tls12,
                           "--ciphers", "ECDHE-ECDSA-AES256-GCM-SHA384") == (0, 200)
        tls, _ = tls_seen(aes256.port, cert, *tls12)
        assert tls["tls_version"] == 0x0303 and tls["cipher_suite"] == 0xC02C
        assert curl_status(aes256.port, cert, *tls12,
                           "--ciphers", "ECDHE-ECDSA-AES128-GCM-SHA256")[1] == 0
        assert curl_status(aes256.port, cert, "--tlsv1.3") == (0, 200)
        assert curl_status(tls13.port, cert, *tls12)[1] == 0
        assert curl_status(tls13.port, cert, "--tlsv1.3") == (0, 200)
    finally:
        assert aes256.stop() == 0 and tls13.stop() == 0


def test_unusable_tls_options_stop_the_start_with_one_line(tmp_path):
    cert, key = make_cert(str(tmp_path))
    tls = ["--ssl-certfile", cert, "--ssl-keyfile", key]
    cases = [
        (["--ssl-ciphers", "NO-SUCH-CIPHER"], 1, "NO-SUCH-CIPHER"),
        (["--ssl-ca-certs", str(tmp_path / "none.pem"), "--ssl-cert-reqs", "2"], 1, "none.pem"),
        (["--ssl-ca-certs", key, "--ssl-cert-reqs", "2"], 1, "no usable certificate"),
        (["--ssl-cert-reqs", "2"], 2, "--ssl-ca-certs"),
    ]
    for args, status, why in cases:
        result = serve_cli(*tls, *args, "--port", "0")
        lines = result.stderr.decode().strip().splitlines()
        assert result.returncode == status, (args, result.stderr)
        assert len(lines) == 1 and why in lines[0], lines
    result = serve_cli("--ssl-ciphers", "ECDHE-ECDSA-AES256-GCM-SHA384", "--port", "0")
    assert result.returncode == 2 and b"--ssl-certfile" in result.stderr


def der(path):
    with open(path) as f:
        return ssl.PEM_cert_to_DER_cert(f.read())


def tls_connection(port):
    """A TLS connection that takes any certificate, so that the test sees which one came."""
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    ctx.set_alpn_protocols(["http/1.1"])
    sock = socket.create_connection(("127.0.0.1", port), timeout=10)
    return ctx.wrap_socket(sock, server_hostname="localhost")


def request(conn):
    conn.sendall(b"GET /pid HTTP/1.1\r\nHost: x\r\n\r\n")
    [(status, _, body)], _ = read_responses(conn, 1)
    assert status == 200
    return body


@pytest.mark.parametrize("workers", [1, 2])
def test_sighup_reloads_the_certificate_and_keeps_connections(tmp_path, workers):
    first, first_key = make_cert(str(tmp_path), "first")
    second, second_key = make_cert(str(tmp_path), "second")
    live, live_key = str(tmp_path / "live.crt"), str(tmp_path / "live.key")
    shutil.copy(first, live)
    shutil.copy(first_key, live_key)
    server = Process("--ssl-certfile", live, "--ssl-keyfile", live_key,
                     "--workers", str(workers))
    try:
        old = tls_connection(server.port)
        assert old.getpeercert(binary_form=True) == der(first)
        pid = request(old)

        shutil.copy(second, live)
        shutil.copy(second_key, live_key)
        if workers > 1:  # forked, though perhaps not serving yet: the signal waits for them
            server.wait_for("started worker", workers)
        server.proc.send_signal(signal.SIGHUP)
        # with workers, the parent checks the files first, then each worker reloads
        server.wait_for("reloaded the certificate", 1 if workers == 1 else 3)
        for _ in range(3 * workers):
            with tls_connection(server.port) as conn:
                assert conn.getpeercert(binary_form=True) == der(second)
                request(conn)
        assert request(old) == pid  # the connection from before goes on, in the same process
        assert old.getpeercert(binary_form=True) == der(first)

        with open(live, "w") as f:
            f.write("not a certificate\n")
        server.proc.send_signal(signal.SIGHUP)
        server.wait_for("was not reloaded")
        with tls_connection(server.port) as conn:  # the last good certificate stays
            assert conn.getpeercert(binary_form=True) == der(second)
            request(conn)
        errors = [line for line in server.lines if " ERROR " in line]
        assert len(errors) == 1 and "live.crt" in errors[0], server.lines
        assert request(old) == pid
        old.close()
    finally:
        assert server.stop() == 0
