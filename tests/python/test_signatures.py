"""Every public callable of the two extension modules carries a text signature, the signature says
what the module's type stub says, and the argument parser behind it accepts exactly the calls the
signature allows."""

import ast
import functools
import inspect
import pathlib
import re

import pytest

import _quillet
import quillet._native as _native

PYTHON_DIR = pathlib.Path(__file__).resolve().parents[2] / "python"
# Each module and its stub.
MODULES = {_quillet: PYTHON_DIR / "_quillet.pyi", _native: PYTHON_DIR / "quillet" / "_native.pyi"}

POSITIONAL_ONLY = inspect.Parameter.POSITIONAL_ONLY
POSITIONAL = (inspect.Parameter.POSITIONAL_ONLY, inspect.Parameter.POSITIONAL_OR_KEYWORD)
NO_DEFAULT = inspect.Parameter.empty


class _Unknown:
    """A default the stub leaves out (`...`) or writes as an expression."""


# --- the stub, read with ast ---

def _literal(node):
    try:
        value = ast.literal_eval(node)
    except ValueError:
        return _Unknown
    return _Unknown if value is Ellipsis else value


def _stub_params(fn, drop_first):
    """[(name, kind, default)] of a def in the stub, in order."""
    a = fn.args
    positional = [(p, POSITIONAL_ONLY) for p in a.posonlyargs]
    positional += [(p, inspect.Parameter.POSITIONAL_OR_KEYWORD) for p in a.args]
    defaults = [NO_DEFAULT] * (len(positional) - len(a.defaults))
    defaults += [_literal(d) for d in a.defaults]
    params = [(p.arg, kind, d) for (p, kind), d in zip(positional, defaults)]
    if drop_first:
        params = params[1:]
    if a.vararg:
        params.append((a.vararg.arg, inspect.Parameter.VAR_POSITIONAL, NO_DEFAULT))
    for p, d in zip(a.kwonlyargs, a.kw_defaults):
        params.append((p.arg, inspect.Parameter.KEYWORD_ONLY,
                       NO_DEFAULT if d is None else _literal(d)))
    if a.kwarg:
        params.append((a.kwarg.arg, inspect.Parameter.VAR_KEYWORD, NO_DEFAULT))
    return params


def _merge_overloads(variants):
    """One parameter list for an overloaded def: the longest variant's, where a parameter that
    some variant leaves out counts as having a default."""
    longest = max(variants, key=len)
    merged = []
    for name, kind, default in longest:
        if any(name not in {p[0] for p in v} for v in variants):
            default = _Unknown if default is NO_DEFAULT else default
        merged.append((name, kind, default))
    return merged


def _decorators(fn):
    return {d.id if isinstance(d, ast.Name) else getattr(d, "attr", None)
            for d in fn.decorator_list}


def _read_stub(path):
    """{'name': params} for functions, {'Class': {'__new__': params, 'method': params}}."""
    functions, classes = {}, {}
    for node in ast.parse(path.read_text()).body:
        if isinstance(node, ast.FunctionDef):
            functions[node.name] = _stub_params(node, drop_first=False)
        elif isinstance(node, ast.ClassDef):
            overloads = {}
            for fn in node.body:
                if not isinstance(fn, ast.FunctionDef):
                    continue
                decorators = _decorators(fn)
                if "property" in decorators:
                    continue
                params = _stub_params(fn, drop_first="staticmethod" not in decorators)
                overloads.setdefault(fn.name, []).append(params)
            classes[node.name] = {name: _merge_overloads(v) for name, v in overloads.items()}
    return functions, classes


STUBS = {module: _read_stub(path) for module, path in MODULES.items()}


# --- the module, read with inspect ---

def _is_exception(obj):
    return isinstance(obj, type) and issubclass(obj, BaseException)


def _public_methods(cls):
    """The callable members a class defines itself, dunders aside; properties are not callable
    members, nor are the instances a class keeps as constants."""
    return sorted(name for name, member in vars(cls).items()
                  if not name.startswith("__") and inspect.isroutine(getattr(cls, name)))


def _stub_constructor(entries):
    return entries.get("__new__", entries.get("__init__"))


def _module_of(cls):
    return _native if cls.__module__ == _native.__name__ else _quillet


def _constructible(cls):
    classes = STUBS[_module_of(cls)][1]
    return _stub_constructor(classes.get(cls.__name__, {})) is not None


