# An independent reader and writer of vault files (json, hashlib, hmac, argon2-cffi,
# blake3, cryptography): a second implementation of the formats, which also puts in
# place records the module offers no way to create (keypairs, TOTP enrolments).

from __future__ import annotations

import hashlib
import hmac
import json
import os
import struct
from pathlib import Path

from argon2.low_level import Type, hash_secret_raw
from blake3 import blake3
from cryptography.hazmat.primitives.ciphers.aead import ChaCha20Poly1305

PASSPHRASE = "correct horse battery staple"
STAMP = "2026-01-02T03:04:05Z"


def derive_key(passphrase: str, salt: bytes) -> bytes:
    return hash_secret_raw(passphrase.encode(), salt, time_cost=2, memory_cost=19456, parallelism=1, hash_len=32,
                           type=Type.ID, version=19)


def _record(path, sensitivity, revealable, **kind) -> dict:
    environment, component, key = path.split("/")
    meta = {"sensitivity": sensitivity, "revealable": revealable, "environment": environment,
            "component": component, "key": key}
    return {**kind, **meta, "created": STAMP, "updated": STAMP}


def literal(path: str, value: bytes, sensitivity="medium", revealable=False):
    return _record(path, sensitivity, revealable, mode="literal", value=list(value))


def reference(path: str, uri: str, sensitivity="medium", revealable=False):
    return _record(path, sensitivity, revealable, mode="reference", ref=uri)


def keypair(path: str, public: str, private: bytes = b"private-key", sensitivity="high"):
    return _record(path, sensitivity, False, mode="keypair", algorithm="ed25519", private=list(private), public=public)


def totp(path: str, seed: bytes, sensitivity="high"):
    return _record(path, sensitivity, False, mode="totp", seed=list(seed), algorithm="sha1", digits=6, period=30)


class Vault:  # a vault root in a temporary directory, keyed by a passphrase
    def __init__(self, root: Path, passphrase: str = PASSPHRASE, salt: bytes | None = bytes(range(16))):
        if salt is not None:  # None: a vault root already in place, whose salt is read
            root.mkdir(parents=True, exist_ok=True)
            (root / "kdf.salt").write_bytes(salt)
        self.root, self.passphrase = root, passphrase
        self.key = derive_key(passphrase, (root / "kdf.salt").read_bytes())

    @classmethod
    def existing(cls, root: Path, passphrase: str = PASSPHRASE) -> Vault:
        return cls(root, passphrase, None)

    def path_of(self, canonical_path: str, project: str | None = None) -> Path:
        folder = self.root / "global" if project is None else self.root / "projects" / project
        return folder / f"{blake3(canonical_path.encode()).hexdigest()}.sec"

    def write(self, record: dict, project: str | None = None) -> Path:
        plaintext = json.dumps(record, separators=(",", ":"), ensure_ascii=False).encode()
        nonce = os.urandom(12)
        sealed = {"nonce": list(nonce), "ciphertext": list(ChaCha20Poly1305(self.key).encrypt(nonce, plaintext, None))}
        target = self.path_of("/".join((record["environment"], record["component"], record["key"])), project)
        target.parent.mkdir(mode=0o700, parents=True, exist_ok=True)
        target.write_bytes(b"TARN" + struct.pack("<I", 1) + json.dumps(sealed, separators=(",", ":")).encode())
        target.chmod(0o600)
        return target

    def read(self, canonical_path: str, project: str | None = None) -> dict | None:
        target = self.path_of(canonical_path, project)
        if not target.exists():
            return None
        data = target.read_bytes()
        assert data[:8] == b"TARN\x01\x00\x00\x00"
        sealed = json.loads(data[8:])
        return json.loads(ChaCha20Poly1305(self.key).decrypt(bytes(sealed["nonce"]), bytes(sealed["ciphertext"]), None))

    def audit_bytes(self) -> bytes:
        return (self.root / "audit.log").read_bytes() if (self.root / "audit.log").exists() else b""

    def audit(self) -> list[dict]:
        return [json.loads(line) for line in self.audit_bytes().splitlines()]


def fp(data: bytes) -> str:  # the truncated fingerprint a view shows for a value
    return blake3(data).hexdigest()[:8]


def audit_pairs(vault: Vault) -> list[tuple[str, str]]:
    return [(event["action"], event["result"]) for event in vault.audit()]


# --- the owner's proofs, computed apart from the module -----------------------
#
# crypto_kdf (BLAKE2b keyed by the master key, subkey id 1 in the salt, the
# context in the personalisation) and crypto_auth (HMAC-SHA-512 cut to 32 bytes).

REQUEST_CONTEXT, ANSWER_CONTEXT, ALLOWLIST_CONTEXT = b"tnrqst01", b"tnansr01", b"tnalst01"
MAC_MEMBER = b',"mac":"'


def _proof(master: bytes, context: bytes, message: bytes) -> bytes:
    subkey = hashlib.blake2b(b"", digest_size=32, key=master, salt=struct.pack("<Q", 1) + bytes(8),
                             person=context + bytes(8)).digest()
    return hmac.new(subkey, message, hashlib.sha512).digest()[:32]


# The authenticated bytes of a sealed file and its proof, or None when the proof is not the key's.
def sealed_body(text: bytes, master: bytes, context: bytes) -> tuple[bytes, bytes] | None:
    cut = text.rfind(MAC_MEMBER)
    if cut < 0 or not text.endswith(b'"}'):
        return None
    body, proof = text[:cut], bytes.fromhex(text[cut + len(MAC_MEMBER):-2].decode())
    return (body, proof) if hmac.compare_digest(_proof(master, context, body), proof) else None


def seal(open_object: bytes, master: bytes, context: bytes) -> bytes:
    return open_object + MAC_MEMBER + _proof(master, context, open_object).hex().encode() + b'"}'


# What the owner's tool writes to approve the request (which must verify).
def owner_approval(request_text: bytes, master: bytes) -> bytes:
    sealed = sealed_body(request_text, master, REQUEST_CONTEXT)
    assert sealed is not None, "the request does not carry the vault's proof"
    return b"approved " + _proof(master, ANSWER_CONTEXT, sealed[1] + b"approved").hex().encode() + b"\n"


# --- the sealed allowlist, written and read apart from the module ----------------

def allow_entry(program, arguments=(), more_arguments=True, variables=()) -> dict:  # program: canonical path
    return {"program": os.path.realpath(program), "arguments": list(arguments),
            "more_arguments": more_arguments, "variables": sorted(variables)}


def seal_allowlist(root: Path, master: bytes, *entries: dict) -> None:
    body = json.dumps({"format": 1, "entries": list(entries)}, separators=(",", ":")).encode()[:-1]
    (root / "allowlist").write_bytes(seal(body, master, ALLOWLIST_CONTEXT) + b"\n")


def sealed_allowlist(root: Path, master: bytes) -> list[dict] | None:  # None: not sealed with the key
    sealed = sealed_body((root / "allowlist").read_bytes().removesuffix(b"\n"), master, ALLOWLIST_CONTEXT)
    return None if sealed is None else json.loads(sealed[0] + b"}")["entries"]
