"""What a session call becomes for the agent: its result as JSON-ready values,
its failure as a tool error. Calls run on a worker thread, because one may
wait minutes for a human or a child program while the server must go on
answering."""

from __future__ import annotations

import base64
import logging
from collections.abc import Callable
from typing import Any, Literal, TypeVar

import anyio
import anyio.to_thread
from mcp.server.mcpserver.exceptions import ToolError
from typing_extensions import TypedDict

import tarnel_ffi
from tarnel_mcp.agent_errors import refusal

logger = logging.getLogger("tarnel_mcp")

T = TypeVar("T")

INTERNAL_FAULT = "internal fault in the vault server; the call did not complete (the server goes on serving)"


class EncodedBytes(TypedDict):
    value: str
    encoding: Literal["utf-8", "base64"]


class RunResult(TypedDict):
    status: int | None
    stdout: str
    stdout_encoding: Literal["utf-8", "base64"]
    stderr: str
    stderr_encoding: Literal["utf-8", "base64"]


def encode_bytes(data: bytes) -> EncodedBytes:
    """Text when the bytes are UTF-8; else base64, marked as such."""
    try:
        return {"value": data.decode("utf-8"), "encoding": "utf-8"}
    except UnicodeDecodeError:
        return {"value": base64.b64encode(data).decode("ascii"), "encoding": "base64"}


def run_result(output: dict[str, Any]) -> RunResult:
    stdout = encode_bytes(output["stdout"])
    stderr = encode_bytes(output["stderr"])
    return {
        "status": output["status"],
        "stdout": stdout["value"],
        "stdout_encoding": stdout["encoding"],
        "stderr": stderr["value"],
        "stderr_encoding": stderr["encoding"],
    }


# How often a call that waits tells the client it is still going; progress
# resets the request time-out in clients that support it.
PROGRESS_SECONDS = 5.0


async def call_session(call: Callable[[tarnel_ffi.CancelToken], T], ctx: Any = None,
                       waiting: str = "waiting for the vault's owner", about: str | None = None,
                       quick: bool = False) -> T:
    """Runs one session call off the event loop and maps its failures.

    The call gets a cancel token: when the client cancels the request (or
    times out, or goes away), the token ends the module's wait, which
    withdraws a request to the owner or stops a running program. While the
    call runs, `ctx` (a tool's Context) reports progress every few seconds.

    The module's own exceptions become a sentence for the agent about what
    the call named (`about`, a coordinate) and the module's word. Anything
    else is a fault: the agent gets a fixed text and the log gets the type,
    never a message that might quote a value.

    A `quick` call is one that takes no lock, writes nothing and waits for
    nobody (a metadata query reads one record, refusing what could block):
    it runs right here, which spares the thread and the progress task that
    are most of a short call's time.
    """
    token = tarnel_ffi.CancelToken()

    async def keep_informed() -> None:
        # Cancelled with the request, or once the call is over; either way
        # the module stops waiting.
        try:
            ticks = 0
            while True:
                await anyio.sleep(PROGRESS_SECONDS)
                ticks += 1
                if ctx is not None:
                    await ctx.report_progress(ticks * PROGRESS_SECONDS, None, waiting)
        finally:
            token.cancel()

    def run() -> tuple[bool, Any]:
        # Failures are carried out as values: raised inside the task group they
        # would come out wrapped in an exception group.
        try:
            return True, call(token)
        except tarnel_ffi.TarnelError as error:
            return False, ToolError(refusal(error, about))
        except (KeyboardInterrupt, SystemExit, GeneratorExit):
            raise
        except BaseException as fault:  # the module reports its own bugs as BaseException
            logger.error("internal fault in a session call: %s", type(fault).__qualname__)
            return False, ToolError(INTERNAL_FAULT)

    if quick:
        ok, outcome = run()
    else:
        async with anyio.create_task_group() as group:
            group.start_soon(keep_informed)
            try:
                # Not abandoned on cancellation: the thread returns once the token ends its wait.
                ok, outcome = await anyio.to_thread.run_sync(run)
            finally:
                group.cancel_scope.cancel()
    if not ok:
        raise outcome from None
    return outcome
