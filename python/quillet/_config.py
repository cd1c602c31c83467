"""What the command line needs besides its parser: options from the environment and from an
env file, the logging set-up, and the application named on the command line.

Every option of `serve` can come from the environment as QUILLET_<OPTION> (`--timeout-keep-alive`
is QUILLET_TIMEOUT_KEEP_ALIVE, the application is QUILLET_APP); the command line wins over the
environment, the environment over the defaults. `environment_defaults` works from the parser's
own list of options, so an option added with `add_argument` is covered without more work."""

from __future__ import annotations

import argparse
import importlib
import inspect
import json
import logging
import logging.config
import os
import re
import sys
from typing import Any

PREFIX = "QUILLET_"
# Variables other servers and platforms set, used when the QUILLET_ one is absent.
ALIASES = {"workers": "WEB_CONCURRENCY", "forwarded_allow_ips": "FORWARDED_ALLOW_IPS"}
_TRUE = frozenset(("1", "true", "yes", "on"))
_FALSE = frozenset(("0", "false", "no", "off", ""))


# The HTTP/2 settings a server may be given, and their ranges (RFC 9113 section 6.5.2; at
# least one stream, and a window and a header list that can hold something).
H2_SETTING_RANGES = {
    "h2_max_concurrent_streams": (1, 2**31 - 1),
    "h2_initial_window_size": (1, 2**31 - 1),
    "h2_max_frame_size": (2**14, 2**24 - 1),
    "h2_max_header_list_size": (1, 2**32 - 1),
}


# A field name (RFC 9110 section 5.1: a token), and what a field value may not hold.
_TOKEN = re.compile(rb"[!#$%&'*+\-.^_`|~0-9a-z]+")
_NOT_IN_VALUE = re.compile(rb"[\x00-\x08\x0a-\x1f\x7f]")


class ConfigError(Exception):
    """A value the server cannot start with; the message says which and why, in one line."""


def env_name(action: argparse.Action) -> str:
    return PREFIX + action.dest.upper()


def _options(parser: argparse.ArgumentParser) -> list[argparse.Action]:
    return [a for a in parser._actions
            if not isinstance(a, (argparse._HelpAction, argparse._VersionAction))
            and a.dest != argparse.SUPPRESS]


def environment_defaults(parser: argparse.ArgumentParser,
                         environ: os._Environ | dict = os.environ) -> None:
    """Sets the defaults of `parser`'s options from the environment. A switch takes 1, true,
    yes or on (0, false, no, off); a repeatable option takes one item per line."""
    for action in _options(parser):
        name = env_name(action)
        raw = environ.get(name)
        if raw is None and action.dest in ALIASES:
            name = ALIASES[action.dest]
            raw = environ.get(name)
        if raw is None:
            continue
        action.default = _convert(action, name, raw)


def _convert(action: argparse.Action, name: str, raw: str) -> Any:
    if action.nargs == 0:  # a switch: store_true, store_false, --x/--no-x
        word = raw.strip().lower()
        if word not in _TRUE and word not in _FALSE:
            raise ConfigError(f"{name}={raw!r}: give 1, true, yes or on (0, false, no, off)")
        value = word in _TRUE
        if isinstance(action, argparse._StoreConstAction) and not isinstance(
                action, (argparse._StoreTrueAction, argparse._StoreFalseAction)):
            return action.const if value else action.default
        # the variable names the value it sets: QUILLET_COLOR=0 is --no-color
        return value
    if isinstance(action, argparse._AppendAction):
        return [_one(action, name, item) for item in raw.splitlines() if item.strip()]
    return _one(action, name, raw)


