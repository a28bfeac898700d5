# ref, keypair, totp and code on the real command: what they write is read
# back by the module and by independent code (cryptography, hmac), and what
# they refuse leaves the vault as it was.

import base64
import hashlib
import hmac
import struct
import time

import pytest

from human import agent_session, converse, needs_tarnel, tarnel
from vaultkit import audit_pairs, keypair, literal, totp

pytestmark = needs_tarnel
RFC_SEED = b"12345678901234567890"
RFC_BASE32 = base64.b32encode(RFC_SEED).decode()


def hotp(seed: bytes, counter: int, algorithm: str, digits: int) -> str:
    mac = hmac.new(seed, struct.pack(">Q", counter), getattr(hashlib, algorithm)).digest()
    value = struct.unpack(">I", mac[mac[-1] & 0x0F:][:4])[0] & 0x7FFFFFFF
    return str(value % 10 ** digits).zfill(digits)


def test_ref_makes_a_reference_the_module_lists(vault):
    done = tarnel(vault.root, "ref", "secret:dev/app/db", "aws-sm://us-east-1/team/db", "--project", "web",
                  "--description", "the team database")
    assert done.stdout == "ref dev/app/db (medium, \u2192 aws-sm://us-east-1/team/db)\n".encode(), done.stderr
    view = agent_session(vault.root).status("secret:dev/app/db", project="web")
    assert (view["mode"], view["reference"], view["origin"]) == ("reference", "aws-sm://us-east-1/team/db",
                                                                 "project:web")
    assert vault.read("dev/app/db", project="web")["description"] == "the team database"
    assert [(e["action"], e["result"], e["origin"]) for e in vault.audit()] == [("create", "created", "human")]


def test_keypair_texts_are_what_openssh_and_cryptography_read(vault):
    from cryptography.hazmat.primitives.serialization import (Encoding, PublicFormat, load_ssh_private_key,
                                                              load_ssh_public_key)
    done = tarnel(vault.root, "keypair", "secret:dev/deploy/ssh", "--comment", "ci@example")
    line = done.stdout.decode()
    assert line.startswith("ssh-ed25519 AAAA") and line.endswith(" ci@example\n") and line.count("\n") == 1
    record = vault.read("dev/deploy/ssh")
    private_text = bytes(record["private"])
    assert record["public"] == line.rstrip("\n") and private_text not in done.stdout + done.stderr
    private, public = load_ssh_private_key(private_text, password=None), load_ssh_public_key(line.encode())
    public.verify(private.sign(b"deploy"), b"deploy")
    assert public.public_bytes(Encoding.OpenSSH, PublicFormat.OpenSSH).decode() == line.split(" ci@")[0]
    assert agent_session(vault.root).status("secret:dev/deploy/ssh")["mode"] == "keypair:ed25519"
    assert audit_pairs(vault) == [("create", "generated")]
    # Without --comment the coordinate names the key.
    assert tarnel(vault.root, "keypair", "secret:dev/other/ssh").stdout.endswith(b" dev/other/ssh\n")


