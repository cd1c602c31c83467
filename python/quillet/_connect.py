"""Opening a client connection: the TLS context, and the way to the origin, direct or through a
proxy (a CONNECT tunnel or SOCKS5, handshaken on a plain socket that asyncio then takes over,
with TLS to the origin on top when the URL is https://).

TLS sends the URL's host as SNI (Python's ssl module leaves SNI out for an IP literal and checks
the certificate against the address instead) and offers by ALPN what the client may speak: h2
and http/1.1, or http/1.1 alone when HTTP/2 is off."""

from __future__ import annotations

import asyncio
import http
import os
import socket
import ssl as _ssl

from _quillet import H1Codec, HeaderMap

from ._exceptions import ProxyError
from ._proxy import Route
from ._socks import socks5_handshake

__all__ = ["client_ssl_context", "open_socket", "open_tunnel", "VerifyTypes", "CertTypes"]

VerifyTypes = bool | str | _ssl.SSLContext
CertTypes = str | tuple[str, str] | tuple[str, str, str]

# A proxy's answer to CONNECT larger than this is refused rather than buffered.
_CONNECT_HEAD_LIMIT = 64 * 1024


def client_ssl_context(verify: VerifyTypes = True, cert: CertTypes | None = None,
                       http2: bool | None = None) -> _ssl.SSLContext:
    """The client's TLS context.

    `verify`: True checks servers against the system's trust store, False checks nothing, a
    path names a CA bundle file (PEM) or a directory of hashed certificates to check against,
    and an `ssl.SSLContext` is used as given. `cert`: a client certificate, as a PEM file holding
    the certificate and its key, or (certificate file, key file[, key password]). ALPN offers h2
    unless `http2` is False."""
    if isinstance(verify, _ssl.SSLContext):
        ctx = verify
    elif isinstance(verify, (str, os.PathLike)):
        path = os.fspath(verify)
        if os.path.isdir(path):
            ctx = _ssl.create_default_context(capath=path)
        elif os.path.isfile(path):
            try:
                ctx = _ssl.create_default_context(cafile=path)
            except _ssl.SSLError as exc:
                raise ValueError(f"the CA bundle {path} holds no usable certificate "
                                 f"({exc.reason or exc})") from None
        else:
            raise ValueError(f"verify names no CA bundle file or directory: {path}")
    elif verify is True or verify is False:
        ctx = _ssl.create_default_context()
        if not verify:
            ctx.check_hostname = False
            ctx.verify_mode = _ssl.CERT_NONE
    else:
        raise TypeError(f"verify must be a bool, a path or an ssl.SSLContext, not "
                        f"{type(verify).__name__}")
    if cert is not None:
        certfile: str
        keyfile: str | None
        password: str | None
        if isinstance(cert, (str, os.PathLike)):
            certfile, keyfile, password = os.fspath(cert), None, None
        else:
            certfile, keyfile, password = (*cert, None)[:3]
        try:
            ctx.load_cert_chain(certfile, keyfile, password if password is not None
                                else (lambda: b""))
        except (OSError, _ssl.SSLError) as exc:
            raise ValueError(f"the client certificate {certfile} cannot be used: "
                             f"{getattr(exc, 'reason', None) or exc}") from None
    ctx.set_alpn_protocols(["h2", "http/1.1"] if http2 is not False else ["http/1.1"])
    return ctx


async def open_socket(loop: asyncio.AbstractEventLoop, host: str, port: int) -> socket.socket:
    """A connected non-blocking TCP socket to `host`:`port` (each of its addresses tried in
    turn)."""
    infos = await loop.getaddrinfo(host, port, type=socket.SOCK_STREAM)
    error: OSError | None = None
    for family, kind, proto, _, address in infos:
        sock = socket.socket(family, kind, proto)
        try:
            sock.setblocking(False)
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            await loop.sock_connect(sock, address)
            return sock
        except OSError as exc:
            sock.close()
            error = exc
        except BaseException:
            sock.close()
            raise
    raise error or OSError(f"no address for {host}")


async def open_tunnel(loop: asyncio.AbstractEventLoop, route: Route, host: str, port: int,
                      user_agent: bytes | None = None) -> socket.socket:
    """A socket connected through the proxy of `route` to `host`:`port`."""
    try:
        sock = await open_socket(loop, route.host, route.port)
    except OSError as exc:
        raise OSError(exc.errno, f"cannot connect to the proxy {route.address}: "
                                 f"{exc.strerror or exc}") from exc
    try:
        if route.kind == "tunnel":
            await _connect_request(loop, sock, route, host, port, user_agent)
        else:
            await socks5_handshake(loop, sock, host, port, route.credentials,
                                   remote_dns=route.kind == "socks5h")
    except BaseException:
        sock.close()
        raise
    return sock


async def _connect_request(loop: asyncio.AbstractEventLoop, sock: socket.socket, route: Route,
                           host: str, port: int, user_agent: bytes | None) -> None:
    """CONNECT host:port (RFC 9110 section 9.3.6); a 2xx answer opens the tunnel."""
    authority = f"[{host}]:{port}" if ":" in host else f"{host}:{port}"
    fields = HeaderMap([("host", authority)])
    if user_agent:
        fields["user-agent"] = user_agent
    if route.auth:
        fields["proxy-authorization"] = route.auth
    codec = H1Codec()
    await loop.sock_sendall(sock, codec.serialize_request("CONNECT", authority, fields))
    received = 0
    head = None
    while head is None:
        data = await loop.sock_recv(sock, 16384)
        if not data:
            raise ProxyError(f"the proxy {route.address} closed the connection before it "
                             f"answered CONNECT {authority}")
        received += len(data)
        if received > _CONNECT_HEAD_LIMIT:
            raise ProxyError(f"the proxy {route.address} sent an over-long answer to CONNECT")
        try:
            head = codec.receive_head(data)
        except Exception as exc:
            raise ProxyError(f"the proxy {route.address} answered CONNECT with an invalid "
                             f"head: {exc}") from None
    status = head.status
    if not 200 <= status < 300:
        try:
            reason = http.HTTPStatus(status).phrase
        except ValueError:
            reason = ""
        raise ProxyError(f"the proxy {route.address} refused the tunnel to {authority}: "
                         f"{status} {reason}".rstrip(), status=status)
    if codec.buffered():
        raise ProxyError(f"the proxy {route.address} sent bytes past its answer to CONNECT")
