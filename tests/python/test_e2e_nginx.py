"""The quillet server behind nginx from Debian's packages, as deployed: nginx terminates TLS,
speaks HTTP/2 to the client (curl) and HTTP/1.1 to quillet over TCP and over a Unix socket.

One nginx runs for the module, on loopback, as the test's own user, with its configuration,
pid, logs and temporary files under the test's directory. It reaches the TCP servers from
127.0.0.2 (`proxy_bind`), and curl reaches nginx from 127.0.0.3, so that the three parties have
addresses of their own: the client address a server reports tells whom it believed.
The configuration is the sample of docs/deployment.md."""

import base64
import grp
import hashlib
import json
import os
import pwd
import queue
import shutil
import socket
import ssl
import subprocess
import threading
import time

import pytest

from test_e2e_server import CURL_ENV
from test_e2e_tls import make_cert
from test_e2e_tls_options import Process, need

CLIENT = "127.0.0.3"  # curl's address
PROXY = "127.0.0.2"   # nginx's address towards the TCP upstreams

# The upstreams, the `server` block and its locations are the sample in docs/deployment.md.
NGINX_CONF = """
daemon off;
worker_processes 1;
{user}
pid {dir}/nginx.pid;
error_log {dir}/error.log notice;
events {{ worker_connections 256; }}
http {{
    access_log {dir}/access.log;
    client_body_temp_path {dir}/body;
    proxy_temp_path {dir}/proxy;
    fastcgi_temp_path {dir}/fastcgi;
    uwsgi_temp_path {dir}/uwsgi;
    scgi_temp_path {dir}/scgi;

    # idle connections to quillet are dropped before its --timeout-keep-alive (5 s) would
    upstream quillet {{ server 127.0.0.1:{tcp}; keepalive 16; keepalive_timeout 4s; }}
    upstream quillet_unix {{ server unix:{uds}; keepalive 16; keepalive_timeout 4s; }}
    upstream untrusting {{ server 127.0.0.1:{untrusting}; keepalive 16; keepalive_timeout 4s; }}

    # "Connection: upgrade" for a WebSocket handshake, none otherwise (kept-alive upstreams)
    map $http_upgrade $connection_upgrade {{ default upgrade; "" ""; }}

    server {{
        listen 127.0.0.1:{port} ssl http2;
        ssl_certificate {cert};
        ssl_certificate_key {key};

        proxy_http_version 1.1;
        proxy_set_header Host $host;
        proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;
        proxy_set_header X-Forwarded-Proto $scheme;
        proxy_set_header Upgrade $http_upgrade;
        proxy_set_header Connection $connection_upgrade;
        proxy_buffering off;            # responses pass as they come, never spooled to disk
        proxy_request_buffering off;    # and so does each piece of a request body
        client_max_body_size 0;

        location /app/ {{               # /app/x reaches the server as /x (--root-path /app)
            proxy_bind {proxy};
            proxy_pass http://quillet/;
        }}
        location /unix/ {{
            proxy_pass http://quillet_unix/;
        }}
        location /untrusting/ {{
            proxy_bind {proxy};
            proxy_pass http://untrusting/;
        }}
    }}
}}
"""


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def nginx_binary():
    path = shutil.which("nginx") or "/usr/sbin/nginx"
    if not os.path.exists(path):
        need("nginx")  # fails in CI, skips elsewhere
    return path


