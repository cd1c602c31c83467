"""HeaderMap as a user sees it: conversion and its messages, order, the size limit, comparison."""

import collections

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _quillet import HeaderMap

NAME_TYPE = "header name must be str or bytes"
NAME_INVALID = "invalid header name: invalid HTTP header name"
VALUE_TYPE = "header value must be str or bytes"
VALUE_INVALID = "invalid header value: failed to parse header value"
FULL = "header map is full (http::HeaderMap MAX_SIZE, 32768 entries)"
MAX_NAMES = 24576


def exact(message):
    return "^" + message.replace("(", r"\(").replace(")", r"\)") + "$"


class Bytes(bytes):
    pass


class Str(str):
    pass


# --- construction ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "init",
    [
        {"Content-Type": "text/html", "x": b"1"},
        [("Content-Type", "text/html"), ("x", b"1")],
        [["CONTENT-TYPE", b"text/html"], [b"X", "1"]],
        (p for p in [("content-type", "text/html"), ("X", "1")]),
        collections.OrderedDict([("x", "0"), ("content-type", "text/html"), ("X-", "")]),
    ],
    ids=["dict", "tuples", "lists", "generator", "ordered-dict"],
)
def test_initialisers(init):
    if isinstance(init, collections.OrderedDict):
        # a dict subclass gives its items in its own order, not its storage order
        init.move_to_end("x")
        del init["X-"]
        init["x"] = "1"
    m = HeaderMap(init)
    assert m.items() == [("content-type", b"text/html"), ("x", b"1")]
    assert m["CONTENT-TYPE"] == b"text/html"


def test_initialiser_of_none_or_nothing_is_empty():
    for m in (HeaderMap(), HeaderMap(None), HeaderMap(init=None), HeaderMap([]), HeaderMap({})):
        assert len(m) == 0 and m.items() == [] and list(m) == []


def test_repeated_names_chain_and_len_counts_values():
    m = HeaderMap([("a", "1"), ("A", b"2")])
    assert m.get_all("a") == [b"1", b"2"]
    assert len(m) == 2 and m.keys() == ["a"]


def test_copy_is_independent():
    a = HeaderMap([("a", "1"), ("a", "2"), ("b", "3")])
    b = HeaderMap(a)
    b.add("a", "9")
    del b["b"]
    a["c"] = "4"
    assert a.items() == [("a", b"1"), ("a", b"2"), ("b", b"3"), ("c", b"4")]
    assert b.items() == [("a", b"1"), ("a", b"2"), ("a", b"9")]


class Pair:
    """An element that is indexable but no tuple."""

    def __init__(self, name, value):
        self.parts = (name, value)

    def __getitem__(self, i):
        return self.parts[i]


class Boom(Exception):
    pass


class Exploding:
    def __getitem__(self, i):
        raise Boom(i)


def broken_iterator():
    yield ("a", "1")
    raise Boom("iteration")


def test_element_access_is_subscription():
    assert HeaderMap([Pair("a", "1"), ("b", "2", "ignored")]).items() == [("a", b"1"), ("b", b"2")]


@pytest.mark.parametrize(
    "init,error,match",
    [
        (5, TypeError, "not iterable"),
        ([("a",)], IndexError, None),
        (["a"], IndexError, None),
        ([Exploding()], Boom, "0"),
        (broken_iterator(), Boom, "iteration"),
        ([("a", "1"), (1, "2")], TypeError, exact(NAME_TYPE)),
        ({"a b": "1"}, ValueError, exact(NAME_INVALID)),
        ({"a": 1}, TypeError, exact(VALUE_TYPE)),
        ([("a", "\n")], ValueError, exact(VALUE_INVALID)),
    ],
)
def test_initialiser_errors_propagate_unchanged(init, error, match):
    with pytest.raises(error, match=match):
        HeaderMap(init)


def test_constructor_arguments():
    assert HeaderMap(init={"a": "1"}).items() == [("a", b"1")]
    with pytest.raises(TypeError, match="at most 1 positional"):
        HeaderMap({}, {})
    with pytest.raises(TypeError, match="unexpected keyword argument 'headers'"):
        HeaderMap(headers={})
    with pytest.raises(TypeError, match="multiple values for argument 'init'"):
        HeaderMap({}, init={})


# --- conversion -----------------------------------------------------------------------------

