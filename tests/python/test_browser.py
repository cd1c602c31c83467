"""A real browser over TLS: headless Chromium loads the demo's /protocol page from the server,
the page reports (from its navigation timing) that it arrived over HTTP/2, and a screenshot is
kept as an artifact (build/artifacts/, or $QUILLET_ARTIFACTS)."""

import os
import re
import shutil
import subprocess

import pytest

from quillet.demo_app import app as demo_app
from quillet.server import tls_context
from test_e2e_server import CURL_ENV, HERE, ServerThread
from test_e2e_tls import make_cert

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
ARTIFACTS = os.environ.get("QUILLET_ARTIFACTS") or os.path.join(HERE, "..", "..", "build",
                                                                 "artifacts")

pytestmark = pytest.mark.skipif(CHROMIUM is None or shutil.which("openssl") is None,
                                reason="chromium or openssl is not installed")


def chromium(profile, *args):
    # --no-sandbox: CI runs as root, where Chromium's sandbox refuses to start.
    # --ignore-certificate-errors: the certificate is made for this run and trusted by no one.
    result = subprocess.run(
        [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
         "--ignore-certificate-errors", f"--user-data-dir={profile}", *args],
        capture_output=True, timeout=60, env=CURL_ENV)
    assert result.returncode == 0, result.stderr.decode(errors="replace")[-2000:]
    return result.stdout.decode(errors="replace")


def test_chromium_loads_the_demo_page_over_http2(tmp_path):
    cert = make_cert(str(tmp_path))
    server = ServerThread(demo_app, ssl=tls_context(*cert))
    try:
        url = f"https://127.0.0.1:{server.port}/protocol"
        dom = chromium(tmp_path / "profile", "--dump-dom", url)
        browser = re.search(r'<b id="browser">([^<]*)</b>', dom)
        served = re.search(r'<b id="server">([^<]*)</b>', dom)
        assert browser and served, dom[:2000]
        assert browser.group(1) == "h2"      # navigation timing's nextHopProtocol
        assert served.group(1) == "HTTP/2"   # and the server's side of it
        os.makedirs(ARTIFACTS, exist_ok=True)
        shot = os.path.join(ARTIFACTS, "chromium-protocol-h2.png")
        if os.path.exists(shot):
            os.unlink(shot)
        chromium(tmp_path / "profile", f"--screenshot={shot}", "--window-size=900,500", url)
        with open(shot, "rb") as f:
            assert f.read(8) == b"\x89PNG\r\n\x1a\n"
    finally:
        server.stop()
