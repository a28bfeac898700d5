"""The server itself: one vault session, opened at start with the scope the
server's configuration grants, and the tools of that scope."""

from __future__ import annotations

import logging
from typing import Any

from mcp.server.auth.settings import AuthSettings
from mcp.server.mcpserver import MCPServer
from mcp.server.mcpserver.exceptions import ToolError, UnexpectedToolError
from pydantic import ValidationError
from mcp.server.transport_security import TransportSecuritySettings
from pydantic import AnyHttpUrl

import tarnel_ffi
from tarnel_mcp import __version__
from tarnel_mcp.agent_errors import argument_errors
from tarnel_mcp.config import ServerConfig
from tarnel_mcp.http_auth import FileTokenVerifier, load_or_create_token
from tarnel_mcp.identity import ConnectionIdentities
from tarnel_mcp.tools import VaultTools, register_tools

logger = logging.getLogger("tarnel_mcp")

LOOPBACK = "127.0.0.1"
# The SDK's loopback defaults, and the same hosts named without a port, as
# some clients send them.
_LOOPBACK_HOSTS = ["127.0.0.1", "127.0.0.1:*", "localhost", "localhost:*", "[::1]", "[::1]:*"]
_LOOPBACK_ORIGINS = ["http://127.0.0.1", "http://127.0.0.1:*", "http://localhost", "http://localhost:*",
                     "http://[::1]", "http://[::1]:*"]
# Named in every refusal of a missing or wrong token, beside the SDK's error.
REALM = "tarnel"

INSTRUCTIONS = (
    "Secrets of the user's tarnel vault. You can see metadata and fingerprints, reveal only "
    "low-risk values, run programs with secrets injected and masked out of their output, and "
    "ask the user to create a secret you need. A coordinate reads secret:ENVIRONMENT/COMPONENT/KEY. "
    "\"not addressable\" means outside your scope or absent; the two are not told apart."
)


class VaultServer(MCPServer):
    """The SDK's server, with the tool errors an agent reads put in its terms:
    wrong arguments in one line that names each and its type, and a refusal in
    the words the tool chose, without the SDK's "Error executing tool" frame."""

    async def call_tool(self, name: str, arguments: dict[str, Any], context: Any = None) -> Any:
        try:
            return await super().call_tool(name, arguments, context)
        except UnexpectedToolError:
            raise
        except ToolError as error:
            cause = error.__cause__
            if isinstance(cause, ValidationError):
                schema = next((tool.input_schema for tool in await self.list_tools() if tool.name == name), {})
                raise ToolError(argument_errors(cause.errors(), schema)) from cause
            if isinstance(cause, ToolError):
                raise ToolError(str(cause)) from cause
            raise


def open_session(config: ServerConfig, passphrase: str | None) -> tarnel_ffi.TarnelSession:
    """The session every connection of this server shares; the module keeps only the key."""
    return tarnel_ffi.TarnelSession(config.scope(), vault_dir=str(config.vault_root()), passphrase=passphrase)


def build_server(config: ServerConfig, session: tarnel_ffi.TarnelSession) -> MCPServer:
    verifier = None
    auth = None
    if config.http:
        token, token_path = load_or_create_token(config.vault_root())
        verifier = FileTokenVerifier(token)
        # The SDK's bearer check needs auth settings; no OAuth endpoint is served from them.
        auth = AuthSettings(issuer_url=AnyHttpUrl(f"http://{LOOPBACK}:{config.port}"), resource_server_url=None)
        logger.info("HTTP clients must send the bearer token in %s", token_path)
    server: MCPServer = VaultServer(
        name="tarnel",
        version=__version__,
        instructions=INSTRUCTIONS,
        token_verifier=verifier,
        auth=auth,
        log_level="WARNING",
    )
    names = register_tools(server, VaultTools(session, ConnectionIdentities()), config.operations)
    logger.info("tools: %s", ", ".join(names) or "none")
    return server


def _with_realm(app):
    """The SDK's 401 says `Bearer error=...`; a client reads the realm there too.
    There is no OAuth: the token is the static one of the token file."""

    async def wrapped(scope, receive, send):
        async def send_with_realm(message):
            if message.get("type") == "http.response.start" and message.get("status") == 401:
                message = {**message, "headers": [
                    (name, value.replace(b"Bearer ", f'Bearer realm="{REALM}", '.encode(), 1)
                     if name.lower() == b"www-authenticate" else value)
                    for name, value in message.get("headers", [])]}
            await send(message)

        await app(scope, receive, send_with_realm)

    return wrapped


def serve(config: ServerConfig, server: MCPServer) -> None:
    if not config.http:
        server.run("stdio")
        return
    import uvicorn

    logger.info("serving MCP at http://%s:%d/mcp", LOOPBACK, config.port)
    # The SDK's Host and Origin checks against DNS rebinding, for loopback names only.
    security = TransportSecuritySettings(enable_dns_rebinding_protection=True, allowed_hosts=_LOOPBACK_HOSTS,
                                         allowed_origins=_LOOPBACK_ORIGINS)
    app = server.streamable_http_app(transport_security=security, host=LOOPBACK)
    uvicorn.run(_with_realm(app), host=LOOPBACK, port=config.port, log_level="warning")

