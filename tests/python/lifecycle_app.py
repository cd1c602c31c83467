"""The deployment application (deploy_app) with a lifespan the tests steer through the
environment: LIFESPAN_APP is ok, raise (no lifespan support), fail-late (the startup fails
after 1.5 s), hang (the startup never ends) or fail-if:PATH (the startup fails while PATH
exists). Each lifespan message is noted, with the process id, in the file LIFESPAN_MARK, and so
is the path of each request as it begins."""

import asyncio
import os
import traceback

import deploy_app


def note(text):
    mark = os.environ.get("LIFESPAN_MARK")
    if mark:
        with open(mark, "a") as f:
            f.write(f"{text} {os.getpid()}\n")


async def app(scope, receive, send):
    if scope["type"] != "lifespan":
        note(f"request:{scope['path']}")
        await deploy_app.app(scope, receive, send)
        return
    mode = os.environ.get("LIFESPAN_APP", "ok")
    if mode == "raise":
        raise RuntimeError("this application has no lifespan")
    message = await receive()
    failing = mode.startswith("fail-if:") and os.path.exists(mode[8:])
    note(message["type"])  # after the check: once noted, the flag no longer matters
    if mode == "fail-late":
        await asyncio.sleep(1.5)
        await send({"type": "lifespan.startup.failed", "message": "no database"})
        return
    if mode == "hang":
        await asyncio.sleep(3600)
    if failing:
        await send({"type": "lifespan.startup.failed", "message": "no database"})
        return
    await send({"type": "lifespan.startup.complete"})
    # as application frameworks do: whatever ends the wait for the shutdown is reported as a
    # failed shutdown, with its traceback
    try:
        message = await receive()
    except BaseException:
        await send({"type": "lifespan.shutdown.failed", "message": traceback.format_exc()})
        raise
    note(message["type"])
    await send({"type": "lifespan.shutdown.complete"})
