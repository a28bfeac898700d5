"""Argon2id keys from argon2-cffi, an implementation independent of ours.

Usage: argon2_reference.py PASSPHRASE_HEX:SALT_HEX ...
Prints one lower-case hex key per argument, with the vault's parameters.
"""

import sys

from argon2.low_level import Type, hash_secret_raw


def derive(passphrase: bytes, salt: bytes) -> bytes:
    return hash_secret_raw(
        passphrase,
        salt,
        time_cost=2,
        memory_cost=19456,
        parallelism=1,
        hash_len=32,
        type=Type.ID,
        version=19,
    )


def main(arguments: list[str]) -> int:
    for argument in arguments:
        passphrase_hex, salt_hex = argument.split(":")
        print(derive(bytes.fromhex(passphrase_hex), bytes.fromhex(salt_hex)).hex())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