def _callables():
    """(id, module, owner class or None, member name or None) of every public callable."""
    found = []
    for module in MODULES:
        prefix = "" if module is _quillet else "_native."
        for name in module.__all__:
            obj = getattr(module, name)
            if _is_exception(obj):
                continue
            if isinstance(obj, type):
                found.append((f"{prefix}{name}()", module, obj, None))
                found += [(f"{prefix}{name}.{m}", module, obj, m) for m in _public_methods(obj)]
            elif callable(obj):
                found.append((f"{prefix}{name}()", module, None, name))
    return found


CALLABLES = _callables()


def _runtime_params(module, owner, member):
    """[(name, kind, default)] from inspect.signature, without the instance."""
    if owner is None:
        target = getattr(module, member)
    elif member is None:
        target = owner
    else:
        target = getattr(owner, member)
    params = list(inspect.signature(target).parameters.values())
    if owner is not None and member is not None and not _is_static(owner, member):
        assert params and params[0].name == "self" and params[0].kind is POSITIONAL_ONLY, (
            "an instance method's signature starts with $self")
        params = params[1:]
    return [(p.name, p.kind, p.default) for p in params]


def _is_static(cls, member):
    return isinstance(vars(cls)[member], staticmethod)


def _stub_entry(module, owner, member):
    functions, classes = STUBS[module]
    if owner is None:
        return functions.get(member)
    entries = classes.get(owner.__name__)
    assert entries is not None, f"the stub has no class {owner.__name__}"
    return _stub_constructor(entries) if member is None else entries.get(member)


def _same_default(runtime, stub):
    if stub is NO_DEFAULT or runtime is NO_DEFAULT:
        return stub is runtime
    return stub is _Unknown or (type(runtime) is type(stub) and runtime == stub)


@pytest.mark.parametrize("module, owner, member", [c[1:] for c in CALLABLES],
                         ids=[c[0] for c in CALLABLES])
def test_signature_matches_the_stub(module, owner, member):
    if owner is not None and member is None and not _constructible(owner):
        # Neither stub nor module offers a constructor: instances come only from other calls.
        with pytest.raises(TypeError, match="cannot create"):
            owner()
        return
    stub = _stub_entry(module, owner, member)
    assert stub is not None, "the stub does not declare this callable"
    runtime = _runtime_params(module, owner, member)
    assert [(n, k) for n, k, _ in runtime] == [(n, k) for n, k, _ in stub]
    for (name, _, runtime_default), (_, _, stub_default) in zip(runtime, stub):
        assert _same_default(runtime_default, stub_default), (
            f"{name}: default {runtime_default!r} in the signature, {stub_default!r} in the stub")


@pytest.mark.parametrize("module", list(MODULES), ids=lambda m: m.__name__)
def test_the_stub_declares_nothing_the_module_lacks(module):
    functions, classes = STUBS[module]
    exported = set(module.__all__)
    assert set(functions) <= exported
    for cls_name, entries in classes.items():
        if cls_name.startswith("_") or _is_exception(getattr(module, cls_name, None)):
            continue
        assert cls_name in exported, cls_name
        declared = {m for m in entries if not m.startswith("__")}
        assert declared == set(_public_methods(getattr(module, cls_name))), cls_name


# --- the signature against the parser ---

def _instances():
    proxied = _quillet.ProxyMatcher.from_parts(all="http://proxy.invalid:3128")
    return {
        _quillet.HeaderMap: _quillet.HeaderMap,
        _quillet.H2Codec: _quillet.H2Codec,
        _quillet.H2StreamState: _quillet.H2StreamState,
        _quillet.H2FlowControl: _quillet.H2FlowControl,
        _quillet.H2ContentLength: _quillet.H2ContentLength,
        _quillet.H2DataFrameBudget: _quillet.H2DataFrameBudget,
        _quillet.H2Streams: lambda: _quillet.H2Streams(
            "client", initial_window_size=65535, connection_window=65535, max_frame_size=16384,
            max_header_list_size=16384, max_send_buf_size=65536),
        _quillet.H1Codec: _quillet.H1Codec,
        _quillet.H1BodyDecoder: lambda: _quillet.H1BodyDecoder("close"),
        _quillet.H1ClientState: lambda: _quillet.H1ClientState(object()),
        _quillet.H1ServerState: lambda: _quillet.H1ServerState(_quillet.H1Codec(), object()),
        _quillet.OnceLatch: _quillet.OnceLatch,
        _quillet.ProxyMatcher: _quillet.ProxyMatcher.from_env,
        _quillet.ProxyIntercept: lambda: proxied.intercept("http://example.invalid/"),
        _native.WSDecoder: lambda: _native.WSDecoder("server"),
        _native.Waiter: lambda: _native.Waiter(object()),
        _native.H1Exchange: lambda: _native.H1Exchange(object(), 1, object(), object(), object()),
    }