@pytest.mark.parametrize(("enrolment", "args", "algorithm", "digits", "period"), [
    (" ".join(RFC_BASE32[i:i + 4] for i in range(0, 32, 4)).lower() + "\n", [], "sha1", 6, 30),
    (RFC_BASE32.rstrip("="), ["--algorithm", "SHA512", "--digits", "8", "--period", "60"], "sha512", 8, 60),
    (f"otpauth://totp/ACME:alice?secret={RFC_BASE32}&issuer=ACME&algorithm=SHA256&digits=7&period=45\n", [],
     "sha256", 7, 45),
])
def test_totp_enrols_and_code_matches_an_independent_computation(vault, enrolment, args, algorithm, digits, period):
    done = tarnel(vault.root, "totp", "secret:dev/app/otp", *args, input=enrolment.encode())
    assert done.stdout == f"totp dev/app/otp (medium, totp:{algorithm})\n".encode(), done.stderr
    record = vault.read("dev/app/otp")
    assert (bytes(record["seed"]), record["algorithm"], record["digits"], record["period"]) == (
        RFC_SEED, algorithm, digits, period)
    before = int(time.time()) // period
    code = tarnel(vault.root, "code", "secret:dev/app/otp")
    # The run may cross a step boundary: any step it overlapped is right.
    expected = {hotp(RFC_SEED, step, algorithm, digits) for step in range(before, int(time.time()) // period + 1)}
    assert code.returncode == 0 and code.stdout.decode().removesuffix("\n") in expected, code.stderr
    assert audit_pairs(vault) == [("create", "created"), ("access", "code-derived")]
    assert RFC_BASE32.encode() not in done.stdout + done.stderr + vault.audit_bytes()


@pytest.mark.parametrize(("argv", "piped", "status", "message"), [
    (["ref", "secret:dev/app/new", "azure-kv://-vault/s"], "", 1,
     "provider error: azure-kv reference `azure-kv://-vault/s` has a vault name starting with `-`"),
    (["totp", "secret:dev/app/new"], f"otpauth://hotp/x?secret={RFC_BASE32}&counter=0", 1,
     "totp operation failed: "),
    (["totp", "secret:dev/app/new", "--digits", "8"], f"otpauth://totp/x?secret={RFC_BASE32}", 1,
     "totp operation failed: "),
    (["code", "secret:dev/app/token"], "", 1, "`secret:dev/app/token` is a literal, not a TOTP enrollment"),
    (["code", "secret:dev/app/none"], "", 3, "`secret:dev/app/none` not found"),
    (["code", "secret:dev/app/guarded"], "", 4, "a code of this enrollment needs your confirmation on a terminal"),
    (["get", "secret:dev/app/ssh"], "", 4, "a keypair's private key is never revealed"),
    (["get", "secret:dev/app/otp"], "", 4, "a TOTP seed is never revealed"),
    (["set", "secret:dev/app/ssh"], "v", 1, "`secret:dev/app/ssh` is a keypair; it cannot be overwritten with `set`"),
    (["ref", "secret:dev/app/otp", "azure-kv://v/s"], "", 1,
     "`secret:dev/app/otp` is a TOTP enrollment; it cannot be overwritten with `ref`"),
])
def test_refusals_leave_the_vault_as_it_was_and_never_echo_a_seed(vault, argv, piped, status, message):
    files = [vault.write(literal("dev/app/token", b"v")), vault.write(totp("dev/app/guarded", RFC_SEED)),
             vault.write(keypair("dev/app/ssh", "ssh-ed25519 AAAA", private=b"pv-7731", sensitivity="low")),
             vault.write(totp("dev/app/otp", RFC_SEED, sensitivity="low"))]
    before = [path.read_bytes() for path in files]
    done = tarnel(vault.root, *argv, input=piped.encode())
    assert (done.returncode, done.stdout) == (status, b"") and done.stderr.startswith(f"tarnel: {message}".encode())
    assert RFC_BASE32[:16].encode() not in done.stderr and b"pv-7731" not in done.stderr
    assert [path.read_bytes() for path in files] == before and vault.read("dev/app/new") is None
    assert audit_pairs(vault) in ([], [("deny", "denied")])


def test_totp_on_a_terminal_asks_for_the_seed_without_echo_and_code_confirms_high(vault):
    status, shown = converse(vault.root, "totp", "secret:dev/app/otp", "--sensitivity", "high",
                             steps=[("TOTP seed or otpauth URI for secret:dev/app/otp: ", RFC_BASE32)])
    assert status == 0 and RFC_BASE32.encode() not in shown and bytes(vault.read("dev/app/otp")["seed"]) == RFC_SEED
    for answer, status in (("no", 4), ("yes", 0)):
        assert converse(vault.root, "code", "secret:dev/app/otp", steps=[("Type yes to approve: ", answer)])[0] \
            == status
    assert audit_pairs(vault)[1:] == [("deny", "denied-code"), ("approve", "approved-code"), ("access", "code-derived")]
