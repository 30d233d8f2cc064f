"""The native module against the Python model (bench/pyrules.py) on real logs
and on seeded random and mutated lines."""

import json
import random

import pytest

import pyrules
import sessionrows
from conftest import corpus_dir

EXTRACT = {"claude": sessionrows.extract_claude, "codex": sessionrows.extract_codex}
KINDS = ["claude", "codex"]


def corpus_files():
    root = corpus_dir()
    if root is None:
        return []
    return sorted(p for p in root.rglob("*.jsonl") if p.is_file())


def first_difference(kind, tools, lines, write):
    """The first line whose rows differ, to make a failure readable."""
    for line in lines:
        path = write(line + b"\n")
        got, want = EXTRACT[kind](path, tools), pyrules.extract(kind, path, tools)
        if got != want:
            return line, got, want
    return None


# --- real logs ---------------------------------------------------------------

@pytest.mark.skipif(not corpus_files(), reason="no corpus (set SESSIONROWS_CORPUS)")
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("tools", [False, True])
def test_corpus(kind, tools):
    files = corpus_files()
    total = 0
    for path in files:
        got = EXTRACT[kind](str(path), tools)
        assert got == pyrules.extract(kind, str(path), tools), path.name
        total += len(got)
    if kind == "claude":
        assert total > 0


def test_corpus_kinds_present():
    files = corpus_files()
    if not files:
        pytest.skip("no corpus (set SESSIONROWS_CORPUS)")
    rows = [r for p in files for k in KINDS for r in EXTRACT[k](str(p), True)]
    roles = {r[0] for r in rows}
    assert {"user", "assistant", "tool", "__meta__"} <= roles


# --- generated lines -----------------------------------------------------------

class Num(str):
    """A number literal written into the line as it is."""


NUMBERS = [
    "0", "-0", "1", "-1", "0.0", "-0.0", "1e2", "1E-3", "2.50", "1e15", "1e16", "1e-5", "1e-6",
    "18446744073709551615", "18446744073709551616", "-9223372036854775808", "-9223372036854775809",
    "1e400", "-1e400", "1e-400", "5e-324", "1.7976931348623157e308", "0.30000000000000004",
    "9007199254740993", "9007199254740993.0", "99999999999999999999", "1" * 30, "0." + "1" * 40,
    "123.456e-7", "7e22", "0e5", "1e99999999999",
]
STRINGS = [
    "", " ", "a", "hi there", "é", "日本語", "😀", "\u2028", "\x85", "\xa0", "\u200b", "\ufeff",
    "\t", "\n", "\r", '"q"', "\\", "\x00", "\x01", "\x7f", "/", "user", "assistant", "message",
    "type", "_call", "user_message", "agent_message", "x" * 300, "é" * 450, "😀" * 700, "a\u3000b",
]
KEYS = ["type", "text", "content", "name", "input", "arguments", "output", "role", "id", "message", "a", "é"]
BLOCK_TYPES = ["text", "text", "text", "input_text", "output_text", "thinking", "reasoning", "tool_use", "tool_result",
               "image", "Text", "tool_use ", Num("3"), None]


def value(r, depth=0):
    k = r.random()
    if depth > 4 or k < 0.35:
        leaf = r.randrange(8)
        if leaf < 3:
            return Num(r.choice(NUMBERS))
        return r.choice(STRINGS) if leaf < 6 else r.choice([None, True, False])
    if k < 0.6:
        return [value(r, depth + 1) for _ in range(r.randrange(4))]
    if k < 0.8:
        return block(r, depth + 1)
    return {r.choice(KEYS): value(r, depth + 1) for _ in range(r.randrange(4))}


def block(r, depth=0):
    b = {}
    if r.random() < 0.85:
        b["type"] = r.choice(BLOCK_TYPES)
    for k in r.sample(["text", "content", "name", "input", "id"], r.randrange(4)):
        b[k] = r.choice(STRINGS) if r.random() < 0.5 else value(r, depth + 1)
    return b


def content(r):
    c = r.random()
    if c < 0.3:
        return r.choice(STRINGS)
    if c < 0.85:
        return [block(r) if r.random() < 0.8 else value(r, 3) for _ in range(r.randrange(5))]
    return value(r)