INSTANCES = _instances()


class Probe:
    """An argument no converter accepts beyond holding it."""


# What the parsers say when the shape of a call is wrong, as opposed to a value being refused.
KEYWORD_REFUSED = re.compile(r"unexpected keyword argument '(\w+)'|takes no keyword arguments")
TOO_MANY = re.compile(r"takes (no arguments|keyword arguments only|exactly one argument"
                      r"|at most (\d+) positional argument)")
MISSING = re.compile(r"missing required argument '(\w+)'|takes exactly one argument \(0 given\)")
SHAPE = re.compile("|".join(p.pattern for p in (KEYWORD_REFUSED, TOO_MANY, MISSING)))


def _target(module, owner, member):
    if owner is None:
        return getattr(module, member)
    if member is None:
        return owner
    if _is_static(owner, member):
        return getattr(owner, member)
    return getattr(INSTANCES[owner](), member)


def _call(module, owner, member, positional, keywords):
    """The TypeError message of the call if it has one, else None; other outcomes (a result,
    another exception) show the parser took the call's shape."""
    try:
        _target(module, owner, member)(*positional, **keywords)
    except TypeError as e:
        return str(e)
    except Exception:
        pass
    return None


def _shape_error(message):
    return message is not None and SHAPE.search(message) is not None


def _split(params, keyword_from):
    """Probes for every parameter: the first `keyword_from` by position, the rest by keyword."""
    positional = [Probe() for _ in params[:keyword_from]]
    keywords = {name: Probe() for name, _, _ in params[keyword_from:]}
    return positional, keywords


@pytest.mark.parametrize("module, owner, member", [c[1:] for c in CALLABLES],
                         ids=[c[0] for c in CALLABLES])
def test_parser_takes_the_calls_the_signature_allows(module, owner, member):
    if owner is not None and member is None and not _constructible(owner):
        return
    params = _runtime_params(module, owner, member)
    call = functools.partial(_call, module)
    kinds = [k for _, k, _ in params]
    assert inspect.Parameter.VAR_POSITIONAL not in kinds
    assert inspect.Parameter.VAR_KEYWORD not in kinds
    positional_only = sum(k is POSITIONAL_ONLY for k in kinds)
    positional_max = sum(k in POSITIONAL for k in kinds)

    # Every name the signature lets a caller spell out is one the parser knows.
    message = call(owner, member, *_split(params, positional_only))
    assert not _shape_error(message), message

    # A positional-only parameter given by keyword is refused, by its own name.
    for i in range(positional_only):
        message = call(owner, member, *_split(params, i))
        match = KEYWORD_REFUSED.search(message or "")
        assert match, f"{params[i][0]} is accepted by keyword: {message}"
        assert match.group(1) in (None, params[i][0]), message

    # One positional argument more than the signature has room for is refused.
    positional = [Probe() for _ in range(positional_max + 1)]
    message = call(owner, member, positional, {})
    match = TOO_MANY.search(message or "")
    assert match, f"{positional_max + 1} positional arguments are accepted: {message}"
    allowed = {"no arguments": 0, "keyword arguments only": 0, "exactly one argument": 1}.get(
        match.group(1))
    assert (int(match.group(2)) if allowed is None else allowed) == positional_max, message

    # The parameters without a default are the ones the parser requires.
    required = [i for i, (_, _, default) in enumerate(params) if default is NO_DEFAULT]
    positional = [Probe() for i in required if kinds[i] in POSITIONAL]
    keywords = {params[i][0]: Probe() for i in required if kinds[i] not in POSITIONAL}
    message = call(owner, member, positional, keywords)
    assert not _shape_error(message), message
    for i in required:
        later_positional_only = any(k is POSITIONAL_ONLY for k in kinds[i + 1:])
        if later_positional_only:
            continue  # leaving it out would shift the ones after it
        positional = [Probe() for j in required if j < i and kinds[j] in POSITIONAL]
        keywords = {params[j][0]: Probe() for j in required
                    if j > i or (j < i and kinds[j] not in POSITIONAL)}
        message = call(owner, member, positional, keywords)
        match = MISSING.search(message or "")
        assert match, f"{params[i][0]} may be left out: {message}"
        assert match.group(1) in (None, params[i][0]), message