GOOD_NAMES = ["a", b"a", Bytes(b"A"), Str("A"), "!#$%&'*+-.^_`|~09azAZ", "x" * 65535]
BAD_NAMES = ["", b"", "a b", "a:b", "a\tb", "caf\u00e9", b"\x80", "\ud800", "x" * 65536, "(a)"]
WRONG_NAMES = [1, None, bytearray(b"a"), memoryview(b"a"), ("a",)]

GOOD_VALUES = [
    ("", b""),
    ("a\tb c", b"a\tb c"),
    (b"\x80\xff", b"\x80\xff"),
    ("caf\u00e9", b"caf\xc3\xa9"),
    (Bytes(b"v"), b"v"),
    (Str("v"), b"v"),
    ("~" * 70000, b"~" * 70000),
]
BAD_VALUES = ["\r", "a\nb", b"\x00", "\x7f", b"\x1f", "\ud800"]
WRONG_VALUES = [1, None, bytearray(b"a"), memoryview(b"a")]

# every operation that converts a name, applied to a name
NAME_USERS = {
    "get": lambda m, n: m.get(n),
    "get_all": lambda m, n: m.get_all(n),
    "add": lambda m, n: m.add(n, "v"),
    "setdefault": lambda m, n: m.setdefault(n, "v"),
    "getitem": lambda m, n: m[n],
    "setitem": lambda m, n: m.__setitem__(n, "v"),
    "delitem": lambda m, n: m.__delitem__(n),
    "init": lambda m, n: HeaderMap([(n, "v")]),
}
# every operation that converts a value, applied to a value for a new name
VALUE_USERS = {
    "add": lambda m, v: m.add("new", v),
    "setdefault": lambda m, v: m.setdefault("new", v),
    "setitem": lambda m, v: m.__setitem__("new", v),
    "setitem-existing": lambda m, v: m.__setitem__("a", v),
    "init": lambda m, v: HeaderMap({"new": v}),
}


@pytest.mark.parametrize("use", NAME_USERS.values(), ids=NAME_USERS.keys())
def test_bad_names_raise_and_leave_the_map_unchanged(use):
    m = HeaderMap([("a", "1")])
    for name in BAD_NAMES:
        with pytest.raises(ValueError, match=exact(NAME_INVALID)):
            use(m, name)
        assert name not in m
    for name in WRONG_NAMES:
        with pytest.raises(TypeError, match=exact(NAME_TYPE)):
            use(m, name)
        assert name not in m
    assert m.items() == [("a", b"1")]


@pytest.mark.parametrize("use", VALUE_USERS.values(), ids=VALUE_USERS.keys())
def test_bad_values_raise_and_leave_the_map_unchanged(use):
    m = HeaderMap([("a", "1")])
    for value in BAD_VALUES:
        with pytest.raises(ValueError, match=exact(VALUE_INVALID)):
            use(m, value)
    for value in WRONG_VALUES:
        with pytest.raises(TypeError, match=exact(VALUE_TYPE)):
            use(m, value)
    assert m.items() == [("a", b"1")]


def test_good_names_and_values():
    for name in GOOD_NAMES:
        m = HeaderMap()
        m.add(name, "v")
        stored = (name.decode() if isinstance(name, bytes) else str(name)).lower()
        assert m.keys() == [stored] and type(m.keys()[0]) is str
        assert m.raw_items() == [(stored.encode(), b"v")]
    for value, stored in GOOD_VALUES:
        m = HeaderMap({"v": value})
        assert m["v"] == stored and type(m["v"]) is bytes


def test_membership_never_raises():
    m = HeaderMap({"Content-Length": "1"})
    assert "content-length" in m and b"CONTENT-LENGTH" in m
    for name in [1, None, "", "a b", "\ud800", "caf\u00e9", b"\xff", bytearray(b"content-length")]:
        assert (name in m) is False


# --- operations -----------------------------------------------------------------------------


def test_lookups():
    m = HeaderMap([("a", "1"), ("b", ""), ("A", "2")])
    assert m.get("A") == b"1" and m.get("b") == b""
    assert m.get("c") is None and m.get("c", 5) == 5 and m.get(name="c", default=b"") == b""
    assert m.get_all("a") == [b"1", b"2"] and m.get_all("c") == []
    assert m.values() == [b"1", b"2", b""]
    assert m["B"] == b""
    with pytest.raises(TypeError, match="missing required argument 'name'"):
        m.get()


