"""The client's TLS options against our server with certificates from a test CA the tests make
with openssl: the ways to say what to trust (the system's store, a CA bundle file or directory,
a context, nothing), a client certificate the server requires, SNI as the server sees it, and
ALPN."""

import asyncio
import os
import shutil
import ssl
import subprocess

import pytest

import client_app
import quillet
from client_peers import ServerThread
from quillet.server import tls_context
from test_e2e_server import CURL_ENV
from test_e2e_tls_options import need

EC = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2"]


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, capture_output=True, env=CURL_ENV)


@pytest.fixture(scope="module")
def pki(tmp_path_factory):
    """A CA, a server certificate it signed for localhost and 127.0.0.1, and a client
    certificate it signed: a dict of file names."""
    need("openssl")
    d = tmp_path_factory.mktemp("client-pki")
    files = {name: str(d / name) for name in (
        "ca.crt", "ca.key", "server.crt", "server.key", "client.crt", "client.key",
        "client.pem")}
    openssl("req", "-x509", *EC, "-subj", "/CN=quillet client test CA",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign",
            "-keyout", files["ca.key"], "-out", files["ca.crt"])
    for role, subject, extra in (
            ("server", "/CN=localhost", "subjectAltName=DNS:localhost,IP:127.0.0.1"),
            ("client", "/CN=quillet client", "extendedKeyUsage=clientAuth")):
        openssl("req", "-x509", *EC, "-subj", subject, "-addext", extra,
                "-addext", "basicConstraints=critical,CA:FALSE",
                "-CA", files["ca.crt"], "-CAkey", files["ca.key"],
                "-keyout", files[f"{role}.key"], "-out", files[f"{role}.crt"])
    with open(files["client.pem"], "w") as out:  # certificate and key in one file
        for name in ("client.crt", "client.key"):
            with open(files[name]) as f:
                out.write(f.read())
    return files


class Recorder:
    """Our server with the test CA's certificate; the SNI names its clients sent."""

    def __init__(self, pki, **tls):
        self.names = []
        ctx = tls_context(pki["server.crt"], pki["server.key"], **tls)
        ctx.sni_callback = lambda tls_object, name, context: self.names.append(name)
        self.server = ServerThread(client_app.app, access_log=False, ssl=ctx)
        self.port = self.server.port

    def url(self, host="localhost"):
        return f"https://{host}:{self.port}/inspect"


@pytest.fixture(scope="module")
def srv(pki):
    recorder = Recorder(pki)
    yield recorder
    recorder.server.stop()


async def status(url, **options):
    async with quillet.AsyncClient(timeout=10, **options) as client:
        response = await client.get(url)
        return response.status_code, response.http_version


def test_what_to_trust(srv, pki, tmp_path):
    hashed = tmp_path / "hashed"
    hashed.mkdir()
    shutil.copy(pki["ca.crt"], hashed / "ca.pem")
    openssl("rehash", str(hashed))

    async def main():
        results = {
            "bundle": await status(srv.url(), verify=pki["ca.crt"]),
            "directory": await status(srv.url(), verify=str(hashed)),
            "context": await status(srv.url(),
                                    verify=ssl.create_default_context(cafile=pki["ca.crt"])),
            "nothing": await status(srv.url(), verify=False),
        }
        with pytest.raises(quillet.ConnectError, match="CERTIFICATE_VERIFY_FAILED") as system:
            await status(srv.url())  # the system's store does not know the test CA
        return results, system.value

    results, system_error = run(main())
    assert results == dict.fromkeys(("bundle", "directory", "context", "nothing"),
                                    (200, "HTTP/2"))
    assert f"cannot connect to localhost:{srv.port}" in str(system_error)
    with pytest.raises(ValueError, match="names no CA bundle"):
        quillet.AsyncClient(verify=str(tmp_path / "missing.pem"))
    with pytest.raises(ValueError, match="holds no usable certificate"):
        quillet.AsyncClient(verify=pki["client.key"])


def run(coro):
    return asyncio.run(coro)


@pytest.mark.parametrize("http2", [True, False], ids=["h2", "http/1.1"])
def test_a_client_certificate_the_server_requires(pki, http2):
    recorder = Recorder(pki, ca_certs=pki["ca.crt"], cert_reqs=ssl.CERT_REQUIRED)
    url = recorder.url()
    version = "HTTP/2" if http2 else "HTTP/1.1"

    async def main():
        pair = await status(url, verify=pki["ca.crt"], http2=http2,
                            cert=(pki["client.crt"], pki["client.key"]))
        one_file = await status(url, verify=pki["ca.crt"], http2=http2, cert=pki["client.pem"])
        with pytest.raises(quillet.TransportError):
            await status(url, verify=pki["ca.crt"], http2=http2)
        return pair, one_file

    try:
        pair, one_file = run(main())
    finally:
        recorder.server.stop()
    assert pair == one_file == (200, version)
    with pytest.raises(ValueError, match="client certificate .* cannot be used"):
        quillet.AsyncClient(cert=(pki["client.crt"], pki["server.key"]))  # not its key


def test_sni_names_the_host_but_never_an_address_and_alpn_follows_http2(srv, pki):
    async def main():
        before = len(srv.names)
        by_name = await status(srv.url("localhost"), verify=pki["ca.crt"])
        by_address = await status(srv.url("127.0.0.1"), verify=pki["ca.crt"])
        h1_only = await status(srv.url("localhost"), verify=pki["ca.crt"], http2=False)
        return srv.names[before:], by_name, by_address, h1_only

    names, by_name, by_address, h1_only = run(main())
    # the address is still checked against the certificate (its IP entry), without SNI
    assert names == ["localhost", None, "localhost"]
    assert by_name == by_address == (200, "HTTP/2")
    assert h1_only == (200, "HTTP/1.1")  # http2=False offers http/1.1 alone
