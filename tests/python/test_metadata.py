"""list, status and fingerprint: metadata only, never a value, and nothing audited."""

import inspect

import pytest
from blake3 import blake3

from tarnel_ffi import TarnelError, TarnelNotFound
from vaultkit import keypair, literal, reference, totp

VIEW_KEYS = ["coordinate", "environment", "component", "key", "sensitivity", "mode", "fingerprint",
             "revealable", "origin", "reference"]

DOCS = {
    "list": ("list($self)", "()",
             "List metadata for every secret addressable in this session. Out-of-scope\n"
             "coordinates never appear (I13). No values are returned."),
    "status": ("status($self, coordinate, project=None)", "(coordinate, project=None)",
               "Metadata for one coordinate (diagnose). Raises `TarnelNotFound` for an\n"
               "out-of-scope *or* absent coordinate \u2014 the two are indistinguishable (I13)."),
    "fingerprint": ("fingerprint($self, coordinate, project=None)", "(coordinate, project=None)",
                    "The truncated fingerprint of a coordinate's value. Raises `TarnelNotFound`\n"
                    "when not addressable (I13)."),
}


def fp(data: bytes) -> str:
    return blake3(data).hexdigest()[:8]


@pytest.mark.parametrize("name", sorted(DOCS))
def test_docstring_and_signature(open_session, name):
    _, bound, doc = DOCS[name]
    method = getattr(type(open_session()), name)
    assert method.__doc__ == doc
    assert str(inspect.signature(getattr(open_session(), name))) == bound
    assert str(inspect.signature(method)) == "(self, /" + ("" if bound == "()" else ", ") + bound[1:]


# --- views ------------------------------------------------------------------------


def test_literal_view_keys_in_order_and_values(vault, open_session):
    vault.write(literal("dev/db/password", b"hunter2", sensitivity="low", revealable=True,
                        description="never shown"))
    view = open_session().status("secret:dev/db/password")
    assert list(view) == VIEW_KEYS
    assert view == {
        "coordinate": "dev/db/password", "environment": "dev", "component": "db", "key": "password",
        "sensitivity": "low", "mode": "literal", "fingerprint": fp(b"hunter2"), "revealable": True,
        "origin": "global", "reference": None,
    }
    assert type(view["revealable"]) is bool


def test_reference_view(vault, open_session):
    vault.write(reference("prod/api/token", "aws-sm://eu-west-1/token"), project="alpha")
    view = open_session().status("secret:prod/api/token", "alpha")
    assert view["mode"] == "reference"
    assert view["fingerprint"] == "\u2192 aws-sm://eu-west-1/token"
    assert view["reference"] == "aws-sm://eu-west-1/token"
    assert view["origin"] == "project:alpha"
    assert open_session().fingerprint("secret:prod/api/token", "alpha") == "\u2192 aws-sm://eu-west-1/token"


def test_keypair_views(vault, open_session):
    vault.write(keypair("dev/ssh/deploy", "ssh-ed25519 AAAA"))
    vault.write(keypair("dev/ssh/public", "ssh-rsa BBBB", private=None, algorithm="rsa"))
    vault.write(keypair("dev/ssh/full-rsa", "ssh-rsa CCCC", algorithm="rsa"))
    session = open_session()
    full = session.status("secret:dev/ssh/deploy")
    assert (full["mode"], full["fingerprint"], full["reference"]) == ("keypair:ed25519", fp(b"ssh-ed25519 AAAA"),
                                                                       None)
    public = session.status("secret:dev/ssh/public")
    assert (public["mode"], public["fingerprint"]) == ("pubkey:rsa", fp(b"ssh-rsa BBBB"))
    assert session.status("secret:dev/ssh/full-rsa")["mode"] == "keypair:rsa"


def test_keypair_fingerprint_ignores_the_private_key(vault, open_session):
    vault.write(keypair("dev/ssh/deploy", "ssh-ed25519 AAAA", private=b"one"))
    before = open_session().fingerprint("secret:dev/ssh/deploy")
    vault.write(keypair("dev/ssh/deploy", "ssh-ed25519 AAAA", private=b"two"))
    assert open_session().fingerprint("secret:dev/ssh/deploy") == before


@pytest.mark.parametrize(("algorithm", "digits", "period", "parameters"),
                         [("sha1", 6, 30, b"totp:SHA1:6:30"), ("sha256", 8, 60, b"totp:SHA256:8:60"),
                          ("sha512", 7, 15, b"totp:SHA512:7:15")])
def test_totp_views(vault, open_session, algorithm, digits, period, parameters):
    vault.write(totp("dev/mail/otp", b"seed", algorithm=algorithm, digits=digits, period=period))
    view = open_session().status("secret:dev/mail/otp")
    assert view["mode"] == f"totp:{algorithm}"
    assert view["fingerprint"] == fp(parameters)
    assert view["reference"] is None