@pytest.mark.parametrize("op", [lambda m: m["X-Missing"], lambda m: m.__delitem__(b"X-Missing")])
def test_absent_name_raises_key_error_with_the_lowercase_name(op):
    m = HeaderMap({"a": "1"})
    with pytest.raises(KeyError) as info:
        op(m)
    assert info.value.args == ("x-missing",) and type(info.value.args[0]) is str


def test_setdefault():
    m = HeaderMap({"x": "1"})
    assert m.setdefault("X", 5) == b"1"  # the value of a present name is not even converted
    assert m.setdefault("X", "\n") == b"1"
    value = b"2"
    assert m.setdefault("y", value) is value
    assert m.setdefault("z", "caf\u00e9") == b"caf\xc3\xa9"
    assert m.setdefault("w", Bytes(b"3")) == b"3"
    assert m.items() == [("x", b"1"), ("y", b"2"), ("z", b"caf\xc3\xa9"), ("w", b"3")]


def test_values_of_one_name_come_out_together():
    m = HeaderMap()
    m.add("a", "1")
    m.add("b", "2")
    m.add("a", "3")
    assert m.items() == [("a", b"1"), ("a", b"3"), ("b", b"2")]
    assert m.raw_items() == [(b"a", b"1"), (b"a", b"3"), (b"b", b"2")]


def test_delete_moves_the_last_name_into_the_gap():
    m = HeaderMap([("a", "1"), ("b", "2"), ("c", "3"), ("d", "4"), ("d", "5")])
    del m["B"]
    assert m.keys() == ["a", "d", "c"]
    assert m.items() == [("a", b"1"), ("d", b"4"), ("d", b"5"), ("c", b"3")]


def test_assignment_replaces_in_place_or_appends():
    m = HeaderMap([("a", "1"), ("b", "2"), ("a", "3")])
    m["A"] = "9"
    m["c"] = b"4"
    assert m.items() == [("a", b"9"), ("b", b"2"), ("c", b"4")]


def test_iteration_walks_a_snapshot_of_the_names():
    m = HeaderMap([("a", "1"), ("b", "2"), ("a", "3")])
    it = iter(m)
    m.add("c", "4")
    del m["a"]
    assert list(it) == ["a", "b"]
    assert list(m) == ["c", "b"]


def test_repr():
    assert repr(HeaderMap()) == "HeaderMap([])"
    m = HeaderMap([("A", "1"), ("b", b"\xff'")])
    assert repr(m) == "HeaderMap(" + repr(m.items()) + ")"
    assert repr(m) == """HeaderMap([('a', b'1'), ('b', b"\\xff'")])"""


# --- comparison and class shape -------------------------------------------------------------


class AlwaysEqual:
    def __eq__(self, other):
        return True


@pytest.mark.parametrize(
    "left,right,equal",
    [
        ([], [], True),
        ([("a", "1"), ("b", "2"), ("a", "3")], [("B", "2"), ("A", "1"), ("a", "3")], True),
        ([("a", "1"), ("a", "2")], [("a", "2"), ("a", "1")], False),
        ([("a", "1")], [("a", "1"), ("b", "")], False),
        ([("a", "1"), ("a", "2")], [("a", "1"), ("b", "2")], False),
        ([("a", "1")], [("a", "1"), ("a", "1")], False),
    ],
)
def test_equality(left, right, equal):
    a, b = HeaderMap(left), HeaderMap(right)
    assert (a == b) is equal and (b == a) is equal
    assert (a != b) is not equal and (b != a) is not equal


def test_comparison_with_other_objects():
    m = HeaderMap({"a": "1"})
    assert m == m and not (m != m)
    assert (m == {"a": "1"}) is False and (m == m.items()) is False and (m != 1) is True
    assert (m == AlwaysEqual()) is False  # not NotImplemented: the other side is never asked
    for op in ("__lt__", "__le__", "__gt__", "__ge__"):
        assert getattr(m, op)(m) is NotImplemented
    with pytest.raises(TypeError):
        m < HeaderMap()  # noqa: B015


def test_class_is_final_frozen_and_unhashable():
    m = HeaderMap()
    assert type(m).__name__ == "HeaderMap" and type(m).__module__ == "quillet._quillet"
    with pytest.raises(TypeError):
        hash(m)
    with pytest.raises(TypeError):
        type("Sub", (HeaderMap,), {})
    with pytest.raises(AttributeError):
        m.extra = 1
    with pytest.raises(AttributeError):
        m.get = None
    with pytest.raises(TypeError):
        HeaderMap.get = None


