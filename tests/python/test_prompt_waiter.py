"""PromptWaiter: a wait that a callback outside any task ends by running the waiting task's step
within the call, and that otherwise behaves as a Future does for the task awaiting it."""

import asyncio
import contextvars

import pytest

from quillet._prompt import PromptWaiter

VAR = contextvars.ContextVar("VAR", default="unset")


@pytest.mark.parametrize("loop_kind", ["asyncio", "uvloop"])
def test_a_callback_runs_the_waiting_task_at_once_in_its_own_context(loop_kind):
    seen = []

    async def waiting(waiter):
        VAR.set("the task's")
        await waiter
        seen.append(("woken", VAR.get(), asyncio.current_task() is task))

    def callback(waiter):
        assert asyncio.current_task() is None
        waiter.set_result(None)
        seen.append("after set_result")  # the task ran its step within the call

    async def main():
        nonlocal task
        loop = asyncio.get_running_loop()
        waiter = PromptWaiter(loop)
        task = loop.create_task(waiting(waiter))
        await asyncio.sleep(0)
        loop.call_soon(callback, waiter)
        await task
        assert waiter.done() and not waiter.cancelled() and waiter.result() is None
        with pytest.raises(asyncio.InvalidStateError):
            waiter.set_result(None)

    task = None
    if loop_kind == "uvloop":
        import uvloop
        uvloop.run(main())
    else:
        asyncio.run(main())
    assert seen == [("woken", "the task's", True), "after set_result"]


def test_from_a_task_or_with_set_result_soon_the_wake_up_waits_for_the_loop():
    async def main():
        loop = asyncio.get_running_loop()
        order = []

        async def waiting(waiter, name):
            await waiter
            order.append(name)

        first, second = PromptWaiter(loop), PromptWaiter(loop)
        tasks = [loop.create_task(waiting(first, "first")),
                 loop.create_task(waiting(second, "second"))]
        await asyncio.sleep(0)
        first.set_result(None)  # from this task: scheduled
        order.append("set from a task")
        loop.call_soon(lambda: (second.set_result_soon(None), order.append("set soon")))
        await asyncio.gather(*tasks)
        return order

    assert asyncio.run(main()) == ["set from a task", "first", "set soon", "second"]


def test_cancellation_and_a_wait_that_is_over_already():
    async def main():
        loop = asyncio.get_running_loop()
        waiter = PromptWaiter(loop)
        task = loop.create_task(asyncio.wait_for(waiter, 10))
        await asyncio.sleep(0)
        task.cancel("enough")
        with pytest.raises(asyncio.CancelledError):
            await task
        assert waiter.cancelled() and not waiter.cancel()
        with pytest.raises(asyncio.CancelledError):
            waiter.result()
        done = PromptWaiter(loop)
        done.set_result(None)
        assert await done is None  # no suspension: already over
        late = []
        done.add_done_callback(late.append)  # added after the end: called at the next turn
        assert late == []
        await asyncio.sleep(0)
        assert late == [done]
        pending = PromptWaiter(loop)
        pending.add_done_callback(late.append)
        assert pending.remove_done_callback(late.append) == 1
        with pytest.raises(asyncio.InvalidStateError):
            pending.result()

    asyncio.run(main())
