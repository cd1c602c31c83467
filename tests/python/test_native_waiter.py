"""quillet._native.Waiter: a wait that a callback outside any task ends by running the waiting
task's step within the call, and that otherwise behaves as a Future does for its task."""

import asyncio
import contextvars
import gc
import weakref

import pytest

from quillet._native import Waiter

VAR = contextvars.ContextVar("VAR", default="unset")


def run(main, loop_kind="asyncio"):
    if loop_kind == "uvloop":
        import uvloop
        return uvloop.run(main)
    return asyncio.run(main)


@pytest.mark.parametrize("loop_kind", ["asyncio", "uvloop"])
def test_a_callback_runs_the_waiting_task_at_once_in_its_own_context(loop_kind):
    seen = []

    async def waiting(waiter):
        VAR.set("the task's")
        assert await waiter is None
        seen.append(("woken", VAR.get(), asyncio.current_task() is task))

    def callback(waiter):
        assert asyncio.current_task() is None
        waiter.set_result(None)
        seen.append("after set_result")  # the task ran its step within the call

    async def main():
        nonlocal task
        loop = asyncio.get_running_loop()
        waiter = Waiter(loop)
        assert waiter.get_loop() is loop and repr(waiter) == "<Waiter pending>"
        task = loop.create_task(waiting(waiter))
        await asyncio.sleep(0)
        assert waiter._asyncio_future_blocking is False  # the task took it and cleared it
        loop.call_soon(callback, waiter)
        await task
        assert waiter.done() and not waiter.cancelled() and waiter.result() is None
        assert waiter.exception() is None and repr(waiter) == "<Waiter done>"
        with pytest.raises(asyncio.InvalidStateError, match="^the wait is over already$"):
            waiter.set_result(None)

    task = None
    run(main(), loop_kind)
    assert seen == [("woken", "the task's", True), "after set_result"]


@pytest.mark.parametrize("loop_kind", ["asyncio", "uvloop"])
def test_from_a_task_or_with_set_result_soon_the_wake_up_waits_for_the_loop(loop_kind):
    async def main():
        loop = asyncio.get_running_loop()
        order = []

        async def waiting(waiter, name):
            await waiter
            order.append(name)

        first, second = Waiter(loop), Waiter(loop)
        tasks = [loop.create_task(waiting(first, "first")),
                 loop.create_task(waiting(second, "second"))]
        await asyncio.sleep(0)
        first.set_result(None)  # from this task: scheduled
        order.append("set from a task")
        loop.call_soon(lambda: (second.set_result_soon(None), order.append("set soon")))
        await asyncio.gather(*tasks)
        return order

    assert run(main(), loop_kind) == ["set from a task", "first", "set soon", "second"]


def test_cancellation_failure_and_misuse():
    async def main():
        loop = asyncio.get_running_loop()
        waiter = Waiter(loop)
        task = loop.create_task(asyncio.wait_for(waiter, 10))
        await asyncio.sleep(0)
        task.cancel("enough")
        with pytest.raises(asyncio.CancelledError):
            await task
        assert waiter.cancelled() and not waiter.cancel()
        with pytest.raises(asyncio.CancelledError):
            waiter.result()

        failing = Waiter(loop)
        task = loop.create_task(asyncio.wait_for(failing, 10))
        await asyncio.sleep(0)
        failing.set_exception(TimeoutError)  # a class is made an instance, as with a Future
        with pytest.raises(TimeoutError):
            await task
        assert isinstance(failing.exception(), TimeoutError)
        with pytest.raises(TypeError, match="^set_exception takes an exception$"):
            Waiter(loop).set_exception(3)

        pending = Waiter(loop)
        with pytest.raises(asyncio.InvalidStateError, match="^the wait is not over$"):
            pending.result()
        with pytest.raises(ValueError, match="^a Waiter's result is None$"):
            pending.set_result(1)
        late = []
        pending.add_done_callback(late.append)
        pending.add_done_callback(late.append)
        assert pending.remove_done_callback(late.append) == 2
        pending.set_result(None)
        assert await pending is None and late == []
        pending.add_done_callback(late.append)  # added after the end: at the next turn
        assert late == []
        await asyncio.sleep(0)
        assert late == [pending]

    run(main())


def test_a_failing_callback_goes_to_the_loops_handler_and_the_others_still_run():
    async def main():
        loop = asyncio.get_running_loop()
        reported, ran = [], []
        loop.set_exception_handler(lambda _loop, context: reported.append(context))
        waiter = Waiter(loop)
        waiter.add_done_callback(lambda w: 1 / 0)
        waiter.add_done_callback(ran.append)
        loop.call_soon(waiter.set_result, None)
        await asyncio.sleep(0.01)
        return reported, ran, waiter

    reported, ran, waiter = run(main())
    assert ran == [waiter]
    assert len(reported) == 1 and isinstance(reported[0]["exception"], ZeroDivisionError)
    assert reported[0]["future"] is waiter


def test_a_waiter_in_a_reference_cycle_is_collected():
    class Holder:
        def woken(self, waiter):
            pass

    loop = asyncio.new_event_loop()
    try:
        holder = Holder()
        holder.waiter = Waiter(loop)
        holder.waiter.add_done_callback(holder.woken)  # waiter -> callback -> holder -> waiter
        ref = weakref.ref(holder)  # collected only if the waiter's references are traversed
        del holder
        gc.collect()
        assert ref() is None
    finally:
        loop.close()
