"""Seals and frames a literal record the way tarnel's store lays it out.

Usage: seal_record.py VAULT_DIR KEY_HEX CANONICAL_PATH VALUE
Writes VAULT_DIR/<blake3(CANONICAL_PATH)>.sec and prints its path.
"""

import json
import os
import sys

import blake3
from cryptography.hazmat.primitives.ciphers.aead import ChaCha20Poly1305


def main() -> int:
    vault_dir, key_hex, canonical_path, value = sys.argv[1:5]
    environment, component, key = canonical_path.split("/")
    record = {
        "mode": "literal",
        "value": list(value.encode("utf-8")),
        "sensitivity": "high",
        "revealable": False,
        "environment": environment,
        "component": component,
        "key": key,
        "description": "sealed by the interop script",
        "created": "2026-02-03T04:05:06Z",
        "updated": "2026-02-03T04:05:06Z",
    }
    plaintext = json.dumps(record, separators=(",", ":")).encode("utf-8")
    nonce = os.urandom(12)
    ciphertext = ChaCha20Poly1305(bytes.fromhex(key_hex)).encrypt(nonce, plaintext, None)
    sealed = json.dumps({"nonce": list(nonce), "ciphertext": list(ciphertext)}, separators=(",", ":"))
    frame = b"TARN" + (1).to_bytes(4, "little") + sealed.encode("utf-8")
    name = blake3.blake3(canonical_path.encode("utf-8")).hexdigest() + ".sec"
    path = os.path.join(vault_dir, name)
    with open(path, "wb") as handle:
        handle.write(frame)
    print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
