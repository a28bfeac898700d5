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


async def call_session(call: Callable[[], T]) -> T:
    """Runs one session call off the event loop and maps its failures.

    The module's own exceptions carry texts meant for the agent. Anything
    else is a fault: the agent gets a fixed text and the log gets the type,
    never a message that might quote a value.
    """
    try:
        return await anyio.to_thread.run_sync(call)
    except tarnel_ffi.TarnelError as error:
        raise ToolError(str(error)) from None
    except (anyio.get_cancelled_exc_class(), KeyboardInterrupt, SystemExit, GeneratorExit):
        raise
    except BaseException as fault:  # the module reports its own bugs as BaseException
        logger.error("internal fault in a session call: %s", type(fault).__qualname__)
        raise ToolError(INTERNAL_FAULT) from None
