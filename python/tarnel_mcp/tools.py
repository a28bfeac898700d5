"""The tools an agent sees: one per session operation, listed only when the
server's scope grants the operation. Every call goes through the session, so
the module's policy decides; a tool only converts arguments and results."""

from __future__ import annotations

import inspect
from typing import Annotated, Any, cast

from mcp.server.mcpserver import Context, MCPServer
from mcp_types import ToolAnnotations
from pydantic import Field
from typing_extensions import TypedDict

import tarnel_ffi
from tarnel_mcp.identity import ConnectionIdentities
from tarnel_mcp.results import EncodedBytes, RunResult, call_session, encode_bytes, run_result

Coordinate = Annotated[str, Field(description="The secret's address, secret:ENVIRONMENT/COMPONENT/KEY, "
                                              "e.g. secret:dev/app/api-token")]
Project = Annotated[str | None, Field(description="A project vault to use; none means the global vault")]
Sensitivity = Annotated[str | None, Field(description="low, medium, high or inject-only")]
Description = Annotated[str | None, Field(description="What the secret is for")]


class SecretView(TypedDict):
    coordinate: str
    environment: str
    component: str
    key: str
    sensitivity: str
    mode: str
    fingerprint: str
    revealable: bool
    origin: str
    reference: str | None


class SecretList(TypedDict):
    secrets: list[SecretView]


class Fingerprint(TypedDict):
    coordinate: str
    fingerprint: str


class Deleted(TypedDict):
    coordinate: str
    deleted: bool


class IntakeRequest(TypedDict):
    intake_id: str
    client_identity: str


_READ = ToolAnnotations(read_only_hint=True, idempotent_hint=True, open_world_hint=False)


def _view(view: dict[str, Any]) -> SecretView:
    return cast(SecretView, view)


class VaultTools:
    """The tools of one server, bound to its session."""

    def __init__(self, session: tarnel_ffi.TarnelSession, identities: ConnectionIdentities) -> None:
        self._session = session
        self._identities = identities

    def _client_identity(self, ctx: Context) -> str:
        return self._identities.describe(ctx.session.client_params)

    # --- metadata ---------------------------------------------------------------

    async def list_secrets(self) -> SecretList:
        """List the secrets this server lets you address: coordinate, sensitivity, mode,
        fingerprint, origin and whether you may reveal it. Never returns a value.
        Secrets outside your scope are simply not listed."""
        views = await call_session(lambda _cancel: self._session.list())
        return {"secrets": [_view(view) for view in views]}

    async def secret_status(self, coordinate: Coordinate, project: Project = None) -> SecretView:
        """Metadata of one secret (no value). A secret outside your scope and one
        that does not exist give the same error, "not addressable"."""
        return _view(await call_session(lambda _cancel: self._session.status(coordinate, project), about=coordinate,
                                        quick=True))

    async def secret_fingerprint(self, coordinate: Coordinate, project: Project = None) -> Fingerprint:
        """The short fingerprint of a secret's value, to tell whether two values are
        the same or a value changed, without seeing it. "not addressable" when outside
        your scope or absent."""
        fingerprint = await call_session(lambda _cancel: self._session.fingerprint(coordinate, project),
                                         about=coordinate, quick=True)
        return {"coordinate": coordinate, "fingerprint": fingerprint}

    # --- reveal -----------------------------------------------------------------

    async def reveal_secret(self, coordinate: Coordinate, project: Project = None) -> EncodedBytes:
        """Return a secret's value into your context. Only a literal marked revealable,
        of low or medium sensitivity and outside prod, is ever returned; prod, high and
        inject-only values, references, keypairs and TOTP seeds are refused (use
        run_with_secrets to use them without seeing them). Every reveal is audited.
        The value is UTF-8 text, or base64 when encoding says so."""
        return encode_bytes(await call_session(lambda _cancel: self._session.reveal(coordinate, project),
                                               about=coordinate))

    # --- write ------------------------------------------------------------------

    async def set_secret(
        self, coordinate: Coordinate,
        value: Annotated[str, Field(description="The new value; it is stored, never echoed back")],
        project: Project = None,
    ) -> SecretView:
        """Create a literal secret or replace its value; returns its metadata, never the
        value. A new secret in prod is high sensitivity. Refuses keypairs and TOTP
        enrolments, and anything outside your scope ("not addressable")."""
        return _view(await call_session(lambda _cancel: self._session.set(coordinate, value, project),
                                        about=coordinate))

    async def generate_secret(
        self, coordinate: Coordinate,
        length: Annotated[int, Field(ge=0, le=65536, description="Number of characters (A-Z, a-z, 0-9)")] = 32,
        sensitivity: Sensitivity = None, description: Description = None, project: Project = None,
    ) -> SecretView:
        """Generate a random value server-side and store it as a new secret; you get its
        metadata and fingerprint, never the value. Refuses a coordinate that already
        exists and anything outside your scope. In prod the secret is always high."""
        return _view(await call_session(
            lambda _cancel: self._session.generate(coordinate, length, sensitivity, description, project),
            about=coordinate))

    async def delete_secret(self, coordinate: Coordinate, project: Project = None) -> Deleted:
        """Delete a secret for good. "not addressable" when it is outside your scope or
        absent. Audited."""
        await call_session(lambda _cancel: self._session.delete(coordinate, project), about=coordinate)
        return {"coordinate": coordinate, "deleted": True}

    async def edit_secret_metadata(
        self, ctx: Context, coordinate: Coordinate, sensitivity: Sensitivity = None, description: Description = None,
        revealable: Annotated[bool | None, Field(description="Whether an agent may reveal the value")] = None,
        reference: Annotated[str | None, Field(description="New provider URI, for a reference secret only")] = None,
        project: Project = None,
    ) -> SecretView:
        """Change a secret's sensitivity, description, revealable flag or (for a reference)
        its URI, without touching the value. Raising protection is immediate; lowering a
        high or inject-only secret, making a value revealable, or pointing a reference at
        another URI waits, up to two minutes, for the vault's owner to approve it with
        `tarnel` and is refused if they deny it or do not answer. While it waits the server
        sends progress notifications to a client that asked for them; cancelling the call
        withdraws the request."""
        return _view(await call_session(lambda cancel: self._session.edit_metadata(
            coordinate, sensitivity, description, revealable, reference, project, cancel=cancel), ctx,
            about=coordinate))

    async def request_secret(
        self, ctx: Context, coordinate: Coordinate, sensitivity: Sensitivity = None,
        description: Description = None, project: Project = None,
    ) -> IntakeRequest:
        """Ask the vault's owner to create a secret you need. You name only where it goes
        (and optionally its sensitivity and what it is for); there is no value
        parameter: the owner supplies the value out of band, so it never enters your
        context. Returns the request's id. Refused outside your scope."""
        identity = self._client_identity(ctx)
        intake_id = await call_session(lambda _cancel: self._session.request_secret(
            coordinate, sensitivity, description, project, identity), about=coordinate)
        return {"intake_id": intake_id, "client_identity": identity}

    # --- inject -----------------------------------------------------------------

    async def run_with_secrets(
        self, ctx: Context,
        refs: Annotated[str, Field(description="The text of an .env.refs file, one VAR=source a line, "
                                               "e.g. DB_PASSWORD=secret:${ENV}/db/password")],
        env: Annotated[str, Field(description="The environment that replaces ${ENV} in the refs")],
        program: Annotated[str, Field(description="The program to run, a path or a name on PATH")],
        args: Annotated[list[str], Field(description="The program's arguments")] = [],  # noqa: B006
        project: Project = None,
    ) -> RunResult:
        """Run a program with secrets in its environment, without you seeing them: you get
        its exit status (null after a signal) and its output, with every vault value
        masked. Refused when a refs entry is outside your scope. High or prod values run
        only as an entry of the owner's allowlist permits: the program, its arguments, and
        each variable you set yourself (a literal or ${env:} line); high values also wait,
        up to two minutes, for the owner's approval (progress notifications are sent
        meanwhile). Cancelling the call withdraws the request or stops the program and
        everything it started. Output is UTF-8 text, or base64 when its encoding says so."""
        identity = self._client_identity(ctx)
        output = await call_session(lambda cancel: self._session.inject_run(
            refs, env, program, list(args), project, identity, cancel=cancel), ctx,
            "waiting for the vault's owner or the program")
        return run_result(output)