def test_totp_fingerprint_does_not_change_with_the_seed(vault, open_session):
    vault.write(totp("dev/mail/otp", b"first seed"))
    before = open_session().fingerprint("secret:dev/mail/otp")
    vault.write(totp("dev/mail/otp", b"second seed"))
    assert open_session().fingerprint("secret:dev/mail/otp") == before


@pytest.mark.parametrize(("stored", "shown"),
                         [("low", "low"), ("medium", "medium"), ("high", "high"), ("inject-only", "injectonly")])
def test_sensitivity_text(vault, open_session, stored, shown):
    vault.write(literal("dev/db/password", b"v", sensitivity=stored))
    assert open_session().status("secret:dev/db/password")["sensitivity"] == shown


def test_no_view_holds_a_value(vault, open_session):
    vault.write(literal("dev/db/password", b"hunter2-value"))
    vault.write(keypair("dev/ssh/deploy", "pub", private=b"private-bytes"))
    vault.write(totp("dev/mail/otp", b"seed-bytes"))
    text = repr(open_session().list())
    for secret in ("hunter2-value", "private-bytes", "seed-bytes"):
        assert secret not in text


# --- list ---------------------------------------------------------------------------


def test_list_gives_global_then_each_project(vault, open_session):
    vault.write(literal("dev/db/password", b"global"))
    vault.write(literal("dev/db/password", b"b"), project="b")
    vault.write(literal("dev/db/password", b"a"), project="a")
    views = open_session().list()
    assert [(view["origin"], view["fingerprint"]) for view in views] == [
        ("global", fp(b"global")), ("project:a", fp(b"a")), ("project:b", fp(b"b"))]
    assert all(list(view) == VIEW_KEYS for view in views)


def test_list_without_metadata_is_empty(vault, open_session):
    vault.write(literal("dev/db/password", b"v"))
    assert open_session(operations=["reveal", "write", "inject"]).list() == []


def test_list_with_named_projects_leaves_out_the_global_vault(vault, open_session):
    vault.write(literal("dev/db/password", b"global"))
    vault.write(literal("dev/db/password", b"a"), project="a")
    vault.write(literal("dev/db/password", b"b"), project="b")
    views = open_session(projects=["a"]).list()
    assert [view["origin"] for view in views] == ["project:a"]


def test_list_of_an_empty_vault(open_session):
    assert open_session().list() == []


def test_list_skips_records_that_do_not_open(vault, open_session):
    vault.write(literal("dev/db/password", b"v"))
    (vault.dir() / ("0" * 64 + ".sec")).write_bytes(b"TARN\x01\x00\x00\x00{}")
    assert [view["coordinate"] for view in open_session().list()] == ["dev/db/password"]


def test_list_skips_records_whose_coordinate_does_not_parse(vault, open_session):
    vault.write(literal("dev/db/password", b"v"))
    odd = literal("dev/db/password", b"v")
    odd["component"] = "a${b"
    # Stored under some other file name; only its contents matter here.
    path = vault.write(odd)
    path.rename(vault.dir() / ("1" * 64 + ".sec"))
    vault.write(literal("dev/db/password", b"v"))
    assert [view["component"] for view in open_session().list()] == ["db"]


def test_list_fails_when_a_vault_cannot_be_read(vault, open_session):
    session = open_session()
    (vault.root / "global").rmdir()
    (vault.root / "global").write_bytes(b"not a directory")
    with pytest.raises(TarnelError) as caught:
        session.list()
    assert type(caught.value) is TarnelError
    assert str(caught.value).startswith("vault I/O failed: ")


def test_list_takes_no_arguments(open_session):
    with pytest.raises(TypeError):
        open_session().list(1)
    with pytest.raises(TypeError):
        open_session().list(project="a")


# --- status and fingerprint ---------------------------------------------------------------


def test_project_record_shadows_the_global_one(vault, open_session):
    vault.write(literal("dev/db/password", b"global"))
    vault.write(literal("dev/db/password", b"alpha"), project="alpha")
    session = open_session()
    assert session.status("secret:dev/db/password", "alpha")["origin"] == "project:alpha"
    assert session.status("secret:dev/db/password", "beta")["origin"] == "global"
    assert session.status("secret:dev/db/password")["fingerprint"] == fp(b"global")


def test_global_form_reads_the_global_vault_even_with_a_project(vault, open_session):
    vault.write(literal("dev/db/password", b"global"))
    vault.write(literal("dev/db/password", b"alpha"), project="alpha")
    view = open_session().status("secret://global/dev/db/password", "alpha")
    assert (view["origin"], view["fingerprint"]) == ("global", fp(b"global"))
    assert view["coordinate"] == "dev/db/password"