def claude_line(r):
    line = {}
    keys = ["parentUuid", "cwd", "sessionId", "type", "message", "timestamp", "isMeta",
            "isCompactSummary", "isVisibleInTranscriptOnly", "title", "aiTitle"]
    r.shuffle(keys)
    for k in keys:
        if k == "type":
            line[k] = r.choice(["user", "assistant"] * 3 + ["ai-title", "system", "User", Num("1")])
        elif k == "message":
            msg = {}
            if r.random() < 0.8:
                msg["role"] = r.choice(["user", "assistant", "", 5, None])
            if r.random() < 0.6:
                msg["id"] = r.choice(["msg_1", 7, "", "a\tb"])
            if r.random() < 0.95:
                msg["content"] = content(r)
            line[k] = msg if r.random() < 0.95 else value(r)
        elif r.random() < (0.75 if k.startswith("is") else 0.3):
            continue
        elif k.startswith("is"):
            line[k] = r.choice([True, False, False, "true", 1, None])
        elif k in ("title", "aiTitle"):
            line[k] = r.choice(STRINGS + [None, Num("3"), ["x"]])
        else:
            line[k] = r.choice(STRINGS[:8] + ["/home/u/p", "2026-01-01T00:00:00Z", None, Num("1")])
    return line


def codex_line(r):
    top = r.choice(["session_meta", "response_item", "response_item", "event_msg", "turn_context"])
    if top == "session_meta":
        p = {k: r.choice(["sid-1", "", Num("5"), None, "/w", "é"])
             for k in r.sample(["id", "session_id", "cwd", "originator"], r.randrange(5))}
    elif top == "response_item":
        p = {"type": r.choice(["message", "message", "function_call", "custom_tool_call", "tool_call",
                               "function_call_output", "custom_tool_call_output", "reasoning", "Message", Num("4")])}
        for k in r.sample(["role", "content", "name", "arguments", "input", "output", "call_id"], r.randrange(5)):
            if k in ("arguments", "input", "output", "content"):
                p[k] = value(r) if r.random() < 0.6 else content(r)
            else:
                p[k] = r.choice(["user", "assistant", "shell", "", None, Num("3"), "call_1"])
    else:
        p = {"type": r.choice(["user_message", "agent_message", "token_count", "agent_reasoning", None])}
        for k in r.sample(["message", "text", "images"], r.randrange(4)):
            p[k] = value(r) if r.random() < 0.5 else r.choice(STRINGS + [Num("0"), False, None, []])
    items = [("timestamp", r.choice(["2026-01-01T00:00:00Z", None, Num("5"), ""])),
             ("type", top), ("payload", p if r.random() < 0.95 else value(r))]
    if r.random() < 0.5:
        r.shuffle(items)
    if r.random() < 0.2:
        items.insert(0, ("pad", "x" * r.randrange(150, 260)))    # push "type" towards byte 240
    return dict(items)


def dump(r, v):
    """JSON text with random layout: blanks, tabs, CR, \\u escapes, duplicate keys."""
    def gap():
        return r.choice(["", "", "", "", "", "", "", "", " ", " ", "\t", "\t", " \t", " \t", "\r"])
    if isinstance(v, Num):
        return str(v)
    if v is None or isinstance(v, (bool, int)):
        return json.dumps(v)
    if isinstance(v, str):
        if r.random() < 0.1:
            return '"' + "".join("\\u%04x" % ord(c) if ord(c) < 0x10000 else c for c in v) + '"'
        return json.dumps(v, ensure_ascii=r.random() < 0.2)
    if isinstance(v, list):
        return "[" + gap() + ("," + gap()).join(dump(r, x) for x in v) + gap() + "]"
    items = list(v.items())
    if items and r.random() < 0.05:
        k, _ = r.choice(items)
        items.insert(r.randrange(len(items) + 1), (k, r.choice(STRINGS + [None, Num("1")])))
    return "{" + gap() + ("," + gap()).join(
        json.dumps(k, ensure_ascii=False) + gap() + ":" + gap() + dump(r, x) for k, x in items) + gap() + "}"


INSERTS = [b"\r", b"\t", b" ", b"\x00", b"\xff", b"\xc3", b'"', b"\\", b"{", b"[", b",", b":", b"}", b"]",
           b"\x0c", b"\xef\xbb\xbf", b"\\ud800", b"\xed\xa0\x80", b"NaN", b"1e999", b"-0", b"\xe2\x80\xa8"]
