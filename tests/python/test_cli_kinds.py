# ref, keypair, totp and code on the real command: what they write is read
# back by the module and by independent code (cryptography, hmac), and what
# they refuse leaves the vault as it was.

import base64
import hashlib
import hmac
import struct
import time

import pytest

from human import agent_session, needs_tarnel, tarnel
from vaultkit import audit_pairs, keypair, literal, totp

pytestmark = needs_tarnel
RFC_SEED = b"12345678901234567890"
RFC_BASE32 = base64.b32encode(RFC_SEED).decode()


def hotp(seed: bytes, counter: int, algorithm: str, digits: int) -> str:
    mac = hmac.new(seed, struct.pack(">Q", counter), getattr(hashlib, algorithm)).digest()
    value = struct.unpack(">I", mac[mac[-1] & 0x0F:][:4])[0] & 0x7FFFFFFF
    return str(value % 10 ** digits).zfill(digits)


# The forms of an enrolment are the core's (totp_test); here, that the settings reach the code.
def test_ref_keypair_and_totp_write_what_the_module_cryptography_and_hmac_read(vault):
    from cryptography.hazmat.primitives.serialization import load_ssh_private_key, load_ssh_public_key
    done = tarnel(vault.root, "ref", "secret:dev/app/db", "aws-sm://us-east-1/team/db", "--project", "web")
    assert done.stdout == "ref dev/app/db (medium, \u2192 aws-sm://us-east-1/team/db)\n".encode(), done.stderr
    view = agent_session(vault.root).status("secret:dev/app/db", project="web")
    assert (view["mode"], view["reference"]) == ("reference", "aws-sm://us-east-1/team/db")
    done = tarnel(vault.root, "keypair", "secret:dev/deploy/ssh", "--comment", "ci@example")
    line = done.stdout.decode()
    assert line.startswith("ssh-ed25519 AAAA") and line.endswith(" ci@example\n") and line.count("\n") == 1
    private_text = bytes(vault.read("dev/deploy/ssh")["private"])
    assert private_text not in done.stdout + done.stderr
    load_ssh_public_key(line.encode()).verify(load_ssh_private_key(private_text, password=None).sign(b"x"), b"x")
    algorithm, digits, period = "sha512", 8, 60
    done = tarnel(vault.root, "totp", "secret:dev/app/otp", "--algorithm", "SHA512", "--digits", "8", "--period", "60",
                  input=RFC_BASE32.rstrip("=").encode())
    assert done.stdout == f"totp dev/app/otp (medium, totp:{algorithm})\n".encode(), done.stderr
    before = int(time.time()) // period
    code = tarnel(vault.root, "code", "secret:dev/app/otp")
    # The run may cross a step boundary: any step it overlapped is right.
    expected = {hotp(RFC_SEED, step, algorithm, digits) for step in range(before, int(time.time()) // period + 1)}
    assert code.returncode == 0 and code.stdout.decode().removesuffix("\n") in expected, code.stderr
    assert audit_pairs(vault) == [("create", "created"), ("create", "generated"), ("create", "created"),
                                  ("access", "code-derived")]
    assert RFC_BASE32.encode() not in done.stdout + done.stderr + vault.audit_bytes()


@pytest.mark.parametrize(("argv", "piped", "status", "message"), [
    (["totp", "secret:dev/app/new"], f"otpauth://hotp/x?secret={RFC_BASE32}&counter=0", 1,
     "totp operation failed: "),
    (["code", "secret:dev/app/token"], "", 1, "`secret:dev/app/token` is a literal, not a TOTP enrollment"),
    (["code", "secret:dev/app/guarded"], "", 4, "a code of this enrollment needs your confirmation on a terminal"),
    (["set", "secret:dev/app/ssh"], "v", 1, "`secret:dev/app/ssh` is a keypair; it cannot be overwritten with `set`"),
])
def test_refusals_leave_the_vault_as_it_was_and_never_echo_a_seed(vault, argv, piped, status, message):
    files = [vault.write(literal("dev/app/token", b"v")), vault.write(totp("dev/app/guarded", RFC_SEED)),
             vault.write(keypair("dev/app/ssh", "ssh-ed25519 AAAA", private=b"pv-7731", sensitivity="low"))]
    before = [path.read_bytes() for path in files]
    done = tarnel(vault.root, *argv, input=piped.encode())
    assert (done.returncode, done.stdout) == (status, b"") and done.stderr.startswith(f"tarnel: {message}".encode())
    assert RFC_BASE32[:16].encode() not in done.stderr and b"pv-7731" not in done.stderr
    assert [path.read_bytes() for path in files] == before and vault.read("dev/app/new") is None