class Nginx:
    def __init__(self, directory, **upstreams):
        self.dir = directory
        self.port = free_port()
        user = ""
        if os.geteuid() == 0:
            # a master started by root would hand the workers to "nobody", who cannot read the
            # test's directory: they stay the test's user instead
            user = (f"user {pwd.getpwuid(os.geteuid()).pw_name} "
                    f"{grp.getgrgid(os.getegid()).gr_name};")
        cert, key = make_cert(directory, "proxy")
        self.cert = cert
        conf = os.path.join(directory, "nginx.conf")
        with open(conf, "w") as f:
            f.write(NGINX_CONF.format(dir=directory, user=user, port=self.port, cert=cert,
                                      key=key, proxy=PROXY, **upstreams))
        self.proc = subprocess.Popen([nginx_binary(), "-p", directory, "-c", conf,
                                      "-e", os.path.join(directory, "error.log")],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                     env=CURL_ENV)
        deadline = time.monotonic() + 20
        while True:
            assert self.proc.poll() is None, self.errors()
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                break
            except OSError:
                assert time.monotonic() < deadline, self.errors()
                time.sleep(0.05)

    def errors(self):
        path = os.path.join(self.dir, "error.log")
        logged = open(path).read() if os.path.exists(path) else ""
        return logged + (self.proc.stderr.read().decode() if self.proc.poll() is not None else "")

    def url(self, path):
        return f"https://127.0.0.1:{self.port}{path}"

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(15)
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()


@pytest.fixture(scope="module")
def proxy(tmp_path_factory):
    need("openssl")
    need("curl")
    nginx_binary()
    directory = str(tmp_path_factory.mktemp("nginx"))
    uds = os.path.join(directory, "quillet.sock")
    app = {"app": "proxy_app:app"}
    servers = [Process("--proxy-headers", "--forwarded-allow-ips", PROXY, "--root-path", "/app",
                       **app),
               Process("--uds", uds, "--proxy-headers", **app),
               Process("--proxy-headers", "--forwarded-allow-ips", "127.0.0.1", **app)]
    nginx = None
    try:
        nginx = Nginx(directory, tcp=servers[0].port, uds=uds, untrusting=servers[2].port)
        yield nginx
    finally:
        if nginx is not None:
            nginx.stop()
        for server in servers:
            assert server.stop() == 0, server.lines


def curl(proxy, *args, timeout=30):
    result = subprocess.run(
        ["curl", "-sS", "--http2", "--cacert", proxy.cert, "--interface", CLIENT, *args],
        capture_output=True, timeout=timeout, env=CURL_ENV)
    assert result.returncode == 0, result.stderr.decode()
    return result.stdout


def scope_through(proxy, path, *args):
    """The scope the application saw, and the protocol curl spoke to nginx."""
    out = curl(proxy, "-w", "\n%{http_version}", *args, proxy.url(path))
    body, _, version = out.rpartition(b"\n")
    return json.loads(body), version.decode()


def test_tls_and_http2_at_nginx_http11_to_quillet_with_trusted_proxy_headers(proxy):
    for prefix in ("/app", "/unix"):  # trusted by address, and as a Unix-socket peer
        scope, version = scope_through(proxy, f"{prefix}/scope/x?q=1")
        assert version == "2" and scope["http_version"] == "1.1"
        assert scope["client"][0] == CLIENT and scope["scheme"] == "https"
        assert scope["path"] == "/scope/x" and scope["query_string"] == "q=1"
        headers = dict(scope["headers"])
        assert headers["host"] == "127.0.0.1" and headers["x-forwarded-proto"] == "https"
    # what a client claims itself is not believed: nginx appends the address it saw, and that
    # one is not a trusted proxy
    scope, _ = scope_through(proxy, "/app/scope/x", "-H", "X-Forwarded-For: 198.51.100.1")
    assert dict(scope["headers"])["x-forwarded-for"] == f"198.51.100.1, {CLIENT}"
    assert scope["client"][0] == CLIENT


def test_proxy_headers_from_an_untrusted_peer_are_ignored(proxy):
    scope, version = scope_through(proxy, "/untrusting/scope/x")
    assert version == "2"
    assert dict(scope["headers"])["x-forwarded-for"] == CLIENT  # sent, and not believed
    assert scope["client"][0] == PROXY and scope["scheme"] == "http"


def test_root_path_behind_a_prefix_stripping_location(proxy):
    scope, _ = scope_through(proxy, "/app/scope/a/b")
    assert scope["root_path"] == "/app" and scope["path"] == "/scope/a/b"
    assert scope["root_path"] + scope["path"] == "/app/scope/a/b"  # the URL the client used
    scope, _ = scope_through(proxy, "/unix/scope/a")
    assert scope["root_path"] == "" and scope["path"] == "/scope/a"


