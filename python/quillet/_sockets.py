"""The listening sockets: bound by a server for itself, by the parent of the worker
processes for them all, or inherited (socket activation); and the one-line error when the
address cannot be had."""

from __future__ import annotations

import errno
import os
import socket
import stat


class ListenError(OSError):
    """The server cannot listen where it was asked to; the message says where and why."""

    def __init__(self, host: str, port: int, uds: str | None, exc: OSError) -> None:
        where = uds if uds is not None else (f"[{host}]:{port}" if ":" in host
                                             else f"{host}:{port}")
        reason = exc.strerror or str(exc)
        if exc.errno == errno.EADDRINUSE:
            reason += " (another process listens there)"
        super().__init__(exc.errno, f"cannot listen on {where}: {reason}")

    def __str__(self) -> str:
        return self.strerror


def listen_on(host: str, port: int, uds: str | None, backlog: int) -> list[socket.socket]:
    """The listening sockets of a server: one per address the host resolves to, or a Unix
    socket (replacing a socket file left by an earlier run)."""
    if uds is not None:
        try:
            if stat.S_ISSOCK(os.stat(uds).st_mode):
                os.unlink(uds)
        except FileNotFoundError:
            pass
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            sock.bind(uds)
            sock.listen(backlog)
        except BaseException:
            sock.close()
            raise
        return [sock]
    listeners: list[socket.socket] = []
    try:
        for family, kind, proto, _, address in dict.fromkeys(socket.getaddrinfo(
                host or None, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)):
            sock = socket.socket(family, kind, proto)
            listeners.append(sock)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            if family == socket.AF_INET6:
                sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
            sock.bind(address)
            sock.listen(backlog)
    except BaseException:
        for sock in listeners:
            sock.close()
        raise
    return listeners


def bind(host: str, port: int, uds: str | None, backlog: int) -> socket.socket:
    """The listening socket every worker accepts on."""
    if uds is not None:
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            os.unlink(uds)  # a socket file left by an earlier run
        except FileNotFoundError:
            pass
    else:
        family, _, _, _, address = socket.getaddrinfo(
            host, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)[0]
        sock = socket.socket(family, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        sock.bind(uds if uds is not None else address)
        sock.listen(backlog)
    except BaseException:
        sock.close()
        raise
    sock.set_inheritable(True)
    return sock




def inherited_socket(fd: int) -> socket.socket:
    """The listening socket a supervisor (systemd's socket activation, say) handed over as
    descriptor `fd`. Raises ValueError when `fd` is not one."""
    try:
        sock = socket.socket(fileno=fd)
    except OSError as exc:
        raise ValueError(f"--fd {fd}: {exc.strerror or exc}") from None
    if sock.type != socket.SOCK_STREAM or not sock.getsockopt(socket.SOL_SOCKET,
                                                              socket.SO_ACCEPTCONN):
        sock.detach()
        raise ValueError(f"--fd {fd} is not a listening stream socket")
    sock.set_inheritable(True)
    return sock
