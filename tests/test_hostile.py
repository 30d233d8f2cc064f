"""Hostile files: huge lines, deep nesting, floods of empty lines, random bytes, NUL
bytes, invalid UTF-8 and lone surrogates. None may crash or hang the host process;
each has a defined result.

The heavy cases run in a child interpreter with a generous timeout, so that a crash
shows as a signal in the child's exit status and a hang as a timeout, rather than
taking the test run down with it."""

import json
import random
import subprocess
import sys

import pytest

from sessionrows import extract_claude, extract_codex

EXTRACT = {"claude": extract_claude, "codex": extract_codex}

# Prints, per call, the row count and each row with its text shortened: the rows of
# a 200 MB line are not worth sending back whole.
CHILD = r"""
import json, sys, sessionrows
extract = getattr(sessionrows, "extract_" + sys.argv[1])
rows = extract(sys.argv[2], sys.argv[3] == "1")
print(json.dumps([[r[0], len(r[1]), r[1][:20], r[1][-20:], r[2], r[3]] for r in rows]))
"""


def rows_in_child(kind, path, include_tools=True, timeout=300):
    proc = subprocess.run([sys.executable, "-c", CHILD, kind, str(path), "1" if include_tools else "0"],
                          capture_output=True, text=True, timeout=timeout)
    assert proc.returncode == 0, f"child exited with {proc.returncode}: {proc.stderr[-2000:]}"
    return json.loads(proc.stdout)


def rows_of(tmp_path, kind, data, include_tools=True):
    path = tmp_path / f"{kind}.jsonl"
    path.write_bytes(data)
    return EXTRACT[kind](str(path), include_tools)


# --- one line of 200 MB -------------------------------------------------------------

BIG = 200 * 1000 * 1000
HEADS = {
    "claude": b'{"type":"user","timestamp":"T","message":{"role":"user","content":"',
    "codex": b'{"timestamp":"T","type":"response_item","payload":{"type":"message","role":"user","content":"',
}