TYPE_VALUES = [b"user", b"assistant", b"ai-title", b"session_meta", b"response_item", b"event_msg",
               b"message", b"user_message", b"function_call"]


def mutate(r, line):
    k = r.random()
    if k < 0.45:
        return line
    if k < 0.55:
        return line[:r.randrange(len(line) + 1)]
    if k < 0.68:
        i = r.randrange(len(line) + 1)
        return line[:i] + r.choice(INSERTS) + line[i:]
    if k < 0.72:
        i = r.randrange(max(1, len(line)))
        return line[:i] + line[i + 1:]
    if k < 0.77:
        n = r.choice([125, 126, 127, 128, 129, 300])
        deep = b"[" * n + b"]" * n if r.random() < 0.5 else b'{"a":' * n + b"1" + b"}" * n
        i = line.rfind(b"}")
        return line[:i] + b',"deep":' + deep + line[i:] if i > 0 else deep
    if k < 0.82:
        return line.replace(b'":', b'"' + r.choice([b" ", b"\t", b"\r", b" \t ", b"\t\t"]) + b":",
                            r.randrange(1, 4))
    if k < 0.87:
        # another "type" key, before or after the real one
        extra = b'"type":"' + r.choice(TYPE_VALUES) + b'",'
        return line[:1] + extra + line[1:] if r.random() < 0.5 else line[:-1] + b"," + extra[:-1] + b"}"
    if k < 0.92:
        pad = b'{"pad":"' + b"p" * r.randrange(180, 250) + b'",'
        return pad + line[1:] if line.startswith(b"{") else line
    if k < 0.96:
        return line.replace(b'"type":"', b'"type":' + r.choice([b"\r", b"\t", b" ", b""]) + b'"', 1)
    return b"\xef\xbb\xbf" + line


def generated_lines(seed, n):
    r = random.Random(seed)
    out = []
    for _ in range(n):
        obj = claude_line(r) if r.random() < 0.5 else codex_line(r)
        out.append(mutate(r, dump(r, obj).encode("utf-8")))
    return out


@pytest.mark.parametrize("seed", [1, 2])
def test_generated_lines(write, seed):
    lines = generated_lines(seed, 2000)
    path = write(b"\n".join(lines))
    seen = 0
    for kind in KINDS:
        for tools in (False, True):
            got = EXTRACT[kind](path, tools)
            seen += len(got)
            if got != pyrules.extract(kind, path, tools):
                pytest.fail("kind=%s include_tools=%s: %r" % (kind, tools,
                                                              first_difference(kind, tools, lines, write)))
    assert seen > 300     # the generator must keep producing rows


def corpus_lines(limit):
    """Lines of the real logs that are short enough to mutate cheaply."""
    out = []
    for path in corpus_files():
        out += [x for x in path.read_bytes().split(b"\n") if 0 < len(x) < 6000]
    random.Random(0).shuffle(out)
    return out[:limit]


@pytest.mark.skipif(not corpus_files(), reason="no corpus (set SESSIONROWS_CORPUS)")
def test_mutated_corpus_lines(write):
    r = random.Random(3)
    lines = [mutate(r, x) for x in corpus_lines(1500) for _ in range(2)]
    path = write(b"\n".join(lines))
    for kind in KINDS:
        for tools in (False, True):
            if EXTRACT[kind](path, tools) != pyrules.extract(kind, path, tools):
                pytest.fail("kind=%s include_tools=%s: %r" % (kind, tools,
                                                              first_difference(kind, tools, lines, write)))


def test_lenient_model_agrees_on_plain_lines(write):
    # with no odd numbers or strings, json.loads gives the same rows as the strict parser
    lines = [b'{"type":"user","message":{"content":[{"type":"text","text":"a"},{"type":"tool_use","input":[1,2.5]}]}}',
             b'{"type":"response_item","payload":{"type":"function_call","arguments":{"x":[true,null,1e-7]}}}',
             b'{"type":"event_msg","payload":{"type":"agent_message","message":"done"}}']
    path = write(b"\n".join(lines))
    for kind in KINDS:
        assert pyrules.extract(kind, path, True, exact=False) == pyrules.extract(kind, path, True)