def not_addressable(call):
    with pytest.raises(TarnelNotFound) as caught:
        call()
    assert type(caught.value) is TarnelNotFound
    assert caught.value.args == ("not addressable",)
    return caught.value


@pytest.mark.parametrize(
    ("scope", "coordinate", "project"),
    [
        ({}, "secret:dev/db/absent", None),
        ({"operations": ["reveal", "write", "inject"]}, "secret:dev/db/password", None),
        ({"projects": ["alpha"]}, "secret:dev/db/password", None),
        ({"projects": "alpha"}, "secret:dev/db/password", "beta"),
        ({"environments": ["prod"]}, "secret:dev/db/password", None),
        ({"environments": []}, "secret:dev/db/password", "alpha"),
    ],
)
def test_out_of_scope_and_absent_are_indistinguishable(vault, open_session, scope, coordinate, project):
    vault.write(literal("dev/db/password", b"v"))
    vault.write(literal("dev/db/password", b"v"), project="beta")
    before = vault.audit_bytes()
    session = open_session(**scope)
    status_error = not_addressable(lambda: session.status(coordinate, project))
    fingerprint_error = not_addressable(lambda: session.fingerprint(coordinate, project))
    assert (type(status_error), status_error.args) == (type(fingerprint_error), fingerprint_error.args)
    assert vault.audit_bytes() == before


def test_out_of_scope_is_decided_before_the_file_is_read(vault, open_session):
    vault.write(literal("staging/db/password", b"v"))
    vault.path_of("staging/db/password").write_bytes(b"damaged")
    not_addressable(lambda: open_session(environments="dev").status("secret:staging/db/password"))
    with pytest.raises(TarnelError) as caught:
        open_session().status("secret:staging/db/password")
    assert type(caught.value) is TarnelError


def test_fingerprint_raises_what_status_raises(vault, open_session):
    vault.write(literal("dev/db/password", b"v"))
    session = open_session()
    for coordinate in ("secret:dev/db/password", "nonsense", "secret:${ENV}/db/password", "secret:dev/db/nope"):
        try:
            expected = session.status(coordinate)["fingerprint"]
        except TarnelError as error:
            with pytest.raises(type(error)) as caught:
                session.fingerprint(coordinate)
            assert caught.value.args == error.args
        else:
            assert session.fingerprint(coordinate) == expected


def test_malformed_coordinate_is_the_parsers_text(open_session):
    with pytest.raises(TarnelError) as caught:
        open_session().status("dev/db/password")
    assert type(caught.value) is TarnelError
    assert str(caught.value).startswith("invalid coordinate URI: ")


def test_unsafe_project_name_is_refused(vault, open_session):
    vault.write(literal("dev/db/password", b"v"))
    with pytest.raises(TarnelError, match="invalid project name"):
        open_session().status("secret:dev/db/password", "../global")


def test_metadata_queries_leave_the_audit_log_unchanged(vault, open_session):
    vault.write(literal("dev/db/password", b"v"))
    vault.write(reference("prod/api/token", "azure-kv://kv/token"))
    session = open_session()
    session.list()
    session.status("secret:dev/db/password")
    session.fingerprint("secret:prod/api/token")
    with pytest.raises(TarnelNotFound):
        session.status("secret:dev/db/absent")
    assert not (vault.root / "audit.log").exists()


# --- arguments -------------------------------------------------------------------------------


def test_positional_and_keyword_arguments(vault, open_session):
    vault.write(literal("dev/db/password", b"v"), project="alpha")
    session = open_session()
    assert session.status("secret:dev/db/password", "alpha") == session.status(
        project="alpha", coordinate="secret:dev/db/password")
    assert session.fingerprint("secret:dev/db/password", project="alpha") == fp(b"v")
    with pytest.raises(TarnelNotFound):
        session.status("secret:dev/db/password", None)


@pytest.mark.parametrize("method", ["status", "fingerprint"])
def test_argument_type_errors_name_the_argument(open_session, method):
    call = getattr(open_session(), method)
    with pytest.raises(TypeError, match=r"argument 'coordinate' must be str, not int"):
        call(1)
    with pytest.raises(TypeError, match=r"argument 'project' must be str or None, not int"):
        call("secret:dev/db/password", 1)
    with pytest.raises(TypeError, match=r"argument 'project' must be str or None, not bytes"):
        call("secret:dev/db/password", project=b"alpha")
    with pytest.raises(TypeError):
        call()
    with pytest.raises(TypeError):
        call("secret:dev/db/password", None, None)
    with pytest.raises(TypeError):
        call("secret:dev/db/password", colour="blue")