@pytest.mark.parametrize("prefix", ["/app", "/unix"])
def test_request_body_streams_through_nginx(proxy, tmp_path, prefix):
    marker = tmp_path / "first-bytes-arrived"
    head, tail = os.urandom(256 * 1024), os.urandom(2 * 1024 * 1024)
    upload = subprocess.Popen(
        ["curl", "-sS", "--http2", "--cacert", proxy.cert, "--interface", CLIENT, "-T", "-",
         proxy.url(f"{prefix}/upload?{marker}")],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=CURL_ENV)
    try:
        upload.stdin.write(head)
        upload.stdin.flush()
        # the application has the first bytes while the client still holds back the rest
        deadline = time.monotonic() + 20
        while not marker.exists():
            assert time.monotonic() < deadline, "the body did not reach the application"
            assert upload.poll() is None, upload.stderr.read()
            time.sleep(0.05)
        upload.stdin.write(tail)
        upload.stdin.close()
        out, err = upload.stdout.read(), upload.stderr.read()
        upload.wait(30)
    finally:
        if upload.poll() is None:
            upload.kill()
            upload.wait()
    assert upload.returncode == 0, err
    seen = json.loads(out)
    assert seen["bytes"] == len(head) + len(tail)
    assert seen["sha256"] == hashlib.sha256(head + tail).hexdigest()
    assert seen["transfer-encoding"] == "chunked" and seen["messages"] > 2


@pytest.mark.parametrize("prefix", ["/app", "/unix"])
def test_response_streams_through_nginx(proxy, tmp_path, prefix):
    gate = tmp_path / "open"
    download = subprocess.Popen(
        ["curl", "-sS", "-N", "--http2", "--cacert", proxy.cert, "--interface", CLIENT,
         proxy.url(f"{prefix}/gate?{gate}")],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=CURL_ENV)
    lines = queue.Queue()
    reader = threading.Thread(target=lambda: [lines.put(line) for line in download.stdout],
                              daemon=True)
    reader.start()
    try:
        # the first line reaches the client while the application still holds the response
        assert lines.get(timeout=20) == b"first\n"
        gate.touch()
        assert lines.get(timeout=20) == b"second\n"
        assert download.wait(20) == 0
    finally:
        gate.touch()  # releases the application whatever happened
        if download.poll() is None:
            download.kill()
            download.wait()


def test_websocket_upgrade_through_nginx(proxy):
    key = base64.b64encode(os.urandom(16)).decode()
    ctx = ssl.create_default_context(cafile=proxy.cert)
    ctx.set_alpn_protocols(["http/1.1"])  # nginx upgrades HTTP/1.1 connections only
    with ctx.wrap_socket(socket.create_connection(("127.0.0.1", proxy.port), timeout=10),
                         server_hostname="localhost") as sock:
        sock.sendall(f"GET /app/chat HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\n"
                     f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                     f"Sec-WebSocket-Version: 13\r\n\r\n".encode())
        head = b""
        while b"\r\n\r\n" not in head:
            head += sock.recv(4096)
        head, _, rest = head.partition(b"\r\n\r\n")
        accept = base64.b64encode(hashlib.sha1(
            (key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11").encode()).digest())
        assert head.startswith(b"HTTP/1.1 101 ")
        fields = dict(line.split(b": ", 1) for line in head.split(b"\r\n")[1:])
        assert {name.lower(): value for name, value in fields.items()}[
            b"sec-websocket-accept"] == accept
        mask = os.urandom(4)
        payload = b"hello through nginx"
        sock.sendall(bytes([0x81, 0x80 | len(payload)]) + mask +
                     bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))
        while len(rest) < 2 + len(payload):
            rest += sock.recv(4096)
        assert rest[:2] == bytes([0x81, len(payload)]) and rest[2:] == payload
