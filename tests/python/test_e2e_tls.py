"""The quillet server over TLS, against a certificate made for the run by the openssl command:
ALPN choosing HTTP/2 or HTTP/1.1 for curl, nghttp and quillet.client, what a wrong protocol on
either port costs, and the start-up errors for unusable certificates and keys."""

import asyncio
import json
import logging
import os
import shutil
import socket
import ssl
import subprocess
import sys
import time

import pytest

from quillet.client import Client
from quillet.server import tls_context
from test_e2e_server import CURL_ENV, HERE, ServerThread, needs_curl, read_all

BIG = bytes(range(256)) * 1200  # more than one TLS record and more than the HTTP/2 windows

needs_openssl = pytest.mark.skipif(shutil.which("openssl") is None,
                                   reason="the openssl command is not installed")


def make_cert(directory, name="localhost", password=None):
    """A self-signed certificate for localhost and 127.0.0.1: (certfile, keyfile)."""
    cert, key = os.path.join(directory, f"{name}.crt"), os.path.join(directory, f"{name}.key")
    args = ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
            "ec_paramgen_curve:prime256v1", "-days", "2", "-subj", f"/CN={name}",
            "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1",
            "-keyout", key, "-out", cert]
    args += ["-passout", f"pass:{password}"] if password else ["-nodes"]
    subprocess.run(args, check=True, capture_output=True, env=CURL_ENV)
    return cert, key


@pytest.fixture(scope="module")
def cert(tmp_path_factory):
    if shutil.which("openssl") is None:
        pytest.skip("the openssl command is not installed")
    return make_cert(str(tmp_path_factory.mktemp("tls")))


@pytest.fixture(scope="module")
def srv(cert):
    server = ServerThread(ssl=tls_context(*cert), head_timeout=1.0)
    yield server
    server.stop()


def https(srv, path="/"):
    return f"https://127.0.0.1:{srv.port}{path}"


def client_context(cert):
    return ssl.create_default_context(cafile=cert[0])


def curl_tls(cert, version, *args):
    result = subprocess.run(["curl", version, "-sS", "--cacert", cert[0], *args],
                            capture_output=True, timeout=20, env=CURL_ENV)
    assert result.returncode == 0, result.stderr.decode()
    return result.stdout


@needs_curl
@pytest.mark.parametrize("flag, version", [("--http2", "2"), ("--http1.1", "1.1")])
def test_curl_over_https_gets_the_protocol_alpn_chose(srv, cert, flag, version):
    out = curl_tls(cert, flag, "-w", "\n%{http_version}", https(srv, "/scope/x?q=1"))
    body, _, negotiated = out.rpartition(b"\n")
    assert negotiated.decode() == version
    scope = json.loads(body)
    assert scope["scheme"] == "https" and scope["http_version"] == version
    assert scope["query_string"] == "q=1"
    assert scope["first"] == "http.request"  # a body-less request still gets its message
    out = subprocess.run(["curl", flag, "-sS", "--cacert", cert[0], "--data-binary", "@-",
                          https(srv, "/echo")], input=BIG, capture_output=True, timeout=20,
                         env=CURL_ENV)
    assert out.stdout == BIG


@pytest.mark.skipif(shutil.which("nghttp") is None, reason="nghttp is not installed")
def test_nghttp_runs_concurrent_streams_over_tls(srv):
    before = srv.server.connections_accepted
    result = subprocess.run(["nghttp", "-nv", https(srv, "/"), https(srv, "/download"),
                             https(srv, "/stream"), https(srv, "/slow?0.2"),
                             https(srv, "/missing")],
                            capture_output=True, timeout=20, env=CURL_ENV)
    assert result.returncode == 0, result.stderr.decode()
    assert srv.server.connections_accepted == before + 1
    log = result.stdout.decode()
    assert "negotiated protocol: h2" in log
    statuses = sorted(line.split()[-1] for line in log.splitlines() if ":status:" in line)
    assert statuses == ["200", "200", "200", "200", "404"]


def test_quillet_client_over_tls_with_either_protocol(srv, cert):
    async def run(http2):
        async with Client(https(srv), ssl=client_context(cert), http2=http2) as client:
            responses = await asyncio.gather(
                client.request("POST", "/echo", body=BIG),
                *(client.request("GET", "/scope/a") for _ in range(3)))
            return responses, client.protocol, client.connections_opened

    responses, protocol, opened = asyncio.run(run(None))
    assert protocol == "h2" and opened == 1  # concurrent requests share the connection
    assert responses[0].body == BIG
    assert {r.http_version for r in responses} == {"2"}
    assert json.loads(responses[1].body)["scheme"] == "https"

    responses, protocol, _ = asyncio.run(run(False))
    assert protocol == "http/1.1"
    assert responses[0].body == BIG and {r.http_version for r in responses} == {"1.1"}
    assert json.loads(responses[2].body)["http_version"] == "1.1"


