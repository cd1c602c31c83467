"""The client side of a SOCKS5 handshake (RFC 1928), with username/password authentication
(RFC 1929), on a connected non-blocking socket: after it the socket carries the bytes of the
origin's connection, and the pool lays TLS and HTTP over it as over any other.

`remote_dns` (a socks5h:// proxy) sends a host name as it is, for the proxy to resolve; otherwise
(socks5://) the name is resolved here and the proxy gets an address."""

from __future__ import annotations

import asyncio
import ipaddress
import socket

from ._exceptions import ProxyError

__all__ = ["socks5_handshake", "recv_exactly"]

_VERSION = 5
_NO_AUTH, _USER_PASSWORD, _NO_ACCEPTABLE = 0x00, 0x02, 0xFF
_CONNECT = 0x01
_IPV4, _NAME, _IPV6 = 0x01, 0x03, 0x04

# RFC 1928 section 6: the reply field.
_REPLIES = {
    0x01: "general SOCKS server failure",
    0x02: "connection not allowed by ruleset",
    0x03: "network unreachable",
    0x04: "host unreachable",
    0x05: "connection refused",
    0x06: "TTL expired",
    0x07: "command not supported",
    0x08: "address type not supported",
}


async def recv_exactly(loop: asyncio.AbstractEventLoop, sock: socket.socket, size: int,
                       what: str) -> bytes:
    data = b""
    while len(data) < size:
        piece = await loop.sock_recv(sock, size - len(data))
        if not piece:
            raise ProxyError(f"the proxy closed the connection during {what}")
        data += piece
    return data


def _address(host: str) -> ipaddress.IPv4Address | ipaddress.IPv6Address | None:
    try:
        return ipaddress.ip_address(host)
    except ValueError:
        return None


async def _destination(loop: asyncio.AbstractEventLoop, host: str, port: int,
                       remote_dns: bool) -> bytes:
    """The request's address type and address."""
    address = _address(host)
    if address is None and not remote_dns:
        infos = await loop.getaddrinfo(host, port, type=socket.SOCK_STREAM)
        if not infos:
            raise OSError(f"no address for {host}")
        address = ipaddress.ip_address(infos[0][4][0])
    if address is not None:
        kind = _IPV4 if address.version == 4 else _IPV6
        return bytes((kind,)) + address.packed
    try:
        name = host.encode("ascii")
    except UnicodeEncodeError:
        name = host.encode("idna")
    if len(name) > 255:
        raise ProxyError(f"the host name {host!r} is too long for SOCKS5 (at most 255 bytes)")
    return bytes((_NAME, len(name))) + name


def _field(value: str, what: str) -> bytes:
    data = value.encode()
    if not 1 <= len(data) <= 255:
        raise ProxyError(f"the SOCKS5 {what} must be 1 to 255 bytes long")
    return bytes((len(data),)) + data


async def socks5_handshake(loop: asyncio.AbstractEventLoop, sock: socket.socket, host: str,
                           port: int, credentials: tuple[str, str] | None,
                           remote_dns: bool) -> None:
    """Asks the proxy on `sock` for a connection to `host`:`port`. Raises ProxyError when the
    proxy refuses (its reply code as `status`) or breaks the protocol."""
    # section 3: the methods we offer, and the one the proxy picks
    methods = bytes((_NO_AUTH, _USER_PASSWORD)) if credentials else bytes((_NO_AUTH,))
    await loop.sock_sendall(sock, bytes((_VERSION, len(methods))) + methods)
    version, method = await recv_exactly(loop, sock, 2, "the SOCKS5 greeting")
    if version != _VERSION:
        raise ProxyError(f"the proxy does not speak SOCKS5 (version {version} in its answer)")
    if method == _USER_PASSWORD and credentials:
        # RFC 1929: version 1 of the sub-negotiation
        user, password = credentials
        await loop.sock_sendall(sock, b"\x01" + _field(user, "user name")
                                + _field(password, "password"))
        _, status = await recv_exactly(loop, sock, 2, "SOCKS5 authentication")
        if status != 0:
            raise ProxyError("the SOCKS5 proxy refused the user name and password",
                             status=status)
    elif method == _NO_ACCEPTABLE:
        raise ProxyError("the SOCKS5 proxy accepts none of the offered authentication methods"
                         + ("" if credentials else " (it may want a user name and password)"))
    elif method != _NO_AUTH:
        raise ProxyError(f"the SOCKS5 proxy chose authentication method {method}, which was "
                         "not offered")
    # section 4: the request
    destination = await _destination(loop, host, port, remote_dns)
    await loop.sock_sendall(sock, bytes((_VERSION, _CONNECT, 0)) + destination
                            + port.to_bytes(2, "big"))
    # section 6: the reply, then its bound address (read so that nothing of it is left over)
    version, reply, _, kind = await recv_exactly(loop, sock, 4, "the SOCKS5 reply")
    if version != _VERSION:
        raise ProxyError(f"the proxy broke SOCKS5 (version {version} in its reply)")
    if reply != 0:
        reason = _REPLIES.get(reply, f"reply code {reply}")
        raise ProxyError(f"the SOCKS5 proxy could not connect to {host}:{port}: {reason}",
                         status=reply)
    if kind == _IPV4:
        size = 4
    elif kind == _IPV6:
        size = 16
    elif kind == _NAME:
        size = (await recv_exactly(loop, sock, 1, "the SOCKS5 reply"))[0]
    else:
        raise ProxyError(f"the SOCKS5 proxy answered with address type {kind}")
    await recv_exactly(loop, sock, size + 2, "the SOCKS5 reply")
