"""The module object and the argument rules of the single-file calls."""

import importlib
import inspect
import pathlib
import sys

import pytest

import sessionrows
from conftest import CLAUDE_SAMPLE as SAMPLE, child
from sessionrows import _core


def test_module_attributes():
    assert _core.__version__ == "0.9.1" == sessionrows.__version__
    assert _core.__all__ == ["__version__", "extract_codex", "extract_claude", "extract_many"]
    assert _core.__doc__ == "" and _core.__name__ == "sessionrows._core"
    many_doc = "Parse many files in parallel (all cores). `jobs` = [(kind, path)]; failed files \u2192 []."
    for name, first, doc in [("extract_claude", "path", None), ("extract_codex", "path", None),
                             ("extract_many", "jobs", many_doc)]:
        fn = getattr(_core, name)
        assert getattr(sessionrows, name) is fn and fn.__self__ is _core
        assert (fn.__module__, fn.__name__, fn.__doc__) == ("sessionrows._core", name, doc)
        assert fn.__text_signature__ == str(inspect.signature(fn)) == f"({first}, include_tools=False)"


def test_reinitialising_gives_the_same_module():
    first = sys.modules.pop("sessionrows._core")
    try:
        assert importlib.import_module("sessionrows._core") is first
    finally:
        sys.modules["sessionrows._core"] = first


def test_second_interpreter_is_refused():
    out = child("import sys, sessionrows._core\ntry:\n import _testcapi\nexcept ImportError:\n sys.exit(print('-'))\n"
                "_testcapi.run_in_subinterp('try: import sessionrows._core\\nexcept ImportError: print(1)')")
    if out == "-\n":
        pytest.skip("_testcapi is not available")
    assert out == "1\n"   # the import failed


def numpy_bool(value):
    """Stands in for numpy.bool_: a type named bool_ in the module numpy, here without __bool__ for None."""
    return type("bool_", (), {"__module__": "numpy", **({} if value is None else {"__bool__": lambda self: value})})()


@pytest.mark.parametrize("fn", [_core.extract_claude, _core.extract_codex])
def test_equivalent_ways_to_pass_arguments(fn):
    plain, tools = fn(SAMPLE), fn(SAMPLE, True)
    assert plain == fn(SAMPLE, False) == fn(path=SAMPLE, include_tools=False) == fn(type("S", (str,), {})(SAMPLE))
    assert plain == fn(SAMPLE, numpy_bool(False))
    assert tools == fn(SAMPLE, include_tools=True) == fn(include_tools=True, path=SAMPLE)
    assert tools == fn(SAMPLE, numpy_bool(True))
    assert all(type(r) is tuple and len(r) == 4 and all(type(x) is str for x in r) for r in plain + tools)


PATH_ERR, FLAG_ERR = ("argument 'path': '{}' object cannot be converted to 'PyString'",
                      "argument 'include_tools': '{}' object cannot be converted to 'PyBool'")


@pytest.mark.parametrize("fn", [_core.extract_claude, _core.extract_codex])
@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "{}() missing 1 required positional argument: 'path'"),
    ((), {"include_tools": True}, "{}() missing 1 required positional argument: 'path'"),
    ((SAMPLE, False, 1), {}, "{}() takes from 1 to 2 positional arguments but 3 were given"),
    ((SAMPLE,), {"tools": True}, "{}() got an unexpected keyword argument 'tools'"),
    ((SAMPLE,), {"path": SAMPLE}, "{}() got multiple values for argument 'path'"),
    ((SAMPLE, True), {"include_tools": True}, "{}() got multiple values for argument 'include_tools'"),
    ((5,), {}, PATH_ERR.format("int")), ((None,), {}, PATH_ERR.format("NoneType")),
    ((SAMPLE.encode(),), {}, PATH_ERR.format("bytes")), ((pathlib.Path(SAMPLE),), {}, PATH_ERR.format("PosixPath")),
    ((SAMPLE, 1), {}, FLAG_ERR.format("int")), ((SAMPLE, 0), {}, FLAG_ERR.format("int")),
    ((SAMPLE, None), {}, FLAG_ERR.format("NoneType")), ((SAMPLE, "yes"), {}, FLAG_ERR.format("str")),
    ((5, 1), {}, PATH_ERR.format("int")),   # the path is converted first
    ((SAMPLE, numpy_bool(None)), {},
     "argument 'include_tools': object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion"),
])
def test_argument_errors(fn, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    assert type(info.value) is TypeError and str(info.value) == message.format(fn.__name__)