# Operation → (tool name, annotations), in the order they are listed.
_TOOLS: dict[str, list[tuple[str, ToolAnnotations]]] = {
    "metadata": [
        ("list_secrets", _READ),
        ("secret_status", _READ),
        ("secret_fingerprint", _READ),
    ],
    "reveal": [
        ("reveal_secret", ToolAnnotations(read_only_hint=True, open_world_hint=False)),
    ],
    "write": [
        ("set_secret", ToolAnnotations(read_only_hint=False, destructive_hint=True, idempotent_hint=True,
                                       open_world_hint=False)),
        ("generate_secret", ToolAnnotations(read_only_hint=False, destructive_hint=False, open_world_hint=False)),
        ("delete_secret", ToolAnnotations(read_only_hint=False, destructive_hint=True, idempotent_hint=False,
                                          open_world_hint=False)),
        ("edit_secret_metadata", ToolAnnotations(read_only_hint=False, destructive_hint=False,
                                                 open_world_hint=False)),
        ("request_secret", ToolAnnotations(read_only_hint=False, destructive_hint=False, open_world_hint=False)),
    ],
    "inject": [
        ("run_with_secrets", ToolAnnotations(read_only_hint=False, destructive_hint=True, open_world_hint=True)),
    ],
}


def register_tools(server: MCPServer, tools: VaultTools, operations: tuple[str, ...]) -> list[str]:
    """Adds the tools of the granted operations; returns their names."""
    names = []
    for operation, entries in _TOOLS.items():
        if operation not in operations:
            continue
        for name, annotations in entries:
            function = getattr(tools, name)
            # One paragraph: clients show the description as it comes.
            description = " ".join(inspect.cleandoc(function.__doc__ or "").split())
            server.add_tool(function, name=name, description=description, annotations=annotations,
                            structured_output=True)
            names.append(name)
    return names
