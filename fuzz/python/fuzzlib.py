"""Shared pieces of the Python-surface fuzz targets: the rule for which exceptions may leave a
call into the module, objects whose protocol methods misbehave, and reference-count bookkeeping.

A target calls the module only through `call()`. An exception the module may raise (one of its
own classes, or TypeError, ValueError, OverflowError, KeyError or MemoryError by exact type) is
caught and handed back; anything else (SystemError, UnicodeEncodeError, an exception raised by
the harness's own checks) propagates, and atheris reports the input as a crash.
"""

import ctypes
import gc
import sys
import weakref

import _quillet


# By exact type: a subclass such as UnicodeEncodeError (a ValueError) means the module let an
# internal conversion error escape instead of naming the bad argument.
DOCUMENTED_BUILTINS = frozenset({TypeError, ValueError, OverflowError, KeyError, MemoryError})


class Hostile(Exception):
    """Raised on purpose by the misbehaving objects below; the module must pass it on unchanged."""


class Finding(AssertionError):
    """A property of the module does not hold."""


def check(condition, message, *details):
    if not condition:
        raise Finding(message + "".join(f"\n  {d!r}" for d in details))


def compare(condition, message, *details):
    """A check that compares two outcomes: void once an injected allocation failure happened."""
    check(condition or failure_happened(), message, *details)


def documented(exc, extra=()):
    """Whether `exc` may leave a module call."""
    kind = type(exc)
    if isinstance(exc, _quillet.QuilletError):
        return kind.__module__ in ("_quillet", "quillet._native")
    return kind in DOCUMENTED_BUILTINS or isinstance(exc, Hostile) or kind in extra


class Raised:
    """The outcome of a call that raised a documented exception."""

    __slots__ = ("exc",)

    def __init__(self, exc):
        self.exc = exc

    def __repr__(self):
        return f"Raised({self.exc!r})"


def _failure_injector():
    """The switch of fuzz/python/fail_new.cc when the preloaded runtime has it, else None (the
    targets replayed against an ordinary build)."""
    try:
        fn = ctypes.CDLL(None).quillet_fuzz_fail_new_after
    except AttributeError:
        return None
    fn.argtypes = [ctypes.c_long]
    fn.restype = ctypes.c_long
    return fn


_fail_new_after = _failure_injector()
# [calls made this input, the call to fail in, the allocation to fail, whether it failed]
_plan = [0, -1, 0, False]


def failure_happened():
    """Whether the planned allocation failure happened in this input. Properties that compare
    two outcomes do not hold then (one side may be MemoryError); the others still must."""
    return _plan[3]


def plan_failure(fdp):
    """Picks, from the input, one call of this run whose n-th C++ allocation fails (or none)."""
    _plan[0] = 0
    _plan[1] = -1
    _plan[3] = False
    if _fail_new_after is None:
        return
    if fdp.ConsumeIntInRange(0, 3) == 0:
        _plan[1] = fdp.ConsumeIntInRange(0, 15)
        _plan[2] = fdp.ConsumeIntInRange(0, 7)


def describe(fn, args, kwargs):
    """The call as text, for the report of a finding."""
    name = getattr(fn, "__qualname__", None) or repr(fn)
    owner = getattr(fn, "__self__", None)
    if owner is not None and not isinstance(owner, type):
        name = f"{type(owner).__name__}().{getattr(fn, '__name__', name)}"
    parts = [_short(a) for a in args] + [f"{k}={_short(v)}" for k, v in kwargs.items()]
    return f"{name}({', '.join(parts)})"


def _short(v):
    try:
        text = repr(v)
    except Exception:  # a misbehaving object's repr
        text = f"<{type(v).__name__}>"
    return text if len(text) < 200 else text[:200] + "..."