@pytest.mark.parametrize(
    "kind, valid",
    [("claude", True), ("claude", False), ("codex", True)],
    ids=["claude-valid", "claude-torn", "codex-valid"],
)
def test_a_single_line_of_200_mb(tmp_path, kind, valid):
    path = tmp_path / "big.jsonl"
    head = HEADS[kind]
    tail = b'"}}' if valid else b""  # the torn line lacks its closing quote and braces
    block = b"abcdefghij" * 100_000
    with open(path, "wb") as f:
        f.write(head)
        for _ in range((BIG - len(head)) // len(block)):
            f.write(block)
        f.write(tail)  # no final line feed: the last line is read all the same
    try:
        rows = rows_in_child(kind, path)
    finally:
        path.unlink()
    if not valid:
        assert rows == []
        return
    text_len = (BIG - len(head)) // len(block) * len(block)
    assert rows == [["user", text_len, "abcdefghij" * 2, "abcdefghij" * 2, "T",
                     "\t\t" if kind == "claude" else "response_item"]]


# --- nesting --------------------------------------------------------------------------

MILLION = 10**6
DEEP_LINES = {
    "claude": [
        b'{"type":"user","message":{"role":"user","content":' + b"[" * MILLION + b"]" * MILLION + b"}}",
        b'{"type":"user","message":{"role":"user","content":"x"},"deep":' + b"[" * MILLION,
        b'{"type":"user","message":{"role":"user","content":"x"},"deep":' + b'{"a":' * MILLION + b"1"
        + b"}" * MILLION + b"}",
    ],
    "codex": [
        b'{"type":"response_item","payload":{"type":"message","content":' + b"[" * MILLION + b"]" * MILLION + b"}}",
        b'{"type":"session_meta","payload":' + b"[" * MILLION + b"]" * MILLION + b"}",
        b'{"type":"event_msg","payload":{"type":"user_message","message":' + b'{"a":' * MILLION + b"1"
        + b"}" * MILLION + b"}}",
    ],
}


@pytest.mark.parametrize("kind", ["claude", "codex"])
def test_a_million_nested_brackets_yield_nothing(tmp_path, kind):
    path = tmp_path / "deep.jsonl"
    path.write_bytes(b"\n".join(DEEP_LINES[kind]) + b"\n")
    assert rows_in_child(kind, path, timeout=120) == []


@pytest.mark.parametrize("kind", ["claude", "codex"])
@pytest.mark.parametrize("depth, rows", [(127, 1), (128, 0)])
def test_nesting_limit_counts_the_top_level_object(tmp_path, kind, depth, rows):
    # The top-level object is level 1, so "deep" holds depth - 1 nested arrays.
    deep = b"[" * (depth - 1) + b"]" * (depth - 1)
    line = {
        "claude": b'{"type":"user","message":{"role":"user","content":"x"},"deep":%s}',
        "codex": b'{"type":"response_item","payload":{"type":"message","content":"x"},"deep":%s}',
    }[kind] % deep
    assert len(rows_of(tmp_path, kind, line + b"\n")) == rows


# --- floods and noise -----------------------------------------------------------------


@pytest.mark.parametrize("kind", ["claude", "codex"])
def test_a_million_empty_lines_yield_nothing(tmp_path, kind):
    path = tmp_path / "empty.jsonl"
    path.write_bytes(b"\n" * MILLION + b"\r\n" * 1000 + b" \n" * 1000)
    assert rows_in_child(kind, path, timeout=60) == []


def random_noise(seed, size):
    rng = random.Random(seed)
    # Raw random bytes, with fragments that get lines past the byte test and into the
    # parser, and line feeds and NULs now and then.
    fragments = [b'{"type":"user","message":{"content":"', b'"type": "assistant"', b'"type":"ai-title"',
                 b'{"type":"response_item","payload":{"type":"message"', b'"type":"session_meta"',
                 b'"type":"event_msg" user_message', b"\\ud800", b"\\u0000", b"\n", b"\0", b"[", b"{"]
    out = bytearray()
    while len(out) < size:
        out += rng.randbytes(rng.randrange(1, 64))
        out += rng.choice(fragments)
    return bytes(out)


@pytest.mark.parametrize("kind", ["claude", "codex"])
@pytest.mark.parametrize("seed", [1, 2, 3])
def test_random_bytes_yield_nothing(tmp_path, kind, seed):
    path = tmp_path / "noise.bin"
    path.write_bytes(random_noise(seed, 2_000_000))
    for include_tools in (False, True):
        rows = rows_in_child(kind, path, include_tools, timeout=120)
        # A session-meta line yields a row even with a payload of noise once it
        # parses; random bytes never parse.
        assert rows == []


# --- NUL bytes, invalid UTF-8 and lone surrogates, in every string the rules read ------

# Lines with one marker @ in a string or key position. With "ok" at the marker every
# line yields exactly one row; include_tools is on so that tool parts are read.
# Each entry: (id, kind, line, how the NUL test value shows in the row: the raw text,
# its JSON escape, or None when the position is not copied into the row).
POSITIONS = [
    ("claude-type", "claude", b'{"type":"@","type":"user","message":{"content":"x"}}', None),
    ("claude-key", "claude", b'{"type":"user","@":1,"message":{"content":"x"}}', None),
    ("claude-timestamp", "claude", b'{"type":"user","timestamp":"@","message":{"content":"x"}}', "raw"),
    ("claude-cwd", "claude", b'{"type":"user","cwd":"@","message":{"content":"x"}}', "raw"),
    ("claude-sessionId", "claude", b'{"type":"user","sessionId":"@","message":{"content":"x"}}', "raw"),
    ("claude-id", "claude", b'{"type":"user","message":{"id":"@","content":"x"}}', "raw"),
    ("claude-role", "claude", b'{"type":"user","message":{"role":"@","content":"x"}}', "raw"),
    ("claude-text", "claude", b'{"type":"user","message":{"content":"@"}}', "raw"),
    ("claude-block-text", "claude", b'{"type":"user","message":{"content":[{"type":"text","text":"@"}]}}', "raw"),
    ("claude-block-type", "claude",
     b'{"type":"user","message":{"content":[{"type":"text","text":"x"},{"type":"@"}]}}', None),
    ("claude-tool-name", "claude",
     b'{"type":"assistant","message":{"content":[{"type":"tool_use","name":"@","input":{}}]}}', "raw"),
    ("claude-tool-input", "claude",
     b'{"type":"assistant","message":{"content":[{"type":"tool_use","name":"n","input":{"@":"@"}}]}}', "json"),
    ("claude-tool-result", "claude",
     b'{"type":"user","message":{"content":[{"type":"tool_result","content":"@"}]}}', "raw"),
    ("claude-title", "claude", b'{"type":"ai-title","title":"@"}', "raw"),
    ("codex-type", "codex", b'{"type":"response_item","type":"@","payload":{"type":"message","content":"x"}}',
     None),
    ("codex-key", "codex", b'{"type":"response_item","payload":{"type":"message","content":"x"},"@":1}', None),
    ("codex-timestamp", "codex", b'{"type":"response_item","timestamp":"@","payload":{"type":"message"}}', "raw"),
    ("codex-payload-type", "codex", b'{"type":"response_item","payload":{"type":"@","type":"message"}}', None),
    ("codex-role", "codex", b'{"type":"response_item","payload":{"type":"message","role":"@"}}', "raw"),
    ("codex-content", "codex",
     b'{"type":"response_item","payload":{"type":"message","content":[{"type":"input_text","text":"@"}]}}', "raw"),
    ("codex-name", "codex", b'{"type":"response_item","payload":{"type":"function_call","name":"@"}}', "raw"),
    ("codex-arguments", "codex",
     b'{"type":"response_item","payload":{"type":"function_call","arguments":"@"}}', "raw"),
    ("codex-arguments-object", "codex",
     b'{"type":"response_item","payload":{"type":"function_call","arguments":{"@":"@"}}}', "json"),
    ("codex-input", "codex", b'{"type":"response_item","payload":{"type":"custom_tool_call","input":"@"}}', "raw"),
    ("codex-output", "codex",
     b'{"type":"response_item","payload":{"type":"function_call_output","output":"@"}}', "raw"),
    ("codex-event-message", "codex", b'{"type":"event_msg","payload":{"type":"user_message","message":"@"}}', "raw"),
    ("codex-event-text", "codex", b'{"type":"event_msg","payload":{"type":"agent_message","text":"@"}}', "raw"),
    ("codex-meta-cwd", "codex", b'{"type":"session_meta","payload":{"cwd":"@"}}', "raw"),
    ("codex-meta-id", "codex", b'{"type":"session_meta","payload":{"id":"@"}}', "raw"),
    ("codex-meta-session_id", "codex", b'{"type":"session_meta","payload":{"session_id":"@"}}', "raw"),
]

BAD_STRINGS = [
    b"\\ud800",  # lone high surrogate
    b"\\udc00",  # lone low surrogate
    b"\\ud800\\u0041",  # high surrogate followed by no low one
    b"\\udc00\\ud800",  # a pair in the wrong order
    b"a\\ud800",
    b"\xff",  # never valid in UTF-8
    b"\xed\xa0\x80",  # a surrogate written as UTF-8
    b"\xc0\xaf",  # overlong
    b"\xe2\x82",  # cut short
    b"\xf4\x90\x80\x80",  # above U+10FFFF
    b"a\x00b",  # a raw NUL is a control character inside a string
    b"a\x1fb",
]


def position_params():
    return pytest.mark.parametrize("kind, line, shown", [p[1:] for p in POSITIONS], ids=[p[0] for p in POSITIONS])


@position_params()
def test_invalid_strings_make_the_line_yield_nothing(tmp_path, kind, line, shown):
    # With a good value the line yields its row, so the empty result below is the
    # parser refusing the line and not the rules passing over it.
    assert len(rows_of(tmp_path, kind, line.replace(b"@", b"ok") + b"\n")) == 1
    for bad in BAD_STRINGS:
        bad_line = line.replace(b"@", b"ok", line.count(b"@") - 1).replace(b"@", bad)
        data = bad_line + b"\n" + line.replace(b"@", b"ok") + b"\n"  # the next line still counts
        assert len(rows_of(tmp_path, kind, data)) == 1, bad


@position_params()
def test_nul_escape_comes_out_as_a_nul_character(tmp_path, kind, line, shown):
    rows = rows_of(tmp_path, kind, line.replace(b"@", b"a\\u0000b") + b"\n")
    assert len(rows) == 1
    fields = "\n".join(rows[0])
    if shown == "raw":
        assert "a\0b" in fields
    elif shown == "json":
        assert "a\\u0000b" in fields and "\0" not in fields


@pytest.mark.parametrize("kind", ["claude", "codex"])
@pytest.mark.parametrize(
    "line",
    [
        b'\0{"type":"user","message":{"content":"x"}}',
        b'{"type":"user",\0"message":{"content":"x"}}',
        b'{"type":"user","message":{"content":"x"}}\0',
        b'{"type":"session_meta","payload":{}}\0',
        b'{"type":"response_item","payload":{"type":"message"}}\0',
        b"\0" * 1000,
    ],
)
def test_raw_nul_outside_strings_makes_the_line_unparseable(tmp_path, kind, line):
    assert rows_of(tmp_path, kind, line + b"\n") == []


def test_nul_text_keeps_its_length(tmp_path):
    line = b'{"type":"user","message":{"content":"\\u0000\\u0000x\\u0000"},"cwd":"\\u0000"}'
    assert rows_of(tmp_path, "claude", line) == [("user", "\0\0x\0", "", "\t\0\t")]
