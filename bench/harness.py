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


# -- the table every benchmark prints ---------------------------------------------------------


def fmt_time(seconds):
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    if seconds >= 1e-6:
        return f"{seconds * 1e6:.2f} us"
    return f"{seconds * 1e9:.0f} ns"


class Report:
    """Prints one row per case: our figure, the baselines', and the ratios (baseline / ours),
    each checked against `goals`: [(case prefix, baseline name, factor)], ours at least
    `factor` times faster (or smaller)."""

    def __init__(self, markdown, goals=()):
        self.markdown = markdown
        self.goals = list(goals)
        self.rows = []

    def goal_for(self, case, baseline):
        for prefix, name, factor in self.goals:
            if case.startswith(prefix) and baseline == name:
                return factor
        return None

    def add(self, case, ours, baselines, unit="time", note=""):
        """ours and baselines: seconds per op (unit 'time') or bytes (unit 'bytes')."""
        shown = fmt_time if unit == "time" else (lambda b: f"{b:.0f} B")
        cells = [f"{name} {shown(v)}" for name, v in baselines.items()]
        ratios = []
        for name, value in baselines.items():
            ratio = value / ours
            goal = self.goal_for(case, name)
            if goal is None:
                verdict = ""
            elif ratio >= goal:
                verdict = f" met (goal {goal:g}x)"
            else:
                verdict = f" MISSED (goal {goal:g}x)"
            ratios.append(f"{ratio:.2f}x vs {name}{verdict}")
        row = (case, shown(ours), "; ".join(cells), "; ".join(ratios), note)
        self.rows.append(row)
        if self.markdown:
            print("| " + " | ".join(row) + " |", flush=True)
        else:
            print(f"{case:34} {row[1]:>10}  {row[2]:44}  {row[3]}  {note}", flush=True)

    def skip(self, case, why):
        if self.markdown:
            print(f"| {case} | skipped: {why} | | | |", flush=True)
        else:
            print(f"{case:34} skipped: {why}", flush=True)

    def header(self):
        if self.markdown:
            print("| case | quillet | baselines | ratio (baseline / quillet) | note |")
            print("|---|---|---|---|---|")
        else:
            print(f"{'case':34} {'quillet':>10}  {'baselines':44}  ratios (baseline time / ours)")