# --- the size limit -------------------------------------------------------------------------


@pytest.fixture(scope="module")
def full_map():
    return HeaderMap((f"h{i}", "") for i in range(MAX_NAMES))


@pytest.mark.parametrize(
    "op",
    [
        lambda m: m.add("new", "v"),
        lambda m: m.add("H0", "v"),  # even for a name that is present
        lambda m: m.__setitem__("h1", "v"),
        lambda m: m.__setitem__("new", "v"),
        lambda m: m.setdefault("new", "v"),
    ],
    ids=["add-new", "add-present", "set-present", "set-new", "setdefault-new"],
)
def test_a_full_map_refuses_insertions_unchanged(full_map, op):
    assert len(full_map) == MAX_NAMES
    before = full_map.items()
    with pytest.raises(ValueError, match=exact(FULL)):
        op(full_map)
    assert full_map.items() == before
    assert full_map.setdefault("h2", "v") == b""  # a present name inserts nothing


def test_the_limit_is_the_name_count():
    with pytest.raises(ValueError, match=exact(FULL)):
        HeaderMap((f"h{i}", "") for i in range(MAX_NAMES + 1))
    m = HeaderMap((f"h{i}", "") for i in range(MAX_NAMES - 1))
    m.add("last", "v")
    del m["h0"]
    m.add("again", "v")
    assert len(m) == MAX_NAMES and m.keys()[0] == "last" and m.keys()[-1] == "again"


# --- against a model ------------------------------------------------------------------------


class Model:
    """Entries of [name, [values]] in entry order, with swap removal."""

    def __init__(self):
        self.entries = []

    def find(self, name):
        for entry in self.entries:
            if entry[0] == name.lower():
                return entry
        return None

    def add(self, name, value):
        entry = self.find(name)
        if entry:
            entry[1].append(value)
        else:
            self.entries.append([name.lower(), [value]])

    def set(self, name, value):
        entry = self.find(name)
        if entry:
            entry[1] = [value]
        else:
            self.entries.append([name.lower(), [value]])

    def delete(self, name):
        entry = self.find(name)
        if entry is None:
            raise KeyError(name.lower())
        i = self.entries.index(entry)
        self.entries[i] = self.entries[-1]
        self.entries.pop()

    def setdefault(self, name, value):
        entry = self.find(name)
        if entry:
            return entry[1][0]
        self.add(name, value)
        return value

    def items(self):
        return [(n, v) for n, vs in self.entries for v in vs]


NAMES = ["a", "A", "b", "B", "content-type", "Content-Type", "x-Long-Name-1", "X-LONG-name-1"]
values = st.binary(max_size=12).map(lambda b: bytes(c for c in b if c >= 0x20 and c != 0x7F))
operations = st.lists(
    st.tuples(
        st.sampled_from(["add", "set", "delete", "setdefault"]), st.sampled_from(NAMES), values
    ),
    max_size=40,
)


@settings(max_examples=300, deadline=None)
@given(operations)
def test_behaves_like_a_list_of_entries(ops):
    m, model = HeaderMap(), Model()
    for op, name, value in ops:
        if op == "add":
            m.add(name, value)
            model.add(name, value)
        elif op == "set":
            m[name] = value
            model.set(name, value)
        elif op == "setdefault":
            assert m.setdefault(name, value) == model.setdefault(name, value)
        elif model.find(name) is None:
            with pytest.raises(KeyError) as info:
                del m[name]
            assert info.value.args == (name.lower(),)
        else:
            del m[name]
            model.delete(name)

        items = model.items()
        assert m.items() == items
        assert m.raw_items() == [(n.encode(), v) for n, v in items]
        assert m.keys() == list(m) == [n for n, _ in model.entries]
        assert m.values() == [v for _, v in items]
        assert len(m) == len(items)
        for probe in NAMES:
            entry = model.find(probe)
            assert (probe in m) is (entry is not None)
            assert m.get_all(probe) == (entry[1] if entry else [])
            assert m.get(probe) == (entry[1][0] if entry else None)
    # the same value lists with the names in another order
    assert m == HeaderMap([(n, v) for n, vs in reversed(model.entries) for v in vs])
