"""The native module against the Python model (bench/pyrules.py) on the real logs and on
seeded random and mutated lines."""

import json
import random

import pytest

import pyrules
from conftest import EXTRACT, corpus_files

need_corpus = pytest.mark.skipif(not corpus_files(), reason="no corpus (set SESSIONROWS_CORPUS)")


def assert_same_as_model(write, lines, min_rows=0):
    path, seen = write(b"\n".join(lines)), 0
    for kind in EXTRACT:
        for tools in (False, True):
            seen += len(got := EXTRACT[kind](path, tools))
            if got != pyrules.extract(kind, path, tools):   # name the first line whose rows differ
                one = (x for x in lines if EXTRACT[kind](p := write([x]), tools) != pyrules.extract(kind, p, tools))
                pytest.fail(f"{kind} include_tools={tools}: rows differ, first on {next(one, None)!r}")
    assert seen >= min_rows


@need_corpus
def test_corpus():
    rows = []
    for path in map(str, corpus_files()):
        for kind in EXTRACT:
            for tools in (False, True):
                got = EXTRACT[kind](path, tools)
                assert got == pyrules.extract(kind, path, tools), (path, kind, tools)
                rows += got
    assert {"user", "assistant", "tool", "__meta__"} <= {r[0] for r in rows}


class Num(str):
    """A number literal written into the line as it is."""


NUMBERS = ("0 -0 1 -1 0.0 -0.0 1e2 1E-3 2.50 1e15 1e16 1e-5 1e-6 18446744073709551615 18446744073709551616 1e400 "
           "-9223372036854775808 -9223372036854775809 -1e400 1e-400 5e-324 1.7976931348623157e308 0.30000000000000004 "
           "9007199254740993 9007199254740993.0 99999999999999999999 123.456e-7 7e22 0e5 1e99999999999").split() + \
    ["1" * 30, "0." + "1" * 40]
STRINGS = ["", " ", "a", "hi there", "é", "日本語", "😀", "\u2028", "\x85", "\xa0", "\u200b", "\ufeff", "\t", "\n", "\r",
           '"q"', "\\", "\x00", "\x01", "\x7f", "/", "user", "assistant", "message", "type", "_call", "user_message",
           "agent_message", "x" * 300, "é" * 450, "😀" * 700, "a\u3000b"]
KEYS = ["text", "content", "name", "input", "arguments", "output", "role", "id", "message", "a", "é"]
BLOCK_TYPES = ["text"] * 3 + ["input_text", "output_text", "thinking", "reasoning", "tool_use", "tool_result",
                              "image", "Text", "tool_use ", Num("3"), None]


def value(r, depth=0):
    """Any JSON value; objects look like content blocks, nested a few levels."""
    k = r.random()
    if depth > 4 or k < 0.35:
        leaf = r.randrange(8)
        return Num(r.choice(NUMBERS)) if leaf < 3 else r.choice(STRINGS) if leaf < 6 else r.choice([None, True, False])
    if k < 0.6:
        return [value(r, depth + 1) for _ in range(r.randrange(4))]
    b = {"type": r.choice(BLOCK_TYPES)} if r.random() < 0.85 else {}
    for key in r.sample(KEYS[:5] if k < 0.8 else KEYS, r.randrange(4)):
        b[key] = r.choice(STRINGS) if r.random() < 0.5 else value(r, depth + 1)
    return b


def content(r):
    c = r.random()
    return r.choice(STRINGS) if c < 0.3 else [value(r, 3 if r.random() < 0.2 else 1) for _ in range(r.randrange(5))] \
        if c < 0.85 else value(r)


def pick(r, plan):
    """An object with the keys of plan in random order; plan: key -> (chance of the key, choices or a function)."""
    items = [(k, v(r) if callable(v) else r.choice(v)) for k, (p, v) in plan.items() if r.random() < p]
    return dict(r.sample(items, len(items)))


FLAGS, TITLES = [True, False, False, "true", 1, None], STRINGS + [None, Num("3"), ["x"]]
FIELDS = STRINGS[:8] + ["/home/u/p", "2026-01-01T00:00:00Z", None, Num("1")]
NAMES = ["user", "assistant", "shell", "", None, Num("3"), "call_1"]


def claude_line(r):
    msg = pick(r, {"role": (0.8, ["user", "assistant", "", 5, None]), "id": (0.6, ["msg_1", 7, "", "a\tb"]),
                   "content": (0.95, content)})
    return pick(r, {"type": (1, ["user", "assistant"] * 3 + ["ai-title", "system", "User", Num("1")]),
                    "message": (1, lambda r: msg if r.random() < 0.95 else value(r)), "isMeta": (0.25, FLAGS),
                    "isCompactSummary": (0.25, FLAGS), "isVisibleInTranscriptOnly": (0.25, FLAGS),
                    **{k: (0.7, TITLES if "itle" in k else FIELDS)
                       for k in ("title", "aiTitle", "cwd", "sessionId", "timestamp", "parentUuid")}})