def test_the_client_verifies_the_server_by_default(srv):
    async def main():
        async with Client(https(srv)) as client:  # the system's trust store: not our cert
            await client.request("GET", "/")

    with pytest.raises(ssl.SSLCertVerificationError):
        asyncio.run(main())


def test_wrong_protocols_and_stalled_handshakes_cost_only_their_connection(srv, cert, caplog):
    caplog.set_level(logging.DEBUG, logger="quillet.server")
    stalled = socket.create_connection(("127.0.0.1", srv.port), timeout=10)
    with socket.create_connection(("127.0.0.1", srv.port), timeout=10) as plain:
        plain.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
        assert b"HTTP/1.1" not in read_all(plain)  # closed, no answer in the clear

    # a good client meanwhile, on a connection opened before the stall ends
    async def good():
        async with Client(https(srv), ssl=client_context(cert)) as client:
            return (await client.request("GET", "/")).status
    assert asyncio.run(good()) == 200

    assert read_all(stalled) == b""  # the head timeout (1 s here) ended the silent handshake
    stalled.close()
    # the connection closes a moment before the server task logs why
    deadline = time.monotonic() + 5
    while len(failures := [r for r in caplog.records if "TLS handshake" in r.getMessage()]) < 2:
        if time.monotonic() > deadline:
            break
        time.sleep(0.05)
    assert len(failures) >= 2 and all(r.levelno == logging.DEBUG for r in failures)


def test_tls_to_a_plain_port_is_closed_without_an_answer(cert):
    server = ServerThread()
    try:
        ctx = client_context(cert)
        with socket.create_connection(("127.0.0.1", server.port), timeout=10) as raw:
            with pytest.raises((ssl.SSLError, ConnectionError)):
                ctx.wrap_socket(raw, server_hostname="localhost")
        with socket.create_connection(("127.0.0.1", server.port), timeout=10) as sock:
            sock.sendall(b"GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
            assert read_all(sock).startswith(b"HTTP/1.1 200 OK")
    finally:
        server.stop()


def serve_cli(*args, timeout=10):
    env = dict(os.environ, PYTHONPATH=os.environ.get("PYTHONPATH", ""))
    return subprocess.run([sys.executable, "-m", "quillet", "serve", *args],
                          capture_output=True, timeout=timeout, env=env)


@needs_openssl
def test_unusable_certificates_and_keys_stop_the_start_with_one_line(tmp_path):
    cert, key = make_cert(str(tmp_path))
    other_cert, other_key = make_cert(str(tmp_path), "other")
    enc_cert, enc_key = make_cert(str(tmp_path), "enc", password="secret")
    cases = [
        (["--ssl-certfile", str(tmp_path / "missing.crt"), "--ssl-keyfile", key],
         "missing.crt", "No such file"),
        (["--ssl-certfile", key, "--ssl-keyfile", key], key, "no usable certificate"),
        (["--ssl-certfile", cert, "--ssl-keyfile", other_key], other_key, "cannot be used"),
        (["--ssl-certfile", enc_cert, "--ssl-keyfile", enc_key,
          "--ssl-keyfile-password", "wrong"], enc_key, "password is wrong"),
        (["--ssl-certfile", enc_cert, "--ssl-keyfile", enc_key], enc_key, "password is missing"),
    ]
    for args, named, why in cases:
        result = serve_cli(*args, "--port", "0")
        lines = result.stderr.decode().strip().splitlines()
        assert result.returncode == 1, (args, result.stderr)
        assert len(lines) == 1 and named in lines[0] and why in lines[0], lines
    # the right password opens the key
    ctx = tls_context(enc_cert, enc_key, "secret")
    assert isinstance(ctx, ssl.SSLContext) and other_cert


@needs_curl
@needs_openssl
def test_cli_serves_tls_with_an_encrypted_key(tmp_path):
    cert, key = make_cert(str(tmp_path), password="pw")
    env = dict(os.environ, PYTHONPATH=HERE + os.pathsep + os.environ.get("PYTHONPATH", ""))
    proc = subprocess.Popen(
        [sys.executable, "-m", "quillet", "serve", "e2e_app:app", "--port", "0",
         "--ssl-certfile", cert, "--ssl-keyfile", key, "--ssl-keyfile-password", "pw"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    try:
        line = proc.stdout.readline().decode()
        assert "https://127.0.0.1:" in line, line
        url = line.split(" on ")[1].split()[0]
        out = curl_tls((cert, key), "--http2", "-w", "%{http_version}", "-o", "/dev/null", url)
        assert out == b"2"
        proc.terminate()
        assert proc.wait(10) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
