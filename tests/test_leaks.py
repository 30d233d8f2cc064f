"""Leak check in the style of psutil's: call each public function thousands of times,
on success and on every error path, and require that the process stops growing.

Two gauges: the resident set size (native memory: a path copy, a row list, a parsed
line or a file buffer that is never freed) and the number of blocks held by Python's
small-object allocator (a reference leak of an exception, a str, a tuple or a list).
The inputs are sized so that a leak of one object per call stands far above the
tolerance. A new entry point or error path needs one row in CASES.
"""

import gc
import json
import os
import pathlib
import sys

import pytest

from sessionrows import extract_claude, extract_codex, extract_many

pytestmark = pytest.mark.skipif(
    bool(os.environ.get("SESSIONROWS_SANITIZED")) or not os.path.exists("/proc/self/statm"),
    reason="needs /proc and an unsanitized build (ASan holds freed memory in quarantine)",
)

PAGE = os.sysconf("SC_PAGE_SIZE")


def long_path(path):
    """The same file through 2000 more bytes of path: a native copy of the path
    that is never freed then costs that much a call."""
    path = pathlib.Path(path)
    return str(path.parent) + "/." * 1000 + "/" + path.name


DATA = pathlib.Path(__file__).parent / "data"
CLAUDE = long_path(DATA / "claude_sample.jsonl")
CODEX = long_path(DATA / "codex_sample.jsonl")
LONG_MISSING = long_path("/no/such/dir/log.jsonl")
LONG_WITH_NUL = LONG_MISSING + "\0"


def _batch_pending():
    try:
        extract_many([])
    except NotImplementedError:
        return True
    return False


# extract_many is still a stub on this branch: its rows expect NotImplementedError
# until it lands, and then the real outcome.
BATCH_PENDING = _batch_pending()


def batch(expected):
    return NotImplementedError if BATCH_PENDING else expected


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("leaks")
    text = "w\u00e9rd " * 400  # 2.4 kB a row
    claude = [
        json.dumps({"type": "user", "message": {"role": "user", "content": f"{i} {text}"}, "timestamp": "t",
                    "cwd": "/w", "sessionId": "s"})
        for i in range(20)
    ]
    codex = [
        json.dumps({"timestamp": "t", "type": "response_item",
                    "payload": {"type": "message", "role": "user", "content": f"{i} {text}"}})
        for i in range(20)
    ]
    # Lines that pass the byte test and then fail to parse, or parse and yield nothing.
    bad = [
        '{"type":"user","message":{"content":"torn',
        '{"type":"user","message":{"content":"\\ud800"}}',
        '{"type":"user","message":{"content":"\xff"}}',
        '{"type":"user","message":{"content":' + "[" * 5000 + "]" * 5000 + "}}",
        '{"type":"user","message":{"content":"x"}} trailing',
        '{"type":"user","message":{"content":[{"type":"tool_use","input":' + "[" * 120 + "]" * 120 + "}]}}",
    ] * 10
    paths = {}
    for name, lines in (("claude", claude), ("codex", codex), ("bad", bad)):
        p = d / f"{name}.jsonl"
        p.write_bytes("\n".join(lines).encode("utf-8", "surrogateescape") + b"\n")
        paths[name] = long_path(p)
    paths["dir"] = long_path(d)
    return paths