def codex_line(r):
    top = r.choice(["session_meta", "response_item", "response_item", "event_msg", "turn_context"])
    if top == "session_meta":
        p = pick(r, {k: (0.5, ["sid-1", "", Num("5"), None, "/w", "é"]) for k in ("id", "session_id", "cwd", "x")})
    elif top == "response_item":
        any_value = (0.4, lambda r: value(r) if r.random() < 0.6 else content(r))
        p = pick(r, {"type": (1, ["message", "message", "function_call", "custom_tool_call", "tool_call", "reasoning",
                                  "function_call_output", "custom_tool_call_output", "Message", Num("4")]),
                     "role": (0.4, NAMES), "name": (0.4, NAMES), "call_id": (0.4, NAMES), "arguments": any_value,
                     "input": any_value, "output": any_value, "content": any_value})
    else:
        any_value = (0.5, lambda r: value(r) if r.random() < 0.5 else r.choice(STRINGS + [Num("0"), False, None, []]))
        p = pick(r, {"type": (1, ["user_message", "agent_message", "token_count", "agent_reasoning", None]),
                     "message": any_value, "text": any_value, "images": any_value})
    line = pick(r, {"timestamp": (1, ["2026-01-01T00:00:00Z", None, Num("5"), ""]), "type": (1, [top]),
                    "payload": (1, lambda r: p if r.random() < 0.95 else value(r))})
    return {"pad": "x" * r.randrange(150, 260), **line} if r.random() < 0.2 else line   # "type" near byte 240


def dump(r, v):
    """JSON text with random layout: blanks, tabs, CR, \\u escapes, duplicate keys."""
    def gap():
        return r.choice([""] * 8 + [" ", " ", "\t", "\t", " \t", " \t", "\r"])
    if isinstance(v, Num):
        return str(v)
    if isinstance(v, str):
        if r.random() < 0.1:
            return '"' + "".join("\\u%04x" % ord(c) if ord(c) < 0x10000 else c for c in v) + '"'
        return json.dumps(v, ensure_ascii=r.random() < 0.2)
    if not isinstance(v, (list, dict)):
        return json.dumps(v)
    if isinstance(v, list):
        return "[" + gap() + ("," + gap()).join(dump(r, x) for x in v) + gap() + "]"
    items = list(v.items())
    if items and r.random() < 0.05:
        items.insert(r.randrange(len(items) + 1), (r.choice(items)[0], r.choice(STRINGS + [None, Num("1")])))
    return "{" + gap() + ("," + gap()).join(
        json.dumps(k, ensure_ascii=False) + gap() + ":" + gap() + dump(r, x) for k, x in items) + gap() + "}"


INSERTS = [b"\r", b"\t", b" ", b"\x00", b"\xff", b"\xc3", b'"', b"\\", b"{", b"[", b",", b":", b"}", b"]", b"\x0c",
           b"\xef\xbb\xbf", b"\\ud800", b"\xed\xa0\x80", b"NaN", b"1e999", b"-0", b"\xe2\x80\xa8"]
TYPE_VALUES = [b"user", b"assistant", b"ai-title", b"session_meta", b"response_item", b"event_msg", b"message",
               b"user_message", b"function_call"]


def mutate(r, line):
    """The line unchanged (45%), or with one random change to its bytes."""
    i, k, n, end = r.randrange(len(line) + 1), r.random(), r.choice([125, 126, 127, 128, 129, 300]), line.rfind(b"}")
    deep = b"[" * n + b"]" * n if r.random() < 0.5 else b'{"a":' * n + b"1" + b"}" * n
    extra = b'"type":"' + r.choice(TYPE_VALUES) + b'"'   # another "type" key, before or after the real one
    for chance, change in [
        (0.45, lambda: line), (0.55, lambda: line[:i]), (0.68, lambda: line[:i] + r.choice(INSERTS) + line[i:]),
        (0.72, lambda: line[:i] + line[i + 1:]),
        (0.77, lambda: line[:end] + b',"deep":' + deep + line[end:] if end > 0 else deep),
        (0.82, lambda: line.replace(b'":', b'"' + r.choice([b" ", b"\t", b"\r", b" \t "]) + b":", r.randrange(1, 4))),
        (0.87, lambda: line[:1] + extra + b"," + line[1:] if r.random() < 0.5 else line[:-1] + b"," + extra + b"}"),
        (0.92, lambda: b'{"pad":"' + b"p" * r.randrange(180, 250) + b'",' + line[1:] if line[:1] == b"{" else line),
        (0.96, lambda: line.replace(b'"type":"', b'"type":' + r.choice([b"\r", b"\t", b" ", b""]) + b'"', 1)),
        (1, lambda: b"\xef\xbb\xbf" + line),
    ]:
        if k < chance:
            return change()


@pytest.mark.parametrize("seed", [1, 2])
def test_generated_lines(write, seed):
    r = random.Random(seed)
    lines = [mutate(r, dump(r, claude_line(r) if r.random() < 0.5 else codex_line(r)).encode()) for _ in range(2000)]
    assert_same_as_model(write, lines, min_rows=300)   # the generator must keep producing rows


@need_corpus
def test_mutated_corpus_lines(write):
    lines = [x for p in corpus_files() for x in p.read_bytes().split(b"\n") if 0 < len(x) < 6000]
    random.Random(0).shuffle(lines)
    r = random.Random(3)
    assert_same_as_model(write, [mutate(r, x) for x in lines[:1500] for _ in range(2)])