def call(fn, *args, _extra=(), **kwargs):
    """Calls `fn`; returns its result, or a `Raised` when it raised a documented exception. The
    planned call runs with an allocation failure armed; MemoryError is then one of its outcomes."""
    armed = _plan[0] == _plan[1]
    _plan[0] += 1
    try:
        if armed:
            _fail_new_after(_plan[2])
        return fn(*args, **kwargs)
    except BaseException as exc:  # noqa: B902 - everything undocumented must propagate
        if type(exc) is MemoryError and exc.args == ("std::bad_alloc",):
            # The fuzzer's own C++ hooks, which run around the call, took the injected failure
            # (they report it with this text; the module raises a bare MemoryError): the input
            # ends here, as for any failure of the harness's own.
            raise
        if not documented(exc, _extra):
            print(f"\n=== undocumented {type(exc).__name__} from {describe(fn, args, kwargs)}",
                  file=sys.stderr)
            raise
        exc.__traceback__ = None  # the frames would keep the harness's objects alive
        return Raised(exc)
    finally:
        if armed and _fail_new_after(-1) == -1:
            _plan[3] = True


# Objects with misbehaving protocol methods. Each raises Hostile (or answers nonsense) where the
# module might call it; the module must either not call it or pass the Hostile error on.
class BadIndex:
    def __index__(self):
        raise Hostile("__index__")


class WeirdIndex:
    """__index__ that returns something that is not an int."""

    def __index__(self):
        return "7"


class BigIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BadEqHash:
    def __eq__(self, other):
        raise Hostile("__eq__")

    def __hash__(self):
        raise Hostile("__hash__")


class BadStr(str):
    """A str subclass whose dunders raise: the module must read the string data itself."""

    def __eq__(self, other):
        raise Hostile("__eq__")

    def __hash__(self):
        raise Hostile("__hash__")

    def __str__(self):
        raise Hostile("__str__")

    def __len__(self):
        raise Hostile("__len__")

    def encode(self, *args, **kwargs):
        raise Hostile("encode")


class BadBytes(bytes):
    def __len__(self):
        raise Hostile("__len__")

    def __eq__(self, other):
        raise Hostile("__eq__")

    def __hash__(self):
        raise Hostile("__hash__")

    def __bytes__(self):
        raise Hostile("__bytes__")


class Chunk(bytes):
    """A plain bytes subclass: each instance is a distinct object, so its references count."""


class BadInt(int):
    def __index__(self):
        raise Hostile("__index__")

    def __eq__(self, other):
        raise Hostile("__eq__")

    def __hash__(self):
        raise Hostile("__hash__")


class BadIter:
    def __iter__(self):
        raise Hostile("__iter__")


class BadPairs:
    """Iterates, then fails part-way."""

    def __init__(self, good):
        self.good = good

    def __iter__(self):
        yield from self.good
        raise Hostile("next")


class BadPair:
    def __getitem__(self, i):
        raise Hostile("__getitem__")

    def __len__(self):
        return 2


class BadMapping(dict):
    def items(self):
        raise Hostile("items")

    def __iter__(self):
        raise Hostile("__iter__")


class Tracked:
    """Objects handed to the module, kept here so that their reference counts can be checked once
    the module's objects are gone: each must then be held by this list alone, like a control
    object that never went anywhere. A leaked reference shows up as a higher count; a reference
    released once too often as a lower one, or as a sanitizer report when the object is freed
    early. The harness drops its own references (its locals) before `verify`.

    After `tie(state)`, the objects refer back to the state, so that the state is only freed by
    the cyclic garbage collector: it must then visit and clear everything it holds. Those
    objects are watched through weak references instead, which must all be dead after a
    collection."""

    def __init__(self):
        self.objects = [Chunk(b"control")]
        self.weak = []
        self.owner = None  # a weak reference to the state the objects refer back to

    def add(self, obj):
        owner = self.owner and self.owner()
        if owner is not None and hasattr(obj, "__dict__") and type(obj).__weakrefoffset__:
            obj.owner = owner
            self.weak.append(weakref.ref(obj))
        else:
            self.objects.append(obj)
        return obj

    def tie(self, state):
        self.owner = weakref.ref(state)
        self.weak.append(self.owner)
        kept = self.objects
        self.objects = []
        for obj in kept:
            self.add(obj)

    def verify(self, what):
        if self.weak:
            gc.collect()
            alive = [type(r()).__name__ for r in self.weak if r() is not None]
            check(not alive, f"{what}: a reference cycle through a connection state was not "
                  "collected", alive)
        expected = None
        for obj in self.objects:
            now = sys.getrefcount(obj)
            if expected is None:
                expected = now
            check(now == expected, f"{what}: a handed-in object is not back to its own references",
                  type(obj).__name__, expected, now)
        del self.objects[1:]
        self.weak.clear()
        self.owner = None
