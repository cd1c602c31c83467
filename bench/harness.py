"""The timing method every HTTP/1 case shares.

Each contender is a callable that performs one operation. A case is measured by calibrating an
iteration count per contender (so that one round takes about `round_seconds`), warming every
contender up, and then running `rounds` rounds in which the contenders take turns (so a slow
drift of the machine hits them all alike). The garbage collector is disabled during the rounds
and run between them. The result per contender is the median round, in seconds per operation.
"""

import gc
import statistics
import time

ROUND_SECONDS = 0.08
ROUNDS = 9


def _run(fn, number):
    clock = time.perf_counter
    start = clock()
    for _ in range(number):
        fn()
    return clock() - start


def _calibrate(fn, round_seconds):
    number = 1
    while True:
        elapsed = _run(fn, number)
        if elapsed >= round_seconds / 4:
            return max(1, int(number * round_seconds / elapsed))
        number *= 4


def measure(contenders, *, rounds=ROUNDS, round_seconds=ROUND_SECONDS):
    """contenders: {name: callable}. Returns {name: median seconds per call}."""
    numbers = {}
    for name, fn in contenders.items():
        fn()  # fails early, before any timing, if a contender is broken
        numbers[name] = _calibrate(fn, round_seconds)
        _run(fn, numbers[name])  # warm-up round
    samples = {name: [] for name in contenders}
    was_enabled = gc.isenabled()
    try:
        for _ in range(rounds):
            for name, fn in contenders.items():
                gc.collect()
                gc.disable()
                elapsed = _run(fn, numbers[name])
                gc.enable()
                samples[name].append(elapsed / numbers[name])
    finally:
        if was_enabled:
            gc.enable()
        else:
            gc.disable()
    return {name: statistics.median(times) for name, times in samples.items()}
