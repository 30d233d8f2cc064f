"""Hostile files: huge lines, deep nesting, floods of empty lines, NUL bytes,
invalid UTF-8 and lone surrogates. None may crash or hang the host process; each has a
defined result. The heavy cases run in a child interpreter (conftest.child)."""

import json

import pytest

from conftest import EXTRACT, child

# Prints the rows with their texts shortened: the rows of a 200 MB line are not worth sending back whole.
CHILD = r"""
import json, sys, sessionrows
rows = getattr(sessionrows, "extract_" + sys.argv[1])(sys.argv[2], sys.argv[3] == "1")
print(json.dumps([[r[0], len(r[1]), r[1][:20], r[1][-20:], r[2], r[3]] for r in rows]))
"""


def rows_in_child(kind, path, tools=True, timeout=300):
    return json.loads(child(CHILD, kind, path, int(tools), timeout=timeout))


@pytest.mark.parametrize("kind, valid", [("claude", True), ("claude", False), ("codex", True)])
def test_a_single_line_of_200_mb(tmp_path, kind, valid):
    head = {"claude": b'{"type":"user","timestamp":"T","message":{"role":"user","content":"',
            "codex": b'{"timestamp":"T","type":"response_item","payload":{"type":"message","role":"user",'
                     b'"content":"'}[kind]
    block, path = b"abcdefghij" * 100_000, tmp_path / "big.jsonl"
    blocks = (200_000_000 - len(head)) // len(block)
    with open(path, "wb") as f:
        f.write(head)
        for _ in range(blocks):
            f.write(block)
        f.write(b'"}}' if valid else b"")   # no final line feed; the torn line lacks its end
    try:
        rows = rows_in_child(kind, path)
    finally:
        path.unlink()
    source = "\t\t" if kind == "claude" else "response_item"
    assert rows == ([["user", blocks * len(block), "abcdefghij" * 2, "abcdefghij" * 2, "T", source]] if valid else [])


PEAK_CHILD = r"""
import sys, sessionrows
rows = getattr(sessionrows, "extract_" + sys.argv[1])(sys.argv[2])
peak = next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmHWM:"))
print([r[1] for r in rows], peak // 1024)
"""
LAST = {"claude": b'{"type":"user","message":{"role":"user","content":"last"}}',
        "codex": b'{"type":"event_msg","payload":{"type":"user_message","message":"last"}}'}


@pytest.mark.parametrize("kind, head", [("claude", None), ("codex", None),
                                        ("codex", b'{"type":"turn_context","payload":"')])
def test_a_long_line_that_cannot_yield_a_row_is_not_held(tmp_path, kind, head):
    # 300 MB of zero bytes (a preallocated log), or a Codex line whose first bytes rule it out
    path = tmp_path / "long.jsonl"
    with open(path, "wb") as f:
        if head is None:
            f.truncate(300_000_000)
            f.seek(0, 2)
        else:
            f.write(head + b"x" * 300_000_000 + b'"}')
        f.write(b"\n" + LAST[kind] + b"\n")
    try:
        texts, peak_mb = child(PEAK_CHILD, kind, path).rsplit(" ", 1)
    finally:
        path.unlink()
    assert texts == "['last']" and int(peak_mb) < 100


M = 10**6
DEEP = {
    "claude": [b'{"type":"user","message":{"role":"user","content":' + b"[" * M + b"]" * M + b"}}",
               b'{"type":"user","message":{"role":"user","content":"x"},"deep":' + b"[" * M,
               b'{"type":"user","message":{"content":"x"},"deep":' + b'{"a":' * M + b"1" + b"}" * M + b"}"],
    "codex": [b'{"type":"response_item","payload":{"type":"message","content":' + b"[" * M + b"]" * M + b"}}",
              b'{"type":"session_meta","payload":' + b"[" * M + b"]" * M + b"}",
              b'{"type":"event_msg","payload":{"type":"user_message","message":' + b'{"a":' * M + b"1" + b"}" * M
              + b"}}"],
}


