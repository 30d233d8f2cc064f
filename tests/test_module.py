"""The module object and the argument rules of the single-file calls."""

import importlib
import inspect
import pathlib
import subprocess
import sys

import pytest

import sessionrows
from sessionrows import _core

SAMPLE = str(pathlib.Path(__file__).parent / "data" / "claude_sample.jsonl")


def test_module_attributes():
    assert _core.__version__ == "0.9.1" == sessionrows.__version__
    assert _core.__all__ == ["__version__", "extract_codex", "extract_claude", "extract_many"]
    assert _core.__doc__ == ""
    assert _core.__name__ == "sessionrows._core"
    for name in ("extract_claude", "extract_codex", "extract_many"):
        fn = getattr(_core, name)
        assert getattr(sessionrows, name) is fn
        assert fn.__self__ is _core
        assert fn.__module__ == "sessionrows._core"
        assert fn.__name__ == name


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("extract_codex", "(path, include_tools=False)", None),
        ("extract_claude", "(path, include_tools=False)", None),
        (
            "extract_many",
            "(jobs, include_tools=False)",
            "Parse many files in parallel (all cores). `jobs` = [(kind, path)]; failed files \u2192 [].",
        ),
    ],
)
def test_signatures_and_docs(name, signature, doc):
    fn = getattr(_core, name)
    assert fn.__text_signature__ == signature
    assert str(inspect.signature(fn)) == signature
    assert fn.__doc__ == doc


def test_reinitialising_gives_the_same_module():
    first = sys.modules.pop("sessionrows._core")
    try:
        again = importlib.import_module("sessionrows._core")
        assert again is first
    finally:
        sys.modules["sessionrows._core"] = first


SUBINTERPRETER_SCRIPT = """
import sys
try:
    import sessionrows._core
    sys.stdout.write("imported\\n")
except ImportError:
    sys.stdout.write("ImportError\\n")
"""

PARENT_SCRIPT = """
import sys
try:
    import _testcapi
except ImportError:
    sys.exit(77)
import sessionrows._core
_testcapi.run_in_subinterp(sys.argv[1])
"""


def test_second_interpreter_is_refused():
    proc = subprocess.run(
        [sys.executable, "-c", PARENT_SCRIPT, SUBINTERPRETER_SCRIPT], capture_output=True, text=True, timeout=60
    )
    if proc.returncode == 77:
        pytest.skip("_testcapi is not available")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ImportError"


@pytest.mark.parametrize("fn", [_core.extract_claude, _core.extract_codex])
def test_equivalent_ways_to_pass_arguments(fn):
    assert fn(SAMPLE) == fn(SAMPLE, False) == fn(path=SAMPLE, include_tools=False)
    assert fn(SAMPLE, True) == fn(SAMPLE, include_tools=True) == fn(include_tools=True, path=SAMPLE)


class StrPath(str):
    pass


def test_str_subclass_path_is_accepted():
    assert _core.extract_claude(StrPath(SAMPLE)) == _core.extract_claude(SAMPLE)


class FakeNumpyBool:
    """Stands in for numpy.bool_: a type named bool_ in the module numpy."""

    def __init__(self, value):
        self.value = value

    def __bool__(self):
        return self.value


FakeNumpyBool.__module__ = "numpy"
FakeNumpyBool.__name__ = "bool_"
FakeNumpyBool.__qualname__ = "bool_"


def test_numpy_bool_flag_is_accepted():
    rows = _core.extract_claude(SAMPLE, FakeNumpyBool(True))
    assert rows == _core.extract_claude(SAMPLE, True)
    assert _core.extract_claude(SAMPLE, FakeNumpyBool(False)) == _core.extract_claude(SAMPLE)


def test_numpy_bool_without_bool_conversion():
    bare = type("bool_", (), {"__module__": "numpy"})
    with pytest.raises(TypeError) as info:
        _core.extract_claude(SAMPLE, bare())
    assert str(info.value) == (
        "argument 'include_tools': object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion"
    )


BINDING_ERRORS = [
    ((), {}, "extract_claude() missing 1 required positional argument: 'path'"),
    ((SAMPLE, False, 1), {}, "extract_claude() takes from 1 to 2 positional arguments but 3 were given"),
    ((SAMPLE,), {"tools": True}, "extract_claude() got an unexpected keyword argument 'tools'"),
    ((SAMPLE,), {"path": SAMPLE}, "extract_claude() got multiple values for argument 'path'"),
    ((SAMPLE, True), {"include_tools": True}, "extract_claude() got multiple values for argument 'include_tools'"),
    ((), {"include_tools": True}, "extract_claude() missing 1 required positional argument: 'path'"),
    ((5,), {}, "argument 'path': 'int' object cannot be converted to 'PyString'"),
    ((None,), {}, "argument 'path': 'NoneType' object cannot be converted to 'PyString'"),
    ((SAMPLE.encode(),), {}, "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    ((pathlib.Path(SAMPLE),), {}, "argument 'path': 'PosixPath' object cannot be converted to 'PyString'"),
    ((SAMPLE, 1), {}, "argument 'include_tools': 'int' object cannot be converted to 'PyBool'"),
    ((SAMPLE, 0), {}, "argument 'include_tools': 'int' object cannot be converted to 'PyBool'"),
    ((SAMPLE, None), {}, "argument 'include_tools': 'NoneType' object cannot be converted to 'PyBool'"),
    ((SAMPLE, "yes"), {}, "argument 'include_tools': 'str' object cannot be converted to 'PyBool'"),
    # The path is converted first, so a bad path is the error reported.
    ((5, 1), {}, "argument 'path': 'int' object cannot be converted to 'PyString'"),
]


@pytest.mark.parametrize("args, kwargs, message", BINDING_ERRORS)
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        _core.extract_claude(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_argument_errors_name_the_codex_function():
    with pytest.raises(TypeError, match=r"^extract_codex\(\) missing 1 required positional argument: 'path'$"):
        _core.extract_codex()


def test_lone_surrogate_path_raises_the_encoder_error():
    with pytest.raises(UnicodeEncodeError):
        _core.extract_claude("bad\udc80path")
