"""What `scripts/demo` shows a newcomer: the demo page names the protocol it came over, and a
second start of the script does not build again."""

import os
import re
import signal
import subprocess

import pytest

from test_e2e_server import CURL_ENV, HERE
from test_e2e_tls import make_cert
from test_e2e_tls_options import Process, need

ROOT = os.path.dirname(os.path.dirname(HERE))


def protocol_on_page(url, *args):
    result = subprocess.run(["curl", "-sS", *args, url], capture_output=True, timeout=20,
                            env=CURL_ENV)
    assert result.returncode == 0, result.stderr.decode()
    return re.search(rb'<b id="protocol">([^<]*)</b>', result.stdout).group(1).decode()


def test_the_demo_page_names_the_protocol_it_came_over(tmp_path):
    need("curl")
    need("openssl")
    cert, key = make_cert(str(tmp_path))
    plain = Process(app=None)
    tls = Process("--ssl-certfile", cert, "--ssl-keyfile", key, app=None)
    try:
        assert protocol_on_page(plain.url, "--http1.1") == "HTTP/1.1"
        assert protocol_on_page(plain.url, "--http2-prior-knowledge") == \
            "HTTP/2 in the clear (h2c)"
        assert protocol_on_page(tls.url, "--cacert", cert, "--http2") == "HTTP/2 over TLS"
        assert protocol_on_page(tls.url, "--cacert", cert, "--http1.1") == "HTTP/1.1 over TLS"
    finally:
        assert plain.stop() == 0 and tls.stop() == 0


def test_the_demo_script_starts_the_installed_build_without_rebuilding():
    # the installed build, not a sanitizer build on the path, and no sanitizer runtime
    env = {k: v for k, v in CURL_ENV.items() if not k.startswith("PYTHON")}
    check = subprocess.run(["bash", "-c", "source scripts/setup.sh && quillet_build_is_current"],
                           cwd=ROOT, env=env)
    if check.returncode != 0:
        message = "the installed build is not of these sources (reinstall: quillet_install)"
        if os.environ.get("CI"):
            pytest.fail(message)  # scripts/test installed it just before the tests
        pytest.skip(message)
    demo = subprocess.Popen([os.path.join(ROOT, "scripts", "demo"), "--port", "0"], cwd=ROOT,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env)
    try:
        first, second = demo.stdout.readline().decode(), demo.stdout.readline().decode()
        assert "no rebuild" in first, first + second
        assert "serving the demo application on http://127.0.0.1:" in second, second
        url = second.split(" on ")[1].split()[0]
        assert protocol_on_page(url, "--http1.1") == "HTTP/1.1"
        demo.send_signal(signal.SIGINT)
        assert demo.wait(15) == 0
    finally:
        if demo.poll() is None:
            demo.kill()
            demo.wait()
