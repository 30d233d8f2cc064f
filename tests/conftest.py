import json
import os
import pathlib
import sys

import pytest

import sessionrows

REPO = pathlib.Path(__file__).resolve().parent.parent

# The plain-Python model of the rules lives with the benchmark, which times it as
# the peer a user would write; the tests use it as an oracle.
sys.path.insert(0, str(REPO / "bench"))


def corpus_dir():
    """The shared corpus of real session logs, or None when it is not there."""
    env = os.environ.get("SESSIONROWS_CORPUS")
    for cand in ([pathlib.Path(env)] if env else []) + [REPO.parent / "shared" / "corpus"]:
        if cand.is_dir():
            return cand
    return None


def jline(obj):
    """One compact JSON line, non-ASCII written as UTF-8."""
    return json.dumps(obj, ensure_ascii=False, separators=(",", ":"))


def as_bytes(line):
    if isinstance(line, bytes):
        return line
    if not isinstance(line, str):
        line = jline(line)
    return line.encode("utf-8", "surrogatepass")


def join_lines(lines):
    """dicts/lists become JSON lines, str and bytes are taken as they are."""
    return b"".join(as_bytes(x) + b"\n" for x in lines)


@pytest.fixture
def write(tmp_path):
    counter = iter(range(10**6))

    def _write(data):
        path = tmp_path / "log{}.jsonl".format(next(counter))
        path.write_bytes(data if isinstance(data, bytes) else join_lines(data))
        return str(path)
    return _write


@pytest.fixture
def claude(write):
    """Rows of a Claude log written from ``lines``."""
    def _run(lines, include_tools=False):
        return sessionrows.extract_claude(write(lines), include_tools)
    return _run


@pytest.fixture
def codex(write):
    """Rows of a Codex log written from ``lines``."""
    def _run(lines, include_tools=False):
        return sessionrows.extract_codex(write(lines), include_tools)
    return _run


def call_line(arguments_text):
    """A Codex function_call line whose "arguments" member is the raw JSON text."""
    return ('{"type":"response_item","payload":{"type":"function_call","name":"f",'
            '"arguments":' + arguments_text + '}}')


@pytest.fixture
def render(codex):
    """compact_json of a raw JSON value, as the module writes tool-call arguments.

    None when the line does not parse."""
    def _run(value_text):
        rows = codex([call_line(value_text)], True)
        if not rows:
            return None
        (row,) = rows
        assert row[1].startswith("[tool_call f] ")
        return row[1][len("[tool_call f] "):]
    return _run
