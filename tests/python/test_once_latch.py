import threading

import pytest

from _quillet import OnceLatch


def test_first_acquire_wins_once():
    latch = OnceLatch()
    assert latch.is_set is False
    assert latch.try_acquire() is True
    assert latch.is_set is True
    assert [latch.try_acquire() for _ in range(3)] == [False, False, False]
    assert latch.is_set is True


def test_latches_are_independent_and_frozen():
    a, b = OnceLatch(), OnceLatch()
    assert a.try_acquire() and b.try_acquire()
    with pytest.raises(AttributeError):
        a.is_set = False
    with pytest.raises(TypeError):
        OnceLatch(1)
    with pytest.raises(TypeError):
        class Sub(OnceLatch):
            pass


def test_exactly_one_thread_wins():
    for _ in range(20):
        latch = OnceLatch()
        start = threading.Barrier(16)
        wins = []

        def contend():
            start.wait()
            wins.append(latch.try_acquire())

        threads = [threading.Thread(target=contend) for _ in range(16)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert sorted(wins) == [False] * 15 + [True]
