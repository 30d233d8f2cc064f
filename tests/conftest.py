import json
import os
import pathlib
import signal
import subprocess
import sys

import pytest

import sessionrows
from sessionrows.agents import AGENTS

REPO = pathlib.Path(__file__).resolve().parent.parent
CLAUDE_SAMPLE, CODEX_SAMPLE = (str(REPO / "tests" / "data" / f"{k}_sample.jsonl") for k in ("claude", "codex"))
EXTRACT = {"claude": sessionrows.extract_claude, "codex": sessionrows.extract_codex}
# ASan reserves terabytes of address space and can deadlock in a child forked while threads allocate.
SANITIZED = os.environ.get("SESSIONROWS_SANITIZED") == "1"
sys.path.insert(0, str(REPO / "bench"))   # pyrules, the plain-Python model of the rules: the tests' oracle


# Where the package would read or write a person's own files: no test may touch them.
PLACES = ("XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME") + tuple(
    v for a in AGENTS for v in (a.home_variable, a.logs_variable) if v)


@pytest.fixture(autouse=True)
def own_home(tmp_path_factory, monkeypatch):
    """Every test runs in a HOME of its own, with none of the variables that move the
    assistants' folders, the index or the archive set: it cannot read the person's
    logs, nor write into their cache or data folders (its subprocesses neither)."""
    home = tmp_path_factory.mktemp("home")
    monkeypatch.setenv("HOME", str(home))
    for name in PLACES:
        monkeypatch.delenv(name, raising=False)
    return home


def corpus_files():
    """The shared corpus of real session logs, or [] when it is not there."""
    env = os.environ.get("SESSIONROWS_CORPUS")
    for root in ([pathlib.Path(env)] if env else []) + [REPO.parent / "shared" / "corpus"]:
        if root.is_dir():
            return sorted(p for p in root.rglob("*.jsonl") if p.is_file())
    return []


def child(code, *args, env=None, timeout=300):
    """Runs code in a fresh interpreter, so that a crash or a hang fails one test only;
    on a timeout the whole process group goes, forked children included. Returns its output."""
    with subprocess.Popen([sys.executable, "-c", code, *map(str, args)], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, env=dict(os.environ, **(env or {})),
                          start_new_session=True) as proc:
        try:
            out, err = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            raise
    assert proc.returncode == 0, f"child exited with {proc.returncode}: {err[-2000:]}"
    return out


def as_bytes(line):
    """A line given as bytes, str, or a dict or list to write as compact JSON (non-ASCII as UTF-8)."""
    if isinstance(line, (dict, list)):
        line = json.dumps(line, ensure_ascii=False, separators=(",", ":"))
    return line.encode("utf-8", "surrogatepass") if isinstance(line, str) else line


@pytest.fixture
def write(tmp_path):
    """Writes bytes, or lines each ended by a line feed, to a new file and returns its path."""
    paths = (tmp_path / f"log{i}.jsonl" for i in range(10**9))

    def _write(data):
        data = data if isinstance(data, bytes) else b"".join(as_bytes(x) + b"\n" for x in data)
        (path := next(paths)).write_bytes(data)
        return str(path)
    return _write


@pytest.fixture
def claude(write):
    return lambda lines, tools=False: sessionrows.extract_claude(write(lines), tools)


@pytest.fixture
def codex(write):
    return lambda lines, tools=False: sessionrows.extract_codex(write(lines), tools)