@pytest.mark.parametrize("kind", ["claude", "codex"])
def test_deep_nesting_and_floods_of_empty_lines_yield_nothing(write, kind):   # random bytes: fuzz/fuzz_scan.cpp
    assert rows_in_child(kind, write(b"\n".join(DEEP[kind]) + b"\n"), timeout=120) == []
    assert rows_in_child(kind, write(b"\n" * M + b"\r\n" * 1000 + b" \n" * 1000), timeout=60) == []


POSITIONS = [  # (kind, line): with "ok" at the markers @ each line yields one row
    ("claude", b'{"type":"@","type":"user","@":1,"timestamp":"@","cwd":"@","sessionId":"@","message":{"id":"@",'
               b'"role":"@","content":[{"type":"text","text":"@"},{"type":"@"},{"type":"tool_result","content":"@"},'
               b'{"type":"tool_use","name":"@","input":{"@":"@"}}]}}'),
    ("claude", b'{"type":"user","message":{"content":"@"}}'), ("claude", b'{"type":"ai-title","title":"@"}'),
    ("codex", b'{"type":"response_item","type":"@","timestamp":"@","@":1,"payload":{"type":"@","type":"message",'
              b'"role":"@","content":[{"type":"input_text","text":"@"}]}}'),
    ("codex", b'{"type":"response_item","payload":{"type":"function_call","name":"@","arguments":{"@":"@"}}}'),
    ("codex", b'{"type":"response_item","payload":{"type":"custom_tool_call","input":"@"}}'),
    ("codex", b'{"type":"response_item","payload":{"type":"function_call_output","output":"@"}}'),
    ("codex", b'{"type":"event_msg","payload":{"type":"user_message","message":"@"}}'),
    ("codex", b'{"type":"event_msg","payload":{"type":"agent_message","text":"@"}}'),
    ("codex", b'{"type":"session_meta","payload":{"cwd":"@","id":"@","session_id":"@"}}'),
]
BAD_STRINGS = [b"\\ud800", b"\\udc00", b"\\ud800\\u0041", b"\\udc00\\ud800", b"a\\ud800", b"\xff", b"\xed\xa0\x80",
               b"\xc0\xaf", b"\xe2\x82", b"\xf4\x90\x80\x80", b"a\x00b", b"a\x1fb"]


@pytest.mark.parametrize("kind, line", POSITIONS)
def test_bad_strings_spoil_their_line_and_nul_escapes_come_through(write, kind, line):
    good, parts = line.replace(b"@", b"ok") + b"\n", line.split(b"@")
    assert len(EXTRACT[kind](write(good), True)) == 1
    for at in range(len(parts) - 1):   # one bad string at each marker in turn; the next line still counts
        for bad in BAD_STRINGS:
            bad_line = b"".join(p + (bad if i == at else b"ok") for i, p in enumerate(parts[:-1])) + parts[-1]
            assert len(EXTRACT[kind](write(bad_line + b"\n" + good), True)) == 1, (at, bad)
    (row,) = EXTRACT[kind](write(line.replace(b"@", b"a\\u0000b")), True)   # as it is, or escaped in JSON text
    assert "a\0b" in "\n".join(row) and ("a\\u0000b" in "\n".join(row)) == (b'{"@":"@"}' in line)


@pytest.mark.parametrize("kind", ["claude", "codex"])
def test_raw_nul_outside_strings_makes_the_line_unparseable(write, kind):
    lines = [b'\0{"type":"user","message":{"content":"x"}}', b'{"type":"user",\0"message":{"content":"x"}}',
             b'{"type":"user","message":{"content":"x"}}\0', b'{"type":"session_meta","payload":{}}\0',
             b'{"type":"response_item","payload":{"type":"message"}}\0', b"\0" * 1000]
    assert EXTRACT[kind](write(lines), True) == []
    assert EXTRACT["claude"](write(b'{"type":"user","message":{"content":"\\u0000\\u0000x\\u0000"},"cwd":"\\u0000"}')) \
        == [("user", "\0\0x\0", "", "\t\0\t")]   # a NUL escape keeps its place and the text its length