# (id, callable taking the fixture's paths, expected exception or None, calls)
CASES = [
    ("claude-sample", lambda f: extract_claude(CLAUDE), None, 3000),
    ("claude-sample-tools", lambda f: extract_claude(CLAUDE, True), None, 3000),
    ("codex-sample", lambda f: extract_codex(CODEX), None, 3000),
    ("codex-sample-tools", lambda f: extract_codex(CODEX, include_tools=True), None, 3000),
    ("claude-big-rows", lambda f: extract_claude(f["claude"]), None, 1000),
    ("codex-big-rows", lambda f: extract_codex(f["codex"], True), None, 1000),
    ("claude-unparseable", lambda f: extract_claude(f["bad"], True), None, 1000),
    ("codex-unparseable", lambda f: extract_codex(f["bad"], True), None, 1000),
    ("missing-file", lambda f: extract_claude(LONG_MISSING), OSError, 10000),
    ("nul-in-path", lambda f: extract_codex(LONG_WITH_NUL), OSError, 10000),
    ("directory", lambda f: extract_claude(f["dir"]), OSError, 10000),
    ("lone-surrogate-path", lambda f: extract_claude(LONG_MISSING + "\udc80"), UnicodeEncodeError, 10000),
    ("path-bytes", lambda f: extract_claude(LONG_MISSING.encode()), TypeError, 10000),
    ("path-pathlib", lambda f: extract_codex(pathlib.Path(LONG_MISSING)), TypeError, 10000),
    ("path-none", lambda f: extract_claude(None), TypeError, 10000),
    ("include-tools-int", lambda f: extract_claude(LONG_MISSING, 1), TypeError, 10000),
    ("include-tools-none", lambda f: extract_codex(LONG_MISSING, None), TypeError, 10000),
    ("include-tools-str", lambda f: extract_codex(path=LONG_MISSING, include_tools="yes"), TypeError, 10000),
    ("no-arguments", lambda f: extract_claude(), TypeError, 10000),
    ("too-many-arguments", lambda f: extract_claude(LONG_MISSING, False, 1), TypeError, 10000),
    ("unknown-keyword", lambda f: extract_codex(LONG_MISSING, tools=True), TypeError, 10000),
    ("argument-twice", lambda f: extract_claude(LONG_MISSING, path=LONG_MISSING), TypeError, 10000),
    ("batch-str", lambda f: extract_many("claude"), batch(TypeError), 10000),
    ("batch-list-item", lambda f: extract_many([["claude", CLAUDE]]), batch(TypeError), 10000),
    ("batch-short-tuple", lambda f: extract_many([("claude",)]), batch(ValueError), 10000),
    ("batch-int-path", lambda f: extract_many([("claude", 5)]), batch(TypeError), 10000),
    ("batch-surrogate", lambda f: extract_many([("codex", "\udc80")]), batch(UnicodeEncodeError), 10000),
    ("batch-include-tools", lambda f: extract_many([], 1), batch(TypeError), 10000),
    ("batch-generator", lambda f: extract_many(iter([("claude", CLAUDE)])), batch(TypeError), 10000),
]
if not BATCH_PENDING:
    CASES += [
        ("batch-files", lambda f: extract_many([("claude", f["claude"]), ("codex", f["codex"])] * 2), None, 500),
        ("batch-failed-jobs", lambda f: extract_many([("claude", LONG_MISSING), ("x", LONG_WITH_NUL)]), None,
         3000),
    ]

RSS_TOLERANCE = 1 << 20  # bytes
BLOCK_TOLERANCE = 200  # pymalloc blocks


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def run(call, files, expected, times):
    for _ in range(times):
        if expected is None:
            call(files)
        else:
            try:
                call(files)
            except expected:
                pass
            else:
                pytest.fail(f"{expected.__name__} not raised")


@pytest.mark.parametrize("call, expected, times", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_repeated_calls_do_not_grow_the_process(files, call, expected, times):
    run(call, files, expected, times // 4)  # warm up: caches, allocator arenas
    # Like psutil: allow a few tries, since the allocators may still settle once.
    for attempt in range(3):
        gc.collect()
        rss_before, blocks_before = rss(), sys.getallocatedblocks()
        run(call, files, expected, times)
        gc.collect()
        grew, new_blocks = rss() - rss_before, sys.getallocatedblocks() - blocks_before
        if grew <= RSS_TOLERANCE and new_blocks <= BLOCK_TOLERANCE:
            return
    pytest.fail(f"after {times} calls: RSS grew by {grew} bytes, {new_blocks} more Python blocks")
