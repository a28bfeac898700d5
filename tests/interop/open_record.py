"""Opens a tarnel record file with Python's own ChaCha20-Poly1305 and json.

Usage: open_record.py RECORD_FILE KEY_HEX
Prints one JSON line describing what was found; exits non-zero on any mismatch.
"""

import json
import sys

from cryptography.hazmat.primitives.ciphers.aead import ChaCha20Poly1305


def no_duplicates(pairs):
    names = [name for name, _ in pairs]
    if len(names) != len(set(names)):
        raise ValueError(f"duplicate member in {names}")
    return dict(pairs)


def main() -> int:
    path, key_hex = sys.argv[1], sys.argv[2]
    with open(path, "rb") as handle:
        data = handle.read()
    version = int.from_bytes(data[4:8], "little")
    framed = data[:4] == b"TARN" and version == 1
    sealed = json.loads(data[8:].decode("utf-8"), object_pairs_hook=no_duplicates) if framed else {}
    nonce = bytes(sealed.get("nonce", []))
    for broken, text in ((data[:4] != b"TARN", "bad magic"), (version != 1, f"bad version {version}"),
                         (list(sealed) != ["nonce", "ciphertext"], f"sealed members {list(sealed)}"),
                         (len(nonce) != 12, f"nonce length {len(nonce)}")):
        if broken:
            print(text, file=sys.stderr)
            return 1
    plaintext = ChaCha20Poly1305(bytes.fromhex(key_hex)).decrypt(nonce, bytes(sealed["ciphertext"]), None)
    record = json.loads(plaintext.decode("utf-8"), object_pairs_hook=no_duplicates)
    summary = {
        "members": list(record),
        "mode": record["mode"],
        "value": bytes(record["value"]).decode("utf-8"),
        "path": f"{record['environment']}/{record['component']}/{record['key']}",
        "compact": plaintext == json.dumps(record, separators=(",", ":"), ensure_ascii=False).encode("utf-8"),
    }
    print(json.dumps(summary, separators=(",", ":")))
    return 0


if __name__ == "__main__":
    sys.exit(main())
