"""Running a request from the stream's callback instead of the serve task: a request that
arrives whole while its connection waits for the next head is begun at once, in the serve
task's name, and handed to the serve task only if it has to wait."""

from __future__ import annotations

import asyncio


def task_switch():
    """asyncio's own pair of functions that make a task the current one and back, with which a
    request that arrives whole runs from the stream's callback in the serve task's name (the
    HTTP/1 connection's `_answer`). They are private to asyncio: where this Python has no such
    pair, None, and every request waits for the serve task to be woken instead."""
    tasks = asyncio.tasks
    enter = getattr(tasks, "_enter_task", None)
    leave = getattr(tasks, "_leave_task", None)
    if callable(enter) and callable(leave):
        return enter, leave
    return None


class Resume:
    """A request that began on the stream's callback (see the HTTP/1 connection's `_answer`) and
    had to wait: the serve task awaits this, and runs every later step of it."""

    __slots__ = ("step", "waiting")

    def __init__(self, step, waiting) -> None:
        self.step = step
        self.waiting = waiting  # what the request was waiting for when it was handed over

    def cancelled(self) -> Resume:
        """The serve task was cancelled before it took the request over: the request sees the
        cancellation where it waits, as it would had it been running in the task all along."""
        if isinstance(self.waiting, asyncio.Future):
            self.waiting.cancel()
        return self

    def __await__(self):
        step, value = self.step, self.waiting
        self.step = self.waiting = None
        while True:
            try:
                sent = yield value
            except GeneratorExit:
                step.close()
                raise
            except BaseException as exc:  # noqa: B036 (handed on to the request, as a task does)
                try:
                    value = step.throw(exc)
                except StopIteration as stop:
                    return stop.value
            else:
                try:
                    value = step.send(sent)
                except StopIteration as stop:
                    return stop.value
