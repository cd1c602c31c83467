"""A wait that a protocol callback ends by running the waiting task at once.

When bytes arrive for a task that waits on an `asyncio.Future`, `set_result` schedules the
task's wake-up, and the task runs at the loop's next turn: one more pass through the loop per
message, and by then the loop may have read every other ready socket, so that the bytes have
left the processor's caches. A `PromptWaiter` is a future-like object (asyncio's tasks wait on
any object that has `_asyncio_future_blocking`, `get_loop`, `add_done_callback`, `result` and
`cancel`) whose `set_result`, called outside any task (from a protocol's callback), runs the
waiting task's step right there. Called from within a task, or cancelled, it schedules the
wake-up as a Future does.
"""

from __future__ import annotations

import asyncio
import contextvars
from typing import Any

_current_task = asyncio.current_task

_PENDING = 0
_DONE = 1
_CANCELLED = 2


class PromptWaiter:
    """One wait for a wake-up without a value (`set_result(None)`), for one task."""

    __slots__ = ("_loop", "_state", "_callbacks", "_asyncio_future_blocking", "_message")

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self._loop = loop
        self._state = _PENDING
        self._callbacks: list[tuple[Any, contextvars.Context]] = []
        self._asyncio_future_blocking = False
        self._message: str | None = None

    def get_loop(self) -> asyncio.AbstractEventLoop:
        return self._loop

    def done(self) -> bool:
        return self._state != _PENDING

    def cancelled(self) -> bool:
        return self._state == _CANCELLED

    def result(self) -> None:
        if self._state == _CANCELLED:
            raise asyncio.CancelledError(self._message)
        if self._state == _PENDING:
            raise asyncio.InvalidStateError("the wait is not over")
        return None

    def exception(self) -> BaseException | None:
        self.result()
        return None

    def add_done_callback(self, fn, *, context: contextvars.Context | None = None) -> None:
        if context is None:
            context = contextvars.copy_context()
        if self._state == _PENDING:
            self._callbacks.append((fn, context))
        else:
            self._loop.call_soon(fn, self, context=context)

    def remove_done_callback(self, fn) -> int:
        kept = [(f, c) for f, c in self._callbacks if f != fn]
        removed = len(self._callbacks) - len(kept)
        self._callbacks = kept
        return removed

    def cancel(self, msg: Any = None) -> bool:
        if self._state != _PENDING:
            return False
        self._state = _CANCELLED
        self._message = msg
        self._schedule()
        return True

    def set_result(self, result: None) -> None:
        """Ends the wait. Outside any task the waiting task runs its next step within this call;
        from within a task its wake-up is scheduled, as a Future's is."""
        if self._state != _PENDING:
            raise asyncio.InvalidStateError("the wait is over already")
        self._state = _DONE
        loop = self._loop
        if _current_task(loop) is not None:
            self._schedule()
            return
        callbacks, self._callbacks = self._callbacks, []
        for fn, context in callbacks:
            context.run(fn, self)

    def set_result_soon(self, result: None) -> None:
        """Ends the wait with the waiting task's wake-up scheduled, wherever it is called from
        (for a caller that is not done with its own state yet)."""
        if self._state != _PENDING:
            raise asyncio.InvalidStateError("the wait is over already")
        self._state = _DONE
        self._schedule()

    def _schedule(self) -> None:
        callbacks, self._callbacks = self._callbacks, []
        for fn, context in callbacks:
            self._loop.call_soon(fn, self, context=context)

    def __await__(self):
        if self._state == _PENDING:
            self._asyncio_future_blocking = True
            yield self
        return self.result()

    __iter__ = __await__