def _one(action: argparse.Action, name: str, raw: str) -> Any:
    raw = raw.strip()
    value: Any = raw
    if action.type is not None:
        try:
            value = action.type(raw)
        except (TypeError, ValueError, argparse.ArgumentTypeError) as exc:
            what = getattr(action.type, "__name__", "")
            detail = f"invalid {what} value" if what in ("int", "float") else str(exc)
            raise ConfigError(f"{name}={raw!r}: {detail}") from None
    if action.choices is not None and value not in action.choices:
        choices = ", ".join(map(str, action.choices))
        raise ConfigError(f"{name}={raw!r}: choose one of {choices}")
    return value


def load_env_file(path: str) -> dict[str, str]:
    """The variables of an env file (`NAME=value` lines; `#` comments, an optional `export`,
    single quotes taken as written, double quotes with \\n, \\t, \\" and \\\\ escapes) put into
    the environment where it has no value of its own; returns them all."""
    try:
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
    except OSError as exc:
        raise ConfigError(f"cannot read the env file {path}: {exc.strerror}") from None
    found: dict[str, str] = {}
    for number, line in enumerate(lines, 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        if line.startswith("export "):
            line = line[7:].lstrip()
        name, sep, value = line.partition("=")
        name = name.strip()
        if not sep or not name.replace("_", "a").isalnum() or name[0].isdigit():
            raise ConfigError(f"{path}, line {number}: not a NAME=value line: {line!r}")
        found[name] = _env_value(value.strip(), path, number)
    for name, value in found.items():
        os.environ.setdefault(name, value)
    return found


def _env_value(value: str, path: str, number: int) -> str:
    if value[:1] in ("'", '"'):
        quote = value[0]
        end = value.find(quote, 1)
        while quote == '"' and end > 0 and _escaped(value, end):
            end = value.find(quote, end + 1)
        if end < 0:
            raise ConfigError(f"{path}, line {number}: unterminated quote")
        inner = value[1:end]
        if quote == "'":
            return inner
        out = []
        i = 0
        while i < len(inner):
            c = inner[i]
            if c == "\\" and i + 1 < len(inner):
                i += 1
                c = {"n": "\n", "t": "\t", "r": "\r"}.get(inner[i], inner[i])
            out.append(c)
            i += 1
        return "".join(out)
    cut = value.find(" #")  # a comment after an unquoted value
    return value if cut < 0 else value[:cut].rstrip()


def _escaped(text: str, at: int) -> bool:
    slashes = 0
    while at - 1 - slashes >= 0 and text[at - 1 - slashes] == "\\":
        slashes += 1
    return slashes % 2 == 1


def configure_logging(log_config: str | None, log_level: str | None) -> None:
    """The standard logging set-up: a file of the deployer's (a dictConfig in JSON, or the
    .ini format of `logging.config.fileConfig`), else one line per record on stderr. A level
    given on the command line applies to the quillet loggers either way."""
    if log_config is None:
        logging.basicConfig(level=getattr(logging, (log_level or "info").upper()),
                            format="%(asctime)s %(levelname)s %(name)s: %(message)s")
        return
    try:
        if log_config.endswith((".ini", ".cfg", ".conf")):
            logging.config.fileConfig(log_config, disable_existing_loggers=False)
        else:
            with open(log_config, encoding="utf-8") as f:
                config = json.load(f)
            config.setdefault("disable_existing_loggers", False)
            logging.config.dictConfig(config)
    except OSError as exc:
        raise ConfigError(f"cannot read the log config {log_config}: {exc.strerror}") from None
    except (ValueError, KeyError, TypeError, RuntimeError) as exc:  # JSON and logging errors
        raise ConfigError(f"the log config {log_config} cannot be used: {exc}") from None
    if log_level is not None:
        logging.getLogger("quillet").setLevel(getattr(logging, log_level.upper()))


def load_app(spec: str, factory: bool = False, app_dir: str = "."):
    """The ASGI application named by "module:attribute" (attribute may be dotted), looked up
    with `app_dir` first on the import path; with `factory`, what calling it returns."""
    module_name, sep, attr = spec.partition(":")
    if not sep or not module_name or not attr:
        raise ConfigError(f"the application must be given as module:attribute, not {spec!r}")
    directory = os.path.abspath(app_dir)
    if directory not in sys.path:
        sys.path.insert(0, directory)
    try:
        obj = importlib.import_module(module_name)
    except ModuleNotFoundError as exc:
        if exc.name != module_name and not module_name.startswith(f"{exc.name}."):
            raise  # a module the application imports: its traceback says where
        raise ConfigError(f"cannot import {module_name!r}: no such module in {directory} "
                          f"or on the import path (--app-dir names another directory)") from None
    for part in attr.split("."):
        try:
            obj = getattr(obj, part)
        except AttributeError:
            raise ConfigError(f"{spec}: {module_name} has no attribute {attr!r}") from None
    if factory:
        if not callable(obj):
            raise ConfigError(f"{spec} is not callable, so it cannot be a factory (--factory)")
        if not _takes_no_arguments(obj):
            raise ConfigError(f"{spec} cannot be called without arguments, so it cannot be a "
                              f"factory: is it the application itself? (drop --factory)")
        obj = obj()
        what = f"the application {spec}() returned"
    else:
        what = spec
    problem = asgi_problem(obj)
    if problem is not None:
        hint = ""
        if not factory and _takes_no_arguments(obj, False):
            hint = "; if it makes the application when called, add --factory"
        raise ConfigError(f"{what} is not an ASGI application: {problem}{hint}")
    return obj


def asgi_problem(obj: Any) -> str | None:
    """Why `obj` cannot be an ASGI 3 application (called with scope, receive and send), or
    None when it looks like one."""
    if not callable(obj):
        return f"it is {type(obj).__name__!r}, not callable"
    try:
        sig = inspect.signature(obj)
    except (TypeError, ValueError):
        return None  # nothing to tell from
    params = list(sig.parameters.values())
    positional = [p for p in params if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
    varargs = any(p.kind == p.VAR_POSITIONAL for p in params)
    required = [p for p in positional if p.default is p.empty]
    if len(required) > 3 or (len(positional) < 3 and not varargs):
        count = len(required) if len(required) > 3 else len(positional)
        takes = f"it takes {count} argument{'s' if count != 1 else ''}"
        if inspect.isclass(obj) and count == 1:
            takes += " (an ASGI 2 application?)"
        return f"{takes}, not (scope, receive, send)"
    return None


def _takes_no_arguments(obj: Any, unknown: bool = True) -> bool:
    try:
        params = inspect.signature(obj).parameters.values()
    except (TypeError, ValueError):
        return unknown
    return all(p.default is not p.empty or p.kind in (p.VAR_POSITIONAL, p.VAR_KEYWORD)
               for p in params)


def h2_setting_problem(name: str, value: Any) -> str | None:
    """What is wrong with an HTTP/2 setting's value, or None."""
    low, high = H2_SETTING_RANGES[name]
    if isinstance(value, bool) or not isinstance(value, int):
        return f"must be an integer, not {value!r}"
    if not low <= value <= high:
        return f"must be between {low} and {high}, not {value}"
    return None


def default_headers(server_header: bool, extra: list[tuple[str | bytes, str | bytes]] | None
                    ) -> list[tuple[bytes, bytes]]:
    """The fields added to every response whose application did not set them: `server`, then
    the extra ones given (`Name: value` pairs, as str or bytes)."""
    fields = [(b"server", b"quillet")] if server_header else []
    for name, value in extra or ():
        name = name if isinstance(name, bytes) else name.encode("latin-1")
        value = value if isinstance(value, bytes) else value.encode("latin-1")
        name = name.strip().lower()
        if not _TOKEN.fullmatch(name) or _NOT_IN_VALUE.search(value):
            raise ValueError(f"invalid default header {name!r}: {value!r} (a name is a token "
                             f"of RFC 9110, a value has no control characters but tab)")
        if name == b"server":  # another name for this server
            fields = [f for f in fields if f[0] != name]
        fields.append((name, value.strip()))
    return fields
