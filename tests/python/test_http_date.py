"""http_date(): the Date header value from each thread's one-second cache."""

import calendar
import concurrent.futures
import email.utils
import inspect
import time

import pytest

import _quillet
from _quillet import http_date


def seconds_of(value):
    return calendar.timegm(time.strptime(value.decode("ascii"), "%a, %d %b %Y %H:%M:%S GMT"))


def check_current():
    before = time.time()
    value = http_date()
    after = time.time()
    assert type(value) is bytes and len(value) == 29 and value.endswith(b" GMT")
    # a cached value lags the clock by at most one second
    allowed = {email.utils.formatdate(s, usegmt=True).encode("ascii")
               for s in range(int(before) - 1, int(after) + 1)}
    assert value in allowed, (value, allowed)
    return value


def test_follows_the_clock():
    check_current()


def test_back_to_back_calls_agree_or_step_one_second():
    for _ in range(1000):
        first, second = http_date(), http_date()
        assert seconds_of(second) - seconds_of(first) in (0, 1)


def test_every_thread_has_its_own_fresh_value():
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        for value in pool.map(lambda _: check_current(), range(8)):
            assert len(value) == 29


def test_takes_no_arguments():
    with pytest.raises(TypeError, match="takes no arguments"):
        http_date(1)
    with pytest.raises(TypeError, match="takes no arguments"):
        http_date(now=1)


def test_functions_belong_to_the_module():
    for fn, params in ((http_date, []), (_quillet.uri_parts, ["url"])):
        assert fn.__module__ == "_quillet"
        assert list(inspect.signature(fn).parameters) == params
