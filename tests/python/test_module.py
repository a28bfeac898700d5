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
EXCEPTIONS = {
    "TarnelError": (Exception, "Base class for all tarnel binding errors."),
    "TarnelNotFound": (tarnel_ffi.TarnelError,
                       "The coordinate is not addressable in this session — either out of scope (I13) or "
                       "absent. The two are deliberately indistinguishable."),
    "TarnelDenied": (tarnel_ffi.TarnelError,
                     "An addressable secret was refused by policy (e.g. an MCP reveal of a high/prod/"
                     "inject-only value, I11/I14)."),
}


def test_version():
    assert tarnel_ffi.version() == "0.9.1"
    assert importlib.metadata.version("tarnel") == tarnel_ffi.version()
    assert tarnel_ffi.version.__text_signature__ == "()"
    assert str(inspect.signature(tarnel_ffi.version)) == "()"
    assert tarnel_ffi.version.__doc__ == VERSION_DOC
    assert (tarnel_ffi.version.__name__, tarnel_ffi.version.__module__) == ("version", "tarnel_ffi")
    with pytest.raises(TypeError):
        tarnel_ffi.version(1)


def test_module_contents():
    assert tarnel_ffi.__doc__ == "The `tarnel_ffi` extension module."
    assert not hasattr(tarnel_ffi, "__all__")
    assert tarnel_ffi.__file__.endswith("tarnel_ffi.abi3.so")
    public = ["version", "server_paths", "TarnelSession", *EXCEPTIONS]
    assert [name for name in vars(tarnel_ffi) if not name.startswith("_")] == public
    assert sorted(name for name in dir(tarnel_ffi) if not name.startswith("_")) == sorted(public)
    cls = tarnel_ffi.TarnelSession
    assert isinstance(cls, type) and cls.__bases__ == (object,)
    assert f"{cls.__module__}.{cls.__qualname__}" == "tarnel_ffi.TarnelSession"
    assert not issubclass(tarnel_ffi.TarnelNotFound, tarnel_ffi.TarnelDenied)
    assert not issubclass(tarnel_ffi.TarnelDenied, tarnel_ffi.TarnelNotFound)


@pytest.mark.parametrize("name", EXCEPTIONS)
def test_exception(name):
    cls = getattr(tarnel_ffi, name)
    base, doc = EXCEPTIONS[name]
    assert cls.__bases__ == (base,)
    assert cls.__doc__ == doc
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, "tarnel_ffi")
    assert {k for k in vars(cls) if k not in ("__module__", "__doc__", "__weakref__", "__dict__")} == set()
    for catch in (cls, tarnel_ffi.TarnelError, Exception):
        with pytest.raises(catch) as caught:
            raise cls("not addressable")
        assert type(caught.value) is cls
        assert caught.value.args == ("not addressable",)
        assert str(caught.value) == "not addressable"
        assert vars(caught.value) == {}
        assert caught.value.__cause__ is None and caught.value.__context__ is None


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
