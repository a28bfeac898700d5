"""The installed tarnel_ffi module: its contents, names, texts and exceptions."""

import importlib
import importlib.metadata
import inspect
import sys

import pytest

import tarnel_ffi

VERSION_DOC = (
    "The native binding version (the crate version). The Python package asserts\n"
    "this on import as a smoke test that the compiled extension matches."
)
ERROR_DOC = "Base class for all tarnel binding errors."
NOT_FOUND_DOC = (
    "The coordinate is not addressable in this session — either out of scope (I13) or "
    "absent. The two are deliberately indistinguishable."
)
DENIED_DOC = (
    "An addressable secret was refused by policy (e.g. an MCP reveal of a high/prod/"
    "inject-only value, I11/I14)."
)

EXCEPTIONS = ("TarnelError", "TarnelNotFound", "TarnelDenied")


def public_names(module):
    return [name for name in vars(module) if not name.startswith("_")]


def test_version_is_the_release_version():
    assert tarnel_ffi.version() == "0.9.1"


def test_version_matches_the_installed_distribution():
    assert importlib.metadata.version("tarnel") == tarnel_ffi.version()


def test_version_takes_no_arguments():
    with pytest.raises(TypeError):
        tarnel_ffi.version(1)


def test_version_signature_and_docstring():
    assert tarnel_ffi.version.__text_signature__ == "()"
    assert str(inspect.signature(tarnel_ffi.version)) == "()"
    assert tarnel_ffi.version.__doc__ == VERSION_DOC
    assert tarnel_ffi.version.__name__ == "version"
    assert tarnel_ffi.version.__module__ == "tarnel_ffi"


def test_module_docstring():
    assert tarnel_ffi.__doc__ == "The `tarnel_ffi` extension module."


def test_module_has_no_all():
    assert not hasattr(tarnel_ffi, "__all__")


def test_public_contents_in_registration_order():
    assert public_names(tarnel_ffi) == ["version", "TarnelSession", *EXCEPTIONS]
    assert sorted(name for name in dir(tarnel_ffi) if not name.startswith("_")) == sorted(
        ["version", "TarnelSession", *EXCEPTIONS]
    )


def test_session_class_belongs_to_the_module():
    cls = tarnel_ffi.TarnelSession
    assert isinstance(cls, type)
    assert cls.__bases__ == (object,)
    assert f"{cls.__module__}.{cls.__qualname__}" == "tarnel_ffi.TarnelSession"


def test_module_is_the_stable_abi_build():
    assert tarnel_ffi.__file__.endswith("tarnel_ffi.abi3.so")


def test_exception_hierarchy():
    assert tarnel_ffi.TarnelError.__bases__ == (Exception,)
    assert tarnel_ffi.TarnelNotFound.__bases__ == (tarnel_ffi.TarnelError,)
    assert tarnel_ffi.TarnelDenied.__bases__ == (tarnel_ffi.TarnelError,)
    assert not issubclass(tarnel_ffi.TarnelNotFound, tarnel_ffi.TarnelDenied)
    assert not issubclass(tarnel_ffi.TarnelDenied, tarnel_ffi.TarnelNotFound)


@pytest.mark.parametrize("name", EXCEPTIONS)
def test_exception_names(name):
    cls = getattr(tarnel_ffi, name)
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "tarnel_ffi"
    assert f"{cls.__module__}.{cls.__qualname__}" == f"tarnel_ffi.{name}"


@pytest.mark.parametrize(
    ("name", "doc"),
    [("TarnelError", ERROR_DOC), ("TarnelNotFound", NOT_FOUND_DOC), ("TarnelDenied", DENIED_DOC)],
)
def test_exception_docstrings(name, doc):
    assert getattr(tarnel_ffi, name).__doc__ == doc


@pytest.mark.parametrize("name", EXCEPTIONS)
def test_exceptions_carry_only_their_message(name):
    cls = getattr(tarnel_ffi, name)
    own = {k for k in vars(cls) if k not in ("__module__", "__doc__", "__weakref__", "__dict__")}
    assert own == set()
    error = cls("not addressable")
    assert error.args == ("not addressable",)
    assert str(error) == "not addressable"
    assert vars(error) == {}


@pytest.mark.parametrize("name", EXCEPTIONS)
def test_each_exception_is_caught_by_its_bases(name):
    cls = getattr(tarnel_ffi, name)
    for base in (cls, tarnel_ffi.TarnelError, Exception):
        with pytest.raises(base) as caught:
            raise cls("message")
        assert type(caught.value) is cls
        assert caught.value.args == ("message",)
        assert caught.value.__cause__ is None
        assert caught.value.__context__ is None


def test_not_found_is_not_caught_as_denied():
    with pytest.raises(tarnel_ffi.TarnelNotFound):
        try:
            raise tarnel_ffi.TarnelNotFound("not addressable")
        except tarnel_ffi.TarnelDenied:
            pytest.fail("TarnelNotFound caught as TarnelDenied")


def test_reimport_gives_the_same_classes():
    before = {name: getattr(tarnel_ffi, name) for name in EXCEPTIONS}
    try:
        del sys.modules["tarnel_ffi"]
        again = importlib.import_module("tarnel_ffi")
        assert again is not tarnel_ffi
        for name, cls in before.items():
            assert getattr(again, name) is cls
        assert again.version() == "0.9.1"
    finally:
        sys.modules["tarnel_ffi"] = tarnel_ffi


def test_sub_interpreter_is_refused():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    if not hasattr(interpreters, "run_string"):
        pytest.skip("this Python's sub-interpreter module has no run_string")
    interp = interpreters.create()
    try:
        with pytest.raises(interpreters.RunFailedError) as caught:
            interpreters.run_string(interp, "import tarnel_ffi")
        text = str(caught.value)
        assert "ImportError" in text
        if sys.version_info < (3, 12):
            # Later versions make isolated interpreters here, which refuse the
            # module before its own check runs.
            assert "tarnel_ffi can be loaded by one interpreter per process only" in text
    finally:
        interpreters.destroy(interp)
