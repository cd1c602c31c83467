"""Request bodies: `content`, `json`, `data` (form-encoded) and `files` (multipart/form-data)
turned into what a connection sends, bytes or a stream, and the content type they call for."""

from __future__ import annotations

import json as _json
import mimetypes
import os
import secrets
from collections.abc import AsyncIterable, Iterable, Mapping
from typing import Any
from urllib.parse import urlencode

__all__ = ["encode_body"]

_UNSET: Any = object()


def encode_body(content=None, data=None, files=None, json=_UNSET
                ) -> tuple[bytes | None, AsyncIterable[bytes] | Iterable[bytes] | None, str | None]:
    """(bytes body, streamed body, content type): at most one of the first two is set."""
    if content is not None:
        if isinstance(content, bytes):
            return content, None, None
        if isinstance(content, str):
            return content.encode(), None, None
        if isinstance(content, (bytearray, memoryview)):
            return bytes(content), None, None
        if isinstance(content, (AsyncIterable, Iterable)):
            return None, content, None
        raise TypeError(f"content must be bytes, str or an (async) iterable of bytes, not "
                        f"{type(content).__name__}")
    if files:
        boundary = secrets.token_hex(16)
        return (_multipart(data or {}, files, boundary), None,
                f"multipart/form-data; boundary={boundary}")
    if data is not None:
        if isinstance(data, (bytes, str)):  # a body given the old way: as it is
            return encode_body(content=data)
        return urlencode(data, doseq=True).encode(), None, "application/x-www-form-urlencoded"
    if json is not _UNSET:
        body = _json.dumps(json, ensure_ascii=False, separators=(",", ":"), allow_nan=False)
        return body.encode(), None, "application/json"
    return None, None, None


# multipart/form-data (RFC 7578)

def _quote(name: str) -> str:
    # How browsers escape a field or file name in Content-Disposition: the quote and the line
    # breaks as percent escapes.
    return name.replace('"', "%22").replace("\r", "%0D").replace("\n", "%0A")


def _as_bytes(value: Any) -> bytes:
    if isinstance(value, bytes):
        return value
    if isinstance(value, str):
        return value.encode()
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return str(value).encode()
    raise TypeError(f"a form field value must be str or bytes, not {type(value).__name__}")


def _file_part(name: str, value: Any) -> tuple[bytes, bytes]:
    """(part head, part content) of one file."""
    content_type = extra = None
    if isinstance(value, tuple):
        filename, value, *rest = value
        if rest:
            content_type = rest[0]
        if len(rest) > 1:
            extra = rest[1]
    else:
        filename = os.path.basename(getattr(value, "name", "") or "") or None
        if not isinstance(filename, str):
            filename = None
    if hasattr(value, "read"):
        value = value.read()
    data = _as_bytes(value)
    if content_type is None:
        guessed = mimetypes.guess_type(filename)[0] if filename else None
        content_type = guessed or "application/octet-stream"
    disposition = f'form-data; name="{_quote(name)}"'
    if filename is not None:
        disposition += f'; filename="{_quote(filename)}"'
    lines = [f"Content-Disposition: {disposition}", f"Content-Type: {content_type}"]
    for header, header_value in (extra or {}).items():
        lines.append(f"{header}: {header_value}")
    return ("\r\n".join(lines) + "\r\n\r\n").encode(), data


def _multipart(data: Mapping | Iterable, files: Mapping | Iterable, boundary: str) -> bytes:
    delimiter = f"--{boundary}\r\n".encode()
    out = bytearray()
    for name, value in _form_fields(data):
        out += delimiter
        out += f'Content-Disposition: form-data; name="{_quote(name)}"\r\n\r\n'.encode()
        out += _as_bytes(value) + b"\r\n"
    pairs = files.items() if isinstance(files, Mapping) else files
    for name, value in pairs:
        head, content = _file_part(name, value)
        out += delimiter + head + content + b"\r\n"
    out += f"--{boundary}--\r\n".encode()
    return bytes(out)


def _form_fields(data: Mapping | Iterable) -> Iterable[tuple[str, Any]]:
    pairs = data.items() if isinstance(data, Mapping) else data
    for name, value in pairs:
        if isinstance(value, (list, tuple)):
            for each in value:
                yield name, each
        else:
            yield name, value
