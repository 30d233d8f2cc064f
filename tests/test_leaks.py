"""Leak check in the style of psutil's: call each entry point thousands of times, on success and on
each kind of error, until the process stops growing by two gauges: its resident set size (native
memory never freed) and the blocks of Python's small-object allocator (a reference leak)."""

import gc
import os
import pathlib
import sys

import pytest

from conftest import CLAUDE_SAMPLE, CODEX_SAMPLE, SANITIZED
import arrow_c
from sessionrows import extract_claude, extract_codex, extract_many, read_arrow

pytestmark = pytest.mark.skipif(SANITIZED or not os.path.exists("/proc/self/statm"),
                                reason="needs /proc and an unsanitized build (ASan holds freed memory in quarantine)")


def long_path(path):
    """The same file through 2000 more bytes of path: a path copy never freed costs that much a call."""
    return str(pathlib.Path(path).parent) + "/." * 1000 + "/" + pathlib.Path(path).name


CLAUDE, CODEX, MISSING = long_path(CLAUDE_SAMPLE), long_path(CODEX_SAMPLE), long_path("/no/such/dir/log.jsonl")


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("leaks")
    # lines that pass the byte test and then fail to parse, or parse and yield nothing
    (d / "bad").write_bytes(b"\n".join([b'{"type":"user","message":{"content":"torn', b'{"type":"user","x":"\\ud800"}',
                                        b'{"type":"user","x":"\xff"}', b'{"type":"user","message":{}} trailing',
                                        b'{"type":"user","x":' + b"[" * 5000 + b"]" * 5000 + b"}",
                                        b'{"type":"user","message":{"content":[{"type":"tool_use","input":'
                                        + b"[" * 120 + b"]" * 120 + b"}]}}"] * 10))
    return {"bad": long_path(d / "bad"), "dir": long_path(d)}


CASES = {  # id: (call taking the fixture's paths, the exception it raises or None, calls)
    "samples": (lambda f: (extract_claude(CLAUDE, True), extract_codex(CODEX, include_tools=True)), None, 2000),
    "unparseable": (lambda f: (extract_claude(f["bad"], True), extract_codex(f["bad"], True)), None, 500),
    "missing-file": (lambda f: extract_claude(MISSING), OSError, 10000),
    "nul-in-path": (lambda f: extract_codex(MISSING + "\0"), OSError, 10000),
    "directory": (lambda f: extract_claude(f["dir"]), OSError, 10000),
    "lone-surrogate-path": (lambda f: extract_claude(MISSING + "\udc80"), UnicodeEncodeError, 10000),
    "path-bytes": (lambda f: extract_claude(MISSING.encode()), TypeError, 10000),
    "too-many-arguments": (lambda f: extract_claude(MISSING, False, 1), TypeError, 10000),
    "include-tools-none": (lambda f: extract_codex(MISSING, None), TypeError, 10000),
    "many-str": (lambda f: extract_many("claude"), TypeError, 10000),
    "many-short-tuple": (lambda f: extract_many([("claude",)]), ValueError, 10000),
    "many-surrogate": (lambda f: extract_many([("codex", "\udc80")]), UnicodeEncodeError, 10000),
    "many-include-tools": (lambda f: extract_many([], 1), TypeError, 10000),
    "many-files": (lambda f: extract_many([("claude", CLAUDE), ("codex", CODEX), ("x", f["bad"])] * 2), None, 1000),
    "many-failed-jobs": (lambda f: extract_many([("claude", MISSING), ("x", MISSING + "\0")]), None, 3000),
    "arrow-read": (lambda f: arrow_c.read(read_arrow([("claude", CLAUDE), ("codex", CODEX), ("pi", MISSING)] * 2,
                                                     True, threads=2)), None, 1000),
    "arrow-unknown-kind": (lambda f: read_arrow([("claude", CLAUDE), ("x", CODEX)]), ValueError, 10000),
    "arrow-capsules-dropped": (lambda f: (read_arrow([("claude", CLAUDE)]).__arrow_c_stream__(),
                                          read_arrow([]).__arrow_c_schema__()), None, 10000),
    "arrow-released-midway": (lambda f: released_midway(read_arrow([("codex", CODEX)] * 8, True, threads=2)), None,
                              1000),
    "arrow-consumed-twice": (lambda f: consumed_twice(read_arrow([("claude", MISSING)], threads=1)), ValueError,
                             5000),
    "arrow-threads-zero": (lambda f: read_arrow([("claude", CLAUDE)], threads=0), ValueError, 10000),
}


def released_midway(stream):
    s = arrow_c.stream_of(stream.__arrow_c_stream__())
    arrow_c.release(arrow_c.next_array(s))
    arrow_c.RELEASE_STREAM(s.release)(arrow_c.ctypes.byref(s))


def consumed_twice(stream):
    arrow_c.read(stream)
    stream.__arrow_c_stream__()


def run(call, files, expected, times):
    for _ in range(times):
        try:
            call(files)
        except Exception as e:
            if type(e) is not expected:
                raise
        else:
            assert expected is None, f"{expected.__name__} not raised"


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.parametrize("case", CASES)
def test_repeated_calls_do_not_grow_the_process(files, case):
    call, expected, times = CASES[case]
    run(call, files, expected, times // 4)   # warm up: caches, allocator arenas
    for _ in range(3):   # like psutil: a few tries, since the allocators may still settle once
        gc.collect()
        rss_before, blocks_before = rss(), sys.getallocatedblocks()
        run(call, files, expected, times)
        gc.collect()
        grew, new_blocks = rss() - rss_before, sys.getallocatedblocks() - blocks_before
        if grew <= 1 << 20 and new_blocks <= 200:
            return
    pytest.fail(f"after {times} calls: RSS grew by {grew} bytes, {new_blocks} more Python blocks")
