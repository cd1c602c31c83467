"""The boundary toolkit every class converts its arguments and builds its reprs with."""

import pytest

import _quillet_probe as probe


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("convert,bits",
                         [(probe.u16, 16), (probe.u31, 31), (probe.u32, 32), (probe.u64, 64)])
def test_unsigned_edges(convert, bits):
    top = 2**bits - 1
    assert convert(0) == 0
    assert convert(1) == 1
    assert convert(top) == top
    assert convert(Index(top)) == top
    with pytest.raises(OverflowError, match=f"value does not fit in an unsigned {bits}-bit"):
        convert(top + 1)
    with pytest.raises(OverflowError, match="value must not be negative"):
        convert(-1)
    with pytest.raises(OverflowError):
        convert(-(2**70))
    with pytest.raises(OverflowError):
        convert(2**200)
    for wrong in (1.0, "1", b"1", None):
        with pytest.raises(TypeError, match="value must be an int"):
            convert(wrong)


def test_index_errors_propagate():
    class Broken:
        def __index__(self):
            raise ZeroDivisionError

    with pytest.raises(ZeroDivisionError):
        probe.u32(Broken())


def test_optional_variant():
    assert probe.opt_u32(None) is None
    assert probe.opt_u32(0) == 0
    with pytest.raises(OverflowError):
        probe.opt_u32(2**32)
    with pytest.raises(TypeError):
        probe.opt_u32("x")


def test_strict_bool():
    assert probe.strict_bool(True) is True
    assert probe.strict_bool(False) is False
    for wrong in (0, 1, None, "true"):
        with pytest.raises(TypeError, match="flag must be a bool"):
            probe.strict_bool(wrong)


def test_wire_bytes_only():
    class Sub(bytes):
        pass

    assert probe.wire_bytes(b"") == 0
    assert probe.wire_bytes(b"abc") == 3
    assert probe.wire_bytes(Sub(b"ab")) == 2
    for wrong in (bytearray(b"abc"), memoryview(b"abc"), "abc", 3):
        with pytest.raises(TypeError, match="data must be bytes"):
            probe.wire_bytes(wrong)


def test_text_is_utf8():
    assert probe.text("caf\u00e9") == b"caf\xc3\xa9"
    with pytest.raises(TypeError, match="text must be str"):
        probe.text(b"abc")
    # A lone surrogate is seen through bytes that no parser accepts, never UnicodeEncodeError.
    assert probe.text("a\ud800") == b"a\xed\xa0\x80"


def test_argument_parser():
    E = ...
    assert probe.parse_args(1) == (1, E, E)
    assert probe.parse_args(1, 2) == (1, 2, E)
    assert probe.parse_args(a=1, c=3) == (1, E, 3)
    assert probe.parse_args(1, b=None) == (1, None, E)
    with pytest.raises(TypeError, match="missing required argument 'a'"):
        probe.parse_args(b=2)
    with pytest.raises(TypeError, match="at most 2 positional"):
        probe.parse_args(1, 2, 3)
    with pytest.raises(TypeError, match="unexpected keyword argument 'd'"):
        probe.parse_args(1, d=4)
    with pytest.raises(TypeError, match="multiple values for argument 'a'"):
        probe.parse_args(1, a=1)


def test_repr_writer():
    assert probe.sample_repr(True, 7, None) == (
        'Sample(flag=true, count=7, maybe=None, name="a\\"b")')
    assert probe.sample_repr(False, 0, 2**64 - 1) == (
        'Sample(flag=false, count=0, maybe=Some(18446744073709551615), name="a\\"b")')


@pytest.mark.parametrize("raw,shown", [
    (b"http://a b/", '"http://a b/"'),
    (b'q"b\\s', '"q\\"b\\\\s"'),
    (b"\r\n\t\x00\x7f", '"\\r\\n\\t\\x00\\x7f"'),
    ("h\u00e9".encode(), '"h\u00e9"'),
    (b"\xff\xfe", '"\\xff\\xfe"'),
])
def test_quoted(raw, shown):
    assert probe.quoted(raw) == shown


def test_release_bin_drops_after_unlocking():
    seen = []

    class Finalised:
        def __del__(self):
            seen.append(probe.lock_held())

    probe.stash(Finalised())
    probe.drop_stashed()
    assert seen == [False]
    # the same drop made while holding the lock is visible to the finaliser
    probe.stash(Finalised())
    probe.drop_stashed_locked()
    assert seen == [False, True]


def test_final_class():
    box = probe.FinalBox(7)
    assert box.value == 7
    assert type(box).__module__ == "quillet._quillet"
    assert type(box).__name__ == type(box).__qualname__ == "FinalBox"
    with pytest.raises(TypeError):
        class Sub(probe.FinalBox):
            pass
    with pytest.raises(AttributeError):
        box.value = 8
    with pytest.raises(AttributeError):
        del box.value
    with pytest.raises(AttributeError):
        box.other = 1
    with pytest.raises(TypeError):  # the type object itself is immutable
        probe.FinalBox.value = 3
    with pytest.raises(OverflowError):
        probe.FinalBox(-1)


def test_internal_only_class_cannot_be_called():
    with pytest.raises(TypeError):
        probe.HiddenBox()


def test_subclassable_class_takes_part_in_gc():
    import gc
    import weakref

    class Driver(probe.OpenBox):
        pass

    payload = {}
    driver = Driver(payload)
    driver.extra = "own attribute"
    assert driver.payload is payload and driver.extra == "own attribute"
    payload["driver"] = driver  # a cycle through the held object
    alive = weakref.ref(driver)
    del driver, payload
    gc.collect()
    assert alive() is None
    assert gc.is_tracked(probe.OpenBox(1))
    assert not gc.is_tracked(probe.FinalBox(1))


def test_subclassable_without_gc_slots_is_refused():
    with pytest.raises(SystemError, match="needs traverse and clear"):
        probe.broken_type()
