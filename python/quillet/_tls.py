"""The server's TLS set-up: the context built from certificate, key and options, with start-up
errors that name the file at fault and the reason in one line.

A context is built once at start and again on every certificate reload (SIGHUP): the server
swaps it in for the connections it accepts after that, while those already open keep the
context they were accepted with.
"""

from __future__ import annotations

import ssl

__all__ = ["TLSConfigError", "tls_context", "tls_extension", "MIN_VERSIONS"]

# The lowest protocol version a client may use, by the names Python's ssl module prints.
# RFC 9113 section 9.2: HTTP/2 needs TLS 1.2 at least.
MIN_VERSIONS = {"TLSv1.2": ssl.TLSVersion.TLSv1_2, "TLSv1.3": ssl.TLSVersion.TLSv1_3}


class TLSConfigError(ValueError):
    """A certificate, key or option that cannot be used; the message names the file or the
    option and the reason."""


def _readable(role: str, path: str) -> None:
    try:
        with open(path, "rb"):
            pass
    except OSError as exc:
        raise TLSConfigError(f"cannot read the {role} file {path}: {exc.strerror}") from None


def tls_context(certfile: str, keyfile: str | None = None, password: str | None = None, *,
                ca_certs: str | None = None, cert_reqs: int = ssl.CERT_NONE,
                ciphers: str | None = None,
                min_version: str | ssl.TLSVersion = "TLSv1.2") -> ssl.SSLContext:
    """A server context offering HTTP/2 and HTTP/1.1 by ALPN. Raises TLSConfigError.

    `cert_reqs` asks clients for a certificate: 0 (`ssl.CERT_NONE`) never, 1
    (`ssl.CERT_OPTIONAL`) asks and checks one that is sent, 2 (`ssl.CERT_REQUIRED`) refuses a
    client without one; the certificates are checked against the CA bundle `ca_certs`.
    `ciphers` is an OpenSSL cipher list for TLS 1.2 (TLS 1.3 has its own, fixed suites);
    `min_version` is "TLSv1.2" or "TLSv1.3"."""
    for role, path in (("certificate", certfile), ("key", keyfile), ("CA", ca_certs)):
        if path is not None:
            _readable(role, path)
    try:
        verify = ssl.VerifyMode(cert_reqs)
    except ValueError:
        raise TLSConfigError(f"cert_reqs must be 0, 1 or 2, not {cert_reqs!r}") from None
    if verify != ssl.CERT_NONE and ca_certs is None:
        raise TLSConfigError("checking client certificates needs the CA certificates to check "
                             "them against (ca_certs)")
    if isinstance(min_version, str):
        if min_version not in MIN_VERSIONS:
            raise TLSConfigError(f"the minimum TLS version must be one of "
                                 f"{', '.join(MIN_VERSIONS)}, not {min_version!r}")
        min_version = MIN_VERSIONS[min_version]
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.minimum_version = min_version
    # RFC 9113 section 9.2: no compression, no renegotiation.
    ctx.options |= ssl.OP_NO_COMPRESSION | getattr(ssl, "OP_NO_RENEGOTIATION", 0)
    ctx.set_alpn_protocols(["h2", "http/1.1"])
    if ciphers is not None:
        try:
            ctx.set_ciphers(ciphers)
        except ssl.SSLError:
            raise TLSConfigError(f"the cipher list {ciphers!r} selects no cipher") from None
    if ca_certs is not None:
        try:
            ctx.load_verify_locations(cafile=ca_certs)
        except ssl.SSLError as exc:
            raise TLSConfigError(f"the CA file {ca_certs} holds no usable certificate "
                                 f"({exc.reason or exc})") from None
    ctx.verify_mode = verify
    _load_chain(ctx, certfile, keyfile, password)
    return ctx


def _load_chain(ctx: ssl.SSLContext, certfile: str, keyfile: str | None,
                password: str | None) -> None:
    try:
        # without a password, an encrypted key must fail here rather than prompt on a terminal
        ctx.load_cert_chain(certfile, keyfile, (lambda: b"") if password is None else password)
    except ssl.SSLError as exc:
        reason = exc.reason or exc.strerror or str(exc)
        try:  # which file is at fault: a certificate file that holds no certificate...
            ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT).load_verify_locations(cafile=certfile)
        except ssl.SSLError:
            raise TLSConfigError(
                f"the certificate file {certfile} holds no usable certificate ({reason})") from None
        # ...or a key that is missing, encrypted with another password, or not the pair
        with open(keyfile or certfile, "rb") as f:
            if b"ENCRYPTED" in f.read():
                raise TLSConfigError(
                    f"the key in {keyfile or certfile} is encrypted and the password "
                    f"{'is wrong' if password else 'is missing'} ({reason})") from None
        raise TLSConfigError(
            f"the key in {keyfile or certfile} cannot be used with the certificate in "
            f"{certfile} ({reason})") from None


# The ASGI "tls" extension of a connection's requests: what was negotiated and which client
# certificate was presented (and verified: a certificate that fails verification fails the
# handshake, so client_cert_error is always None here).

_WIRE_VERSIONS = {"TLSv1.2": 0x0303, "TLSv1.3": 0x0304}
# RFC 4514 short names of the attributes Python names in full
_SHORT_NAMES = {"commonName": "CN", "countryName": "C", "localityName": "L",
                "stateOrProvinceName": "ST", "organizationName": "O",
                "organizationalUnitName": "OU", "streetAddress": "STREET",
                "domainComponent": "DC", "userId": "UID"}
_suite_ids: dict[str, int] = {}  # OpenSSL cipher name -> the two-byte TLS cipher suite number


def _rfc4514(subject: tuple) -> str:
    """A distinguished name as RFC 4514 writes it: the most specific part first."""
    def escape(value: str) -> str:
        out = "".join("\\" + c if c in ',+"\\<>;' else c for c in value)
        if out[:1] in ("#", " "):
            out = "\\" + out
        if out.endswith(" "):
            out = out[:-1] + "\\ "
        return out
    return ",".join("+".join(f"{_SHORT_NAMES.get(k, k)}={escape(v)}" for k, v in rdn)
                    for rdn in reversed(subject))


def _suite_id(tls: ssl.SSLObject, name: str) -> int | None:
    if name not in _suite_ids:
        for cipher in tls.context.get_ciphers():
            _suite_ids[cipher["name"]] = cipher["id"] & 0xFFFF
    return _suite_ids.get(name)


def tls_extension(transport) -> dict | None:
    """The `tls` entry of the scope's extensions for requests on this connection (None in the
    clear)."""
    tls = transport.get_extra_info("ssl_object")
    if tls is None:
        return None
    der = tls.getpeercert(binary_form=True)
    cipher = tls.cipher()
    return {
        "server_cert": None,
        "client_cert_chain": [ssl.DER_cert_to_PEM_cert(der)] if der else [],
        "client_cert_name": _rfc4514(tls.getpeercert().get("subject", ())) if der else None,
        "client_cert_error": None,
        "tls_version": _WIRE_VERSIONS.get(tls.version()),
        "cipher_suite": _suite_id(tls, cipher[0]) if cipher else None,
    }
