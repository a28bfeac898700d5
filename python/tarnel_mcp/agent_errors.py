"""What a refused call tells the agent: one sentence saying what was refused
and what it can do instead, then the module's own word in brackets. The
module's texts stay as they are for the callers that match them; a text with
no sentence of its own here is passed on whole."""

from __future__ import annotations

from collections.abc import Callable, Iterable
from typing import Any

import tarnel_ffi

_RUN_INSTEAD = "use run_with_secrets to pass it to a program"

# The module's text -> the sentence, given what the call named.
_SENTENCES: dict[str, Callable[[str], str]] = {
    "InjectOnlyNeverRevealed": lambda about: f"{about} is inject-only: its value is never revealed; {_RUN_INSTEAD}",
    "NotRevealable": lambda about: (
        f"{about} is not marked revealable, so its value is not returned over MCP; {_RUN_INSTEAD}, "
        "or ask for revealable=true with edit_secret_metadata, which the owner must approve"),
    "not addressable": lambda about: (
        f"{about} is not addressable: it is outside this server's scope or does not exist (the two are not "
        "told apart); list_secrets shows what you can use"),
}

# A text that starts so -> the sentence.
_SENTENCE_FAMILIES: list[tuple[str, Callable[[str], str]]] = [
    ("reference value is materialized at run time", lambda about: (
        f"{about} is a reference: its value is fetched only when a program runs; {_RUN_INSTEAD}")),
    ("a keypair's private key is never revealed", lambda about: (
        f"{about} is a keypair: its private key is never revealed; the owner uses it with `tarnel` "
        "(sign, decrypt, ssh-add)")),
    ("a TOTP seed is never revealed", lambda about: (
        f"{about} is a TOTP enrolment: its seed is never revealed; the owner derives a code with `tarnel code`")),
]

# A run refused for high or prod values: what the module said, then what to do.
_ALLOWLIST_MARK = "; high/prod injection refused (I15)"
_OWNER_MARK = "; high/prod injection refused"


def _environment(coordinate: str) -> str:
    return coordinate.removeprefix("secret:").split("/", 1)[0]


def refusal(error: tarnel_ffi.TarnelError, about: str | None) -> str:
    """The agent's text for a refused call; `about` is the coordinate it named."""
    text = str(error)
    word = text if text in _SENTENCES or text == "McpCriticalForbidden" else type(error).__name__
    named = about or "a secret the call names"
    if text == "McpCriticalForbidden":
        level = "in prod" if _environment(named) == "prod" else "high"
        sentence = f"{named} is {level}: its value is never revealed over MCP; {_RUN_INSTEAD}"
    elif text in _SENTENCES:
        sentence = _SENTENCES[text](named)
    elif family := next((say for start, say in _SENTENCE_FAMILIES if text.startswith(start)), None):
        sentence = family(named)
    elif text.endswith(_ALLOWLIST_MARK):
        sentence = (f"{text.removesuffix(_ALLOWLIST_MARK)}, so the run may not use high or prod values; only the "
                    "owner can allow it, with `tarnel allow`")
    elif text.endswith(_OWNER_MARK):
        sentence = (f"the run needs the owner's approval for its high or prod values and got none "
                    f"({text.removesuffix(_OWNER_MARK)}); ask the owner, then try again")
    else:
        sentence = text
    return f"{sentence} [{word}]"


def _expected(schema: dict[str, Any]) -> str:
    if "anyOf" in schema:
        return " or ".join(_expected(choice) for choice in schema["anyOf"])
    kind = schema.get("type")
    if kind == "integer" and "minimum" in schema and "maximum" in schema:
        return f"an integer from {schema['minimum']} to {schema['maximum']}"
    if kind == "array":
        return f"a list of {_expected(schema.get('items', {})).removeprefix('a ')}s"
    return {"string": "a string", "integer": "an integer", "boolean": "true or false", "null": "null",
            "number": "a number", "object": "an object"}.get(kind, "a value of its schema")


def argument_errors(errors: Iterable[dict[str, Any]], input_schema: dict[str, Any]) -> str:
    """One line naming each wrong argument and what it must be, never its value."""
    properties = input_schema.get("properties", {})
    said: list[str] = []
    for error in errors:
        name = str(error["loc"][0]) if error.get("loc") else "?"
        expected = _expected(properties.get(name, {}))
        line = (f"argument `{name}` is missing: it must be {expected}" if error.get("type") == "missing"
                else f"argument `{name}` must be {expected}")
        if line not in said:
            said.append(line)
    return "; ".join(said) or "the arguments do not match the tool's schema"
